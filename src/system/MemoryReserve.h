#pragma once

// A block of memory kept aside for the moment the process runs out. When an allocation fails,
// the block is given back before std::bad_alloc is thrown, so that the destructors that run on
// the way to the handler (some allocate a little) still find memory, and a failure ends only
// what ran out instead of the whole process.
void holdMemoryReserve();

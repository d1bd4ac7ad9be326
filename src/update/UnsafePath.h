#pragma once

#include <string>

// Throws std::runtime_error "Unsafe path in update data: " + value when a path from the update
// service could reach outside the folder it is appended to: absolute, with a colon (a drive or
// an alternate data stream), or with a ".." component.
void requireSafePath(const std::string& value);

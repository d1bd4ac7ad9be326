#include "system/MemoryReserve.h"

#include "system/Limits.h"

#include <cstdlib>
#include <new>

namespace {

void* reserve = nullptr;

void releaseReserveAndFail() {
    std::free(reserve);
    reserve = nullptr;
    std::set_new_handler(nullptr);
    throw std::bad_alloc();
}

} // namespace

void holdMemoryReserve() {
    if (reserve == nullptr) {
        reserve = std::malloc(kMemoryReserveBytes);
    }
    if (reserve != nullptr) {
        std::set_new_handler(releaseReserveAndFail);
    }
}

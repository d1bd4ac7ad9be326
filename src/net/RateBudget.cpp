#include "net/RateBudget.h"

#include <algorithm>

bool RateBudget::take(std::size_t bytes, Clock::time_point now) {
    if (empty(now)) {
        return false;
    }
    if (cap_ > 0) {
        allowance_ -= static_cast<double>(bytes);
    }
    return true;
}

bool RateBudget::empty(Clock::time_point now) {
    fill(now);
    return cap_ > 0 && allowance_ < 0;
}

RateBudget::Clock::duration RateBudget::wait(Clock::time_point now) {
    if (!empty(now)) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(-allowance_ / static_cast<double>(cap_)));
}

void RateBudget::fill(Clock::time_point now) {
    const double cap = static_cast<double>(cap_);
    if (lastFill_ != Clock::time_point{}) {
        allowance_ = std::min(
            cap, allowance_ + cap * std::chrono::duration<double>(now - lastFill_).count());
    }
    lastFill_ = now;
}

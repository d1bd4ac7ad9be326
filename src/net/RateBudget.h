#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// The run's cap on bytes per second: a bucket that fills at the capped rate and holds one second's
// worth. A transfer that finds it empty pauses until it fills again.
class RateBudget {
public:
    using Clock = std::chrono::steady_clock;
    void setCap(std::uint64_t bytesPerSecond) { cap_ = bytesPerSecond; }
    // Takes `bytes` when the bucket is not empty (it may go below empty by those); false when it
    // is, and nothing is taken.
    bool take(std::size_t bytes, Clock::time_point now = Clock::now());
    bool empty(Clock::time_point now = Clock::now());
    // How long until it is not empty.
    Clock::duration wait(Clock::time_point now = Clock::now());

private:
    void fill(Clock::time_point now);

    std::uint64_t cap_ = 0; // 0: no cap
    double allowance_ = 0;
    Clock::time_point lastFill_{};
};

#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <vector>

class ProgressMeter;
class Transfer;

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

// The run's connections: every transfer goes through one libcurl multi handle, so that a second
// request to a host reuses the first one's connection, name lookup and TLS session, and several
// transfers can run at once. Transfers that fail transiently wait their delay here and go again.
class TransferPool {
public:
    // Made after the first easy handle, which sets libcurl up.
    TransferPool();
    ~TransferPool();
    TransferPool(const TransferPool&) = delete;
    TransferPool& operator=(const TransferPool&) = delete;

    // Starts the transfer's first attempt, its request on its way at once. It stays the
    // caller's; remove it before it ends.
    void add(Transfer& transfer);
    // Stops a transfer wherever it is: running, waiting for a retry or finished.
    void remove(Transfer& transfer);
    // Drives the transfers until one of them has finished for good (done or failed) and returns
    // it; null when no transfer is left.
    Transfer* next();
    // One transfer on its own, to its end.
    void perform(Transfer& transfer);

    void setProgressMeter(ProgressMeter* meter) { meter_ = meter; }
    // Caps the bytes per second of all transfers together; 0: no cap.
    void setRateCap(std::uint64_t bytesPerSecond) { budget_.setCap(bytesPerSecond); }
    // Every byte the pool's transfers received so far.
    std::uint64_t bytesReceived() const { return received_; }
    // Whether the last answer came over HTTP/2, whose connection carries many transfers at once;
    // an HTTP/1.1 connection carries one.
    bool multiplexed() const { return multiplexed_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Multi;
    void startAttempt(Transfer& transfer);
    void startDueRetries();
    void collectFinished();
    int pollMilliseconds();
    void resumePaused();

    std::unique_ptr<Multi> multi_;
    std::set<Transfer*> running_;
    std::vector<std::pair<Clock::time_point, Transfer*>> waiting_;
    std::deque<Transfer*> finished_;
    ProgressMeter* meter_ = nullptr;
    std::uint64_t received_ = 0;
    RateBudget budget_;
    bool multiplexed_ = false;
};

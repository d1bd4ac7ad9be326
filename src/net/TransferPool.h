#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <vector>

class ProgressMeter;
class Transfer;

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

    // Starts the transfer's first attempt. It stays the caller's; remove it before it ends.
    void add(Transfer& transfer);
    // Stops a transfer wherever it is: running, waiting for a retry or finished.
    void remove(Transfer& transfer);
    // Drives the transfers until one of them has finished for good (done or failed) and returns
    // it; null when no transfer is left.
    Transfer* next();
    // One transfer on its own, to its end.
    void perform(Transfer& transfer);

    void setProgressMeter(ProgressMeter* meter) { meter_ = meter; }
    // Whether the last answer came over HTTP/2, whose connection carries many transfers at once;
    // an HTTP/1.1 connection carries one.
    bool multiplexed() const { return multiplexed_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Multi;
    void startAttempt(Transfer& transfer);
    void startDueRetries();
    void collectFinished();
    int pollMilliseconds() const;

    std::unique_ptr<Multi> multi_;
    std::set<Transfer*> running_;
    std::vector<std::pair<Clock::time_point, Transfer*>> waiting_;
    std::deque<Transfer*> finished_;
    ProgressMeter* meter_ = nullptr;
    bool multiplexed_ = false;
};

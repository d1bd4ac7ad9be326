#pragma once

#include "net/RateBudget.h"

#include <chrono>
#include <cstdint>
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

    // Starts the transfer's first attempt, its request on its way at once unless the pool runs
    // as many as it may now (then it starts in turn). It stays the caller's; remove it before it
    // ends.
    void add(Transfer& transfer);
    // How many transfers the pool runs at once as a rule; after a busy server's answer it runs
    // half as many (at least one), and one more after each success, up to this. 0: no rule.
    void setParallel(int usual);
    // The transfers running or about to, not those waiting for a retry, whose slots are free for
    // other transfers meanwhile.
    std::size_t active() const { return running_.size() + ready_.size(); }
    // How many may run at once now; 0: no limit.
    int allowed() const { return allowed_ > 0 ? allowed_ : usual_; }
    // Stops a transfer wherever it is: running, waiting for a retry or finished.
    void remove(Transfer& transfer);
    // Drives the transfers until one of them has finished for good (done or failed) and returns
    // it; null when no transfer is left, or with `whenSlotFreed` once one went to wait for a
    // retry, so that the caller may add another meanwhile.
    Transfer* next(bool whenSlotFreed = false);
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
    void startReady();
    std::size_t room() const;
    void judged(Transfer& transfer);
    void answered(bool busy);
    void backToRule();
    void roomAgain();
    void collectFinished();
    int pollMilliseconds();
    void resumePaused();

    std::unique_ptr<Multi> multi_;
    std::set<Transfer*> running_;
    std::vector<std::pair<Clock::time_point, Transfer*>> waiting_;
    std::deque<Transfer*> ready_; // added or due, not started yet
    std::deque<Transfer*> finished_;
    int usual_ = 0;
    int allowed_ = 0; // 0: not lowered by a busy server
    bool slotFreed_ = false;
    Clock::time_point calmAt_; // no attempt starts before, after a busy answer
    ProgressMeter* meter_ = nullptr;
    std::uint64_t received_ = 0;
    RateBudget budget_;
    bool multiplexed_ = false;
};

#include "net/TransferPool.h"

#include "net/ProgressMeter.h"
#include "net/Transfer.h"

#include <algorithm>
#include <curl/curl.h>
#include <stdexcept>

namespace {

constexpr int kLongestPollMilliseconds = 250;

struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ShareCleanup {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

} // namespace

struct TransferPool::Multi {
    std::unique_ptr<CURLM, MultiCleanup> multi;
    std::unique_ptr<CURLSH, ShareCleanup> share;
};

TransferPool::TransferPool() : multi_(std::make_unique<Multi>()) {
    multi_->multi.reset(curl_multi_init());
    multi_->share.reset(curl_share_init());
    if (!multi_->multi || !multi_->share) {
        throw std::runtime_error("Failed to create CURL connection");
    }
    // One thread drives every transfer, so the shared data needs no lock.
    curl_share_setopt(multi_->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(multi_->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

TransferPool::~TransferPool() {
    for (Transfer* transfer : std::set<Transfer*>(running_)) {
        remove(*transfer);
    }
}

void TransferPool::add(Transfer& transfer) {
    transfer.countInto(&received_, &budget_);
    curl_easy_setopt(transfer.handle(), CURLOPT_SHARE, multi_->share.get());
    ready_.push_back(&transfer);
    startReady();
    // The request goes out now, while the caller prepares the next transfer; what this finishes
    // is collected by next().
    int stillRunning = 0;
    curl_multi_perform(multi_->multi.get(), &stillRunning);
}

void TransferPool::remove(Transfer& transfer) {
    if (running_.erase(&transfer) != 0) {
        curl_multi_remove_handle(multi_->multi.get(), transfer.handle());
    }
    waiting_.erase(std::remove_if(waiting_.begin(), waiting_.end(),
                                  [&transfer](const auto& w) { return w.second == &transfer; }),
                   waiting_.end());
    finished_.erase(std::remove(finished_.begin(), finished_.end(), &transfer), finished_.end());
    ready_.erase(std::remove(ready_.begin(), ready_.end(), &transfer), ready_.end());
}

void TransferPool::setParallel(int usual) {
    usual_ = std::max(usual, 0);
    backToRule();
}

Transfer* TransferPool::next(bool whenSlotFreed) {
    slotFreed_ = false;
    while (finished_.empty()) {
        startDueRetries();
        if (running_.empty() && waiting_.empty() && ready_.empty()) {
            return nullptr;
        }
        resumePaused();
        int stillRunning = 0;
        curl_multi_perform(multi_->multi.get(), &stillRunning);
        collectFinished();
        if (meter_ != nullptr) {
            meter_->draw();
        }
        if (whenSlotFreed && slotFreed_ && finished_.empty()) {
            return nullptr;
        }
        if (finished_.empty()) {
            curl_multi_poll(multi_->multi.get(), nullptr, 0, pollMilliseconds(), nullptr);
        }
    }
    Transfer* done = finished_.front();
    finished_.pop_front();
    return done;
}

void TransferPool::perform(Transfer& transfer) {
    add(transfer);
    while (Transfer* done = next()) {
        if (done == &transfer) {
            return;
        }
    }
}

// Due retries go before transfers not begun: they have waited already.
void TransferPool::startDueRetries() {
    const auto now = Clock::now();
    std::deque<Transfer*> due;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->first <= now) {
            due.push_back(it->second);
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
    ready_.insert(ready_.begin(), due.begin(), due.end());
    startReady();
}

void TransferPool::startReady() {
    while (!ready_.empty() && room() > 0) {
        Transfer* transfer = ready_.front();
        ready_.pop_front();
        startAttempt(*transfer);
    }
}

// How many more may start now. None while a busy server's wait is on; else as many as are allowed
// at once (the rule, or fewer since a busy answer) less those running. A transfer paused by the
// run's rate budget keeps its slot, its answer being on its way; one waiting for its retry is
// not running, and leaves its slot to another.
std::size_t TransferPool::room() const {
    if (Clock::now() < calmAt_) {
        return 0;
    }
    if (allowed() == 0) {
        return ready_.size();
    }
    const auto allowed = static_cast<std::size_t>(this->allowed());
    return running_.size() < allowed ? allowed - running_.size() : 0;
}

void TransferPool::startAttempt(Transfer& transfer) {
    transfer.beginAttempt();
    curl_multi_add_handle(multi_->multi.get(), transfer.handle());
    running_.insert(&transfer);
}

void TransferPool::collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_->multi.get(), &queued)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        const CURLcode result = message->data.result;
        long version = CURL_HTTP_VERSION_NONE;
        if (curl_easy_getinfo(message->easy_handle, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
            version != CURL_HTTP_VERSION_NONE) {
            multiplexed_ = version >= CURL_HTTP_VERSION_2_0;
        }
        curl_multi_remove_handle(multi_->multi.get(), message->easy_handle);
        running_.erase(transfer);
        transfer->endAttempt(result);
        judged(*transfer);
    }
}

// A transfer that waits for its retry leaves its slot; after a busy server's answer none starts
// until the wait it set is over; a success shows the service has room again, and the busy waits
// start over.
void TransferPool::judged(Transfer& transfer) {
    if (!transfer.waiting()) {
        finished_.push_back(&transfer);
        const long status = transfer.status();
        if (!transfer.failed() && status >= 200 && status < 400) {
            calmAt_ = Clock::time_point{};
            answered(false);
            roomAgain();
        }
        return;
    }
    const auto due = Clock::now() + std::chrono::milliseconds(transfer.retryDelayMilliseconds());
    waiting_.emplace_back(due, &transfer);
    slotFreed_ = true;
    if (transfer.busy()) {
        answered(true);
        calmAt_ = std::max(calmAt_, due);
    }
}

// How many may run at once after an answer of the service: a busy one halves it (at least one), a
// success adds one back, up to the rule.
void TransferPool::answered(bool busy) {
    if (busy) {
        const int now = allowed() > 0 ? allowed() : static_cast<int>(running_.size()) + 1;
        allowed_ = std::max(now / 2, 1);
    } else if (allowed_ > 0) {
        ++allowed_;
        backToRule();
    }
}

void TransferPool::backToRule() {
    if (usual_ > 0 && allowed_ >= usual_) {
        allowed_ = 0;
    }
}

void TransferPool::roomAgain() {
    for (const auto& [due, waiting] : waiting_) {
        waiting->serviceHadRoom();
    }
    for (Transfer* other : running_) {
        other->serviceHadRoom();
    }
    for (Transfer* other : ready_) {
        other->serviceHadRoom();
    }
}

// Transfers that found the run's budget spent go on once it has filled again.
void TransferPool::resumePaused() {
    if (budget_.empty()) {
        return;
    }
    for (Transfer* transfer : running_) {
        if (transfer->paused()) {
            transfer->resume();
        }
    }
}

int TransferPool::pollMilliseconds() {
    auto wait = std::chrono::milliseconds(kLongestPollMilliseconds);
    if (budget_.empty()) {
        wait =
            std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(budget_.wait()) +
                               std::chrono::milliseconds(1));
    }
    const auto now = Clock::now();
    if (!ready_.empty() && calmAt_ > now) {
        wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(calmAt_ - now) +
                                  std::chrono::milliseconds(1));
    }
    for (const auto& [due, transfer] : waiting_) {
        wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::max(due - now, Clock::duration::zero())));
    }
    return static_cast<int>(wait.count());
}

#pragma once

#include "system/Limits.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ProgressMeter;
class RateBudget;

// A log line that a transfer has to say, kept so that its caller can write it in order.
struct LogNote {
    int level;
    std::string text;
};

// Where a transfer's bytes go: a document in memory or a file on the disk.
class TransferSink {
public:
    virtual ~TransferSink() = default;
    // Whether the body of an answer with `status` is the target's content; other bodies are
    // dropped. `resuming`: the attempt asked for the bytes after those already kept.
    virtual bool takes(long status, bool resuming) const = 0;
    // Appends bytes; false when they cannot be kept (past the limit, no memory, a disk error).
    virtual bool write(const char* data, std::size_t size) = 0;
    // The bytes kept so far, after which a resumed attempt goes on.
    virtual std::uint64_t bytesKept() const = 0;
    // Drops every byte kept so far.
    virtual void startOver() = 0;
    // Why the last write failed, where the sink can say it better than libcurl; else empty.
    virtual std::string writeFailure() const { return ""; }
    // The validator of the answer the bytes kept came from (sent as If-Range when resuming);
    // empty when unknown.
    virtual std::string validator() const { return ""; }
    // Remembers the validator of a whole answer whose bytes follow; must not throw.
    virtual void keepValidator(const std::string&) {}
};

// A service document in memory: the body of any answer, at most `capacity` bytes.
class MemorySink : public TransferSink {
public:
    explicit MemorySink(std::uint64_t capacity = kMaxDocumentBytes) : capacity_(capacity) {}
    bool takes(long, bool) const override { return true; }
    bool write(const char* data, std::size_t size) override;
    std::uint64_t bytesKept() const override { return body_.size(); }
    void startOver() override { body_.clear(); }
    std::string writeFailure() const override;
    const std::string& body() const { return body_; }

private:
    std::uint64_t capacity_;
    std::string body_;
    bool outOfMemory_ = false;
};

// One GET with everything it needs across its attempts: the libcurl handle, the sink it fills
// (the caller's, which must outlive it) and what the attempts said. A TransferPool runs it; the
// transfer itself decides after each attempt whether another is due.
class Transfer {
public:
    // Where the transfer is. Each state has its own step, which says the state that follows.
    enum class State {
        Queued,         // made; no attempt begun
        Connecting,     // an attempt on its way, no byte of its answer yet
        Receiving,      // the answer is the target's: its bytes go to the sink
        Discarding,     // the answer is not the target's (an error page): its bytes are dropped
        Refused,        // the sink could not keep a byte: the attempt ends, the transfer fails
        Paused,         // the run's budget is spent: libcurl holds the bytes until resume()
        WaitingToRetry, // a failed attempt's delay before the next
        WaitingBusy,    // a busy server's wait (429, 503), which uses no attempt
        Done,
        Failed,
    };

    Transfer(const std::string& url, const TransferLimits& limits, TransferSink& sink);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Ends the transfer after this long in all, its attempts and the waits between them
    // together (a document); before the first attempt.
    void limitTotalTime(long seconds);
    // libcurl's receive buffer (a large file); before the first attempt.
    void setReceiveBuffer(long bytes);
    // Asks every cache on the way for the origin's current bytes ("Cache-Control: no-cache"):
    // documents always, and a file whose cached copy failed its digests.
    void askFreshCopy();
    // Asks for the answer gzip-compressed where libcurl can decode it (a document); the sink then
    // receives, and counts against its limit, the decoded bytes. A compressed answer that is cut
    // is asked for whole again, as its ranges would be of the compressed bytes.
    void acceptCompression();

    const std::string& encodedUrl() const { return encoded_; }
    void* handle() const;
    void setProgressMeter(ProgressMeter* meter) { meter_ = meter; }
    // Where every byte received is also counted (the pool's total for the run), and the budget of
    // the run's rate cap that each byte must find room in.
    void countInto(std::uint64_t* total, RateBudget* budget) {
        runTotal_ = total;
        budget_ = budget;
    }
    State state() const { return state_; }
    // Whether it waits for the run's budget, and goes on again.
    bool paused() const { return state_ == State::Paused; }
    void resume();
    // Every byte of every attempt's answers so far, kept or not.
    std::uint64_t bytesReceived() const { return received_; }
    // Whether retry lines go to the log at once (a lone transfer) or into notes() (one of many).
    void setLogNow(bool logNow) { logNow_ = logNow; }

    // Sets the handle up for the next attempt, resuming after the bytes already kept.
    void beginAttempt();
    // Judges the attempt that libcurl ended with `result`: the transfer is then done, failed, or
    // waiting retryDelayMilliseconds() for its next attempt, a "Retrying" line noted.
    void endAttempt(int result);
    long retryDelayMilliseconds() const { return retryDelay_; }
    // Whether it waits because the last answer was a busy server's (429, 503).
    bool busy() const { return state_ == State::WaitingBusy; }
    bool waiting() const { return state_ == State::WaitingToRetry || busy(); }
    // Another transfer to the service succeeded: its next busy wait starts from the first step.
    void serviceHadRoom() { busyStep_ = 0; }
    // Every wait before a retry so far, in milliseconds.
    const std::vector<long>& retryDelays() const { return retryDelays_; }

    long status() const; // of the last answer; 0 when none came
    bool resumed() const { return resumed_; }
    // After Failed: why, and the abnormal status that said so (0 when none did).
    bool failed() const { return state_ == State::Failed; }
    const std::string& errorText() const { return errorText_; }
    long failedStatus() const { return failedStatus_; }
    // The lines the attempts had to say, when they were not logged at once.
    const std::vector<LogNote>& notes() const { return notes_; }

private:
    struct Handle;
    using Clock = std::chrono::steady_clock;
    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    // The one way from one state to another.
    void moveTo(State next);
    // The steps: of a transfer queued or waiting, of an attempt's answer arriving, of its bytes
    // for the sink, of an attempt's end; each returns the state that follows.
    State nextRequest();
    State connected();
    State received(const char* data, std::size_t size);
    State ended(int result);
    void setRequestHeaders(const std::string& validator);
    State judgeAnswer(long status);
    State retryOrFail(const std::string& reason, long status);
    std::size_t receive(const char* data, std::size_t size);
    bool startOver();
    void note(int level, const std::string& text);
    long nextDelay(bool busy) const;
    // The attempts that count against kMaxAttempts: busy answers do not.
    int countedAttempts() const { return attempt_ - busyAnswers_; }
    State fail(const std::string& reason, long status);
    State proxyRefused();

    std::string encoded_;
    TransferLimits limits_;
    std::unique_ptr<Handle> handle_;
    TransferSink& sink_;
    State state_ = State::Queued;
    State pausedIn_ = State::Queued; // where a paused transfer goes on
    std::uint64_t resumeFrom_ = 0;   // what this attempt asked to skip
    std::string range_;              // its Range, kept for libcurl
    std::string answerValidator_;    // of the answer this attempt is receiving
    bool resumed_ = false;
    bool compressed_ = false; // acceptCompression() took effect
    bool freshCopy_ = false;  // askFreshCopy() was called
    int attempt_ = 0;
    long retryDelay_ = 0;
    std::vector<long> retryDelays_;
    long retryAfter_ = 0; // the last answer's Retry-After in milliseconds; 0: none
    int busyAnswers_ = 0;
    int busyStep_ = 0; // doublings of the next busy wait
    Clock::time_point busySince_;
    long totalSeconds_ = 0;      // 0: no limit in all
    Clock::time_point deadline_; // set by the first attempt when there is a limit
    std::string errorText_;
    long failedStatus_ = 0;
    std::vector<LogNote> notes_;
    bool logNow_ = true;
    ProgressMeter* meter_ = nullptr;
    std::string proxy_; // the one this transfer goes through, for its lines; empty: none
    std::uint64_t received_ = 0;
    std::uint64_t* runTotal_ = nullptr;
    RateBudget* budget_ = nullptr;
};

// libcurl's reading of a URL: every space written as "%20", nothing else changed.
std::string encodeSpaces(const std::string& url);
// A file's path for its address: every byte but A-Z a-z 0-9 - . _ ~ and "/" as %XX.
std::string percentEncodePath(const std::string& path);

#pragma once

#include "system/Limits.h"
#include "system/SafeWrite.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ProgressMeter;

// A log line that a transfer has to say, kept so that its caller can write it in order.
struct LogNote {
    int level;
    std::string text;
};

// One GET with everything it needs across its attempts: the libcurl handle, the target (a body
// in memory, or a file written through SafeWrite), the byte limit, and what the attempts said.
// A TransferPool runs it; the transfer itself decides after each attempt whether another is due.
class Transfer {
public:
    enum class Kind { Document, File };
    enum class Verdict { Done, Retry, Failed };

    // A service document: the body whatever the status, at most kMaxDocumentBytes.
    static std::unique_ptr<Transfer> document(const std::string& url, const TransferLimits& limits);
    // A file, accepted only with status 200 or 201 (206 when resumed), at most `maxBytes`.
    static std::unique_ptr<Transfer> file(const std::string& url, const std::string& localPath,
                                          std::uint64_t maxBytes, const TransferLimits& limits);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    const std::string& url() const { return url_; }
    const std::string& encodedUrl() const { return encoded_; }
    void* handle() const;
    void setProgressMeter(ProgressMeter* meter) { meter_ = meter; }
    // Whether retry lines go to the log at once (a lone transfer) or into notes() (one of many).
    void setLogNow(bool logNow) { logNow_ = logNow; }

    // Sets the handle up for the next attempt, resuming after the bytes already kept.
    void beginAttempt();
    // Judges the attempt that libcurl ended with `result`; for Retry, retryDelaySeconds() says
    // when, and a "Retrying" line was noted.
    Verdict endAttempt(int result);
    long retryDelaySeconds() const { return retryDelay_; }
    // Drops every byte kept so far, so that the next attempt fetches the whole file.
    void startOver();

    // After Done: a document's body; a file is in place once commitFile() ran.
    const std::string& body() const { return body_; }
    long status() const; // of the last answer; 0 when none came
    void commitFile();
    bool resumed() const { return resumed_; }
    // After Failed: libcurl's text or the abnormal status; for a file, the line that says so
    // (also the line for a file that commitFile() could not put in place).
    bool failed() const { return !errorText_.empty(); }
    const std::string& errorText() const { return errorText_; }
    std::string failureLine() const;
    // The lines the attempts had to say, when they were not logged at once.
    const std::vector<LogNote>& notes() const { return notes_; }

private:
    struct Handle;
    Transfer(Kind kind, const std::string& url, const TransferLimits& limits);
    static std::size_t onData(char* data, std::size_t size, std::size_t count, void* self);
    std::size_t receive(const char* data, std::size_t size);
    void writeBehind(std::size_t size);
    void takeAnswer();
    std::uint64_t kept() const;
    void note(int level, const std::string& text);
    Verdict judgeAnswer(long status);
    Verdict retryOrFail(const std::string& reason, long status);
    Verdict fail(const std::string& reason, long status);

    Kind kind_;
    std::string url_;
    std::string encoded_;
    TransferLimits limits_;
    std::unique_ptr<Handle> handle_;
    std::string localPath_;
    std::uint64_t maxBytes_ = kMaxDocumentBytes;
    std::unique_ptr<SafeFile> file_;
    std::string body_;
    std::uint64_t fileBytes_ = 0;  // bytes in file_
    std::uint64_t resumeFrom_ = 0; // what this attempt asked to skip
    std::string range_;            // its Range, kept for libcurl
    bool firstData_ = true;        // no byte of this attempt received yet
    bool accepting_ = true;        // this attempt's body belongs to the target
    bool overLimit_ = false;
    bool outOfMemory_ = false;
    bool resumed_ = false;
    int attempt_ = 0;
    long retryDelay_ = 0;
    std::string errorText_;
    long failedStatus_ = 0;
    std::vector<LogNote> notes_;
    bool logNow_ = true;
    ProgressMeter* meter_ = nullptr;
};

// The line for a file whose Transfer::file() threw: its temporary could not be created.
extern const char kCannotCreateFileLine[];

// libcurl's reading of a URL: every space written as "%20", nothing else changed.
std::string encodeSpaces(const std::string& url);
// A file's path for its address: every byte but A-Z a-z 0-9 - . _ ~ and "/" as %XX.
std::string percentEncodePath(const std::string& path);

#pragma once

#include "log/Log.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

// The progress of a whole download phase: files done of all, bytes, rate and time left. On a
// console one line on standard error, redrawn a few times a second and taken off for every log
// line; elsewhere (a file, a pipe) a whole line at most every few seconds. With an events file,
// "progress" events too, at most 4 a second.
class ProgressMeter {
public:
    using Clock = std::chrono::steady_clock;

    ProgressMeter(int files, std::uint64_t bytes);
    ~ProgressMeter(); // ends the line
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    void addBytes(std::uint64_t bytes) { received_ += bytes; }
    // A file that needs no transfer: its bytes count as done, but not towards the rate.
    void skipBytes(std::uint64_t bytes) { skipped_ += bytes; }
    void fileDone();
    // Bytes a transfer needs that the total did not count (a fallback to the whole file).
    void addToTotal(std::uint64_t bytes) { bytes_ += bytes; }
    // A file that needed no transfer (already there, or copied on the disk).
    void fileSkipped(std::uint64_t bytes) {
        skipBytes(bytes);
        fileDone();
    }
    // Redraws the line when enough time has passed since the last time.
    void draw();
    // Takes the line off the console, so that a log line can be written there.
    void clear();

    // The line's text at `now`, without the leading carriage return.
    std::string text(Clock::time_point now);
    // The bytes per second over the last few seconds, and the seconds left at that rate (-1 when
    // unknown).
    double rate(Clock::time_point now);
    long secondsLeft(Clock::time_point now);

private:
    void print(Clock::time_point now);
    void tellEvents(Clock::time_point now);

    int files_;
    int done_ = 0;
    std::uint64_t bytes_;
    std::uint64_t received_ = 0;
    std::uint64_t skipped_ = 0;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
    Clock::time_point lastEvent_;
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_; // for the recent rate
    bool terminal_;
    bool drawn_ = false; // ever
};

// The progress of the look at the files on the disk before a download phase or a verification:
// their digests, which for a big aircraft take seconds or minutes. Said only once the look has
// taken a while, then as the meter is (a console line, or a line every few seconds elsewhere), and
// taken off when it ends.
class CheckMeter {
public:
    using Clock = ProgressMeter::Clock;

    explicit CheckMeter(std::size_t files, Clock::time_point start = Clock::now());
    ~CheckMeter();
    CheckMeter(const CheckMeter&) = delete;
    CheckMeter& operator=(const CheckMeter&) = delete;

    void fileChecked(Clock::time_point now = Clock::now());
    // Whether it has said anything yet, and what it says now.
    bool shown() const { return shown_; }
    std::string text() const;

private:
    std::size_t files_;
    std::size_t done_ = 0;
    Clock::time_point start_;
    Clock::time_point lastDraw_;
    bool terminal_;
    bool shown_ = false;
};

#include "net/ProgressMeter.h"

#include "log/Events.h"
#include "system/Platform.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(500); // on a console
constexpr auto kLineInterval = std::chrono::seconds(5);          // in a file or a pipe
constexpr auto kEventInterval = std::chrono::milliseconds(250);  // 4 a second at most
// The rate is that of the last few seconds, so that a slow start or a pause of the phase (files
// checked on the disk) does not skew the time left.
constexpr auto kRateWindow = std::chrono::seconds(10);
constexpr auto kSampleInterval = std::chrono::milliseconds(200);
// A look at the disk quicker than this says nothing.
constexpr auto kQuietCheck = std::chrono::seconds(1);

// How often a line is said again: on a console in place, elsewhere as a line of its own.
std::chrono::milliseconds redrawInterval(bool terminal) {
    return terminal ? kRedrawInterval : kLineInterval;
}

void showLine(bool terminal, const std::string& text) {
    if (terminal) {
        drawConsoleLine(text);
        return;
    }
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

double mebibytes(double bytes) {
    return bytes / (1024.0 * 1024.0);
}

} // namespace

ProgressMeter::ProgressMeter(int files, std::uint64_t bytes)
    : files_(files), bytes_(bytes), start_(Clock::now()), terminal_(platform::isTerminal(stderr)) {
    samples_.emplace_back(start_, 0);
}

ProgressMeter::~ProgressMeter() {
    if (drawn_) {
        print(Clock::now());
    }
    if (terminal_) {
        keepConsoleLine();
    }
}

void ProgressMeter::clear() {
    if (terminal_) {
        eraseConsoleLine();
    }
}

void ProgressMeter::fileDone() {
    ++done_;
    draw();
}

void ProgressMeter::draw() {
    const auto now = Clock::now();
    tellEvents(now);
    if (now - lastDraw_ >= redrawInterval(terminal_)) {
        lastDraw_ = now;
        print(now);
    }
}

double ProgressMeter::rate(Clock::time_point now) {
    if (now - samples_.back().first >= kSampleInterval) {
        samples_.emplace_back(now, received_);
    }
    while (samples_.size() > 2 && now - samples_[1].first >= kRateWindow) {
        samples_.pop_front();
    }
    const double seconds = std::chrono::duration<double>(now - samples_.front().first).count();
    return seconds > 0 ? static_cast<double>(received_ - samples_.front().second) / seconds : 0;
}

long ProgressMeter::secondsLeft(Clock::time_point now) {
    const std::uint64_t done = received_ + skipped_;
    if (done_ >= files_ || done >= bytes_) {
        return 0;
    }
    const double perSecond = rate(now);
    return perSecond > 0 ? static_cast<long>(static_cast<double>(bytes_ - done) / perSecond + 0.5)
                         : -1;
}

std::string ProgressMeter::text(Clock::time_point now) {
    const long left = secondsLeft(now);
    char timeLeft[32] = "--:--";
    if (left >= 0) {
        std::snprintf(timeLeft, sizeof timeLeft, "%ld:%02ld", left / 60, left % 60);
    }
    const std::uint64_t done = std::min(received_ + skipped_, bytes_);
    char line[160];
    std::snprintf(line, sizeof line, "  %d of %d files, %.1f of %.1f MiB, %.1f MiB/s, %s left",
                  done_, files_, mebibytes(static_cast<double>(done)),
                  mebibytes(static_cast<double>(bytes_)), mebibytes(rate(now)), timeLeft);
    return line;
}

void ProgressMeter::print(Clock::time_point now) {
    drawn_ = true;
    showLine(terminal_, text(now));
}

void ProgressMeter::tellEvents(Clock::time_point now) {
    if (!events::enabled() || now - lastEvent_ < kEventInterval) {
        return;
    }
    lastEvent_ = now;
    events::emit("progress", {{"files_done", done_},
                              {"files_total", files_},
                              {"bytes_done", std::min(received_ + skipped_, bytes_)},
                              {"bytes_total", bytes_},
                              {"bytes_per_second", static_cast<std::uint64_t>(rate(now))}});
}

CheckMeter::CheckMeter(std::size_t files, Clock::time_point start)
    : files_(files), start_(start), terminal_(platform::isTerminal(stderr)) {}

CheckMeter::~CheckMeter() {
    if (shown_ && terminal_) {
        dropConsoleLine();
    }
}

void CheckMeter::fileChecked(Clock::time_point now) {
    ++done_;
    if (now - start_ < kQuietCheck || now - lastDraw_ < redrawInterval(terminal_)) {
        return;
    }
    lastDraw_ = now;
    shown_ = true;
    showLine(terminal_, text());
}

std::string CheckMeter::text() const {
    return "  Checking the files on the disk: " + std::to_string(done_) + " of " +
           std::to_string(files_);
}

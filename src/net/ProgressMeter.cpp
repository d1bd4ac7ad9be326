#include "net/ProgressMeter.h"

#include <cstdio>

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(500);
constexpr int kLineWidth = 79;

double mebibytes(std::uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

} // namespace

ProgressMeter::ProgressMeter(int files, std::uint64_t bytes)
    : files_(files), bytes_(bytes), start_(std::chrono::steady_clock::now()) {}

ProgressMeter::~ProgressMeter() {
    if (drawn_) {
        print();
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
}

void ProgressMeter::clear() {
    if (visible_) {
        std::fprintf(stderr, "\r%*s\r", kLineWidth, "");
        std::fflush(stderr);
        visible_ = false;
        lastDraw_ = {}; // back at the next chance
    }
}

void ProgressMeter::fileDone() {
    ++done_;
    draw();
}

void ProgressMeter::draw() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDraw_ >= kRedrawInterval) {
        lastDraw_ = now;
        print();
    }
}

void ProgressMeter::print() {
    drawn_ = visible_ = true;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(received_) / seconds : 0;
    const std::uint64_t left = bytes_ > received_ ? bytes_ - received_ : 0;
    const long eta = rate > 0 ? static_cast<long>(static_cast<double>(left) / rate) : -1;
    char timeLeft[32] = "--:--";
    if (eta >= 0) {
        std::snprintf(timeLeft, sizeof timeLeft, "%ld:%02ld", eta / 60, eta % 60);
    }
    std::fprintf(stderr, "\r  %d of %d files, %.1f of %.1f MiB, %.1f MiB/s, %s left", done_, files_,
                 mebibytes(received_), mebibytes(bytes_),
                 mebibytes(static_cast<std::uint64_t>(rate)), timeLeft);
    std::fflush(stderr);
}

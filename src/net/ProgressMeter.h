#pragma once

#include <chrono>
#include <cstdint>

// One line on standard error for a whole download phase: files done of all, bytes, rate and time
// left, redrawn at most a few times a second.
class ProgressMeter {
public:
    ProgressMeter(int files, std::uint64_t bytes);
    ~ProgressMeter(); // ends the line

    void addBytes(std::uint64_t bytes) { received_ += bytes; }
    void fileDone();
    // Redraws the line when enough time has passed since the last time.
    void draw();
    // Takes the line off the console, so that a log line can be written there; draw() puts it
    // back.
    void clear();

private:
    void print();

    int files_;
    int done_ = 0;
    std::uint64_t bytes_;
    std::uint64_t received_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
    bool drawn_ = false;   // ever
    bool visible_ = false; // now
};

#pragma once

#include <cstdint>
#include <string>

// An exclusive lock on a file, held until the object ends; the system releases it when the
// process dies, however it dies. The file itself is created when missing and never written.
class FileLock {
public:
    enum class State {
        Held,   // this process holds the lock
        Busy,   // another process holds it
        Failed, // the file could not be opened or locked (see reason())
    };

    explicit FileLock(const std::string& pathText);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    State state() const { return state_; }
    const std::string& reason() const { return reason_; }

private:
    std::intptr_t handle_ = -1;
    State state_ = State::Failed;
    std::string reason_;
};

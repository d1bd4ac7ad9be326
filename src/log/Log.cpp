#include "log/Log.h"

#include "system/Limits.h"
#include "system/Paths.h"
#include "system/Platform.h"

#include <boost/filesystem/operations.hpp>
#include <cstdio>
#include <ctime>

namespace {

const char kLogName[] = "vexl_updater_log.txt";
const char kOldLogName[] = "vexl_updater_log.old.txt";

struct LogTarget {
    std::string path;
    FilePtr file;
    std::string consoleLine; // the text a log line draws again after itself; empty: none
    bool consoleLineShown = false;
};

// Created on first use; function-local statics are safe against a racing first use.
LogTarget& logTarget() {
    static LogTarget target;
    return target;
}

std::string timestamp() {
    const std::tm local = platform::localTime(std::time(nullptr));
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

} // namespace

std::string shown(const std::string& text) {
    if (text.size() <= kMaxLoggedTextBytes) {
        return text;
    }
    std::size_t cut = kMaxLoggedTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut; // not inside a character
    }
    return text.substr(0, cut) + "...";
}

bool initLogFile(const std::string& updaterFolder) {
    const std::string path = updaterFolder + kLogName;
    std::string reason;
    if (setLogFile(path, &reason)) {
        return true;
    }
    if (reason == kNotRegularFile) {
        logMessage(kLogError,
                   "Cannot write the log file " + path + ": " + reason + "; this run stops.");
        return false;
    }
    std::fputs(
        ("Warning: cannot write the log file " + path + "; logging to the console only.\n").c_str(),
        stdout);
    std::fflush(stdout);
    return true;
}

void setAsideLargeLog(const std::string& updaterFolder) {
    LogTarget& target = logTarget();
    const std::string path = updaterFolder + kLogName;
    boost::system::error_code ec;
    const auto size = boost::filesystem::file_size(toFsPath(path), ec);
    if (ec || size <= kMaxLogFileBytes) {
        return;
    }
    target.file.reset(); // Windows renames no open file
    boost::filesystem::rename(toFsPath(path), toFsPath(updaterFolder + kOldLogName), ec);
    setLogFile(path);
}

bool setLogFile(const std::string& path, std::string* reason) {
    LogTarget& target = logTarget();
    target.path = path;
    // Text mode, so that lines end in CR LF on Windows.
    std::string why;
    target.file = openRegularFile(path, "a", why);
    if (reason != nullptr) {
        *reason = why;
    }
    return target.file != nullptr;
}

void logMessage(int level, std::string message) {
    const std::string line =
        timestamp() + " [VEXL " + std::to_string(level) + "] " + message + "\n";
    LogTarget& target = logTarget();
    if (target.file) {
        std::fwrite(line.data(), 1, line.size(), target.file.get());
        std::fflush(target.file.get());
    }
    eraseConsoleLine();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (!target.consoleLine.empty()) {
        drawConsoleLine(target.consoleLine);
    }
}

void drawConsoleLine(const std::string& text) {
    LogTarget& target = logTarget();
    eraseConsoleLine();
    target.consoleLine = text;
    target.consoleLineShown = true;
    std::fputs(("\r" + text).c_str(), stderr);
    std::fflush(stderr);
}

void eraseConsoleLine() {
    LogTarget& target = logTarget();
    if (target.consoleLineShown) {
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(target.consoleLine.size()), "");
        std::fflush(stderr);
        target.consoleLineShown = false;
    }
}

void dropConsoleLine() {
    eraseConsoleLine();
    logTarget().consoleLine.erase();
}

void keepConsoleLine() {
    LogTarget& target = logTarget();
    if (target.consoleLineShown) {
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    target.consoleLine.erase();
    target.consoleLineShown = false;
}

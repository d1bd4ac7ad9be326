#include "log/Log.h"

#include "system/Paths.h"
#include "system/Platform.h"

#include <cstdio>
#include <ctime>

namespace {

struct LogTarget {
    std::string path;
    FilePtr file;
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

void initLogFile(const std::string& updaterFolder) {
    const std::string path = updaterFolder + "vexl_updater_log.txt";
    if (!setLogFile(path)) {
        std::fputs(
            ("Warning: cannot write the log file " + path + "; logging to the console only.\n")
                .c_str(),
            stdout);
        std::fflush(stdout);
    }
}

bool setLogFile(const std::string& path) {
    LogTarget& target = logTarget();
    target.path = path;
    // Text mode, so that lines end in CR LF on Windows.
    target.file = openFile(path, "a");
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
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

#pragma once

#include <string>

// Levels of logMessage.
constexpr int kLogInfo = 1;
constexpr int kLogError = 2;

// Opens the log file in the updater folder, for appending. A log file that cannot be opened is
// said on standard output, and the run logs to the console only.
void initLogFile(const std::string& updaterFolder);
// Makes `path` the log file; false when it cannot be opened, which leaves only standard output.
bool setLogFile(const std::string& path);
// Writes one timestamped line to the log file and standard output.
void logMessage(int level, std::string message);

#pragma once

#include <string>

// Levels of logMessage.
constexpr int kLogDetail = 0; // discarded
constexpr int kLogInfo = 1;
constexpr int kLogError = 2;

// Creates the updater folder and opens the log file in it, for appending. A log file that cannot
// be opened is said on standard output, and the run logs to the console only.
void initLogFile(const std::string& updaterFolder);
// Makes `path` the log file; false when it cannot be opened, which leaves only standard output.
bool setLogFile(const std::string& path);
// Writes one timestamped line to the log file and standard output; kLogDetail is discarded.
void logMessage(int level, std::string message);

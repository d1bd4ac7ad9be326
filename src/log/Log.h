#pragma once

#include <string>

class Updater;

// Creates the updater folder and opens the log file in it, for appending.
void initLogFile(Updater& updater);
// Makes `path` the log file; a file that cannot be opened leaves only standard output.
void setLogFile(const std::string& path);
// Level 0 is a detail line and is discarded; 1 is information, 2 an error.
void logMessage(int level, std::string message);

#pragma once

#include <string>

// Levels of logMessage.
constexpr int kLogInfo = 1;
constexpr int kLogError = 2;

// Text from the service or from disk as a log line shows it: cut to kMaxLoggedTextBytes at a
// UTF-8 character boundary and followed by "..." when longer, so that no answer can flood the log.
std::string shown(const std::string& text);

// Opens the log file in the updater folder, for appending. A log file that cannot be opened is
// said on standard output, and the run logs to the console only. False, said at level 2 on the
// console, when something other than a regular file is at its name: the run must not start.
bool initLogFile(const std::string& updaterFolder);
// Sets the open log aside as vexl_updater_log.old.txt (replacing an older one) and begins a new
// one when it is over kMaxLogFileBytes; for the run that holds the run lock only.
void setAsideLargeLog(const std::string& updaterFolder);
// Makes `path` the log file; false, with the reason in `reason` when given, when it cannot be
// opened, which leaves only standard output.
bool setLogFile(const std::string& path, std::string* reason = nullptr);
// Writes one timestamped line to the log file and standard output.
void logMessage(int level, std::string message);

// The one line a long step keeps at the foot of the console (a progress meter), on standard
// error: a log line never shares it. Each log line takes it off before itself and draws it again
// after. drawConsoleLine() draws it anew; eraseConsoleLine() takes it off until the next log line
// or drawing; keepConsoleLine() leaves what is drawn as an ordinary line and forgets it;
// dropConsoleLine() takes it off and forgets it.
void drawConsoleLine(const std::string& text);
void eraseConsoleLine();
void keepConsoleLine();
void dropConsoleLine();

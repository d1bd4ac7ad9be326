#pragma once

#include "support/Reference.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // The folder + "/" + relative (relative may use backslashes, as path texts do).
    std::string file(const std::string& relative) const;

private:
    std::string path_;
};

// Sets (or with nullopt, unsets) an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> old_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content); // creates the parents
bool fileExists(const std::string& path);
// The peak resident memory, in KiB, of a child process that runs `work` and ends; compare it with
// the peak of a child that does nothing.
long peakKiBOfChild(const std::function<void()>& work);
// Copies a folder with everything in it (across filesystems too).
void copyTree(const std::string& from, const std::string& to);

// The log of one test: lines without their timestamp, such as "[VEXL 1] Done.".
class LogCapture {
public:
    explicit LogCapture(const TempDir& dir);
    ~LogCapture();
    std::vector<std::string> lines() const;
    // Forgets what was logged so far.
    void clear();
    // Whether `line` was logged.
    bool has(const std::string& line) const;
    // The lines that contain `part`.
    std::vector<std::string> containing(const std::string& part) const;

private:
    std::string path_;
};

// Strips "YYYY/MM/DD HH:MM:SS " from each line of a log text.
std::vector<std::string> logLines(const std::string& text);

// The common fixture: a temporary folder for APPDATA and the registry file, and a log.
class SandboxTest : public ::testing::Test {
protected:
    SandboxTest();

    TempDir dir;
    ScopedEnv appData;
    ScopedEnv registryFile;
    LogCapture log;

    std::string registryPath() const { return dir.file("registry.reg"); }
    // The updater folder as the program builds it: APPDATA + "\VEXL\VEXL Hangar\Updater\".
    std::string updaterFolder() const;
};

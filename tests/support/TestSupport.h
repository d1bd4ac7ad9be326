#pragma once

#include "support/Reference.h"
#include "support/TestPlatform.h"
#include "support/TestRegistry.h"

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
    // The folder + the separator + relative, with either separator in relative made the
    // system's own.
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

// Files by their UTF-8 names on every system.
std::string readFile(const std::string& path);
// A text file as the system reads text (on Windows, CR LF becomes LF).
std::string readText(const std::string& path);
void writeFile(const std::string& path, const std::string& content); // creates the parents
bool fileExists(const std::string& path);
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
// A line ending in a duration ("...; 1.5 s.") with the duration as "_", the one part of a summary
// that no test can know.
std::string maskSeconds(const std::string& line);

// A harmless program copied into `folder` (a path of this system) as "sim.exe" and started there,
// as a simulator runs from its install folder; returned once the system shows it running.
testplatform::ProcessHandle startSimulator(const std::string& folder);

// The common fixture: a temporary folder for APPDATA and the registry, and a log.
class SandboxTest : public ::testing::Test {
protected:
    explicit SandboxTest(TestRegistry::Scope scope = TestRegistry::Scope::Private);

    TempDir dir;
    ScopedEnv appData;
    ScopedEnv registryFile;
    TestRegistry registry;
    LogCapture log;

    std::string registryPath() const { return dir.file("registry.reg"); }
    // The updater folder as the program builds it: APPDATA + "\VEXL\VEXL Hangar\Updater\".
    std::string updaterFolder() const;
};

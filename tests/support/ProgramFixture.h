#pragma once

#include "support/UpdateFixture.h"
#include "system/TestLimits.h"

// Runs the built program as a user does, with APPDATA (and on POSIX the registry file) in the
// test's folder, against the fake service at the compiled-in address.
class ProgramFixture : public UpdateFixture {
protected:
    struct Outcome {
        int exitCode = -1; // -1 when it did not exit by itself
        long peakKiB = 0;
        std::string console;
        std::string errors; // standard error
    };

    ProgramFixture() : UpdateFixture(TestRegistry::Scope::Shared) {}

    // Runs the program; `addressSpaceMiB` (when not 0) limits its address space, as a 32-bit
    // process is limited.
    testplatform::ProcessHandle startProgram(const std::vector<std::string>& args = {},
                                             long addressSpaceMiB = 0,
                                             std::map<std::string, std::string> environment = {}) {
        environment["APPDATA"] = dir.path();
        environment["VEXL_REGISTRY"] = registryPath();
        return testplatform::startProcess(program, args, environment, dir.file("console.txt"),
                                          dir.file("progress.txt"), addressSpaceMiB);
    }

    Outcome finish(testplatform::ProcessHandle process) {
        const testplatform::ProcessEnd end = testplatform::finishProcess(std::move(process));
        return {end.exitCode, end.peakKiB, readText(dir.file("console.txt")),
                readText(dir.file("progress.txt"))};
    }

    Outcome runProgram(const std::vector<std::string>& args = {},
                       const std::map<std::string, std::string>& environment = {}) {
        return finish(startProgram(args, 0, environment));
    }

    // The environment of a run whose transfer limits are shortened to `pairs`
    // ("lowSpeedSeconds=2,..."), so that a test never waits out a real limit.
    static std::map<std::string, std::string> shortLimits(const std::string& pairs) {
        return {{kTestLimitsVariable, pairs}};
    }
    // Transient failures tried again at once, rather than 1, 2 and 4 s later.
    static std::map<std::string, std::string> quickRetries() {
        return shortLimits("firstRetryDelayMilliseconds=10");
    }

    std::string program = VEXL_UPDATER_EXE; // the build of the program that runs

    std::vector<std::string> programLog() const {
        return logLines(readText(dir.file("VEXL/VEXL Hangar/Updater/vexl_updater_log.txt")));
    }

    // The last `n` lines of the log.
    std::vector<std::string> lastLogLines(std::size_t n) const {
        const auto lines = programLog();
        return std::vector<std::string>(lines.end() - std::min(n, lines.size()), lines.end());
    }

    bool programLogged(const std::string& line) const {
        const auto lines = programLog();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

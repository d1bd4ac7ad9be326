#pragma once

#include "support/UpdateFixture.h"

// Runs the built program as a user does, with APPDATA (and on POSIX the registry file) in the
// test's folder, against the fake service at the compiled-in address.
class ProgramFixture : public UpdateFixture {
protected:
    struct Outcome {
        int exitCode = -1; // -1 when it did not exit by itself
        long peakKiB = 0;
        std::string console;
    };

    ProgramFixture() : UpdateFixture(TestRegistry::Scope::Shared) {}

    testplatform::ProcessHandle startProgram() {
        return testplatform::startProcess(
            VEXL_UPDATER_EXE, {"ignored"},
            {{"APPDATA", dir.path()}, {"VEXL_REGISTRY", registryPath()}}, dir.file("console.txt"),
            dir.file("progress.txt"));
    }

    Outcome finish(testplatform::ProcessHandle program) {
        const testplatform::ProcessEnd end = testplatform::finishProcess(std::move(program));
        return {end.exitCode, end.peakKiB, readText(dir.file("console.txt"))};
    }

    Outcome runProgram() { return finish(startProgram()); }

    std::vector<std::string> programLog() const {
        return logLines(readText(dir.file("VEXL/VEXL Hangar/Updater/vexl_updater_log.txt")));
    }

    bool programLogged(const std::string& line) const {
        const auto lines = programLog();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

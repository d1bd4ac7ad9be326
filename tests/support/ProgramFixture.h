#pragma once

#include "support/UpdateFixture.h"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs the built program as a user does, with APPDATA and the registry file in the test's
// folder, against the fake service at the compiled-in address.
class ProgramFixture : public UpdateFixture {
protected:
    struct Outcome {
        int exitCode = -1; // -1 when it did not exit by itself
        long peakKiB = 0;
        std::string console;
        std::string errors; // standard error
    };

    // Runs the program; `addressSpaceMiB` (when not 0) limits its address space, as a 32-bit
    // process is limited.
    pid_t startProgram(const std::vector<std::string>& args = {}, long addressSpaceMiB = 0) {
        const std::string console = dir.file("console.txt");
        const std::string progress = dir.file("progress.txt");
        const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "APPDATA=" + dir.path(),
                                              "VEXL_REGISTRY=" + registryPath()};
        const pid_t pid = fork();
        if (pid == 0) {
            const int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(progress.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            if (addressSpaceMiB > 0) {
                const rlimit limit{static_cast<rlim_t>(addressSpaceMiB) << 20,
                                   static_cast<rlim_t>(addressSpaceMiB) << 20};
                setrlimit(RLIMIT_AS, &limit);
            }
            std::vector<char*> envp;
            for (const auto& e : env) {
                envp.push_back(const_cast<char*>(e.c_str()));
            }
            envp.push_back(nullptr);
            std::vector<char*> argv = {const_cast<char*>(program.c_str())};
            for (const auto& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            execve(program.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        return pid;
    }

    Outcome finish(pid_t pid) {
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss,
                readFile(dir.file("console.txt")), readFile(dir.file("progress.txt"))};
    }

    Outcome runProgram(const std::vector<std::string>& args = {}) {
        return finish(startProgram(args));
    }

    std::string program = VEXL_UPDATER_EXE; // the build of the program that runs

    std::vector<std::string> programLog() const {
        return logLines(readFile(dir.file("VEXL/VEXL Hangar/Updater/vexl_updater_log.txt")));
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

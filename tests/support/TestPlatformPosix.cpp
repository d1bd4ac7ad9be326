#include "support/TestPlatform.h"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The POSIX side of the tests' platform needs: fork and exec, wait4's resource usage.

struct testplatform::Process {
    pid_t pid = -1;
};

namespace testplatform {

std::string makeTempFolder() {
    std::string pattern = (boost::filesystem::temp_directory_path() / "vexl-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    return pattern;
}

char separator() {
    return '/';
}

std::optional<std::string> environmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

// Measured in a child, so that nothing this process did before counts.
long extraPeakKiB(const std::function<void()>& work) {
    const auto peakOfChild = [](const std::function<void()>& run) {
        const pid_t pid = fork();
        if (pid == 0) {
            run();
            _exit(0);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        return usage.ru_maxrss;
    };
    return peakOfChild(work) - peakOfChild([] {});
}

bool makePipe(const std::string& path) {
    return ::mkfifo(path.c_str(), 0644) == 0;
}

void releasePipe(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    }
}

bool mountSmallDisk(const std::string& folder, int kib) {
    const std::string size = "size=" + std::to_string(kib) + "k";
    return mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) == 0;
}

bool resizeSmallDisk(const std::string& folder, int kib) {
    const std::string size = "size=" + std::to_string(kib) + "k";
    return mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT, size.c_str()) == 0;
}

void unmountSmallDisk(const std::string& folder) {
    umount2(folder.c_str(), MNT_DETACH);
}

int fileInTheWayError() {
    return EEXIST;
}

int notAFolderError() {
    return ENOTDIR;
}

void ProcessReaper::operator()(Process* process) const {
    if (process->pid > 0) {
        ::kill(process->pid, SIGKILL);
        waitpid(process->pid, nullptr, 0);
    }
    delete process;
}

ProcessHandle startProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& outputFile, const std::string& errorFile,
                           long addressSpaceMiB) {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    for (const auto& [name, value] : environment) {
        env.push_back(name + "=" + value);
    }
    ProcessHandle process(new Process);
    process->pid = fork();
    if (process->pid == 0) {
        dup2(open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (addressSpaceMiB > 0) {
            const rlimit limit{static_cast<rlim_t>(addressSpaceMiB) << 20,
                               static_cast<rlim_t>(addressSpaceMiB) << 20};
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& e : env) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    return process;
}

ProcessEnd finishProcess(ProcessHandle process) {
    int status = 0;
    rusage usage{};
    wait4(process->pid, &status, 0, &usage);
    process->pid = -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
}

void killProcess(Process& process) {
    ::kill(process.pid, SIGKILL);
}

void allowRebindingClosedPort(std::uintptr_t socket) {
    int yes = 1;
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

std::shared_ptr<void> holdOpenWithoutSharing(const std::string&) {
    return nullptr;
}

const std::vector<std::pair<const char*, const char*>>& leftOutTests() {
    static const std::vector<std::pair<const char*, const char*>> tests = {
        {"DriverTest.AFileTheSystemHoldsOpenIsNamedInUse",
         "POSIX lets a file in use be replaced; "
         "DriverTest.AFileInUseIsNamedAndTheReleaseRolledBack "
         "has the test file system hold it"}};
    return tests;
}

} // namespace testplatform

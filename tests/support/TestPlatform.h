#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What the tests need from the system they run on. TestPlatformPosix.cpp and
// TestPlatformWin32.cpp each implement all of it; CMake picks one. Texts are UTF-8.
namespace testplatform {

// A new, empty folder under the system's temporary folder.
std::string makeTempFolder();
// The separator the tests join their own paths with.
char separator();

std::optional<std::string> environmentValue(const std::string& name);
// Sets, or with nullopt unsets, a variable of this process's environment.
void setEnvironment(const std::string& name, const std::optional<std::string>& value);

// How much `work` raises the peak memory, in KiB, above what was in use before it.
long extraPeakKiB(const std::function<void()>& work);

// A filesystem of `kib` KiB on an empty folder, where the system lets the test mount one;
// false where it does not. It can be resized while mounted.
bool mountSmallDisk(const std::string& folder, int kib);
bool resizeSmallDisk(const std::string& folder, int kib);
void unmountSmallDisk(const std::string& folder);

// A named pipe at `path`, which blocks whoever opens it to read until someone opens it to write;
// false where the system has none that a file name can take (Windows). releasePipe() lets a
// reader blocked on it go on, so that a test that fails cannot hang.
bool makePipe(const std::string& path);
void releasePipe(const std::string& path);

// The error values Boost.Filesystem reports for a file where a folder is to be made, and for a
// file in the middle of a path.
int fileInTheWayError();
int notAFolderError();

// Opens a file as a running simulator holds one, sharing it with no one, until the handle goes;
// null where the system has no such mode (POSIX lets a file in use be replaced).
std::shared_ptr<void> holdOpenWithoutSharing(const std::string& path);

// A program started with its standard output and error going to files; killed and waited for
// if it is still running when released.
struct Process;
struct ProcessReaper {
    void operator()(Process* process) const;
};
using ProcessHandle = std::unique_ptr<Process, ProcessReaper>;
struct ProcessEnd {
    int exitCode = -1; // -1 when it did not exit by itself
    long peakKiB = 0;
};
// Starts `program` with `arguments` and an environment of `environment` on top of what the
// system needs to start programs at all. `addressSpaceMiB` (when not 0) limits its address space
// where the system can (POSIX); a 32-bit Windows program has its own limit of 2 GiB.
ProcessHandle startProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& outputFile, const std::string& errorFile,
                           long addressSpaceMiB = 0);
ProcessEnd finishProcess(ProcessHandle process);
// Ends it at once, as a power cut would.
void killProcess(Process& process);

// A listening socket may take a port that a closed connection still holds, never a live one.
void allowRebindingClosedPort(std::uintptr_t socket);

// Tests that cannot apply on this system, each with the reason.
const std::vector<std::pair<const char*, const char*>>& leftOutTests();

} // namespace testplatform

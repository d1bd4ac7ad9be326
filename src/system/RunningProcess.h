#pragma once

#include <boost/filesystem/path.hpp>
#include <optional>
#include <string>

// Whether a program runs from inside a folder, such as a simulator that holds its files open.
// RunningProcessPosix.cpp and RunningProcessWin32.cpp each implement it; CMake picks one.
namespace platform {

// The executable's path of a running process (other than this one) whose executable lies inside
// `folder` at any depth ("P3D" holds "P3D/sim.exe" but not "P3D v5/sim.exe"); nothing when none
// does or the folder is not there. A process the system does not let this one inspect is passed
// over.
std::optional<std::string> processRunningInside(const boost::filesystem::path& folder);

} // namespace platform

#include "system/RunningProcess.h"

#include <boost/filesystem/operations.hpp>
#include <cctype>
#include <dirent.h>
#include <limits.h>
#include <memory>
#include <unistd.h>

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

bool isProcessNumber(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
    return *name != '\0';
}

// The executable of process `name` (a number under /proc); nothing when it may not be read.
std::optional<std::string> imageOf(const std::string& name) {
    char target[PATH_MAX];
    const ssize_t length = readlink(("/proc/" + name + "/exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return std::nullopt;
    }
    return std::string(target, static_cast<std::size_t>(length));
}

// A name that merely starts like the folder's is another folder.
bool liesInside(const std::string& image, const std::string& folder) {
    const std::string prefix = folder.back() == '/' ? folder : folder + '/';
    return image.size() > prefix.size() && image.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

std::optional<std::string> platform::processRunningInside(const boost::filesystem::path& folder) {
    boost::system::error_code error;
    // The links under /proc name executables by their real paths.
    const boost::filesystem::path real = boost::filesystem::canonical(folder, error);
    const std::unique_ptr<DIR, DirectoryCloser> processes(opendir("/proc"));
    if (error || real.empty() || !processes) {
        return std::nullopt;
    }
    const std::string self = std::to_string(getpid());
    while (const dirent* entry = readdir(processes.get())) {
        if (!isProcessNumber(entry->d_name) || self == entry->d_name) {
            continue;
        }
        const std::optional<std::string> image = imageOf(entry->d_name);
        if (image && liesInside(*image, real.string())) {
            return image;
        }
    }
    return std::nullopt;
}

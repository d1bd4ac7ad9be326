#pragma once

#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

// The built maker's tool run as a maker runs it, and the trees it writes; for the publisher's
// tests (POSIX only, as the tool is). VEXL_PUBLISH_EXE names the tool.

using Tree = std::map<std::string, std::string>; // bytes by path below the folder

inline Tree snapshot(const std::string& folder) {
    Tree tree;
    for (boost::filesystem::recursive_directory_iterator it(folder), end; it != end; ++it) {
        if (boost::filesystem::is_regular_file(it->path())) {
            tree[it->path().lexically_relative(folder).generic_string()] =
                readFile(it->path().string());
        }
    }
    return tree;
}

inline std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

struct CommandRun {
    int exitCode;
    std::string out;
    std::string err;
};

// Standard output and error pass through out.txt and err.txt of `dir`.
inline CommandRun runPublish(const TempDir& dir, const std::vector<std::string>& arguments) {
    std::string command = quoted(VEXL_PUBLISH_EXE);
    for (const std::string& argument : arguments) {
        command += " " + quoted(argument);
    }
    command += " >" + quoted(dir.file("out.txt")) + " 2>" + quoted(dir.file("err.txt"));
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(dir.file("out.txt")),
            readFile(dir.file("err.txt"))};
}

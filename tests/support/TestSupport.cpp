#include "support/TestSupport.h"

#include "log/Log.h"

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vexl-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    boost::system::error_code ec;
    // Tests may leave read-only files and folders behind; make them removable first.
    for (fs::recursive_directory_iterator it(path_, ec), end; it != end; it.increment(ec)) {
        fs::permissions(it->path(), fs::owner_all | fs::add_perms, ec);
    }
    fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& relative) const {
    std::string text = path_ + "/" + relative;
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        old_ = old;
    }
    if (value) {
        setenv(name, value->c_str(), 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    return fs::exists(path);
}

long peakKiBOfChild(const std::function<void()>& work) {
    const pid_t pid = fork();
    if (pid == 0) {
        work();
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return usage.ru_maxrss;
}

std::vector<std::string> logLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line.size() > 20 && line[4] == '/' ? line.substr(20) : line);
    }
    return lines;
}

LogCapture::LogCapture(const TempDir& dir) : path_(dir.file("test-log.txt")) {
    setLogFile(path_);
}

LogCapture::~LogCapture() {
    setLogFile("");
}

void LogCapture::clear() {
    writeFile(path_, "");
    setLogFile(path_);
}

std::vector<std::string> LogCapture::lines() const {
    return logLines(readFile(path_));
}

bool LogCapture::has(const std::string& line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
}

std::vector<std::string> LogCapture::containing(const std::string& part) const {
    std::vector<std::string> found;
    for (const auto& line : lines()) {
        if (line.find(part) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

SandboxTest::SandboxTest()
    : appData("APPDATA", dir.path()), registryFile("VEXL_REGISTRY", dir.file("registry.reg")),
      log(dir) {}

std::string SandboxTest::updaterFolder() const {
    return dir.path() + "\\VEXL\\VEXL Hangar\\Updater\\";
}

void copyTree(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (fs::recursive_directory_iterator it(from), end; it != end; ++it) {
        const fs::path target = fs::path(to) / fs::relative(it->path(), from);
        if (fs::is_directory(it->path())) {
            fs::create_directories(target);
        } else {
            writeFile(target.string(), readFile(it->path().string()));
        }
    }
}

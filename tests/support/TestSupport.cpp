#include "support/TestSupport.h"

#include "log/Log.h"
#include "system/Paths.h"
#include "system/RunningProcess.h"

#include <boost/filesystem.hpp>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = boost::filesystem;

TempDir::TempDir() : path_(testplatform::makeTempFolder()) {}

TempDir::~TempDir() {
    boost::system::error_code ec;
    // Tests may leave read-only files and folders behind; make them removable first.
    for (fs::recursive_directory_iterator it(toFsPath(path_), ec), end; it != end;
         it.increment(ec)) {
        fs::permissions(it->path(), fs::owner_all | fs::add_perms, ec);
    }
    fs::remove_all(toFsPath(path_), ec);
}

std::string TempDir::file(const std::string& relative) const {
    std::string text = path_ + testplatform::separator() + relative;
    for (char& c : text) {
        c = (c == '\\' || c == '/') ? testplatform::separator() : c;
    }
    return text;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value)
    : name_(name), old_(testplatform::environmentValue(name)) {
    testplatform::setEnvironment(name_, value);
}

ScopedEnv::~ScopedEnv() {
    testplatform::setEnvironment(name_, old_);
}

namespace {

std::string readWith(const std::string& path, const char* mode) {
    const FilePtr in = openFile(path, mode);
    std::string content;
    char chunk[65536];
    std::size_t got = 0;
    while (in && (got = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) {
        content.append(chunk, got);
    }
    return content;
}

} // namespace

std::string readFile(const std::string& path) {
    return readWith(path, "rb");
}

std::string readText(const std::string& path) {
    return readWith(path, "r");
}

void writeFile(const std::string& path, const std::string& content) {
    fs::create_directories(toFsPath(path).parent_path());
    const FilePtr out = openFile(path, "wb");
    if (!out || std::fwrite(content.data(), 1, content.size(), out.get()) != content.size()) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool fileExists(const std::string& path) {
    return fs::exists(toFsPath(path));
}

void copyTree(const std::string& from, const std::string& to) {
    const fs::path source = toFsPath(from);
    fs::create_directories(toFsPath(to));
    for (fs::recursive_directory_iterator it(source), end; it != end; ++it) {
        const fs::path target = toFsPath(to) / fs::relative(it->path(), source);
        if (fs::is_directory(it->path())) {
            fs::create_directories(target);
        } else {
            writeFile(target.string(), readFile(it->path().string()));
        }
    }
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

std::string maskSeconds(const std::string& line) {
    static const std::regex kDuration(" [0-9]+\\.[0-9] s\\.$");
    return std::regex_replace(line, kDuration, " _ s.");
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
    return logLines(readText(path_));
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

SandboxTest::SandboxTest(TestRegistry::Scope scope)
    : appData("APPDATA", dir.path()), registryFile("VEXL_REGISTRY", dir.file("registry.reg")),
      registry(dir.file("registry.reg"), scope), log(dir) {}

std::string SandboxTest::updaterFolder() const {
    return dir.path() + "\\VEXL\\VEXL Hangar\\Updater\\";
}

RegistryData dwordData(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes += static_cast<char>((value >> shift) & 0xFF);
    }
    return {RegistryData::Type::Dword, bytes};
}

RegistryData binaryData(const std::string& bytes) {
    return {RegistryData::Type::Binary, bytes};
}

RegistryData expandStringData(const std::string& text) {
    return {RegistryData::Type::ExpandString, text};
}

testplatform::ProcessHandle startSimulator(const std::string& folder) {
    const std::string image = folder + testplatform::separator() + "sim.exe";
    boost::filesystem::copy_file(VEXL_SLEEPER_EXE, image,
                                 boost::filesystem::copy_options::overwrite_existing);
    testplatform::ProcessHandle process =
        testplatform::startProcess(image, {"60"}, {}, folder + "-out.txt", folder + "-err.txt");
    // The new process shows its own executable only once it has started it.
    for (int wait = 0; wait < 500 && !platform::processRunningInside(folder); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return process;
}

#include "support/TestPlatform.h"

#include "system/WindowsText.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
// winsock2.h before windows.h, and psapi.h after it.
#include <winsock2.h>

#include <windows.h>

#include <psapi.h>

// The Windows side of the tests' platform needs: CreateProcessW with an environment block, the
// process memory counters, the CRT's wide environment (which the program reads).

struct testplatform::Process {
    PROCESS_INFORMATION info{};
    bool killed = false;
    bool ended = false;
    long peakKiB = 0;
};

namespace testplatform {
namespace {

long peakKiBOf(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters)) {
        return 0;
    }
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment with `changes` applied, as CreateProcessW takes it.
std::wstring environmentBlock(const std::map<std::string, std::string>& changes) {
    std::vector<std::wstring> entries;
    const LPWCH current = GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        const std::wstring name = text.substr(0, text.find(L'=', 1));
        const bool replaced = std::any_of(changes.begin(), changes.end(), [&](const auto& change) {
            return sameName(toWide(change.first), name);
        });
        if (!replaced) {
            entries.push_back(text);
        }
    }
    FreeEnvironmentStringsW(current);
    for (const auto& [name, value] : changes) {
        entries.push_back(toWide(name + "=" + value));
    }
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry + L'\0';
    }
    return block + L'\0';
}

HANDLE inheritableFile(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring quoted(const std::string& argument) {
    return L"\"" + toWide(argument) + L"\"";
}

} // namespace

std::string makeTempFolder() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    static std::mt19937_64 random{std::random_device{}() ^ GetCurrentProcessId()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring folder = std::wstring(temp, length) + L"vexl-test-" +
                                    std::to_wstring(random() % 1000000000000ULL);
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            return fromWide(folder);
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

char separator() {
    return '\\';
}

std::optional<std::string> environmentValue(const std::string& name) {
    const wchar_t* value = _wgetenv(toWide(name).c_str());
    return value == nullptr ? std::nullopt : std::optional<std::string>(fromWide(value));
}

// Both the CRT's copy, which the program reads, and the system's, which children inherit.
void setEnvironment(const std::string& name, const std::optional<std::string>& value) {
    const std::wstring wideName = toWide(name);
    _wputenv((wideName + L"=" + (value ? toWide(*value) : L"")).c_str());
    SetEnvironmentVariableW(wideName.c_str(), value ? toWide(*value).c_str() : nullptr);
}

// Measured in this process: each test runs in a process of its own, so what came before the work
// is the test's own small set-up.
long extraPeakKiB(const std::function<void()>& work) {
    PROCESS_MEMORY_COUNTERS before{};
    before.cb = sizeof before;
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    work();
    return peakKiBOf(GetCurrentProcess()) - static_cast<long>(before.WorkingSetSize / 1024);
}

// A test cannot mount a filesystem under Wine; the one test that needs it is left out.
bool makePipe(const std::string&) {
    return false;
}

void releasePipe(const std::string&) {}

bool mountSmallDisk(const std::string&, int) {
    return false;
}

bool resizeSmallDisk(const std::string&, int) {
    return false;
}

void unmountSmallDisk(const std::string&) {}

int fileInTheWayError() {
    return ERROR_ALREADY_EXISTS;
}

int notAFolderError() {
    return ERROR_PATH_NOT_FOUND;
}

void ProcessReaper::operator()(Process* process) const {
    if (!process->ended) {
        TerminateProcess(process->info.hProcess, 1);
        WaitForSingleObject(process->info.hProcess, INFINITE);
    }
    CloseHandle(process->info.hThread);
    CloseHandle(process->info.hProcess);
    delete process;
}

ProcessHandle startProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::map<std::string, std::string>& environment,
                           const std::string& outputFile, const std::string& errorFile, long) {
    std::wstring commandLine = quoted(program);
    for (const auto& argument : arguments) {
        commandLine += L" " + quoted(argument);
    }
    std::wstring block = environmentBlock(environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = inheritableFile(outputFile);
    startup.hStdError = inheritableFile(errorFile);
    ProcessHandle process(new Process);
    const BOOL started =
        CreateProcessW(toWide(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process->info);
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started) {
        process->ended = true;
        throw std::runtime_error("cannot start " + program);
    }
    return process;
}

// The peak is sampled while the program runs: once it has ended, the system no longer counts.
ProcessEnd finishProcess(ProcessHandle process) {
    long peak = 0;
    while (WaitForSingleObject(process->info.hProcess, 20) == WAIT_TIMEOUT) {
        peak = std::max(peak, peakKiBOf(process->info.hProcess));
    }
    peak = std::max(peak, peakKiBOf(process->info.hProcess));
    process->ended = true;
    DWORD code = 0;
    GetExitCodeProcess(process->info.hProcess, &code);
    return {process->killed ? -1 : static_cast<int>(code), peak};
}

void killProcess(Process& process) {
    process.killed = true;
    TerminateProcess(process.info.hProcess, 1);
}

void allowRebindingClosedPort(std::uintptr_t socket) {
    BOOL yes = TRUE;
    setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

} // namespace testplatform

namespace testplatform {

// Every test of the POSIX suite runs here too, except these. (The ctest SampleServiceTest, the
// POSIX program against nginx, has its counterpart WineServiceTest in tests/CMakeLists.txt.)
// Not built here at all (tests/CMakeLists.txt): PublisherTest and SignatureTest, which use the
// maker's tool, built for POSIX only since it runs where the service is made; DelayProxyTest, the
// benchmark's POSIX proxy; and the shell tests of nginx, which WineServiceTest stands in for.
std::shared_ptr<void> holdOpenWithoutSharing(const std::string& path) {
    const HANDLE file = CreateFileW(toWide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    return std::shared_ptr<void>(file, CloseHandle);
}

const std::vector<std::pair<const char*, const char*>>& leftOutTests() {
    static const std::vector<std::pair<const char*, const char*>> tests = {
        {"RegistryFileTest.*",
         "the export-format file is the registry's stand-in on POSIX; here the tests of the "
         "registry operations run against the system's registry"},
        {"UpdaterFolderTest.FallsBackToTheXdgDataFolderThenHome",
         "the XDG data folder is POSIX's fallback; Windows has APPDATA only"},
        {"FaultInjectionTest.ADiskTooSmallIsFoundBeforeAnyDownloadAndTheRerunCompletes",
         "a test cannot mount a small filesystem from inside Wine"},
        {"FaultInjectionTest.RunningOutOfMemoryEndsOnlyThatProduct",
         "the test limits the program's address space as POSIX does; Wine enforces no memory "
         "limit of a job object"},
        {"SafeWriteTest.AnOwnerOnlyFileIsReadableByItsOwnerOnly",
         "POSIX modes; owner-only files are for the maker's tool, which is built for POSIX only"},
        {"RemovalStepTest.ALinkAtAListedNameIsTheUsersAndStays", "Wine makes no symbolic links"},
        {"DownloaderTest.OnlyAServerWithAGoodCertificateIsTrusted:"
         "DownloaderTest.AnHttpsServiceIsNeverRedirectedToHttp",
         "the in-process TLS server needs OpenSSL, which the Windows build does not have; "
         "WineServiceTest checks the Windows program's certificates against nginx over TLS"},
        {"DriverTest.AVersionThatCannotBeRecordedFailsEveryProductThatWasToBeRecorded",
         "its write fails on a line break, which the registry file cannot hold and Windows' "
         "registry can; WindowsProgramTest makes a write fail with a key that denies it"},
    };
    return tests;
}

} // namespace testplatform

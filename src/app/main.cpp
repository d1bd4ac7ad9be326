#include "log/Events.h"
#include "log/Log.h"
#include "net/Signatures.h"
#include "service/Catalogue.h"
#include "service/ServiceAddresses.h"
#include "system/FileLock.h"
#include "system/MemoryReserve.h"
#include "system/Paths.h"
#include "system/Registry.h"
#include "system/TestLimits.h"
#include "update/ByteRate.h"
#include "update/records/Hold.h"
#include "update/Report.h"
#include "update/Updater.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// What a scheduler reads.
constexpr int kPassComplete = 0;  // no product failed
constexpr int kCouldNotStart = 1; // nothing was updated: unknown codes, no updater folder, busy
constexpr int kPassAborted = 2;   // the service could not be reached or was not usable
constexpr int kProductsFailed = 3;
constexpr int kUpdateWaiting = 4; // --check, or a download waiting for the simulator to close

const char kLockName[] = "vexl_updater.lock";

std::string usage() {
    std::string folder;
    try {
        folder = updaterFolderPath();
    } catch (const std::runtime_error&) {
        folder = "(none: set APPDATA) ";
    }
    return "Usage: vexl-updater [--verify | --repair | --restore | --resume-updates | --check |\n"
           "                    --help | --version] [--events FILE] [--max-rate RATE]\n"
           "                   [--install-while-running]\n\n"
           "Brings the installed VEXL 744 for P3D up to the newest version that VEXL's update\n"
           "service offers: every changed file is downloaded, proved by its MD5 digest, the file\n"
           "it replaces is backed up, and the new version is recorded. It needs no arguments and\n"
           "is made to run unattended, for example as a scheduled task.\n\n"
           "  --verify          compare the installed files with the newest release, changing\n"
           "                    nothing but the log (exit 3 when a file is changed or missing)\n"
           "  --repair          verify, then download and install the changed and missing files\n"
           "                    (the changed ones are kept in the backup folder)\n"
           "  --restore         put back the files of the version before the last update, record\n"
           "                    that version and hold updates there (exit 1 when no update is\n"
           "                    recorded, 3 when a backup is missing or changed)\n"
           "  --resume-updates  lift the hold of a restore: the next run updates again\n"
           "  --check           ask the update service whether an update is waiting, changing\n"
           "                    nothing but the log (exit 4 when one is)\n"
           "  --events FILE     append the run's events to FILE as JSON Lines (- for standard\n"
           "                    output)\n"
           "  --max-rate RATE   download at most RATE bytes per second in all (K and M suffixes:\n"
           "                    200K, 2M)\n"
           "  --install-while-running  install even while the simulator runs (its open files\n"
           "                    then fail the update, which is rolled back)\n\n"
           "Log:      " +
           folder +
           "vexl_updater_log.txt\n"
           "Registry: " +
           registry::location() +
           "\n\n"
           "Exit codes:\n"
           "  0  the pass is complete and no product failed\n"
           "  1  the run could not start (unknown aircraft or simulator, no updater folder,\n"
           "     another run in progress)\n"
           "  2  the pass was aborted (the update service could not be reached, or its product\n"
           "     information was not usable)\n"
           "  3  the pass ran to its end but at least one product failed\n"
           "  4  an update is waiting: --check found one, or it is downloaded and is installed\n"
           "     by a run after the simulator closes\n";
}

// The options that go with any command.
struct RunOptions {
    std::string eventsPath; // empty: no events
    std::uint64_t maxBytesPerSecond = 0;
    bool installWhileRunning = false;
};

// Takes the options out of the arguments and leaves the rest in `command`. False for an option
// without a usable value, or given twice; `refusal` then names the option when its value is out
// of range (empty: the usage says it).
bool readOptions(int argc, char** argv, RunOptions& options, std::vector<std::string>& command,
                 std::string& refusal) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--install-while-running") {
            options.installWhileRunning = true;
            continue;
        }
        if (argument != "--events" && argument != "--max-rate") {
            command.push_back(argument);
            continue;
        }
        const bool given =
            argument == "--events" ? !options.eventsPath.empty() : options.maxBytesPerSecond > 0;
        if (given || i + 1 >= argc || argv[i + 1][0] == '\0') {
            return false;
        }
        const std::string value = argv[++i];
        if (argument == "--events") {
            options.eventsPath = value;
        } else if (const auto rate = parseByteRate(value)) {
            options.maxBytesPerSecond = *rate;
        } else {
            refusal = byteRateRefusal();
            return false;
        }
    }
    return true;
}

// The last line of every run that opened its log, for a person or a script to find.
int endRun(int exitCode) {
    static const char* const kResults[] = {"complete", "not started", "aborted", "failed products",
                                           "update waiting"};
    logMessage(kLogInfo, std::string("Run result: ") + kResults[exitCode] + " (exit " +
                             std::to_string(exitCode) + ")");
    events::emit("run-end", {{"exit", exitCode}});
    return exitCode;
}

// What a run does once it is set up: the nightly update, or one a person or a launcher asked for.
enum class Command { Update, Verify, Repair, Restore, ResumeUpdates, Check };

// The command the arguments left by readOptions() name; nothing for anything else.
std::optional<Command> commandOf(const std::vector<std::string>& arguments) {
    static const std::map<std::string, Command> kCommands = {
        {"--verify", Command::Verify},
        {"--repair", Command::Repair},
        {"--restore", Command::Restore},
        {"--resume-updates", Command::ResumeUpdates},
        {"--check", Command::Check}};
    if (arguments.empty()) {
        return Command::Update;
    }
    const auto command = arguments.size() == 1 ? kCommands.find(arguments[0]) : kCommands.end();
    return command == kCommands.end() ? std::nullopt : std::optional<Command>(command->second);
}

// What a build trusts, for a person who wonders which service and keys it was made with.
std::string buildText() {
    const std::string keys = builtInPublicKeys();
    return versionBanner() + "\nUpdate service: " + serviceRoot() + "\nSigning keys: " +
           (keys.empty() ? "none (this build accepts documents without signatures)" : keys) + "\n";
}

// Arguments for a person at a console answer at once; they never start a run. A word that is no
// command is named, so that a typing slip does not hide in the usage.
int answerArguments(const std::vector<std::string>& arguments) {
    const std::string argument = arguments.size() == 1 ? arguments[0] : "";
    if (argument == "--help") {
        std::fputs(usage().c_str(), stdout);
        return kPassComplete;
    }
    if (argument == "--version") {
        std::fputs(buildText().c_str(), stdout);
        return kPassComplete;
    }
    for (const std::string& word : arguments) {
        if (!commandOf({word}) && word != "--help" && word != "--version") {
            std::fputs(("Unknown option " + word + ".\n").c_str(), stderr);
            break;
        }
    }
    std::fputs(usage().c_str(), stderr);
    return kCouldNotStart;
}

const auto kRunStart = std::chrono::steady_clock::now();

int endPass(int exitCode) {
    endRun(exitCode);
    logMessage(kLogInfo, "Done.");
    return exitCode;
}

// --resume-updates, and the nightly run or --check while a restore holds updates: none asks the
// service.
std::optional<int> answerHold(const Updater& updater, Command command) {
    if (command == Command::ResumeUpdates) {
        try {
            logMessage(kLogInfo, resumeUpdates(updater.updaterFolder)
                                     ? "Updates resume: the next run updates to the newest version."
                                     : "Updates are not held.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "Cannot lift the hold: " + shown(error.what()));
            return endRun(kCouldNotStart);
        }
        return endPass(kPassComplete);
    }
    std::string reason;
    const std::optional<std::string> held = heldVersion(updater.updaterFolder, &reason);
    if ((command != Command::Update && command != Command::Check) || !held) {
        return std::nullopt;
    }
    // A hold that cannot be read still holds: updating past a restore is what it is there to stop.
    if (!reason.empty()) {
        logMessage(kLogError, "Cannot read the hold " + holdPath(updater.updaterFolder) + ": " +
                                  reason + "; updates stay held.");
    }
    logMessage(kLogInfo, "Updates are held at " +
                             shown(held->empty() ? updater.installedDisplayVersion : *held) +
                             " since a restore; run vexl-updater --resume-updates to update "
                             "again.");
    return endPass(kPassComplete);
}

int runUpdate(Updater& updater) {
    const UpdateCounts counts = updater.updateProducts();
    logMessage(kLogInfo, "Received " + mebibytesText(updater.downloader.bytesReceived()) +
                             " MiB in " +
                             secondsText(std::chrono::steady_clock::now() - kRunStart) + " s.");
    logMessage(kLogInfo,
               "Installed products that failed to update: " + std::to_string(counts.failed));
    logMessage(kLogInfo,
               "Installed products successfully updated: " + std::to_string(counts.succeeded));
    return endPass(counts.failed > 0    ? kProductsFailed
                   : counts.waiting > 0 ? kUpdateWaiting
                                        : kPassComplete);
}

int runCommand(Updater& updater, Command command) {
    switch (command) {
    case Command::Verify:
        return endPass(updater.verifyProducts() ? kPassComplete : kProductsFailed);
    case Command::Repair:
        return endPass(updater.repairProducts() ? kPassComplete : kProductsFailed);
    case Command::Restore:
        switch (updater.restoreProducts()) {
        case Updater::RestoreResult::Restored:
            return endPass(kPassComplete);
        case Updater::RestoreResult::Refused:
            return endPass(kProductsFailed);
        case Updater::RestoreResult::NothingToRestore:
            return endRun(kCouldNotStart);
        }
        break;
    case Command::Check: {
        const CheckCounts found = updater.checkProducts();
        return endPass(found.failed > 0    ? kProductsFailed
                       : found.waiting > 0 ? kUpdateWaiting
                                           : kPassComplete);
    }
    default:
        break;
    }
    return runUpdate(updater);
}

int runPass(Updater& updater, Command command) {
    const std::string aircraft = "744";
    const std::string simulator = "P3D";
    logMessage(kLogInfo, "===== VEXL updater commencing");
    logMessage(kLogInfo, "Setting up for " + aircraft + " / " + simulator);
    updater.aircraft = aircraft;
    updater.simulator = simulator;
    updater.onlyLooks = command == Command::Check || command == Command::Verify;
    try {
        updater.initialise();
    } catch (const std::runtime_error& error) {
        logMessage(kLogError, error.what());
        return endRun(kCouldNotStart);
    }
    updater.findInstalledVersion();
    updater.recoverInterruptedRuns(); // held or not, before anything else
    if (const std::optional<int> exitCode = answerHold(updater, command)) {
        return *exitCode;
    }
    updater.fetchProductInformation();
    return runCommand(updater, command);
}

// Whatever escapes the pass (the update service unreachable or its product information
// unusable) ends it in order, logged, rather than as a crash.
int runGuarded(Updater& updater, Command command) {
    try {
        return runPass(updater, command);
    } catch (const std::exception& error) {
        logMessage(kLogError, shown(error.what())); // it may quote the service's text
    } catch (...) {
        logMessage(kLogError, "The update pass stopped on an unexpected error.");
    }
    return endRun(kPassAborted);
}

// The events a launcher asked for; a file that cannot be written costs the events, not the run,
// but something other than a file at its name stops the run. False when the run must stop.
bool startEvents(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    std::string reason;
    if (!events::open(path, &reason)) {
        if (reason == kNotRegularFile) {
            logMessage(kLogError, "Cannot write the events file " + path + ": " + reason +
                                      "; this run stops.");
            return false;
        }
        logMessage(kLogError, "Cannot write the events file " + path + "; no events are written.");
        return true;
    }
    events::emit("run-start", {{"time", recordTime(std::time(nullptr))}});
    return true;
}

} // namespace

int main(int argc, char** argv) {
    RunOptions options;
    std::vector<std::string> arguments;
    std::string refusal;
    if (!readOptions(argc, argv, options, arguments, refusal)) {
        std::fputs(refusal.empty() ? usage().c_str() : (refusal + "\n").c_str(), stderr);
        return kCouldNotStart;
    }
    const std::optional<Command> command = commandOf(arguments);
    if (!command) {
        return answerArguments(arguments);
    }
    holdMemoryReserve();
    Updater updater;
    updater.installWhileRunning = options.installWhileRunning;
    TransferLimits limits = updater.downloader.limits();
    limits.maxBytesPerSecond = options.maxBytesPerSecond;
    if (VEXL_TEST_BUILD && std::getenv(kTestLimitsVariable) != nullptr) {
        limits = withTestLimits(limits, std::getenv(kTestLimitsVariable));
    }
    updater.downloader.setLimits(limits);
    try {
        updater.updaterFolder = updater.system.updaterFolderPath();
        updater.system.ensureDirectory(updater.updaterFolder);
    } catch (const std::runtime_error&) {
        return kCouldNotStart; // the console line has been written
    }
    const std::string& folder = updater.updaterFolder;
    if (!initLogFile(folder) || !startEvents(options.eventsPath)) {
        return endRun(kCouldNotStart);
    }
    const FileLock lock(folder + kLockName);
    if (lock.state() == FileLock::State::Busy) {
        logMessage(kLogError, "Another update run is in progress; this run stops.");
        return endRun(kCouldNotStart);
    }
    if (lock.state() == FileLock::State::Held) {
        setAsideLargeLog(folder);
    }
    if (lock.state() == FileLock::State::Failed) {
        logMessage(kLogError, "Cannot lock " + folder + kLockName + ": " + lock.reason() +
                                  "; this run stops.");
        return endRun(kCouldNotStart);
    }
    return runGuarded(updater, *command);
}

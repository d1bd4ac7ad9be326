#include "log/Log.h"
#include "system/FileLock.h"
#include "system/MemoryReserve.h"
#include "system/Paths.h"
#include "system/Registry.h"
#include "update/Catalogue.h"
#include "update/Updater.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

// What a scheduler reads.
constexpr int kPassComplete = 0;  // no product failed
constexpr int kCouldNotStart = 1; // nothing was updated: unknown codes, no updater folder, busy
constexpr int kPassAborted = 2;   // the service could not be reached or was not usable
constexpr int kProductsFailed = 3;

const char kLockName[] = "vexl_updater.lock";

std::string usage() {
    std::string folder;
    try {
        folder = updaterFolderPath();
    } catch (const std::runtime_error&) {
        folder = "(none: set APPDATA) ";
    }
    return "Usage: vexl-updater [--verify | --help | --version]\n\n"
           "Brings the installed VEXL 744 for P3D up to the newest version that VEXL's update\n"
           "service offers: every changed file is downloaded, proved by its MD5 digest, the file\n"
           "it replaces is backed up, and the new version is recorded. It needs no arguments and\n"
           "is made to run unattended, for example as a scheduled task.\n\n"
           "  --verify   compare the installed files with the newest release, changing nothing\n"
           "             but the log (exit 3 when a file is changed or missing)\n\n"
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
           "  3  the pass ran to its end but at least one product failed\n";
}

// Arguments for a person at a console answer at once; they never start a run.
int answerArguments(const std::string& argument) {
    if (argument == "--help") {
        std::fputs(usage().c_str(), stdout);
        return kPassComplete;
    }
    if (argument == "--version") {
        std::puts(versionBanner().c_str());
        return kPassComplete;
    }
    std::fputs(usage().c_str(), stderr);
    return kCouldNotStart;
}

// The last line of every run that opened its log, for a person or a script to find.
int endRun(int exitCode) {
    static const char* const kResults[] = {"complete", "not started", "aborted", "failed products"};
    logMessage(kLogInfo, std::string("Run result: ") + kResults[exitCode] + " (exit " +
                             std::to_string(exitCode) + ")");
    return exitCode;
}

// What a run does once it is set up: the nightly update, or a check of what is installed.
enum class Command { Update, Verify };

int runPass(Updater& updater, Command command) {
    const std::string aircraft = "744";
    const std::string simulator = "P3D";
    logMessage(kLogInfo, "===== VEXL updater commencing");
    logMessage(kLogInfo, "Setting up for " + aircraft + " / " + simulator);
    updater.aircraft = aircraft;
    updater.simulator = simulator;
    try {
        updater.initialise();
    } catch (const std::runtime_error& error) {
        logMessage(kLogError, error.what());
        return endRun(kCouldNotStart);
    }
    updater.findInstalledVersion();
    updater.fetchProductInformation();
    if (command == Command::Verify) {
        const int exitCode = updater.verifyProducts() ? kPassComplete : kProductsFailed;
        endRun(exitCode);
        logMessage(kLogInfo, "Done.");
        return exitCode;
    }
    const UpdateCounts counts = updater.updateProducts();
    logMessage(kLogInfo,
               "Installed products that failed to update: " + std::to_string(counts.failed));
    logMessage(kLogInfo,
               "Installed products successfully updated: " + std::to_string(counts.succeeded));
    const int exitCode = counts.failed > 0 ? kProductsFailed : kPassComplete;
    endRun(exitCode);
    logMessage(kLogInfo, "Done.");
    return exitCode;
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

} // namespace

int main(int argc, char** argv) {
    const std::string argument = argc == 2 ? argv[1] : argc > 2 ? "(several)" : "";
    const Command command = argument == "--verify" ? Command::Verify : Command::Update;
    if (argc > 1 && command == Command::Update) {
        return answerArguments(argument);
    }
    holdMemoryReserve();
    Updater updater;
    try {
        updater.updaterFolder = updater.system.updaterFolderPath();
        updater.system.ensureDirectory(updater.updaterFolder);
    } catch (const std::runtime_error&) {
        return kCouldNotStart; // the console line has been written
    }
    const std::string& folder = updater.updaterFolder;
    initLogFile(folder);
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
    return runGuarded(updater, command);
}

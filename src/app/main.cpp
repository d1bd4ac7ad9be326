#include "log/Log.h"
#include "update/Updater.h"

#include <exception>
#include <stdexcept>
#include <string>

namespace {

constexpr int kPassComplete = 0;
constexpr int kCouldNotStart = 1;
constexpr int kPassAborted = 2;

int runPass() {
    const std::string aircraft = "744";
    const std::string simulator = "P3D";
    Updater updater;
    try {
        initLogFile(updater.system.updaterFolderPath());
    } catch (const std::runtime_error&) {
        return kCouldNotStart; // the console line has been written
    }
    logMessage(kLogInfo, "===== VEXL updater commencing");
    logMessage(kLogInfo, "Setting up for " + aircraft + " / " + simulator);
    updater.aircraft = aircraft;
    updater.simulator = simulator;
    try {
        updater.initialise();
    } catch (const std::runtime_error& error) {
        logMessage(kLogError, error.what());
        return kCouldNotStart;
    }
    updater.findInstalledVersion();
    updater.fetchProductInformation();
    const UpdateCounts counts = updater.updateProducts();
    logMessage(kLogInfo,
               "Installed products that failed to update: " + std::to_string(counts.failed));
    logMessage(kLogInfo,
               "Installed products successfully updated: " + std::to_string(counts.succeeded));
    logMessage(kLogInfo, "Done.");
    return kPassComplete;
}

} // namespace

int main() {
    // Whatever escapes the pass (the update service unreachable or its product information
    // unusable) ends it in order, logged, rather than as a crash.
    try {
        return runPass();
    } catch (const std::exception& error) {
        logMessage(kLogError, error.what());
    } catch (...) {
        logMessage(kLogError, "The update pass stopped on an unexpected error.");
    }
    return kPassAborted;
}

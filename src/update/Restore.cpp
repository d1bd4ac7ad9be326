#include "update/Updater.h"

#include "log/Log.h"
#include "update/Hold.h"
#include "update/Version.h"
#include "update/WholeRelease.h"

#include <stdexcept>

namespace {

std::string productName(const ProductRecord& record) {
    return shown(record.ProdName) + " for " + shown(record.Simulator);
}

} // namespace

// Every product is checked before anything moves; a refused product changes nothing.
Updater::RestoreResult Updater::restoreProducts() {
    std::vector<Restorable> restorable;
    bool refused = false;
    for (const ProductRecord& record : products) {
        try {
            if (std::optional<Restorable> product = checkRestorable(record)) {
                restorable.push_back(std::move(*product));
            }
        } catch (const std::exception& error) {
            logMessage(kLogError,
                       "Cannot restore " + productName(record) + ": " + shown(error.what()) + ".");
            refused = true;
        }
    }
    if (restorable.empty() && !refused) {
        logMessage(kLogInfo, "No recorded update to restore.");
        return RestoreResult::NothingToRestore;
    }
    if (!restorable.empty() && !restore(restorable)) {
        refused = true;
    }
    return refused ? RestoreResult::Refused : RestoreResult::Restored;
}

// The product's last recorded update when it can be undone exactly; nothing when there is none.
// Throws with the reason when there is one that cannot.
std::optional<Updater::Restorable> Updater::checkRestorable(const ProductRecord& record) {
    const std::optional<ProductFolders> folders = locateInstalled(record);
    if (!folders) {
        return std::nullopt;
    }
    std::optional<Journal> journal = recordedUpdate(*folders, installedDisplayVersion);
    if (!journal) {
        return std::nullopt;
    }
    if (!exactVersionNumber(journal->fromVersion)) {
        throw std::runtime_error("its last update started from no version (" +
                                 shown(journal->fromVersion) + ")");
    }
    if (const std::optional<std::string> why = whyNotRestorable(*journal, *folders)) {
        throw std::runtime_error(*why);
    }
    return Restorable{&record, *folders, std::move(*journal)};
}

// The version goes back first: should putting the files back stop half-way, the next run then
// updates again instead of finding the product current.
bool Updater::restore(const std::vector<Restorable>& restorable) {
    const std::string& version = restorable.front().journal.fromVersion;
    if (!system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                    version)) {
        logMessage(kLogError,
                   "Nothing was restored: version " + shown(version) + " could not be recorded.");
        return false;
    }
    bool whole = true;
    for (const Restorable& product : restorable) {
        try {
            const int restored = restoreUpdate(product.journal, product.folders);
            logMessage(kLogInfo, "Restored " + productName(*product.record) + " to version " +
                                     shown(version) + ": " + std::to_string(restored) +
                                     " file(s) put back.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "Could not restore " + productName(*product.record) + ": " +
                                      shown(error.what()) + "; the next run updates it again.");
            whole = false;
        }
    }
    if (!whole) {
        return false;
    }
    try {
        holdUpdates(updaterFolder, version);
    } catch (const std::exception& error) {
        logMessage(kLogError, "Updates could not be held: " + shown(error.what()) +
                                  "; the next run updates again.");
        return false;
    }
    logMessage(kLogInfo, "Updates are held at " + shown(version) +
                             " until vexl-updater --resume-updates is run.");
    return true;
}

#include "update/Updater.h"

#include "log/Log.h"
#include "update/Hold.h"
#include "update/Version.h"
#include "update/WholeRelease.h"

#include <stdexcept>

// Every product is checked before anything moves. One version is recorded for all of them, so
// they go back together or not at all.
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
                       "Cannot restore " + shownProduct(record) + ": " + shown(error.what()) + ".");
            refused = true;
        }
    }
    for (const Restorable& product : restorable) {
        if (product.journal.fromVersion != restorable.front().journal.fromVersion) {
            logMessage(kLogError, "Cannot restore " + shownProduct(*product.record) +
                                      ": its last update started from version " +
                                      shown(product.journal.fromVersion) + ", not " +
                                      shown(restorable.front().journal.fromVersion) + ".");
            refused = true;
        }
    }
    if (restorable.empty() && !refused) {
        logMessage(kLogInfo, "No recorded update to restore.");
        return RestoreResult::NothingToRestore;
    }
    if (refused && !restorable.empty()) {
        logMessage(kLogError, "Nothing was restored: the products of a version go back together.");
    }
    return !refused && restore(restorable) ? RestoreResult::Restored : RestoreResult::Refused;
}

// The product's last recorded update when it can be undone exactly; nothing when there is none.
// Throws with the reason when there is one that cannot.
std::optional<Updater::Restorable> Updater::checkRestorable(const ProductRecord& record) {
    const std::optional<ProductFolders> folders = locateInstalled(record);
    if (!folders) {
        return std::nullopt;
    }
    system.ensureDirectory(folders->download);
    recoverInterruptedUpdate(record, *folders, installedDisplayVersion);
    std::optional<Journal> journal = recordedUpdate(*folders, installedDisplayVersion);
    if (!journal) {
        return std::nullopt;
    }
    if (!exactVersionNumber(journal->fromVersion)) {
        throw std::runtime_error("its last update started from version " +
                                 shown(journal->fromVersion) + ", which cannot be recorded");
    }
    if (const std::optional<std::string> why = whyNotRestorable(*journal, *folders)) {
        throw std::runtime_error(*why);
    }
    return Restorable{&record, *folders, std::move(*journal)};
}

// The journals say "restoring" and the hold is set before the version goes back and the files
// follow: a restore stopped at any point is finished by the next, and no nightly run meanwhile
// takes the product for current with old files.
bool Updater::restore(const std::vector<Restorable>& restorable) {
    const std::string& version = restorable.front().journal.fromVersion;
    try {
        for (const Restorable& product : restorable) {
            beginRestore(product.journal, product.folders);
        }
        holdUpdates(updaterFolder, version);
    } catch (const std::exception& error) {
        logMessage(kLogError, "Nothing was restored: " + shown(error.what()));
        return false;
    }
    if (!system.writeRegistryString(RegistryRoot::LocalMachine, uninstallKey, "DisplayVersion",
                                    version)) {
        logMessage(kLogError, "Nothing was restored: version " + shown(version) +
                                  " could not be recorded; run vexl-updater --restore again.");
        return false;
    }
    bool whole = true;
    for (const Restorable& product : restorable) {
        try {
            const int restored = restoreUpdate(product.journal, product.folders);
            logMessage(kLogInfo, "Restored " + shownProduct(*product.record) + " to version " +
                                     shown(version) + ": " + std::to_string(restored) +
                                     " file(s) put back.");
        } catch (const std::exception& error) {
            logMessage(kLogError, "Could not restore " + shownProduct(*product.record) + " yet: " +
                                      shown(error.what()) + "; run vexl-updater --restore again.");
            whole = false;
        }
    }
    logMessage(kLogInfo, "Updates are held at " + shown(version) +
                             " until vexl-updater --resume-updates is run.");
    return whole;
}

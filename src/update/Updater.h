#pragma once

#include "net/Downloader.h"
#include "service/ProductRecord.h"
#include "update/Report.h"
#include "update/SystemAccess.h"
#include "update/phases/Phases.h"
#include "update/phases/SpaceCheck.h"
#include "update/records/Journal.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// "VEXL Updater: Version A18 - Build timestamp " and the date and time of the build.
std::string versionBanner();

// What --check found: products with an update waiting, and products that could not be checked.
struct CheckCounts {
    enum class Outcome { Nothing, Waiting, Failed }; // of one product
    int waiting = 0;
    int failed = 0;
};

// The run object: the state of one update pass and its steps, in the order main calls them.
// Field names are the service's and the registry's. What one product's update needs is handed
// from phase to phase as values (Manifest, ProductFolders, the phases' results), not kept here.
class Updater {
public:
    SystemAccess system;   // no state
    Downloader downloader; // the run's connections

    // Set by main before initialise(): the codes of the run, which also name the backup folder.
    std::string aircraft;
    std::string simulator;
    // Set by main: the updater folder, root of the products' download folders.
    std::string updaterFolder;
    // Set by initialise(); the version is recorded there.
    std::string uninstallKey;
    std::vector<ServiceAddressPair> serviceAddresses;
    // Set by findInstalledVersion(): the number (0 when nothing readable is installed), which the
    // version decision and the manifest requests use, and the dotted text as stored (empty when
    // unreadable), which the product is never moved below.
    std::int32_t installedVersion = 0;
    std::string installedDisplayVersion;
    // Set by fetchProductInformation(); walked by updateProducts().
    std::vector<ProductRecord> products;
    // Set by main for --check and --verify: the pass writes nothing, not even the publication
    // it has seen.
    bool onlyLooks = false;
    // Where a run learns each folder's free space; a test may answer instead of the system.
    VolumeSpaceQuery volumeSpace = fileSystemVolumeSpace;
    // Set by main for --install-while-running: files are installed even while the simulator runs.
    bool installWhileRunning = false;

    // The steps main calls, in this order. Updater.cpp, then commands/Update.cpp.
    void initialise(); // throws for an unknown code
    void findInstalledVersion();
    void fetchProductInformation();
    UpdateCounts updateProducts();
    // Instead of updateProducts(), for --verify: compares each product at its newest version with
    // its full manifest; true when every file is as released. commands/Verify.cpp
    bool verifyProducts();
    // Instead of updateProducts(), for --repair: verifies, then downloads and installs the changed
    // and missing files; true when every product is as released. commands/Verify.cpp
    bool repairProducts();
    // Instead of updateProducts(), for --restore: undoes each product's last recorded update and
    // holds updates at the version before it. commands/Restore.cpp
    enum class RestoreResult { Restored, Refused, NothingToRestore };
    RestoreResult restoreProducts();
    // Before any other step's work, asking no service: finishes or undoes what a killed run left
    // of each product whose journal names it (its folders from the registry). commands/Restore.cpp
    void recoverInterruptedRuns();
    // Instead of updateProducts(), for --check: says for each product whether an update waits,
    // changing nothing but the log. commands/Check.cpp
    CheckCounts checkProducts();

private:
    // How a command words a product's turn that failed: lead + product + ": " + reason + end.
    struct TurnFailure {
        std::string lead;
        std::string end;
    };
    // Runs `turn` for one product; false, logged, when it failed.
    bool guardedTurn(const ProductRecord& record, const TurnFailure& wording,
                     const std::function<void()>& turn);
    void startTrust();          // Updater.cpp, with the product information
    void rememberPublication(); // Updater.cpp
    // A product whose install phase completed in this pass, with what it downloaded.
    struct InstalledProduct {
        const ProductRecord* record;
        ProductFolders folders;
        Manifest manifest;
    };
    TurnOutcome runProductTurn(ProductRecord& record, std::vector<InstalledProduct>& installed);
    TurnOutcome guardedProductTurn(ProductRecord& record, std::vector<InstalledProduct>& installed,
                                   ProductReport& report);
    TurnOutcome updateProduct(ProductRecord& record, std::vector<InstalledProduct>& installed,
                              ProductReport& report);
    // The manifest it installed; nothing when the install waits for the simulator to close.
    std::optional<Manifest> runPhases(ProductRecord& record, const ProductFolders& folders,
                                      ProductReport& report);
    // The running simulator's executable that keeps a product's files from being installed.
    std::optional<std::string> simulatorInTheWay(const ProductFolders& folders) const;
    std::optional<std::string> findSimulatorFolder(const ProductRecord& record);
    // The simulator's "AppPath" ending in a backslash; empty when the registry names none.
    std::string appPathOf(const ProductRecord& record);
    ProductFolders downloadFoldersOf(const ProductRecord& record) const;
    // The product's folders as an update computes them, logged as it logs them; nothing when the
    // product has no simulator folder.
    std::optional<ProductFolders> locateInstalled(const ProductRecord& record);
    // The entries of the product's full manifest that differ from its simulator folder; not
    // comparable (nothing fetched) when the product is below or above its newest version, which
    // the line names with `verb` ("verify", "repair").
    struct Comparison {
        bool comparable = false;
        Manifest differing;
        bool asReleased() const { return comparable && differing.entries.empty(); }
    };
    Comparison compareWithRelease(const ProductRecord& record, const ProductFolders& folders,
                                  const std::string& verb);
    bool repairProduct(const ProductRecord& record);
    struct Restorable {
        const ProductRecord* record;
        ProductFolders folders;
        Journal journal;
    };
    std::optional<Restorable> checkRestorable(const ProductRecord& record);
    bool restore(const std::vector<Restorable>& restorable);
    bool recordRestore(std::vector<Journal>& journals, const std::vector<Restorable>& restorable);
    // Records the dotted version in the registry, unless it is there, and takes it as installed.
    bool recordDisplayVersion(const std::string& version);
    void recoverProduct(const ProductRecord& record, const ProductFolders& folders);
    void rollBackRestore(const ProductRecord& record, const ProductFolders& folders,
                         const Journal& journal);
    CheckCounts::Outcome checkProduct(const ProductRecord& record);
    void recordVersion(const std::vector<InstalledProduct>& installed, UpdateCounts& counts);
    void tidyDownloads(const std::vector<InstalledProduct>& installed);

    bool restoreFinished_ = false; // a killed run's restore was carried through in this run
};

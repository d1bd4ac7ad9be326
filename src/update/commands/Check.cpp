#include "update/Updater.h"

#include "log/Log.h"
#include "service/Version.h"
#include "update/Report.h"
#include "update/ServiceQueries.h"
#include "update/VersionDecision.h"

#include <algorithm>
#include <stdexcept>

namespace {

// The files of the release and what an update would receive for them: files on the disk
// already, patches and partial data counted as the update would count them.
std::string waitingLine(const ProductRecord& record, const std::string& from,
                        const ReleasePlan& plan) {
    return "Update waiting for " + shownProduct(record) + ": " + fromVersionText(from) + " -> " +
           shown(record.PVDec) + " (" + std::to_string(plan.manifest.entries.size()) + " files, " +
           mebibytesText(plan.bytesToCome()) + " MiB).";
}

} // namespace

CheckCounts Updater::checkProducts() {
    CheckCounts counts;
    for (const ProductRecord& record : products) {
        CheckCounts::Outcome outcome = CheckCounts::Outcome::Failed;
        guardedTurn(record, {"Could not check ", ""}, [&] { outcome = checkProduct(record); });
        counts.waiting += outcome == CheckCounts::Outcome::Waiting ? 1 : 0;
        counts.failed += outcome == CheckCounts::Outcome::Failed ? 1 : 0;
    }
    return counts;
}

// The same decisions as an update, up to the file manifest, and nothing written.
CheckCounts::Outcome Updater::checkProduct(const ProductRecord& record) {
    const std::optional<ProductFolders> folders = locateInstalled(record);
    if (!folders) {
        return CheckCounts::Outcome::Nothing;
    }
    if (installedVersion >= record.ProdVersion) {
        logMessage(kLogInfo, shownProduct(record) + " is up to date (" +
                                 shown(installedDisplayVersion) + ").");
        return CheckCounts::Outcome::Nothing;
    }
    if (decideVersion(installedVersion, record, folders->product) != VersionDecision::Update) {
        return CheckCounts::Outcome::Nothing;
    }
    if (isOlderVersion(record.PVDec, installedDisplayVersion)) {
        logMessage(kLogError, "Refusing to move from version " + shown(installedDisplayVersion) +
                                  " to the older version " + shown(record.PVDec) + ".");
        return CheckCounts::Outcome::Failed;
    }
    ProductDocuments documents = fetchProductDocuments(downloader, record, installedVersion);
    const ReleasePlan plan =
        planRelease(std::move(documents.manifest),
                    {std::move(documents.removals), std::move(documents.patches)}, *folders);
    logMessage(kLogInfo, waitingLine(record, installedDisplayVersion, plan));
    if (const std::optional<std::string> image = simulatorInTheWay(*folders)) {
        logMessage(kLogInfo, simulatorRunningLine(record, *image,
                                                  "will be installed by a run after it closes."));
    }
    return CheckCounts::Outcome::Waiting;
}

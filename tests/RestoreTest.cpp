#include "support/UpdateFixture.h"
#include "update/records/Hold.h"
#include "update/records/Journal.h"

// --restore: the last recorded update undone from its journal and backups, then held.
class RestoreTest : public UpdateFixture {
protected:
    // Updates 1.1.0 (aircraft.cfg, an old livery the release drops) to 1.2.0 (a new
    // aircraft.cfg and an added gauge), as the nightly run does.
    RestoreTest() {
        writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
        writeFile(local(simulatorFolder() + "VEXL 747\\livery.bmp"), "old livery");
        before = treeOf(simulatorFolder());
        publish(3, 110, files);
        service.setRemovalList(
            3, 110, nlohmann::json::array({droppedEntry("VEXL 747\\livery.bmp", "old livery")}));
        updater.products = {record()};
        const UpdateCounts counts = updater.updateProducts();
        EXPECT_EQ(counts.succeeded, 1);
        EXPECT_EQ(displayVersion(), "1.2.0");
        updater.installedVersion = 120;
        updater.installedDisplayVersion = "1.2.0";
        log.clear();
    }

    // Every file below a folder with its bytes.
    static std::map<std::string, std::string> treeOf(const std::string& folder) {
        std::map<std::string, std::string> tree;
        for (boost::filesystem::recursive_directory_iterator it(local(folder)), end; it != end;
             ++it) {
            if (boost::filesystem::is_regular_file(it->path())) {
                tree[it->path().string()] = readFile(it->path().string());
            }
        }
        return tree;
    }

    const Files files = {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}},
                         {"VEXL 747\\Gauges\\fmc.dll", {"VEXL 747\\Gauges", "new fmc"}}};
    std::map<std::string, std::string> before;
};

TEST_F(RestoreTest, GivesBackTheOldReleaseRecordsItAndHolds) {
    EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::Restored);
    EXPECT_EQ(treeOf(simulatorFolder()), before); // replaced, added and removed files
    EXPECT_EQ(displayVersion(), "1.1.0");
    EXPECT_EQ(heldVersion(updaterFolder()), "1.1.0");
    const auto lines = log.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{
                  "[VEXL 1] Restored 747 Classic for P3D to version 1.1.0: 3 file(s) put back.",
                  "[VEXL 1] Updates are held at 1.1.0 until vexl-updater --resume-updates is "
                  "run."}));
    updater.installedVersion = 110;
    updater.installedDisplayVersion = "1.1.0";
    log.clear();
    EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::NothingToRestore); // once
    EXPECT_TRUE(log.has("[VEXL 1] No recorded update to restore."));
}

TEST_F(RestoreTest, AnAlteredBackupOrFileChangesNothingAndIsNamed) {
    const std::vector<std::pair<std::string, std::string>> obstacles = {
        {"Backup\\744\\P3D\\VEXL 747\\aircraft.cfg",
         "the backup of VEXL 747\\aircraft.cfg is not the file the update replaced"},
        {"Backup\\744\\P3D\\VEXL 747\\livery.bmp", "the backup of VEXL 747\\livery.bmp is missing"},
        {"Sim\\VEXL 747\\Gauges\\fmc.dll",
         "VEXL 747\\Gauges\\fmc.dll was changed after the update"},
    };
    for (const auto& [place, reason] : obstacles) {
        SCOPED_TRACE(place);
        const std::string path =
            local(place.rfind("Sim", 0) == 0 ? dir.path() + "\\" + place : tempFolder() + place);
        const std::string saved = readFile(path);
        if (reason.find("missing") != std::string::npos) {
            boost::filesystem::remove(path);
        } else {
            writeFile(path, "altered");
        }
        const auto installed = treeOf(simulatorFolder());
        EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::Refused);
        EXPECT_EQ(treeOf(simulatorFolder()), installed);
        EXPECT_EQ(displayVersion(), "1.2.0");
        EXPECT_FALSE(heldVersion(updaterFolder()));
        EXPECT_EQ(log.containing("restore"),
                  std::vector<std::string>{
                      "[VEXL 2] Cannot restore 747 Classic for P3D: " + reason + "."});
        writeFile(path, saved);
        log.clear();
    }
    EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::Restored);
}

// Killed half-way (or stopped by a file in use): the journal says restoring, the hold and the old
// version are recorded, one file is back. The next restore finishes it.
TEST_F(RestoreTest, ARestoreStoppedHalfWayIsFinishedByTheNext) {
    const std::string journalPath = local(tempFolder() + "vexl_update_journal.json");
    nlohmann::json journal = nlohmann::json::parse(readFile(journalPath));
    journal["State"] = "restoring";
    writeFile(journalPath, journal.dump());
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    holdUpdates(updaterFolder(), "1.1.0");
    seedRegistry(); // 1.1.0
    updater.installedVersion = 110;
    updater.installedDisplayVersion = "1.1.0";
    EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::Restored);
    EXPECT_EQ(treeOf(simulatorFolder()), before);
    EXPECT_TRUE(
        log.has("[VEXL 1] Restored 747 Classic for P3D to version 1.1.0: 2 file(s) put back."));
}

// Killed after one file went back: the next run, asking no service, carries the restore through
// when the backups are there, and otherwise gives the newer release back, unheld.
TEST_F(RestoreTest, AnUnfinishedRestoreIsFinishedOrRolledBack) {
    const auto newer = treeOf(simulatorFolder());
    Journal journal = inverted(*readJournal(folders(), JournalKind::Update));
    journal.product = record();
    writeJournal(journal, folders(), JournalKind::Update);
    holdUpdates(updaterFolder(), "1.1.0");
    writeFile(local(tempFolder() + "VEXL 747\\aircraft.cfg"), "new config"); // the kept copy
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    for (const char* part : {"VEXL", "Sim"}) {
        copyTree(dir.file(part), dir.file(std::string("saved/") + part));
    }
    for (const bool backupsThere : {true, false}) {
        SCOPED_TRACE(backupsThere);
        for (const char* part : {"VEXL", "Sim"}) {
            boost::filesystem::remove_all(dir.file(part));
            copyTree(dir.file(std::string("saved/") + part), dir.file(part));
        }
        registry.seed({{RegistryRoot::LocalMachine, kUninstallKey, "DisplayVersion", "1.2.0"},
                       {RegistryRoot::CurrentUser, "Software\\Sim", "AppPath", simulatorFolder()}});
        updater.findInstalledVersion();
        log.clear();
        if (!backupsThere) {
            boost::filesystem::remove(local(backupFolder() + "VEXL 747\\livery.bmp"));
        }
        updater.products.clear();
        updater.recoverInterruptedRuns();
        EXPECT_EQ(treeOf(simulatorFolder()), backupsThere ? before : newer);
        EXPECT_EQ(displayVersion(), backupsThere ? "1.1.0" : "1.2.0");
        EXPECT_EQ(heldVersion(updaterFolder()),
                  backupsThere ? std::optional<std::string>("1.1.0") : std::nullopt);
        EXPECT_EQ(log.lines(),
                  std::vector<std::string>{
                      backupsThere
                          ? "[VEXL 1] Finished an interrupted restore of 747 Classic for P3D."
                          : "[VEXL 2] Rolled back an interrupted update of 747 Classic for P3D."});
        log.clear();
    }
    updater.products = {record()}; // the update is again the one a restore undoes
    EXPECT_EQ(updater.restoreProducts(), Updater::RestoreResult::Refused);
    EXPECT_TRUE(log.has("[VEXL 2] Cannot restore 747 Classic for P3D: the backup of VEXL "
                        "747\\livery.bmp is missing."));
}

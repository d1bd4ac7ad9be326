#include "support/TestFileSystem.h"
#include "support/TestPlatform.h"
#include "support/UpdateFixture.h"
#include "system/BinaryPatch.h"

#include <random>

using nlohmann::json;

class DriverTest : public UpdateFixture {
protected:
    UpdateCounts run(const std::vector<ProductRecord>& records) {
        updater.products = records;
        return updater.updateProducts();
    }

    static std::pair<int, int> counts(const UpdateCounts& c) { return {c.succeeded, c.failed}; }
    void expectInUseNamedAndRolledBack(
        const std::function<std::shared_ptr<void>(const std::string&)>& holdInUse);

    // Every regular file below a folder with its bytes, and every folder.
    static std::map<std::string, std::string> treeOf(const std::string& folder) {
        std::map<std::string, std::string> tree;
        for (boost::filesystem::recursive_directory_iterator it(folder), end; it != end; ++it) {
            tree[it->path().string()] = boost::filesystem::is_directory(it->path())
                                            ? "(folder)"
                                            : readFile(it->path().string());
        }
        return tree;
    }

    // What a download folder holds at its top, in name order.
    static std::vector<std::string> namesIn(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : boost::filesystem::directory_iterator(local(folder))) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    // A release of 20 files, the first 10 replacing older ones.
    void publishTwenty() {
        Files twenty;
        for (int i = 1; i <= 20; ++i) {
            const std::string name =
                "VEXL 747\\f" + std::string(i < 10 ? "0" : "") + std::to_string(i);
            twenty[name] = {"VEXL 747", "new " + std::to_string(i)};
            if (i <= 10) {
                writeFile(local(simulatorFolder() + name), "old " + std::to_string(i));
            }
        }
        publish(3, 110, twenty);
    }

    // The backups, and the journal of the last update.
    const std::vector<std::string> onlyBackups = {"Backup", "vexl_update_journal.json"};

    const Files files = {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}},
                         {"VEXL 747\\Gauges\\fmc.dll", {"VEXL 747\\Gauges", "new fmc"}}};
};

TEST_F(DriverTest, UpdatesAProductEndToEnd) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    publish(3, 110, files);
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg")), "new config");
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll")), "new fmc");
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\aircraft.cfg")), "old config");
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_EQ(namesIn(tempFolder()), onlyBackups); // the downloaded copies are deleted
    const std::string sim = simulatorFolder();
    const auto lines = log.lines();
    const std::vector<std::string> opening = {
        "[VEXL 1] >>> Product: 747 Classic for P3D",
        "[VEXL 1] Finding install-directory this product's simulator...",
        "[VEXL 1] If a registry key error appears, disregard - it simply means you do not have "
        "that simulator installed.",
        "[VEXL 1] Sim install directory in registry is " + sim,
        "[VEXL 1] 747 Classic path should be " + sim + "VEXL 747\\",
        "[VEXL 1] Updating you to version 120",
        "[VEXL 1] Product directory " + sim + "VEXL 747\\ exists",
        "[VEXL 1] Upstream says 2 new file(s) totaling 8KB",
        "[VEXL 1] Your files are being updated. Depending on file size, this may take some time.",
        "[VEXL 1] Need to update 2 file(s)."};
    ASSERT_GE(lines.size(), opening.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + opening.size()), opening);
    EXPECT_EQ(
        lines[lines.size() - 2],
        "[VEXL 1] Great, 747 Classic for P3D was successfully updated to the latest version!");
    EXPECT_EQ(maskSeconds(lines.back()),
              "[VEXL 1] Summary for 747 Classic for P3D: 1.1.0 -> 1.2.0; 2 downloaded (0.0 MiB), "
              "0 patched, 0 copied, 0 already up to date, 0 removed, 0 kept; _ s.");
}

TEST_F(DriverTest, TheBackupFolderIsNamedByTheRunNotTheProduct) {
    updater.simulator = "XSE";
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    publish(3, 110, files);
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(readFile(local(tempFolder() + "Backup\\744\\XSE\\VEXL 747\\aircraft.cfg")),
              "old config");
}

TEST_F(DriverTest, AFailedProductKeepsTheOldVersionUntilEveryProductIsCurrent) {
    publish(3, 110, files);
    service.setFile(1, "VEXL 747\\Gauges\\fmc.dll", "gone", 404);
    publish(4, 110, {{"VEXL 747\\second.cfg", {"VEXL 747", "second"}}}, 2);
    ProductRecord second = record(4, "747 Freighter", 2);
    second.PVDec = "1.3.0";
    second.ProdVersion = 130;
    EXPECT_EQ(counts(run({record(), second})), std::make_pair(1, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: Aborting "
                        "file download; see error above."));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\second.cfg")), "second");
    EXPECT_EQ(displayVersion(), "1.1.0"); // the next run retries both products
    EXPECT_EQ(readFile(local(tempFolder("747 Freighter") + "VEXL 747\\second.cfg")), "second");

    publish(3, 110, files);                                                 // mended
    writeFile(local(simulatorFolder() + "VEXL 747\\second.cfg"), "second"); // as installed
    log.clear();
    EXPECT_EQ(counts(run({record(), second})), std::make_pair(2, 0));
    EXPECT_EQ(displayVersion(), "1.3.0"); // the last product's version
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll")), "new fmc");
    EXPECT_FALSE(fileExists(local(backupFolder("747 Freighter") + "VEXL 747\\second.cfg")));
    EXPECT_TRUE(log.has("[VEXL 1] Existing file integrity OK: VEXL 747\\second.cfg"));
    EXPECT_EQ(service.server.count(service.fileTarget(2, "VEXL 747\\second.cfg")), 1);
    EXPECT_EQ(namesIn(tempFolder()), onlyBackups);
    EXPECT_EQ(namesIn(tempFolder("747 Freighter")), onlyBackups);
}

TEST_F(DriverTest, AVersionThatCannotBeRecordedFailsEveryProductThatWasToBeRecorded) {
    publish(3, 110, files);
    publish(4, 110, {{"VEXL 747\\second.cfg", {"VEXL 747", "second"}}}, 2);
    ProductRecord second = record(4, "747 Freighter", 2);
    second.PVDec = "1.3.0\n"; // a line break cannot be stored in the registry file
    EXPECT_EQ(counts(run({record(), second})), std::make_pair(0, 2));
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{
            "[VEXL 2] Registry key write failed: " + std::string(kUninstallKey) +
                ", DisplayVersion, 1.3.0",
            "", // the rest of the value's line
            "[VEXL 2] Update terminated abnormally for 747 Classic for P3D: the new version "
            "could not be recorded",
            "[VEXL 2] Update terminated abnormally for 747 Freighter for P3D: the new version "
            "could not be recorded"}));
    EXPECT_EQ(displayVersion(), "1.1.0");
    EXPECT_EQ(readFile(local(tempFolder() + "VEXL 747\\aircraft.cfg")), "new config");
}

TEST_F(DriverTest, AnOlderDottedVersionIsRefusedThoughItsNumberIsHigher) {
    updater.installedDisplayVersion = "2.0.0";
    updater.installedVersion = 200;
    ProductRecord older = record();
    older.PVDec = "1.10.0";
    older.ProdVersion = 1100;
    EXPECT_EQ(counts(run({older})), std::make_pair(0, 1));
    EXPECT_EQ(log.lines().back(),
              "[VEXL 2] Refusing to move from version 2.0.0 to the older version 1.10.0.");
    EXPECT_TRUE(service.server.requests().empty());
    EXPECT_EQ(displayVersion(), "1.1.0");
}

TEST_F(DriverTest, AFailedProductLeavesTheRegistryAlone) {
    publish(3, 110, files);
    service.setFile(1, "VEXL 747\\aircraft.cfg", "tampered");
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: Aborting "
                        "file download, a downloaded file has failed integrity-check."));
    EXPECT_EQ(displayVersion(), "1.1.0");
}

TEST_F(DriverTest, AnUnwritableDestinationFailsTheProductAndTheRerunCompletes) {
    publish(3, 110, files);
    boost::filesystem::create_directories(local(simulatorFolder() + "VEXL 747\\aircraft.cfg\\x"));
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_EQ(log.containing("Update terminated abnormally for 747 Classic for P3D: ").size(), 1u);
    EXPECT_EQ(displayVersion(), "1.1.0");
    boost::filesystem::remove_all(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"));
    const std::size_t requestsBefore = service.server.requests().size();
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    // The manifests and the two lists.
    EXPECT_EQ(service.server.requests().size(), requestsBefore + 4);
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(DriverTest, AReleaseThatOnlyDropsFilesIsRecorded) {
    writeFile(local(simulatorFolder() + "VEXL 747\\old.gau"), "old");
    service.setManifest(3, 110, json::array());
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\old.gau", "old")}));
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "VEXL 747\\old.gau")));
}

TEST_F(DriverTest, ADroppedFileThatCannotBeBackedUpRollsTheReleaseBack) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    writeFile(local(simulatorFolder() + "VEXL 747\\old.gau"), "old");
    publish(3, 110, files);
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\old.gau", "old")}));
    boost::filesystem::create_directories(local(backupFolder() + "VEXL 747\\old.gau\\in the way"));
    boost::filesystem::create_directories(local(simulatorFolder() + "VEXL 747\\Gauges")); // stays
    const auto before = treeOf(local(simulatorFolder()));
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_EQ(treeOf(local(simulatorFolder())), before);
    EXPECT_TRUE(log.has("[VEXL 2] Rolled back the partial update of 747 Classic for P3D: 2 "
                        "file(s) put back."));
    const auto failure = log.containing("Update terminated abnormally");
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_NE(failure[0].find("old.gau"), std::string::npos) << failure[0];
}

TEST_F(DriverTest, DroppedFilesGoOnlyAfterEveryNewFileIsInstalledAndChecked) {
    publish(3, 110, files); // fmc.dll is installed first, aircraft.cfg last
    writeFile(local(simulatorFolder() + "VEXL 747\\old.gau"), "old");
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\old.gau", "old")}));
    const std::string removalList = "/manifest/removed" + FakeService::query(3, 110);
    const std::string blocked = local(simulatorFolder() + "VEXL 747\\aircraft.cfg");
    boost::filesystem::create_directories(blocked + "/in the way");
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_EQ(service.server.count(removalList), 1); // had first, used only after the install
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\old.gau")), "old");
    EXPECT_EQ(maskSeconds(log.lines().back()),
              "[VEXL 1] Summary for 747 Classic for P3D: 1.1.0 -> 1.2.0 failed; 2 downloaded "
              "(0.0 MiB), 0 patched, 0 copied, 0 already up to date, 0 removed, 0 kept; _ s.");

    boost::filesystem::remove_all(blocked);
    log.clear();
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end() - 1),
              (std::vector<std::string>{
                  "[VEXL 1] Integrity OK: " + simulatorFolder() + "VEXL 747\\aircraft.cfg",
                  "[VEXL 1] Removed VEXL 747\\old.gau (kept in the backup folder)",
                  "[VEXL 1] Great, 747 Classic for P3D was successfully updated to the latest "
                  "version!"}));
    // The rerun found both files in the download folder from the failed run.
    EXPECT_EQ(maskSeconds(lines.back()),
              "[VEXL 1] Summary for 747 Classic for P3D: 1.1.0 -> 1.2.0; 0 downloaded (0.0 MiB), "
              "0 patched, 0 copied, 0 already up to date, 1 removed, 2 kept; _ s.");
}

TEST_F(DriverTest, TheSummaryCountsWhatThisRunReceivedAndOnlyTurnsThatReachedTheDownloads) {
    const std::string big(1536 * 1024, 'b'); // 1.5 MiB
    publish(3, 110,
            {{"VEXL 747\\big.bin", {"VEXL 747", big}},
             {"VEXL 747\\kept.txt", {"VEXL 747", "kept"}},
             {"VEXL 747\\small.txt", {"VEXL 747", "small"}}});
    writeFile(local(tempFolder() + "VEXL 747\\kept.txt"), "kept");
    writeFile(local(simulatorFolder() + "VEXL 747\\gone.gau"), "gone");
    writeFile(local(simulatorFolder() + "VEXL 747\\mine.gau"), "changed by the user");
    service.setRemovalList(3, 110,
                           json::array({droppedEntry("VEXL 747\\gone.gau", "gone"),
                                        droppedEntry("VEXL 747\\mine.gau", "as released")}));
    ProductRecord current = record(4, "747 Freighter");
    current.PVDec = "1.1.0";
    current.ProdVersion = 110;
    ProductRecord noManifest = record(5, "747 Combi"); // fails before its downloads
    EXPECT_EQ(counts(run({record(), current, noManifest})), std::make_pair(1, 1));
    const auto summaries = log.containing("Summary for");
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(maskSeconds(summaries[0]),
              "[VEXL 1] Summary for 747 Classic for P3D: 1.1.0 -> 1.2.0; 2 downloaded (1.5 MiB), "
              "0 patched, 0 copied, 0 already up to date, 1 removed, 1 kept; _ s.");
}

TEST_F(DriverTest, ProductsWithoutASimulatorOrNothingToDoAreSkipped) {
    ProductRecord noSim = record(8);
    noSim.RegistryKey = "Software\\Missing Sim";
    ProductRecord relative = record(7);
    relative.RegistryKey = "Software\\Relative Sim";
    registry.seed({{RegistryRoot::LocalMachine, kUninstallKey, "DisplayVersion", "1.1.0"},
                   {RegistryRoot::CurrentUser, "Software\\Sim", "AppPath", simulatorFolder()},
                   {RegistryRoot::CurrentUser, "Software\\Relative Sim", "AppPath", "Sims\\P3D"}});
    ProductRecord current = record(9);
    current.ProdVersion = 110;
    EXPECT_EQ(counts(run({noSim, relative, current})), std::make_pair(0, 0));
    EXPECT_TRUE(
        log.has("[VEXL 1] I found no sim install corresponding to product ID 8; skipping."));
    EXPECT_TRUE(log.has("[VEXL 1] Sim install directory Sims\\P3D\\ is not an absolute path; "
                        "skipping."));
    EXPECT_TRUE(log.has("[VEXL 1] 110 is the current version. No need to update."));
    EXPECT_TRUE(boost::filesystem::is_directory(local(tempFolder()))); // made for every product
}

// A release goes in whole or not at all: the 13th of 20 files cannot be installed (a folder in
// its way), so the 12 before it are undone and the simulator folder is as it was.
TEST_F(DriverTest, AnInstallThatFailsHalfWayIsRolledBackAndTheNextRunInstallsIt) {
    publishTwenty();
    boost::filesystem::create_directories(local(simulatorFolder() + "VEXL 747\\f13\\in the way"));
    const auto before = treeOf(local(simulatorFolder()));
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_EQ(treeOf(local(simulatorFolder())), before);
    EXPECT_EQ(displayVersion(), "1.1.0");
    EXPECT_TRUE(log.has("[VEXL 2] Rolled back the partial update of 747 Classic for P3D: 12 "
                        "file(s) put back."));
    boost::filesystem::remove_all(local(simulatorFolder() + "VEXL 747\\f13"));
    log.clear();
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\f13")), "new 13");
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_FALSE(log.has("[VEXL 2] Rolled back an interrupted update of 747 Classic for P3D."));
}

// On Windows a running simulator holds its files open, sharing them with no one: f13 cannot be
// replaced while `holdInUse` holds it.
void DriverTest::expectInUseNamedAndRolledBack(
    const std::function<std::shared_ptr<void>(const std::string&)>& holdInUse) {
    publishTwenty();
    writeFile(local(simulatorFolder() + "VEXL 747\\f13"), "old 13");
    const auto before = treeOf(local(simulatorFolder()));
    {
        const auto inUse = holdInUse(simulatorFolder() + "VEXL 747\\f13");
        EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    }
    EXPECT_EQ(treeOf(local(simulatorFolder())), before);
    EXPECT_EQ(displayVersion(), "1.1.0");
    const auto lines = log.lines(); // before the summary
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end() - 1),
              (std::vector<std::string>{
                  "[VEXL 2] Rolled back the partial update of 747 Classic for P3D: 12 file(s) put "
                  "back.",
                  "[VEXL 2] Update terminated abnormally for 747 Classic for P3D: VEXL 747\\f13 is "
                  "in use (is the simulator running?)"}));
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
}

TEST_F(DriverTest, AFileInUseIsNamedAndTheReleaseRolledBack) {
    TestFileSystem disk;
    expectInUseNamedAndRolledBack([&disk](const std::string& path) {
        disk.holdInUse(path);
        return std::shared_ptr<void>(nullptr, [&disk](void*) { disk.release(); });
    });
}

// The same with the system's own sharing violation, which only Windows has.
TEST_F(DriverTest, AFileTheSystemHoldsOpenIsNamedInUse) {
    expectInUseNamedAndRolledBack(
        [](const std::string& path) { return testplatform::holdOpenWithoutSharing(local(path)); });
}

TEST_F(DriverTest, AnUpdateAKilledRunLeftHalfDoneIsUndoneFirst) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "new config");
    writeFile(local(backupFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    writeFile(local(tempFolder() + "vexl_update_journal.json"),
              json{{"From", "1.1.0"},
                   {"To", "1.2.0"},
                   {"State", "open"},
                   {"Files",
                    {{{"FilePath", "VEXL 747\\aircraft.cfg"},
                      {"Action", "replace"},
                      {"OldMD5", referenceMd5("old config")},
                      {"NewMD5", referenceMd5("new config")}}}}}
                  .dump());
    ProductRecord current = record();
    current.ProdVersion = 110; // nothing to update: only the undoing
    EXPECT_EQ(counts(run({current})), std::make_pair(0, 0));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg")), "old config");
    EXPECT_TRUE(log.has("[VEXL 2] Rolled back an interrupted update of 747 Classic for P3D."));
    log.clear();
    EXPECT_EQ(counts(run({current})), std::make_pair(0, 0)); // once
    EXPECT_FALSE(log.has("[VEXL 2] Rolled back an interrupted update of 747 Classic for P3D."));
}

TEST_F(DriverTest, ADiskTooSmallFailsTheProductBeforeAnyDownload) {
    publish(3, 110, files);
    updater.volumeSpace = [](const std::string&) {
        return std::optional<platform::VolumeSpace>({"one volume", 10 * 1024 * 1024 + 5});
    };
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: Not enough "
                        "disk space to update 747 Classic for P3D: 129 MiB needed on " +
                        tempFolder() + ", 10 MiB free."));
    for (const auto& [filePath, file] : files) {
        EXPECT_EQ(service.server.count(service.fileTarget(1, filePath)), 0);
    }
}

// The simulator folder on a disk of its own, too small for the release and the room kept free.
TEST_F(DriverTest, ADiskTooSmallIsFoundBeforeAnyDownloadAndTheRerunCompletes) {
    publishTwenty();
    const auto before = treeOf(local(simulatorFolder()));
    TestFileSystem disk;
    disk.smallDisk(simulatorFolder(), 72 * 1024);
    EXPECT_EQ(counts(run({record()})), std::make_pair(0, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: Not "
                        "enough disk space to update 747 Classic for P3D: 65 MiB needed on " +
                        simulatorFolder() + ", 0 MiB free."));
    EXPECT_EQ(service.server.count(service.fileTarget(1, "VEXL 747\\f11")), 0);
    EXPECT_EQ(treeOf(local(simulatorFolder())), before);
    disk.smallDisk(simulatorFolder(), 80 * 1024 * 1024);
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\f11")), "new 11");
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(DriverTest, AHugeNameFromTheServiceGivesABoundedLog) {
    const ProductRecord huge = record(5, std::string(20 * 1024 * 1024, 'n'));
    testing::internal::CaptureStdout(); // the log's lines and any console line
    EXPECT_EQ(counts(run({huge})), std::make_pair(0, 1));
    EXPECT_LT(testing::internal::GetCapturedStdout().size(), 16u * 1024);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(" " + std::string(512, 'n') + "... for P3D"), std::string::npos);
    for (const std::string& line : lines) {
        EXPECT_LT(line.size(), 1200u);
    }
}

TEST_F(DriverTest, AnEmptyProductListStillMakesTheUpdaterFolder) {
    boost::filesystem::remove_all(local(updaterFolder()));
    EXPECT_EQ(counts(run({})), std::make_pair(0, 0));
    EXPECT_TRUE(boost::filesystem::is_directory(local(updaterFolder())));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DriverTest, UnsafeProductNamesAreRefusedBeforeAnyFolderIsMade) {
    ProductRecord evil = record(5, "..\\..\\..\\evil");
    EXPECT_EQ(counts(run({evil})), std::make_pair(0, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for ..\\..\\..\\evil for P3D: "
                        "Unsafe path in update data: ..\\..\\..\\evil"));
    EXPECT_FALSE(fileExists(dir.file("evil")));
}

TEST_F(DriverTest, SummaryAndManifestErrorsEndOnlyThatProduct) {
    service.setSummaryText(3, 110, "[]");
    publish(4, 110, {{"a.cfg", {"", "a"}}});
    service.setFileListText(4, 110, "{broken");
    publish(6, 110, {{"b.cfg", {"", "b"}}});
    EXPECT_EQ(counts(run({record(3), record(4), record(6)})), std::make_pair(1, 2));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: "
                        "[json.exception.type_error.302] type must be number, but is null"));
    EXPECT_EQ(log.containing("[json.exception.parse_error.101]").size(), 1u);
    EXPECT_EQ(readFile(local(simulatorFolder() + "b.cfg")), "b");

    // Nor does a fault of the program's own, which is no runtime error.
    updater.volumeSpace = [](const std::string&) -> std::optional<platform::VolumeSpace> {
        throw std::logic_error("a fault of the program");
    };
    EXPECT_EQ(counts(run({record(6)})), std::make_pair(0, 1));
    EXPECT_TRUE(log.has("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: a fault of "
                        "the program"));
}

TEST_F(DriverTest, ARenamedFolderAndAFileUpToDateCostNoRequestAndNoBackup) {
    publish(3, 110,
            {{"VEXL 747\\New\\a.tex", {"VEXL 747\\New", "texture"}},
             {"VEXL 747\\aircraft.cfg", {"VEXL 747", "config"}}});
    const std::string sim = simulatorFolder();
    writeFile(local(sim + "VEXL 747\\Old\\a.tex"), "texture");
    writeFile(local(sim + "VEXL 747\\aircraft.cfg"), "config");
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\Old\\a.tex", "texture")}));
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    EXPECT_EQ(service.server.count(service.fileTarget(1, "VEXL 747\\New\\a.tex")), 0);
    EXPECT_EQ(service.server.count(service.fileTarget(1, "VEXL 747\\aircraft.cfg")), 0);
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\New\\a.tex")), "texture");
    EXPECT_FALSE(fileExists(local(sim + "VEXL 747\\Old\\a.tex")));
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\Old\\a.tex")), "texture");
    EXPECT_FALSE(fileExists(local(backupFolder() + "VEXL 747\\aircraft.cfg")));
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_EQ(namesIn(tempFolder()), onlyBackups);
    // The journal names exactly what changed, so that a rollback puts back exactly that.
    const json journal = json::parse(readFile(local(tempFolder() + "vexl_update_journal.json")));
    std::vector<std::string> changes;
    for (const json& file : journal["Files"]) {
        changes.push_back(file["Action"].get<std::string>() + " " +
                          file["FilePath"].get<std::string>());
    }
    EXPECT_EQ(changes, (std::vector<std::string>{"add VEXL 747\\New\\a.tex",
                                                 "remove VEXL 747\\Old\\a.tex"}));
    EXPECT_TRUE(log.has("[VEXL 1] VEXL 747\\aircraft.cfg is already up to date."));
}

// A registry at a version never published gets the full documents: the installed copies' digests,
// those of release 1.0.0, pick their patches among every release's.
TEST_F(DriverTest, AnUnpublishedVersionHoldingAReleasesFilesIsPatched) {
    updater.installedVersion = 105;
    updater.installedDisplayVersion = "1.0.5";
    std::mt19937 random(9);
    std::string base(1536 * 1024, '\0');
    std::generate(base.begin(), base.end(), [&random] { return static_cast<char>(random()); });
    json patches = json::array();
    Files newest;
    std::map<std::string, int> patchRequests; // by address: how often each is to be asked for
    for (const std::string name : {"VEXL 747\\a.bin", "VEXL 747\\b.bin"}) {
        const auto copy = [&](const std::string& mark) {
            return std::string(base).replace(9000, name.size() + 5, name + mark);
        };
        // The other release's patch comes first in the list.
        for (const std::string release : {"1.1.0", "1.0.0"}) {
            const std::string patch = makePatch(copy(release), copy("1.2.0"));
            patches.push_back(service.setPatch(3, name, copy(release), copy("1.2.0"), patch));
            patchRequests["/patches/3/" + referenceMd5(copy(release)) + "-" +
                          referenceMd5(copy("1.2.0")) + ".zst"] = release == "1.0.0" ? 1 : 0;
        }
        writeFile(local(simulatorFolder() + name), copy("1.0.0"));
        newest[name] = {"VEXL 747", copy("1.2.0")};
    }
    publish(3, 105, newest);
    service.setRemovalList(3, 105, json::array());
    service.setPatchList(3, 105, patches);
    EXPECT_EQ(counts(run({record()})), std::make_pair(1, 0));
    for (const auto& [name, file] : newest) {
        EXPECT_EQ(readFile(local(simulatorFolder() + name)), file.bytes) << name;
        EXPECT_EQ(service.server.count(service.fileTarget(1, name)), 0) << name;
    }
    for (const auto& [address, times] : patchRequests) {
        EXPECT_EQ(service.server.count(address), times) << address;
    }
    EXPECT_EQ(log.containing("built from a patch of the installed copy").size(), 2u);
}

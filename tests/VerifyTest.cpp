#include "support/UpdateFixture.h"

using nlohmann::json;

// --verify: the installed files of a product at its newest version against its full manifest.
class VerifyTest : public UpdateFixture {
protected:
    VerifyTest() {
        updater.installedVersion = 120;
        updater.installedDisplayVersion = "1.2.0";
        publish(3, 0, files); // the full manifest, served for version=0
        for (const auto& [filePath, file] : files) {
            writeFile(local(simulatorFolder() + filePath), file.bytes);
        }
    }

    bool verify() {
        updater.products = {record()};
        return updater.verifyProducts();
    }

    const Files files = {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "config"}},
                         {"VEXL 747\\Gauges\\fmc.dll", {"VEXL 747\\Gauges", "fmc"}},
                         {"VEXL 747\\panel.cfg", {"VEXL 747", "panel"}}};
};

TEST_F(VerifyTest, EveryFileAsReleasedIsOneLine) {
    EXPECT_TRUE(verify());
    EXPECT_EQ(log.containing("Verified"),
              std::vector<std::string>{"[VEXL 1] Verified 747 Classic for P3D: 3 file(s) as "
                                       "released, 0 changed, 0 missing."});
}

TEST_F(VerifyTest, ChangedAndMissingFilesAreNamedAndNothingIsTouched) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "edited by hand");
    boost::filesystem::remove(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll"));
    EXPECT_FALSE(verify());
    const auto lines = log.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{
                  "[VEXL 1] Missing: VEXL 747\\Gauges\\fmc.dll",
                  "[VEXL 1] Changed: VEXL 747\\aircraft.cfg",
                  "[VEXL 1] Verified 747 Classic for P3D: 1 file(s) as released, 1 changed, 1 "
                  "missing."}));
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg")), "edited by hand");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll")));
    EXPECT_EQ(service.server.count("/manifest/files" + FakeService::query(3, 0)), 1);
}

TEST_F(VerifyTest, AProductBelowItsNewestIsToBeUpdatedFirst) {
    updater.installedVersion = 110;
    updater.installedDisplayVersion = "1.1.0";
    EXPECT_FALSE(verify());
    EXPECT_TRUE(log.has("[VEXL 1] 747 Classic for P3D is at version 1.1.0, not its newest 1.2.0: "
                        "update it first."));
    EXPECT_TRUE(service.server.requests().empty());
}

TEST_F(VerifyTest, RepairBringsBackWhatDiffersAndKeepsTheChangedCopy) {
    const std::string journal = local(tempFolder() + "vexl_update_journal.json");
    writeFile(journal, "the last update's record");
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "edited by hand");
    boost::filesystem::remove(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll"));
    updater.products = {record()};
    EXPECT_TRUE(updater.repairProducts());
    for (const auto& [filePath, file] : files) {
        EXPECT_EQ(readFile(local(simulatorFolder() + filePath)), file.bytes);
        EXPECT_FALSE(fileExists(local(tempFolder() + filePath))); // the copies are gone
    }
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\aircraft.cfg")), "edited by hand");
    EXPECT_EQ(readFile(journal), "the last update's record");
    EXPECT_EQ(service.server.count(service.fileTarget(1, "VEXL 747\\panel.cfg")), 0);
    EXPECT_TRUE(log.has("[VEXL 1] Repaired 747 Classic for P3D: 2 file(s) restored."));
    log.clear();
    EXPECT_TRUE(verify());
}

TEST_F(VerifyTest, ARepairThatCannotInstallPutsTheChangedCopyBack) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "edited by hand");
    boost::filesystem::remove(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll"));
    boost::filesystem::remove(local(simulatorFolder() + "VEXL 747\\panel.cfg"));
    boost::filesystem::create_directories(
        local(simulatorFolder() + "VEXL 747\\panel.cfg\\in the way"));
    updater.products = {record()};
    EXPECT_FALSE(updater.repairProducts());
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg")), "edited by hand");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "VEXL 747\\Gauges\\fmc.dll")));
    EXPECT_TRUE(log.has("[VEXL 2] Rolled back the partial repair of 747 Classic for P3D: 2 "
                        "file(s) put back."));
    EXPECT_FALSE(log.has("[VEXL 1] Repaired 747 Classic for P3D: 3 file(s) restored."));
}

TEST_F(VerifyTest, AnInstalledVersionNewerThanTheServicesIsLeftAlone) {
    updater.installedVersion = 130;
    updater.installedDisplayVersion = "1.3.0";
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "newer config");
    updater.products = {record()};
    for (const std::string verb : {"verify", "repair"}) {
        EXPECT_FALSE(verb == "verify" ? updater.verifyProducts() : updater.repairProducts());
        EXPECT_EQ(log.containing("newer"),
                  std::vector<std::string>{"[VEXL 2] Cannot " + verb +
                                           " 747 Classic for P3D: the installed version 1.3.0 is "
                                           "newer than the service's newest, 1.2.0."});
        log.clear();
    }
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg")), "newer config");
    EXPECT_EQ(service.server.count("/manifest/files" + FakeService::query(3, 0)), 0);
}

#include "support/TestFileSystem.h"
#include "support/UpdateFixture.h"

using nlohmann::json;

// The step after a completed install phase: the files that the installed version 1.1.0 had and
// the newest release dropped.
class RemovalStepTest : public UpdateFixture {
protected:
    // The removal list as the driver fetches it, and the step over it.
    std::string removeDropped() {
        return errorOf([&] {
            if (const auto list = fetchRemovalList(updater.downloader, record(), 110)) {
                removeDroppedFiles(*list, manifest, folders());
            }
        });
    }

    Manifest manifest; // what the install phase has just installed

    std::string inSimulator(const std::string& filePath) const {
        return local(simulatorFolder() + filePath);
    }
    std::string inBackup(const std::string& filePath) const {
        return local(backupFolder() + filePath);
    }
};

// Only a file exactly as released moves; whatever else is at a listed name is the user's.
TEST_F(RemovalStepTest, UnchangedFilesMoveToTheBackupFolderAndEverythingElseStays) {
    writeFile(inSimulator("VEXL 747\\Gauges\\old.gau"), "old gauge");
    writeFile(inBackup("VEXL 747\\Gauges\\old.gau"), "a backup from an earlier update");
    writeFile(inSimulator("VEXL 747\\Gauges\\tuned.gau"), "changed by the user");
    writeFile(inSimulator("VEXL 747\\Gauges\\v2.gau"), "as 1.1.0 had it");
    writeFile(inSimulator("VEXL 747\\Old Folder\\only.cfg"), "only");
    boost::filesystem::create_directories(inSimulator("VEXL 747\\was a file\\now a folder"));
    writeFile(inSimulator("VEXL 747\\new.cfg"), "just installed");
    manifest = manifestOf(json::array({manifestEntry("VEXL 747", "VEXL 747\\new.cfg", "x")}));
    service.setRemovalList(
        3, 110,
        json::array({droppedEntry("VEXL 747\\Gauges\\old.gau", "old gauge"),
                     droppedEntry("VEXL 747\\Gauges\\tuned.gau", "as released"),
                     // listed with every digest it was released with
                     droppedEntry("VEXL 747\\Gauges\\v2.gau", "as 1.0.0 had it"),
                     droppedEntry("VEXL 747\\Gauges\\v2.gau", "as 1.1.0 had it"),
                     droppedEntry("VEXL 747\\never installed.dll", "gone"),
                     droppedEntry("VEXL 747\\Old Folder\\only.cfg", "only"),
                     droppedEntry("VEXL 747\\Old Folder\\only.cfg", "only"), // listed twice
                     droppedEntry("VEXL 747\\was a file", "a file"),
                     droppedEntry("VEXL 747\\NEW.cfg", "just installed")}));
    EXPECT_EQ(removeDropped(), "");
    const std::string kept = ": it was changed after it was installed";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[VEXL 1] Removed VEXL 747\\Gauges\\old.gau (kept in the backup folder)",
                  "[VEXL 1] Kept VEXL 747\\Gauges\\tuned.gau" + kept,
                  "[VEXL 1] Removed VEXL 747\\Gauges\\v2.gau (kept in the backup folder)",
                  "[VEXL 1] Removed VEXL 747\\Old Folder\\only.cfg (kept in the backup folder)",
                  "[VEXL 1] Kept VEXL 747\\was a file" + kept}));
    EXPECT_FALSE(fileExists(inSimulator("VEXL 747\\Gauges\\old.gau")));
    EXPECT_EQ(readFile(inBackup("VEXL 747\\Gauges\\old.gau")), "old gauge");
    EXPECT_EQ(readFile(inBackup("VEXL 747\\Old Folder\\only.cfg")), "only");
    EXPECT_TRUE(boost::filesystem::is_directory(inSimulator("VEXL 747\\Old Folder")));
    EXPECT_EQ(readFile(inSimulator("VEXL 747\\Gauges\\tuned.gau")), "changed by the user");
    EXPECT_FALSE(fileExists(inBackup("VEXL 747\\Gauges\\tuned.gau")));
    EXPECT_TRUE(boost::filesystem::is_directory(inSimulator("VEXL 747\\was a file\\now a folder")));
    EXPECT_EQ(readFile(inSimulator("VEXL 747\\new.cfg")), "just installed");
}

TEST_F(RemovalStepTest, ALinkAtAListedNameIsTheUsersAndStays) {
    writeFile(dir.file("outside.cfg"), "linked");
    boost::filesystem::create_symlink(dir.file("outside.cfg"), inSimulator("VEXL 747\\link.cfg"));
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\link.cfg", "linked")}));
    EXPECT_EQ(removeDropped(), "");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[VEXL 1] Kept VEXL 747\\link.cfg: it was "
                                                     "changed after it was installed"}));
    EXPECT_TRUE(boost::filesystem::is_symlink(inSimulator("VEXL 747\\link.cfg")));
    EXPECT_EQ(readFile(dir.file("outside.cfg")), "linked");
}

TEST_F(RemovalStepTest, AServiceWithoutRemovalListsChangesNothing) {
    writeFile(inSimulator("VEXL 747\\old.gau"), "old gauge");
    EXPECT_EQ(removeDropped(), "");
    EXPECT_EQ(service.server.requests(),
              std::vector<std::string>{"/manifest/removed" + FakeService::query(3, 110)});
    EXPECT_EQ(readFile(inSimulator("VEXL 747\\old.gau")), "old gauge");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RemovalStepTest, AListThatCannotBeUsedFailsBeforeAnythingMoves) {
    const std::string address = VEXL_SERVICE_URL "manifest/removed" + FakeService::query(3, 110);
    const json first = droppedEntry("VEXL 747\\old.gau", "old gauge");
    const struct {
        std::string body;
        int status;
        std::string message;
    } cases[] = {
        {json::array({first, droppedEntry("..\\..\\outside.cfg", "x")}).dump(), 200,
         "Unsafe path in update data: ..\\..\\outside.cfg"},
        {json::array({first, {{"FilePath", "VEXL 747\\b.gau"}}}).dump(), 200,
         "[json.exception.type_error.302] type must be string, but is null"},
        {first.dump(), 200, "[json.exception.type_error.302] type must be array, but is object"},
        {"[]", 403, "Failed to get " + address + ", server provided abnormal response code 403"},
    };
    writeFile(inSimulator("VEXL 747\\old.gau"), "old gauge");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        service.setRemovalListText(3, 110, c.body, c.status);
        EXPECT_EQ(removeDropped(), c.message);
        EXPECT_EQ(readFile(inSimulator("VEXL 747\\old.gau")), "old gauge");
        EXPECT_FALSE(fileExists(inBackup("VEXL 747\\old.gau")));
    }
    EXPECT_TRUE(log.lines().empty());
}

// A dropped file that a running simulator holds is named, and stays with its backup beside it.
TEST_F(RemovalStepTest, ADroppedFileInUseIsNamedAndStays) {
    writeFile(inSimulator("VEXL 747\\old.gau"), "old gauge");
    service.setRemovalList(3, 110, json::array({droppedEntry("VEXL 747\\old.gau", "old gauge")}));
    TestFileSystem disk;
    disk.holdInUse(simulatorFolder() + "VEXL 747\\old.gau");
    EXPECT_EQ(removeDropped(), "VEXL 747\\old.gau is in use (is the simulator running?)");
    EXPECT_EQ(readFile(inSimulator("VEXL 747\\old.gau")), "old gauge");
    EXPECT_EQ(readFile(inBackup("VEXL 747\\old.gau")), "old gauge");
}

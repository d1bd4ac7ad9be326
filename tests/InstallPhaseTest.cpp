#include "support/TestFileSystem.h"
#include "support/UpdateFixture.h"

#include <filesystem>
#include <functional>
#include <set>

using nlohmann::json;

class InstallPhaseTest : public UpdateFixture {
protected:
    // Puts the new files into the download folder and their entries into the manifest.
    void stage(const Files& files) {
        json entries = json::array();
        for (const auto& [filePath, file] : files) {
            // A new file, as a download is: the installed one may share the old one's bytes.
            boost::filesystem::remove(local(tempFolder() + filePath));
            writeFile(local(tempFolder() + filePath), file.bytes);
            entries.push_back(manifestEntry(file.folder, filePath, file.bytes));
        }
        manifest = manifestOf(entries);
    }

    std::string install() {
        return errorOf([&] { result = installFiles(manifest, folders()); });
    }

    Manifest manifest;
    InstallResult result;

    std::string installed(const std::string& filePath) {
        return readFile(local(simulatorFolder() + filePath));
    }
};

TEST_F(InstallPhaseTest, BacksUpReplacedFilesAndInstallsNewOnes) {
    writeFile(local(simulatorFolder() + "VEXL 747\\old.cfg"), "old config");
    stage({{"VEXL 747\\old.cfg", {"VEXL 747", "new config"}},
           {"VEXL 747\\New Folder\\added.dll", {"VEXL 747\\New Folder", "added"}}});
    EXPECT_EQ(install(), "");
    EXPECT_EQ(result.files,
              (std::vector<InstallAction>{InstallAction::Added, InstallAction::Replaced}));
    EXPECT_EQ(installed("VEXL 747\\New Folder\\added.dll"), "added");
    EXPECT_EQ(installed("VEXL 747\\old.cfg"), "new config");
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\old.cfg")), "old config");
    EXPECT_FALSE(fileExists(local(backupFolder() + "VEXL 747\\New Folder\\added.dll")));
    EXPECT_TRUE(boost::filesystem::is_directory(local(backupFolder() + "VEXL 747\\New Folder")));
    const std::string sim = simulatorFolder();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[VEXL 1] *** Copy file 1 of 2 ***",
                               "[VEXL 1] " + sim + "VEXL 747\\New Folder does not exist; created.",
                               "[VEXL 1] Integrity OK: " + sim + "VEXL 747\\New Folder\\added.dll",
                               "[VEXL 1] *** Copy file 2 of 2 ***",
                               "[VEXL 1] Integrity OK: " + sim + "VEXL 747\\old.cfg"}));
}

TEST_F(InstallPhaseTest, EachInstallOverwritesTheEarlierBackup) {
    writeFile(local(simulatorFolder() + "VEXL 747\\a.cfg"), "version 1");
    stage({{"VEXL 747\\a.cfg", {"VEXL 747", "version 2"}}});
    ASSERT_EQ(install(), "");
    stage({{"VEXL 747\\a.cfg", {"VEXL 747", "version 3"}}});
    ASSERT_EQ(install(), "");
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\a.cfg")), "version 2");
    EXPECT_EQ(installed("VEXL 747\\a.cfg"), "version 3");
}

TEST_F(InstallPhaseTest, AnEmptyManifestInstallsNothingSilently) {
    EXPECT_EQ(install(), "");
    EXPECT_TRUE(result.files.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(InstallPhaseTest, ACopyThatFailsItsDigestEndsThePhaseAndStays) {
    stage({{"a.cfg", {"", "good"}}, {"b.cfg", {"", "good"}}});
    writeFile(local(tempFolder() + "a.cfg"), "corrupted since download");
    EXPECT_EQ(install(), "Aborting file copy, a file has failed integrity-check after copying.");
    EXPECT_EQ(installed("a.cfg"), "corrupted since download");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "b.cfg")));
}

TEST_F(InstallPhaseTest, ADestinationThatCannotBeReplacedEndsThePhase) {
    stage({{"a.cfg", {"", "first"}}, {"blocked.dll", {"", "new"}}, {"c.cfg", {"", "later"}}});
    boost::filesystem::create_directories(local(simulatorFolder() + "blocked.dll\\inside"));
    const std::string message = install();
    EXPECT_NE(message.find("blocked.dll"), std::string::npos) << message;
    EXPECT_EQ(installed("a.cfg"), "first");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "c.cfg")));
}

// A disk that fills, a folder the user may not write and a file another program holds open each
// end the phase at their file, with the files before it installed and none after it.
TEST_F(InstallPhaseTest, ADiskFaultEndsThePhaseAtItsFile) {
    const std::string sim = simulatorFolder();
    const std::vector<std::pair<std::function<void(TestFileSystem&)>, std::string>> faults = {
        {[&](TestFileSystem& disk) { disk.smallDisk(sim, 8); }, "No space left on device"},
        {[&](TestFileSystem& disk) { disk.makeReadOnly(sim + "b"); }, "Permission denied"},
        {[&](TestFileSystem& disk) { disk.holdInUse(sim + "b\\b.cfg"); },
         "b\\b.cfg is in use (is the simulator running?)"}};
    for (const auto& [fault, reason] : faults) {
        SCOPED_TRACE(reason);
        boost::filesystem::remove_all(local(sim));
        writeFile(local(sim + "b\\b.cfg"), "old b");
        stage({{"a.cfg", {"", "first"}}, {"b\\b.cfg", {"b", "second"}}, {"c.cfg", {"", "third"}}});
        TestFileSystem disk;
        fault(disk);
        const std::string message = install();
        EXPECT_NE(message.find(reason), std::string::npos) << message;
        EXPECT_EQ(installed("a.cfg"), "first");
        EXPECT_EQ(installed("b\\b.cfg"), "old b");
        EXPECT_FALSE(fileExists(local(sim + "c.cfg")));
    }
}

TEST_F(InstallPhaseTest, AFileAnInterruptedRunInstalledKeepsItsOriginalBackup) {
    writeFile(local(simulatorFolder() + "a.cfg"), "original");
    stage({{"a.cfg", {"", "new"}}, {"b.cfg", {"", "b"}}});
    // The first run stopped after installing a.cfg; the rerun must not back up "new" over it.
    writeFile(local(backupFolder() + "a.cfg"), "original");
    writeFile(local(simulatorFolder() + "a.cfg"), "new");
    ASSERT_EQ(install(), "");
    EXPECT_EQ(result.files,
              (std::vector<InstallAction>{InstallAction::AlreadyInstalled, InstallAction::Added}));
    EXPECT_EQ(readFile(local(backupFolder() + "a.cfg")), "original");
    EXPECT_EQ(installed("a.cfg"), "new");
}

TEST_F(InstallPhaseTest, AFailedCopyLeavesTheDestinationAsItWas) {
    writeFile(local(simulatorFolder() + "a.cfg"), "original");
    stage({{"a.cfg", {"", "new"}}});
    boost::filesystem::remove(local(tempFolder() + "a.cfg")); // the source vanished
    EXPECT_NE(install(), "");
    EXPECT_EQ(installed("a.cfg"), "original");
    EXPECT_FALSE(fileExists(local(simulatorFolder() + "a.cfg.vexl-partial")));
}

TEST_F(InstallPhaseTest, NoLinkAtAnyNameRedirectsAnInstall) {
    writeFile(dir.file("outside.cfg"), "outside");
    writeFile(dir.file("outside.dll"), "outside");
    writeFile(dir.file("outside.bak"), "outside");
    boost::filesystem::create_symlink(dir.file("outside.cfg"), local(simulatorFolder() + "a.cfg"));
    boost::filesystem::create_symlink(dir.file("outside.bak"),
                                      local(simulatorFolder() + "a.cfg.vexl-partial"));
    boost::filesystem::create_hard_link(dir.file("outside.dll"),
                                        local(simulatorFolder() + "b.dll"));
    // The manifest may name any file, one with the old temporary suffix too.
    stage({{"a.cfg.vexl-partial", {"", "partial is a name"}},
           {"a.cfg", {"", "new a"}},
           {"b.dll", {"", "new b"}}});
    ASSERT_EQ(install(), "");
    for (const char* outside : {"outside.cfg", "outside.dll", "outside.bak"}) {
        EXPECT_EQ(readFile(dir.file(outside)), "outside") << outside;
    }
    EXPECT_EQ(installed("a.cfg.vexl-partial"), "partial is a name");
    EXPECT_EQ(installed("a.cfg"), "new a");
    EXPECT_EQ(installed("b.dll"), "new b");
    EXPECT_FALSE(boost::filesystem::is_symlink(local(simulatorFolder() + "a.cfg")));
}

TEST_F(InstallPhaseTest, NamesReachTheDiskAsTheCharactersTheyName) {
    const std::string sizes = "Gr\xC3\xB6\xC3\x9F"
                              "e \xC3\x9C"
                              "berblick.txt";                                // Größe Überblick
    const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.dds"; // 日本語
    std::string deepFolder = "VEXL 747";
    for (int level = 0; level < 6; ++level) {
        deepFolder += "\\Folder " + std::to_string(level) + std::string(42, 'x');
    }
    ASSERT_GE((simulatorFolder() + deepFolder).size(), 300u);
    stage({{"VEXL 747\\" + sizes, {"VEXL 747", "sizes"}},
           {"VEXL 747\\" + japanese, {"VEXL 747", "texture"}},
           {deepFolder + "\\deep.bin", {deepFolder, "deep"}}});
    ASSERT_EQ(install(), "");
    // Listed through the standard library's own UTF-8 conversion, not the program's.
    namespace stdfs = std::filesystem;
    std::set<std::string> names;
    for (const auto& entry :
         stdfs::directory_iterator(stdfs::u8path(local(simulatorFolder() + "VEXL 747")))) {
        names.insert(entry.path().filename().u8string());
    }
    EXPECT_EQ(names, (std::set<std::string>{sizes, japanese, "Folder 0" + std::string(42, 'x')}));
    EXPECT_EQ(stdfs::file_size(stdfs::u8path(local(simulatorFolder() + deepFolder + "\\deep.bin"))),
              4u);
    EXPECT_TRUE(log.has("[VEXL 1] Integrity OK: " + simulatorFolder() + "VEXL 747\\" + sizes));
}

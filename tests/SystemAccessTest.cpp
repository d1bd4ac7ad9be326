#include "update/SystemAccess.h"
#include "support/TestSupport.h"
#include "system/Paths.h"
#include "system/RunningProcess.h"

#include <boost/filesystem.hpp>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class EnsureDirectoryTest : public SandboxTest {
protected:
    // Runs ensureDirectory; returns what it printed and the error's message, if any.
    std::pair<std::string, std::string> ensure(const std::string& path) {
        CaptureStdout();
        const std::string message = errorOf([&] { system.ensureDirectory(path); });
        return {GetCapturedStdout(), message};
    }

    SystemAccess system;
};

TEST_F(EnsureDirectoryTest, AnExistingFolderIsFineWithOrWithoutTrailingBackslash) {
    EXPECT_EQ(ensure(dir.path()), std::make_pair(std::string(), std::string()));
    EXPECT_EQ(ensure(dir.path() + "\\"), std::make_pair(std::string(), std::string()));
}

TEST_F(EnsureDirectoryTest, CreatesEveryMissingLevel) {
    EXPECT_EQ(ensure(dir.path() + "\\a\\b c\\d\\"), std::make_pair(std::string(), std::string()));
    EXPECT_TRUE(boost::filesystem::is_directory(toFsPath(dir.file("a/b c/d"))));
}

TEST_F(EnsureDirectoryTest, AFileInTheWayIsReportedWithItsErrorValue) {
    writeFile(dir.file("plain"), "x");
    const std::string path = dir.path() + "\\plain";
    const std::string message = "Error: cannot create directory " + path + ", error code " +
                                std::to_string(testplatform::fileInTheWayError());
    EXPECT_EQ(ensure(path), std::make_pair(message + "\n", message));
}

TEST_F(EnsureDirectoryTest, AFileInTheMiddleOfThePathIsReported) {
    writeFile(dir.file("plain"), "x");
    const std::string path = dir.path() + "\\plain\\below";
    const std::string message = "Error: cannot create directory " + path + ", error code " +
                                std::to_string(testplatform::notAFolderError());
    EXPECT_EQ(ensure(path), std::make_pair(message + "\n", message));
}

TEST_F(EnsureDirectoryTest, AnEmptyPathIsAnInvalidArgument) {
    const std::string message = "Error: cannot create directory , error code 22";
    EXPECT_EQ(ensure(""), std::make_pair(message + "\n", message));
}

class UpdaterFolderTest : public SandboxTest {
protected:
    SystemAccess system;
};

TEST_F(UpdaterFolderTest, IsAppDataWithTheVendorFolders) {
    EXPECT_EQ(system.updaterFolderPath(), dir.path() + "\\VEXL\\VEXL Hangar\\Updater\\");
}

TEST_F(UpdaterFolderTest, KeepsEveryCharacterOfAppData) {
    const std::string appData = dir.path() + "\\Zo\xC3\xAB \xE6\x97\xA5\xE6\x9C\xAC"; // Zoë 日本
    ScopedEnv other("APPDATA", appData);
    EXPECT_EQ(system.updaterFolderPath(), appData + "\\VEXL\\VEXL Hangar\\Updater\\");
}

TEST_F(UpdaterFolderTest, FallsBackToTheXdgDataFolderThenHome) {
    ScopedEnv noAppData("APPDATA", std::nullopt);
    {
        ScopedEnv dataHome("XDG_DATA_HOME", "/data");
        EXPECT_EQ(system.updaterFolderPath(), "/data\\VEXL\\VEXL Hangar\\Updater\\");
    }
    ScopedEnv noDataHome("XDG_DATA_HOME", std::nullopt);
    ScopedEnv home("HOME", "/home/pilot");
    EXPECT_EQ(system.updaterFolderPath(), "/home/pilot/.local/share\\VEXL\\VEXL Hangar\\Updater\\");
}

TEST_F(UpdaterFolderTest, NoFolderAtAllIsOneConsoleLineAndAnError) {
    ScopedEnv noAppData("APPDATA", std::nullopt);
    ScopedEnv noDataHome("XDG_DATA_HOME", std::nullopt);
    ScopedEnv noHome("HOME", std::nullopt);
    CaptureStdout();
    EXPECT_THROW(system.updaterFolderPath(), std::runtime_error);
    EXPECT_EQ(GetCapturedStdout(), "Error: cannot find the user's application-data folder to "
                                   "hold the updater folder; set APPDATA.\n");
}

// A simulator counts as running while a program runs from inside its own folder, and only then.
TEST(RunningProcessTest, FindsAProgramOnlyInsideItsFolderAndOnlyWhileItRuns) {
    TempDir dir;
    for (const char* folder : {"P3D", "P3D v5/bin", "Other"}) {
        boost::filesystem::create_directories(dir.file(folder));
    }
    testplatform::ProcessHandle simulator = startSimulator(dir.file("P3D v5/bin"));
    const std::optional<std::string> found = platform::processRunningInside(dir.file("P3D v5"));
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(toFsPath(*found).filename().string(), "sim.exe");
    EXPECT_EQ(platform::processRunningInside(dir.file("P3D")), std::nullopt); // a prefix of it
    EXPECT_EQ(platform::processRunningInside(dir.file("Other")), std::nullopt);
    EXPECT_EQ(platform::processRunningInside(dir.file("Missing")), std::nullopt);
    testplatform::killProcess(*simulator);
    testplatform::finishProcess(std::move(simulator));
    EXPECT_EQ(platform::processRunningInside(dir.file("P3D v5")), std::nullopt);
}

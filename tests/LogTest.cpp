#include "log/Log.h"
#include "support/TestSupport.h"
#include "system/Paths.h"

#include <boost/filesystem/operations.hpp>
#include <regex>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class LogTest : public SandboxTest {};

TEST_F(LogTest, WritesTimestampedLinesToTheFileAndThenStandardOutput) {
    CaptureStdout();
    logMessage(kLogInfo, "Done.");
    logMessage(kLogError, "broken");
    logMessage(7, "");
    const std::string console = GetCapturedStdout();
    const std::string file = readText(dir.file("test-log.txt"));
    EXPECT_EQ(console, file);
    const std::regex line(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[VEXL 1\] Done\.\n)"
                          R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[VEXL 2\] broken\n)"
                          R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} \[VEXL 7\] \n)");
    EXPECT_TRUE(std::regex_match(file, line)) << file;
}

TEST_F(LogTest, KeepsNewlinesInsideAMessage) {
    logMessage(kLogInfo, "one\ntwo");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[VEXL 1] one", "two"}));
}

TEST_F(LogTest, InitLogFileAppendsAcrossRuns) {
    const std::string logPath = dir.file("VEXL/VEXL Hangar/Updater/vexl_updater_log.txt");
    boost::filesystem::create_directories(dir.file("VEXL/VEXL Hangar/Updater"));
    for (int run = 1; run <= 2; ++run) {
        initLogFile(updaterFolder());
        logMessage(kLogInfo, "run " + std::to_string(run));
    }
    EXPECT_EQ(logLines(readText(logPath)),
              (std::vector<std::string>{"[VEXL 1] run 1", "[VEXL 1] run 2"}));
}

TEST_F(LogTest, ALogThatCannotBeOpenedLeavesStandardOutput) {
    setLogFile(dir.file("missing folder/log.txt"));
    CaptureStdout();
    logMessage(kLogInfo, "still shown");
    EXPECT_NE(GetCapturedStdout().find("[VEXL 1] still shown\n"), std::string::npos);
    EXPECT_FALSE(fileExists(dir.file("missing folder")));
}

TEST_F(LogTest, TheConsoleLineIsTakenOffBeforeEveryLogLineAndDrawnAgainAfter) {
    CaptureStdout();
    CaptureStderr();
    drawConsoleLine("50%");
    logMessage(kLogInfo, "one");
    keepConsoleLine(); // stays as a line of its own, and is not drawn again
    logMessage(kLogInfo, "two");
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "\r50%"
                                   "\r   \r"
                                   "\r50%"
                                   "\n");
}

TEST(ShownTextTest, LongTextIsCutAtACharacterBoundary) {
    const std::string ascii(600, 'a');
    EXPECT_EQ(shown(ascii), std::string(512, 'a') + "...");
    EXPECT_EQ(shown(std::string(512, 'a')), std::string(512, 'a'));
    const std::string straddling = std::string(511, 'a') + "\xC3\xA9" + "tail"; // é at 511-512
    EXPECT_EQ(shown(straddling), std::string(511, 'a') + "...");
    EXPECT_EQ(shown(""), "");
}

TEST_F(LogTest, ALogOverItsLimitIsSetAsideOnce) {
    const std::string folder = updaterFolder();
    boost::filesystem::create_directories(toFsPath(folder));
    writeFile(toFsPath(folder + "vexl_updater_log.old.txt").string(), "older");
    writeFile(toFsPath(folder + "vexl_updater_log.txt").string(),
              std::string(8 * 1024 * 1024 + 1, 'x'));
    initLogFile(folder);
    setAsideLargeLog(folder);
    logMessage(kLogInfo, "fresh");
    setAsideLargeLog(folder); // small now: kept
    EXPECT_EQ(boost::filesystem::file_size(toFsPath(folder + "vexl_updater_log.old.txt")),
              8u * 1024 * 1024 + 1);
    EXPECT_EQ(logLines(readText(toFsPath(folder + "vexl_updater_log.txt").string())),
              std::vector<std::string>{"[VEXL 1] fresh"});
}

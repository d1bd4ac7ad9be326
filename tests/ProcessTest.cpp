#include "support/ProgramFixture.h"

class ProcessTest : public ProgramFixture {};

TEST_F(ProcessTest, StartsUpAndReadsTheInstalledVersion) {
    const Outcome outcome = runProgram();
    const auto lines = programLog();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[VEXL 1] ===== VEXL updater commencing");
    EXPECT_EQ(lines[1], "[VEXL 1] Setting up for 744 / P3D");
    EXPECT_EQ(lines[2].rfind("[VEXL 1] VEXL Updater: Version A18 - Build timestamp ", 0), 0u);
    EXPECT_EQ(lines[3], "[VEXL 1] Finding installed VEXL product version");
    EXPECT_EQ(lines[4], "[VEXL 1] Installed VEXL product version: 110");
    EXPECT_EQ(lines.back(), "[VEXL 1] Done.");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(logLines(outcome.console), lines);
}

TEST_F(ProcessTest, LogsEveryProductTheServiceOffers) {
    ProductRecord second = record(4, "747 Freighter");
    second.ProdVersion = 110;
    service.setProductsText(1, productInfo({record(3)}));
    service.setProductsText(2, productInfo({second}));
    EXPECT_EQ(runProgram().exitCode, 0);
    const auto lines = programLog();
    std::vector<std::string> retrieved;
    std::copy_if(
        lines.begin(), lines.end(), std::back_inserter(retrieved),
        [](const std::string& l) { return l.find("Retrieved data") != std::string::npos; });
    EXPECT_EQ(retrieved,
              (std::vector<std::string>{
                  "[VEXL 1] Retrieved data about VEXL product 3: 747 Classic for P3D",
                  "[VEXL 1] Retrieved data about VEXL product 4: 747 Freighter for P3D"}));
}

TEST_F(ProcessTest, UpdatesEndToEndAndTheSecondRunHasNothingToDo) {
    const std::string sim = simulatorFolder();
    writeFile(local(sim + "VEXL 747\\aircraft.cfg"), "old config");
    writeFile(local(sim + "VEXL 747\\unchanged.txt"), "same");
    const Files files = {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}},
                         {"VEXL 747\\New Gauges\\fmc.dll", {"VEXL 747\\New Gauges", "fmc"}}};
    publish(3, 110, files);
    service.setProductsText(1, productInfo({record(3)}));

    Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 0);
    for (const auto& [filePath, file] : files) {
        EXPECT_EQ(referenceMd5(readFile(local(sim + filePath))), referenceMd5(file.bytes));
    }
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\unchanged.txt")), "same");
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\aircraft.cfg")), "old config");
    EXPECT_EQ(displayVersion(), "1.2.0\\");
    auto lines = programLog();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"[VEXL 1] Installed products that failed to update: 0",
                                        "[VEXL 1] Installed products successfully updated: 1",
                                        "[VEXL 1] Done."}));

    const std::size_t requestsBefore = service.server.requests().size();
    outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(service.server.requests().size(), requestsBefore + 2); // the two product documents
    EXPECT_NE(outcome.console.find("[VEXL 1] 120 is the current version. No need to update."),
              std::string::npos);
    EXPECT_NE(outcome.console.find("[VEXL 1] Installed products successfully updated: 0"),
              std::string::npos);
    EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\aircraft.cfg")), "old config");
}

TEST_F(ProcessTest, AnUnreachableServiceEndsTheRunWithCode2) {
    service.server.stop();
    const Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 2);
    const auto lines = programLog();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind(
                  "[VEXL 2] Failed to get " VEXL_SERVICE_URL "products/P3D/744/1.json, ", 0),
              0u);
}

TEST_F(ProcessTest, AnUnusableProductDocumentEndsTheRunWithCode2) {
    service.setProductsText(1, R"([{"ProductID": 1}])");
    EXPECT_EQ(runProgram().exitCode, 2);
    EXPECT_EQ(programLog().back(),
              "[VEXL 2] [json.exception.type_error.302] type must be string, but is null");
}

TEST_F(ProcessTest, NoUpdaterFolderMeansTheRunCannotStart) {
    writeFile(dir.file("VEXL"), "a file where the vendor folder belongs");
    const Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.console, "Error: cannot create directory " + dir.path() +
                                   "\\VEXL\\VEXL Hangar\\Updater\\, error code " +
                                   std::to_string(testplatform::notAFolderError()) + "\n");
}

TEST(ExecutableTest, HoldsNoPlainServiceAddress) {
    const std::string binary = readFile(VEXL_UPDATER_EXE);
    ASSERT_GT(binary.size(), 10000u);
    EXPECT_EQ(binary.find(VEXL_SERVICE_URL), std::string::npos);
    EXPECT_EQ(binary.find("manifest/summary"), std::string::npos);
    EXPECT_EQ(binary.find("products/P3D"), std::string::npos);
}

#include "support/ProgramFixture.h"
#include "system/Registry.h"
#include "system/SafeWrite.h"

#include <atomic>
#include <chrono>
#include <thread>

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
    EXPECT_EQ(lastLogLines(2), (std::vector<std::string>{"[VEXL 1] Run result: complete (exit 0)",
                                                         "[VEXL 1] Done."}));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(logLines(outcome.console), lines);
}

TEST_F(ProcessTest, LogsEveryProductTheServiceOffersAndEndsWithCode3WhenOneFails) {
    service.setProductsText(1, productInfo({record(3)})); // and no manifests for them
    service.setProductsText(2, productInfo({record(4, "747 Freighter")}));
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_EQ(lastLogLines(4),
              (std::vector<std::string>{"[VEXL 1] Installed products that failed to update: 2",
                                        "[VEXL 1] Installed products successfully updated: 0",
                                        "[VEXL 1] Run result: failed products (exit 3)",
                                        "[VEXL 1] Done."}));
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
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_EQ(lastLogLines(4), (std::vector<std::string>{
                                   "[VEXL 1] Installed products that failed to update: 0",
                                   "[VEXL 1] Installed products successfully updated: 1",
                                   "[VEXL 1] Run result: complete (exit 0)", "[VEXL 1] Done."}));

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

// A pilot who wants the previous release back restores it; nightly runs leave it alone until
// updates resume, and the next run then updates again.
TEST_F(ProcessTest, ARestoreHoldsNightlyRunsUntilUpdatesResume) {
    const std::string sim = simulatorFolder();
    writeFile(local(sim + "VEXL 747\\aircraft.cfg"), "old config");
    publish(3, 110, {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}}});
    service.setProductsText(1, productInfo({record(3)}));
    EXPECT_EQ(runProgram({"--restore"}).exitCode, 1);
    EXPECT_EQ(lastLogLines(2),
              (std::vector<std::string>{"[VEXL 1] No recorded update to restore.",
                                        "[VEXL 1] Run result: not started (exit 1)"}));
    ASSERT_EQ(runProgram().exitCode, 0);

    EXPECT_EQ(runProgram({"--restore"}).exitCode, 0);
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\aircraft.cfg")), "old config");
    EXPECT_EQ(displayVersion(), "1.1.0");
    const std::size_t requests = service.server.requests().size();
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{}, std::vector<std::string>{"--check"}}) {
        EXPECT_EQ(runProgram(command).exitCode, 0);
        EXPECT_EQ(service.server.requests().size(), requests);
        EXPECT_EQ(
            lastLogLines(3),
            (std::vector<std::string>{"[VEXL 1] Updates are held at 1.1.0 since a restore; run "
                                      "vexl-updater --resume-updates to update again.",
                                      "[VEXL 1] Run result: complete (exit 0)", "[VEXL 1] Done."}));
    }

    EXPECT_EQ(runProgram({"--resume-updates"}).exitCode, 0);
    EXPECT_TRUE(
        programLogged("[VEXL 1] Updates resume: the next run updates to the newest version."));
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\aircraft.cfg")), "new config");
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(ProcessTest, AnUnreachableServiceEndsTheRunWithCode2) {
    service.server.stop();
    const Outcome outcome = runProgram({}, quickRetries());
    EXPECT_EQ(outcome.exitCode, 2);
    const auto lines = lastLogLines(2);
    EXPECT_EQ(
        lines[0].rfind("[VEXL 2] Failed to get " VEXL_SERVICE_URL "products/P3D/744/1.json, ", 0),
        0u);
    EXPECT_EQ(lines[1], "[VEXL 1] Run result: aborted (exit 2)");
}

TEST_F(ProcessTest, AnUnusableProductDocumentEndsTheRunWithCode2) {
    service.setProductsText(1, R"([{"ProductID": 1}])");
    EXPECT_EQ(runProgram().exitCode, 2);
    EXPECT_EQ(lastLogLines(2)[0],
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

TEST_F(ProcessTest, ArgumentsAreForAPersonAndNeverStartARun) {
    Outcome outcome = runProgram({"--help"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.console.rfind("Usage: vexl-updater [--verify | --repair | --restore | "
                                    "--resume-updates | --check |\n",
                                    0),
              0u);
    EXPECT_NE(outcome.console.find("Registry: " + registry::location() + "\n"), std::string::npos);
    EXPECT_NE(outcome.console.find("  3  the pass ran to its end but at least one product failed"),
              std::string::npos);
    outcome = runProgram({"--version"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.console.rfind("VEXL Updater: Version A18 - Build timestamp ", 0), 0u);
    EXPECT_NE(outcome.console.find("\nUpdate service: " VEXL_SERVICE_URL "\nSigning keys: none "
                                   "(this build accepts documents without signatures)\n"),
              std::string::npos);
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--update-now"},
          std::vector<std::string>{"--verify", "--verify"},
          std::vector<std::string>{"--check", "--verify"}, std::vector<std::string>{"--events"},
          std::vector<std::string>{"--events", "a", "--events", "b"}}) {
        outcome = runProgram(wrong);
        EXPECT_EQ(outcome.exitCode, 1);
    }
    EXPECT_EQ(outcome.console, "");
    EXPECT_EQ(outcome.errors.rfind("Usage: vexl-updater", 0), 0u);
    outcome = runProgram({"--check", "--verfy"});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.errors.rfind("Unknown option --verfy.\nUsage: vexl-updater", 0), 0u);
    EXPECT_FALSE(fileExists(dir.file("VEXL")));
    EXPECT_TRUE(service.server.requests().empty());
}

TEST_F(ProcessTest, ARateOutOfRangeIsNamedWithItsRangeAndStartsNoRun) {
    for (const char* rate : {"9223372036854775808", "-5", "abc", "0", "4097M"}) {
        const Outcome outcome = runProgram({"--check", "--max-rate", rate});
        EXPECT_EQ(outcome.exitCode, 1) << rate;
        EXPECT_EQ(outcome.errors, "--max-rate takes a number of bytes per second from 1 to 4096M "
                                  "(K and M suffixes: 200K, 2M).\n")
            << rate;
    }
    EXPECT_FALSE(fileExists(dir.file("VEXL")));
    EXPECT_TRUE(service.server.requests().empty());
}

TEST_F(ProcessTest, OneRunAtATimeAndALockDiesWithItsProcess) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    service.server.handle("/products/P3D/744/1.json", stallAfterHeaders(release));
    testplatform::ProcessHandle first = startProgram();
    while (service.server.requests().empty()) { // the first run holds the lock by now
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // What the first run writes is no leftover for the second, which touches nothing.
    const std::string temporary = dir.file("VEXL/VEXL Hangar/Updater/~vexl-0123456789abcdef.tmp");
    writeFile(temporary, "the first run's");
    const Outcome second = runProgram();
    EXPECT_TRUE(fileExists(temporary));
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(
        logLines(second.console),
        (std::vector<std::string>{"[VEXL 2] Another update run is in progress; this run stops.",
                                  "[VEXL 1] Run result: not started (exit 1)"}));
    EXPECT_EQ(service.server.requests().size(), 1u);
    testplatform::killProcess(*first);
    finish(std::move(first));
    *release = true;
    service.setProducts(1, nlohmann::json::array());
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(displayVersion(), "1.1.0"); // nothing recorded by any of the three
}

TEST_F(ProcessTest, AFolderAtTheLogsNameStopsTheRunOnTheConsole) {
    boost::filesystem::create_directories(
        dir.file("VEXL/VEXL Hangar/Updater/vexl_updater_log.txt"));
    const Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(logLines(outcome.console),
              (std::vector<std::string>{"[VEXL 2] Cannot write the log file " + updaterFolder() +
                                            "vexl_updater_log.txt: not a regular file; this run "
                                            "stops.",
                                        "[VEXL 1] Run result: not started (exit 1)"}));
    EXPECT_TRUE(service.server.requests().empty());
}

TEST(ExecutableTest, HoldsNoPlainServiceAddress) {
    const std::string binary = readFile(VEXL_UPDATER_EXE);
    ASSERT_GT(binary.size(), 10000u);
    EXPECT_EQ(binary.find(VEXL_SERVICE_URL), std::string::npos);
    EXPECT_EQ(binary.find("manifest/summary"), std::string::npos);
    EXPECT_EQ(binary.find("manifest/removed"), std::string::npos);
    EXPECT_EQ(binary.find("products/P3D"), std::string::npos);
}

// A pipe or a device planted where the updater opens one of its own files, or one it reads for
// its digest, must never hold the run (and with it the run lock) for ever.
enum class In { Updater, Download, Simulator, Registry };
struct PlantedPipe {
    const char* kind;
    In folder;
    const char* name; // "part", "validator": the partial data of the product's file
    int exitCode;
    const char* step; // the line that says so: step + path + ": not a regular file; " + then
    const char* then;
};

void PrintTo(const PlantedPipe& pipe, std::ostream* out) {
    *out << pipe.kind;
}

class PipeTest : public ProgramFixture, public ::testing::WithParamInterface<PlantedPipe> {
protected:
    std::string pipePath() {
        const PlantedPipe& pipe = GetParam();
        const std::string folder = pipe.folder == In::Updater    ? updaterFolder()
                                   : pipe.folder == In::Download ? tempFolder()
                                                                 : simulatorFolder();
        if (pipe.folder == In::Registry) {
            return registryPath();
        }
        const std::string partial = partialDataPath(folder, referenceMd5(kNewConfig));
        if (pipe.name == std::string("validator")) {
            writeFile(local(partial), kNewConfig.substr(0, 3)); // read only beside partial data
            return partial.substr(0, partial.size() - 5) + ".validator";
        }
        return pipe.name == std::string("part") ? partial : folder + pipe.name;
    }
    const std::string kNewConfig = "new config";
};

const PlantedPipe kPlantedPipes[] = {
    {"log", In::Updater, "vexl_updater_log.txt", 1, "Cannot write the log file ",
     "this run stops."},
    {"events", In::Updater, "events.jsonl", 1, "Cannot write the events file ", "this run stops."},
    {"lock", In::Updater, "vexl_updater.lock", 1, "Cannot lock ", "this run stops."},
    {"hold", In::Updater, "vexl_hold.json", 0, "Cannot read the hold ", "updates stay held."},
    {"journal", In::Download, "vexl_update_journal.json", 0, "Cannot read the update journal ",
     "it is left as it is."},
    {"partial", In::Download, "part", 0, "", ""},
    {"validator", In::Download, "validator", 0, "", ""},
    {"downloaded", In::Download, "VEXL 747\\aircraft.cfg", 0, "", ""},
    {"installed", In::Simulator, "VEXL 747\\aircraft.cfg", 0, "", ""},
    {"registry", In::Registry, "", 0, "", ""},
};

TEST_P(PipeTest, APipeInPlaceOfAFileEndsTheRunInTimeAndTheNextRunSucceeds) {
    const std::string sim = simulatorFolder();
    writeFile(local(sim + "VEXL 747\\aircraft.cfg"), "old config");
    publish(3, 110, {{"VEXL 747\\aircraft.cfg", {"VEXL 747", kNewConfig}}});
    service.setProductsText(1, productInfo({record(3)}));
    const std::string pipePathText = pipePath();
    const std::string pipe = local(pipePathText);
    boost::filesystem::create_directories(toFsPath(pipe).parent_path());
    boost::filesystem::remove(toFsPath(pipe));
    if (!testplatform::makePipe(pipe)) {
        GTEST_SKIP() << "no named pipes here";
    }
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> ended{false};
    std::thread releaser([&] {
        while (!ended && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        testplatform::releasePipe(pipe);
    });
    const Outcome outcome = runProgram({"--events", updaterFolder() + "events.jsonl"});
    const auto took = std::chrono::steady_clock::now() - start;
    ended = true;
    releaser.join();
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_EQ(outcome.exitCode, GetParam().exitCode) << outcome.console;
    const auto console = logLines(outcome.console);
    if (*GetParam().step != '\0') {
        const std::string line = std::string("[VEXL 2] ") + GetParam().step + pipePathText +
                                 ": not a regular file; " + GetParam().then;
        EXPECT_NE(std::find(console.begin(), console.end(), line), console.end())
            << outcome.console;
    }

    if (!boost::filesystem::is_regular_file(boost::filesystem::symlink_status(pipe))) {
        boost::filesystem::remove(toFsPath(pipe)); // what the run has not replaced itself
    }
    if (pipe == local(registryPath())) {
        seedRegistry();
    }
    EXPECT_EQ(runProgram().exitCode, 0) << outcome.console;
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\aircraft.cfg")), kNewConfig);
    EXPECT_EQ(displayVersion(), "1.2.0");
}

INSTANTIATE_TEST_SUITE_P(EachKindOfFile, PipeTest, ::testing::ValuesIn(kPlantedPipes),
                         [](const ::testing::TestParamInfo<PlantedPipe>& info) {
                             return std::string(info.param.kind);
                         });

// A link at a file's place is never followed: the file it points to keeps its bytes.
TEST_F(ProcessTest, ALinkInPlaceOfAnInstalledFileIsReplacedNotFollowed) {
    const std::string sim = simulatorFolder();
    writeFile(dir.file("elsewhere.cfg"), "not the product's");
    boost::system::error_code ec;
    boost::filesystem::create_symlink(dir.file("elsewhere.cfg"),
                                      local(sim + "VEXL 747\\aircraft.cfg"), ec);
    if (ec) {
        GTEST_SKIP() << "no links here";
    }
    publish(3, 110, {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}}});
    service.setProductsText(1, productInfo({record(3)}));
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_FALSE(boost::filesystem::is_symlink(local(sim + "VEXL 747\\aircraft.cfg")));
    EXPECT_EQ(readFile(local(sim + "VEXL 747\\aircraft.cfg")), "new config");
    EXPECT_EQ(readFile(dir.file("elsewhere.cfg")), "not the product's");
}

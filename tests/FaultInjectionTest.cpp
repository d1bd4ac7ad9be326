#include "support/ProgramFixture.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using nlohmann::json;

namespace {

std::string pattern(std::size_t size, int seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) & 0xFF);
    }
    return bytes;
}

} // namespace

class FaultInjectionTest : public ProgramFixture {
protected:
    FaultInjectionTest() {
        for (int i = 0; i < 6; ++i) {
            const std::string name = "VEXL 747\\Part " + std::to_string(i) + ".bin";
            newFiles[name] = {"VEXL 747", pattern(20000 + i, i)};
            writeFile(local(simulatorFolder() + name), "old " + std::to_string(i));
        }
        publish(3, 110, newFiles);
        service.setProductsText(1, productInfo({record(3)}));
    }

    void expectNothingInstalled() {
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(
                readFile(local(simulatorFolder() + "VEXL 747\\Part " + std::to_string(i) + ".bin")),
                "old " + std::to_string(i));
        }
        EXPECT_EQ(displayVersion(), "1.1.0");
    }

    void expectFullyUpdated() {
        for (const auto& [filePath, file] : newFiles) {
            EXPECT_EQ(referenceMd5(readFile(local(simulatorFolder() + filePath))),
                      referenceMd5(file.bytes))
                << filePath;
        }
        EXPECT_EQ(displayVersion(), "1.2.0");
    }

    int failedCount() const {
        return static_cast<int>(
            programLogged("[VEXL 1] Installed products that failed to update: 1"));
    }

    std::string target(int i) const {
        return service.fileTarget(1, "VEXL 747\\Part " + std::to_string(i) + ".bin");
    }
    const File& file(int i) { return newFiles.at("VEXL 747\\Part " + std::to_string(i) + ".bin"); }

    Files newFiles;
};

TEST_F(FaultInjectionTest, AStalledTransferIsAbortedWithinTheLimitAndTriedAgain) {
    auto release = std::make_shared<std::atomic<bool>>(false);
    int requests = 0;
    service.server.handle(target(2),
                          [&](const httplib::Request& request, httplib::Response& response) {
                              (requests++ == 0 ? stallAfterHeaders(release)
                                               : cutAfter(file(2).bytes, 0, 0))(request, response);
                          });
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = runProgram({}, shortLimits("lowSpeedSeconds=2"));
    const auto took = std::chrono::steady_clock::now() - start;
    *release = true;
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_GE(took, std::chrono::milliseconds(1500));
    EXPECT_TRUE(programLogged("[VEXL 1] Retrying " + service.server.url(target(2)) +
                              " (attempt 2 of 4): Operation too slow. Less than 1000 bytes/sec "
                              "transferred the last 2 seconds"));
    expectFullyUpdated();
}

TEST_F(FaultInjectionTest, KilledInTheMiddleOfAFileTheRerunAsksOnlyForTheRest) {
    newFiles["VEXL 747\\Part 2.bin"].bytes = pattern(400000, 2);
    publish(3, 110, newFiles);
    const std::string bytes = file(2).bytes;
    // Half the file with its tag, then nothing until the run is killed.
    auto release = std::make_shared<std::atomic<bool>>(false);
    service.server.handle(
        target(2), [bytes, release](const httplib::Request&, httplib::Response& response) {
            response.set_header("ETag", "\"v1\"");
            response.set_content_provider(
                bytes.size(), "application/octet-stream",
                [bytes, release](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    if (offset == 0) {
                        sink.write(bytes.data(), bytes.size() / 2);
                    }
                    for (int i = 0; i < 300 && !*release; ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                    return false;
                });
        });
    const std::string partial =
        local(tempFolder() + "~vexl-" +
              manifestEntry("", "x", bytes)["MD5Hash"].get<std::string>() + ".part");
    testplatform::ProcessHandle program = startProgram();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    boost::system::error_code ec;
    // (file_size answers -1 while there is no file yet.)
    while ((boost::filesystem::file_size(partial, ec) + 1) < bytes.size() / 4 + 1 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    testplatform::killProcess(*program);
    finish(std::move(program));
    *release = true;
    const std::string kept = readFile(partial);
    ASSERT_GE(kept.size(), bytes.size() / 4);
    EXPECT_EQ(kept, bytes.substr(0, kept.size()));

    service.server.handle(target(2), taggedFile(bytes, "\"v1\""));
    EXPECT_EQ(runProgram().exitCode, 0);
    expectFullyUpdated();
    const auto requests = service.server.requests();
    const auto ranges = service.server.headers("Range");
    const auto tags = service.server.headers("If-Range");
    const std::size_t last = static_cast<std::size_t>(
        std::find(requests.rbegin(), requests.rend(), target(2)).base() - requests.begin() - 1);
    EXPECT_EQ(ranges[last], "bytes=" + std::to_string(kept.size()) + "-");
    EXPECT_EQ(tags[last], "\"v1\"");
    EXPECT_EQ(std::count(requests.begin(), requests.end(), target(2)), 2);
    EXPECT_FALSE(fileExists(partial)); // the version is recorded
}

TEST_F(FaultInjectionTest, DamagedTransfersFailTheProductAndOnlyThoseAreFetchedAgain) {
    service.server.handle(target(1), cutAfter(file(1).bytes, 5000, 100));
    service.server.handle(target(3), cutAfter(file(3).bytes, 0, 100));
    std::string flipped = file(4).bytes;
    flipped[777] = static_cast<char>(flipped[777] ^ 0x10);
    service.setFile(1, "VEXL 747\\Part 4.bin", flipped);

    // Each run stops at the first damaged file; the damage is mended one file at a time. The
    // retries wait long enough for the files after a cut one to arrive whole meanwhile.
    const auto retries = shortLimits("firstRetryDelayMilliseconds=250");
    EXPECT_EQ(runProgram({}, retries).exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Error in file download - I was unable to download " +
                              tempFolder() + "VEXL 747\\Part 1.bin"));
    expectNothingInstalled();
    service.setFile(1, "VEXL 747\\Part 1.bin", file(1).bytes);
    EXPECT_EQ(runProgram({}, retries).exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Error in file download - I was unable to download " +
                              tempFolder() + "VEXL 747\\Part 3.bin"));
    service.setFile(1, "VEXL 747\\Part 3.bin", file(3).bytes);
    EXPECT_EQ(runProgram({}, retries).exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: "
                              "Aborting file download, a downloaded file has failed "
                              "integrity-check."));
    expectNothingInstalled();
    service.setFile(1, "VEXL 747\\Part 4.bin", file(4).bytes);
    EXPECT_EQ(runProgram().exitCode, 0);
    expectFullyUpdated();
    // Files that arrived whole were kept by their digests; a cut one was tried four times.
    for (const auto& [i, requests] : std::map<int, int>{{0, 1}, {1, 5}, {2, 1}, {5, 1}}) {
        EXPECT_EQ(service.server.count(target(i)), requests) << "file " << i;
    }
}

// A service busy for its first 2.5 s: three requests of four get a 503 with a Retry-After, a 503
// without one or a 429. Each request thinks 20 ms, so that those in flight at once can be counted.
struct BusyStart {
    struct Seen {
        std::chrono::milliseconds at;
        int inFlight;
        std::string target;
    };
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    const std::chrono::milliseconds busyFor{2500};
    std::mutex mutex;
    std::vector<Seen> seen;
    int inFlight = 0;

    bool answer(const httplib::Request& request, httplib::Response& response) {
        std::unique_lock<std::mutex> lock(mutex);
        const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const std::size_t turn = seen.size();
        seen.push_back({at, ++inFlight, request.target});
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
        --inFlight;
        if (at >= busyFor || turn % 4 == 3) {
            return false;
        }
        response.status = turn % 4 == 2 ? 429 : 503;
        if (turn % 4 == 0) {
            response.set_header("Retry-After", "1");
        }
        return true;
    }
};

TEST_F(FaultInjectionTest, AServiceBusyForItsFirstSecondsIsWaitedForAndNotHammered) {
    auto busy = std::make_shared<BusyStart>();
    service.server.setGate([busy](const httplib::Request& request, httplib::Response& response) {
        return busy->answer(request, response);
    });
    EXPECT_EQ(runProgram({}, shortLimits("firstRetryDelayMilliseconds=200")).exitCode, 0);
    service.server.setGate(nullptr);
    expectFullyUpdated();
    std::set<std::string> asked;
    std::vector<std::chrono::milliseconds> retries;
    for (const BusyStart::Seen& seen : busy->seen) {
        if (!asked.insert(seen.target).second) {
            retries.push_back(seen.at);
        }
        // Once the first request's busy answer is in, half of the four at once at the most.
        if (seen.at > busy->seen.front().at + std::chrono::milliseconds(120) &&
            seen.at < busy->busyFor) {
            EXPECT_LE(seen.inFlight, 2) << seen.target;
        }
    }
    // Waited for: a few retries over the busy seconds, never a burst of them.
    EXPECT_GE(retries.size(), 3u);
    EXPECT_LE(busy->seen.size(), 40u);
    for (std::size_t i = 9; i < retries.size(); ++i) {
        EXPECT_GE(retries[i] - retries[i - 9], std::chrono::milliseconds(50)) << i;
    }
}

TEST_F(FaultInjectionTest, AnEndlessProductDocumentIsRefusedAtTheLimit) {
    service.server.handle(
        "/products/P3D/744/1.json", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/json",
                [sent = std::size_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                    static const std::string chunk = "[" + std::string(65535, ' ');
                    if (sent > (1024u << 20)) {
                        return false; // bounded: the refusal must come long before
                    }
                    sent += chunk.size();
                    return sink.write(chunk.data(), chunk.size());
                });
        });
    const Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] Failed to get " VEXL_SERVICE_URL
                                  "products/P3D/744/1.json, Failure writing output to "
                                  "destination");
    // The server would send a gibibyte; the program stops at the limit. AddressSanitizer keeps
    // freed memory aside for a while, so its builds peak higher.
#ifdef __SANITIZE_ADDRESS__
    const long boundKiB = 512 * 1024;
#else
    const long boundKiB = 160 * 1024;
#endif
    EXPECT_LT(outcome.peakKiB, boundKiB) << "KiB at the peak";
}

TEST_F(FaultInjectionTest, ADeeplyNestedDocumentIsRefusedWithoutTheMemoryItAsksFor) {
    service.setProducts(1, nlohmann::json::array());
    const long idleKiB = runProgram().peakKiB;
    service.setProductsText(1, std::string(8 << 20, '['));
    const Outcome outcome = runProgram();
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(
        lastLogLines(2)[0],
        "[VEXL 2] [json.exception.parse_error.101] parse error: nested deeper than 64 levels");
#ifdef __SANITIZE_ADDRESS__ // which keeps freed memory aside
    const long boundKiB = 256 * 1024;
#else
    const long boundKiB = 64 * 1024;
#endif
    EXPECT_LT(outcome.peakKiB - idleKiB, boundKiB) << "KiB above an idle run";
}

#ifndef __SANITIZE_ADDRESS__ // which needs an unlimited address space
TEST_F(FaultInjectionTest, RunningOutOfMemoryEndsOnlyThatProduct) {
    std::string manifest = "[";
    while (manifest.size() < (8u << 20)) {
        manifest += R"({"Folder": "", "FilePath": "a", "FileSize": 1, "MD5Hash": "x"},)";
    }
    manifest.back() = ']';
    service.setFileListText(3, 110, manifest);
    ProductRecord second = record(4, "747 Freighter", 2);
    service.setProductsText(2, productInfo({second}));
    publish(4, 110, {{"VEXL 747\\second.cfg", {"VEXL 747", "second"}}}, 2);
    // Read whole, the 8 MiB list takes far more than the 192 MiB the program may have; the
    // second product fits in it.
    const Outcome outcome = finish(startProgram({}, 192));
    EXPECT_EQ(outcome.exitCode, 3);
    EXPECT_EQ(failedCount(), 1);
    const auto lines = programLog();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[VEXL 2] Update terminated abnormally for 747 Classic for P3D: not "
                         "enough memory"),
              1);
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\second.cfg")), "second");
}
#endif

TEST_F(FaultInjectionTest, ARedirectLoopEndsAtTheRedirectLimit) {
    service.server.handle(target(0), [this](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(target(0), 302);
    });
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_EQ(service.server.count(target(0)), 31);
    EXPECT_EQ(failedCount(), 1);
    service.server.handle("/products/P3D/744/1.json",
                          [](const httplib::Request&, httplib::Response& response) {
                              response.set_redirect("/products/P3D/744/1.json", 301);
                          });
    EXPECT_EQ(runProgram().exitCode, 2);
    EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] Failed to get " VEXL_SERVICE_URL
                                  "products/P3D/744/1.json, Maximum (30) redirects followed");
}

TEST_F(FaultInjectionTest, ADestinationThatCannotBeReplacedKeepsBackupsAndRegistry) {
    const std::string blocked = local(simulatorFolder() + "VEXL 747\\Part 3.bin");
    boost::filesystem::remove(blocked);
    boost::filesystem::create_directories(blocked + "/inside");
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_EQ(failedCount(), 1);
    EXPECT_EQ(displayVersion(), "1.1.0");
    for (int i = 0; i < 3; ++i) { // installed before the obstacle, with their backups
        EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\Part " + std::to_string(i) + ".bin")),
                  "old " + std::to_string(i));
    }
    boost::filesystem::remove_all(blocked);
    EXPECT_EQ(runProgram().exitCode, 0);
    expectFullyUpdated();
    for (int i = 0; i < 3; ++i) { // the rerun kept the original backups
        EXPECT_EQ(readFile(local(backupFolder() + "VEXL 747\\Part " + std::to_string(i) + ".bin")),
                  "old " + std::to_string(i));
    }
}

TEST_F(FaultInjectionTest, ADiskTooSmallIsFoundBeforeAnyDownloadAndTheRerunCompletes) {
    const std::string sim = local(simulatorFolder());
    const std::string saved = dir.file("saved sim");
    boost::filesystem::rename(sim, saved);
    boost::filesystem::create_directories(sim);
    if (!testplatform::mountSmallDisk(sim, 72)) {
        GTEST_SKIP() << "this machine does not let the test mount a small tmpfs";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { testplatform::unmountSmallDisk(path); }
    } unmount{sim};
    copyTree(saved, sim);
    // 72 KiB cannot hold the new files and the room an update keeps free.
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: Not "
                              "enough disk space to update 747 Classic for P3D: 65 MiB needed on " +
                              simulatorFolder() + ", 0 MiB free."));
    EXPECT_EQ(service.server.count(target(0)), 0);
    expectNothingInstalled();
    ASSERT_TRUE(testplatform::resizeSmallDisk(sim, 80 * 1024));
    EXPECT_EQ(runProgram().exitCode, 0);
    expectFullyUpdated();
}

namespace {

std::string phaseOf(const std::vector<std::string>& log) {
    const auto has = [&log](const std::string& part) {
        return std::any_of(log.begin(), log.end(), [&part](const std::string& line) {
            return line.find(part) != std::string::npos;
        });
    };
    if (has("] Done.")) {
        return "after the run";
    }
    if (has("*** Copy file")) {
        return "installing";
    }
    if (has("*** Downloading file")) {
        return "downloading";
    }
    return "starting";
}

} // namespace

TEST_F(FaultInjectionTest, KilledAtAnyMomentTheRerunConverges) {
    // The kills are spread over the lines an undisturbed run logs, so that they land in every step
    // however busy the machine is.
    const std::string simSaved = dir.file("saved sim");
    copyTree(local(simulatorFolder()), simSaved);
    const auto startAfresh = [&] {
        boost::filesystem::remove_all(local(simulatorFolder()));
        boost::filesystem::remove_all(dir.file("VEXL"));
        copyTree(simSaved, local(simulatorFolder()));
        seedRegistry();
    };
    ASSERT_EQ(runProgram().exitCode, 0);
    const std::size_t fullLines = programLog().size();

    std::map<std::string, int> phases; // where the kills landed
    constexpr std::size_t kKills = 10;
    for (std::size_t kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        startAfresh();

        testplatform::ProcessHandle program = startProgram();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (programLog().size() < fullLines * kill / kKills &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(kill % 5 * 300)); // within the step
        testplatform::killProcess(*program);
        finish(std::move(program));
        ++phases[phaseOf(programLog())];

        // Never half written, and never naming the new version before every file is in place.
        ASSERT_TRUE(registry.intact());
        for (int i = 0; i < 6; ++i) { // each file old or new, never a third state
            const std::string now =
                readFile(local(simulatorFolder() + "VEXL 747\\Part " + std::to_string(i) + ".bin"));
            EXPECT_TRUE(now == "old " + std::to_string(i) || now == file(i).bytes) << i;
        }
        if (displayVersion() == "1.2.0") {
            expectFullyUpdated();
        }
        ASSERT_EQ(runProgram().exitCode, 0);
        expectFullyUpdated();
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(
                readFile(local(backupFolder() + "VEXL 747\\Part " + std::to_string(i) + ".bin")),
                "old " + std::to_string(i));
        }
        // What the killed run was writing is gone from every folder the rerun went through.
        for (boost::filesystem::recursive_directory_iterator it(dir.path()), end; it != end; ++it) {
            EXPECT_EQ(it->path().filename().string().rfind("~vexl-", 0), std::string::npos)
                << it->path();
        }
    }
    for (const auto& [phase, count] : phases) {
        std::cout << "killed " << phase << ": " << count << "\n";
    }
    EXPECT_GE(phases["downloading"], 2);
    EXPECT_GE(phases["installing"], 1);
}

namespace {

// Every file below a folder with its bytes.
std::map<std::string, std::string> treeOf(const std::string& folder) {
    std::map<std::string, std::string> tree;
    for (boost::filesystem::recursive_directory_iterator it(folder), end; it != end; ++it) {
        if (boost::filesystem::is_regular_file(it->path())) {
            tree[it->path().string()] = readFile(it->path().string());
        }
    }
    return tree;
}

} // namespace

// Each kill lands at a spread delay: before the hold is set, or after it, within the time the
// undisturbed restore took to move the files.
TEST_F(FaultInjectionTest, KilledAtAnyMomentARestoreConvergesOnOneRelease) {
    Files release; // 96 files replaced, 4 added, 4 dropped
    json dropped = json::array();
    for (int i = 0; i < 104; ++i) {
        const std::string name = "VEXL 747\\Scenery\\Tile " + std::to_string(i) + ".bin";
        if (i < 100) {
            release[name] = {"VEXL 747\\Scenery", pattern(64 + i, i)};
        }
        if (i < 96 || i >= 100) {
            writeFile(local(simulatorFolder() + name), "old " + std::to_string(i));
        }
        if (i >= 100) {
            dropped.push_back(droppedEntry(name, "old " + std::to_string(i)));
        }
    }
    publish(3, 110, release);
    service.setRemovalList(3, 110, dropped);
    const auto older = treeOf(local(simulatorFolder()));
    ASSERT_EQ(runProgram().exitCode, 0);
    const auto newer = treeOf(local(simulatorFolder()));
    const std::string journal = local(tempFolder() + "vexl_update_journal.json");
    const std::string recorded = readFile(journal);
    const std::string hold = local(updaterFolder() + "vexl_hold.json");
    // Only what differs is written again, each file afresh: a restored file may be a second name
    // of its backup.
    const auto startAfresh = [&](const std::map<std::string, std::string>& now) {
        for (const auto& [path, bytes] : now) {
            if (newer.count(path) == 0 || newer.at(path) != bytes) {
                boost::filesystem::remove(path);
            }
        }
        for (const auto& [path, bytes] : newer) {
            if (now.count(path) == 0 || now.at(path) != bytes) {
                writeFile(path, bytes);
            }
        }
        boost::filesystem::remove_all(local(tempFolder() + "VEXL 747")); // kept copies
        boost::filesystem::remove(hold);
        boost::filesystem::remove(local(updaterFolder() + "vexl_updater_log.txt"));
        writeFile(journal, recorded);
        registry.seed({{RegistryRoot::LocalMachine, kUninstallKey, "DisplayVersion", "1.2.0"},
                       {RegistryRoot::CurrentUser, "Software\\Sim", "AppPath", simulatorFolder()}});
    };
    const auto sinceStart = [](auto start) { return std::chrono::steady_clock::now() - start; };
    const auto awaitHold = [&](auto start) {
        while (!fileExists(hold) && sinceStart(start) < std::chrono::seconds(5)) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return sinceStart(start);
    };
    auto start = std::chrono::steady_clock::now();
    testplatform::ProcessHandle undisturbed = startProgram({"--restore"});
    const auto held = awaitHold(start);
    ASSERT_EQ(finish(std::move(undisturbed)).exitCode, 0);
    const auto moving = sinceStart(start) - held;
    auto now = treeOf(local(simulatorFolder()));
    ASSERT_EQ(now, older);

    std::map<std::string, int> outcomes;
    constexpr int kKills = 10, kEarly = 2;
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        startAfresh(now);
        start = std::chrono::steady_clock::now();
        testplatform::ProcessHandle program = startProgram({"--restore"});
        if (kill < kEarly) {
            std::this_thread::sleep_for(held * kill / kEarly);
        } else {
            awaitHold(start);
            std::this_thread::sleep_for(moving * (kill - kEarly) / (kKills - kEarly));
        }
        testplatform::killProcess(*program);
        finish(std::move(program));
        ASSERT_TRUE(registry.intact());

        ASSERT_EQ(runProgram().exitCode, 0);
        now = treeOf(local(simulatorFolder()));
        const bool restored = now == older;
        EXPECT_TRUE(restored || now == newer);
        EXPECT_EQ(displayVersion(), restored ? "1.1.0" : "1.2.0");
        ++outcomes[programLogged("[VEXL 1] Finished an interrupted restore of 747 Classic for P3D.")
                       ? "finished by the next run"
                   : restored ? "restored by the killed run"
                              : "not begun"];
    }
    for (const auto& [outcome, count] : outcomes) {
        std::cout << outcome << ": " << count << "\n";
    }
    EXPECT_GE(outcomes["finished by the next run"], 3);
}

#include "support/UpdateFixture.h"
#include "system/BinaryPatch.h"
#include "system/SafeWrite.h"

using nlohmann::json;

class DownloadPhaseTest : public UpdateFixture {
protected:
    DownloadPhaseTest() { boost::filesystem::create_directories(local(tempFolder())); }

    // The file manifest as the driver fetches it, its plan, and the phase over it.
    std::string download(const ProductRecord& r) {
        return errorOf([&] {
            result = downloadFiles(
                updater.downloader, r,
                planRelease(fetchFileManifest(updater.downloader, r, 110), sources, folders()));
        });
    }

    // Where a file's partial data waits for the next attempt or run, and its validator.
    std::string partialOf(const std::string& bytes, const std::string& suffix = ".part") const {
        return local(tempFolder() + "~vexl-" + md5Of(bytes) + suffix);
    }
    static std::string md5Of(const std::string& bytes) {
        return manifestEntry("", "x", bytes)["MD5Hash"].get<std::string>();
    }
    // Bytes that differ from place to place, so that a wrong join shows.
    static std::string patterned(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
        }
        return bytes;
    }

    DownloadResult result;
    LocalSources sources; // the removal list and patches the driver had

    const Files files = {{"SimObjects\\747\\model.mdl", {"SimObjects\\747", "model bytes"}},
                         {"SimObjects\\747\\panel.cfg", {"SimObjects\\747", "[panel]"}},
                         {"Docs\\Read me.txt", {"Docs", "notes"}}};
};

TEST_F(DownloadPhaseTest, DownloadsAndVerifiesEveryFile) {
    publish(3, 110, files);
    EXPECT_EQ(download(record()), "");
    for (const auto& [filePath, file] : files) {
        EXPECT_EQ(readFile(local(tempFolder() + filePath)), file.bytes);
    }
    EXPECT_EQ(result.files, std::vector<FileOutcome>(3, FileOutcome::Downloaded));
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[VEXL 1] *** Downloading file 1 of 3 ***", "[VEXL 1] Docs\\Read me.txt downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 1 of 3 downloaded, passed integrity check.",
            "[VEXL 1] *** Downloading file 2 of 3 ***",
            "[VEXL 1] SimObjects\\747\\model.mdl downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 2 of 3 downloaded, passed integrity check.",
            "[VEXL 1] *** Downloading file 3 of 3 ***",
            "[VEXL 1] SimObjects\\747\\panel.cfg downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 3 of 3 downloaded, passed integrity check."}));
    auto requests = service.server.requests(); // the files in any order: they come at once
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], "/manifest/files?product=3&version=110");
    std::sort(requests.begin() + 1, requests.end());
    EXPECT_EQ(requests, (std::vector<std::string>{"/manifest/files?product=3&version=110",
                                                  "/files/P3D/744/1/Docs/Read%20me.txt",
                                                  "/files/P3D/744/1/SimObjects/747/model.mdl",
                                                  "/files/P3D/744/1/SimObjects/747/panel.cfg"}));
}

TEST_F(DownloadPhaseTest, ARerunDownloadsNothing) {
    publish(3, 110, files);
    ASSERT_EQ(download(record()), "");
    const std::size_t requestsBefore = service.server.requests().size();
    ASSERT_EQ(download(record()), "");
    EXPECT_EQ(service.server.requests().size(), requestsBefore + 1); // the manifest only
    EXPECT_EQ(result.files, std::vector<FileOutcome>(3, FileOutcome::Kept));
    for (const auto& [filePath, file] : files) {
        EXPECT_TRUE(log.has("[VEXL 1] Existing file integrity OK: " + filePath));
    }
}

TEST_F(DownloadPhaseTest, ADamagedLocalFileIsDownloadedAgainAndCountingIncludesSkips) {
    Files five;
    for (int i = 1; i <= 5; ++i) {
        five["f" + std::to_string(i)] = {"", "content " + std::to_string(i)};
    }
    publish(3, 110, five);
    writeFile(local(tempFolder() + "f1"), "content 1");
    writeFile(local(tempFolder() + "f2"), "content 2");
    writeFile(local(tempFolder() + "f3"), "damaged");
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(readFile(local(tempFolder() + "f3")), "content 3");
    EXPECT_EQ(
        log.containing("downloaded, passed"),
        (std::vector<std::string>{"[VEXL 1] File 3 of 5 downloaded, passed integrity check.",
                                  "[VEXL 1] File 4 of 5 downloaded, passed integrity check.",
                                  "[VEXL 1] File 5 of 5 downloaded, passed integrity check."}));
    EXPECT_EQ(service.server.count(service.fileTarget(1, "f1")), 0);
}

TEST_F(DownloadPhaseTest, AMissingFileEndsThePhase) {
    publish(3, 110, files);
    service.setFile(1, "SimObjects\\747\\model.mdl", "gone", 404);
    EXPECT_EQ(download(record()), "Aborting file download; see error above.");
    EXPECT_TRUE(
        log.has("[VEXL 2] Error in file download - server provided abnormal response code 404"));
    EXPECT_EQ(readFile(local(tempFolder() + "Docs\\Read me.txt")), "notes"); // kept for next run
}

TEST_F(DownloadPhaseTest, AFileThatFailsItsDigestEndsThePhase) {
    publish(3, 110, files);
    service.setFile(1, "Docs\\Read me.txt", "tampered");
    EXPECT_EQ(download(record()),
              "Aborting file download, a downloaded file has failed integrity-check.");
    const auto lines = log.lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"[VEXL 1] Progress:",
                                        "[VEXL 2] Docs\\Read me.txt: expected MD5 " +
                                            referenceMd5("notes") + ", got " +
                                            referenceMd5("tampered") + "."}));
    EXPECT_EQ(log.containing("expected MD5").size(), 1u);
    EXPECT_EQ(service.server.count(service.fileTarget(1, "Docs\\Read me.txt")), 2); // one more
}

TEST_F(DownloadPhaseTest, WhatIsDoneSoFarStaysInTheResultWhenThePhaseFails) {
    publish(3, 110, files);
    writeFile(local(tempFolder() + "Docs\\Read me.txt"), "notes");
    service.setFile(1, "SimObjects\\747\\panel.cfg", "tampered");
    const ReleasePlan plan =
        planRelease(fetchFileManifest(updater.downloader, record(), 110), {}, folders());
    DownloadResult soFar;
    EXPECT_THROW(downloadFiles(updater.downloader, record(), plan, soFar), std::runtime_error);
    EXPECT_EQ(soFar.files, (std::vector<FileOutcome>{FileOutcome::Kept, FileOutcome::Downloaded}));
    // model.mdl and panel.cfg (twice: once more past the caches) came over the network.
    EXPECT_EQ(soFar.bytesReceived, std::string("model bytes").size() + 2 * 8u);
}

TEST_F(DownloadPhaseTest, AnEmptyManifestOnlyOpens) {
    service.setManifest(3, 110, json::array());
    EXPECT_EQ(download(record()), "");
    EXPECT_TRUE(result.files.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DownloadPhaseTest, BackslashesInTheFileBaseBecomeSlashes) {
    publish(3, 110, {{"a\\b.bin", {"a", "b"}}});
    ProductRecord r = record();
    r.FileBaseUrl = VEXL_SERVICE_URL "files\\P3D\\744\\1\\";
    EXPECT_EQ(download(r), "");
    EXPECT_EQ(service.server.count("/files/P3D/744/1/a/b.bin"), 1);
}

TEST_F(DownloadPhaseTest, UnsafePathsAreRefusedBeforeAnythingIsWritten) {
    service.setFile(1, "fine.txt", "fine");
    service.setFileListText(3, 110,
                            json::array({manifestEntry("", "fine.txt", "fine"),
                                         manifestEntry("..", "..\\x.dll", "evil")})
                                .dump());
    EXPECT_EQ(download(record()), "Unsafe path in update data: ..");
    EXPECT_EQ(service.server.count(service.fileTarget(1, "fine.txt")), 0); // checked first
    EXPECT_EQ(service.server.count(service.fileTarget(1, "..\\x.dll")), 0);
    EXPECT_FALSE(fileExists(local(updaterFolder() + "747 Classic\\x.dll")));
}

TEST_F(DownloadPhaseTest, MalformedManifestsFailWithTheLibrarysErrors) {
    service.setFileListText(3, 110, "[{\"Folder\": \"\"");
    EXPECT_EQ(download(record()).rfind("[json.exception.parse_error.101]", 0), 0u);
    service.setFileListText(3, 110, R"([{"Folder": "", "FilePath": "x"}])");
    EXPECT_EQ(download(record()),
              "[json.exception.type_error.302] type must be number, but is null");
    service.setFileListText(3, 110, R"(["just text"])");
    EXPECT_EQ(download(record()),
              "[json.exception.type_error.305] cannot use operator[] with a string argument with "
              "string");
}

class ParallelDownloadTest : public DownloadPhaseTest {
protected:
    // The log of a download phase of every published file into a fresh folder, `slots` at a time.
    std::vector<std::string> downloadAll(int slots) {
        boost::filesystem::remove_all(local(updaterFolder()));
        boost::filesystem::create_directories(local(tempFolder()));
        TransferLimits limits = updater.downloader.limits();
        limits.parallelConnections = slots;
        updater.downloader.setLimits(limits);
        log.clear();
        lastError = download(record());
        return log.lines();
    }

    static std::string name(int i) { return "Gauges\\g" + std::to_string(100 + i) + ".dll"; }

    std::string lastError;
};

TEST_F(ParallelDownloadTest, FourAtATimeLogExactlyWhatOneAtATimeLogs) {
    Files twenty;
    for (int i = 1; i <= 20; ++i) {
        twenty[name(i)] = {"Gauges", std::string(3000 + i * 1000, static_cast<char>('a' + i))};
    }
    publish(3, 110, twenty);
    const auto oneByOne = downloadAll(1);
    EXPECT_EQ(downloadAll(4), oneByOne);
    EXPECT_EQ(lastError, "");
    EXPECT_LE(service.server.connections(), 4 + 1); // one a slot, across both phases: 1 + 4

    // File 7 fails while later ones are under way: the same lines, and the complete ones stay.
    service.server.handle(service.fileTarget(1, name(7)),
                          [](const httplib::Request&, httplib::Response& response) {
                              std::this_thread::sleep_for(std::chrono::milliseconds(500));
                              response.status = 404;
                          });
    auto slow = std::make_shared<std::atomic<bool>>(false);
    service.server.handle(service.fileTarget(1, name(11)), stallAfterHeaders(slow));
    const auto failedOneByOne = downloadAll(1);
    const auto failedFourAtATime = downloadAll(4);
    *slow = true;
    EXPECT_EQ(failedFourAtATime, failedOneByOne);
    EXPECT_EQ(lastError, "Aborting file download; see error above.");
    EXPECT_FALSE(fileExists(local(tempFolder() + name(11)))); // stopped while under way
    std::vector<std::string> incomplete;
    for (int i = 1; i <= 20; ++i) {
        if (readFile(local(tempFolder() + name(i))) != twenty[name(i)].bytes) {
            incomplete.push_back(service.fileTarget(1, name(i)));
        }
    }
    EXPECT_EQ(incomplete.front(), service.fileTarget(1, name(7)));
    service.setFile(1, name(7), twenty[name(7)].bytes);
    service.setFile(1, name(11), twenty[name(11)].bytes);
    const std::size_t before = service.server.requests().size();
    ASSERT_EQ(download(record()), "");
    const auto requests = service.server.requests();
    std::vector<std::string> rerun(requests.begin() + static_cast<long>(before) + 1,
                                   requests.end());
    std::sort(rerun.begin(), rerun.end());
    // What arrived whole before the failure is kept. The stalled file's first byte stayed as
    // partial data of an answer without a validator: the rest joined to it fails its digest, and
    // the file comes whole once more.
    incomplete.push_back(service.fileTarget(1, name(11)));
    std::sort(incomplete.begin(), incomplete.end());
    EXPECT_EQ(rerun, incomplete);
}

TEST_F(ParallelDownloadTest, OverHttp11ThirtyTwoStreamsBecomeFourConnections) {
    Files forty;
    for (int i = 1; i <= 40; ++i) {
        forty[name(i)] = {"Gauges", std::string(2000 + i * 100, static_cast<char>('a' + i % 26))};
    }
    publish(3, 110, forty);
    const auto oneByOne = downloadAll(1);
    const int connectionsBefore = service.server.connections();
    TransferLimits limits = updater.downloader.limits();
    limits.parallelStreams = 32; // what an HTTP/2 connection would carry
    updater.downloader.setLimits(limits);
    EXPECT_EQ(downloadAll(4), oneByOne);
    EXPECT_EQ(lastError, "");
    EXPECT_FALSE(updater.downloader.pool().multiplexed());
    EXPECT_LE(service.server.connections() - connectionsBefore, 4);
}

TEST_F(DownloadPhaseTest, AResumedFileThatFailsItsDigestIsFetchedOnceMoreWhole) {
    const std::string bytes(50000, 'w');
    publish(3, 110, {{"a.bin", {"", bytes}}});
    int requests = 0;
    service.server.handle(service.fileTarget(1, "a.bin"), [&](const httplib::Request& request,
                                                              httplib::Response& response) {
        // A cut, then a resume that sends the whole file again as if it were the rest.
        (requests++ == 0 ? cutAfter(bytes, 20000) : wrongRange(bytes))(request, response);
    });
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(readFile(local(tempFolder() + "a.bin")), bytes);
    EXPECT_EQ(service.server.headers("Range"),
              (std::vector<std::string>{"", "", "bytes=20000-", ""}));

    boost::filesystem::remove(local(tempFolder() + "a.bin"));
    requests = 0;
    service.server.handle(service.fileTarget(1, "a.bin"), [&](const httplib::Request& request,
                                                              httplib::Response& response) {
        (requests++ == 0 ? cutAfter(bytes, 20000) : wrongRange(bytes + "x"))(request, response);
    });
    EXPECT_EQ(download(record()),
              "Aborting file download, a downloaded file has failed integrity-check.");
    EXPECT_EQ(requests, 3);
}

namespace {

// A cache on the way that still holds the last release's bytes at the file's address.
LoopbackServer::Handler staleUnlessNoCache(const std::string& stale, const std::string& fresh) {
    return [stale, fresh](const httplib::Request& request, httplib::Response& response) {
        const bool pastCaches = request.get_header_value("Cache-Control") == "no-cache";
        response.set_content(pastCaches ? fresh : stale, "application/octet-stream");
    };
}

} // namespace

TEST_F(DownloadPhaseTest, AStaleCachedFileIsFetchedOncePastTheCachesAndInstalls) {
    publish(3, 110, files);
    const std::string target = service.fileTarget(1, "SimObjects\\747\\panel.cfg");
    service.server.handle(target, staleUnlessNoCache("[panel] of the last release", "[panel]"));
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(readFile(local(tempFolder() + "SimObjects\\747\\panel.cfg")), "[panel]");
    EXPECT_EQ(service.server.count(target), 2);
    // The file's lines are those of one download.
    EXPECT_TRUE(log.has("[VEXL 1] File 3 of 3 downloaded, passed integrity check."));
    EXPECT_EQ(log.lines().size(), 3u * 4u);
}

TEST_F(DownloadPhaseTest, AFileLongerThanItsListedSizeEndsAndIsNotKept) {
    nlohmann::json entry = manifestEntry("", "small.cfg", "x");
    entry["FileSize"] = 1; // 1 KB: the transfer ends past 1024 + 65536 bytes
    service.setFileListText(3, 110, json::array({entry}).dump());
    auto sent = std::make_shared<std::atomic<std::size_t>>(0);
    service.server.handle(service.fileTarget(1, "small.cfg"), endless(0, sent));
    EXPECT_EQ(download(record()), "Aborting file download; see error above.");
    EXPECT_FALSE(fileExists(local(tempFolder() + "small.cfg")));
    // What the server sent beyond the limit is no more than what the sockets held on the way.
    EXPECT_LT(sent->load(), std::size_t{16} << 20);
}

TEST_F(DownloadPhaseTest, NamesThatNeedEncodingAreRequestedByTheirEncodedAddress) {
    const Files odd = {{"Docs\\Readme #1.txt", {"Docs", "1"}},
                       {"Docs\\100%25.txt", {"Docs", "2"}},
                       {"Docs\\Gr\xC3\xB6\xC3\x9F"
                        "e+Mehr.txt",
                        {"Docs", "3"}}};
    publish(3, 110, odd);
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(service.server.count("/files/P3D/744/1/Docs/Readme%20%231.txt"), 1);
    EXPECT_EQ(service.server.count("/files/P3D/744/1/Docs/100%2525.txt"), 1);
    EXPECT_EQ(service.server.count("/files/P3D/744/1/Docs/Gr%C3%B6%C3%9Fe%2BMehr.txt"), 1);
}

TEST_F(DownloadPhaseTest, ALinkPlantedInTheDownloadFolderIsReplacedNotWrittenThrough) {
    publish(3, 110, {{"a.cfg", {"", "service bytes"}}});
    writeFile(dir.file("outside.txt"), "keep me");
    boost::filesystem::create_symlink(dir.file("outside.txt"), local(tempFolder() + "a.cfg"));
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(readFile(dir.file("outside.txt")), "keep me");
    EXPECT_FALSE(boost::filesystem::is_symlink(local(tempFolder() + "a.cfg")));
    EXPECT_EQ(readFile(local(tempFolder() + "a.cfg")), "service bytes");
}

TEST_F(DownloadPhaseTest, AFailedRunLeavesItsPartialDataAndTheNextAsksOnlyForTheRest) {
    const std::string bytes = patterned(60000);
    publish(3, 110, {{"a.bin", {"", bytes}}});
    const std::string target = service.fileTarget(1, "a.bin");
    service.server.handle(target, taggedFile(bytes, "\"v1\"", 20000, 4));
    EXPECT_EQ(download(record()), "Aborting file download; see error above.");
    EXPECT_EQ(readFile(partialOf(bytes)), bytes.substr(0, 20000));
    EXPECT_EQ(readFile(partialOf(bytes, ".validator")), "\"v1\"");

    service.server.handle(target, taggedFile(bytes, "\"v1\""));
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(readFile(local(tempFolder() + "a.bin")), bytes);
    EXPECT_EQ(result.bytesReceived, 40000u);
    EXPECT_FALSE(fileExists(partialOf(bytes))); // it became the file
    EXPECT_FALSE(fileExists(partialOf(bytes, ".validator")));
    const std::string rest = "bytes=20000-";
    EXPECT_EQ(service.server.headers("Range"),
              (std::vector<std::string>{"", "", rest, rest, rest, "", rest}));
    const std::string tag = "\"v1\"";
    EXPECT_EQ(service.server.headers("If-Range"),
              (std::vector<std::string>{"", "", tag, tag, tag, "", tag}));
}

TEST_F(DownloadPhaseTest, PartialDataAKilledRunLeftIsGoneOnWithUnlessTheFileChanged) {
    const std::string bytes = patterned(60000);
    publish(3, 110, {{"a.bin", {"", bytes}}});
    service.server.handle(service.fileTarget(1, "a.bin"), taggedFile(bytes, "\"v2\""));
    const struct {
        std::string kept;
        std::string validator;
        std::uint64_t received;
        std::string ifRange;
    } cases[] = {
        // As a run killed at 20000 bytes leaves it.
        {bytes.substr(0, 20000), "\"v2\"", 40000, "\"v2\""},
        // The service's file changed since: the whole comes.
        {"stale bytes", "\"v1\"", 60000, "\"v1\""},
        // Killed before the validator was kept: the digest check still guards the join.
        {bytes.substr(0, 20000), "", 40000, ""},
        // More than the file may be: it cannot be the file's beginning.
        {bytes + std::string(70000, 'x'), "\"v2\"", 60000, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.validator + " " + std::to_string(c.kept.size()));
        boost::filesystem::remove(local(tempFolder() + "a.bin"));
        writeFile(partialOf(bytes), c.kept);
        if (!c.validator.empty()) {
            writeFile(partialOf(bytes, ".validator"), c.validator);
        }
        EXPECT_EQ(download(record()), "");
        EXPECT_EQ(readFile(local(tempFolder() + "a.bin")), bytes);
        EXPECT_EQ(result.bytesReceived, c.received);
        EXPECT_EQ(service.server.headers("If-Range").back(), c.ifRange);
    }
}

TEST_F(DownloadPhaseTest, PartialDataThatIsAlreadyTheWholeFileIsFetchedOnceMoreWhole) {
    const std::string bytes = patterned(30000);
    publish(3, 110, {{"a.bin", {"", bytes}}});
    writeFile(partialOf(bytes), bytes); // stopped after the last byte, before it took its name
    EXPECT_EQ(download(record()), "");  // the service answers 416 to the range after its end
    EXPECT_EQ(readFile(local(tempFolder() + "a.bin")), bytes);
    EXPECT_EQ(service.server.headers("Range"), (std::vector<std::string>{"", "bytes=30000-", ""}));
}

TEST_F(DownloadPhaseTest, PartialDataOfADigestNoLongerListedGoes) {
    publish(3, 110, {{"a.bin", {"", "new bytes"}}});
    writeFile(partialOf("old bytes"), "old");
    writeFile(partialOf("old bytes", ".validator"), "\"v1\"");
    EXPECT_EQ(download(record()), "");
    EXPECT_FALSE(fileExists(partialOf("old bytes")));
    EXPECT_FALSE(fileExists(partialOf("old bytes", ".validator")));
}

TEST_F(DownloadPhaseTest, FilesOnTheDiskWithTheirDigestAreCopiedOrKeptWithoutARequest) {
    publish(3, 110,
            {{"New\\a.tex", {"New", "texture"}},
             {"b.cfg", {"", "config"}},
             {"c.cfg", {"", "fresh"}},
             {"d.tex", {"", "texture"}}});
    const std::string sim = simulatorFolder();
    writeFile(local(sim + "Old\\a.tex"), "texture");  // the folder the release renamed
    writeFile(local(sim + "Other\\a.tex"), "textur"); // the digest only of the listed bytes
    sources.removalList = {{"Other\\a.tex", md5Of("texture")}, {"Old\\a.tex", md5Of("texture")}};
    writeFile(local(sim + "b.cfg"), "config");
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(result.files,
              (std::vector<FileOutcome>{FileOutcome::Copied, FileOutcome::UpToDate,
                                        FileOutcome::Downloaded, FileOutcome::Copied}));
    EXPECT_EQ(result.bytesReceived, 5u);
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[VEXL 1] *** Downloading file 1 of 4 ***",
            "[VEXL 1] New\\a.tex copied from Old\\a.tex (same digest).",
            "[VEXL 1] *** Downloading file 2 of 4 ***", "[VEXL 1] b.cfg is already up to date.",
            "[VEXL 1] *** Downloading file 3 of 4 ***", "[VEXL 1] c.cfg downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 3 of 4 downloaded, passed integrity check.",
            "[VEXL 1] *** Downloading file 4 of 4 ***",
            "[VEXL 1] d.tex copied from Old\\a.tex (same digest)."}));
    EXPECT_EQ(service.server.requests(),
              (std::vector<std::string>{"/manifest/files?product=3&version=110",
                                        service.fileTarget(1, "c.cfg")}));
    EXPECT_EQ(readFile(local(tempFolder() + "New\\a.tex")), "texture");
    EXPECT_EQ(readFile(local(tempFolder() + "d.tex")), "texture");
    EXPECT_EQ(readFile(local(sim + "Old\\a.tex")), "texture"); // until the removal step
    EXPECT_FALSE(fileExists(local(tempFolder() + "b.cfg")));
}

TEST_F(DownloadPhaseTest, AFileIsBuiltFromAPatchOfTheInstalledCopyOrElseComesWhole) {
    // a.bin is patched; b.bin's patch is corrupt (its digest listed as served), c.bin's longer
    // than listed, d.bin's installed copy is none a listed patch is from, so none is asked, and
    // e.bin's installed copy changes once the plan has chosen its patch.
    std::map<std::string, std::pair<std::string, std::string>> versions; // old and new bytes
    std::vector<json> patches;
    Files files;
    for (const std::string name : {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin"}) {
        std::string old = patterned(1536 * 1024);
        old[0] = name[0];
        std::string changed = old;
        changed.replace(700000, 5, "edit!");
        const std::string patch = makePatch(old, changed);
        std::string served = patch;
        if (name == "b.bin") {
            served[served.size() / 2] ^= 0x5a;
        } else if (name == "c.bin") {
            served += std::string(70000, 'z');
        }
        patches.push_back(
            service.setPatch(3, name, old, changed, name == "b.bin" ? served : patch, served));
        writeFile(local(simulatorFolder() + name), name == "d.bin" ? old + "x" : old);
        versions[name] = {old, changed};
        files[name] = {"", changed};
    }
    publish(3, 110, files);
    sources.patches = readPatchList(json(patches).dump());
    const std::string changedLater = md5Of(versions["e.bin"].first);
    service.server.setGate([&](const httplib::Request& request, httplib::Response&) {
        if (request.path.find(changedLater) != std::string::npos) {
            writeFile(local(simulatorFolder() + "e.bin"), versions["a.bin"].first);
        }
        return false;
    });
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(result.files,
              (std::vector<FileOutcome>{FileOutcome::Patched, FileOutcome::Downloaded,
                                        FileOutcome::Downloaded, FileOutcome::Downloaded,
                                        FileOutcome::Downloaded}));
    for (const auto& [name, bytes] : versions) {
        EXPECT_EQ(readFile(local(tempFolder() + name)), bytes.second) << name;
    }
    const std::size_t patchSize = patches[0]["PatchSize"].get<std::size_t>();
    const std::vector<std::string> lines = log.lines();
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 6),
        (std::vector<std::string>{
            "[VEXL 1] *** Downloading file 1 of 5 ***",
            "[VEXL 1] a.bin built from a patch of the installed copy (" +
                std::to_string(patchSize) + " of 1572864 bytes).",
            "[VEXL 1] *** Downloading file 2 of 5 ***", "[VEXL 1] b.bin downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 2 of 5 downloaded, passed integrity check."}));
    EXPECT_EQ(service.server.count(service.fileTarget(1, "a.bin")), 0);
    // The manifest, four patches (none for d.bin) and four whole files.
    EXPECT_EQ(service.server.requests().size(), 1u + 4 + 4);
    EXPECT_FALSE(fileExists(local(patchDataPath(tempFolder(), md5Of(versions["a.bin"].second)))));
}

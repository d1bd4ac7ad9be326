#include "support/UpdateFixture.h"

using nlohmann::json;

class DownloadPhaseTest : public UpdateFixture {
protected:
    DownloadPhaseTest() { boost::filesystem::create_directories(local(tempFolder())); }

    std::string download(const ProductRecord& r) {
        return errorOf([&] { updater.downloadFiles(r, 110, tempFolder()); });
    }

    const Files files = {{"SimObjects\\747\\model.mdl", {"SimObjects\\747", "model bytes"}},
                         {"SimObjects\\747\\panel.cfg", {"SimObjects\\747", "[panel]"}},
                         {"Docs\\Read me.txt", {"Docs", "notes"}}};
};

TEST_F(DownloadPhaseTest, DownloadsAndVerifiesEveryFile) {
    const json entries = publish(3, 110, files);
    EXPECT_EQ(download(record()), "");
    for (const auto& [filePath, file] : files) {
        EXPECT_EQ(readFile(local(tempFolder() + filePath)), file.bytes);
    }
    EXPECT_EQ(updater.fileList, entries);
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[VEXL 1] Need to update 2 file(s).", "[VEXL 1] Total download size is 8KB.",
            "[VEXL 1] *** Downloading file 1 of 3 ***", "[VEXL 1] Docs\\Read me.txt downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 1 of 3 downloaded, passed integrity check.",
            "[VEXL 1] *** Downloading file 2 of 3 ***",
            "[VEXL 1] SimObjects\\747\\model.mdl downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 2 of 3 downloaded, passed integrity check.",
            "[VEXL 1] *** Downloading file 3 of 3 ***",
            "[VEXL 1] SimObjects\\747\\panel.cfg downloading.",
            "[VEXL 1] Progress:", "[VEXL 1] File 3 of 3 downloaded, passed integrity check."}));
    EXPECT_EQ(service.server.requests(),
              (std::vector<std::string>{"/manifest/files?product=3&version=110",
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
    EXPECT_EQ(log.lines().back(), "[VEXL 1] Progress:");
}

TEST_F(DownloadPhaseTest, AnEmptyManifestOnlyOpens) {
    service.setManifest(3, 110, json::array());
    EXPECT_EQ(download(record()), "");
    EXPECT_EQ(updater.fileList, json::array());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"[VEXL 1] Need to update 2 file(s).",
                                                     "[VEXL 1] Total download size is 8KB."}));
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

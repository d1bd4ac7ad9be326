#include "update/ServiceQueries.h"
#include "service/ServiceAddresses.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "system/Limits.h"
#include "update/Updater.h"

#include <condition_variable>
#include <mutex>

using nlohmann::json;

namespace {

// The stored bytes of every service address, to prove they are back in stored form.
std::vector<std::string> storedAddresses(const Updater& updater) {
    std::vector<std::string> stored = {manifestSummaryAddress(), fileManifestAddress(),
                                       removalListAddress(), patchListAddress(),
                                       patchFolderAddress()};
    for (const auto& pair : updater.serviceAddresses) {
        stored.push_back(pair.productInfo);
        stored.push_back(pair.fileBase);
    }
    return stored;
}

} // namespace

class ServiceQueriesTest : public SandboxTest {
protected:
    ServiceQueriesTest() {
        updater.simulator = "P3D";
        updater.aircraft = "744";
        updater.initialise();
        log.clear();
        before = storedAddresses(updater);
        service->setProducts(2, json::array());
    }

    // The error of fetchProductInformation, or empty.
    std::string fetchError() {
        return errorOf([&] { updater.fetchProductInformation(); });
    }

    std::vector<std::string> retrievedLines() const {
        return log.containing("Retrieved data about VEXL product");
    }

    std::unique_ptr<FakeService> service = std::make_unique<FakeService>();
    Updater updater;
    std::vector<std::string> before;
};

TEST_F(ServiceQueriesTest, ReadsEveryProductOfBothPairsInOrder) {
    service->setProducts(
        1, json::array({productObject(3, "747 Classic", "1.2.0", 110, "VEXL 747", "Software\\P3D"),
                        productObject(4, "747 Freighter", "1.1.0", 100, "VEXL F", "Software\\P3D",
                                      "P3Dv4")}));
    service->setProducts(2, json::array({productObject(9, "Extra", "2.0", 10, "X", "K")}));
    EXPECT_EQ(fetchError(), "");
    ASSERT_EQ(updater.products.size(), 3u);
    const ProductRecord& first = updater.products[0];
    EXPECT_EQ(first.FileBaseUrl, VEXL_SERVICE_URL "files/P3D/744/1/");
    EXPECT_EQ(first.ProductID, 3);
    EXPECT_EQ(first.PVDec, "1.2.0");
    EXPECT_EQ(first.ProdVersion, 120);
    EXPECT_EQ(first.MinVersion, 110);
    EXPECT_EQ(first.VEXLFolderValue, "VEXL 747");
    EXPECT_EQ(first.RegistryKey, "Software\\P3D");
    EXPECT_EQ(updater.products[2].FileBaseUrl, VEXL_SERVICE_URL "files/P3D/744/2/");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[VEXL 1] Fetching available product information for P3D...",
                  "[VEXL 1] Retrieved data about VEXL product 3: 747 Classic for P3D",
                  "[VEXL 1] Retrieved data about VEXL product 4: 747 Freighter for P3Dv4",
                  "[VEXL 1] Retrieved data about VEXL product 9: Extra for P3D"}));
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ServiceQueriesTest, AnObjectAnswerYieldsItsMembersInKeyOrder) {
    service->setProducts(1, json{{"b", productObject(2, "B", "1.0", 0, "f", "k")},
                                 {"a", productObject(1, "A", "1.0", 0, "f", "k")}});
    EXPECT_EQ(fetchError(), "");
    ASSERT_EQ(updater.products.size(), 2u);
    EXPECT_EQ(updater.products[0].ProdName, "A");
    EXPECT_EQ(updater.products[1].ProdName, "B");
}

// The rules for every number and document the service sends; the queries below apply them.
TEST(ReadNumberTest, ThirtyTwoBitIntegersTruncatedButNeverWrapped) {
    for (const auto& [text, expected] :
         std::vector<std::pair<std::string, std::int32_t>>{{"5.9", 5},
                                                           {"-7.9", -7},
                                                           {"true", 1},
                                                           {"false", 0},
                                                           {"2147483647", 2147483647},
                                                           {"-2147483648", -2147483647 - 1},
                                                           {"2147483647.9", 2147483647}}) {
        json object = {{"ProductID", json::parse(text)}};
        EXPECT_EQ(readNumber(object, "ProductID"), expected) << text;
    }
    for (const std::string text : {"4294967299", "2147483648", "-2147483649", "2147483648.0",
                                   "1e300", "18446744073709551615"}) {
        json object = {{"ProductID", json::parse(text)}};
        EXPECT_EQ(errorOf([&] { readNumber(object, "ProductID"); }),
                  "[json.exception.out_of_range.406] number out of range for ProductID: " +
                      object["ProductID"].dump());
    }
}

TEST(ParseDocumentTest, DeepOrHugeDocumentsAreUnusable) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_EQ(errorOf([&] { parseDocument(nested(64)); }), "");
    EXPECT_EQ(errorOf([&] { parseDocument("6E100000"); }), // found by fuzzing
              "[json.exception.out_of_range.406] number overflow parsing '6E100000'");
    EXPECT_EQ(errorOf([&] { parseDocument(nested(65)); }),
              "[json.exception.parse_error.101] parse error: nested deeper than 64 levels");
    const DocumentLimits five{64, 5}; // the array, the object and three values
    EXPECT_EQ(errorOf([&] { parseDocument(R"([1, {"a": 2}, "b"])", five); }), "");
    EXPECT_EQ(errorOf([&] { parseDocument(R"([1, {"a": 2}, "b", null])", five); }),
              "[json.exception.parse_error.101] parse error: more than 5 values");
}

TEST_F(ServiceQueriesTest, NumbersReadAsThe32BitIntegersTheLibraryGives) {
    json product = productObject(0, "P", "1.0", 0, "f", "k");
    product["ProductID"] = 5.9;
    product["MinVersion"] = true;
    product["ProdVersion"] = -7.9;
    product["Unknown"] = "ignored";
    service->setProducts(1, json::array({product}));
    EXPECT_EQ(fetchError(), "");
    ASSERT_EQ(updater.products.size(), 1u);
    EXPECT_EQ(updater.products[0].ProductID, 5);
    EXPECT_EQ(updater.products[0].MinVersion, 1);
    EXPECT_EQ(updater.products[0].ProdVersion, -7);
}

TEST_F(ServiceQueriesTest, AWrongTypeFailsWithTheLibrarysMessageAndKeepsEarlierProducts) {
    json bad = productObject(2, "Bad", "1.0", 0, "f", "k");
    bad["ProductID"] = "5";
    service->setProducts(1, json::array({productObject(1, "Good", "1.0", 0, "f", "k"), bad}));
    EXPECT_EQ(fetchError(), "[json.exception.type_error.302] type must be number, but is string");
    ASSERT_EQ(updater.products.size(), 1u);
    EXPECT_EQ(updater.products[0].ProdName, "Good");
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ServiceQueriesTest, AMissingMemberFailsAsNull) {
    json noVersion = productObject(2, "NoVersion", "1.0", 0, "f", "k");
    noVersion.erase("PVDec");
    service->setProducts(1, json::array({noVersion}));
    EXPECT_EQ(fetchError(), "[json.exception.type_error.302] type must be string, but is null");
    EXPECT_TRUE(updater.products.empty());
}

TEST_F(ServiceQueriesTest, EmptyAnswersGiveNoProducts) {
    for (const char* body : {"[]", "null"}) {
        service->setProductsText(1, body);
        EXPECT_EQ(fetchError(), "");
    }
    EXPECT_TRUE(updater.products.empty());
    EXPECT_TRUE(retrievedLines().empty());
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ServiceQueriesTest, ADocumentOfMoreThanAHundredProductsIsUnusable) {
    json many = json::array();
    for (int id = 1; id <= 101; ++id) {
        many.push_back(productObject(id, "P" + std::to_string(id), "1.0", 0, "f", "k"));
    }
    service->setProducts(1, many);
    EXPECT_EQ(fetchError(), "[json.exception.parse_error.101] parse error: more than 100 products");
    EXPECT_TRUE(updater.products.empty());
    many.erase(100);
    service->setProducts(1, many);
    EXPECT_EQ(fetchError(), "");
}

TEST_F(ServiceQueriesTest, AnErrorPageFailsToParse) {
    service->setProductsText(1, "<html>Internal error</html>");
    EXPECT_EQ(fetchError().rfind("[json.exception.parse_error.101]", 0), 0u);
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ServiceQueriesTest, AnUnreachableServiceFailsTheTransfer) {
    service.reset();
    TransferLimits quick; // its attempts one after the other, not 1, 2 and 4 s apart
    quick.firstRetryDelayMilliseconds = 0;
    updater.downloader.setLimits(quick);
    const std::string message = fetchError();
    EXPECT_EQ(message.rfind("Failed to get " VEXL_SERVICE_URL "products/P3D/744/1.json, ", 0), 0u)
        << message;
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ServiceQueriesTest, NoPairsLogsOnlyTheFetchingLine) {
    updater.serviceAddresses.clear();
    EXPECT_EQ(fetchError(), "");
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "[VEXL 1] Fetching available product information for P3D..."});
}

class ManifestSummaryTest : public ServiceQueriesTest {
protected:
    // fetchManifestSummary for product 7 at version 110 with the given answer; the error, if any.
    std::string summarize(const std::string& answer) {
        service->setSummaryText(7, 110, answer);
        record.TotalFiles = -1;
        record.TotalFileSize = -1;
        return errorOf([&] { fetchManifestSummary(updater.downloader, record, 110); });
    }

    ProductRecord record = [] {
        ProductRecord r;
        r.ProductID = 7;
        return r;
    }();
};

TEST_F(ManifestSummaryTest, AsksForTheProductAtTheInstalledVersion) {
    service->setSummaryText(7, 0, R"([{"TotalFiles": 1}])");
    EXPECT_EQ(summarize(R"([{"TotalFiles": 3, "TotalFileSize": 1200}])"), "");
    fetchManifestSummary(updater.downloader, record, 0);
    EXPECT_EQ(service->server.requests(),
              (std::vector<std::string>{"/manifest/summary?product=7&version=110",
                                        "/manifest/summary?product=7&version=0"}));
    EXPECT_EQ(storedAddresses(updater), before);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ManifestSummaryTest, ReadsTheTotalsOfTheFirstElement) {
    EXPECT_EQ(summarize(R"([{"TotalFiles": 3, "TotalFileSize": 1200}, {"TotalFiles": 9}])"), "");
    EXPECT_EQ(std::make_pair(record.TotalFiles, record.TotalFileSize), std::make_pair(3, 1200));
    EXPECT_EQ(summarize(R"([{"TotalFiles": 2.7, "TotalFileSize": true}])"), "");
    EXPECT_EQ(std::make_pair(record.TotalFiles, record.TotalFileSize), std::make_pair(2, 1));
}

TEST_F(ManifestSummaryTest, AMissingOrMistypedSizeIsZero) {
    EXPECT_EQ(summarize(R"([{"TotalFiles": 3}])"), "");
    EXPECT_EQ(std::make_pair(record.TotalFiles, record.TotalFileSize), std::make_pair(3, 0));
    EXPECT_EQ(summarize(R"([{"TotalFiles": 3, "TotalFileSize": "1200"}])"), "");
    EXPECT_EQ(std::make_pair(record.TotalFiles, record.TotalFileSize), std::make_pair(3, 0));
}

TEST_F(ManifestSummaryTest, AMissingCountFailsAndChangesNothing) {
    EXPECT_EQ(summarize(R"([{"TotalFileSize": 1200}])"),
              "[json.exception.type_error.302] type must be number, but is null");
    EXPECT_EQ(std::make_pair(record.TotalFiles, record.TotalFileSize), std::make_pair(-1, -1));
    EXPECT_EQ(summarize("[]"), "[json.exception.type_error.302] type must be number, but is null");
    EXPECT_EQ(summarize("null"),
              "[json.exception.type_error.302] type must be number, but is null");
    EXPECT_EQ(storedAddresses(updater), before);
}

TEST_F(ManifestSummaryTest, AnswersThatAreNotArraysOfObjectsFail) {
    EXPECT_EQ(summarize(R"({"TotalFiles": 3})"),
              "[json.exception.type_error.305] cannot use operator[] with a numeric argument with "
              "object");
    EXPECT_EQ(summarize("[5]"), "[json.exception.type_error.305] cannot use operator[] with a "
                                "string argument with number");
    EXPECT_EQ(summarize("not json").rfind("[json.exception.parse_error.101]", 0), 0u);
}

TEST(ListedSizeTest, AFileHasItsListedSizeInKilobytesRoundedUp) {
    struct Case {
        std::int64_t fileSize;
        std::uint64_t bytes;
        bool has;
    };
    const Case cases[] = {{0, 0, true},
                          {1, 1, true},
                          {1, 1024, true},
                          {1, 1025, false},
                          {2, 1025, true},
                          {2, 1024, false},
                          {-1, 0, false},
                          {0, 1, false},
                          {2097152, 2147483648u, true},
                          {5242881, 5368709121u, true}};
    for (const Case& c : cases) {
        ManifestEntry entry;
        entry.fileSize = c.fileSize;
        EXPECT_EQ(hasListedSize(c.bytes, entry), c.has) << c.fileSize << " " << c.bytes;
        EXPECT_EQ(listedBytes(entry), c.fileSize < 0 ? 0 : std::uint64_t(c.fileSize) * 1024);
    }
    ManifestEntry huge;
    huge.fileSize = INT64_MAX;
    EXPECT_EQ(listedBytes(huge), kMaxListedBytes);
}

TEST(ManifestTest, ASizeBelowZeroOrWithAFractionMakesTheManifestUnusable) {
    const auto manifestWithSize = [](const json& size) {
        return json::array({{{"Folder", "VEXL 747"},
                             {"FilePath", "VEXL 747\\a.cfg"},
                             {"FileSize", size},
                             {"MD5Hash", std::string(32, 'a')}}})
            .dump();
    };
    for (const json& good : {json(0), json(12), json(2147483648u), json(INT64_MAX)}) {
        EXPECT_EQ(readManifest(manifestWithSize(good), false).entries.at(0).fileSize,
                  good.get<std::int64_t>());
    }
    const std::pair<json, std::string> bad[] = {
        {json(-1),
         "[json.exception.type_error.302] FileSize must be a whole number from 0, not -1"},
        {json(2.5),
         "[json.exception.type_error.302] FileSize must be a whole number from 0, not 2.5"},
        {json("12"), "[json.exception.type_error.302] type must be number, but is string"},
        {json(9223372036854775808u),
         "[json.exception.out_of_range.406] number out of range for FileSize: "
         "9223372036854775808"}};
    for (const auto& [size, message] : bad) {
        try {
            readManifest(manifestWithSize(size), false);
            ADD_FAILURE() << size;
        } catch (const json::exception& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

TEST(PatchListTest, EntriesThatCannotBeRightAreLeftOut) {
    const std::string md5(32, 'a');
    const std::string sha(64, 'b');
    const auto entry = [](const std::string& from, std::int64_t size, const std::string& sha256) {
        return nlohmann::json{
            {"FilePath", "a.bin"}, {"FromMD5", from}, {"PatchSize", size}, {"PatchSHA256", sha256}};
    };
    const std::vector<ListedPatch> read = readPatchList(
        nlohmann::json::array({entry(md5, 5368709120, sha), entry("A" + md5.substr(1), 10, sha),
                               entry(md5, 0, sha), entry(md5, 10, sha.substr(1))})
            .dump());
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].fromMd5, md5);
    EXPECT_EQ(read[0].size, 5368709120);
    EXPECT_THROW(readPatchList("[{\"FilePath\": 3}]"), nlohmann::json::exception);
    ProductRecord record;
    record.ProductID = 3;
    const std::string stored = patchFolderAddress();
    EXPECT_EQ(patchAddress(record, read[0], std::string(32, 'c')),
              VEXL_SERVICE_URL "patches/3/" + md5 + "-" + std::string(32, 'c') + ".zst");
    EXPECT_EQ(patchFolderAddress(), stored); // back in stored form
}

TEST_F(ServiceQueriesTest, AProductsThreeDocumentsAreAskedForAtOnce) {
    std::mutex mutex;
    std::condition_variable all;
    int asked = 0;
    std::vector<int> seen; // how many had been asked for when each was answered
    const auto together = [&](const std::string& body) {
        return [&, body](const httplib::Request&, httplib::Response& response) {
            std::unique_lock<std::mutex> lock(mutex);
            ++asked;
            all.notify_all();
            all.wait_for(lock, std::chrono::seconds(5), [&] { return asked >= 3; });
            seen.push_back(asked);
            response.set_content(body, "application/json");
        };
    };
    const std::string q = FakeService::query(3, 110);
    const json files = json::array({manifestEntry("VEXL 747", "VEXL 747\\a.cfg", "a")});
    service->server.handle("/manifest/files" + q, together(files.dump()));
    service->server.handle("/manifest/removed" + q,
                           together(json::array({droppedEntry("old.cfg", "o")}).dump()));
    service->server.handle("/manifest/patches" + q, together("[]"));
    ProductRecord record;
    record.ProductID = 3;
    // The summary before them, as in a product's turn, shows what its connection carries.
    service->setSummaryText(3, 110, R"([{"TotalFiles": 1, "TotalFileSize": 1}])");
    fetchManifestSummary(updater.downloader, record, 110);
    const ProductDocuments documents = fetchProductDocuments(updater.downloader, record, 110);
    EXPECT_EQ(seen, (std::vector<int>{3, 3, 3}));
    EXPECT_EQ(documents.manifest.entries.at(0).filePath, "VEXL 747\\a.cfg");
    EXPECT_EQ(documents.removals->at(0).filePath, "old.cfg");
    EXPECT_TRUE(documents.patches.empty());

    // The file manifest's failure is the one told, as when it was asked for first.
    service->server.answer("/manifest/files" + q, "not json");
    service->server.answer("/manifest/removed" + q, "gone", 403);
    EXPECT_EQ(errorOf([&] {
                  fetchProductDocuments(updater.downloader, record, 110);
              }).rfind("[json.exception.parse_error.101]", 0),
              0u);
}

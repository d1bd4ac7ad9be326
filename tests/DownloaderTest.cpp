#include "net/Downloader.h"
#include "net/Transfer.h"
#include "net/TransferPool.h"
#include "support/FileDownload.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "system/TestLimits.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

namespace {

void redirectTo(LoopbackServer& server, const std::string& from, const std::string& to) {
    server.handle(from, [to](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(to, 302);
    });
}

// A body sent gzip-compressed whatever the client asked for: only one that decodes it reads the
// document.
LoopbackServer::Handler gzipped(const std::string& compressed) {
    return [compressed](const httplib::Request&, httplib::Response& response) {
        response.set_header("Content-Encoding", "gzip");
        response.set_content(compressed, "application/json");
    };
}

} // namespace

class DownloaderTest : public SandboxTest {
protected:
    static TransferLimits quickLimits() {
        TransferLimits quick;
        quick.firstRetryDelayMilliseconds = 0;
        return quick;
    }

    std::string fetchError(const std::string& url) {
        return errorOf([&] { downloader.fetchToMemory(url); });
    }

    LoopbackServer server;
    Downloader downloader{quickLimits()};
    std::string target = dir.file("download.bin");
    const std::string retryPrefix = "[VEXL 1] Retrying ";
};

TEST(UrlEncodingTest, SpacesAnywhereAndEveryUnsafeByteOfAFilePath) {
    EXPECT_EQ(encodeSpaces("http://h/a b/c d?q=e f&x=%41"), "http://h/a%20b/c%20d?q=e%20f&x=%41");
    EXPECT_EQ(encodeSpaces("http://h/plain"), "http://h/plain");
    EXPECT_EQ(percentEncodePath("Docs/Readme #1.txt"), "Docs/Readme%20%231.txt");
    EXPECT_EQ(percentEncodePath("100%25 a+b&c=d;e,f'g(h)i"),
              "100%2525%20a%2Bb%26c%3Dd%3Be%2Cf%27g%28h%29i");
    EXPECT_EQ(percentEncodePath("Gr\xC3\xB6\xC3\x9F"
                                "e-_.~/x"),
              "Gr%C3%B6%C3%9Fe-_.~/x");
}

TEST(TestLimitsTest, OnlyKnownNamesWithValuesUpToADayShortenALimit) {
    const TransferLimits given;
    const TransferLimits shortened =
        withTestLimits(given, "lowSpeedSeconds=2,firstRetryDelayMilliseconds=0,bogus=1,"
                              "connectTimeoutSeconds=-1,documentTimeoutSeconds=99999999999,"
                              "maxRedirects=1,lowSpeedBytesPerSecond");
    EXPECT_EQ(shortened.lowSpeedSeconds, 2);
    EXPECT_EQ(shortened.firstRetryDelayMilliseconds, 0);
    EXPECT_EQ(shortened.connectTimeoutSeconds, given.connectTimeoutSeconds);
    EXPECT_EQ(shortened.documentTimeoutSeconds, given.documentTimeoutSeconds);
    EXPECT_EQ(shortened.maxRedirects, given.maxRedirects);
    EXPECT_EQ(shortened.lowSpeedBytesPerSecond, given.lowSpeedBytesPerSecond);
}

TEST_F(DownloaderTest, FetchReturnsAnyBodyWhateverTheStatus) {
    server.answer("/missing", "<html>not here</html>", 404);
    server.answer("/empty", "");
    std::string binary("a\0b\xff", 4);
    server.answer("/binary", binary);
    EXPECT_EQ(downloader.fetchToMemory(server.url("/missing")), "<html>not here</html>");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/empty")), "");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/binary")), binary);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(server.headers("User-Agent"), std::vector<std::string>(3, "vexl-updater/A18"));
}

// A cache between may keep a document but must ask the origin first; a file may come from it.
TEST_F(DownloaderTest, DocumentsAskPastEveryCacheAndFilesDoNot) {
    server.answer("/doc.json", "{}");
    server.answer("/file.bin", "bytes");
    downloader.fetchToMemory(server.url("/doc.json"));
    downloader.fetchDocument(server.url("/doc.json"));
    EXPECT_TRUE(downloader.fetchOptionalDocument(server.url("/doc.json")));
    EXPECT_EQ(downloadToFile(downloader, server.url("/file.bin"), target), "");
    EXPECT_EQ(server.headers("Cache-Control"),
              (std::vector<std::string>{"no-cache", "no-cache", "no-cache", ""}));
}

TEST_F(DownloaderTest, AnOptionalDocumentIsItsBodyNothingWhenMissingAndAnErrorOtherwise) {
    server.answer("/list", "[1]");
    server.answer("/missing", "<html>not here</html>", 404);
    server.answer("/denied", "[]", 403);
    server.handle("/broken", statusesThen({502, 502, 502, 502}, "[]"));
    const struct {
        std::string target;
        std::optional<std::string> body;
        std::string error;
    } cases[] = {
        {"/list", "[1]", ""},
        {"/missing", std::nullopt, ""},
        {"/denied", std::nullopt,
         "Failed to get " + server.url("/denied") + ", server provided abnormal response code 403"},
        {"/broken", std::nullopt,
         "Failed to get " + server.url("/broken") + ", server provided abnormal response code 502"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        std::optional<std::string> body = "not set";
        EXPECT_EQ(errorOf([&] { body = downloader.fetchOptionalDocument(server.url(c.target)); }),
                  c.error);
        if (c.error.empty()) {
            EXPECT_EQ(body, c.body);
        }
    }
    EXPECT_EQ(server.count("/broken"), 4);
}

TEST_F(DownloaderTest, BothTransfersFollowRedirects) {
    redirectTo(server, "/old", "/new");
    server.answer("/new", "final body");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/old")), "final body");
    EXPECT_EQ(downloadToFile(downloader, server.url("/old"), target), "");
    EXPECT_EQ(readFile(target), "final body");
}

TEST_F(DownloaderTest, SpacesAreSentAsPercent20) {
    server.answer("/a%20b/c%20d?q=e%20f", "spaced");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/a b/c d?q=e f")), "spaced");
    EXPECT_EQ(downloadToFile(downloader, server.url("/a b/c d?q=e f"), target), "");
    EXPECT_EQ(server.requests(), std::vector<std::string>(2, "/a%20b/c%20d?q=e%20f"));
}

TEST_F(DownloaderTest, AnUnreachableServerIsOneErrorAfterFourAttempts) {
    const std::string message = fetchError("http://127.0.0.1:1/a b");
    EXPECT_EQ(message.rfind("Failed to get http://127.0.0.1:1/a%20b, ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("Failed to get http://127.0.0.1:1/a%20b, ").size());
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    for (int attempt = 2; attempt <= 4; ++attempt) {
        EXPECT_EQ(lines[attempt - 2].rfind(retryPrefix + "http://127.0.0.1:1/a%20b (attempt " +
                                               std::to_string(attempt) +
                                               " of 4): Failed to connect",
                                           0),
                  0u)
            << lines[attempt - 2];
    }
}

TEST_F(DownloaderTest, AFileIsReplacedOnlyByAComplete200Or201Answer) {
    writeFile(target, "old content");
    server.answer("/created", "made", 201);
    for (int status : {204, 206, 404}) {
        server.answer("/s" + std::to_string(status), status == 204 ? "" : "page", status);
        EXPECT_EQ(downloadToFile(downloader, server.url("/s" + std::to_string(status)), target),
                  "status " + std::to_string(status));
        EXPECT_EQ(readFile(target), "old content");
    }
    EXPECT_EQ(downloadToFile(downloader, "http://127.0.0.1:1/file", target).rfind("failed: ", 0),
              0u);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(downloadToFile(downloader, server.url("/created"), target), "");
    EXPECT_EQ(readFile(target), "made");
    EXPECT_EQ(server.count("/s404"), 1); // not worth another attempt
}

TEST_F(DownloaderTest, TransientAnswersAreTriedAgainUpToFourTimes) {
    server.handle("/flaky", statusesThen({500, 502}, "finally"));
    EXPECT_EQ(downloadToFile(downloader, server.url("/flaky"), target), "");
    EXPECT_EQ(readFile(target), "finally");
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  retryPrefix + server.url("/flaky") +
                      " (attempt 2 of 4): server provided abnormal response code 500",
                  retryPrefix + server.url("/flaky") +
                      " (attempt 3 of 4): server provided abnormal response code 502"}));
    log.clear();
    server.handle("/down", statusesThen({504, 504, 504, 504}, "never"));
    EXPECT_EQ(downloadToFile(downloader, server.url("/down"), target), "status 504");
    EXPECT_EQ(server.count("/down"), 4);
    EXPECT_EQ(log.lines().size(), 3u); // three retries
    server.handle("/doc", statusesThen({408}, "[]"));
    EXPECT_EQ(downloader.fetchToMemory(server.url("/doc")), "[]");
}

TEST_F(DownloaderTest, BusyAnswersAreWaitedOutWithoutUsingUpTheAttempts) {
    server.handle("/busy", statusesThen({503, 429, 503, 502, 503, 429, 503, 502, 502}, "finally"));
    EXPECT_EQ(downloadToFile(downloader, server.url("/busy"), target), "");
    EXPECT_EQ(readFile(target), "finally");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], retryPrefix + server.url("/busy") +
                            " (the server is busy): server provided abnormal response code 503");
    EXPECT_EQ(lines[8], retryPrefix + server.url("/busy") +
                            " (attempt 4 of 4): server provided abnormal response code 502");
    // A document fails as before once its busy waits are over.
    TransferLimits limits;
    limits.busyWaitSeconds = 1;
    limits.firstRetryDelayMilliseconds = 100;
    Downloader impatient(limits);
    server.handle("/doc", statusesThen(std::vector<int>(100, 503), "[]"));
    EXPECT_EQ(errorOf([&] { impatient.fetchToMemory(server.url("/doc")); }),
              "Failed to get " + server.url("/doc") +
                  ", server provided abnormal response code 503");
    EXPECT_GE(server.count("/doc"), 3);
}

TEST_F(DownloaderTest, EveryWaitIsDrawnAroundItsStepAndOnlyBusyStepsGoOnDoubling) {
    TransferLimits scaled;
    scaled.firstRetryDelayMilliseconds = 10;
    Downloader quick(scaled);
    char date[64];
    const std::time_t inTwo = std::time(nullptr) + 2;
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&inTwo));
    server.handle("/date", statusesThen({503}, "done", date));
    server.handle("/two", statusesThen({429}, "done", "2"));
    server.handle("/long", statusesThen({503}, "done", "61"));
    server.handle("/soon", statusesThen({503}, "done", "soon"));
    server.handle("/busy", statusesThen(std::vector<int>(7, 503), "done"));
    server.handle("/broken", statusesThen({502, 502, 502, 502}, "never"));
    server.handle("/cut", cutAfter(std::string(50000, 'c'), 1000, 4));
    const std::pair<std::string, std::vector<long>> cases[] = {
        {server.url("/date"), {1500}},
        {server.url("/two"), {2000}},
        {server.url("/long"), {10}},
        {server.url("/soon"), {10}},
        {server.url("/busy"), {10, 20, 40, 80, 160, 160, 160}},
        {server.url("/broken"), {10, 20, 40}},
        {server.url("/cut"), {10, 20, 40}},
        {"http://127.0.0.1:1/refused", {10, 20, 40}},
    };
    for (const auto& [url, steps] : cases) {
        SCOPED_TRACE(url);
        MemorySink sink;
        Transfer transfer(url, scaled, sink);
        quick.pool().perform(transfer);
        ASSERT_EQ(transfer.retryDelays().size(), steps.size());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            EXPECT_GE(transfer.retryDelays()[i], steps[i] / 2) << i;
            EXPECT_LE(transfer.retryDelays()[i], steps[i] * 3 / 2) << i;
        }
    }
}

TEST_F(DownloaderTest, EachKindOfAnswerLeavesTheTransferInItsOwnState) {
    server.answer("/ok", "x");
    server.answer("/missing", "no", 404);
    server.answer("/big", std::string(100, 'b'));
    server.handle("/busy", statusesThen({503}, "x"));
    server.handle("/broken", statusesThen({502}, "x"));
    TransferLimits slow;
    slow.firstRetryDelayMilliseconds = 60000; // each one waits while it is looked at
    using State = Transfer::State;
    const std::pair<std::string, State> cases[] = {
        {server.url("/ok"), State::Done},
        {server.url("/missing"), State::Done}, // a document's sink takes any answer
        {server.url("/big"), State::Failed},   // more than the sink holds
        {server.url("/busy"), State::WaitingBusy},
        {server.url("/broken"), State::WaitingToRetry},
        {"http://127.0.0.1:1/refused", State::WaitingToRetry},
    };
    for (const auto& [url, state] : cases) {
        SCOPED_TRACE(url);
        // A pool of its own, since a busy answer holds back a pool's next attempts; made first,
        // so that it outlives the transfer whose handle shares its connections.
        TransferPool pool;
        MemorySink sink(10);
        Transfer transfer(url, slow, sink);
        pool.add(transfer);
        pool.next(true);
        EXPECT_EQ(transfer.state(), state);
        pool.remove(transfer);
    }
}

TEST_F(DownloaderTest, AfterABusyAnswerThePoolRunsHalfAsManyAndOneMoreAfterEachSuccess) {
    // Busy for its first 300 ms; then every answer takes 50 ms and notes how many ran with it.
    auto mutex = std::make_shared<std::mutex>();
    auto inFlight = std::make_shared<std::vector<int>>(); // the count, then one a success
    const auto start = std::chrono::steady_clock::now();
    server.setGate([=](const httplib::Request&, httplib::Response& response) {
        if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
            response.status = 503;
            return true;
        }
        std::unique_lock<std::mutex> lock(*mutex);
        inFlight->push_back(++inFlight->at(0));
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        lock.lock();
        --inFlight->at(0);
        return false;
    });
    inFlight->push_back(0);
    TransferLimits limits;
    limits.firstRetryDelayMilliseconds = 100;
    Downloader downloads(limits);
    downloads.pool().setParallel(4);
    server.answer("/f", "x");
    std::vector<std::pair<std::unique_ptr<MemorySink>, std::unique_ptr<Transfer>>> transfers;
    for (int i = 0; i < 12; ++i) {
        auto sink = std::make_unique<MemorySink>();
        auto transfer = std::make_unique<Transfer>(server.url("/f"), limits, *sink);
        downloads.pool().add(*transfer);
        transfers.emplace_back(std::move(sink), std::move(transfer));
    }
    while (Transfer* done = downloads.pool().next()) {
        EXPECT_EQ(done->status(), 200);
    }
    const std::lock_guard<std::mutex> lock(*mutex);
    ASSERT_EQ(inFlight->size(), 13u);
    EXPECT_EQ(inFlight->at(1), 1); // alone, then two at once, then three...
    EXPECT_LE(*std::max_element(inFlight->begin(), inFlight->end()), 4);
    EXPECT_LE(server.count("/f"), 22); // the four at once, then one at a time
    EXPECT_EQ(downloads.pool().allowed(), 4);
}

TEST_F(DownloaderTest, DocumentsAreAskedForCompressedAndLimitedByTheirDecodedSize) {
    const std::string document = "[{\"FilePath\": \"a.cfg\"}]";
    server.handle("/doc", gzipped(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x8b\xae"
                                              "\x56\x72\xcb\xcc\x49\x0d\x48\x2c\xc9\x50\xb2\x52"
                                              "\x50\x4a\xd4\x4b\x4e\x4b\x57\xaa\x8d\x05\x00\x4a"
                                              "\x53\xa0\x20\x17\x00\x00\x00",
                                              43)));
    // 41 bytes that decode to 5,000.
    server.handle("/bomb", gzipped(std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xed\xc1"
                                               "\x31\x01\x00\x00\x00\xc2\xa0\xac\xeb\x5f\xc2\x14"
                                               "\x7e\x40\x01\x00\x00\x00\x00\x6f\x03\x76\x59\xf4"
                                               "\x4c\x88\x13\x00\x00",
                                               41)));
    EXPECT_EQ(downloader.fetchToMemory(server.url("/doc")), document);
    EXPECT_EQ(server.headers("Accept-Encoding").front(), "gzip");
    MemorySink small(4999);
    Transfer transfer(server.url("/bomb"), quickLimits(), small);
    transfer.acceptCompression();
    downloader.pool().perform(transfer);
    EXPECT_TRUE(transfer.failed());
    EXPECT_LE(small.body().size(), 4999u);
    // A file is asked for as it is: its digest and its ranges are of those bytes.
    server.answer("/file", "bytes");
    EXPECT_EQ(downloadToFile(downloader, server.url("/file"), target), "");
    EXPECT_EQ(server.headers("Accept-Encoding").back(), "");
}

TEST_F(DownloaderTest, ACutTransferResumesWhereItStopped) {
    const std::string bytes(300000, 'r');
    server.handle("/cut", cutAfter(bytes, 120000));
    EXPECT_EQ(downloadToFile(downloader, server.url("/cut"), target), "");
    EXPECT_EQ(readFile(target), bytes);
    EXPECT_EQ(server.headers("Range"), (std::vector<std::string>{"", "bytes=120000-"}));
    server.handle("/cut-doc", cutAfter(bytes, 1000));
    EXPECT_EQ(downloader.fetchToMemory(server.url("/cut-doc")), bytes);

    // A server that ignores the range sends the whole again, and the file starts over.
    int first = 0;
    server.handle("/whole", [&](const httplib::Request& request, httplib::Response& response) {
        (first++ == 0 ? cutAfter(bytes, 5000) : ignoringRange(bytes))(request, response);
    });
    EXPECT_EQ(downloadToFile(downloader, server.url("/whole"), target), "");
    EXPECT_EQ(readFile(target), bytes);
}

TEST_F(DownloaderTest, AFileLargerThanItsLimitEndsWithoutReplacingAnything) {
    writeFile(target, "old content");
    server.handle("/endless", endless());
    EXPECT_EQ(downloadToFile(downloader, server.url("/endless"), target, 1024 + 65536)
                  .rfind("failed: ", 0),
              0u);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(server.count("/endless"), 1);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DownloaderTest, AMissingFolderIsRefusedBeforeAnyRequest) {
    server.answer("/file", "bytes");
    EXPECT_EQ(downloadToFile(downloader, server.url("/file"), dir.file("no such folder/f")),
              "cannot create");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloaderTest, ASlowServerIsAbortedByTheAveragedSpeedLimit) {
    server.handle("/drip", endless(2)); // 2 bytes a second
    TransferLimits limits = quickLimits();
    limits.lowSpeedSeconds = 1;
    Downloader impatient(limits);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(impatient.fetchToMemory(server.url("/drip")), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(server.count("/drip"), 4);
}

TEST_F(DownloaderTest, ADocumentEndsWithinItsTimeAcrossEveryAttempt) {
    server.handle("/drip", endless(2000)); // fast enough for the speed limit, never complete
    TransferLimits limits = quickLimits();
    limits.documentTimeoutSeconds = 2;
    Downloader impatient(limits);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(impatient.fetchToMemory(server.url("/drip")), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6)); // not 4 x 2 s
}

TEST_F(DownloaderTest, ADocumentOverTheLimitIsRefused) {
    server.answer("/huge", std::string(kMaxDocumentBytes + 1, 'x'));
    server.answer("/largest", std::string(kMaxDocumentBytes, 'x'));
    const std::string message = fetchError(server.url("/huge"));
    EXPECT_EQ(message.rfind("Failed to get " + server.url("/huge") + ", ", 0), 0u) << message;
    EXPECT_EQ(downloader.fetchToMemory(server.url("/largest")).size(), kMaxDocumentBytes);
}

TEST_F(DownloaderTest, ARedirectLoopEndsAtTheRedirectLimit) {
    redirectTo(server, "/loop", "/loop");
    const std::string message = fetchError(server.url("/loop"));
    EXPECT_EQ(message,
              "Failed to get " + server.url("/loop") + ", Maximum (30) redirects followed");
    EXPECT_NE(downloadToFile(downloader, server.url("/loop"), target), "");
    EXPECT_EQ(server.count("/loop"), 62);
}

// The certificate checks themselves are libcurl's; these show that they are on, and that the
// program trusts its own authority.
TEST_F(DownloaderTest, OnlyAServerWithAGoodCertificateIsTrusted) {
    LoopbackServer good(0, "server");
    good.answer("/doc", "trusted");
    EXPECT_EQ(downloader.fetchToMemory(good.url("/doc")), "trusted");
    for (const auto& [certificate, reason] : std::vector<std::pair<std::string, std::string>>{
             {"other", "SSL certificate problem: unable to get local issuer certificate"},
             {"wrong-host", "SSL: no alternative certificate subject name matches target host "
                            "name '127.0.0.1'"},
             {"expired", "SSL certificate problem: certificate has expired"}}) {
        LoopbackServer bad(0, certificate);
        bad.answer("/doc", "untrusted");
        EXPECT_EQ(fetchError(bad.url("/doc")), "Failed to get " + bad.url("/doc") + ", " + reason);
    }
}

TEST_F(DownloaderTest, AnHttpsServiceIsNeverRedirectedToHttp) {
    LoopbackServer secure(0, "server");
    server.answer("/plain", "downgraded");
    redirectTo(secure, "/doc", server.url("/plain"));
    const std::string message = fetchError(secure.url("/doc"));
    EXPECT_EQ(message.rfind("Failed to get " + secure.url("/doc") + ", ", 0), 0u) << message;
    EXPECT_EQ(server.count("/plain"), 0);
    redirectTo(server, "/up", secure.url("/secure"));
    secure.answer("/secure", "upgraded");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/up")), "upgraded");
}

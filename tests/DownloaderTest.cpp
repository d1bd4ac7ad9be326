#include "net/Downloader.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

#include <chrono>

namespace {

// Sends the headers and one byte, then nothing for a while.
void stall(const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [](std::size_t, httplib::DataSink& sink) {
                                              sink.write("x", 1);
                                              std::this_thread::sleep_for(std::chrono::seconds(4));
                                              sink.done();
                                              return true;
                                          });
}

void redirectTo(LoopbackServer& server, const std::string& from, const std::string& to) {
    server.handle(from, [to](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(to, 302);
    });
}

} // namespace

class DownloaderTest : public SandboxTest {
protected:
    std::string fetchError(const std::string& url) {
        return errorOf([&] { downloader.fetchToMemory(url); });
    }

    LoopbackServer server;
    Downloader downloader;
    std::string target = dir.file("download.bin");
};

TEST(EncodeSpacesTest, WritesOnlySpacesAsPercent20) {
    EXPECT_EQ(encodeSpaces("http://h/a b/c d?q=e f&x=%41"), "http://h/a%20b/c%20d?q=e%20f&x=%41");
    EXPECT_EQ(encodeSpaces("http://h/plain"), "http://h/plain");
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
}

TEST_F(DownloaderTest, BothTransfersFollowRedirects) {
    redirectTo(server, "/old", "/new");
    server.answer("/new", "final body");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/old")), "final body");
    EXPECT_TRUE(downloader.downloadToFile(server.url("/old"), target));
    EXPECT_EQ(readFile(target), "final body");
}

TEST_F(DownloaderTest, SpacesAreSentAsPercent20) {
    server.answer("/a%20b/c%20d?q=e%20f", "spaced");
    EXPECT_EQ(downloader.fetchToMemory(server.url("/a b/c d?q=e f")), "spaced");
    EXPECT_TRUE(downloader.downloadToFile(server.url("/a b/c d?q=e f"), target));
    EXPECT_EQ(server.requests(), std::vector<std::string>(2, "/a%20b/c%20d?q=e%20f"));
}

TEST_F(DownloaderTest, AnUnreachableServerIsOneErrorNamingTheEncodedUrl) {
    const std::string message = fetchError("http://127.0.0.1:1/a b");
    EXPECT_EQ(message.rfind("Failed to get http://127.0.0.1:1/a%20b, ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("Failed to get http://127.0.0.1:1/a%20b, ").size());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DownloaderTest, DownloadAcceptsOnly200And201) {
    server.answer("/created", "made", 201);
    EXPECT_TRUE(downloader.downloadToFile(server.url("/created"), target));
    EXPECT_EQ(readFile(target), "made");
    for (int status : {204, 206, 404, 500}) {
        server.answer("/s" + std::to_string(status), status == 204 ? "" : "page", status);
        EXPECT_FALSE(downloader.downloadToFile(server.url("/s" + std::to_string(status)), target));
        EXPECT_EQ(readFile(target), status == 204 ? "" : "page");
        EXPECT_EQ(log.lines().back(),
                  "[VEXL 2] Error in file download - server provided abnormal response code " +
                      std::to_string(status));
    }
}

TEST_F(DownloaderTest, AFailedTransferEmptiesTheFileAndNamesTheLocalPath) {
    writeFile(target, "old content");
    EXPECT_FALSE(downloader.downloadToFile("http://127.0.0.1:1/file", target));
    EXPECT_EQ(readFile(target), "");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "[VEXL 2] Error in file download - I was unable to download " + target});
}

TEST_F(DownloaderTest, AMissingFolderIsRefusedBeforeAnyRequest) {
    server.answer("/file", "bytes");
    EXPECT_FALSE(downloader.downloadToFile(server.url("/file"), dir.file("no such folder/f")));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[VEXL 2] Error in file download - I was "
                                                    "unable to create the file on the disk"});
}

TEST_F(DownloaderTest, AStalledServerIsAbortedByTheLowSpeedLimit) {
    TransferLimits quick;
    quick.lowSpeedSeconds = 1;
    Downloader impatient(quick);
    server.handle("/stall", stall);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(impatient.downloadToFile(server.url("/stall"), target));
    EXPECT_THROW(impatient.fetchToMemory(server.url("/stall")), std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
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
    EXPECT_FALSE(downloader.downloadToFile(server.url("/loop"), target));
    EXPECT_EQ(server.count("/loop"), 62);
}

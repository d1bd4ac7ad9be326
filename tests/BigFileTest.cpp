#include "net/Downloader.h"
#include "net/FileSink.h"
#include "net/Transfer.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "update/Report.h"
#include "update/phases/SpaceCheck.h"

#include <boost/filesystem/fstream.hpp>
#include <boost/filesystem/operations.hpp>

// A file past 4 GiB, as the 32-bit build must handle it. The files are sparse: nothing near their
// size is ever written.
namespace {

constexpr std::uint64_t kGiB = 1024ull * 1024 * 1024;
constexpr std::uint64_t kBigBytes = 5 * kGiB;
const std::string kTail = "tail bytes";

// Extends `path` to `bytes` without writing them; false where the file system cannot.
bool makeSparse(const std::string& path, std::uint64_t bytes) {
    writeFile(path, "");
    boost::system::error_code ec;
    boost::filesystem::resize_file(toFsPath(path), bytes, ec);
    return !ec;
}

// The tail of a file of kBigBytes, for a request that resumes before it.
LoopbackServer::Handler bigTail() {
    return [](const httplib::Request& request, httplib::Response& response) {
        const std::string range = request.get_header_value("Range");
        const std::uint64_t from = std::stoull(range.substr(6));
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                 std::to_string(kBigBytes - 1) + "/" +
                                                 std::to_string(kBigBytes));
        const std::string rest = kTail.substr(kTail.size() - (kBigBytes - from));
        // Chunked, so that the server library leaves the range to this handler.
        response.set_chunked_content_provider("application/octet-stream",
                                              [rest](std::size_t, httplib::DataSink& sink) {
                                                  sink.write(rest.data(), rest.size());
                                                  sink.done();
                                                  return true;
                                              });
    };
}

ManifestEntry bigEntry() {
    ManifestEntry entry;
    entry.filePath = "big.bin";
    entry.fileSize = static_cast<std::int64_t>(kBigBytes / 1024);
    return entry;
}

} // namespace

class BigFileTest : public SandboxTest {};

TEST_F(BigFileTest, PartialDataPast4GiBResumesWithItsOffset) {
    const std::string partial = dir.file("big.bin.partial");
    if (!makeSparse(partial, kBigBytes - kTail.size())) {
        GTEST_SKIP() << "this file system cannot make a sparse 5 GiB file";
    }
    LoopbackServer server;
    server.handle("/big", bigTail());
    Downloader downloader;
    const std::string target = dir.file("big.bin");
    {
        FileSink sink(target, kBigBytes + kFileSizeSlackBytes, partial);
        Transfer transfer(server.url("/big"), downloader.limits(), sink);
        downloader.pool().perform(transfer);
        ASSERT_FALSE(transfer.failed()) << transfer.errorText();
        sink.commit();
    }
    EXPECT_EQ(server.headers("Range"),
              std::vector<std::string>{"bytes=" + std::to_string(kBigBytes - kTail.size()) + "-"});
    boost::system::error_code ec;
    ASSERT_EQ(boost::filesystem::file_size(toFsPath(target), ec), kBigBytes);
    boost::filesystem::ifstream in(toFsPath(target), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(kBigBytes - kTail.size()));
    std::string tail(kTail.size(), '\0');
    in.read(&tail[0], static_cast<std::streamsize>(tail.size()));
    EXPECT_EQ(tail, kTail);
}

TEST_F(BigFileTest, TheSpaceCheckAndTheSummaryCountPast4GiB) {
    ProductRecord record;
    record.ProdName = "VEXL 747";
    record.Simulator = "P3D";
    Manifest manifest;
    manifest.entries = {bigEntry()};
    const ProductFolders folders{dir.file("downloads/"), "", dir.file("sim/"), ""};
    const std::uint64_t need = 2 * (kBigBytes + kDiskSpaceMarginBytes);
    const auto withFree = [](std::uint64_t freeBytes) {
        return [freeBytes](const std::string&) {
            return std::optional<platform::VolumeSpace>({"C:", freeBytes});
        };
    };
    EXPECT_NO_THROW(requireDiskSpace(record, manifest, folders, withFree(need)));
    EXPECT_EQ(errorOf([&] { requireDiskSpace(record, manifest, folders, withFree(need - 1)); }),
              "Not enough disk space to update VEXL 747 for P3D: 10368 MiB needed on " +
                  folders.download + ", 10367 MiB free.");
    EXPECT_EQ(mebibytesText(kBigBytes + kGiB / 2), "5632.0");
}

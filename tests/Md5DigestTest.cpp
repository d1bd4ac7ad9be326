#include "system/Md5Digest.h"
#include "support/TestSupport.h"
#include "system/Paths.h"
#include "update/phases/FileCheck.h"

#include <boost/filesystem.hpp>

namespace {

std::string hexOf(const std::string& text) {
    return md5Hex(reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<std::uint32_t>(text.size()));
}

} // namespace

TEST(Md5DigestTest, ReproducesTheRfc1321TestSuite) {
    EXPECT_EQ(hexOf(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hexOf("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(hexOf("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexOf("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(hexOf("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(hexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(hexOf("1234567890123456789012345678901234567890123456789012345678901234567890"
                    "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5DigestTest, AnySplitOfTheInputGivesTheSameDigest) {
    std::string input;
    for (int i = 0; i < 129; ++i) {
        input += static_cast<char>(i * 7);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    Md5Digest split;
    split.update(bytes, 1);
    split.update(bytes + 1, 63);
    split.update(bytes + 64, 65);
    split.finalize();
    EXPECT_EQ(split.hexDigest(), hexOf(input));
    EXPECT_EQ(split.hexDigest(), referenceMd5(input));
}

TEST(Md5DigestTest, MatchesOpenSslAtEveryLengthAroundTheBlockBoundaries) {
    std::string input;
    for (int length = 0; length < 300; ++length) {
        EXPECT_EQ(hexOf(input), referenceMd5(input)) << "length " << length;
        input += static_cast<char>(length * 31 + 5);
    }
}

TEST(Md5DigestTest, HexDigestIsEmptyUntilFinalizedAndFinalizeRunsOnce) {
    Md5Digest digest;
    EXPECT_EQ(digest.hexDigest(), "");
    digest.update(reinterpret_cast<const unsigned char*>("abc"), 3);
    digest.finalize();
    digest.finalize();
    EXPECT_EQ(digest.hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Digest(std::string("abc")).hexDigest(), "900150983cd24fb0d6963f7d28e17f72");
}

class CheckFileDigestTest : public SandboxTest {};

TEST_F(CheckFileDigestTest, ComparesTheExpectedTextExactly) {
    const std::string empty = dir.file("empty.bin");
    writeFile(empty, "");
    EXPECT_TRUE(checkFileDigest(empty, "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_FALSE(checkFileDigest(empty, "D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_FALSE(checkFileDigest(empty, "d41d8cd98f00b204e9800998ecf8427e "));
    EXPECT_FALSE(checkFileDigest(empty, "d41d8cd98f00b204e9800998ecf8427e\n"));
    EXPECT_FALSE(checkFileDigest(empty, ""));
    EXPECT_TRUE(log.lines().empty()); // a mismatch is the caller's to word
}

TEST_F(CheckFileDigestTest, AnUnreadableFileFailsWithALineNamingIt) {
    const std::string folder = dir.file("a folder");
    boost::filesystem::create_directories(folder);
    EXPECT_FALSE(checkFileDigest(folder, "d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[VEXL 2] Unable to read " + folder +
                                                    " to check its integrity"});
    EXPECT_FALSE(checkFileDigest(dir.file("missing"), ""));
}

TEST_F(CheckFileDigestTest, HashesAFileLargerThan64MiBInConstantMemory) {
    const std::string path = dir.file("large.bin");
    std::string chunk(1 << 20, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<char>(i * 13 + i / 4096);
    }
    // Written chunk by chunk, so that the test itself never holds the file.
    {
        const FilePtr out = openFile(path, "wb");
        for (int i = 0; i < 80; ++i) {
            std::fwrite(chunk.data(), 1, chunk.size(), out.get());
        }
    }
    chunk = std::string();
    const std::string expected = referenceMd5OfFile(path);
    ASSERT_TRUE(checkFileDigest(path, expected));

    // An 80 MiB file held at once would raise the peak by 80 MiB.
    EXPECT_LE(testplatform::extraPeakKiB([&] { checkFileDigest(path, expected); }), 8 * 1024)
        << "KiB of extra peak memory";
}

// The count of bits hashed passes 2^32 at 512 MiB, where its low word carries into its high one,
// as it does again past 4 GiB; a sparse file costs no disk.
TEST_F(CheckFileDigestTest, TheDigestOfAFilePast512MiBCountsEveryBit) {
    const std::string path = dir.file("sparse.bin");
    writeFile(path, "");
    boost::filesystem::resize_file(toFsPath(path), (512ull << 20) + 100);
    EXPECT_EQ(md5OfFile(path), referenceMd5OfFile(path));
}

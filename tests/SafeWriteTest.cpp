#include "system/SafeWrite.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <sys/stat.h>

// For secrets: no one but the owner may read the file, whatever stood at its name before and
// whatever the umask says.
TEST(SafeWriteTest, AnOwnerOnlyFileIsReadableByItsOwnerOnly) {
    TempDir dir;
    const std::string target = dir.file("secret.key");
    writeFile(target, "old");
    ASSERT_EQ(chmod(target.c_str(), 0644), 0);
    const mode_t previousMask = umask(0277);
    writeFileSafely(target, "new", Durability::Cached, Readers::OwnerOnly);
    umask(previousMask);
    struct stat status {};
    ASSERT_EQ(stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(target), "new");
}

TEST(SafeWriteTest, TemporariesOfAKilledRunGoWhenTheFolderIsNextWritten) {
    TempDir dir;
    writeFile(dir.file("~vexl-0123456789abcdef.tmp"), "left by a killed run");
    writeFile(dir.file("~vexl-keep.tmp"), "not one of ours");
    writeFileSafely(dir.file("a.cfg"), "new", Durability::OnDisk);
    EXPECT_FALSE(fileExists(dir.file("~vexl-0123456789abcdef.tmp")));
    EXPECT_TRUE(fileExists(dir.file("~vexl-keep.tmp")));
    std::size_t entries = 0;
    for (boost::filesystem::directory_iterator it(dir.path()), end; it != end; ++it) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u); // a.cfg and the stranger; no temporary of this write is left
}

TEST(SafeWriteTest, PartialDataOutlivesItsRunAndGoesOnlyWhenNoLongerWanted) {
    TempDir dir;
    const std::string partial =
        partialDataPath(dir.path() + "/", "0123456789ABCDEF0123456789abcdef");
    EXPECT_EQ(partial, dir.path() + "/~vexl-0123456789abcdef0123456789abcdef.part");
    EXPECT_EQ(partialDataPath(dir.path() + "/", "../x"), "");
    writeFile(dir.file("~vexl-0123456789abcdef.tmp"), "left by a killed run");
    {
        PartialFile file(partial);
        ASSERT_EQ(std::fwrite("abc", 1, 3, file.stream()), 3u);
        EXPECT_TRUE(file.keepValidator("\"tag\""));
    } // a stop of any kind
    writeFileSafely(dir.file("a.cfg"), "new", Durability::Cached);
    EXPECT_FALSE(fileExists(dir.file("~vexl-0123456789abcdef.tmp")));
    PartialFile again(partial);
    EXPECT_EQ(again.bytesAtStart(), 3u);
    EXPECT_EQ(again.validator(), "\"tag\"");
    ASSERT_EQ(std::fwrite("de", 1, 2, again.stream()), 2u);
    again.commit(dir.file("done.bin"));
    EXPECT_EQ(readFile(dir.file("done.bin")), "abcde");
    EXPECT_FALSE(fileExists(partial));

    writeFile(partial, "x");
    const std::string other = dir.path() + "/~vexl-ffffffffffffffffffffffffffffffff.part";
    writeFile(other, "y");
    removePartialData(dir.path() + "/", {"0123456789abcdef0123456789abcdef"});
    EXPECT_TRUE(fileExists(partial));
    EXPECT_FALSE(fileExists(other));
}

TEST(SafeWriteTest, PartialDataIsNeverWrittenThroughALinkOrASecondName) {
    TempDir dir;
    const std::string partial = partialDataPath(dir.path() + "/", std::string(32, 'a'));
    writeFile(dir.file("outside.txt"), "keep me");
    for (const bool hard : {false, true}) {
        SCOPED_TRACE(hard);
        boost::system::error_code ec; // a system without symbolic links has only the one case
        if (hard) {
            boost::filesystem::create_hard_link(dir.file("outside.txt"), partial, ec);
        } else {
            boost::filesystem::create_symlink(dir.file("outside.txt"), partial, ec);
        }
        if (ec) {
            continue;
        }
        PartialFile file(partial);
        EXPECT_EQ(file.bytesAtStart(), 0u); // started over
        ASSERT_EQ(std::fwrite("new", 1, 3, file.stream()), 3u);
        file.commit(dir.file("done.bin"));
        EXPECT_EQ(readFile(dir.file("outside.txt")), "keep me");
        EXPECT_EQ(readFile(dir.file("done.bin")), "new");
    }
}

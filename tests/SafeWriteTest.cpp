#include "system/SafeWrite.h"
#include "support/TestSupport.h"
#include "system/Limits.h"

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

// A download that completes never costs a file for its validator; data that stays for a later
// attempt or run has it beside it, once the data is long or the data is closed.
TEST(SafeWriteTest, APartialDataValidatorIsWrittenOnlyWhereItCanServe) {
    TempDir dir;
    const std::string partial = partialDataPath(dir.path() + "/", std::string(32, 'b'));
    const std::string validator = dir.path() + "/~vexl-" + std::string(32, 'b') + ".validator";
    {
        PartialFile file(partial);
        EXPECT_TRUE(file.keepValidator("\"v1\""));
        EXPECT_FALSE(fileExists(validator));
        EXPECT_TRUE(file.saveValidator());
        EXPECT_EQ(readFile(validator), "\"v1\"");
        EXPECT_TRUE(file.keepValidator("\"v2\"")); // a whole answer again: the old one goes
        EXPECT_FALSE(fileExists(validator));
    } // closed before its commit
    EXPECT_EQ(readFile(validator), "\"v2\"");
    {
        PartialFile file(partial);
        EXPECT_EQ(file.validator(), "\"v2\"");
        file.startOver();
        EXPECT_TRUE(file.keepValidator("\"v3\""));
        file.commit(dir.file("done.bin"));
    }
    EXPECT_FALSE(fileExists(validator));
    EXPECT_FALSE(fileExists(partial));
}

// Second names given OnDisk are flushed together when the folders are synced, one by one or by
// volume, and a name that went in between has nothing left to flush.
TEST(SafeWriteTest, SecondNamesGivenOnDiskAreFlushedTogetherAtTheSync) {
    for (const std::size_t count : {std::size_t{1}, kFlushVolumeFromFiles + 1}) {
        SCOPED_TRACE(count);
        TempDir dir;
        writeFile(dir.file("source"), "bytes");
        for (std::size_t i = 0; i <= count; ++i) {
            linkOrCopyFileSafely(dir.file("source"), dir.file("copy" + std::to_string(i)),
                                 Durability::OnDisk);
        }
        boost::filesystem::remove(dir.file("copy0"));
        EXPECT_NO_THROW(syncWrittenFolders());
        EXPECT_EQ(readFile(dir.file("copy" + std::to_string(count))), "bytes");
    }
}

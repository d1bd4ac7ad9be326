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

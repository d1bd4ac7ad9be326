#include "system/BinaryPatch.h"
#include "support/TestSupport.h"
#include "system/Limits.h"
#include "system/Paths.h"
#include "update/phases/Patching.h"

#include <gtest/gtest.h>
#include <random>

namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random());
    }
    return bytes;
}

// The patch with one of its little-endian fields replaced, `at` bytes from its start.
std::string withField(std::string patch, std::size_t at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        patch[at + i] = static_cast<char>(value >> (8 * i));
    }
    return patch;
}

std::uint64_t fieldAt(const std::string& patch, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(patch[at + i]);
    }
    return value;
}

constexpr std::size_t kHeaderBytes = 16; // magic and the built file's size
constexpr std::size_t kPieceFieldsBytes = 32;

} // namespace

TEST(BinaryPatchTest, PiecesBuildTheTargetFromMovedContentAndNothingFromADamagedPatch) {
    const std::string reference = randomBytes(10 * 1024 * 1024, 1);
    std::string scattered = reference;
    for (std::size_t at = 12345; at < scattered.size(); at += 1000003) {
        scattered.replace(at, 6, "change");
    }
    const std::string inserted =
        reference.substr(0, 5000) + randomBytes(100000, 2) + reference.substr(5000);
    const std::string deleted = reference.substr(0, 5 << 20) + reference.substr((5 << 20) + 700000);
    const std::string longer = reference + randomBytes(3 << 20, 3);
    std::string repeated = reference; // the same new block between unchanged ones
    const std::string block = randomBytes(64 * 1024, 4);
    for (std::size_t at = 0; at < (4u << 20); at += 2 * block.size()) {
        repeated.replace(at, block.size(), block);
    }
    const std::string patch = makePatch(reference, scattered);
    const std::string shortReference = reference.substr(0, reference.size() - 1000);
    struct Case {
        const char* what;
        std::string reference;
        std::string target;
        std::string patch; // empty where it builds: made from the two
        std::size_t maxPatch;
        std::size_t maxOutput;
        bool builds;
    };
    std::string flipped = patch;
    const std::uint64_t frameBytes = fieldAt(patch, kHeaderBytes + 24);
    flipped[kHeaderBytes + kPieceFieldsBytes + frameBytes / 2] ^= 0x5a;
    const std::size_t copy = kHeaderBytes + kPieceFieldsBytes + frameBytes; // the second piece
    ASSERT_EQ(fieldAt(patch, copy + 24), 0u);
    const std::string firstFormat = "VXPIECE1" + patch.substr(8);
    const std::string small = reference.substr(0, 1 << 20);
    std::string everyBlock = small; // no block of it unchanged: frames only
    for (std::size_t at = 100; at < everyBlock.size(); at += 64 * 1024) {
        everyBlock[at] ^= 1;
    }
    const std::string framesOnly = "VXPIECE1" + makePatch(small, everyBlock).substr(8);
    const Case cases[] = {
        {"scattered changes", reference, scattered, "", 2048, scattered.size(), true},
        {"the first pieced format", small, everyBlock, framesOnly, 0, everyBlock.size(), true},
        {"a copy in the first pieced format", reference, scattered, firstFormat, 0,
         scattered.size(), false},
        {"a copy longer than its region", reference, scattered,
         withField(patch, copy + 8, fieldAt(patch, copy + 8) - 1), 0, scattered.size(), false},
        {"an insertion near the start", reference, inserted, "", 110000, inserted.size(), true},
        {"a deletion", reference, deleted, "", 1024, deleted.size(), true},
        {"new content repeated", reference, repeated, "", 80000, repeated.size(), true},
        {"a target longer than the reference", reference, longer, "", (3 << 20) + 8192,
         longer.size(), true},
        {"a corrupt piece", reference, scattered, flipped, 0, scattered.size(), false},
        {"a region beyond the installed file", shortReference, scattered, patch, 0,
         scattered.size(), false},
        {"a region said to start past it", reference, scattered,
         withField(patch, kHeaderBytes, reference.size()), 0, scattered.size(), false},
        {"an output over its size", reference, scattered, patch, 0, scattered.size() - 1, false},
        {"cut short", reference, scattered, patch.substr(0, patch.size() - 1), 0, scattered.size(),
         false},
        {"cut after its fields", reference, scattered,
         patch.substr(0, kHeaderBytes + kPieceFieldsBytes), 0, scattered.size(), false},
        {"bytes after the last piece", reference, scattered, patch + "x", 0, scattered.size(),
         false},
        {"the earlier format", reference, scattered, "\x28\xb5\x2f\xfd" + patch, 0,
         scattered.size(), false},
        {"empty", reference, scattered, "", 0, scattered.size(), false},
    };
    for (const Case& c : cases) {
        const bool made = c.builds && c.patch.empty();
        const std::string used = made ? makePatch(c.reference, c.target) : c.patch;
        if (made) {
            EXPECT_LE(used.size(), c.maxPatch) << c.what; // only what changed travels
        }
        const std::optional<std::string> built = patchedBytes(c.reference, used, c.maxOutput);
        EXPECT_EQ(built.has_value(), c.builds) << c.what;
        if (c.maxOutput == c.target.size()) {
            EXPECT_EQ(patchBuilds(readableString(c.reference), used, readableString(c.target)),
                      c.builds)
                << c.what;
        }
        if (built) {
            EXPECT_TRUE(*built == c.target) << c.what;
        }
    }
    const auto earlier = [&](const std::string& bytes) {
        return isEarlierPatchFormat(bytes, readableString(reference), readableString(scattered));
    };
    EXPECT_TRUE(earlier("\x28\xb5\x2f\xfd" + patch));
    EXPECT_FALSE(earlier(patch));
    EXPECT_FALSE(earlier("VXPIECE1" + patch.substr(8, 8) + "planted"));
    EXPECT_TRUE(
        isEarlierPatchFormat(framesOnly, readableString(small), readableString(everyBlock)));
}

TEST(BinaryPatchTest, TheWindowReachesBothFilesAndNoFurther) {
    EXPECT_EQ(patchWindowLog(0, 0), 10);
    EXPECT_EQ(patchWindowLog(1024 * 1024, 1024 * 1024), 21);
    EXPECT_EQ(patchWindowLog(1024 * 1024, 1024 * 1024 + 1), 22);
    EXPECT_EQ(patchWindowLog(256u << 20, 256u << 20), 29);
}

TEST(BinaryPatchTest, BuildingAFileFromItsPatchNeedsMemoryOfAPieceNotOfTheFile) {
    // Sparse files of zeros with a few changes: large, yet quick to make and to patch.
    const TempDir dir;
    const std::uint64_t size = 96u << 20;
    const std::string installed = dir.file("installed.bin");
    const std::string changed = dir.file("changed.bin");
    for (const std::string& path : {installed, changed}) {
        const FilePtr file = openFile(path, "wb");
        for (std::uint64_t at = path == changed ? 7777 : size; at < size; at += 40u << 20) {
            std::fseek(file.get(), static_cast<long>(at), SEEK_SET);
            std::fputs("changed", file.get());
        }
        std::fseek(file.get(), static_cast<long>(size - 1), SEEK_SET);
        std::fputc(0, file.get());
    }
    const FilePtr from = openFile(installed, "rb");
    const FilePtr to = openFile(changed, "rb");
    const std::optional<std::string> patch =
        makePatch(readableFile(from.get(), size), readableFile(to.get(), size), size / 2);
    ASSERT_TRUE(patch);
    writeFile(dir.file("patch.bin"), *patch);
    ListedPatch listed;
    listed.fromMd5 = referenceMd5OfFile(installed);
    listed.sha256 = referenceSha256(*patch);
    const long extraKiB = testplatform::extraPeakKiB([&] {
        buildFromPatch(installed, dir.file("patch.bin"), listed, dir.file("out.bin"), size);
    });
    EXPECT_EQ(referenceMd5OfFile(dir.file("out.bin")), referenceMd5OfFile(changed));
    // A region, a piece and its frame (about 20 MiB here), whatever the file's size.
    EXPECT_LE(extraKiB, 32 * 1024) << "KiB of extra peak memory";
}

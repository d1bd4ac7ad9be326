#include "system/BinaryPatch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Bytes that differ from place to place, so that a match at a wrong offset shows.
std::string patterned(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + (i * 13 + i / 509) % 31);
    }
    return bytes;
}

} // namespace

TEST(BinaryPatchTest, BuildsTheTargetOnlyFromAnIntactPatchWithinItsBounds) {
    const std::string reference = patterned(3 * 1024 * 1024, 'a');
    std::string target = reference;
    target.replace(1234567, 6, "change").append("tail");
    const std::string patch = makePatch(reference, target);
    EXPECT_LT(patch.size(), 1024u); // a few changed bytes cost a few bytes
    std::string flipped = patch;
    flipped[patch.size() / 2] ^= 0x01;
    const std::string otherReference = patterned(reference.size(), 'b');
    struct Case {
        const char* what;
        std::string reference;
        std::string patch;
        std::size_t maxOutput;
        bool builds;
    };
    const Case cases[] = {
        {"intact", reference, patch, target.size(), true},
        {"a byte flipped", reference, flipped, target.size(), false},
        {"cut short", reference, patch.substr(0, patch.size() - 1), target.size(), false},
        {"bytes after the frame", reference, patch + "x", target.size(), false},
        {"another reference", otherReference, patch, target.size(), false},
        {"more output than allowed", reference, patch, target.size() - 1, false},
        {"no reference at all", "", patch, target.size(), false},
        {"empty", reference, "", target.size(), false},
        {"not a patch", reference, "plain text, not zstd", target.size(), false},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> built = patchedBytes(c.reference, c.patch, c.maxOutput);
        EXPECT_EQ(built.has_value(), c.builds) << c.what;
        if (built) {
            EXPECT_TRUE(*built == target) << c.what;
        }
    }
}

TEST(BinaryPatchTest, TheWindowReachesBothFilesAndNoFurther) {
    EXPECT_EQ(patchWindowLog(0, 0), 10);
    EXPECT_EQ(patchWindowLog(1024 * 1024, 1024 * 1024), 21);
    EXPECT_EQ(patchWindowLog(1024 * 1024, 1024 * 1024 + 1), 22);
    EXPECT_EQ(patchWindowLog(256u << 20, 256u << 20), 29);
}

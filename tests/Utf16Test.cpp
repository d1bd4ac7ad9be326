#include "system/Utf16.h"
#include "support/TestSupport.h"

TEST(Utf16Test, ValidTextSurvivesTheRoundTripAndNothingElseIsValid) {
    for (const std::string text : {"", "plain",
                                   "Gr\xC3\xB6\xC3\x9F"
                                   "e",
                                   "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x9B\xA9 jet"}) {
        ASSERT_TRUE(isValidUtf8(text)) << text;
        EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(text)), text);
    }
    EXPECT_EQ(utf8ToUtf16("A\xC3\xA9"), std::string("A\0\xE9\0", 4));
    EXPECT_EQ(utf8ToUtf16("\xF0\x9F\x9B\xA9"), "\x3D\xD8\xE9\xDE"); // a surrogate pair
    for (const std::string text : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\x97",
                                   "\x80", "\xF8\x88\x80\x80\x80"}) {
        EXPECT_FALSE(isValidUtf8(text)) << text;
    }
}

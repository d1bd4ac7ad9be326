#include "update/UnsafePath.h"
#include "support/TestSupport.h"

// The one rule every path from the update service passes before it is used; the phases' tests
// show once each that they apply it.
TEST(UnsafePathTest, RefusesExactlyWhatCouldReachOutsideItsFolder) {
    for (const std::string unsafe :
         {"..", "..\\..\\x.dll", "a/../../x.dll", "a\\...\\x.dll", "\\abs.dll", "/abs.dll",
          "\\\\host\\share\\x.dll", "C:\\abs.dll", "C:rel.dll", "a\\b:stream"}) {
        EXPECT_EQ(errorOf([&] { requireSafePath(unsafe); }),
                  "Unsafe path in update data: " + unsafe);
    }
    for (const std::string safe : {"", "a.cfg", "VEXL 747\\fmc.dll", "a..b\\c", "..a", "a\\.b"}) {
        EXPECT_EQ(errorOf([&] { requireSafePath(safe); }), "") << safe;
    }
}

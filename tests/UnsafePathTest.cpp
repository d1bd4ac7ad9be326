#include "service/UnsafePath.h"
#include "support/TestSupport.h"
#include "system/Paths.h"

// The one rule every name from the update service passes before it is used; the phases' tests
// show once each that they apply it.
TEST(UnsafePathTest, RefusesWhatCouldLeaveItsFolderOrThatWindowsWouldNotStoreAsWritten) {
    for (const std::string unsafe : {".",
                                     "..",
                                     "..\\..\\x.dll",
                                     "a/../../x.dll",
                                     "a\\...\\x.dll",
                                     "a\\. .\\x",
                                     "\\abs.dll",
                                     "/abs.dll",
                                     "\\\\host\\share\\x.dll",
                                     "C:\\abs.dll",
                                     "C:rel.dll",
                                     "a\\b:stream",
                                     "VEXL 744\\aux.cfg",
                                     "NUL",
                                     "con",
                                     "Lpt9.log.txt",
                                     "a\\COM1\\b",
                                     "trailing.",
                                     "space ",
                                     "a\\b.\\c",
                                     "tab\there",
                                     "a<b",
                                     "a>b",
                                     "quote\"d",
                                     "pipe|",
                                     "what?.txt",
                                     "star*",
                                     "~vexl-0123456789abcdef.tmp",
                                     "~vexl-0123456789abcdef0123456789abcdef.part",
                                     "~vexl-0123456789abcdef0123456789abcdef.validator"}) {
        for (PathUse use : {PathUse::RecordName, PathUse::ManifestPath}) {
            EXPECT_EQ(errorOf([&] { requireSafePath(unsafe, use); }),
                      "Unsafe path in update data: " + unsafe);
        }
    }
    for (const std::string safe :
         {"a.cfg", "VEXL 747\\fmc.dll", "a..b\\c", "..a", "a\\.b", "COM10", "console.cfg", "LPT0",
          "x.vexl-partial", "Readme #1.txt", "100%25.txt",
          "Gr\xC3\xB6\xC3\x9F"
          "e.txt",
          "VEXL\\Backup"}) {
        for (PathUse use : {PathUse::RecordName, PathUse::ManifestPath}) {
            EXPECT_EQ(errorOf([&] { requireSafePath(safe, use); }), "") << safe;
        }
    }
}

TEST(UnsafePathTest, RecordNamesAreNeverEmptyAndManifestPathsStayOutOfTheBackups) {
    EXPECT_EQ(errorOf([] { requireSafePath("", PathUse::RecordName); }),
              "Unsafe path in update data: ");
    EXPECT_EQ(errorOf([] { requireSafePath("", PathUse::ManifestPath); }), "");
    for (const std::string backup : {"Backup", "backup\\744\\P3D\\VEXL 744\\aircraft.cfg"}) {
        EXPECT_EQ(errorOf([&] { requireSafePath(backup, PathUse::ManifestPath); }),
                  "Unsafe path in update data: " + backup);
        EXPECT_EQ(errorOf([&] { requireSafePath(backup, PathUse::RecordName); }), "");
    }
    // The updater's own files: a product named like its hold would stop every update.
    for (const std::string own : {"vexl_hold.json", "VEXL_update_journal.json\\x"}) {
        for (const PathUse use : {PathUse::RecordName, PathUse::ManifestPath}) {
            EXPECT_EQ(errorOf([&] { requireSafePath(own, use); }),
                      "Unsafe path in update data: " + own);
        }
    }
}

// Two names that fold alike are one file on Windows: the download phase, the removal step and
// the publisher all compare by it.
TEST(FoldedPathTextTest, FoldsAsciiCaseAndSeparatorsOnly) {
    EXPECT_EQ(foldedPathText("VEXL 744/Gauges\\FMC.DLL"), "vexl 744\\gauges\\fmc.dll");
    EXPECT_EQ(foldedPathText("Größe\\ÄB.txt"), "größe\\Äb.txt"); // bytes beyond ASCII stay
}

#include "service/Version.h"
#include "support/TestSupport.h"
#include "update/Updater.h"

TEST(VersionTest, ANumberDeletesTheDotsAndReadsTheLeadingDigits) {
    EXPECT_EQ(versionNumber("1.0.5"), 105);
    EXPECT_EQ(versionNumber("1.2.3"), 123);
    EXPECT_EQ(versionNumber("1.20.3"), 1203);
    EXPECT_EQ(versionNumber("1.0b2"), 10);
    EXPECT_EQ(versionNumber(""), 0);
    EXPECT_EQ(versionNumber("beta"), 0);
    EXPECT_EQ(versionNumber("1.2.3\\"), 123);
    EXPECT_EQ(versionNumber("  +4.5"), 45);
    EXPECT_EQ(versionNumber("-1.2"), -12);
}

TEST(VersionTest, ANumberIsClampedToThe32BitRange) {
    EXPECT_EQ(versionNumber("2147483647"), 2147483647);
    EXPECT_EQ(versionNumber("2.147.483.648"), 2147483647);
    EXPECT_EQ(versionNumber("99999999999999999999999"), 2147483647);
    EXPECT_EQ(versionNumber("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(versionNumber("-99999999999999999999999"), -2147483647 - 1);
}

TEST(VersionTest, OnlyDigitsAndDotsReadBackExactly) {
    EXPECT_EQ(exactVersionNumber("1.20.3"), 1203);
    EXPECT_EQ(exactVersionNumber("2147483647"), 2147483647);
    for (const char* text :
         {"", "...", "1.0b2", "-1.2", " 1.2", "2147483648", "1.2.3.4.5.6.7.8.9.0.1"}) {
        EXPECT_EQ(exactVersionNumber(text), std::nullopt) << text;
    }
}

TEST(VersionTest, DottedVersionsCompareFieldByFieldAndTheirNumbersMayNot) {
    struct Case {
        const char* a;
        const char* b;
        int dotted;        // compareDotted(a, b)
        bool numbersAgree; // numbersKeepDottedOrder(a, b)
    };
    const Case cases[] = {{"1.2.0", "1.2.0", 0, true},    {"1.9.0", "1.10.0", -1, true},
                          {"1.10.0", "2.0.0", -1, false}, {"1.02.0", "1.10.0", -1, true},
                          {"1.2", "1.2.0", 0, false},     {"1.2.1", "1.2", 1, true},
                          {"2.0.0", "1.99.9", 1, false},  {"1..2", "1.0.2", 0, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(compareDotted(c.a, c.b), c.dotted) << c.a << " " << c.b;
        EXPECT_EQ(numbersKeepDottedOrder(c.a, c.b), c.numbersAgree) << c.a << " " << c.b;
    }
    EXPECT_TRUE(isOlderVersion("1.9.0", "1.10.0"));
    EXPECT_FALSE(isOlderVersion("1.10.0", "1.9.0"));
    EXPECT_FALSE(isOlderVersion("0.1", "")); // nothing installed to compare with
}

TEST(VersionTest, FieldWidthsAndTheFormThatKeepsThem) {
    EXPECT_TRUE(sameFieldWidths("1.02.0", "1.10.0"));
    EXPECT_FALSE(sameFieldWidths("1.2.0", "1.10.0"));
    EXPECT_FALSE(sameFieldWidths("1.0", "1.0.1"));
    EXPECT_EQ(widenedLike("1.2.0", "1.10.0"), "1.02.0");
    EXPECT_EQ(widenedLike("1.10.0", "1.2.0"), "1.10.0");
    EXPECT_EQ(widenedLike("1.0", "1.0.10"), "1.0.00");
}

class FindInstalledVersionTest : public SandboxTest {};

TEST_F(FindInstalledVersionTest, ReadsDisplayVersionFromTheUninstallKey) {
    registry.seed(
        {{RegistryRoot::LocalMachine, "SOFTWARE\\Uninstall\\{X}", "DisplayVersion", "1.20.3"}});
    Updater updater;
    updater.uninstallKey = "SOFTWARE\\Uninstall\\{X}";
    updater.findInstalledVersion();
    EXPECT_EQ(updater.installedVersion, 1203);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"[VEXL 1] Finding installed VEXL product version",
                                        "[VEXL 1] Installed VEXL product version: 1203"}));
}

TEST_F(FindInstalledVersionTest, AMissingKeyGivesZero) {
    Updater updater;
    updater.uninstallKey = "SOFTWARE\\Uninstall\\{ ???????? }";
    updater.findInstalledVersion();
    EXPECT_EQ(updater.installedVersion, 0);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"[VEXL 1] Finding installed VEXL product version",
                                        "[VEXL 2] Failed to open registry key!",
                                        "[VEXL 1] Installed VEXL product version: 0"}));
}

#include "app/InstalledVersion.h"
#include "support/TestSupport.h"
#include "update/Updater.h"

TEST(InstalledVersionTest, DeletesDotsAndReadsTheLeadingNumber) {
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

TEST(InstalledVersionTest, ClampsToThe32BitRange) {
    EXPECT_EQ(versionNumber("2147483647"), 2147483647);
    EXPECT_EQ(versionNumber("2.147.483.648"), 2147483647);
    EXPECT_EQ(versionNumber("99999999999999999999999"), 2147483647);
    EXPECT_EQ(versionNumber("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(versionNumber("-99999999999999999999999"), -2147483647 - 1);
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

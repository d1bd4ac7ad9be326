#include "update/VersionDecision.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>

class VersionDecisionTest : public SandboxTest {
protected:
    VersionDecision decide(int installed, int minVersion, int prodVersion) {
        ProductRecord record;
        record.MinVersion = minVersion;
        record.ProdVersion = prodVersion;
        return decideVersion(installed, record, productDirectory);
    }

    std::string productDirectory = dir.path() + "\\Product\\";
};

TEST_F(VersionDecisionTest, UpdatesFromTheMinimumUpToButExcludingTheNewest) {
    boost::filesystem::create_directories(dir.file("Product"));
    EXPECT_EQ(decide(100, 100, 120), VersionDecision::Update);
    EXPECT_EQ(decide(119, 100, 120), VersionDecision::Update);
    EXPECT_EQ(decide(-5, -10, 0), VersionDecision::Update);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(VersionDecisionTest, TheNewestOrNewerIsCurrent) {
    EXPECT_EQ(decide(120, 100, 120), VersionDecision::Current);
    EXPECT_EQ(decide(130, 100, 120), VersionDecision::Current);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "[VEXL 1] 120 is the current version. No need to update.",
                               "[VEXL 1] 130 is the current version. No need to update."}));
}

TEST_F(VersionDecisionTest, BelowTheMinimumIsOutdatedEvenWhenAlsoAtTheNewest) {
    EXPECT_EQ(decide(0, 100, 120), VersionDecision::Outdated);
    EXPECT_EQ(decide(-3, 100, 50), VersionDecision::Outdated);
    EXPECT_EQ(
        log.lines(),
        (std::vector<std::string>{
            "[VEXL 1] 0 is out-dated and must be updated with the full installer.",
            "[VEXL 1] Please check to ensure that you have updated to the minimum version.",
            "[VEXL 1] -3 is out-dated and must be updated with the full installer.",
            "[VEXL 1] Please check to ensure that you have updated to the minimum version."}));
}

TEST_F(VersionDecisionTest, AMinimumAboveTheNewestNeverUpdates) {
    boost::filesystem::create_directories(dir.file("Product"));
    EXPECT_EQ(decide(150, 200, 100), VersionDecision::Outdated);
    EXPECT_EQ(decide(200, 200, 100), VersionDecision::Current);
}

TEST_F(VersionDecisionTest, AMissingProductDirectoryIsSkipped) {
    EXPECT_EQ(decide(100, 100, 120), VersionDecision::Current);
    writeFile(dir.file("Product"), "a file, not a folder");
    EXPECT_EQ(decide(100, 100, 120), VersionDecision::Current);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>(2, "[VEXL 1] Product directory " + productDirectory +
                                              " does not exist; skipping."));
}

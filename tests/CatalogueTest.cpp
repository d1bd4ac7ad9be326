#include "service/Catalogue.h"
#include "service/ScrambledText.h"
#include "support/TestSupport.h"
#include "update/Updater.h"

#include <regex>

namespace {

const std::string kUninstall =
    "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::string plain(const char* stored) {
    std::string text = stored;
    scrambled::restore(text.data());
    return text;
}

} // namespace

class CatalogueTest : public SandboxTest {
protected:
    // initialise() for the codes; the runtime error's message, or empty.
    std::string start(const std::string& simulator, const std::string& aircraft) {
        updater.simulator = simulator;
        updater.aircraft = aircraft;
        return errorOf([&] { updater.initialise(); });
    }

    Updater updater;
};

TEST_F(CatalogueTest, EveryRowHasItsKeyAndPairs) {
    struct Row {
        const char* sim;
        const char* aircraft;
        const char* code;
        int pairs;
    };
    const Row rows[] = {{"XSE", "744", "{3F2A6C10-4B7D-4E21-9A3C-1D5E7F902B41}", 1},
                        {"XSE", "748", "{ ???????? }", 0},
                        {"XSE", "77L", "{7C41E2D9-0A6B-4F3C-8E15-62B9D4A07C83}", 1},
                        {"XSE", "77W", "{A93D5B27-6E18-4C0F-B274-0F8C3E61D5A9}", 0},
                        {"P3D", "744", "{1E6F9A42-C35D-4B87-9F02-7A4C8B13E6D0}", 2},
                        {"P3D", "748", "{5D28C7B1-94E3-4A6F-8C39-B1E07D52A4F6}", 0},
                        {"P3D", "77L", "{8B07F3E5-21CA-4D94-A6E8-3C5F1B90D27E}", 2},
                        {"P3D", "77W", "{C47E1D08-5F92-4B3A-9D61-E8A2F04C7B15}", 0}};
    for (const Row& row : rows) {
        Updater fresh;
        fresh.simulator = row.sim;
        fresh.aircraft = row.aircraft;
        fresh.initialise();
        EXPECT_EQ(fresh.uninstallKey, kUninstall + row.code);
        ASSERT_EQ(fresh.serviceAddresses.size(), static_cast<std::size_t>(row.pairs));
        for (int k = 0; k < row.pairs; ++k) {
            const std::string where =
                std::string(row.sim) + "/" + row.aircraft + "/" + std::to_string(k + 1);
            EXPECT_EQ(plain(fresh.serviceAddresses[k].productInfo),
                      VEXL_SERVICE_URL "products/" + where + ".json");
            EXPECT_EQ(plain(fresh.serviceAddresses[k].fileBase),
                      VEXL_SERVICE_URL "files/" + where + "/");
        }
    }
}

TEST_F(CatalogueTest, NoTwoRowsSharePairStorage) {
    std::set<const char*> seen;
    for (const CatalogueRow& row : catalogue()) {
        for (const ServiceAddressPair& pair : row.pairs) {
            EXPECT_TRUE(seen.insert(pair.productInfo).second);
            EXPECT_TRUE(seen.insert(pair.fileBase).second);
        }
    }
    EXPECT_EQ(seen.size(), 12u);
}

TEST_F(CatalogueTest, LogsTheBannerWithVersion18AndTheBuildTime) {
    EXPECT_EQ(start("P3D", "744"), "");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::regex banner(R"(\[VEXL 1\] VEXL Updater: Version A18 - Build timestamp )"
                            R"([A-Z][a-z]{2} [ 1-3]\d \d{4}, \d{2}:\d{2}:\d{2})");
    EXPECT_TRUE(std::regex_match(lines[0], banner)) << lines[0];
}

TEST_F(CatalogueTest, AnUnknownSimulatorFailsWhateverTheAircraft) {
    EXPECT_EQ(start("P4D", "744"), "Unable to initialize application, unknown sim P4D");
    EXPECT_EQ(start("p3d", "744"), "Unable to initialize application, unknown sim p3d");
    EXPECT_EQ(start("P4D", "nonsense"), "Unable to initialize application, unknown sim P4D");
    EXPECT_TRUE(updater.uninstallKey.empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(CatalogueTest, AnUnknownAircraftFails) {
    EXPECT_EQ(start("XSE", "747"), "Unable to initialize application, unknown aircraft 747");
    EXPECT_EQ(start("P3D", "77l"), "Unable to initialize application, unknown aircraft 77l");
    EXPECT_TRUE(updater.serviceAddresses.empty());
    EXPECT_TRUE(log.lines().empty());
}

#include "publish/Publisher.h"
#include "support/TestSupport.h"

#include <boost/filesystem.hpp>
#include <map>
#include <nlohmann/json.hpp>

using nlohmann::json;

class PublisherTest : public ::testing::Test {
protected:
    PublisherTest() {
        writeFile(releases + "/products.json", products.dump());
        release("1.0.0", {{"VEXL\\a.cfg", "a1"}, {"VEXL\\same.txt", "same"}});
        release("1.1.0", {{"VEXL\\a.cfg", "a2"}, {"VEXL\\same.txt", "same"}});
        release("1.2.0", {{"VEXL\\a.cfg", "a2"},
                          {"VEXL\\same.txt", "same"},
                          {"VEXL\\New Folder\\big.bin", std::string(2049, 'b')}});
    }

    void release(const std::string& version, const std::map<std::string, std::string>& files) {
        for (const auto& [path, bytes] : files) {
            writeFile(dir.file("releases/3/" + version + "/" + path), bytes);
        }
    }

    std::string publishError() {
        return errorOf([&] { publishReleases(releases, out); });
    }

    json document(const std::string& relative) {
        return json::parse(readFile(out + "/" + relative));
    }

    static json entry(const std::string& folder, const std::string& path,
                      const std::string& bytes) {
        return {{"Folder", folder},
                {"FilePath", path},
                {"FileSize", static_cast<int>((bytes.size() + 1023) / 1024)},
                {"MD5Hash", referenceMd5(bytes)}};
    }

    TempDir dir;
    std::string releases = dir.file("releases");
    std::string out = dir.file("tree");
    json products =
        json::array({{{"ProductID", 3},
                      {"ProdName", "747 Classic"},
                      {"Simulator", "P3D"},
                      {"VEXLFolderValue", "VEXL"},
                      {"RegistryKey", "Software\\Sim"},
                      {"MinVersion", "1.1.0"},
                      {"Catalogue", {{"Simulator", "P3D"}, {"Aircraft", "744"}, {"Pair", 2}}}}});
};

TEST_F(PublisherTest, PublishesTheNewestVersionForItsPair) {
    ASSERT_EQ(publishError(), "");
    EXPECT_EQ(document("products/P3D/744/2.json"), json::array({{{"ProductID", 3},
                                                                 {"PVDec", "1.2.0"},
                                                                 {"ProdVersion", 120},
                                                                 {"MinVersion", 110},
                                                                 {"VEXLFolderValue", "VEXL"},
                                                                 {"RegistryKey", "Software\\Sim"},
                                                                 {"ProdName", "747 Classic"},
                                                                 {"Simulator", "P3D"}}}));
    EXPECT_EQ(document("products/P3D/744/1.json"), json::array());
    EXPECT_EQ(document("products/XSE/77L/1.json"), json::array());
    EXPECT_EQ(readFile(out + "/files/P3D/744/2/VEXL/New Folder/big.bin"), std::string(2049, 'b'));
    EXPECT_EQ(readFile(out + "/files/P3D/744/2/VEXL/a.cfg"), "a2");
}

TEST_F(PublisherTest, ManifestsListExactlyWhatIsNewOrChanged) {
    ASSERT_EQ(publishError(), "");
    const json big = entry("VEXL\\New Folder", "VEXL\\New Folder\\big.bin", std::string(2049, 'b'));
    const json changed = entry("VEXL", "VEXL\\a.cfg", "a2");
    EXPECT_EQ(document("manifest/files/3/110.json"), json::array({big}));
    EXPECT_EQ(document("manifest/summary/3/110.json"),
              json::array({{{"TotalFiles", 1}, {"TotalFileSize", 3}}}));
    EXPECT_EQ(document("manifest/files/3/120.json"), json::array());
    EXPECT_EQ(document("manifest/files/3/full.json"),
              json::array({big, changed, entry("VEXL", "VEXL\\same.txt", "same")}));
    EXPECT_EQ(document("manifest/summary/3/full.json"),
              json::array({{{"TotalFiles", 3}, {"TotalFileSize", 5}}}));
    EXPECT_FALSE(fileExists(out + "/manifest/files/3/100.json")); // below MinVersion
}

TEST_F(PublisherTest, PublishingTwiceWritesTheSameBytes) {
    ASSERT_EQ(publishError(), "");
    std::map<std::string, std::string> first;
    for (boost::filesystem::recursive_directory_iterator it(out), end; it != end; ++it) {
        if (boost::filesystem::is_regular_file(it->path())) {
            first[it->path().string()] = readFile(it->path().string());
        }
    }
    ASSERT_EQ(publishError(), "");
    for (const auto& [path, bytes] : first) {
        EXPECT_EQ(readFile(path), bytes) << path;
    }
}

TEST_F(PublisherTest, RefusesVersionsThatReadAsTheSameNumber) {
    release("11.0", {{"x", "x"}});
    EXPECT_EQ(publishError(), "product 3: versions 1.1.0 and 11.0 both read as 110");
}

TEST_F(PublisherTest, RefusesAVersionThatDoesNotReadBack) {
    release("1.3b", {{"x", "x"}});
    EXPECT_EQ(publishError(), "product 3: version 1.3b does not read back as its version number; "
                              "use digits and dots only");
}

TEST_F(PublisherTest, RefusesFilePathsWithADriveOrColon) {
    release("1.3.0", {{"VEXL\\C:evil.dll", "x"}});
    EXPECT_EQ(publishError(),
              "product 3: file path VEXL\\C:evil.dll has a drive, a colon or a '..' component");
}

TEST_F(PublisherTest, RefusesUnsafeFolderValues) {
    products[0]["VEXLFolderValue"] = "..\\..\\Windows";
    writeFile(releases + "/products.json", products.dump());
    EXPECT_EQ(publishError(),
              "product 3: \"VEXLFolderValue\" Unsafe path in update data: ..\\..\\Windows");
}

TEST_F(PublisherTest, RefusesAProductWithoutReleases) {
    products[0]["ProductID"] = 4;
    writeFile(releases + "/products.json", products.dump());
    const std::string folder = dir.file("releases/4");
    EXPECT_EQ(publishError(), "product 4 has no releases: " + folder + " is not a folder");
    boost::filesystem::create_directories(folder);
    EXPECT_EQ(publishError(), "product 4 has no releases in " + folder);
}

TEST_F(PublisherTest, RefusesAPairTheUpdaterNeverAsks) {
    products[0]["Catalogue"]["Pair"] = 3;
    writeFile(releases + "/products.json", products.dump());
    EXPECT_EQ(publishError(), "product 3: \"Catalogue\" must name a simulator, aircraft and pair "
                              "the updater asks for");
}

#include "net/Signatures.h"
#include "publish/Publication.h"
#include "support/ProgramFixture.h"
#include "support/PublisherRun.h"

#include <boost/filesystem.hpp>
#include <functional>
#include <sys/wait.h>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

// The documents and their records of a tree, by path below it.
std::map<std::string, std::string> signedDocuments(const std::string& tree) {
    std::map<std::string, std::string> documents;
    for (fs::recursive_directory_iterator it(tree), end; it != end; ++it) {
        const std::string path = it->path().lexically_relative(tree).generic_string();
        if (fs::is_regular_file(it->path()) &&
            (path.rfind("products/", 0) == 0 || path.rfind("manifest/", 0) == 0)) {
            documents[path] = readFile(it->path().string());
        }
    }
    return documents;
}

} // namespace

// The maker's tool and the updater built with the demonstration key, the tree it publishes served
// on loopback as the sample service maps it, and a service that someone with write access to it
// has tampered with.
class TrustAttackTest : public ProgramFixture, public ::testing::WithParamInterface<const char*> {
public:
    TrustAttackTest() {
        program = VEXL_SIGNED_UPDATER_EXE;
        fs::create_directories(dir.file("keys"));
        fs::copy_file(VEXL_FIXTURES "/demo-signing.key", key);
        fs::permissions(key, fs::perms::owner_read | fs::perms::owner_write);
        writeFile(releases + "/products.json",
                  R"([{"ProductID": 3, "ProdName": "747 Classic", "Simulator": "P3D",
                       "VEXLFolderValue": "VEXL 747", "RegistryKey": "Software\\Sim",
                       "MinVersion": "1.0.0",
                       "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 1}}])");
        release("1.0.0", {{"a.cfg", "a1"}, {"old.txt", "old1"}});
        release("1.1.0", {{"a.cfg", "a2"}, {"old.txt", "old2"}});
        release("1.2.0", {{"a.cfg", "a3"}});
        writeFile(local(simulatorFolder() + "VEXL 747\\a.cfg"), "a2");
        writeFile(local(simulatorFolder() + "VEXL 747\\old.txt"), "old2");
    }

    void release(const std::string& version, const std::map<std::string, std::string>& files) {
        for (const auto& [name, bytes] : files) {
            writeFile(releases + "/3/" + version + "/VEXL 747/" + name, bytes);
        }
    }

    CommandRun vexlPublish(const std::vector<std::string>& arguments) {
        return runPublish(dir, arguments);
    }

    void publish(const std::string& keyFile, int serial) {
        const CommandRun run = vexlPublish({"--sign", keyFile, releases, tree});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("as publication " + std::to_string(serial) + "\n"),
                  std::string::npos)
            << run.out;
    }

    // Every document, record, file and patch of the tree at the address the updater asks for it.
    void serveTree() {
        for (fs::recursive_directory_iterator it(tree), end; it != end; ++it) {
            const std::string path = it->path().lexically_relative(tree).generic_string();
            if (fs::is_regular_file(it->path())) {
                service.server.answer(targetOf(path), readFile(it->path().string()));
            }
        }
    }

    std::string targetOf(const std::string& path) const {
        const std::string files = "files/P3D/744/1/";
        if (path.rfind(files, 0) == 0) {
            std::string filePath = path.substr(files.size());
            std::replace(filePath.begin(), filePath.end(), '/', '\\');
            return service.fileTarget(1, filePath);
        }
        const bool record = fs::path(path).extension() == ".sig";
        const std::string address =
            documentAddress(record ? fs::path(path).replace_extension().generic_string() : path);
        return "/" + (address.empty() ? path : record ? signatureAddress(address) : address);
    }

    std::string simulatorFile(const std::string& name) const {
        return local(simulatorFolder() + "VEXL 747\\" + name);
    }
    std::string trustFile() const { return updaterFolder() + "vexl_trust.json"; }

    // The previous publication's signed documents copied over the newest: re-signing them would
    // make them the newest.
    void launderedResign() {
        publish(key, 1);
        const std::map<std::string, std::string> older = signedDocuments(tree);
        release("1.3.0", {{"a.cfg", "a4"}});
        publish(key, 2);
        for (const auto& [path, bytes] : older) {
            writeFile(tree + "/" + path, bytes);
        }
        const std::map<std::string, std::string> laundered = signedDocuments(tree);
        const auto refused = vexlPublish({"--resign", key, tree});
        EXPECT_EQ(refused.exitCode, 1);
        const std::string info = "vexl-publish: products/P3D/744/1.json";
        EXPECT_NE(refused.err.find(info + ": not the document last signed into " + tree +
                                   "; publish the releases again.\n"),
                  std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find(info +
                                   ": its signature record is for publication 1, the tree is "
                                   "at publication 2; publish the releases again.\n"),
                  std::string::npos);
        EXPECT_EQ(signedDocuments(tree), laundered);
    }

    // A number in the unsigned vexl-publication.json neither raises nor overflows the next serial.
    void editedPublicationNumber() {
        publish(key, 1);
        int serial = 1;
        for (const std::string said : {"9223372036854775807", "9007199254740991"}) {
            const std::string file = tree + "/vexl-publication.json";
            json record = json::parse(readFile(file));
            record["Publication"] = json::parse(said);
            writeFile(file, record.dump());
            const auto run = vexlPublish({"--sign", key, releases, tree});
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
                      tree + "/vexl-publication.json said publication " + said +
                          "; the signed records say " + std::to_string(serial) + ".\n");
            ++serial;
            EXPECT_EQ(json::parse(readFile(file))["Publication"], serial);
        }
        serveTree();
        EXPECT_EQ(runProgram().exitCode, 0);
        EXPECT_EQ(displayVersion(), "1.2.0");
        EXPECT_EQ(readText(trustFile()), "{\"HighestPublication\":3}\n");
    }

    // The signed full removal list served in place of 1.1.0's own.
    void fullRemovalListReplayed() {
        publish(key, 1);
        for (const std::string suffix : {"", ".sig"}) {
            const std::string lists = tree + "/manifest/removed/3/";
            writeFile(lists + "110.json" + suffix, readFile(lists + "full.json" + suffix));
        }
        serveTree();
        EXPECT_EQ(runProgram().exitCode, 0);
        EXPECT_EQ(displayVersion(), "1.2.0");
        EXPECT_FALSE(fileExists(simulatorFile("old.txt")));
        EXPECT_TRUE(
            programLogged("[VEXL 1] Removed VEXL 747\\old.txt (kept in the backup folder)"));
    }

    // A trust record that cannot be read, with the service at an older publication than it held.
    void damagedTrustRecord() {
        publish(key, 1);
        serveTree();
        for (const std::string text :
             {"[", "", "{\"Publication\":5}", "{\"HighestPublication\":0}",
              "{\"HighestPublication\":\"7\"}", "{\"HighestPublication\":9007199254740992}",
              "{\"HighestPublication\":-2}", "{\"HighestPublication\":9223372036854775808}"}) {
            SCOPED_TRACE(text);
            writeFile(trustFile(), text);
            EXPECT_EQ(runProgram().exitCode, 2);
            EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] The trust record " + trustFile() +
                                              " is damaged; delete it to accept the service's "
                                              "current publication.");
            EXPECT_EQ(readText(simulatorFile("a.cfg")), "a2");
        }
        // A pipe there is refused at once, never waited on.
        boost::filesystem::remove(trustFile());
        if (testplatform::makePipe(trustFile())) {
            EXPECT_EQ(runProgram().exitCode, 2);
            EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] The trust record " + trustFile() +
                                              " is damaged; delete it to accept the service's "
                                              "current publication.");
            boost::filesystem::remove(trustFile());
        }
    }

    // Publish, re-sign, publish from a copy of the key without its record: the serial still grows
    // from the records the key verifies, and the updater follows each publication.
    void roundTripWithoutTheRecord() {
        publish(key, 1);
        const auto resigned = vexlPublish({"--resign", key, tree});
        ASSERT_EQ(resigned.exitCode, 0) << resigned.err;
        EXPECT_NE(resigned.out.find("as publication 2"), std::string::npos);
        EXPECT_TRUE(fileExists(key + ".published.json"));
        serveTree();
        EXPECT_EQ(runProgram().exitCode, 0);
        EXPECT_EQ(readText(trustFile()), "{\"HighestPublication\":2}\n");
        const std::string copy = dir.file("elsewhere.key");
        fs::copy_file(key, copy);
        release("1.3.0", {{"a.cfg", "a4"}});
        publish(copy, 3);
        serveTree();
        EXPECT_EQ(runProgram().exitCode, 0);
        EXPECT_EQ(displayVersion(), "1.3.0");
        EXPECT_EQ(readText(trustFile()), "{\"HighestPublication\":3}\n");
    }

    std::string key = dir.file("keys/signing.key");
    std::string releases = dir.file("releases");
    std::string tree = dir.file("tree");
};

// Each attack, the way it fails.
TEST_P(TrustAttackTest, FailsSafely) {
    static const std::map<std::string, void (TrustAttackTest::*)()> kAttacks = {
        {"LaunderedResign", &TrustAttackTest::launderedResign},
        {"EditedPublicationNumber", &TrustAttackTest::editedPublicationNumber},
        {"FullRemovalListReplayed", &TrustAttackTest::fullRemovalListReplayed},
        {"DamagedTrustRecord", &TrustAttackTest::damagedTrustRecord},
        {"RoundTripWithoutTheRecord", &TrustAttackTest::roundTripWithoutTheRecord}};
    (this->*kAttacks.at(GetParam()))();
}

INSTANTIATE_TEST_SUITE_P(Attacks, TrustAttackTest,
                         ::testing::Values("LaunderedResign", "EditedPublicationNumber",
                                           "FullRemovalListReplayed", "DamagedTrustRecord",
                                           "RoundTripWithoutTheRecord"),
                         [](const auto& info) { return std::string(info.param); });

#include "publish/Publisher.h"
#include "publish/Resign.h"
#include "publish/Signing.h"
#include "publish/TreeCheck.h"
#include "support/PublisherRun.h"
#include "support/TestSupport.h"
#include "system/BinaryPatch.h"

#include <boost/filesystem.hpp>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <random>
#include <regex>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

std::string decodedBase64(const std::string& text, std::size_t size) {
    std::string bytes(text.size(), '\0');
    const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                        reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()));
    bytes.resize(decoded < 0 ? 0 : std::min<std::size_t>(decoded, size));
    return bytes;
}

// OpenSSL's command line checks an Ed25519 signature (base64) of a text against a public key.
bool opensslVerifies(const TempDir& dir, const std::string& publicKey, const std::string& text,
                     const std::string& signature) {
    static const std::string kEd25519PublicKeyPrefix(
        "\x30\x2a\x30\x05\x06\x03\x2b\x65\x70\x03\x21\x00", 12);
    writeFile(dir.file("key.der"), kEd25519PublicKeyPrefix + decodedBase64(publicKey, 32));
    writeFile(dir.file("signed.txt"), text);
    writeFile(dir.file("signature.bin"), decodedBase64(signature, 64));
    const std::string command = "openssl pkeyutl -verify -pubin -keyform DER -inkey " +
                                quoted(dir.file("key.der")) + " -rawin -in " +
                                quoted(dir.file("signed.txt")) + " -sigfile " +
                                quoted(dir.file("signature.bin")) + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool isDocument(const std::string& path) {
    return path.size() > 5 && path.substr(path.size() - 5) == ".json" &&
           path != "vexl-publication.json";
}

// The address the updater asks for a document by, worked out here from the tree's layout.
std::string addressOf(const std::string& path) {
    std::smatch parts;
    static const std::regex kManifest("manifest/(\\w+)/(\\d+)/(\\w+)\\.json");
    if (!std::regex_match(path, parts, kManifest)) {
        return path;
    }
    return "manifest/" + parts.str(1) + "?product=" + parts.str(2) +
           "&version=" + (parts.str(3) == "full" ? "0" : parts.str(3));
}

// The documents and files of a tree, without what every publication writes anew.
Tree servedContent(const std::string& folder) {
    Tree tree = snapshot(folder);
    for (auto it = tree.begin(); it != tree.end();) {
        const bool fresh = it->first == "vexl-publication.json" ||
                           it->first.substr(it->first.size() - 4) == ".sig";
        it = fresh ? tree.erase(it) : std::next(it);
    }
    return tree;
}

// The writing end of the pipe at `path`, once `child` has opened it for reading; -1 when the
// child ends first or is not there within a few seconds.
int writerOnceRead(const std::string& path, pid_t child) {
    constexpr int kTries = 500;
    constexpr useconds_t kPause = 10000;
    for (int i = 0; i < kTries; ++i) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        if (waitpid(child, nullptr, WNOHANG) != 0) {
            return -1;
        }
        usleep(kPause);
    }
    return -1;
}

ino_t inodeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
    return status.st_ino;
}

// Runs the built vexl-publish; its exit code, standard output and standard error.
} // namespace

class PublisherTest : public ::testing::Test {
protected:
    PublisherTest() { writeReleases(); }

    void writeReleases() {
        fs::remove_all(releases);
        writeFile(releases + "/products.json", products.dump());
        release("1.0.0", {{"VEXL\\a.cfg", "a1"}, {"VEXL\\same.txt", "same"}});
        release("1.1.0", {{"VEXL\\a.cfg", "a2"}, {"VEXL\\same.txt", "same"}});
        release("1.2.0", {{"VEXL\\a.cfg", "a2"},
                          {"VEXL\\same.txt", "same"},
                          {"VEXL\\New Folder\\big.bin", std::string(2049, 'b')}});
    }

    void release(const std::string& version, const std::map<std::string, std::string>& files,
                 int id = 3) {
        fs::create_directories(releases + "/" + std::to_string(id) + "/" + version);
        for (const auto& [path, bytes] : files) {
            writeFile(dir.file("releases/" + std::to_string(id) + "/" + version + "/" + path),
                      bytes);
        }
    }

    void writeProducts() { writeFile(releases + "/products.json", products.dump()); }

    std::string publishError(const Signer* signer = nullptr) {
        PublishOptions options;
        options.signer = signer;
        return publishError(options);
    }
    std::string publishError(const PublishOptions& options) {
        return errorOf([&] { publishReleases(releases, out, options); });
    }

    json document(const std::string& relative) {
        return json::parse(readFile(out + "/" + relative));
    }

    // What lies beside the output folder other than the releases and the lock file, which stays.
    std::vector<std::string> besideOutput() const {
        std::vector<std::string> names;
        for (fs::directory_iterator it(dir.path()), end; it != end; ++it) {
            const std::string name = it->path().filename().string();
            if (name != "releases" && name != "tree" && name != ".tree.vexl-lock") {
                names.push_back(name);
            }
        }
        return names;
    }

    static json entry(const std::string& folder, const std::string& path,
                      const std::string& bytes) {
        return {{"Folder", folder},
                {"FilePath", path},
                {"FileSize", static_cast<int>((bytes.size() + 1023) / 1024)},
                {"MD5Hash", referenceMd5(bytes)}};
    }

    // A new key pair under keys/, its secret key readable by its owner only.
    std::unique_ptr<const Signer> newSigner(const std::string& name) {
        fs::create_directories(dir.file("keys"));
        makeKeyFile(dir.file("keys/" + name));
        return std::make_unique<Signer>(dir.file("keys/" + name));
    }

    PublishOptions signedBy(const Signer& signer) const {
        PublishOptions options;
        options.signer = &signer;
        return options;
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
    EXPECT_FALSE(fileExists(out + "/products/P3D/744/2.json.sig")); // signing is asked for
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

TEST_F(PublisherTest, RemovalListsNameWhatTheNewestReleaseNoLongerHas) {
    fs::remove_all(releases + "/3");
    release("1.0.0", {{"VEXL\\old.cfg", "below MinVersion"}});
    release("1.1.0", {{"VEXL\\a.cfg", "a1"},
                      {"VEXL\\gone.txt", "gone"},
                      {"VEXL\\Old Name.dds", "texture"},
                      {"VEXL\\Case.ini", "case"},
                      {"VEXL\\Sub\\x.bin", "x"}});
    release("1.2.0", {{"VEXL\\a.cfg", "a2"},
                      {"VEXL\\gone.txt", "gone"},
                      {"VEXL\\New Name.dds", "texture"},
                      {"VEXL\\case.ini", "case"},
                      {"VEXL\\Sub\\x.bin", "x2"},
                      {"VEXL\\added.txt", "added"}});
    release("2.0.0", {{"VEXL\\a.cfg", "a3"},
                      {"VEXL\\New Name.dds", "texture"},
                      {"VEXL\\CASE.INI", "case"},
                      {"VEXL\\added.txt", "added"},
                      {"VEXL\\new.bin", "new"}});
    ASSERT_EQ(publishError(), "");
    const auto removed = [](const std::string& path, const std::string& bytes) {
        return json{{"FilePath", path}, {"MD5Hash", referenceMd5(bytes)}};
    };
    EXPECT_EQ(document("manifest/removed/3/110.json"),
              json::array({removed("VEXL\\Old Name.dds", "texture"),
                           removed("VEXL\\Sub\\x.bin", "x"), removed("VEXL\\gone.txt", "gone")}));
    EXPECT_EQ(document("manifest/removed/3/120.json"),
              json::array({removed("VEXL\\Sub\\x.bin", "x2"), removed("VEXL\\gone.txt", "gone")}));
    // Served for any version: every path and digest any older release had, the newest not.
    EXPECT_EQ(
        document("manifest/removed/3/full.json"),
        json::array({removed("VEXL\\old.cfg", "below MinVersion"),
                     removed("VEXL\\Old Name.dds", "texture"), removed("VEXL\\Sub\\x.bin", "x"),
                     removed("VEXL\\gone.txt", "gone"), removed("VEXL\\Sub\\x.bin", "x2")}));
    EXPECT_FALSE(fileExists(out + "/manifest/removed/3/200.json")); // the newest
    EXPECT_FALSE(fileExists(out + "/manifest/removed/3/100.json")); // below MinVersion
}

TEST_F(PublisherTest, RefusesReleasesTheUpdaterWouldRefuseOrMisread) {
    const std::string release3 = releases + "/3/1.3.0";
    const auto withProduct = [&](const char* member, json value) {
        return [&, member, value] {
            products[0][member] = value;
            writeProducts();
        };
    };
    const auto withRelease = [&](const std::string& version,
                                 const std::map<std::string, std::string>& files) {
        return [&, version, files] { release(version, files); };
    };
    const auto withLink = [&](const std::string& target, const std::string& link) {
        return [&, target, link] {
            fs::create_directories(fs::path(link).parent_path());
            fs::create_symlink(target, link);
        };
    };
    const struct {
        std::function<void()> setup;
        std::string message;
    } cases[] = {
        {withRelease("11.0", {{"x", "x"}}), "product 3: versions 1.1.0 and 11.0 both read as 110"},
        {withRelease("0.0", {{"x", "x"}}),
         "product 3: version 0.0 reads as 0, which the service keeps for versions never "
         "published"},
        {withRelease("1.3b", {{"x", "x"}}),
         "product 3: version 1.3b does not read back as its version number; use digits and dots "
         "only"},
        {[&] {
             for (const char* version : {"1.9.0", "1.10.0", "2.0.0"}) {
                 release(version, {{"x", "x"}});
             }
         },
         "product 3: versions 2.0.0 and 1.10.0 read as 200 and 1100, which is not their dotted "
         "order; give each field the same number of digits in every version"},
        {withProduct("MinVersion", "1.1"),
         "product 3: versions 1.1 and 1.0.0 read as 11 and 100, which is not their dotted order; "
         "give each field the same number of digits in every version"},
        {withProduct("MinVersion", "1.3.0"),
         "product 3: MinVersion 1.3.0 is above the newest release 1.2.0"},
        {withProduct("ProductID", -3),
         "products.json: \"ProductID\" -3 is not a number from 0 to 2147483647"},
        {withProduct("ProductID", 2147483648u),
         "products.json: \"ProductID\" 2147483648 is not a number from 0 to 2147483647"},
        {withProduct("Simulator", ""), "product 3: \"Simulator\" Unsafe path in update data: "},
        {withRelease("1.3.0", {{"VEXL\\CON.cfg", "x"}}),
         "product 3, release 1.3.0: \"FilePath\" Unsafe path in update data: VEXL\\CON.cfg"},
        {[&] {
             // Not through writeFile, which reads a backslash as a separator as the updater does.
             fs::create_directories(release3 + "/VEXL");
             std::ofstream(release3 + "/VEXL/a\\b.cfg") << "x";
         },
         "product 3, release 1.3.0: file name with a backslash: a\\b.cfg"},
        {withRelease("1.3.0", {{"VEXL\\a.cfg", "x"}, {"VEXL\\A.CFG", "y"}}),
         "product 3, release 1.3.0: paths VEXL\\A.CFG and VEXL\\a.cfg differ only in case"},
        {withRelease("1.3.0", {{"VEXL\\Model\\a.mdl", "x"}, {"VEXL\\MODEL\\b.mdl", "y"}}),
         "product 3, release 1.3.0: paths VEXL\\MODEL and VEXL\\Model differ only in case"},
        {withLink("a.cfg", release3 + "/VEXL/link.cfg"),
         "product 3, release 1.3.0: VEXL\\link.cfg is a symbolic link; copy what it points to "
         "into the release"},
        {withLink(dir.path(), release3 + "/VEXL/outside"),
         "product 3, release 1.3.0: VEXL\\outside is a symbolic link; copy what it points to "
         "into the release"},
        {withLink(releases + "/3/1.2.0", release3),
         "product 3, release 1.3.0: the release folder is a symbolic link; copy what it points "
         "to into " +
             releases + "/3"},
        {[&] {
             fs::create_directories(release3);
             ASSERT_EQ(mkfifo((release3 + "/pipe").c_str(), 0600), 0);
         },
         "product 3, release 1.3.0: pipe is neither a file nor a folder"},
        {[&] {
             products.push_back(products[0]);
             writeProducts();
         },
         "product 3 is listed twice"},
        {[&] {
             products.push_back(products[0]);
             products[1]["ProductID"] = 4;
             writeProducts();
             release("1.2.0", {{"VEXL\\a.cfg", "other"}}, 4);
         },
         "products 3 and 4 publish different files at VEXL\\a.cfg under the same file base "
         "P3D/744/2"},
        {withProduct("ProductID", 4),
         "product 4 has no releases: " + releases + "/4 is not a folder"},
        {[&] {
             fs::remove_all(releases + "/3");
             fs::create_directories(releases + "/3");
         },
         "product 3 has no releases in " + releases + "/3"},
        {[&] {
             products[0]["Catalogue"]["Pair"] = 3;
             writeProducts();
         },
         "product 3: \"Catalogue\" must name a simulator, aircraft and pair the updater asks for"},
        {[&] { writeFile(out + "/notes.txt", "mine"); },
         out + " holds notes.txt, which a publication never writes; refusing to replace it"},
        {[&] { writeFile(out, "a file"); }, out + " is not a folder"},
    };
    const json original = products;
    for (const auto& refusal : cases) {
        products = original;
        writeReleases();
        fs::remove_all(out);
        refusal.setup();
        EXPECT_EQ(publishError(), refusal.message);
    }
    EXPECT_EQ(readFile(out), "a file"); // what was there stays
}

TEST_F(PublisherTest, TheOutputHoldsExactlyWhatThePublicationWrote) {
    ASSERT_EQ(publishError(), "");
    writeFile(out + "/manifest/files/3/stray.json", "[]");
    fs::remove_all(releases + "/3/1.1.0");
    ASSERT_EQ(publishError(), "");
    EXPECT_FALSE(fileExists(out + "/manifest/files/3/110.json")); // no longer published
    EXPECT_FALSE(fileExists(out + "/manifest/files/3/stray.json"));
    EXPECT_TRUE(fileExists(out + "/manifest/files/3/120.json"));
    EXPECT_EQ(besideOutput(), std::vector<std::string>{});
}

// A child publishes a release with a file over its file size limit: the write fails, or the
// system kills the child for it, with part of the new tree written.
TEST_F(PublisherTest, AnInterruptedPublicationLeavesThePreviousTreeServing) {
    constexpr rlim_t kLimit = 1 << 20;
    ASSERT_EQ(publishError(), "");
    const Tree previous = snapshot(out);
    release("1.3.0", {{"VEXL\\a.cfg", "a3"}, {"VEXL\\zz.bin", std::string(2 * kLimit, 'z')}});
    for (const bool killed : {false, true}) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
            const rlimit limit{kLimit, kLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
            _exit(publishError().empty() ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(killed ? WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ
                           : WIFEXITED(status) && WEXITSTATUS(status) == 1)
            << status;
        EXPECT_EQ(snapshot(out), previous) << "killed: " << killed;
        EXPECT_EQ(besideOutput(),
                  killed ? std::vector<std::string>{".tree.vexl-new"} : std::vector<std::string>{});
    }
    ASSERT_EQ(publishError(), ""); // and the next publication clears what the killed one left
    EXPECT_EQ(readFile(out + "/files/P3D/744/2/VEXL/a.cfg"), "a3");
    EXPECT_EQ(besideOutput(), std::vector<std::string>{});
}

// Where the system cannot exchange two folders, the previous tree is set aside by one rename
// before the new one is renamed into place.
TEST_F(PublisherTest, ATreeSetAsideByAStoppedPublicationIsPutBack) {
    ASSERT_EQ(publishError(), "");
    const Tree previous = snapshot(out);
    fs::rename(out, dir.file(".tree.vexl-old"));
    writeFile(releases + "/products.json", "[]");
    EXPECT_EQ(publishError(), "products.json must be a non-empty array of products");
    EXPECT_EQ(snapshot(out), previous);
    EXPECT_EQ(besideOutput(), std::vector<std::string>{});
}

// The first publication holds the lock while it waits to read products.json, a pipe that the
// test fills only once the second one has tried.
TEST_F(PublisherTest, OnePublicationIntoAnOutputAtATime) {
    PublishOptions options;
    options.now = 1700000000;
    fs::remove(releases + "/products.json");
    ASSERT_EQ(mkfifo((releases + "/products.json").c_str(), 0600), 0);
    const pid_t first = fork();
    if (first == 0) {
        _exit(publishError(options).empty() ? 0 : 1);
    }
    const int list = writerOnceRead(releases + "/products.json", first);
    if (list < 0) {
        kill(first, SIGKILL);
    }
    ASSERT_GE(list, 0) << "the first publication never read products.json";
    EXPECT_EQ(publishError(options), "Another publication into " + out + " is in progress.");
    const std::string text = products.dump();
    EXPECT_EQ(write(list, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(list);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    fs::remove(releases + "/products.json");
    writeProducts();
    ASSERT_EQ(errorOf([&] { publishReleases(releases, dir.file("clean"), options); }), "");
    EXPECT_EQ(snapshot(out), snapshot(dir.file("clean")));
}

TEST_F(PublisherTest, UnchangedFilesAreSecondNamesOfThePreviousTreesFiles) {
    ASSERT_EQ(publishError(), "");
    const std::string files = out + "/files/P3D/744/2/VEXL/";
    const ino_t same = inodeOf(files + "same.txt");
    const ino_t changed = inodeOf(files + "a.cfg");
    release("1.3.0", {{"VEXL\\a.cfg", "a3"}, {"VEXL\\same.txt", "same"}});
    ASSERT_EQ(publishError(), "");
    EXPECT_EQ(inodeOf(files + "same.txt"), same);
    EXPECT_NE(inodeOf(files + "a.cfg"), changed);
    EXPECT_EQ(readFile(files + "a.cfg"), "a3");
    EXPECT_EQ(document("vexl-publication.json")["Publication"], 2);
}

// An edge revalidates by time and size: "a2" -> "a3" in the same second would keep both.
TEST_F(PublisherTest, AChangedFileIsDatedAfterTheOneItReplacesAndAnUnchangedOneKeepsItsDate) {
    ASSERT_EQ(publishError(), "");
    const std::string files = out + "/files/P3D/744/2/VEXL/";
    const std::time_t later = std::time(nullptr) + 100; // as if published in this very second
    fs::last_write_time(files + "a.cfg", later);
    fs::last_write_time(files + "same.txt", later);
    release("1.3.0", {{"VEXL\\a.cfg", "a3"}, {"VEXL\\same.txt", "same"}});
    ASSERT_EQ(publishError(), "");
    EXPECT_EQ(fs::last_write_time(files + "a.cfg"), later + 1);
    EXPECT_EQ(fs::last_write_time(files + "same.txt"), later);
}

TEST_F(PublisherTest, PublishingTwiceWritesTheSameDocumentsAndFilesSignedOrNot) {
    const std::unique_ptr<const Signer> signer = newSigner("signing.key");
    for (const Signer* signing : {static_cast<const Signer*>(nullptr), signer.get()}) {
        ASSERT_EQ(publishError(signing), "");
        const Tree first = servedContent(out);
        ASSERT_EQ(publishError(signing), "");
        EXPECT_EQ(servedContent(out), first);
    }
}

TEST_F(PublisherTest, ASignedTreeKeepsItsKeyUnlessTheMakerMeansToChangeIt) {
    const std::unique_ptr<const Signer> first = newSigner("first.key");
    const std::unique_ptr<const Signer> second = newSigner("second.key");
    ASSERT_EQ(publishError(first.get()), "");
    const Tree published = snapshot(out);
    const std::string signedWith = out + " is signed with the key whose public key is " +
                                   first->publicKey() +
                                   ": updaters built with that key will refuse ";
    EXPECT_EQ(publishError(), signedWith + "an unsigned tree; sign with that key, or give "
                                           "--new-key to publish unsigned all the same");
    EXPECT_EQ(publishError(second.get()),
              signedWith + "a tree signed with another key (" + second->publicKey() +
                  "); sign with that key, or give --new-key once the updaters in use trust the "
                  "new one");
    EXPECT_EQ(snapshot(out), published);
    PublishOptions changing = signedBy(*second);
    changing.newKey = true;
    ASSERT_EQ(publishError(changing), "");
    EXPECT_EQ(document("vexl-publication.json")["PublicKey"], second->publicKey());
    EXPECT_EQ(document("vexl-publication.json")["Publication"], 2);
}

// A key others can read, and versions of two products whose fields change width: one report.
TEST_F(PublisherTest, EveryProblemOfAPublicationIsReportedTogether) {
    const std::unique_ptr<const Signer> signer = newSigner("signing.key");
    ASSERT_EQ(publishError(signer.get()), "");
    const Tree published = snapshot(out);
    fs::permissions(signer->keyFile(),
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    release("1.10.0", {{"VEXL\\a.cfg", "a3"}});
    products.push_back(products[0]);
    products[1]["ProductID"] = 4;
    products[1]["MinVersion"] = "2.5";
    products[1]["Catalogue"]["Pair"] = 1;
    writeProducts();
    release("2.5", {{"VEXL\\b.cfg", "b1"}}, 4);
    release("2.50", {{"VEXL\\b.cfg", "b2"}}, 4);
    const std::string widths = " do not keep every dotted field's width, so a later version "
                               "could read as older; use fixed widths, such as ";
    EXPECT_EQ(publishError(signer.get()),
              signer->keyFile() +
                  " can be read by others than its owner; a secret key must be "
                  "its owner's only (chmod 600 " +
                  signer->keyFile() + ")\nproduct 3: versions 1.2.0 and 1.10.0" + widths +
                  "1.02.0 and 1.10.0\nproduct 4: versions 2.5 and 2.50" + widths + "2.05 and 2.50");
    EXPECT_EQ(snapshot(out), published);
    const CommandRun refused = runPublish(dir, {"--sign", signer->keyFile(), releases, out});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 3);
    EXPECT_EQ(refused.err.rfind("vexl-publish: " + signer->keyFile(), 0), 0u);
}

TEST_F(PublisherTest, ReSigningMakesTheNextPublicationOfTheSameFiles) {
    const std::unique_ptr<const Signer> signer = newSigner("signing.key");
    ASSERT_EQ(publishError(signer.get()), "");
    const Tree content = servedContent(out);
    const ino_t big = inodeOf(out + "/files/P3D/744/2/VEXL/New Folder/big.bin");
    PublishOptions later = signedBy(*signer);
    later.now += 60 * kSecondsPerDay;
    ASSERT_EQ(errorOf([&] { resignTree(out, later); }), "");
    EXPECT_EQ(servedContent(out), content);
    EXPECT_EQ(inodeOf(out + "/files/P3D/744/2/VEXL/New Folder/big.bin"), big);
    EXPECT_EQ(document("vexl-publication.json")["Publication"], 2);
    const json record = document("manifest/files/3/full.json.sig");
    EXPECT_EQ(record["Publication"], 2);
    EXPECT_EQ(record["Expires"], expiryOf(later));
    EXPECT_EQ(verifyTree(out, "", later.now).problems, std::vector<std::string>{});
    // What the tree holds now is not signed again once it differs from what was signed.
    writeFile(out + "/manifest/files/3/full.json", "[]\n");
    EXPECT_EQ(errorOf([&] { resignTree(out, later); }),
              "manifest/files/3/full.json: the document does not match its signature record\n"
              "manifest/files/3/full.json: not the document last signed into " +
                  out + "; publish the releases again.");
}

TEST_F(PublisherTest, VerifyFindsWhatNoLongerMatchesThePublication) {
    const std::unique_ptr<const Signer> signer = newSigner("signing.key");
    ASSERT_EQ(publishError(signer.get()), "");
    const std::string stale = readFile(out + "/products/P3D/744/2.json.sig");
    ASSERT_EQ(publishError(signer.get()), "");
    const std::string summary = "Checked " + out + ", publication 2, signed with " +
                                signer->publicKey() +
                                ": 16 documents, 3 files, 2 removal lists, 0 patches; ";
    TreeReport clean = verifyTree(out, "", std::time(nullptr));
    EXPECT_EQ(clean.problems, std::vector<std::string>{});
    EXPECT_EQ(clean.summary, summary + "no problems.");
    const std::string expires = document("products/P3D/744/2.json.sig")["Expires"];
    const TreeReport later = verifyTree(out, "", std::time(nullptr) + 91 * kSecondsPerDay);
    ASSERT_EQ(later.problems.size(), 16u);
    EXPECT_EQ(later.problems[0],
              "manifest/files/3/110.json: its signature record expired on " + expires);
    const std::string files = out + "/files/P3D/744/2/VEXL/";
    writeFile(files + "a.cfg", "b2");
    fs::remove(files + "same.txt");
    writeFile(out + "/products/P3D/744/2.json.sig", stale);
    const TreeReport damaged = verifyTree(out, "", std::time(nullptr));
    EXPECT_EQ(damaged.problems,
              (std::vector<std::string>{
                  "products/P3D/744/2.json: its signature record is for publication 1, the tree "
                  "is at publication 2; publish the releases again.",
                  "files/P3D/744/2/VEXL/a.cfg: MD5 " + referenceMd5("b2") + ", listed as " +
                      referenceMd5("a2") + " in manifest/files/3/full.json",
                  "files/P3D/744/2/VEXL/a.cfg: SHA-256 " + referenceSha256("b2") + ", listed as " +
                      referenceSha256("a2") + " in manifest/files/3/full.json",
                  "files/P3D/744/2/VEXL/same.txt: missing, listed in manifest/files/3/full.json"}));
    EXPECT_EQ(damaged.summary, summary + "4 problem(s).");
    const CommandRun command = runPublish(dir, {"verify", out});
    EXPECT_EQ(command.exitCode, 1);
    EXPECT_EQ(command.out.substr(command.out.rfind("Checked ")), damaged.summary + "\n");
}

TEST_F(PublisherTest, AKeyFileIsTheOwnersOnlyAndNeverReplaced) {
    const std::string keyFile = dir.file("signing.key");
    const std::string publicKey = makeKeyFile(keyFile);
    struct stat status {};
    ASSERT_EQ(stat(keyFile.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(Signer(keyFile).publicKey(), publicKey);
    const std::string bytes = readFile(keyFile);
    EXPECT_EQ(errorOf([&] { makeKeyFile(keyFile); }),
              keyFile + " already exists; a key file is never replaced");
    EXPECT_EQ(readFile(keyFile), bytes);
}

TEST_F(PublisherTest, RefusesKeyFilesThatHoldNoKey) {
    const std::string keyFile = dir.file("signing.key");
    const std::string seed = "T3W+fn0aCZeGqDFEv6+bQ+YbQAwcIIv5qHzHqdzyA8Y=";
    for (const std::string& text :
         {std::string("# a comment only\n"), seed.substr(4) + "\n", seed + "\n" + seed + "\n"}) {
        writeFile(keyFile, text);
        EXPECT_EQ(errorOf([&] { Signer signer(keyFile); }),
                  keyFile + " is not a key file made by vexl-publish keygen")
            << text;
    }
    writeFile(keyFile, "# comment\r\n" + seed + "\r\n");
    EXPECT_EQ(errorOf([&] { Signer signer(keyFile); }), "");
}

// The maker's way, through the command: keygen prints the public key, --sign signs the tree.
// Each record names the document's address, digest, publication and expiry; OpenSSL, an
// independent implementation, checks every signature against the printed key.
TEST_F(PublisherTest, SignatureRecordsBindEachDocumentToItsAddressAndPublication) {
    const std::string keyFile = dir.file("keys/signing.key");
    fs::create_directories(dir.file("keys"));
    const CommandRun keygen = runPublish(dir, {"keygen", keyFile});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.err;
    ASSERT_EQ(keygen.out.size(), 45u);
    const std::string publicKey = keygen.out.substr(0, 44);
    const std::time_t before = std::time(nullptr);
    const CommandRun signing =
        runPublish(dir, {"--sign", keyFile, "--expires", "30", releases, out});
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(signing.exitCode, 0) << signing.err;
    const std::string expires =
        json::parse(readFile(out + "/products/P3D/744/2.json.sig"))["Expires"];
    EXPECT_TRUE(expires >= recordTime(before + 30 * kSecondsPerDay) &&
                expires <= recordTime(after + 30 * kSecondsPerDay))
        << expires;
    const std::string published = "Published " + releases + " into " + out + " as publication 1\n";
    const std::string signedBy = "Signed with the key whose public key is " + publicKey +
                                 "; the signatures expire on " + expires + "\n";
    EXPECT_NE(signing.out.find(published), std::string::npos) << signing.out;
    EXPECT_EQ(
        signing.out.substr(signing.out.size() - std::min(signedBy.size(), signing.out.size())),
        signedBy);
    const json publication = document("vexl-publication.json");
    EXPECT_EQ(publication["Publication"], 1);
    EXPECT_EQ(publication["PublicKey"], publicKey);
    EXPECT_TRUE(publication["Published"] >= recordTime(before) &&
                publication["Published"] <= recordTime(after));
    int documents = 0;
    for (const auto& [path, bytes] : snapshot(out)) {
        if (isDocument(path)) {
            ++documents;
            const json record = json::parse(readFile(out + "/" + path + ".sig"));
            const std::string address = addressOf(path);
            EXPECT_EQ(record, json({{"Address", address},
                                    {"SHA256", referenceSha256(bytes)},
                                    {"Publication", 1},
                                    {"Expires", expires},
                                    {"Signature", record["Signature"]}}));
            const std::string text = "vexl-signature 1\n" + address + "\n" +
                                     referenceSha256(bytes) + "\n1\n" + expires + "\n";
            EXPECT_TRUE(opensslVerifies(dir, publicKey, text, record["Signature"])) << path;
            EXPECT_FALSE(opensslVerifies(dir, publicKey, text + " ", record["Signature"])) << path;
        }
    }
    // The six pairs; summaries and file manifests of 110, 120 and full; removals and patch lists
    // of 110 and full.
    EXPECT_EQ(documents, 6 + 3 + 3 + 2 + 2);
    EXPECT_EQ(addressOf("manifest/removed/3/full.json"), "manifest/removed?product=3&version=0");
    for (const json& file : document("manifest/files/3/full.json")) {
        std::string path = file["FilePath"];
        std::replace(path.begin(), path.end(), '\\', '/');
        EXPECT_EQ(file["SHA256"], referenceSha256OfFile(out + "/files/P3D/744/2/" + path)) << path;
    }
}

TEST_F(PublisherTest, TheCommandRefusesWhatItDoesNotKnow) {
    const CommandRun help = runPublish(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage:\n  vexl-publish [--sign KEYFILE] [--expires DAYS] [--new-key] "
                             "[--dry-run]\n               [--patch-releases N] RELEASES OUTPUT\n",
                             0),
              0u);
    const std::string key = dir.file("signing.key");
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {releases},
                                               {"--verbose", releases, out},
                                               {releases, out, "extra"},
                                               {"--sign", releases, out},
                                               {"--sign", "--sign", releases, out},
                                               {"--sign", key, "--sign", key, releases, out},
                                               {"--expires", "30", releases, out},
                                               {"--sign", key, "--expires", "0", releases, out},
                                               {"--sign", key, "--expires", "3651", releases, out},
                                               {"--resign", key, releases, out},
                                               {"--resign", key, "--sign", key, out},
                                               {"--resign", key, "--dry-run", out},
                                               {"--resign", key, "--patch-releases", "1", out},
                                               {"--patch-releases", releases, out},
                                               {"verify", out, "--expires", "30"},
                                               {"verify"},
                                               {"keygen"},
                                               {"keygen", "-k"},
                                               {"keygen", key, "--new-key"}}) {
        const CommandRun refused = runPublish(dir, arguments);
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, help.out);
    }
    for (const char* releaseCount : {"21", "-1", "five", "1.5"}) {
        const CommandRun refused =
            runPublish(dir, {"--patch-releases", releaseCount, releases, out});
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err,
                  "vexl-publish: --patch-releases takes a whole number from 0 to 20\n" + help.out);
    }
    EXPECT_FALSE(fileExists(out));
    writeFile(releases + "/products.json", "[]");
    const CommandRun failed = runPublish(dir, {releases, out});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "vexl-publish: products.json must be a non-empty array of products\n");
}

TEST_F(PublisherTest, PatchesBuildTheNewestFilesFromEachPublishedReleaseWhereTheyPay) {
    std::mt19937 random(7);
    const auto bytes = [&random](std::size_t size) {
        std::string text(size, '\0');
        for (char& c : text) {
            c = static_cast<char>(random());
        }
        return text;
    };
    const std::string a0 = bytes(1536 * 1024);
    std::string a1 = a0;
    a1.replace(1000, 4, "1.10");
    std::string a2 = a1;
    a2.replace(900000, 4, "2.00");
    fs::remove_all(releases + "/3");
    release("1.0.0", {{"VEXL\\model.bin", a0}}); // below MinVersion
    release("1.1.0", {{"VEXL\\model.bin", a1},
                      {"VEXL\\noise.bin", bytes(1 << 20)},
                      {"VEXL\\small.cfg", std::string(1000, 's')}});
    release("1.2.0", {{"VEXL\\model.bin", a1}, {"VEXL\\noise.bin", bytes(1 << 20)}});
    release("2.0.0", {{"VEXL\\model.bin", a2},
                      {"VEXL\\noise.bin", bytes(1 << 20)},
                      {"VEXL\\small.cfg", std::string(1000, 't')}});
    ASSERT_EQ(publishError(), "");
    const std::string name = "patches/3/" + referenceMd5(a1) + "-" + referenceMd5(a2) + ".zst";
    const std::string patch = readFile(out + "/" + name);
    EXPECT_EQ(patchedBytes(a1, patch, a2.size()), std::optional<std::string>(a2));
    const json listed = json::array({{{"FilePath", "VEXL\\model.bin"},
                                      {"FromMD5", referenceMd5(a1)},
                                      {"PatchSize", patch.size()},
                                      {"PatchSHA256", referenceSha256(patch)}}});
    EXPECT_EQ(document("manifest/patches/3/110.json"), listed);
    EXPECT_EQ(document("manifest/patches/3/120.json"), listed);
    EXPECT_EQ(document("manifest/patches/3/full.json"), listed);
    EXPECT_FALSE(fileExists(out + "/manifest/patches/3/200.json")); // the newest
    std::vector<std::string> patches;
    for (const auto& [path, content] : snapshot(out + "/patches")) {
        patches.push_back(path);
    }
    EXPECT_EQ(patches, std::vector<std::string>{name.substr(8)}); // noise does not pay
    ASSERT_EQ(publishError(), "");
    EXPECT_EQ(readFile(out + "/" + name), patch);
    EXPECT_EQ(verifyTree(out, "", std::time(nullptr)).problems, std::vector<std::string>{});
    writeFile(out + "/" + name, patch + "x");
    EXPECT_EQ(verifyTree(out, "", std::time(nullptr)).problems,
              std::vector<std::string>{name + ": missing or not the patch listed in " +
                                       "manifest/patches/3/110.json"});
}

// Patches come from the copies of the last N published releases, once per digest; each version's
// list offers the patch from its own copy, and the full list every patch.
TEST_F(PublisherTest, PatchesComeFromTheLastReleasesAndAreListedByTheCopysDigest) {
    std::mt19937 random(3);
    std::string base(1 << 20, '\0');
    std::generate(base.begin(), base.end(), [&random] { return static_cast<char>(random()); });
    const auto copy = [&base](char mark) { return std::string(base).replace(4096, 1, 1, mark); };
    fs::remove_all(releases + "/3");
    const std::string marks = "012134"; // the copies of 1.0.0 (below MinVersion) to 2.0.0
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const std::string version = i == 5 ? "2.0.0" : "1." + std::to_string(i) + ".0";
        release(version, {{"VEXL\\model.bin", copy(marks[i])}});
    }
    const std::string newest = copy('4');
    // For --patch-releases N, the copies the lists of 1.1.0 to 1.4.0 and the full list offer
    // patches from.
    const std::map<int, std::vector<std::string>> expected = {{0, {"", "", "", "", ""}},
                                                              {1, {"", "", "", "3", "3"}},
                                                              {2, {"1", "", "1", "3", "13"}},
                                                              {5, {"1", "2", "1", "3", "123"}}};
    for (const auto& [count, lists] : expected) {
        PublishOptions options;
        options.patchReleases = count;
        ASSERT_EQ(publishError(options), "") << count;
        std::set<std::string> served;
        for (const auto& [path, bytes] : snapshot(out)) {
            served.insert(path.rfind("patches/", 0) == 0 ? path : "");
        }
        std::set<std::string> listed = {""};
        for (std::size_t k = 0; k < lists.size(); ++k) {
            json entries = json::array();
            for (const char mark : lists[k]) {
                const std::string name =
                    "patches/3/" + referenceMd5(copy(mark)) + "-" + referenceMd5(newest) + ".zst";
                const std::string patch = served.count(name) ? readFile(out + "/" + name) : "";
                EXPECT_EQ(patchedBytes(copy(mark), patch, newest.size()),
                          std::optional<std::string>(newest));
                entries.push_back({{"FilePath", "VEXL\\model.bin"},
                                   {"FromMD5", referenceMd5(copy(mark))},
                                   {"PatchSize", patch.size()},
                                   {"PatchSHA256", referenceSha256(patch)}});
                listed.insert(name);
            }
            const std::string list = k == 4 ? "full" : "1" + std::to_string(k + 1) + "0";
            EXPECT_EQ(document("manifest/patches/3/" + list + ".json"), entries) << count << list;
        }
        EXPECT_EQ(served, listed) << count;
        EXPECT_FALSE(fileExists(out + "/manifest/patches/3/100.json")); // below MinVersion
    }
}

// A patch is taken again from the served tree only when it builds the release's file from the
// release's older one: one changed on the server refuses the publication, naming it, unless it is
// an earlier build's.
TEST_F(PublisherTest, APatchOfThePreviousTreeThatDoesNotStandForTheReleasesIsAProblem) {
    std::mt19937 random(11);
    std::string a1(1 << 20, '\0');
    std::generate(a1.begin(), a1.end(), [&random] { return static_cast<char>(random()); });
    fs::remove_all(releases + "/3");
    release("1.1.0", {{"VEXL\\model.bin", a1}});
    release("1.2.0", {{"VEXL\\model.bin", std::string(a1).replace(5000, 4, "2.00")}});
    ASSERT_EQ(publishError(), "");
    const std::string patch = "patches/3/" + referenceMd5(a1) + "-" +
                              referenceMd5(std::string(a1).replace(5000, 4, "2.00")) + ".zst";
    // One in the earlier single-frame format is an earlier build's own: made again, quietly.
    const std::string made = readFile(out + "/" + patch);
    writeFile(out + "/" + patch, std::string("\x28\xb5\x2f\xfd") + "an earlier frame");
    EXPECT_EQ(publishError(), "");
    EXPECT_EQ(readFile(out + "/" + patch), made);
    for (const std::string bytes : {"planted", "VXPIECE1planted"}) { // garbage, whatever its magic
        writeFile(out + "/" + patch, bytes);
        const Tree planted = snapshot(out);
        EXPECT_EQ(publishError(), patch + ": the served tree's patch does not turn " + releases +
                                      "/3/1.1.0/VEXL/model.bin into " + releases +
                                      "/3/1.2.0/VEXL/model.bin; it was changed on the server and "
                                      "is not taken again");
        EXPECT_EQ(snapshot(out), planted);
    }
}

TEST_F(PublisherTest, AnUnsignedTreeAtAnUnreachableSerialIsNotPublishedInto) {
    ASSERT_EQ(publishError(), "");
    writeFile(out + "/vexl-publication.json",
              R"({"Publication": 9223372036854775807, "PublicKey": "", "Published": ""})");
    EXPECT_EQ(publishError(), out + "/vexl-publication.json says publication 9223372036854775807, "
                                    "which no serial can follow; put back the record it replaced");
}

// The report's receipts and object counts, worked out here from the documents the tree serves.
TEST_F(PublisherTest, TheReportSaysWhatEachVersionReceivesAndWhatThePublicationChanges) {
    std::mt19937 random(5);
    std::string model(1 << 20, '\0');
    std::generate(model.begin(), model.end(), [&random] { return static_cast<char>(random()); });
    fs::remove_all(releases + "/3");
    release("1.1.0", {{"VEXL\\model.bin", model}, {"VEXL\\old.cfg", "o"}, {"VEXL\\drop.txt", "d"}});
    ASSERT_EQ(runPublish(dir, {releases, out}).exitCode, 0);
    const Tree before = snapshot(out);
    release("1.2.0", {{"VEXL\\model.bin", std::string(model).replace(7000, 4, "1.20")},
                      {"VEXL\\renamed.cfg", "o"}});
    const CommandRun run = runPublish(dir, {releases, out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json patches = document("manifest/patches/3/110.json");
    ASSERT_EQ(patches.size(), 1u);
    const std::size_t patchBytes = patches[0]["PatchSize"];
    ASSERT_EQ(document("manifest/files/3/110.json").size(), 2u);
    ASSERT_EQ(document("manifest/removed/3/110.json").size(), 2u);
    const std::size_t whole = model.size() + 1;
    std::size_t added = 0;
    std::size_t changed = 0;
    const Tree after = snapshot(out);
    for (const auto& [path, bytes] : after) {
        added += before.count(path) == 0 ? 1 : 0;
        changed += before.count(path) != 0 && before.at(path) != bytes ? 1 : 0;
    }
    const std::size_t deleted = before.size() + added - after.size();
    EXPECT_EQ(run.out, "Product 3 version 1.1.0: receives 2 files (1 by patch), " +
                           std::to_string(patchBytes + 1) + " bytes of the whole files' " +
                           std::to_string(whole) + "; removes 2 files\n" +
                           "Product 3 version 1.2.0: up to date, receives nothing\n" +
                           "Published " + releases + " into " + out + " as publication 2\n" +
                           "Publication 2 adds " + std::to_string(added) + " objects, changes " +
                           std::to_string(changed) + " and deletes " + std::to_string(deleted) +
                           " against the previous tree\n");
}

TEST_F(PublisherTest, ADryRunReportsThePublicationAndWritesNothing) {
    ASSERT_EQ(publishError(), "");
    const Tree before = snapshot(dir.path());
    fs::remove(dir.file(".tree.vexl-lock"));
    const std::string fresh = dir.file("never/tree");
    for (const std::string& output : {out, fresh}) {
        const CommandRun run = runPublish(dir, {"--dry-run", releases, output});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("Dry run: " + releases + " into " + output +
                               " would be publication " + (output == out ? "2" : "1") +
                               "; nothing was written\n"),
                  std::string::npos)
            << run.out;
    }
    Tree now = snapshot(dir.path());
    now.erase("out.txt");
    now.erase("err.txt");
    Tree expected = before;
    expected.erase(".tree.vexl-lock");
    EXPECT_EQ(now, expected);
    EXPECT_FALSE(fs::exists(dir.file("never")));
}

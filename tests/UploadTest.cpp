#include "publish/Publication.h"
#include "support/PublisherRun.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <csignal>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace fs = boost::filesystem;
using nlohmann::json;

namespace {

// The order a document's readers need: what it names comes in an earlier stage.
int stageOf(const std::string& path) {
    if (path.rfind("files/", 0) == 0 || path.rfind("patches/", 0) == 0) {
        return 0;
    }
    if (path.rfind("manifest/", 0) == 0 || path.substr(path.size() - 4) == ".sig") {
        return 1;
    }
    return path == kPublicationFile ? 3 : 2;
}

} // namespace

// Publishes and uploads with the built vexl-publish, through an rclone that records, in order,
// every object each of its runs copies or deletes.
class UploadTest : public ::testing::Test {
protected:
    UploadTest() {
        writeFile(dir.file("bin/rclone"),
                  "#!/bin/sh\ncase \" $* \" in *' copy '*) kind=copy;; *' delete '*) kind=delete;;"
                  " *) kind=;; esac\nprevious=\nfor a; do [ \"$previous\" = --files-from-raw ] && "
                  "[ -n \"$kind\" ] && sed \"s/^/$kind /\" \"$a\" >>'" +
                      dir.file("writes.txt") +
                      "'; previous=$a; done\n"
                      "PATH=${PATH#*:} exec rclone \"$@\"\n");
        fs::permissions(dir.file("bin/rclone"), fs::owner_all);
        writeFile(dir.file("releases/products.json"), products);
        release("1.1.0", {{"VEXL\\a.cfg", "a1"}, {"VEXL\\drop.txt", "d"}});
        release("1.2.0", {{"VEXL\\a.cfg", "a2"}, {"VEXL\\drop.txt", "d"}});
    }

    void release(const std::string& version, const std::map<std::string, std::string>& files) {
        for (const auto& [path, bytes] : files) {
            std::string relative = path;
            std::replace(relative.begin(), relative.end(), '\\', '/');
            writeFile(dir.file("releases/3/" + version + "/" + relative), bytes);
        }
    }

    // The exit code; standard output and error go to out.txt and err.txt.
    int vexlPublish(const std::string& arguments) {
        const std::string command = "PATH='" + dir.file("bin") + "':\"$PATH\" '" +
                                    VEXL_PUBLISH_EXE + "' " + arguments + " >'" +
                                    dir.file("out.txt") + "' 2>'" + dir.file("err.txt") + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int publish() { return vexlPublish("'" + releases + "' '" + out + "'"); }
    int upload(const std::string& to = "") {
        return vexlPublish("upload '" + out + "' '" + (to.empty() ? remote : to) + "'");
    }

    // The objects copied and deleted so far, in order ("copy PATH", "delete PATH").
    std::vector<std::string> writes() const {
        return fileExists(dir.file("writes.txt")) ? logLines(readFile(dir.file("writes.txt")))
                                                  : std::vector<std::string>{};
    }

    TempDir dir;
    std::string releases = dir.file("releases");
    std::string out = dir.file("tree");
    std::string remote = dir.file("remote");
    const char* products = R"([{"ProductID": 3, "ProdName": "747 Classic", "Simulator": "P3D",
        "VEXLFolderValue": "VEXL", "RegistryKey": "Software\\Sim", "MinVersion": "1.1.0",
        "Catalogue": {"Simulator": "P3D", "Aircraft": "744", "Pair": 2}}])";
};

TEST_F(UploadTest, TheCopyEqualsTheTreeAndASecondUploadMovesNothing) {
    ASSERT_EQ(publish(), 0);
    ASSERT_EQ(upload(), 0) << readFile(dir.file("err.txt"));
    EXPECT_EQ(snapshot(remote), snapshot(out));
    EXPECT_EQ(writes().size(), snapshot(out).size());
    fs::remove(dir.file("writes.txt"));
    ASSERT_EQ(upload(), 0) << readFile(dir.file("err.txt"));
    EXPECT_EQ(writes(), std::vector<std::string>{});
    EXPECT_NE(readFile(dir.file("out.txt")).find(": 0 objects copied, 0 deleted\n"),
              std::string::npos);
}

TEST_F(UploadTest, ARepublishUploadsOnlyWhatChangedInTheOrderReadersNeed) {
    ASSERT_EQ(publish(), 0);
    ASSERT_EQ(upload(), 0) << readFile(dir.file("err.txt"));
    const Tree before = snapshot(out);
    fs::remove(dir.file("writes.txt"));
    release("1.3.0", {{"VEXL\\a.cfg", "a3"}});
    ASSERT_EQ(publish(), 0);
    ASSERT_EQ(upload(), 0) << readFile(dir.file("err.txt"));
    std::vector<std::string> expected; // by stage, in the order the upload's log lists them
    for (const auto& [path, bytes] : snapshot(out)) {
        if (before.count(path) == 0 || before.at(path) != bytes) {
            expected.push_back("copy " + path);
        }
    }
    for (const auto& [path, bytes] : before) {
        if (!fileExists(out + "/" + path)) {
            expected.push_back("delete " + path);
        }
    }
    std::vector<std::string> written = writes();
    int last = 0;
    for (const std::string& write : written) {
        const int stage = write.rfind("delete ", 0) == 0 ? 4 : stageOf(write.substr(5));
        EXPECT_GE(stage, last) << write;
        last = stage;
    }
    std::sort(written.begin(), written.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(written, expected);
    EXPECT_EQ(snapshot(remote), snapshot(out));
}

TEST_F(UploadTest, AFailureHalfwayLeavesNoDocumentNamingAMissingObject) {
    ASSERT_EQ(publish(), 0);
    fs::create_directories(remote + "/manifest/files/3/110.json"); // no object can go there
    EXPECT_EQ(upload(), 1);
    EXPECT_NE(
        readFile(dir.file("err.txt"))
            .find("vexl-publish: Upload to " + remote + " stopped at manifest/files/3/110.json"),
        std::string::npos)
        << readFile(dir.file("err.txt"));
    const Tree copied = snapshot(remote);
    for (const auto& [path, bytes] : copied) {
        EXPECT_LT(stageOf(path), 2) << path; // no product information nor publication record
        if (path.rfind("manifest/files/", 0) == 0) {
            for (const json& entry : json::parse(bytes)) {
                std::string file = entry["FilePath"];
                std::replace(file.begin(), file.end(), '\\', '/');
                EXPECT_EQ(copied.count("files/P3D/744/2/" + file), 1u) << path << " " << file;
            }
        }
    }
}

// A remote that keeps no MD5 (WebDAV, here rclone's own server on loopback): what the last upload
// left there is known from its record beside the output folder.
TEST_F(UploadTest, ASecondUploadToARemoteWithoutDigestsMovesNothing) {
    ASSERT_EQ(publish(), 0);
    fs::create_directories(remote);
    // On a port of the system's choosing, which the server's log names.
    ASSERT_EQ(std::system(("rclone serve webdav '" + remote + "' --addr 127.0.0.1:0 2>'" +
                           dir.file("server.log") + "' & echo $! >'" + dir.file("server.pid") + "'")
                              .c_str()),
              0);
    const pid_t server = std::stoi(readFile(dir.file("server.pid")));
    const std::regex started("started on (http://127\\.0\\.0\\.1:\\d+/)");
    std::smatch address;
    std::string log;
    for (int i = 0; i < 100 && !std::regex_search(log, address, started); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = readFile(dir.file("server.log"));
    }
    if (address.empty()) {
        kill(server, SIGTERM);
        FAIL() << log;
    }
    setenv("RCLONE_CONFIG_VEXLDAV_TYPE", "webdav", 1);
    setenv("RCLONE_CONFIG_VEXLDAV_URL", address.str(1).c_str(), 1);
    EXPECT_EQ(upload("vexldav:"), 0) << readFile(dir.file("err.txt"));
    fs::remove(dir.file("writes.txt"));
    EXPECT_EQ(upload("vexldav:"), 0) << readFile(dir.file("err.txt"));
    kill(server, SIGTERM);
    EXPECT_EQ(writes(), std::vector<std::string>{});
    EXPECT_EQ(snapshot(remote), snapshot(out));
}

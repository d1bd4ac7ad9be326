#include "publish/Signing.h"
#include "support/ProgramFixture.h"

using nlohmann::json;

// How a document's record is made: by default for its own address, publication 1, far ahead.
struct Signed {
    std::string address; // empty: the document's own
    std::int64_t publication = 1;
    std::string expires = "2099-01-01T00:00:00Z";
};

// The build that trusts the demonstration key and a second test key, against documents signed as
// each case says. Whatever is refused, nothing is installed and the registry keeps the old
// version.
class SignatureTest : public ProgramFixture {
protected:
    SignatureTest() : second(VEXL_FIXTURES "/second-signing.key") {
        program = VEXL_SIGNED_UPDATER_EXE;
        writeFile(local(simulatorFolder() + "VEXL 747\\a.cfg"), "old");
        entries = publish(3, 110, {{"VEXL 747\\a.cfg", {"VEXL 747", "new"}}});
        entries[0]["SHA256"] = referenceSha256("new");
    }

    static std::string recordTarget(const std::string& target) {
        const auto query = target.find('?');
        return query == std::string::npos ? target + ".sig"
                                          : target.substr(0, query) + ".sig" + target.substr(query);
    }

    // Serves `text` at `target` and its record by `signer` beside it.
    void serveSigned(const std::string& target, const std::string& text, const Signer& signer,
                     const Signed& how = {}) {
        service.server.answer(target, text);
        const std::string address = how.address.empty() ? target.substr(1) : how.address;
        service.server.answer(
            recordTarget(target),
            recordDocument(signer.record(address, text, how.publication, how.expires)));
    }

    static std::string query(const std::string& kind) {
        return "/manifest/" + kind + FakeService::query(3, 110);
    }

    // Every document of the update, each signed as `how` says.
    void serveAll(const Signer& signer, const Signed& how = {}) {
        serveSigned("/products/P3D/744/1.json", productInfo({record(3)}), signer, how);
        serveSigned("/products/P3D/744/2.json", "[]", signer, how);
        serveSigned(query("summary"), R"([{"TotalFiles": 1, "TotalFileSize": 1}])", signer, how);
        serveSigned(query("files"), entries.dump(), signer, how);
        serveSigned(query("removed"), "[]", signer, how);
    }

    void expectNothingChanged() {
        EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\a.cfg")), "old");
        EXPECT_EQ(displayVersion(), "1.1.0");
    }

    std::string trustFile() const {
        return readText(dir.file("VEXL/VEXL Hangar/Updater/vexl_trust.json"));
    }

    static std::string refused(const std::string& address, const std::string& reason) {
        return "Signature check failed for " VEXL_SERVICE_URL + address + ": " + reason;
    }
    static std::string productFailed(const std::string& reason) {
        return "[VEXL 2] Update terminated abnormally for 747 Classic for P3D: " + reason;
    }

    Signer second;
    json entries;
};

TEST_F(SignatureTest, ASetSignedByTheSecondOfTwoKeysUpdatesAndRaisesThePublicationSeen) {
    serveAll(second, {"", 4});
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\a.cfg")), "new");
    EXPECT_EQ(displayVersion(), "1.2.0");
    EXPECT_EQ(trustFile(), "{\"HighestPublication\":4}\n");
}

TEST_F(SignatureTest, ACheckOfASignedServiceRecordsNoPublication) {
    serveAll(second, {"", 4});
    EXPECT_EQ(runProgram({"--check"}).exitCode, 4);
    EXPECT_FALSE(fileExists(dir.file("VEXL/VEXL Hangar/Updater/vexl_trust.json")));
    expectNothingChanged();
}

TEST_F(SignatureTest, AProductDocumentWithoutAValidRecordEndsTheRun) {
    const Signer stranger(VEXL_FIXTURES "/untrusted-signing.key");
    const std::string info = "products/P3D/744/1.json";
    const struct {
        std::function<void()> spoil;
        std::string reason;
    } cases[] = {
        {[&] { service.server.answer("/" + info, productInfo({record(4)})); },
         "the document does not match its signature record"},
        {[&] { serveSigned("/" + info, productInfo({record(3)}), stranger); },
         "no valid signature record"},
        {[&] { service.server.answer("/" + info + ".sig", "no such document", 404); },
         "no valid signature record"},
        {[&] { service.server.answer("/" + info + ".sig", "bm90IGEgcmVjb3Jk\n"); },
         "no valid signature record"},
        {[&] { service.server.answer("/" + info + ".sig", std::string(1 << 20, '[')); },
         "no valid signature record"},
        {[&] {
             serveSigned("/" + info, productInfo({record(3)}), second, {"", 0});
         },
         "no valid signature record"},
        {[&] {
             serveSigned("/" + info, productInfo({record(3)}), second, {"", 1LL << 53});
         },
         "no valid signature record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        serveAll(second);
        c.spoil();
        EXPECT_EQ(runProgram().exitCode, 2);
        EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] " + refused(info, c.reason));
        expectNothingChanged();
    }
}

// Documents the maker signed, served where or when they do not belong.
TEST_F(SignatureTest, ASignedDocumentOutOfPlaceOrTimeIsRefused) {
    const std::string files = "manifest/files?product=3&version=110";
    const std::string removed = "manifest/removed?product=3&version=110";
    const std::string summary = "manifest/summary?product=3&version=110";
    const struct {
        std::function<void()> spoil;
        int exitCode;
        std::string line;
    } cases[] = {
        {[&] { serveSigned("/" + removed, entries.dump(), second, {files}); }, 3,
         productFailed(refused(removed, "the signature is for " + files))},
        {[&] {
             serveSigned("/products/P3D/744/1.json", "[]", second, {"products/P3D/744/2.json"});
         },
         2,
         "[VEXL 2] " +
             refused("products/P3D/744/1.json", "the signature is for products/P3D/744/2.json")},
        {[&] {
             serveSigned("/" + summary, "[{\"TotalFiles\": 1}]", second,
                         {"", 1, "2020-01-01T00:00:00Z"});
         },
         3, productFailed(refused(summary, "the signature expired on 2020-01-01T00:00:00Z"))},
        {[&] { service.server.answer("/" + removed, "gone", 404); }, 3,
         productFailed("Failed to get " VEXL_SERVICE_URL + removed +
                       ", server provided abnormal response code 404")},
        {[&] {
             entries[0]["SHA256"] = "";
             serveSigned("/" + files, entries.dump(), second);
         },
         3, productFailed("Unusable SHA256 in update data for VEXL 747\\a.cfg")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        entries[0]["SHA256"] = referenceSha256("new");
        serveAll(second);
        c.spoil();
        EXPECT_EQ(runProgram().exitCode, c.exitCode);
        EXPECT_TRUE(programLogged(c.line));
        expectNothingChanged();
    }
}

TEST_F(SignatureTest, TheFullDocumentServesEveryVersionNeverPublished) {
    serveAll(second);
    serveSigned(query("files"), entries.dump(), second, {"manifest/files?product=3&version=0"});
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(SignatureTest, AnOlderPublicationThanOneAcceptedBeforeIsRefused) {
    serveAll(second, {"", 2});
    ASSERT_EQ(runProgram().exitCode, 0);
    seedRegistry(); // the user is back at 1.1.0, and the service at an older publication
    writeFile(local(simulatorFolder() + "VEXL 747\\a.cfg"), "old");
    serveAll(second, {"", 1});
    EXPECT_EQ(runProgram().exitCode, 2);
    EXPECT_EQ(lastLogLines(2)[0],
              "[VEXL 2] " + refused("products/P3D/744/1.json",
                                    "publication 1 is older than publication 2 seen before"));
    expectNothingChanged();
    EXPECT_EQ(trustFile(), "{\"HighestPublication\":2}\n");
}

TEST_F(SignatureTest, ARepublishDuringARunFailsItsProductsAndTheNextRunConverges) {
    serveAll(second, {"", 5});
    serveSigned("/products/P3D/744/1.json", productInfo({record(3)}), second, {"", 4});
    serveSigned("/products/P3D/744/2.json", "[]", second, {"", 4});
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_TRUE(programLogged(productFailed(refused(
        "manifest/summary?product=3&version=110",
        "publication 5 does not match publication 4 of this pass (the service was republished "
        "during the run; the next run will retry)"))));
    expectNothingChanged();
    serveAll(second, {"", 5});
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(SignatureTest, ATamperedManifestFailsTheProduct) {
    for (const std::string kind : {"summary", "files"}) {
        serveAll(second);
        service.server.answer(query(kind), "[]");
        EXPECT_EQ(runProgram().exitCode, 3);
        EXPECT_TRUE(programLogged(
            productFailed(refused("manifest/" + kind + "?product=3&version=110",
                                  "the document does not match its signature record"))));
        expectNothingChanged();
    }
}

TEST_F(SignatureTest, AFileMustMatchItsSha256AsWellAsItsMd5) {
    entries[0]["SHA256"] = referenceSha256("something else");
    serveAll(second);
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_TRUE(programLogged(
        productFailed("Aborting file download, a downloaded file has failed integrity-check.")));
    expectNothingChanged();
}

#include "publish/Publication.h"
#include "publish/Signing.h"
#include "support/ProgramFixture.h"

using nlohmann::json;

// The build that trusts the demonstration key and a second test key, against documents signed as
// each case says. Whatever fails, nothing is installed and the registry keeps the old version.
class SignatureTest : public ProgramFixture {
protected:
    SignatureTest() : second(VEXL_FIXTURES "/second-signing.key") {
        program = VEXL_SIGNED_UPDATER_EXE;
        writeFile(local(simulatorFolder() + "VEXL 747\\a.cfg"), "old");
        entries = publish(3, 110, {{"VEXL 747\\a.cfg", {"VEXL 747", "new"}}});
        entries[0]["SHA256"] = referenceSha256("new");
    }

    // Serves `text` at `target` and its signature record by `signer`, of publication 1 and valid
    // for a year, at the record's address.
    void serveSigned(const std::string& target, const std::string& text, const Signer& signer) {
        service.server.answer(target, text);
        const auto query = target.find('?');
        const SignatureRecord record =
            signer.record(target.substr(1), text, 1, utcText(std::time(nullptr) + kYear));
        service.server.answer(query == std::string::npos
                                  ? target + ".sig"
                                  : target.substr(0, query) + ".sig" + target.substr(query),
                              recordDocument(record));
    }

    static constexpr std::time_t kYear = 365 * kSecondsPerDay;

    void serveAll(const Signer& signer) {
        serveSigned("/products/P3D/744/1.json", productInfo({record(3)}), signer);
        serveSigned("/products/P3D/744/2.json", "[]", signer);
        serveSigned("/manifest/summary" + FakeService::query(3, 110),
                    R"([{"TotalFiles": 1, "TotalFileSize": 1}])", signer);
        serveSigned("/manifest/files" + FakeService::query(3, 110), entries.dump(), signer);
    }

    void expectNothingChanged() {
        EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\a.cfg")), "old");
        EXPECT_EQ(displayVersion(), "1.1.0");
    }

    Signer second;
    json entries;
};

TEST_F(SignatureTest, ASetSignedByTheSecondOfTwoKeysUpdates) {
    serveAll(second);
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(readFile(local(simulatorFolder() + "VEXL 747\\a.cfg")), "new");
    EXPECT_EQ(displayVersion(), "1.2.0");
}

TEST_F(SignatureTest, AnUnsignedOrForeignProductDocumentEndsTheRun) {
    const std::string info = VEXL_SERVICE_URL "products/P3D/744/1.json";
    const Signer stranger(VEXL_FIXTURES "/untrusted-signing.key");
    for (const auto& spoil : std::vector<std::function<void()>>{
             [&] { service.server.answer("/products/P3D/744/1.json", productInfo({record(4)})); },
             [&] { serveSigned("/products/P3D/744/1.json", productInfo({record(3)}), stranger); },
             [&] {
                 service.server.answer("/products/P3D/744/1.json.sig", "no such document", 404);
             },
             [&] { service.server.answer("/products/P3D/744/1.json.sig", "not base64!\n"); }}) {
        serveAll(second);
        spoil();
        EXPECT_EQ(runProgram().exitCode, 2);
        EXPECT_EQ(lastLogLines(2)[0], "[VEXL 2] Signature check failed for " + info);
        expectNothingChanged();
    }
}

TEST_F(SignatureTest, ATamperedManifestFailsTheProduct) {
    for (const std::string kind : {"summary", "files"}) {
        serveAll(second);
        service.server.answer("/manifest/" + kind + FakeService::query(3, 110), "[]");
        EXPECT_EQ(runProgram().exitCode, 3);
        EXPECT_TRUE(programLogged("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: "
                                  "Signature check failed for " VEXL_SERVICE_URL "manifest/" +
                                  kind + "?product=3&version=110"));
        expectNothingChanged();
    }
}

TEST_F(SignatureTest, AFileMustMatchItsSha256AsWellAsItsMd5) {
    entries[0]["SHA256"] = referenceSha256("something else");
    serveAll(second);
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Update terminated abnormally for 747 Classic for P3D: "
                              "Aborting file download, a downloaded file has failed "
                              "integrity-check."));
    expectNothingChanged();
}

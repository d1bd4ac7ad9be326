#include "support/ProgramFixture.h"
#include "support/WindowsSupport.h"
#include "system/WindowsText.h"

#include <fstream>

// The built Windows program: the manifest Windows reads when it starts it, and a run without the
// rights to record the version.

TEST(WindowsExecutableTest, EmbedsAManifestThatRunsAsInvokerOnWindows7To11) {
    const HMODULE module =
        LoadLibraryExW(toWide(VEXL_UPDATER_EXE).c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    // Resource 1 of type RT_MANIFEST: the one CreateProcess applies.
    const HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const std::string manifest(
        static_cast<const char*>(LockResource(LoadResource(module, resource))),
        SizeofResource(module, resource));
    FreeLibrary(module);
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
              std::string::npos);
    for (const char* windows7To11 :
         {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
          "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {
        EXPECT_NE(manifest.find("<supportedOS Id=\"{" + std::string(windows7To11) + "}\"/>"),
                  std::string::npos)
            << windows7To11;
    }
}

TEST(WindowsExecutableTest, TheThirtyTwoBitProgramIsLargeAddressAware) {
    std::ifstream exe(VEXL_UPDATER_EXE, std::ios::binary);
    IMAGE_DOS_HEADER dos{};
    ASSERT_TRUE(exe.read(reinterpret_cast<char*>(&dos), sizeof dos));
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    DWORD signature = 0;
    IMAGE_FILE_HEADER coff{};
    exe.seekg(dos.e_lfanew);
    ASSERT_TRUE(exe.read(reinterpret_cast<char*>(&signature), sizeof signature));
    ASSERT_TRUE(exe.read(reinterpret_cast<char*>(&coff), sizeof coff));
    ASSERT_EQ(signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    if (coff.Machine != IMAGE_FILE_MACHINE_I386) {
        GTEST_SKIP() << "a 64-bit build has the whole address space anyway";
    }
    EXPECT_NE(coff.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE, 0);
}

class WindowsProgramTest : public ProgramFixture {};

TEST_F(WindowsProgramTest, AnUninstallKeyItMayNotWriteFailsTheRunAndSaysSo) {
    writeFile(local(simulatorFolder() + "VEXL 747\\aircraft.cfg"), "old config");
    publish(3, 110, {{"VEXL 747\\aircraft.cfg", {"VEXL 747", "new config"}}});
    service.setProductsText(1, productInfo({record(3)}));
    const ReadOnlyKey readOnly(HKEY_LOCAL_MACHINE, kUninstallKey);
    EXPECT_EQ(runProgram().exitCode, 3);
    EXPECT_TRUE(programLogged("[VEXL 2] Failed to open registry key for writing!"));
    EXPECT_EQ(displayVersion(), "1.1.0");
}

namespace {

// The user's proxy settings as the settings dialog keeps them, for one test; the values go again
// after it.
class SystemProxySettings {
public:
    SystemProxySettings(const std::string& server, const std::string& bypass) {
        RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr);
        const DWORD enabled = 1;
        RegSetValueExW(key_, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enabled),
                       sizeof enabled);
        setText(L"ProxyServer", server);
        setText(L"ProxyOverride", bypass);
    }
    ~SystemProxySettings() {
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride"}) {
            RegDeleteValueW(key_, name);
        }
        RegCloseKey(key_);
    }
    SystemProxySettings(const SystemProxySettings&) = delete;
    SystemProxySettings& operator=(const SystemProxySettings&) = delete;

private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    void setText(const wchar_t* name, const std::string& value) {
        const std::wstring text = toWide(value);
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    HKEY key_ = nullptr;
};

} // namespace

TEST_F(WindowsProgramTest, WithoutProxyVariablesTheUsersSystemProxyCarriesTheRequests) {
    LoopbackServer proxy; // of the test's own, counting what comes through it
    proxy.answer(VEXL_SERVICE_URL "products/P3D/744/1.json", "[]");
    proxy.answer(VEXL_SERVICE_URL "products/P3D/744/2.json", "[]");
    service.setProductsText(1, R"([{"not": "what the proxy answers"}])");
    const SystemProxySettings settings("127.0.0.1:" + std::to_string(proxy.port()), "");
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_EQ(proxy.count(VEXL_SERVICE_URL "products/P3D/744/1.json"), 1);
    EXPECT_EQ(proxy.count(VEXL_SERVICE_URL "products/P3D/744/2.json"), 1);
    EXPECT_TRUE(service.server.requests().empty());
}

TEST_F(WindowsProgramTest, AHostOnTheSystemBypassListIsReachedDirectly) {
    LoopbackServer proxy;
    const SystemProxySettings settings("http=127.0.0.1:" + std::to_string(proxy.port()),
                                       "localhost;127.0.0.*");
    EXPECT_EQ(runProgram().exitCode, 0);
    EXPECT_TRUE(proxy.requests().empty());
    EXPECT_EQ(service.server.requests().size(), 2u);
}

#include "support/ProgramFixture.h"
#include "support/WindowsSupport.h"
#include "system/WindowsText.h"

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

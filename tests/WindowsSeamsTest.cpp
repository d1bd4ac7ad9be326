#include "support/TestSupport.h"
#include "support/WindowsSupport.h"
#include "system/WindowsText.h"
#include "update/SystemAccess.h"

// The Windows seams, which the POSIX build does not have: UTF-8 inside, UTF-16 for the file
// calls, the ANSI code page for the registry's ANSI calls.

namespace {

const char kKey[] = "SOFTWARE\\Vendor\\Product";
const std::string kZoe = "Zo\xC3\xAB";                                // Zoë
const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"; // 日本語

} // namespace

TEST(WindowsTextTest, LongAbsolutePathsGetThePrefixAndAreCleanedForIt) {
    const std::string folder(240, 'f');
    const std::wstring wideFolder(240, L'f');
    struct Case {
        std::string text;
        std::wstring wide;
    };
    const Case cases[] = {
        {"C:\\short\\" + kZoe, L"C:\\short\\Zo\u00EB"},
        {"C:\\" + std::string(243, 'f'), L"C:\\" + std::wstring(243, L'f')}, // 246 characters
        {"C:\\" + folder + "\\abcd", L"\\\\?\\C:\\" + wideFolder + L"\\abcd"},
        {"C:/" + folder + "//.\\x\\..\\abcd\\", L"\\\\?\\C:\\" + wideFolder + L"\\abcd\\"},
        {"\\\\server\\share\\" + folder, L"\\\\?\\UNC\\server\\share\\" + wideFolder},
        {"relative\\" + folder, L"relative\\" + wideFolder},
        {"\\\\?\\C:\\" + folder + "\\x", L"\\\\?\\C:\\" + wideFolder + L"\\x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(widePath(c.text), c.wide) << c.text;
    }
}

TEST(WindowsTextTest, RegistryTextIsConvertedToTheAnsiCodePageOrRefused) {
    ASSERT_EQ(GetACP(), 1252u) << "these cases assume the Western code page of Wine's default";
    EXPECT_EQ(toAnsi(kZoe), std::optional<std::string>("Zo\xEB"));
    EXPECT_EQ(fromAnsi("Zo\xEB"), kZoe);
    EXPECT_EQ(toAnsi(""), std::optional<std::string>(""));
    EXPECT_EQ(toAnsi(kJapanese), std::nullopt);
    EXPECT_EQ(toAnsi("1\xFF"), std::nullopt); // not UTF-8
}

class WindowsRegistryTest : public SandboxTest {
protected:
    SystemAccess system;
};

TEST_F(WindowsRegistryTest, ValuesReadAndWriteAsTheCharactersTheyName) {
    const std::string appPath = "C:\\Sims\\" + kZoe + "'s P3D\\";
    registry.seed({{RegistryRoot::CurrentUser, kKey, "AppPath", appPath}});
    EXPECT_EQ(system.readRegistryString(RegistryRoot::CurrentUser, kKey, "AppPath"), appPath);
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2-" + kZoe);
    EXPECT_EQ(readWideValue(HKEY_LOCAL_MACHINE, kKey, "DisplayVersion"), L"1.2-Zo\u00EB");
    EXPECT_EQ(log.containing("[VEXL 2]"), std::vector<std::string>());
}

TEST_F(WindowsRegistryTest, AValueTheCodePageCannotRepresentIsAFailedWrite) {
    registry.seed({{RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.1.0"}});
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", kJapanese);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[VEXL 2] Registry key write failed: "
                                                    "SOFTWARE\\Vendor\\Product, DisplayVersion, " +
                                                    kJapanese});
    EXPECT_EQ(readWideValue(HKEY_LOCAL_MACHINE, kKey, "DisplayVersion"), L"1.1.0");
}

TEST_F(WindowsRegistryTest, AKeyThatDeniesWritingIsAFailedOpenForWriting) {
    registry.seed({{RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.1.0"}});
    const ReadOnlyKey readOnly(HKEY_LOCAL_MACHINE, kKey);
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.0");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[VEXL 2] Failed to open registry key for writing!"});
    EXPECT_EQ(system.readRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion"),
              "1.1.0");
}

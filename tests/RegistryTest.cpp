#include "system/Registry.h"
#include "support/TestSupport.h"
#include "update/SystemAccess.h"

#include <boost/filesystem.hpp>
#include <sys/stat.h>

namespace {

const char kKey[] = "SOFTWARE\\Vendor\\Product";

std::string exportFile(const std::string& body) {
    return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

std::string utf16(const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

} // namespace

// The two registry operations over the platform's registry.
class RegistryTest : public SandboxTest {
protected:
    std::optional<std::string> read(RegistryRoot root, const std::string& key,
                                    const std::string& name) {
        return system.readRegistryString(root, key, name);
    }

    SystemAccess system;
};

// The export-format file that stands in for the registry on POSIX.
class RegistryFileTest : public RegistryTest {};

TEST_F(RegistryTest, AMissingFileOrKeyFailsToOpen) {
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), std::nullopt);
    registry.seed({{RegistryRoot::LocalMachine, "SOFTWARE\\Other"}});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), std::nullopt);
    EXPECT_EQ(log.lines(), std::vector<std::string>(2, "[VEXL 2] Failed to open registry key!"));
}

TEST_F(RegistryTest, AMissingValueIsLocatedButUnreadable) {
    registry.seed({{RegistryRoot::LocalMachine, kKey, "Other", "1"}});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), std::nullopt);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[VEXL 2] Registry key was located but could not be read!"});
}

TEST_F(RegistryTest, ReadsValuesAsStored) {
    registry.seed({{RegistryRoot::CurrentUser, kKey, "Version", "1.2.3"},
                   {RegistryRoot::CurrentUser, kKey, "AppPath", "C:\\Sims\\P3D\\"},
                   {RegistryRoot::CurrentUser, kKey, "Empty", ""},
                   {RegistryRoot::CurrentUser, kKey, "Quoted", "say \"hi\""}});
    EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "Version"), "1.2.3");
    EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "AppPath"), "C:\\Sims\\P3D\\");
    EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "Empty"), "");
    EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "Quoted"), "say \"hi\"");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCaseAndRootsAreSeparate) {
    registry.seed(
        {{RegistryRoot::LocalMachine, "software\\VENDOR\\product", "displayversion", "2.0"}});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "2.0");
    EXPECT_EQ(read(RegistryRoot::CurrentUser, kKey, "DisplayVersion"), std::nullopt);
}

TEST_F(RegistryTest, AParentOfAWrittenKeyExists) {
    registry.seed({{RegistryRoot::LocalMachine, std::string(kKey) + "\\Sub"}});
    registry::KeyHandle key;
    EXPECT_EQ(registry::openKey(RegistryRoot::LocalMachine, kKey, key), registry::kSuccess);
    EXPECT_EQ(registry::openKey(RegistryRoot::LocalMachine, "SOFTWARE\\Vend", key),
              registry::kFileNotFound);
}

TEST_F(RegistryTest, AValueOverTheReadBufferCannotBeRead) {
    const std::string fits(449, 'x');
    const std::string tooLong(450, 'x');
    registry.seed({{RegistryRoot::LocalMachine, kKey, "Fits", fits},
                   {RegistryRoot::LocalMachine, kKey, "Long", tooLong}});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Fits"), fits);
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Long"), std::nullopt);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[VEXL 2] Registry key was located but could not be read!"});
}

TEST_F(RegistryTest, OtherValueTypesReadAsTheirBytes) {
    registry.seed(
        {{RegistryRoot::LocalMachine, kKey, "Word", dwordData(0x31)},
         {RegistryRoot::LocalMachine, kKey, "Binary", binaryData(std::string("4.2\0", 4))},
         {RegistryRoot::LocalMachine, kKey, "Expand", expandStringData("AB")}});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Word"), "1");
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Binary"), "4.2");
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Expand"), "AB");
}

TEST_F(RegistryTest, WritingCreatesAMissingKey) {
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.3");
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "[VEXL 1] Creating registry key: SOFTWARE\\Vendor\\Product"});
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "1.2.3");
}

TEST_F(RegistryTest, AStoredValueCountsItsTerminatingNul) {
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.3");
    registry::KeyHandle key;
    ASSERT_EQ(registry::openKey(RegistryRoot::LocalMachine, kKey, key), registry::kSuccess);
    unsigned char data[450];
    std::uint32_t size = sizeof data;
    ASSERT_EQ(registry::queryValue(*key, "DisplayVersion", data, size), registry::kSuccess);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(data[5], '\0');
}

TEST_F(RegistryFileTest, AMissingFileIsWrittenInTheExportFormat) {
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.3");
    EXPECT_EQ(readFile(registryPath()),
              exportFile("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
                         "\"DisplayVersion\"=\"1.2.3\"\r\n"));
}

TEST_F(RegistryFileTest, HexDataContinuesOnIndentedLines) {
    writeFile(registryPath(), exportFile("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
                                         "\"Binary\"=hex:34,2e,\\\r\n  32,00\r\n"));
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "Binary"), "4.2");
}

TEST_F(RegistryFileTest, AcceptsTheOlderRegedit4Header) {
    writeFile(registryPath(), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\n"
                              "\"DisplayVersion\"=\"1.20.3\"\n");
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "1.20.3");
}

TEST_F(RegistryFileTest, ReadsUtf16FilesWithAByteOrderMark) {
    writeFile(registryPath(), utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
                                    "\"DisplayVersion\"=\"1.0.5\"\r\n"));
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "1.0.5");
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.0.6");
    EXPECT_EQ(readFile(registryPath()), utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
                                              "\"DisplayVersion\"=\"1.0.6\"\r\n"));
}

TEST_F(RegistryFileTest, AWriteKeepsEverythingElseAnotherProgramWrote) {
    const std::string before = "Windows Registry Editor Version 5.00\n\n"
                               "; exported by the installer\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\n"
                               "\"DisplayName\"=\"Queen of the Skies\"\n"
                               "\"DISPLAYVERSION\"=\"1.0.0\"\n"
                               "\"Flags\"=dword:0000000a\n"
                               "\"Blob\"=hex:01,02,\\\n  03\n"
                               "\n"
                               "[HKEY_CURRENT_USER\\Software\\Sim]\n"
                               "\"AppPath\"=\"D:\\\\P3D\\\\\"\n";
    writeFile(registryPath(), before);
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.0");
    system.writeRegistryString(RegistryRoot::CurrentUser, "Software\\Sim", "Added", "a\\b\"c");
    std::string after = before;
    after.replace(after.find("\"DISPLAYVERSION\"=\"1.0.0\""), 24, "\"DisplayVersion\"=\"1.2.0\"");
    after += "\"Added\"=\"a\\\\b\\\"c\"\n";
    EXPECT_EQ(readFile(registryPath()), after);
    EXPECT_EQ(read(RegistryRoot::CurrentUser, "Software\\Sim", "Added"), "a\\b\"c");
    for (const auto& entry : boost::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST_F(RegistryFileTest, AValueTheFileCannotHoldIsAFailedWrite) {
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1\n2");
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "[VEXL 2] Registry key write failed: SOFTWARE\\Vendor\\Product, DisplayVersion, 1");
    EXPECT_EQ(lines.back(), "2");
}

TEST_F(RegistryFileTest, AWriteKeepsTheFilesLinkAndPermissions) {
    const std::string real = dir.file("dotfiles/registry.reg");
    writeFile(real, exportFile("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"));
    ASSERT_EQ(chmod(real.c_str(), 0600), 0);
    boost::filesystem::create_symlink(real, registryPath());
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.3");
    EXPECT_TRUE(boost::filesystem::is_symlink(registryPath()));
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "1.2.3");
    struct stat status {};
    ASSERT_EQ(stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

TEST_F(RegistryFileTest, AnUnwritableRegistryIsAFailedOpenForWriting) {
    ScopedEnv unwritable("VEXL_REGISTRY", dir.path()); // a folder, not a file
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1.2.3");
    EXPECT_EQ(log.lines().back(), "[VEXL 2] Failed to open registry key for writing!");
}

// Found by fuzzing: a line that ends in a backslash must not swallow the next section.
TEST_F(RegistryFileTest, OnlyIndentedLinesContinueBinaryData) {
    writeFile(registryPath(), exportFile("[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
                                         "\"Odd\"=hex:41,\\\r\n"
                                         "\r\n"
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n"
                                         "\"DisplayVersion\"=\"3.0\"\r\n"));
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "3.0");
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "3.1");
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "3.1");
}

// Found by fuzzing: a UTF-16 file can only hold text that is valid UTF-8 here.
TEST_F(RegistryFileTest, AUtf16FileRefusesBytesThatAreNotText) {
    const std::string before = utf16("Windows Registry Editor Version 5.00\r\n\r\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\r\n");
    writeFile(registryPath(), before);
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "1\xff\xfe");
    EXPECT_EQ(log.lines().back(), "[VEXL 2] Registry key write failed: SOFTWARE\\Vendor\\Product, "
                                  "DisplayVersion, 1\xff\xfe");
    EXPECT_EQ(readFile(registryPath()), before);
    system.writeRegistryString(RegistryRoot::LocalMachine, kKey, "DisplayVersion", "\xc3\xa9");
    EXPECT_EQ(read(RegistryRoot::LocalMachine, kKey, "DisplayVersion"), "\xc3\xa9");
}

// winsim's registry: keys and values under both hives as Windows keeps them, the access a handle
// was opened with, a standard user's HKLM, what a later process and a power cut find, and the
// shell folders key with its counted openings.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <unistd.h>

#include <windows.h>

#include "file_security.h"
#include "registry_tree.h"
#include "security.h"
#include "test_machine.h"

using testing_support::TestMachine;

namespace {

const char Key[] = "software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.machine().shellFolders["Programs"] = "C:\\Windows\\「開始」功能表\\程式集";
        sim.machine().shellFolders["Desktop"] = "C:\\Windows\\Desktop";
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    }
    void TearDown() override { RegCloseKey(key); }
    TestMachine sim;
    HKEY key = nullptr;
};

TEST_F(Registry, CountsOpeningsAndFailsTheChosenOnes) {
    sim.machine().failKeyOpenings = {3, 5};
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER,
                            "SOFTWARE\\MICROSOFT\\windows\\currentversion\\explorer\\shell folders",
                            0, KEY_READ, &other),
              ERROR_SUCCESS)
        << "opening 2, any case";
    EXPECT_NE(other, key) << "a handle per opening";
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_INVALID_HANDLE) << "closed already";

    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key, 0, KEY_ALL_ACCESS, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key, 0, KEY_ALL_ACCESS, &other), ERROR_SUCCESS);
    RegCloseKey(other);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key, 0, KEY_ALL_ACCESS, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim.machine().keyOpenings, 5);

    // Only the Shell Folders key's openings count: its parents and other keys open as they are.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft", 0, KEY_READ, &other),
              ERROR_SUCCESS);
    RegCloseKey(other);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Explorer\\Shell Folders", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim.machine().keyOpenings, 5);
}

TEST_F(Registry, ReadsValuesAsCodePage950StringsWithTheirTerminator) {
    char data[128];
    DWORD type = 0;
    DWORD size = sizeof(data);
    ASSERT_EQ(RegQueryValueExA(key, "programs", nullptr, &type, (LPBYTE)data, &size), ERROR_SUCCESS)
        << "value names in any case";
    EXPECT_EQ(type, (DWORD)REG_SZ);
    std::string expected = winsim::Utf8ToCp950("C:\\Windows\\「開始」功能表\\程式集");
    EXPECT_EQ(std::string(data), expected);
    EXPECT_EQ(size, expected.size() + 1);

    // Size only.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Desktop", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 19u);

    // One byte short: nothing written, the size it needs told.
    std::memset(data, 'x', sizeof(data));
    size = 18;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Desktop", nullptr, &type, (LPBYTE)data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 19u);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(data[0], 'x');
    size = 19;
    EXPECT_EQ(RegQueryValueExA(key, "Desktop", nullptr, nullptr, (LPBYTE)data, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(data, "C:\\Windows\\Desktop");
}

TEST_F(Registry, RefusesMissingValuesBadArgumentsAndUnknownKeys) {
    char data[128] = "x";
    DWORD size = sizeof(data);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Favorites", nullptr, nullptr, (LPBYTE)data, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, (LPBYTE)data, &size),
              ERROR_FILE_NOT_FOUND)
        << "no default value";
    EXPECT_EQ(RegQueryValueExA(key, "Desktop", &reserved, nullptr, (LPBYTE)data, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(key, "Desktop", nullptr, nullptr, (LPBYTE)data, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA((HKEY)0x7777, "Desktop", nullptr, nullptr, (LPBYTE)data, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_STREQ(data, "x");
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, Key, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
}

DWORD ReadDword(HKEY key, const char* name, LONG& result) {
    DWORD value = 0, type = 0, size = sizeof value;
    result = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)&value, &size);
    if (result == ERROR_SUCCESS && (type != REG_DWORD || size != 4))
        result = -1;
    return value;
}

std::string ReadText(HKEY key, const char* name, LONG& result) {
    char text[260] = "";
    DWORD type = 0, size = sizeof text;
    result = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)text, &size);
    if (result == ERROR_SUCCESS && type != REG_SZ)
        result = -1;
    return text;
}

TEST(RegistryKeys, AreMadeFoundInAnyCaseChangedAndDeleted) {
    TestMachine sim;
    HKEY made = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup\\Sub\\", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &made,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY) << "with its parent";
    DWORD identity = 0x12345678;
    const char journal[] = "C:\\Games\\~kelvo-setup-12345678.jnl";
    ASSERT_EQ(RegSetValueExA(made, "Identity", 0, REG_DWORD, (const BYTE*)&identity, 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(made, "Journal", 0, REG_SZ, (const BYTE*)journal, sizeof journal),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\~KELVO-SETUP\\sub", 0, nullptr, 0,
                              KEY_READ, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    LONG result;
    EXPECT_EQ(ReadDword(key, "identity", result), identity);
    EXPECT_EQ(result, ERROR_SUCCESS);
    EXPECT_EQ(ReadText(key, "JOURNAL", result), journal);
    EXPECT_EQ(result, ERROR_SUCCESS);

    // A handle does what it was opened for and no more.
    EXPECT_EQ(RegSetValueExA(key, "Identity", 0, REG_DWORD, (const BYTE*)&identity, 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "Identity"), ERROR_ACCESS_DENIED);
    HKEY writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup\\Sub", 0, KEY_SET_VALUE,
                            &writeOnly),
              ERROR_SUCCESS);
    ReadDword(writeOnly, "Identity", result);
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(writeOnly, "identity"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(writeOnly, "Identity"), ERROR_FILE_NOT_FOUND);
    ReadDword(key, "Identity", result);
    EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);

    // A key with subkeys stays; an empty one goes, and its handles with it.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(writeOnly, ""), ERROR_SUCCESS);
    ReadText(key, "Journal", result);
    EXPECT_EQ(result, ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key),
              ERROR_BAD_PATHNAME);
}

TEST(RegistryKeys, AStandardUserReadsButNeverWritesTheMachinesKeys) {
    TestMachine sim;
    DWORD one = 1;
    sim.machine().registry.Make(winsim::Hive::LocalMachine, {"Software", "Kept"}).values["One"] = {
        REG_DWORD, std::string((const char*)&one, 4)};
    sim.machine().registry.localMachineReadOnly = true;
    HKEY key = nullptr;
    for (REGSAM access : {(REGSAM)KEY_SET_VALUE, (REGSAM)KEY_CREATE_SUB_KEY, (REGSAM)KEY_ALL_ACCESS,
                          (REGSAM)DELETE, (REGSAM)KEY_WRITE, (REGSAM)GENERIC_WRITE}) {
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, access, &key),
                  ERROR_ACCESS_DENIED)
            << std::hex << access;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, nullptr, 0, access,
                                  nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED)
            << std::hex << access;
    }
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_READ, nullptr,
                              &key, nullptr),
              ERROR_ACCESS_DENIED)
        << "no new key, whatever the access";
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Kept"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(HKEY_LOCAL_MACHINE, "Two", 0, REG_DWORD, (const BYTE*)&one, 4),
              ERROR_ACCESS_DENIED);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Kept", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    LONG result;
    EXPECT_EQ(ReadDword(key, "One", result), 1u);
    RegCloseKey(key);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\~kelvo-setup", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << "the user's own keys are the user's";
    RegCloseKey(key);
}

// A machine with a folder, as setup finds it: machine.txt, and registry.txt once a process has
// changed the registry.
class RegistryOnDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(sim.root() / "machine.txt")
            << "shellfolder Desktop \"C:\\Desktop\"\n"
               "registry HKLM \"Software\\Planted Key\" Journal sz "
               "\"D:\\Games\\~kelvo-setup-00000001.jnl\"\n"
               "registry hkcu Software\\Other Count dword 0x10\n";
        Reload();
    }
    // What the next process on the machine finds.
    void Reload() {
        winsim::machine() = winsim::Machine{};
        ASSERT_TRUE(winsim::machine().load(sim.root().string()));
    }
    std::string Text(HKEY root, const char* path, const char* name, LONG& result) {
        HKEY key = nullptr;
        result = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
        if (result != ERROR_SUCCESS)
            return "";
        std::string text = ReadText(key, name, result);
        RegCloseKey(key);
        return text;
    }
    void SetText(HKEY root, const char* path, const char* name, const std::string& text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)text.size() + 1),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
    TestMachine sim;
};

TEST_F(RegistryOnDisk, ALaterProcessFindsEveryChange) {
    LONG result;
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "software\\planted key", "journal", result),
              "D:\\Games\\~kelvo-setup-00000001.jnl");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Other", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, "Count", result), 16u);
    RegCloseKey(key);

    SetText(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", "Folder", "C:\\「開始」");
    SetText(HKEY_CURRENT_USER, winsim::ShellFoldersPath.data(), "Programs", "C:\\Programs");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Planted Key"), ERROR_SUCCESS);
    EXPECT_TRUE(winsim::RegistryUnflushed());
    Reload();
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", "Folder", result), "C:\\「開始」");
    Text(HKEY_LOCAL_MACHINE, "Software\\Planted Key", "Journal", result);
    EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(sim.machine().shellFolders["Programs"], "C:\\Programs");
    EXPECT_EQ(sim.machine().shellFolders["Desktop"], "C:\\Desktop");
    EXPECT_FALSE(winsim::RegistryUnflushed()) << "what a process finds at its start is on the disk";
}

// A key made with a descriptor keeps it, and so does registry.txt; an existing key keeps its own,
// a descriptor that is none makes no key, and Windows 95, 98 and ME keep none.
TEST_F(RegistryOnDisk, AKeyKeepsTheDescriptorItWasMadeWith) {
    auto made = [](const char* path, const std::string& bytes,
                   DWORD version = winsim::Machine::Windows10) {
        winsim::machine().version = version;
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), (void*)bytes.data(), FALSE};
        HKEY key = nullptr;
        DWORD disposition = 0;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS,
                                      &attributes, &key, &disposition);
        if (result == ERROR_SUCCESS)
            RegCloseKey(key);
        return result;
    };
    auto descriptor = [](const char* sddl) {
        return winsim::security::SelfRelativeBytes(*winsim::security::ParseSddl(sddl));
    };
    auto kept = [](const char* path) {
        winsim::RegistryKey* key =
            winsim::machine().registry.Find(winsim::Hive::LocalMachine, winsim::KeyNames(path));
        return key != nullptr ? key->descriptor : std::string("(no key)");
    };
    const char* own = "D:P(A;;0xf003f;;;BA)(A;;0xf003f;;;SY)";
    // Made with no owner: the token's default one, Administrators.
    const std::string owned =
        winsim::security::FormatSddl(*winsim::security::ParseSddl(std::string("O:BA") + own));
    ASSERT_EQ(made("Software\\~kelvo-setup", descriptor(own)), ERROR_SUCCESS);
    EXPECT_EQ(kept("Software\\~kelvo-setup"), owned);
    EXPECT_EQ(made("Software\\~kelvo-setup", descriptor("D:(A;;0xf003f;;;WD)")), ERROR_SUCCESS);
    EXPECT_EQ(kept("Software\\~kelvo-setup"), owned) << "an existing key keeps its own";
    // Another user is kept out of it: no open, not even to read, and no delete.
    {
        const winsim::security::Token user =
            winsim::security::StandardUserToken(winsim::security::OtherUserRid);
        winsim::files::ActingAs other(user);
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, MAXIMUM_ALLOWED, &key),
            ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(made("Software\\Bad", "no descriptor"), ERROR_INVALID_SECURITY_DESCR);
    EXPECT_EQ(kept("Software\\Bad"), "(no key)");
    EXPECT_EQ(made("Software\\Old", descriptor(own), 0xC3B60004), ERROR_SUCCESS);
    EXPECT_EQ(kept("Software\\Old"), "") << "Windows 95 keeps no access list";

    Reload();
    EXPECT_EQ(kept("Software\\~kelvo-setup"), owned);
    EXPECT_EQ(kept("Software\\Planted Key"), "");
}

TEST_F(RegistryOnDisk, APowerCutTakesBackWhatWasNotFlushed) {
    EXPECT_EXIT(
        {
            SetText(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", "Journal", "flushed");
            HKEY key = nullptr;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key);
            if (RegFlushKey(key) != ERROR_SUCCESS || winsim::RegistryUnflushed())
                _exit(1);
            SetText(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", "Journal", "lost");
            SetText(HKEY_CURRENT_USER, "Software\\Lost", "Value", "lost");
            if (!winsim::RegistryUnflushed())
                _exit(2);
            winsim::LoseUnflushedRegistry();
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    Reload();
    LONG result;
    EXPECT_EQ(Text(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", "Journal", result), "flushed");
    Text(HKEY_CURRENT_USER, "Software\\Lost", "Value", result);
    EXPECT_EQ(result, ERROR_FILE_NOT_FOUND);
}

} // namespace

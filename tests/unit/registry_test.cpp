// winsim's registry: the shell folders key, counted openings, and values read as Windows
// hands them out.
#include <gtest/gtest.h>

#include <cstring>

#include <windows.h>

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

    // The machine holds no other key.
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Explorer\\Shell Folders", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
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

} // namespace

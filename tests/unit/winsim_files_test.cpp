// winsim's file calls and threads, with the Windows behaviour the installer relies on.
#include <gtest/gtest.h>

#include <shellapi.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "call_points.h"
#include "test_machine.h"

namespace fs = std::filesystem;
using testing_support::TestMachine;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(size_t bytes, unsigned seed) {
    std::string text(bytes, '\0');
    unsigned value = seed;
    for (char& c : text) {
        value = value * 1103515245u + 12345u;
        c = (char)(value >> 16);
    }
    return text;
}

class WinsimFiles : public ::testing::Test {
  protected:
    void SetUp() override { c = sim.AddFixed('c').hostFolder; }
    // Names (code page 950) and attributes of a whole listing; error is the last error after
    // the listing ended or failed.
    struct Listing {
        std::vector<std::string> names;
        std::vector<WIN32_FIND_DATAA> data;
        DWORD error = 0;
    };
    static Listing List(const std::string& pattern) {
        Listing listing;
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA(pattern.c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) {
            listing.error = GetLastError();
            return listing;
        }
        do {
            listing.names.push_back(found.cFileName);
            listing.data.push_back(found);
        } while (FindNextFileA(find, &found));
        listing.error = GetLastError();
        EXPECT_TRUE(FindClose(find));
        return listing;
    }
    TestMachine sim;
    fs::path c;
};

using Names = std::vector<std::string>;

TEST_F(WinsimFiles, ListsAFolderLikeWindows) {
    TestMachine::WriteFile(c / "game" / "b.txt", "bb");
    TestMachine::WriteFile(c / "game" / "A.dat", "aaaa");
    TestMachine::WriteFile(c / "game" / "sub" / "inner.txt", "x");
    TestMachine::WriteFile(c / "game" / "!first.txt", "");
    fs::permissions(c / "game" / "b.txt", fs::perms::owner_write | fs::perms::group_write,
                    fs::perm_options::remove);

    Listing all = List("C:\\game\\*.*");
    EXPECT_EQ(all.names, (Names{".", "..", "!first.txt", "A.dat", "b.txt", "sub"}));
    EXPECT_EQ(all.error, (DWORD)ERROR_NO_MORE_FILES);
    ASSERT_EQ(all.data.size(), 6u);
    EXPECT_EQ(all.data[0].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(all.data[3].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(all.data[3].nFileSizeLow, 4u);
    EXPECT_EQ(all.data[4].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(all.data[5].dwFileAttributes, (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(all.data[3].ftLastWriteTime.dwHighDateTime, 0u);

    EXPECT_EQ(List("c:\\GAME\\*").names, all.names);
    EXPECT_EQ(List("c:\\game\\B.TXT").names, (Names{"b.txt"}));
    EXPECT_EQ(List("c:\\game\\b*.txt").names, (Names{"b.txt"}));
    EXPECT_EQ(List("c:\\game\\?.DAT").names, (Names{"A.dat"}));
    EXPECT_EQ(List("c:\\game\\sub").names, (Names{"sub"}));
    // A drive's root has no "." or "..".
    EXPECT_EQ(List("c:\\*.*").names, (Names{"game"}));
}

TEST_F(WinsimFiles, TellsAMissingFolderFromAMissingMatch) {
    fs::create_directories(c / "empty");
    TestMachine::WriteFile(c / "game" / "a.txt", "a");
    EXPECT_EQ(List("c:\\nothere\\*.*").error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(List("c:\\game\\a.txt\\*.*").error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(List("q:\\game\\*.*").error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(List("game\\*.*").error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(List("c:\\game\\b.txt").error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(List("c:\\game\\").error, (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(List("c:\\empty\\*.*").names, (Names{".", ".."}));

    // 260 bytes: one too many for the ANSI calls.
    std::string longPattern = "c:\\" + std::string(253, 'x') + "\\*.*";
    EXPECT_EQ(List(longPattern.substr(1)).error, (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(List(longPattern).error, (DWORD)ERROR_FILENAME_EXCED_RANGE);

    WIN32_FIND_DATAA found;
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &found));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FindClose(nullptr));
}

TEST_F(WinsimFiles, PathsNeverLeaveTheirDrive) {
    fs::create_directories(c / "a" / "Bb");
    EXPECT_EQ(winsim::HostPath("c:\\A\\bb\\new.txt"), (c / "a" / "Bb" / "new.txt").string());
    EXPECT_EQ(winsim::HostPath("c:\\a\\..\\..\\..\\x"), (c / "x").string());
    // Also when the drive's folder is written with a closing separator.
    sim.machine().drives['c'].hostFolder = c.string() + "/";
    auto host = winsim::HostPath("c:\\a\\..\\..\\x");
    ASSERT_TRUE(host);
    EXPECT_EQ(fs::path(*host).lexically_normal(), (c / "x").lexically_normal());
}

// 功 is A5 5C in code page 950: its trail byte is a backslash.
TEST_F(WinsimFiles, BigFiveNamesWithABackslashTrailByteRoundTrip) {
    const std::string folder = "\xA5\x5C\xAF\xE0";           // 功能
    const std::string file = "\xA5\x5C\xBD\xD2.txt";         // 功課.txt
    const std::string copy = "\xB3\x5C\xA5\x5C\xA6\x57.txt"; // 許功名.txt
    TestMachine::WriteFile(c / "功能" / "功課.txt", "lesson");

    EXPECT_EQ(List("c:\\*.*").names, (Names{folder}));
    EXPECT_EQ(List("c:\\" + folder + "\\*.*").names, (Names{".", "..", file}));
    EXPECT_EQ(List("c:\\" + folder + "\\" + file).names, (Names{file}));

    std::string to = "c:\\" + folder + "\\" + copy;
    HANDLE made = CreateFileA(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(made));
    EXPECT_TRUE(fs::exists(c / "功能" / "許功名.txt"));
}

// Letter case folds as in Windows' case table, which holds pairs only: final sigma ς (a name
// that code page 950 can't spell, so only a host file has it) is no σ to Σ.
TEST_F(WinsimFiles, FoldsLetterCaseAsTheCaseTableOfWindows) {
    TestMachine::WriteFile(c / "σ.txt", "sigma");
    TestMachine::WriteFile(c / "ς.txt", "final sigma");
    EXPECT_EQ(List("c:\\\xA3\x55*").names, (Names{"\xA3\x6D.txt"})); // Σ*: σ.txt
}

// Reads, writes and the time of last change through handles, as the installer's copy uses them.
class WinsimFileIo : public WinsimFiles {
  protected:
    static HANDLE Open(const char* path, DWORD access, DWORD disposition,
                       DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        return CreateFileA(path, access, 0, nullptr, disposition, attributes, nullptr);
    }
    // Writes text to a new or replaced file; the handle's last error when it can't.
    static DWORD Put(const char* path, const std::string& text) {
        HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
        if (file == INVALID_HANDLE_VALUE)
            return GetLastError();
        DWORD written = 0;
        BOOL wrote = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
        DWORD error = wrote ? 0 : GetLastError();
        EXPECT_TRUE(CloseHandle(file));
        return error;
    }
};

TEST_F(WinsimFileIo, WritesAndReadsBackWholeFiles) {
    std::string big = Pattern(3u << 20, 1);
    ASSERT_EQ(Put("c:\\big.bin", big), 0u);
    EXPECT_EQ(ReadAll(c / "big.bin"), big);
    EXPECT_EQ(GetFileAttributesA("c:\\big.bin"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);

    HANDLE file = Open("C:\\BIG.BIN", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string back;
    char block[65536];
    DWORD read = 0;
    while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0)
        back.append(block, read);
    EXPECT_EQ(read, 0u) << "the end of the file reads as success with nothing";
    EXPECT_EQ(back, big);
    DWORD written = 1;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr)) << "opened for reading only";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    // A shorter file replaces a longer one whole.
    ASSERT_EQ(Put("c:\\Big.bin", "short"), 0u);
    EXPECT_EQ(ReadAll(c / "big.bin"), "short");
    EXPECT_FALSE(fs::exists(c / "Big.bin"));
}

TEST_F(WinsimFileIo, ReplacesOnlyWhatWindowsLetsItReplace) {
    TestMachine::WriteFile(c / "ro.txt", "read-only");
    ASSERT_TRUE(SetFileAttributesA("c:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Put("c:\\ro.txt", "new"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("c:\\ro.txt", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadAll(c / "ro.txt"), "read-only");

    // Hidden and system files are replaced only by a file that asks for the same attributes.
    TestMachine::WriteFile(c / "hidden.txt", "hidden");
    ASSERT_TRUE(
        SetFileAttributesA("c:\\hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesA("c:\\hidden.txt"),
              (DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(Put("c:\\hidden.txt", "new"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(List("c:\\hidden.txt").data.at(0).dwFileAttributes,
              (DWORD)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesA("c:\\hidden.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Put("c:\\hidden.txt", "new"), 0u);
    EXPECT_EQ(ReadAll(c / "hidden.txt"), "new");
    EXPECT_EQ(GetFileAttributesA("c:\\hidden.txt"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);

    // A file created read-only is still written through the handle that made it.
    HANDLE made = Open("c:\\made.txt", GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(made, "abc", 3, &written, nullptr));
    EXPECT_TRUE(CloseHandle(made));
    EXPECT_EQ(ReadAll(c / "made.txt"), "abc");
    EXPECT_EQ(GetFileAttributesA("c:\\made.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(Open("c:\\made.txt", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
}

// A device's name, in any folder, on any drive and with any extension, opens the device as on
// Windows: a disc's nul.dat reads as nothing, a copy to c:\\...\\nul.dat goes nowhere.
TEST_F(WinsimFileIo, ADevicesNameOpensTheDevice) {
    sim.AddCdRom('e');
    fs::path disc = sim.MakeDisc("disc", "KELVO_1");
    TestMachine::WriteFile(disc / "kelvo" / "nul.dat", "on the disc");
    sim.Insert('e', disc);
    HANDLE from = Open("e:\\kelvo\\nul.dat", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(from, INVALID_HANDLE_VALUE);
    char block[64];
    DWORD read = 1;
    EXPECT_TRUE(ReadFile(from, block, sizeof block, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(CloseHandle(from));
    for (const char* name : {"c:\\nul.dat", "c:\\folder\\CON", "c:\\com1.txt", "c:\\Lpt9 .log"}) {
        SCOPED_TRACE(name);
        HANDLE to = Open(name, GENERIC_WRITE, CREATE_NEW);
        ASSERT_NE(to, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(to, "data", 4, &written, nullptr));
        EXPECT_EQ(written, 4u);
        FILETIME time = {1, 1};
        EXPECT_TRUE(SetFileTime(to, nullptr, nullptr, &time));
        EXPECT_TRUE(CloseHandle(to));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(c), {}), 0) << "no file made";
    EXPECT_EQ(ReadAll(disc / "kelvo" / "nul.dat"), "on the disc");
}

TEST_F(WinsimFileIo, FailsOnMissingPlacesFoldersAndDiscs) {
    fs::create_directories(c / "folder");
    EXPECT_EQ(Open("c:\\nothere\\a.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open("c:\\b.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("q:\\a.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open("c:\\folder", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    std::string longName = "c:\\" + std::string(257, 'n');
    EXPECT_EQ(Open(longName.c_str(), GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);

    // A disc is read, never written.
    sim.AddCdRom('e');
    fs::path disc = sim.MakeDisc("disc", "KELVO_1");
    TestMachine::WriteFile(disc / "a.txt", "on the disc");
    sim.Insert('e', disc);
    EXPECT_EQ(Open("e:\\a.txt", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("e:\\b.txt", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    HANDLE read = Open("e:\\a.txt", GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(read, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(read));

    // A file the machine makes unreadable can't be opened for reading.
    TestMachine::WriteFile(c / "secret.txt", "secret");
    sim.machine().unreadable.insert((c / "secret.txt").string());
    EXPECT_EQ(Open("c:\\Secret.txt", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST_F(WinsimFileIo, KeepsTheTimeOfLastChangeItIsGiven) {
    TestMachine::WriteFile(c / "a.txt", "a");
    WIN32_FIND_DATAA found = List("c:\\a.txt").data.at(0);
    Sleep(20);
    HANDLE file = Open("c:\\b.txt", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &found.ftLastWriteTime));
    EXPECT_TRUE(CloseHandle(file));
    // Times are kept to the 100 ns that a FILETIME counts.
    auto apart = fs::last_write_time(c / "a.txt") - fs::last_write_time(c / "b.txt");
    EXPECT_LT(std::chrono::abs(apart), std::chrono::nanoseconds(100));
    EXPECT_EQ(List("c:\\b.txt").data.at(0).ftLastWriteTime.dwLowDateTime,
              found.ftLastWriteTime.dwLowDateTime);
}

TEST_F(WinsimFileIo, AFullDiskFailsTheWriteAndKeepsCount) {
    auto& d = sim.AddFixed('d');
    d.capacity = 5u << 20;
    std::string three = Pattern(3u << 20, 3);
    ASSERT_EQ(Put("d:\\one.bin", three), 0u);
    EXPECT_EQ(sim.machine().drives['d'].written, 3u << 20);
    EXPECT_EQ(Put("d:\\two.bin", three), (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(sim.machine().drives['d'].written, 5u << 20);
    EXPECT_EQ(ReadAll(fs::path(d.hostFolder) / "one.bin"), three);
    // An empty file still fits on the full disk; anything more does not.
    EXPECT_EQ(Put("d:\\none.bin", ""), 0u);
    EXPECT_EQ(Put("d:\\three.bin", "x"), (DWORD)ERROR_DISK_FULL);
}

// The installer goes back inside its journal to write over what it wrote: only bytes past the end
// take room, and a close that fails (as a power cut) puts back the bytes that were written over.
TEST_F(WinsimFileIo, MovesInsideAFileAndWritesOverItWithoutNewRoom) {
    auto& d = sim.AddFixed('d');
    d.capacity = 10;
    ASSERT_EQ(Put("d:\\journal", "0123456789"), 0u);
    HANDLE file = Open("d:\\journal", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(FlushFileBuffers(file));
    DWORD written = 0;
    EXPECT_EQ(SetFilePointer(file, 2, nullptr, FILE_BEGIN), 2u);
    EXPECT_TRUE(WriteFile(file, "AB", 2, &written, nullptr)) << "on a full disk";
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 4u);
    EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_END), 9u);
    EXPECT_FALSE(WriteFile(file, "YZ", 2, &written, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_EQ(written, 1u) << "as far as the room goes";
    EXPECT_EQ(ReadAll(fs::path(d.hostFolder) / "journal"), "01AB45678Y");
    EXPECT_EQ(sim.machine().drives['d'].written, 10u);

    EXPECT_EQ(SetFilePointer(file, -11, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(file, 0, &high, FILE_CURRENT), 10u) << "the position stayed";
    EXPECT_EQ(high, 0);
    char head[3] = {};
    DWORD read = 0;
    ASSERT_EQ(SetFilePointer(file, 1, nullptr, FILE_BEGIN), 1u);
    EXPECT_TRUE(ReadFile(file, head, 2, &read, nullptr));
    EXPECT_STREQ(head, "1A");

    // What was flushed is what a failed close leaves: the old bytes under the new ones too.
    winsim::calls::Plan plan;
    plan.failAt["CloseHandle"] = winsim::calls::Counted().uses["CloseHandle"] + 1;
    winsim::calls::SetPlan(plan);
    EXPECT_FALSE(CloseHandle(file));
    winsim::calls::SetPlan({});
    EXPECT_EQ(ReadAll(fs::path(d.hostFolder) / "journal"), "0123456789");
}

TEST(WinsimVersion, IsWindows10UnlessTheMachineIsTheFirstWindows95) {
    TestMachine sim;
    DWORD version = GetVersion();
    EXPECT_EQ(version & 0x80000000u, 0u) << "the NT line";
    EXPECT_EQ(LOWORD(version), 0x000Au);
    EXPECT_EQ(HIWORD(version), 19041u);
    sim.machine().version = 0xC3B60004;
    version = GetVersion();
    EXPECT_NE(version & 0x80000000u, 0u);
    EXPECT_EQ(LOWORD(version), 0x0004u) << "4.0";
}

class WinsimDelete : public WinsimFiles {
  protected:
    void SetUp() override {
        WinsimFiles::SetUp();
        TestMachine::WriteFile(c / "keep.txt", "root sentinel");
        TestMachine::WriteFile(c / "Games" / "keep.txt", "parent sentinel");
        TestMachine::WriteFile(c / "Games" / "kelvo2" / "keep.txt", "sibling sentinel");
        TestMachine::WriteFile(c / "Games" / "kelvo" / "kelvo.exe", "exe");
        TestMachine::WriteFile(c / "Games" / "kelvo" / "notes.txt", "notes");
        TestMachine::WriteFile(c / "Games" / "kelvo" / "data" / "maps" / "m1.dat", "m1");
        fs::permissions(c / "Games" / "kelvo" / "kelvo.exe",
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        fs::permissions(c / "Games" / "kelvo" / "data" / "maps" / "m1.dat",
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        // A link inside the folder that leads outside it: the link goes, its target stays.
        fs::create_directory_symlink(c / "Games" / "kelvo2",
                                     c / "Games" / "kelvo" / "data" / "outside");
    }
    static int Delete(const std::string& list,
                      FILEOP_FLAGS flags = FOF_NOCONFIRMATION | FOF_SILENT) {
        SHFILEOPSTRUCTA operation{};
        operation.wFunc = FO_DELETE;
        operation.pFrom = list.c_str(); // std::string ends in one NUL; lists add the other
        operation.fFlags = flags;
        return SHFileOperationA(&operation);
    }
    void ExpectSentinels() {
        EXPECT_EQ(ReadAll(c / "keep.txt"), "root sentinel");
        EXPECT_EQ(ReadAll(c / "Games" / "keep.txt"), "parent sentinel");
        EXPECT_EQ(ReadAll(c / "Games" / "kelvo2" / "keep.txt"), "sibling sentinel");
    }
    size_t CountInstalled() {
        size_t count = 0;
        for (auto it = fs::recursive_directory_iterator(c / "Games" / "kelvo");
             it != fs::recursive_directory_iterator(); ++it)
            ++count;
        return count;
    }
};

TEST_F(WinsimDelete, EmptiesTheFolderAndNothingElse) {
    EXPECT_EQ(Delete(std::string("c:\\games\\KELVO\\*.*") + '\0'), 0);
    EXPECT_TRUE(fs::is_directory(c / "Games" / "kelvo"));
    EXPECT_EQ(CountInstalled(), 0u);
    ExpectSentinels();
    // Nothing left to match is no failure.
    EXPECT_EQ(Delete(std::string("c:\\games\\kelvo\\*") + '\0'), 0);
}

TEST_F(WinsimDelete, DeletesOneNamedEntryOrMatchingFiles) {
    EXPECT_EQ(Delete(std::string("c:\\Games\\kelvo\\*.txt") + '\0'), 0);
    EXPECT_FALSE(fs::exists(c / "Games" / "kelvo" / "notes.txt"));
    EXPECT_TRUE(fs::exists(c / "Games" / "kelvo" / "kelvo.exe"));
    EXPECT_EQ(Delete(std::string("c:\\Games\\kelvo\\*.*") + '\0', FOF_FILESONLY), 0);
    EXPECT_FALSE(fs::exists(c / "Games" / "kelvo" / "kelvo.exe"));
    EXPECT_TRUE(fs::exists(c / "Games" / "kelvo" / "data" / "maps" / "m1.dat"));
    EXPECT_EQ(Delete(std::string("c:\\Games\\kelvo\\data") + '\0'), 0);
    EXPECT_FALSE(fs::exists(c / "Games" / "kelvo" / "data"));
    EXPECT_NE(Delete(std::string("c:\\Games\\kelvo\\data") + '\0'), 0) << "gone already";
    EXPECT_NE(Delete(std::string("c:\\Games\\nothere\\*.*") + '\0'), 0);
    ExpectSentinels();
}

TEST_F(WinsimDelete, RefusesListsThatCouldReachTooFar) {
    fs::path disc = sim.MakeDisc("one", "KELVO_1");
    TestMachine::WriteFile(disc / "kelvo" / "kelvo.exe", "exe");
    sim.AddCdRom('e');
    sim.Insert('e', disc);
    const std::vector<std::string> refused = {
        std::string("\0", 1),
        "c:*.*",
        "Games\\kelvo\\*.*",
        "\\Games\\kelvo\\*.*",
        "c:\\Games\\k*\\data",
        "c:\\Games\\kelvo\\",
        "c:\\Games\\kelvo\\..",
        "c:\\Games\\kelvo\\.",
        "c:\\",
        "e:\\kelvo\\*.*",
        "c:\\Games\\" + std::string(250, 'x') + "\\*.*",
    };
    for (const auto& entry : refused) {
        EXPECT_NE(Delete(entry + '\0'), 0) << entry;
        // A refused entry anywhere in a list stops the whole list.
        if (entry[0] != '\0') {
            EXPECT_NE(Delete(std::string("c:\\Games\\kelvo\\*.*") + '\0' + entry + '\0'), 0)
                << entry;
        }
    }
    EXPECT_EQ(CountInstalled(), 6u);
    ExpectSentinels();
    EXPECT_TRUE(fs::exists(disc / "kelvo" / "kelvo.exe"));

    SHFILEOPSTRUCTA noList{};
    noList.wFunc = FO_DELETE;
    EXPECT_NE(SHFileOperationA(&noList), 0);
    SHFILEOPSTRUCTA copy{};
    copy.wFunc = FO_COPY;
    std::string from = std::string("c:\\Games\\kelvo\\*.*") + '\0';
    copy.pFrom = from.c_str();
    EXPECT_NE(SHFileOperationA(&copy), 0);
    EXPECT_EQ(CountInstalled(), 6u);
}

// The main thread's calls are moments too: counted, and a power cut can come before one.
TEST(WinsimThreads, TheMainThreadIsKilledAndCountedLikeAnyOther) {
    TestMachine sim;
    fs::path c = sim.AddFixed('c').hostFolder;
    EXPECT_EXIT(
        {
            winsim::calls::Plan plan;
            plan.killThread = 0;
            plan.killBeforeCall = 4;
            plan.powerCut = true;
            winsim::calls::SetPlan(plan);
            winsim::calls::StartThread(0);
            HANDLE file = CreateFileA("c:\\cut.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, "lost", 4, &written, nullptr);
            GetFileAttributesA("c:\\cut.txt");
            std::ofstream(c / "report.txt") << winsim::calls::Report();
            GetFileAttributesA("c:\\cut.txt");
            _exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(ReadAll(c / "cut.txt"), "") << "the power cut took the write back";
    std::string report = ReadAll(c / "report.txt");
    EXPECT_NE(report.find("thread 0 3\n"), std::string::npos) << report;
    EXPECT_NE(report.find("unflushed 0 3 3\n"), std::string::npos) << report;
}

// A kill falls between another thread's whole calls: a folder made with its access list is
// there with it, or not at all. The other thread makes no call after the kill is due.
TEST(WinsimThreads, AKillWaitsForTheWholeCallAnotherThreadIsIn) {
    TestMachine sim;
    fs::path c = sim.AddFixed('c').hostFolder;
    EXPECT_EXIT(
        {
            winsim::calls::Plan plan;
            plan.killThread = 0;
            plan.killBeforeCall = 1;
            winsim::calls::SetPlan(plan);
            std::atomic<bool> inside{false};
            std::thread other([&] {
                winsim::calls::StartThread(1);
                {
                    winsim::calls::Scope call("CreateDirectoryA",
                                              winsim::calls::Point | winsim::calls::Whole);
                    inside = true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    std::ofstream(c / "whole.txt") << "made";
                }
                GetFileAttributesA("c:\\whole.txt");
                std::ofstream(c / "after.txt") << "a call after the kill";
            });
            while (!inside)
                std::this_thread::yield();
            winsim::calls::StartThread(0);
            GetFileAttributesA("c:\\");
            _exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(ReadAll(c / "whole.txt"), "made");
    EXPECT_FALSE(fs::exists(c / "after.txt"));
}

DWORD WINAPI ReportId(LPVOID parameter) {
    *static_cast<DWORD*>(parameter) = GetCurrentThreadId();
    return 7;
}

DWORD WINAPI WaitForGo(LPVOID parameter) {
    auto* go = static_cast<std::atomic<bool>*>(parameter);
    while (!go->load())
        Sleep(1);
    return 0;
}

TEST(WinsimThreads, ReportTheIdTheThreadSees) {
    constexpr int Count = 8;
    DWORD seen[Count] = {};
    DWORD reported[Count] = {};
    HANDLE threads[Count];
    for (int i = 0; i < Count; ++i) {
        threads[i] = CreateThread(nullptr, 0, ReportId, &seen[i], 0, &reported[i]);
        ASSERT_NE(threads[i], nullptr);
    }
    std::set<DWORD> ids = {GetCurrentThreadId()};
    for (int i = 0; i < Count; ++i) {
        EXPECT_EQ(WaitForSingleObject(threads[i], INFINITE), (DWORD)WAIT_OBJECT_0);
        EXPECT_EQ(seen[i], reported[i]);
        EXPECT_NE(reported[i], 0u);
        ids.insert(reported[i]);
        // A thread that has ended still answers at once.
        EXPECT_EQ(WaitForSingleObject(threads[i], 0), (DWORD)WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(threads[i]));
    }
    EXPECT_EQ(ids.size(), (size_t)Count + 1);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(WinsimThreads, WaitsTimeOutWhileTheThreadRuns) {
    std::atomic<bool> go{false};
    HANDLE thread = CreateThread(nullptr, 0, WaitForGo, &go, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 0), (DWORD)WAIT_TIMEOUT);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(thread, 30), (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

    go = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), (DWORD)WAIT_OBJECT_0);

    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

} // namespace

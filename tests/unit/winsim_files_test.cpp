// winsim's file calls and threads, with the Windows behaviour the installer relies on.
#include <gtest/gtest.h>

#include <shellapi.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

bool Writable(const fs::path& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
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

    std::string from = "c:\\" + folder + "\\" + file;
    std::string to = "c:\\" + folder + "\\" + copy;
    ASSERT_TRUE(CopyFileExA(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(ReadAll(c / "功能" / "許功名.txt"), "lesson");
}

struct ProgressLog {
    std::vector<DWORD> reasons;
    std::vector<LONGLONG> transferred;
    LONGLONG total = 0;
    size_t cancelAfter = SIZE_MAX; // calls before the answer becomes answer
    DWORD answer = PROGRESS_CANCEL;
    LPBOOL cancelFlag = nullptr;
};

DWORD CALLBACK LogProgress(LARGE_INTEGER total, LARGE_INTEGER transferred, LARGE_INTEGER,
                           LARGE_INTEGER, DWORD, DWORD reason, HANDLE, HANDLE, LPVOID data) {
    auto* log = static_cast<ProgressLog*>(data);
    log->reasons.push_back(reason);
    log->transferred.push_back(transferred.QuadPart);
    log->total = total.QuadPart;
    if (log->reasons.size() <= log->cancelAfter)
        return PROGRESS_CONTINUE;
    if (log->cancelFlag != nullptr) {
        *log->cancelFlag = TRUE;
        return PROGRESS_CONTINUE;
    }
    return log->answer;
}

class WinsimCopy : public WinsimFiles {
  protected:
    static BOOL Copy(const char* from, const char* to, ProgressLog* log = nullptr,
                     LPBOOL cancel = nullptr) {
        return CopyFileExA(from, to, log == nullptr ? nullptr : LogProgress, log, cancel, 0);
    }
};

TEST_F(WinsimCopy, CopiesInChunksAndReportsEachOne) {
    std::string big = Pattern(9u << 20, 1);
    TestMachine::WriteFile(c / "src" / "big.bin", big);
    TestMachine::WriteFile(c / "src" / "empty.bin", "");
    fs::create_directories(c / "dst");

    ProgressLog log;
    ASSERT_TRUE(Copy("c:\\src\\big.bin", "c:\\dst\\big.bin", &log));
    EXPECT_EQ(ReadAll(c / "dst" / "big.bin"), big);
    EXPECT_EQ(log.reasons, (std::vector<DWORD>{CALLBACK_STREAM_SWITCH, CALLBACK_CHUNK_FINISHED,
                                               CALLBACK_CHUNK_FINISHED, CALLBACK_CHUNK_FINISHED}));
    EXPECT_EQ(log.transferred.front(), 0);
    EXPECT_EQ(log.transferred.back(), (LONGLONG)big.size());
    EXPECT_EQ(log.total, (LONGLONG)big.size());

    ASSERT_TRUE(Copy("c:\\src\\empty.bin", "c:\\dst\\empty.bin"));
    EXPECT_TRUE(fs::exists(c / "dst" / "empty.bin"));
    EXPECT_EQ(fs::file_size(c / "dst" / "empty.bin"), 0u);
    EXPECT_EQ(fs::last_write_time(c / "dst" / "big.bin"),
              fs::last_write_time(c / "src" / "big.bin"));
}

TEST_F(WinsimCopy, ReplacesAWritableFileButNotAReadOnlyOne) {
    TestMachine::WriteFile(c / "new.txt", "new");
    TestMachine::WriteFile(c / "old.txt", "old but longer");
    ASSERT_TRUE(Copy("c:\\new.txt", "c:\\OLD.TXT"));
    EXPECT_EQ(ReadAll(c / "old.txt"), "new");
    EXPECT_FALSE(fs::exists(c / "OLD.TXT"));

    ASSERT_TRUE(SetFileAttributesA("c:\\old.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(Writable(c / "old.txt"));
    EXPECT_EQ(GetFileAttributesA("c:\\old.txt"), (DWORD)FILE_ATTRIBUTE_READONLY);
    TestMachine::WriteFile(c / "newer.txt", "newer");
    EXPECT_FALSE(Copy("c:\\newer.txt", "c:\\old.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadAll(c / "old.txt"), "new");

    // The copy of a read-only file is read-only; clearing the attribute makes it writable.
    ASSERT_TRUE(Copy("c:\\old.txt", "c:\\copy.txt"));
    EXPECT_FALSE(Writable(c / "copy.txt"));
    ASSERT_TRUE(SetFileAttributesA("c:\\old.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(Writable(c / "old.txt"));
    ASSERT_TRUE(Copy("c:\\newer.txt", "c:\\old.txt"));
    EXPECT_EQ(ReadAll(c / "old.txt"), "newer");
    EXPECT_FALSE(SetFileAttributesA("c:\\none.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(WinsimCopy, FailsOnMissingPlacesAndLeavesTheSourceAlone) {
    TestMachine::WriteFile(c / "a.txt", "a");
    fs::create_directories(c / "folder");
    EXPECT_FALSE(Copy("c:\\a.txt", "c:\\nothere\\a.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(Copy("c:\\b.txt", "c:\\b2.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Copy("c:\\nothere\\b.txt", "c:\\b2.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(Copy("c:\\a.txt", "q:\\a.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(Copy("c:\\a.txt", "c:\\folder"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Copy("c:\\folder", "c:\\f2"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    // Onto itself, under another spelling: refused, not truncated.
    EXPECT_FALSE(Copy("c:\\a.txt", "C:\\folder\\..\\A.TXT"));
    EXPECT_EQ(ReadAll(c / "a.txt"), "a");
    EXPECT_FALSE(CopyFileExA("c:\\a.txt", "c:\\a2.txt", nullptr, nullptr, nullptr, 1));
    EXPECT_FALSE(fs::exists(c / "a2.txt"));

    std::string longName = "c:\\" + std::string(257, 'n');
    EXPECT_FALSE(Copy("c:\\a.txt", longName.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(Copy(longName.c_str(), "c:\\a3.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(WinsimCopy, CancelAndStopLeaveNoDestination) {
    TestMachine::WriteFile(c / "big.bin", Pattern(9u << 20, 2));
    TestMachine::WriteFile(c / "kept.bin", "kept");

    for (DWORD answer : {PROGRESS_CANCEL, PROGRESS_STOP}) {
        ProgressLog log;
        log.cancelAfter = 2;
        log.answer = answer;
        EXPECT_FALSE(Copy("c:\\big.bin", "c:\\copy.bin", &log));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_REQUEST_ABORTED);
        EXPECT_FALSE(fs::exists(c / "copy.bin"));
        EXPECT_EQ(log.reasons.size(), 3u) << "no chunk after the answer";
    }

    ProgressLog atStart;
    atStart.cancelAfter = 0;
    EXPECT_FALSE(Copy("c:\\big.bin", "c:\\kept.bin", &atStart));
    EXPECT_FALSE(fs::exists(c / "kept.bin")) << "a replaced file is gone, as on Windows";

    BOOL cancel = FALSE;
    ProgressLog flag;
    flag.cancelAfter = 1;
    flag.cancelFlag = &cancel;
    EXPECT_FALSE(Copy("c:\\big.bin", "c:\\copy.bin", &flag, &cancel));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_REQUEST_ABORTED);
    EXPECT_FALSE(fs::exists(c / "copy.bin"));
    EXPECT_EQ(flag.reasons.size(), 2u);

    ProgressLog quiet;
    quiet.cancelAfter = 0;
    quiet.answer = PROGRESS_QUIET;
    EXPECT_TRUE(Copy("c:\\big.bin", "c:\\copy.bin", &quiet));
    EXPECT_EQ(quiet.reasons.size(), 1u);
}

TEST_F(WinsimCopy, AnUnreadableSourceCopiesNothing) {
    TestMachine::WriteFile(c / "secret.txt", "secret");
    TestMachine::WriteFile(c / "there.txt", "there");
    sim.machine().unreadable.insert((c / "secret.txt").string());
    EXPECT_FALSE(Copy("c:\\Secret.txt", "c:\\copy.txt"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(c / "copy.txt"));
    EXPECT_FALSE(Copy("c:\\secret.txt", "c:\\there.txt"));
    EXPECT_EQ(ReadAll(c / "there.txt"), "there");
}

TEST_F(WinsimCopy, AFullDiskFailsTheCopyAndKeepsCount) {
    auto& d = sim.AddFixed('d');
    d.capacity = 5u << 20;
    std::string three = Pattern(3u << 20, 3);
    TestMachine::WriteFile(c / "three.bin", three);

    ASSERT_TRUE(Copy("c:\\three.bin", "d:\\one.bin"));
    EXPECT_EQ(sim.machine().drives['d'].written, 3u << 20);
    ProgressLog log;
    EXPECT_FALSE(Copy("c:\\three.bin", "d:\\two.bin", &log));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_FALSE(fs::exists(fs::path(d.hostFolder) / "two.bin"));
    EXPECT_EQ(sim.machine().drives['d'].written, 5u << 20);
    EXPECT_EQ(ReadAll(fs::path(d.hostFolder) / "one.bin"), three);

    // An empty file still fits on the full disk; anything more does not.
    TestMachine::WriteFile(c / "none.bin", "");
    EXPECT_TRUE(Copy("c:\\none.bin", "d:\\none.bin"));
    EXPECT_FALSE(Copy("c:\\three.bin", "d:\\three.bin"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
}

// Across file systems the kernel's copy gives way to reads and writes.
TEST_F(WinsimCopy, CopiesBetweenFileSystems) {
    std::error_code error;
    fs::path other = fs::path("/dev/shm") / ("winsim-test-" + std::to_string(getpid()));
    if (!fs::create_directory(other, error))
        GTEST_SKIP() << "no second file system at /dev/shm";
    struct Cleanup {
        fs::path folder;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
    } cleanup{other};
    auto& m = sim.AddFixed('m');
    m.hostFolder = other.string();
    m.capacity = 12u << 20;

    std::string big = Pattern((9u << 20) + 5, 4);
    TestMachine::WriteFile(c / "big.bin", big);
    ProgressLog log;
    ASSERT_TRUE(Copy("c:\\big.bin", "m:\\big.bin", &log));
    EXPECT_EQ(ReadAll(other / "big.bin"), big);
    EXPECT_EQ(log.reasons.size(), 4u);
    ASSERT_TRUE(Copy("m:\\big.bin", "c:\\back.bin"));
    EXPECT_EQ(ReadAll(c / "back.bin"), big);
    EXPECT_FALSE(Copy("c:\\back.bin", "m:\\again.bin"));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DISK_FULL);
    EXPECT_FALSE(fs::exists(other / "again.bin"));
    EXPECT_EQ(sim.machine().drives['m'].written, 12u << 20);
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
        "c:\\*.*",
        "C:\\*",
        "c:/k*",
        "c:\\Games\\kelvo\\..\\..\\*.*",
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

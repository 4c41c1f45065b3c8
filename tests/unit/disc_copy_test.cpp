// The disc copy and the removal of what it installed, on a simulated PC.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/install_state.h"
#include "call_points.h"
#include "media/disc_copy.h"
#include "media/install_record.h"
#include "test_machine.h"

namespace fs = std::filesystem;
using testing_support::TestMachine;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t CountFiles(const fs::path& folder) {
    size_t count = 0;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        count += it->is_regular_file() ? 1 : 0;
    return count;
}

// Makes the next use of a call fail (the plan counts uses over the whole process), until the
// object goes.
class FailNext {
  public:
    explicit FailNext(const char* call, int later = 1) {
        winsim::calls::Plan plan;
        plan.failAt[call] = winsim::calls::Counted().uses[call] + later;
        winsim::calls::SetPlan(plan);
    }
    ~FailNext() { winsim::calls::SetPlan({}); }
};

// Lets go of what the record holds without removing anything.
void DiscardRecord() {
    if (InstallState.written != nullptr)
        HeapFree(GetProcessHeap(), 0, InstallState.written);
    InstallState.written = nullptr;
    InstallState.writtenLength = 0;
    InstallState.writtenRoom = 0;
}

class DiscCopy : public ::testing::Test {
  protected:
    void SetUp() override {
        c = sim.AddFixed('c').hostFolder;
        sim.AddCdRom('e');
        disc1 = sim.MakeDisc("disc1", "KELVO_1");
        TestMachine::WriteFile(disc1 / "kelvo" / "kelvo.exe", "game");
        TestMachine::WriteFile(disc1 / "kelvo" / "pixie.exe", "pixie");
        TestMachine::WriteFile(disc1 / "kelvo" / "ReadMe.txt", "read me");
        TestMachine::WriteFile(disc1 / "kelvo" / "data" / "shared.dat", "from disc 1");
        TestMachine::WriteFile(disc1 / "kelvo" / "data" / "maps" / "m1.map", "map one");
        fs::create_directories(disc1 / "kelvo" / "empty");
        TestMachine::WriteFile(disc1 / "Directx" / "DX6User.exe", "directx");
        sim.Insert('e', disc1);

        saved = InstallState;
        std::strcpy(InstallState.cdRoot, "e:\\");
        std::strcpy(InstallState.installDir, "C:\\Program Files\\Kelvo Co\\kelvo");
        std::memset(InstallState.workBuffer, 'x', sizeof InstallState.workBuffer);
        InstallState.installEnding = INSTALL_RUNNING;
    }
    void TearDown() override {
        DiscardRecord();
        std::memcpy(InstallState.installDir, saved.installDir, sizeof saved.installDir);
        std::memcpy(InstallState.cdRoot, saved.cdRoot, sizeof saved.cdRoot);
        std::memcpy(InstallState.workBuffer, saved.workBuffer, sizeof saved.workBuffer);
        InstallState.installEnding = saved.installEnding;
    }
    fs::path Installed() const { return c / "Program Files" / "Kelvo Co" / "kelvo"; }

    TestMachine sim;
    fs::path c, disc1;
    INSTALLSTATE saved;
};

TEST_F(DiscCopy, CopiesTheProductFolderIntoFoldersItMakes) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game");
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
    EXPECT_EQ(ReadAll(Installed() / "ReadMe.txt"), "read me");
    EXPECT_EQ(ReadAll(Installed() / "data" / "shared.dat"), "from disc 1");
    EXPECT_EQ(ReadAll(Installed() / "data" / "maps" / "m1.map"), "map one");
    EXPECT_TRUE(fs::is_directory(Installed() / "empty"));
    EXPECT_EQ(CountFiles(Installed()), 5u);
    EXPECT_EQ(CountFiles(c), 5u) << "nothing from outside the product folder";
}

TEST_F(DiscCopy, ReplacesWhatIsThereAndTheFirstDiscsFiles) {
    TestMachine::WriteFile(Installed() / "kelvo.exe", "an older game, longer");
    TestMachine::WriteFile(Installed() / "data" / "maps" / "m1.map", "old map");
    fs::permissions(Installed() / "data" / "maps" / "m1.map",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game");
    EXPECT_EQ(ReadAll(Installed() / "data" / "maps" / "m1.map"), "map one");

    fs::path disc2 = sim.MakeDisc("disc2", "KELVO_2");
    TestMachine::WriteFile(disc2 / "kelvo" / "data" / "shared.dat", "from disc 2");
    TestMachine::WriteFile(disc2 / "kelvo" / "data" / "two.dat", "two");
    sim.Insert('e', disc2);
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(Installed() / "data" / "shared.dat"), "from disc 2");
    EXPECT_EQ(ReadAll(Installed() / "data" / "two.dat"), "two");
    EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game");
    EXPECT_EQ(CountFiles(Installed()), 6u);
}

TEST_F(DiscCopy, BigFiveNamesOnTheDiscArriveIntact) {
    TestMachine::WriteFile(disc1 / "kelvo" / "功能" / "功課.txt", "lesson");
    // The install folder itself holds 功 (A5 5C) too.
    std::strcpy(InstallState.installDir, "C:\\\xA5\x5C\\kelvo");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(c / "功" / "kelvo" / "功能" / "功課.txt"), "lesson");
}

TEST_F(DiscCopy, InstalledFilesAreTheUsersWhateverTheDiscsCarry) {
    // Every file on a CD is read-only; what lands on the disk is not, and keeps its time.
    for (auto& entry : fs::recursive_directory_iterator(disc1 / "kelvo"))
        if (entry.is_regular_file())
            fs::permissions(entry.path(),
                            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // What an earlier install left: read-only, hidden and system files are replaced too.
    TestMachine::WriteFile(Installed() / "kelvo.exe", "old");
    TestMachine::WriteFile(Installed() / "pixie.exe", "old");
    TestMachine::WriteFile(Installed() / "ReadMe.txt", "old");
    ASSERT_TRUE(SetFileAttributesA("C:\\Program Files\\Kelvo Co\\kelvo\\kelvo.exe",
                                   FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(
        SetFileAttributesA("C:\\Program Files\\Kelvo Co\\kelvo\\pixie.exe", FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesA("C:\\Program Files\\Kelvo Co\\kelvo\\ReadMe.txt",
                                   FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));

    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    for (const char* name : {"kelvo.exe", "pixie.exe", "ReadMe.txt", "data\\maps\\m1.map"}) {
        std::string path = std::string(InstallState.installDir) + "\\" + name;
        EXPECT_EQ(GetFileAttributesA(path.c_str()), (DWORD)FILE_ATTRIBUTE_ARCHIVE) << name;
    }
    EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game");
    EXPECT_EQ(ReadAll(Installed() / "ReadMe.txt"), "read me");
    auto apart = fs::last_write_time(Installed() / "data" / "maps" / "m1.map") -
                 fs::last_write_time(disc1 / "kelvo" / "data" / "maps" / "m1.map");
    EXPECT_LT(std::chrono::abs(apart), std::chrono::microseconds(1));
}

TEST_F(DiscCopy, AFolderNameEndingInATrailBackslashIsCopiedWhole) {
    // 武功 is AA 5A A5 5C in code page 950: the name's last byte is 0x5C.
    TestMachine::WriteFile(disc1 / "kelvo" / "武功" / "招式.dat", "moves");
    TestMachine::WriteFile(disc1 / "kelvo" / "武功" / "內功" / "心法.dat", "heart");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(Installed() / "武功" / "招式.dat"), "moves");
    EXPECT_EQ(ReadAll(Installed() / "武功" / "內功" / "心法.dat"), "heart");
    EXPECT_EQ(CountFiles(Installed()), 7u) << "nothing under a name run together";
}

TEST_F(DiscCopy, AFolderThatCantBeListedWholeFailsTheCopy) {
    TestMachine::WriteFile(disc1 / "kelvo" / "locked" / "a.dat", "a");
    sim.machine().unreadable.insert((disc1 / "kelvo" / "locked").string());
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    sim.machine().unreadable.clear();
    // A listing that fails midway is no end of the folder.
    FailNext failed("FindNextFileA", 3);
    EXPECT_NE(CopyDiscTree(nullptr), 0);
}

TEST_F(DiscCopy, FailsWhenTheDiscCantBeCopiedWhole) {
    fs::path other = sim.MakeDisc("other", "KELVO_2");
    TestMachine::WriteFile(other / "Directx" / "DX6User.exe", "directx");
    sim.Insert('e', other);
    EXPECT_NE(CopyDiscTree(nullptr), 0) << "no product folder";
    EXPECT_FALSE(fs::exists(Installed()));

    sim.Eject('e');
    EXPECT_NE(CopyDiscTree(nullptr), 0) << "no disc";

    sim.Insert('e', disc1);
    sim.machine().unreadable.insert((disc1 / "kelvo" / "data" / "maps" / "m1.map").string());
    EXPECT_NE(CopyDiscTree(nullptr), 0) << "unreadable file";
    EXPECT_FALSE(fs::exists(Installed() / "data" / "maps" / "m1.map"));
    sim.machine().unreadable.clear();

    sim.machine().drives['c'].capacity = 20;
    EXPECT_NE(CopyDiscTree(nullptr), 0) << "disk full";
    EXPECT_LE(sim.machine().drives['c'].written, 20u);
}

// A close that fails loses what the copy wrote: the file is not whole, and the copy fails.
TEST_F(DiscCopy, AFileWhoseCloseFailsFailsTheCopy) {
    HANDLE file = CreateFileA("C:\\lost.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(file, "data", 4, &put, nullptr));
    {
        FailNext failed("CloseHandle");
        EXPECT_FALSE(CloseHandle(file));
    }
    EXPECT_EQ(ReadAll(c / "lost.txt"), "") << "what was written went with the failed close";

    FailNext failed("CloseHandle");
    EXPECT_NE(CopyDiscTree(nullptr), 0);
}

TEST_F(DiscCopy, AFileTimeThatCantBeSetLeavesTheCopyWhole) {
    FailNext failed("SetFileTime");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game");
    EXPECT_EQ(CountFiles(Installed()), 5u);
}

TEST_F(DiscCopy, PathsThatPassMaxPathFailWithoutOverrunningBuffers) {
    // An install folder of the longest accepted length; the disc's deeper names don't fit.
    std::string folder = "C:";
    while (folder.size() + 51 <= INSTALL_DIR_MAX_LENGTH)
        folder += "\\" + std::string(50, 'f');
    folder.resize(INSTALL_DIR_MAX_LENGTH, 'g');
    std::strcpy(InstallState.installDir, folder.c_str());
    TestMachine::WriteFile(disc1 / "kelvo" / "data" / "maps" / "a-rather-long-map-name.map", "m");

    char before[sizeof InstallState.installDir];
    std::memcpy(before, InstallState.installDir, sizeof before);
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(std::memcmp(before, InstallState.installDir, sizeof before), 0);
    EXPECT_STREQ(InstallState.cdRoot, "e:\\");
    // Nothing was made under a shortened name either.
    for (auto it = fs::recursive_directory_iterator(c); it != fs::recursive_directory_iterator();
         ++it)
        EXPECT_LT(it->path().string().size() - c.string().size(), (size_t)MAX_PATH) << it->path();
}

// The user's cancel from another thread, once the copy has made `files` files in `folder`. The
// disc holds a named pipe a little further on, which holds the copy in its opening until the cancel
// is set: the copy can't finish first.
struct CancelPlan {
    fs::path folder;
    size_t files = 0;
    fs::path pipe;
    std::atomic<bool> copyReturned{false};
};

DWORD WINAPI CancelWhenFilesExist(LPVOID parameter) {
    auto* plan = static_cast<CancelPlan*>(parameter);
    while (!plan->copyReturned && CountFiles(plan->folder) < plan->files)
        Sleep(1);
    SetFlag(&InstallState.installEnding, INSTALL_CANCELLED);
    // Lets the copy through the pipe if it got there.
    int writer = -1;
    while (!plan->copyReturned && writer < 0) {
        writer = open(plan->pipe.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer < 0)
            Sleep(1);
    }
    if (writer >= 0)
        close(writer);
    return 0;
}

TEST_F(DiscCopy, ACancelStopsTheCopyMidway) {
    for (char name = 'a'; name <= 'z'; ++name)
        TestMachine::WriteFile(disc1 / "kelvo" / "files" / (std::string(1, name) + ".dat"), "x");
    CancelPlan plan;
    plan.folder = Installed() / "files";
    plan.files = 13; // a.dat to m.dat
    plan.pipe = disc1 / "kelvo" / "files" / "m.pipe";
    ASSERT_EQ(mkfifo(plan.pipe.c_str(), 0644), 0);

    HANDLE canceller = CreateThread(nullptr, 0, CancelWhenFilesExist, &plan, 0, nullptr);
    ASSERT_NE(canceller, nullptr);
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    plan.copyReturned = true;
    EXPECT_EQ(WaitForSingleObject(canceller, INFINITE), (DWORD)WAIT_OBJECT_0);
    for (char name = 'a'; name <= 'l'; ++name)
        EXPECT_EQ(ReadAll(Installed() / "files" / (std::string(1, name) + ".dat")), "x") << name;
    for (char name = 'n'; name <= 'z'; ++name)
        EXPECT_FALSE(fs::exists(Installed() / "files" / (std::string(1, name) + ".dat"))) << name;
    EXPECT_FALSE(fs::exists(Installed() / "kelvo.exe")) << "after the cancel in name order";

    // Cancelled before it starts: nothing is copied.
    fs::remove(plan.pipe);
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    EXPECT_FALSE(fs::exists(Installed() / "kelvo.exe"));
    EXPECT_FALSE(fs::exists(Installed() / "files" / "n.dat"));
}

// Inside a file of several blocks too, a cancel is felt before the next block: the copy reads
// none after it but the one it may already be waiting for. The disc's file is a named pipe fed
// one block at a time; the cancel comes once the first block has been written.
TEST_F(DiscCopy, ACancelStopsTheCopyInsideAFile) {
    constexpr size_t Block = 65536;
    fs::path pipe = disc1 / "kelvo" / "big.dat";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    signal(SIGPIPE, SIG_IGN); // the copy may close its end before the last block is written
    auto readFiles = [] { return winsim::calls::Counted().uses["ReadFile"]; };
    int readAtCancel = 0;
    std::thread disc([&] {
        int writer = open(pipe.c_str(), O_WRONLY);
        std::string block(Block, 'b');
        EXPECT_EQ(write(writer, block.data(), Block), (ssize_t)Block);
        while (!fs::exists(Installed() / "big.dat") ||
               fs::file_size(Installed() / "big.dat") < Block)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        readAtCancel = readFiles();
        SetFlag(&InstallState.installEnding, INSTALL_CANCELLED);
        for (int more = 0; more < 2; ++more) {
            ssize_t written = write(writer, block.data(), Block);
            (void)written;
        }
        close(writer);
    });
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    disc.join();
    EXPECT_LE(readFiles() - readAtCancel, 1) << "blocks read after the cancel";
    EXPECT_LE(fs::file_size(Installed() / "big.dat"), 2 * Block);
}

class RemoveInstalled : public DiscCopy {
  protected:
    void SetUp() override {
        DiscCopy::SetUp();
        TestMachine::WriteFile(c / "keep.txt", "root");
        TestMachine::WriteFile(c / "Program Files" / "Kelvo Co" / "keep.txt", "parent");
        TestMachine::WriteFile(c / "Program Files" / "Kelvo Co" / "kelvo2" / "keep.txt", "sibling");
        TestMachine::WriteFile(c / "Program Files" / "Kelvo Co" / "kelvo.txt", "next to it");
    }
    void ExpectSentinels() {
        EXPECT_EQ(ReadAll(c / "keep.txt"), "root");
        EXPECT_EQ(ReadAll(c / "Program Files" / "Kelvo Co" / "keep.txt"), "parent");
        EXPECT_EQ(ReadAll(c / "Program Files" / "Kelvo Co" / "kelvo2" / "keep.txt"), "sibling");
        EXPECT_EQ(ReadAll(c / "Program Files" / "Kelvo Co" / "kelvo.txt"), "next to it");
    }
    // A player's file in the install folder: old, and with attributes of its own.
    void WritePlayerFile(const fs::path& path, const std::string& content, DWORD attributes) {
        TestMachine::WriteFile(path, content);
        fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(24 * 365 * 20));
        std::string windows = "C:\\" + fs::relative(path, c).string();
        for (char& ch : windows)
            ch = ch == '/' ? '\\' : ch;
        ASSERT_TRUE(SetFileAttributesA(windows.c_str(), attributes));
        players.push_back({path, content, fs::last_write_time(path), fs::status(path).permissions(),
                           GetFileAttributesA(windows.c_str()), windows});
    }
    void ExpectPlayerFiles() {
        for (const auto& player : players) {
            EXPECT_EQ(ReadAll(player.path), player.content) << player.path;
            EXPECT_EQ(fs::last_write_time(player.path), player.time) << player.path;
            EXPECT_EQ(fs::status(player.path).permissions(), player.permissions) << player.path;
            EXPECT_EQ(GetFileAttributesA(player.windows.c_str()), player.attributes) << player.path;
        }
    }
    // Everything under the install folder, folders ending in '/'.
    std::vector<std::string> Left() {
        std::vector<std::string> left;
        for (const auto& entry : fs::recursive_directory_iterator(Installed()))
            left.push_back(fs::relative(entry.path(), Installed()).generic_string() +
                           (entry.is_directory() ? "/" : ""));
        std::sort(left.begin(), left.end());
        return left;
    }

    struct PlayerFile {
        fs::path path;
        std::string content;
        fs::file_time_type time;
        fs::perms permissions;
        DWORD attributes;
        std::string windows;
    };
    std::vector<PlayerFile> players;
};

TEST_F(RemoveInstalled, RemovesWhatTheInstallWroteAndNothingElse) {
    // A reinstall: the player's files at the top and in a folder the disc has too, and a file
    // of the disc that an earlier install left, read-only.
    WritePlayerFile(Installed() / "notes.txt", "my notes", FILE_ATTRIBUTE_READONLY);
    WritePlayerFile(Installed() / "data" / "slot1.sav", "level 12", FILE_ATTRIBUTE_HIDDEN);
    TestMachine::WriteFile(Installed() / "pixie.exe", "an older pixie");
    ASSERT_TRUE(SetFileAttributesA("C:\\Program Files\\Kelvo Co\\kelvo\\pixie.exe",
                                   FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    ASSERT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");

    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"data/", "data/slot1.sav", "notes.txt"}))
        << "the replaced file goes with the rest";
    ExpectPlayerFiles();
    ExpectSentinels();
    EXPECT_EQ(InstallState.writtenLength, 0u);

    // A later rollback finds nothing more to remove.
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left().size(), 3u);
}

TEST_F(RemoveInstalled, TheInstallFolderItMadeStaysEmpty) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    RemoveInstalledFiles(nullptr);
    EXPECT_TRUE(fs::is_directory(Installed()));
    EXPECT_TRUE(fs::is_empty(Installed()));
    ExpectSentinels();
}

TEST_F(RemoveInstalled, WhatCantBeRemovedStaysWithTheFoldersThatHoldIt) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    // Someone else's file in a folder the install made, and a file of the install that is
    // read-only by now.
    TestMachine::WriteFile(Installed() / "data" / "maps" / "mine.map", "mine");
    ASSERT_TRUE(SetFileAttributesA("C:\\Program Files\\Kelvo Co\\kelvo\\ReadMe.txt",
                                   FILE_ATTRIBUTE_READONLY));
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"ReadMe.txt", "data/", "data/maps/",
                                                "data/maps/mine.map"}));
}

TEST_F(RemoveInstalled, AFileThatCouldNotBeReplacedIsNotTheInstalls) {
    // The earlier install's game can't be opened for writing: the copy fails there, and the
    // file the install never wrote stays.
    WritePlayerFile(Installed() / "kelvo.exe", "the game as it was", FILE_ATTRIBUTE_HIDDEN);
    fs::path game = sim.MakeDisc("game", "KELVO_1");
    TestMachine::WriteFile(game / "kelvo" / "kelvo.exe", "game");
    sim.Insert('e', game);
    {
        // The disc's file, the destination made anew (it is there), replaced, and replaced again
        // once its attributes are cleared.
        FailNext failed("CreateFileA", 4);
        EXPECT_NE(CopyDiscTree(nullptr), 0);
    }
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"kelvo.exe"}));
    ExpectPlayerFiles();
}

TEST_F(RemoveInstalled, ARecordThatCantGrowFailsTheCopyBeforeTheFile) {
    // Enough files that the record grows while they are copied.
    for (int i = 0; i < 40; ++i)
        TestMachine::WriteFile(disc1 / "kelvo" / "many" / ("file-" + std::to_string(i) + ".dat"),
                               "x");
    {
        FailNext failed("HeapReAlloc");
        EXPECT_NE(CopyDiscTree(nullptr), 0);
    }
    size_t copied = CountFiles(Installed());
    EXPECT_GT(copied, 5u);
    EXPECT_LT(copied, 45u);
    RemoveInstalledFiles(nullptr);
    EXPECT_TRUE(Left().empty()) << "every file the copy made was recorded";

    FailNext failed("HeapAlloc");
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    EXPECT_TRUE(Left().empty()) << "nothing is made without a record";
}

TEST_F(RemoveInstalled, AGameOfTenThousandFilesFitsTheRecord) {
    // Ten thousand names of a deep game folder, recorded as the copy records them; three of the
    // files are there, and the rollback still finds them after the record's growths.
    auto name = [](int i) {
        return "data\\maps\\region-" + std::to_string(i / 100) + "\\tile-" + std::to_string(i) +
               ".map";
    };
    std::string folder = InstallState.installDir;
    for (int i : {0, 5000, 9999})
        TestMachine::WriteFile(Installed() / "data" / "maps" /
                                   ("region-" + std::to_string(i / 100)) /
                                   ("tile-" + std::to_string(i) + ".map"),
                               "t");
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(RecordWritten((folder + "\\" + name(i)).c_str(), RECORD_FILE)) << i;
    EXPECT_GE(InstallState.writtenRoom, InstallState.writtenLength);
    EXPECT_GT(InstallState.writtenLength, 300000u);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(CountFiles(Installed()), 0u);
}

TEST_F(RemoveInstalled, RecordsOnlyPathsInsideTheInstallFolder) {
    for (const char* outside :
         {"C:\\Program Files\\Kelvo Co\\kelvo", "C:\\Program Files\\Kelvo Co\\kelvo\\",
          "C:\\Program Files\\Kelvo Co\\kelvo2\\keep.txt", "C:\\Program Files\\Kelvo Co\\kelvo.txt",
          "C:\\keep.txt", "kelvo\\x"})
        EXPECT_FALSE(RecordWritten(outside, RECORD_FILE)) << outside;
    EXPECT_EQ(InstallState.writtenLength, 0u);
    EXPECT_TRUE(RecordWritten("C:\\Program Files\\Kelvo Co\\kelvo\\x", RECORD_FILE));
}

TEST_F(RemoveInstalled, LeavesEverythingWhenTheFolderIsEmptyOrARoot) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    // Nothing but a folder below a drive or share root is emptied, whatever installDir holds.
    for (const char* folder : {"", "C:", "C:\\", "C:/", "C:kelvo", "kelvo", "\\kelvo",
                               "c:\\Program Files\\..", "c:\\Program Files\\Kelvo Co\\..\\..",
                               "c:\\.", "\\\\server\\share", "\\\\server\\share\\", "\\\\server"}) {
        std::strcpy(InstallState.installDir, folder);
        RemoveInstalledFiles(nullptr);
        ExpectSentinels();
        EXPECT_EQ(CountFiles(Installed()), 5u) << folder;
    }
}

} // namespace

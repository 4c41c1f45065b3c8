// The disc copy, the rollback of what it changed and the journal behind both, on a simulated PC.
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

#include "base/install_state.h"
#include "box_answerer.h"
#include "call_points.h"
#include "media/disc_copy.h"
#include "journal/install_journal.h"
#include "journal/journal_state.h"
#include "journal/recovery.h"
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

// Lets go of the journal in memory without undoing or deleting anything, as a setup that is
// killed does.
void AbandonJournal() {
    if (JournalState.file != nullptr)
        CloseHandle(JournalState.file);
    if (JournalState.records != nullptr)
        HeapFree(GetProcessHeap(), 0, JournalState.records);
    JournalState.file = nullptr;
    JournalState.records = nullptr;
    JournalState.length = 0;
    JournalState.room = 0;
    JournalState.written = 0;
    JournalState.reserved = 0;
    JournalState.keptFiles = 0;
    JournalState.keptGroups = 0;
}

// Makes several calls fail at once: each at its use after the ones made so far.
class FailUses {
  public:
    FailUses(std::initializer_list<std::pair<const char*, int>> calls) {
        winsim::calls::Plan plan;
        for (const auto& [call, later] : calls)
            plan.failAt[call] = winsim::calls::Counted().uses[call] + later;
        winsim::calls::SetPlan(plan);
    }
    ~FailUses() { winsim::calls::SetPlan({}); }
};

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
        AbandonJournal();
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
    CommitInstall();
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
    CommitInstall();
    EXPECT_EQ(CountFiles(Installed()), 6u) << "what was replaced goes with the commit";
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
    {
        // The copy keeps the system's error mode: the system asks for the disc, and the user
        // cancels.
        testing_support::BoxAnswerer user;
        EXPECT_NE(CopyDiscTree(nullptr), 0) << "no disc";
    }

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
    fs::path theirs; // someone else's file, made just before the cancel (none when empty)
    bool cancel = true;
    std::atomic<bool> copyReturned{false};
};

DWORD WINAPI CancelWhenFilesExist(LPVOID parameter) {
    auto* plan = static_cast<CancelPlan*>(parameter);
    while (!plan->copyReturned && CountFiles(plan->folder) < plan->files)
        Sleep(1);
    if (!plan->theirs.empty())
        TestMachine::WriteFile(plan->theirs, "theirs");
    if (plan->cancel)
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

TEST_F(DiscCopy, NamesNoFileCanHaveFailTheCopy) {
    // A device's name, with an extension or in another case, setup's own names, and names that
    // Windows would make under another (a dot or a space at the end).
    for (const char* name : {"data/nul.dat", "COM1", "Con.txt", "data/lpt9", "~kelvo-setup.jnl",
                             "~KELVO-SETUP-1.bak", "data/odd.", "odd "}) {
        fs::path odd = disc1 / "kelvo" / name;
        TestMachine::WriteFile(odd, "odd");
        EXPECT_NE(CopyDiscTree(nullptr), 0) << name;
        fs::remove(odd);
    }
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
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
    // A file in the install folder before the install: old, and with attributes of its own.
    void WriteEarlierFile(const fs::path& path, const std::string& content, DWORD attributes) {
        TestMachine::WriteFile(path, content);
        fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(24 * 365 * 20));
        std::string windows = "C:\\" + fs::relative(path, c).string();
        for (char& ch : windows)
            ch = ch == '/' ? '\\' : ch;
        ASSERT_TRUE(SetFileAttributesA(windows.c_str(), attributes));
        earlier.push_back({path, content, fs::last_write_time(path), fs::status(path).permissions(),
                           GetFileAttributesA(windows.c_str()), windows});
    }
    // The earlier files, byte for byte with their times and attributes.
    void ExpectEarlierFiles() {
        for (const auto& file : earlier) {
            EXPECT_EQ(ReadAll(file.path), file.content) << file.path;
            EXPECT_EQ(fs::last_write_time(file.path), file.time) << file.path;
            EXPECT_EQ(fs::status(file.path).permissions(), file.permissions) << file.path;
            EXPECT_EQ(GetFileAttributesA(file.windows.c_str()), file.attributes) << file.path;
        }
    }
    // Everything under folder, folders ending in '/'.
    static std::vector<std::string> Left(const fs::path& folder) {
        std::vector<std::string> left;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            left.push_back(fs::relative(entry.path(), folder).generic_string() +
                           (entry.is_directory() ? "/" : ""));
        std::sort(left.begin(), left.end());
        return left;
    }
    std::vector<std::string> Left() { return Left(Installed()); }
    // A repair: an earlier install of the disc, read-only as a CD leaves it, with the player's
    // files beside it: one at the top, one in a folder the disc has too, one whose name the disc
    // carries in other letters.
    void LayOutEarlierInstall() {
        WriteEarlierFile(Installed() / "kelvo.exe", "the game as it was", FILE_ATTRIBUTE_READONLY);
        WriteEarlierFile(Installed() / "pixie.exe", "an older pixie", FILE_ATTRIBUTE_HIDDEN);
        WriteEarlierFile(Installed() / "readme.TXT", "the old manual", FILE_ATTRIBUTE_SYSTEM);
        WriteEarlierFile(Installed() / "data" / "shared.dat", "shared", FILE_ATTRIBUTE_ARCHIVE);
        WriteEarlierFile(Installed() / "notes.txt", "my notes", FILE_ATTRIBUTE_READONLY);
        WriteEarlierFile(Installed() / "data" / "slot1.sav", "level 12", FILE_ATTRIBUTE_HIDDEN);
    }
    const std::vector<std::string> EarlierTree = {"data/",     "data/shared.dat", "data/slot1.sav",
                                                  "kelvo.exe", "notes.txt",       "pixie.exe",
                                                  "readme.TXT"};

    struct EarlierFile {
        fs::path path;
        std::string content;
        fs::file_time_type time;
        fs::perms permissions;
        DWORD attributes;
        std::string windows;
    };
    std::vector<EarlierFile> earlier;
};

TEST_F(RemoveInstalled, RemovesWhatTheInstallWroteAndNothingElse) {
    LayOutEarlierInstall();
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    ASSERT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
    ASSERT_EQ(ReadAll(Installed() / "readme.TXT"), "read me") << "one file, by its own name";

    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), EarlierTree) << "the replaced files come back, the rest goes";
    ExpectEarlierFiles();
    ExpectSentinels();
    EXPECT_FALSE(JournalIsOpen());

    // A later rollback finds nothing more to undo.
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), EarlierTree);
}

TEST_F(RemoveInstalled, TheFoldersItMadeGoAndThoseThatWereThereStay) {
    // The install folder and two of its parents are made; "Program Files" was there.
    std::strcpy(InstallState.installDir, "C:\\Program Files\\new\\deep\\kelvo");
    fs::create_directories(c / "Program Files" / "new2");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    ASSERT_TRUE(fs::exists(c / "Program Files" / "new" / "deep" / "kelvo" / "kelvo.exe"));
    RemoveInstalledFiles(nullptr);
    EXPECT_FALSE(fs::exists(c / "Program Files" / "new"));
    EXPECT_EQ(Left(c),
              (std::vector<std::string>{
                  "Program Files/", "Program Files/Kelvo Co/", "Program Files/Kelvo Co/keep.txt",
                  "Program Files/Kelvo Co/kelvo.txt", "Program Files/Kelvo Co/kelvo2/",
                  "Program Files/Kelvo Co/kelvo2/keep.txt", "Program Files/new2/", "keep.txt"}));

    // Empty folders of the player's in the install folder, which the disc has too: one the copy
    // only enters, one it copies a file into. Both stay, as they were.
    std::strcpy(InstallState.installDir, "C:\\Program Files\\Kelvo Co\\kelvo");
    fs::create_directories(Installed() / "empty");
    fs::create_directories(Installed() / "data" / "maps");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    ASSERT_TRUE(fs::exists(Installed() / "data" / "maps" / "m1.map"));
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"data/", "data/maps/", "empty/"}));
}

TEST_F(RemoveInstalled, TheRollbackGoesByItsJournalWhateverInstallDirHolds) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    for (const char* folder : {"", "C:", "C:\\", "c:\\Program Files\\..", "\\\\server\\share"}) {
        std::strcpy(InstallState.installDir, folder);
        RemoveInstalledFiles(nullptr);
        ExpectSentinels();
    }
    EXPECT_FALSE(fs::exists(Installed()));
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
    EXPECT_FALSE(fs::exists(c / "Program Files" / "Kelvo Co" / "~kelvo-setup.jnl"))
        << "nothing of the user's waits for a later rollback";
}

TEST_F(RemoveInstalled, AFailedStepLeavesWhatItDidNotChange) {
    // Each use of each call that can fail on the way of the files that replace others: the
    // earlier files stay or come back, whichever step failed.
    for (const char* call : {"GetFileAttributesA", "FindFirstFileA", "MoveFileA", "CreateFileA",
                             "ReadFile", "WriteFile", "FlushFileBuffers", "CloseHandle"}) {
        for (int use = 1; use <= 8; ++use) {
            SCOPED_TRACE(std::string(call) + " " + std::to_string(use));
            earlier.clear();
            fs::remove_all(Installed());
            LayOutEarlierInstall();
            {
                FailNext failed(call, use);
                CopyDiscTree(nullptr);
            }
            RemoveInstalledFiles(nullptr);
            EXPECT_EQ(Left(), EarlierTree);
            ExpectEarlierFiles();
        }
    }
}

TEST_F(RemoveInstalled, AJournalThatCantGrowOrBeWrittenStopsTheCopyBeforeItsChange) {
    // Enough files that the journal grows while they are planned.
    for (int i = 0; i < 80; ++i)
        TestMachine::WriteFile(disc1 / "kelvo" / "many" / ("file-" + std::to_string(i) + ".dat"),
                               "x");
    LayOutEarlierInstall();
    for (const char* call : {"HeapReAlloc", "WriteFile", "FlushFileBuffers"}) {
        SCOPED_TRACE(call);
        {
            FailNext failed(call);
            EXPECT_NE(CopyDiscTree(nullptr), 0);
        }
        RemoveInstalledFiles(nullptr);
        EXPECT_EQ(Left(), EarlierTree) << "every change the copy made was written ahead";
        ExpectEarlierFiles();
    }

    // A journal that can't be started: nothing is made at all.
    std::strcpy(InstallState.installDir, "C:\\Program Files\\new\\kelvo");
    FailNext failed("CreateFileA");
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    EXPECT_FALSE(fs::exists(c / "Program Files" / "new"));
}

// The registry's record of an interrupted install: the value name of it, or nothing.
std::string RecordValue(const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\~kelvo-setup", 0, KEY_READ, &key) != 0)
        return "";
    char value[MAX_PATH] = {};
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, name, nullptr, &type, (LPBYTE)value, &size);
    RegCloseKey(key);
    return read == 0 ? (type == REG_DWORD ? std::to_string(*(DWORD*)value) : value) : "";
}

// A record line as the journal writes it: the record, a tab, its CRC-32, CR LF.
std::string Line(const std::string& record) {
    DWORD crc = 0xFFFFFFFF;
    for (unsigned char byte : record) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    char check[16];
    std::snprintf(check, sizeof check, "\t%08X\r\n", (unsigned)~crc);
    return record + check;
}

class Recovery : public RemoveInstalled {
  protected:
    // A repair of the earlier install, killed after the second disc: the journal stays as it
    // was written, the registry names it, nothing was undone.
    void KilledRepair() {
        LayOutEarlierInstall();
        fs::path disc2 = sim.MakeDisc("disc2", "KELVO_2");
        TestMachine::WriteFile(disc2 / "kelvo" / "data" / "shared.dat", "from disc 2");
        TestMachine::WriteFile(disc2 / "kelvo" / "maps" / "m2.map", "map two");
        ASSERT_EQ(CopyDiscTree(nullptr), 0);
        sim.Insert('e', disc2);
        ASSERT_EQ(CopyDiscTree(nullptr), 0);
        journal = Host(JournalState.place.journal);
        AbandonJournal();
        ASSERT_TRUE(fs::exists(journal));
        ASSERT_EQ(RecordValue("Journal"), JournalState.place.journal);
    }
    fs::path Host(const std::string& windows) {
        std::string relative = windows.substr(3);
        std::replace(relative.begin(), relative.end(), '\\', '/');
        return c / relative;
    }
    void Append(const std::string& text) {
        std::ofstream(journal, std::ios::app | std::ios::binary) << text;
    }
    int Recover() { return RecoverInterruptedInstall(blocker); }
    // A copy of a disc folder of files a.dat to last.dat, held at the named pipe after pipe.dat,
    // while someone else makes their file theirs.dat in the install (and, with cancel, the user
    // cancels); then the rollback, which must leave their file. The disc and the install are
    // rid of the folder after.
    void CopyWhileTheirFileAppears(char last, char pipe, char theirs, bool cancel) {
        for (char name = 'a'; name <= last; ++name)
            TestMachine::WriteFile(disc1 / "kelvo" / "files" / (std::string(1, name) + ".dat"),
                                   "x");
        CancelPlan plan;
        plan.folder = Installed() / "files";
        plan.files = (size_t)(pipe - 'a' + 1);
        plan.pipe = disc1 / "kelvo" / "files" / (std::string(1, pipe) + ".pipe");
        plan.theirs = Installed() / "files" / (std::string(1, theirs) + ".dat");
        plan.cancel = cancel;
        ASSERT_EQ(mkfifo(plan.pipe.c_str(), 0644), 0);
        HANDLE other = CreateThread(nullptr, 0, CancelWhenFilesExist, &plan, 0, nullptr);
        EXPECT_NE(CopyDiscTree(nullptr), 0);
        plan.copyReturned = true;
        WaitForSingleObject(other, INFINITE);
        RemoveInstalledFiles(nullptr);
        EXPECT_EQ(ReadAll(plan.theirs), "theirs");
        // The folder the copy made stays while it holds their file.
        fs::remove_all(plan.folder);
        fs::remove_all(disc1 / "kelvo" / "files");
    }
    // Nothing left of setup's: no journal, no kept file, no record.
    void ExpectNothingOfSetups() {
        for (const auto& entry : fs::recursive_directory_iterator(c))
            EXPECT_NE(entry.path().filename().string().rfind("~kelvo-setup", 0), 0u)
                << entry.path();
        EXPECT_EQ(RecordValue("Journal"), "");
    }
    fs::path journal;
    char blocker[MAX_PATH] = {};
};

TEST_F(Recovery, AKilledInstallIsRolledBackByTheNextSetupWhereverItInstalls) {
    KilledRepair();
    // A setup stopped while it wrote a record leaves part of a line; a setup stopped while it
    // rolled back leaves the journal whole and some changes undone. Either way the next setup
    // finishes the rollback, also when it is stopped and run again itself.
    Append("F 0 C:\\Program Files\\Kel");
    {
        FailUses failed({{"MoveFileExA", 2}, {"MoveFileA", 1}});
        EXPECT_EQ(Recover(), RECOVERY_BLOCKED);
    }
    EXPECT_EQ(std::string(blocker).rfind("C:\\Program Files\\Kelvo Co\\kelvo\\", 0), 0u) << blocker;
    EXPECT_TRUE(fs::exists(journal)) << "a kept file is still aside";
    EXPECT_NE(RecordValue("Journal"), "");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectSentinels();
    ExpectNothingOfSetups();
    EXPECT_EQ(Recover(), RECOVERY_DONE) << "nothing more to do";

    // A fresh install into a folder yet to be made keeps its journal in the drive's root, where
    // the next setup finds it, whatever folder that one is given.
    std::strcpy(InstallState.installDir, "C:\\Gmaes\\kelvo");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(std::string(JournalState.place.journal).rfind("C:\\~kelvo-setup-", 0), 0u);
    AbandonJournal();
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_FALSE(fs::exists(c / "Gmaes"));
    ExpectNothingOfSetups();
}

TEST_F(Recovery, OnWindows95TheKeptFilesComeBackWhateverTheStubAnswers) {
    KilledRepair();
    // What its stub answers is written nowhere: here, not ERROR_CALL_NOT_IMPLEMENTED.
    sim.machine().lacks.insert("MoveFileExA");
    sim.machine().stubErrors["MoveFileExA"] = ERROR_INVALID_FUNCTION;
    sim.machine().version = 0xC3B60004;
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectNothingOfSetups();

    // A cancelled repair there, too.
    earlier.clear();
    fs::remove_all(Installed());
    LayOutEarlierInstall();
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
}

TEST_F(Recovery, AFinishedInstallsJournalIsCompletedNotUndone) {
    LayOutEarlierInstall();
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    journal = Host(JournalState.place.journal);
    // Killed as the commit began, its record written: a line whose check is wrong is no commit,
    // and the install is rolled back.
    AbandonJournal();
    Append("C 0 C:\\Program Files\\Kelvo Co\\kelvo\t00000000\r\n");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);

    // The commit stopped after some kept files went, read-only journal and all: the next setup
    // deletes the rest, and undoes nothing.
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    std::string records(JournalState.records, JournalState.length);
    // The earlier game, read-only, is one the commit makes writable before it deletes it.
    EXPECT_NE(records.find("\nR 1 C:\\Program Files\\Kelvo Co\\kelvo\\kelvo.exe"),
              std::string::npos)
        << records;
    EXPECT_NE(records.find("\nK 2 C:\\Program Files\\Kelvo Co\\kelvo\\pixie.exe"),
              std::string::npos)
        << records;
    ASSERT_TRUE(SetFileAttributesA(JournalState.place.journal, FILE_ATTRIBUTE_READONLY));
    {
        FailUses failed({{"DeleteFileA", 2}, {"SetFileAttributesA", 1}});
        CommitInstall();
    }
    EXPECT_NE(RecordValue("Journal"), "") << "a kept file is left: the commit is not over";
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
    ExpectNothingOfSetups();

    // A committed journal whose kept files are all gone is simply finished.
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    ASSERT_TRUE(SetFileAttributesA(JournalState.place.journal, FILE_ATTRIBUTE_READONLY));
    CommitInstall();
    ExpectNothingOfSetups();
}

TEST_F(Recovery, OnlyTheJournalTheRegistryNamesIsActedOnAndOnlyWhereItMayReach) {
    // A journal planted where setup would keep one, with no record of it: never read, never
    // deleted.
    TestMachine::WriteFile(Installed() / "mine.txt", "mine");
    fs::path planted = Installed() / "~kelvo-setup-0000ABCD.jnl";
    TestMachine::WriteFile(planted, Line("J 43981 C:\\Program Files\\Kelvo Co\\kelvo") +
                                        Line("F 0 C:\\Program Files\\Kelvo Co\\kelvo\\mine.txt"));
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_TRUE(fs::exists(planted));
    EXPECT_EQ(ReadAll(Installed() / "mine.txt"), "mine");
    fs::remove(planted);
    fs::remove(Installed() / "mine.txt");

    // The journal the record names, with a line someone added: a record that reaches outside the
    // install, in any spelling, or through a directory link, leaves the whole journal alone.
    KilledRepair();
    std::string before = ReadAll(journal);
    fs::create_directory_symlink(c / "Program Files" / "Kelvo Co" / "kelvo2", Installed() / "door");
    for (const char* outside :
         {"F 0 C:\\keep.txt", "F 0 C:\\Program Files\\Kelvo Co\\keep.txt",
          "D 0 C:\\Program Files\\Kelvo Co", "F 0 C:/Program Files/Kelvo Co/kelvo/../keep.txt",
          "F 0 C:\\Program Files\\Kelvo Co\\kelvo\\..\\keep.txt",
          "F 0 \\\\?\\C:\\Program Files\\Kelvo Co\\kelvo\\x",
          "F 0 C:\\Program Files\\Kelvo Co\\kelvo\\x.", "F 0 D:\\Games\\遠岫工坊",
          "X 0 C:\\Program Files\\Kelvo Co\\kelvo\\x",
          "F 0 C:\\Program Files\\Kelvo Co\\kelvo\\door\\keep.txt",
          "K 9 C:\\Program Files\\Kelvo Co\\kelvo\\door\\keep.txt"}) {
        SCOPED_TRACE(outside);
        TestMachine::WriteFile(journal, before + Line(winsim::Utf8ToCp950(outside)));
        EXPECT_EQ(Recover(), RECOVERY_REFUSED);
        EXPECT_EQ(blocker, std::string(RecordValue("Journal")));
        ExpectSentinels();
        EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie") << "nothing undone on its word";
    }

    // Another journal in the place of the record's (its identity differs, or its first record
    // is none that begins a journal): left alone.
    std::string identity = RecordValue("Identity");
    for (std::string first :
         {"J " + std::to_string(std::stoul(identity) + 1), "F " + identity, "D " + identity}) {
        SCOPED_TRACE(first);
        std::string other = before;
        other.replace(0, other.find('\t') + 11,
                      Line(first + " C:\\Program Files\\Kelvo Co\\kelvo"));
        TestMachine::WriteFile(journal, other);
        EXPECT_EQ(Recover(), RECOVERY_REFUSED);
        EXPECT_TRUE(fs::exists(journal));
        EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
    }

    // The user deletes it: the record goes, and what the install left stays as it is.
    fs::remove(journal);
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(RecordValue("Journal"), "");
    ExpectSentinels();
}

TEST_F(Recovery, TheRollbackUndoesOnlyWhatTheCopyDidBesideAnOlderRunsLeftovers) {
    // Kept files of an older run, beside the files they once replaced and in a folder of their
    // own: never setup's to move, whatever happens to this install.
    LayOutEarlierInstall();
    for (int i = 1; i <= 4; ++i)
        TestMachine::WriteFile(Installed() / ("~kelvo-setup-" + std::to_string(i) + ".bak"),
                               "leftover " + std::to_string(i));
    TestMachine::WriteFile(Installed() / "~kelvo-setup-00000001" / "0" / "0", "an older kept file");
    earlier.clear();
    auto leftovers = [&] {
        for (int i = 1; i <= 4; ++i)
            EXPECT_EQ(ReadAll(Installed() / ("~kelvo-setup-" + std::to_string(i) + ".bak")),
                      "leftover " + std::to_string(i));
        EXPECT_EQ(ReadAll(Installed() / "~kelvo-setup-00000001" / "0" / "0"), "an older kept file");
    };
    // A repair that fails inside a batch, planned but not all made: a file where the disc has a
    // folder comes after the files it replaces.
    TestMachine::WriteFile(disc1 / "kelvo" / "zz" / "z.dat", "z");
    TestMachine::WriteFile(Installed() / "zz", "a file");
    auto before = Left();
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), before);
    leftovers();
    fs::remove(Installed() / "zz");
    before = Left();

    // The copy is cancelled in the middle of a batch, and someone else's file appears where a
    // file of the batch was to go: the rollback leaves it.
    CopyWhileTheirFileAppears('p', 'e', 'n', true);
    EXPECT_EQ(Left(), before);
    InstallState.installEnding = INSTALL_RUNNING;

    // The repair that completes.
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    CommitInstall();
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
    leftovers();
}

TEST_F(Recovery, AStepWhoseCallFailedIsNotUndone) {
    // Someone else's file appears where the copy was to make one: the copy fails there, and the
    // rollback leaves it.
    LayOutEarlierInstall();
    CopyWhileTheirFileAppears('h', 'c', 'f', false);
    EXPECT_EQ(Left(), EarlierTree);

    // A file the first disc replaced, which the second disc's copy could not move aside in its
    // turn: the rollback passes over that step alone, and the earlier file comes back.
    fs::path disc2 = sim.MakeDisc("disc2", "KELVO_2");
    TestMachine::WriteFile(disc2 / "kelvo" / "data" / "shared.dat", "from disc 2");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    sim.Insert('e', disc2);
    {
        FailNext failed("MoveFileA");
        EXPECT_NE(CopyDiscTree(nullptr), 0);
    }
    std::string records(JournalState.records, JournalState.length);
    EXPECT_NE(records.find("\nV 0 C:\\Program Files\\Kelvo Co\\kelvo\\data\\shared.dat"),
              std::string::npos)
        << records;
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectNothingOfSetups();
}

TEST_F(Recovery, EveryFolderTheDialogTakesCanBeInstalledIntoAndRepairedAgain) {
    // The longest install folder the dialog takes, of a disc whose names fit it: the journal and
    // the kept files go where their names fit.
    fs::remove_all(disc1 / "kelvo" / "data");
    fs::remove_all(disc1 / "kelvo" / "empty");
    std::string folder = "C:\\Program Files";
    while (folder.size() < INSTALL_DIR_MAX_LENGTH - 6)
        folder += "\\" + std::string(
                             std::min<size_t>(30, INSTALL_DIR_MAX_LENGTH - 7 - folder.size()), 'd');
    folder += "\\kelvo";
    ASSERT_EQ(folder.size(), (size_t)INSTALL_DIR_MAX_LENGTH);
    std::strcpy(InstallState.installDir, folder.c_str());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(CopyDiscTree(nullptr), 0) << folder.size();
        RemoveInstalledFiles(nullptr);
        ASSERT_EQ(CopyDiscTree(nullptr), 0);
        CommitInstall();
    }
    ExpectNothingOfSetups();
}

TEST_F(RemoveInstalled, AGameOfTenThousandFilesFitsTheJournal) {
    // Ten thousand names of a deep game folder, written ahead as the copy writes them; three of
    // the files are there, and the rollback still finds them after the journal's growths.
    auto name = [](int i) {
        return "data\\maps\\region-" + std::to_string(i / 100) + "\\tile-" + std::to_string(i) +
               ".map";
    };
    std::string folder = InstallState.installDir;
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    for (int i : {0, 5000, 9999})
        TestMachine::WriteFile(Installed() / "data" / "maps" /
                                   ("region-" + std::to_string(i / 100)) /
                                   ("tile-" + std::to_string(i) + ".map"),
                               "t");
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\" + name(i)).c_str())) << i;
    EXPECT_GE(JournalState.room, JournalState.length);
    EXPECT_GT(JournalState.length, 600000u);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(CountFiles(Installed()), 0u);
}

} // namespace

// The install on a simulated PC, as the copy, its rollback and the recovery tests share it: the
// first disc in drive e and an install folder on drive c (DiscCopy), an earlier install there with
// the player's files beside it (RemoveInstalled), and a repair killed halfway (Recovery).
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "base/install_state.h"
#include "call_points.h"
#include "journal/install_journal.h"
#include "journal/journal_state.h"
#include "journal/recovery.h"
#include "media/disc_copy.h"
#include "test_machine.h"

namespace testing_support {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path);
size_t CountFiles(const fs::path& folder);

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

// Lets go of the journal in memory without undoing or deleting anything, as a setup that is
// killed does.
void AbandonJournal();

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
// Runs on a thread of its own with a CancelPlan.
DWORD WINAPI CancelWhenFilesExist(LPVOID parameter);

// Setup's registry entry of an interrupted install: its value name, or nothing.
std::string EntryValue(const char* name);
// Setup's registry entry as a setup stopped halfway leaves it, naming journal, folder and identity.
// With base, also the deepest folder on the install's way that was there (a journal in setup's
// own folder names it).
void WriteEntry(const std::string& journal, const std::string& folder, DWORD identity,
                const std::string& base = "");

// A record line as the journal writes it: the record, a tab, its CRC-32, CR LF.
std::string Line(const std::string& record);

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
        InstallState.installEnding = INSTALL_RUNNING;
    }
    void TearDown() override {
        AbandonJournal();
        std::memcpy(InstallState.installDir, saved.installDir, sizeof saved.installDir);
        std::memcpy(InstallState.cdRoot, saved.cdRoot, sizeof saved.cdRoot);
        InstallState.installEnding = saved.installEnding;
    }
    fs::path Installed() const { return c / "Program Files" / "Kelvo Co" / "kelvo"; }

    TestMachine sim;
    fs::path c, disc1;
    INSTALLSTATE saved;
};

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
        ASSERT_EQ(EntryValue("Journal"), JournalState.place.journal);
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
        EXPECT_EQ(EntryValue("Journal"), "");
    }
    fs::path journal;
    char blocker[MAX_PATH] = {};
};

} // namespace testing_support

// The disc copy on a simulated PC: what it copies, how it fails, how a cancel stops it.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "box_answerer.h"

#include "install_fixture.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

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

TEST_F(DiscCopy, AReplacedFileThatIsAnotherProgramsReadOnlyFileTooStaysSoOnEveryWindows) {
    // Windows 10, whose kernel32 tells a file's number of names alone, and XP, which tells it
    // with the rest of GetFileInformationByHandle only.
    for (std::uint32_t version : {winsim::Machine::Windows10, 0x0A280105u}) {
        sim.machine().version = version;
        std::string other = "C:\\Other" + std::to_string(version) + ".exe";
        TestMachine::WriteFile(Installed() / "kelvo.exe", "old");
        ASSERT_TRUE(DeleteFileA(other.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
        ASSERT_TRUE(CreateHardLinkA(other.c_str(), "C:\\Program Files\\Kelvo Co\\kelvo\\kelvo.exe",
                                    nullptr));
        ASSERT_TRUE(SetFileAttributesA(other.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_EQ(CopyDiscTree(nullptr), 0);
        CommitInstall();
        EXPECT_EQ(ReadAll(Installed() / "kelvo.exe"), "game") << version;
        EXPECT_NE(GetFileAttributesA(other.c_str()) & FILE_ATTRIBUTE_READONLY, 0u) << version;
        EXPECT_EQ(ReadAll(c / ("Other" + std::to_string(version) + ".exe")), "old") << version;
    }
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

    // The first ten closes are of the looks at setup's own folder, before the journal is begun,
    // and at the folders on the way to the install's first file, held in turn; the eleventh is
    // the first file's.
    FailUses closes({{"CloseHandle", 11}});
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

} // namespace

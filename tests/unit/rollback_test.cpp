// The rollback of a cancelled or failed install, by its journal: what the install made goes, what
// it replaced comes back, and nothing else changes.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "call_points.h"
#include "install_fixture.h"
#include "journal/carry_out.h"
#include "other_user.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

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

// A folder of the install that is a directory link (one a player or another user made) is
// never copied through: the copy stops before its first change there, whether it would make a
// file or replace one, and the rollback leaves what lies behind the link as it was.
TEST_F(RemoveInstalled, AFolderOfTheInstallThatIsALinkIsNotCopiedThrough) {
    TestMachine::WriteFile(c / "elsewhere" / "shared.dat", "someone else's");
    fs::create_directories(Installed());
    fs::create_directory_symlink(c / "elsewhere", Installed() / "data");
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(ReadAll(c / "elsewhere" / "shared.dat"), "someone else's");
    EXPECT_EQ(Left(c / "elsewhere"), std::vector<std::string>{"shared.dat"});
    EXPECT_TRUE(fs::is_symlink(Installed() / "data"));
    EXPECT_EQ(std::distance(fs::directory_iterator(Installed()), {}), 1);
    EXPECT_FALSE(JournalIsOpen());
    EXPECT_EQ(EntryValue("Journal"), "") << "the rollback was whole";

    // Deeper down, where the first change through the link is a file the disc replaces.
    fs::remove(Installed() / "data");
    TestMachine::WriteFile(c / "elsewhere2" / "m1.map", "someone else's map");
    fs::create_directories(Installed() / "data");
    fs::create_directory_symlink(c / "elsewhere2", Installed() / "data" / "maps");
    EXPECT_NE(CopyDiscTree(nullptr), 0);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(ReadAll(c / "elsewhere2" / "m1.map"), "someone else's map");
    EXPECT_EQ(Left(c / "elsewhere2"), std::vector<std::string>{"m1.map"});
    EXPECT_EQ(EntryValue("Journal"), "");
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

TEST_F(RemoveInstalled, AGameOfTenThousandFilesFitsTheJournal) {
    // Ten thousand names of a deep game folder, written ahead as the copy writes them; three of
    // the files are there, and the rollback still finds them after the journal's growths.
    auto name = [](int i) {
        return "data\\maps\\region-" + std::to_string(i / 100) + "\\tile-" + std::to_string(i) +
               ".map";
    };
    std::string folder = InstallState.installDir;
    fs::create_directories(Installed());
    for (int region = 0; region < 100; ++region)
        fs::create_directories(Installed() / "data" / "maps" /
                               ("region-" + std::to_string(region)));
    ASSERT_TRUE(OpenJournal());
    for (int i : {0, 5000, 9999})
        TestMachine::WriteFile(Installed() / "data" / "maps" /
                                   ("region-" + std::to_string(i / 100)) /
                                   ("tile-" + std::to_string(i) + ".map"),
                               "t");
    for (int i = 0; i < 10000; ++i)
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\" + name(i)).c_str())) << i;
    for (int i : {0, 5000, 9999})
        ASSERT_TRUE(NoteFileBegun((folder + "\\" + name(i)).c_str()));
    EXPECT_GE(JournalState.room, JournalState.length);
    EXPECT_GT(JournalState.length, 600000u);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(CountFiles(Installed()), 0u);
}

// Someone swaps a folder the install made for a link to a folder of theirs between the copy and
// the rollback: the files of theirs behind it, named as the install's were, stay.
TEST_F(RemoveInstalled, AFolderThatBecameALinkIsNotReachedThroughByTheRollback) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    fs::rename(Installed() / "data", c / "elsewhere");
    fs::create_directory_symlink(c / "elsewhere", Installed() / "data");
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(ReadAll(c / "elsewhere" / "shared.dat"), "from disc 1");
    EXPECT_EQ(ReadAll(c / "elsewhere" / "maps" / "m1.map"), "map one");
    EXPECT_FALSE(fs::exists(Installed() / "kelvo.exe")) << "the rest is rolled back";
}

// A void takes back the newest earlier record of its own path, in any letters, and no other: not
// one of a path that begins with it, nor one its path begins with.
TEST_F(RemoveInstalled, AVoidTakesBackTheRecordOfItsOwnPathAlone) {
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    std::string folder = InstallState.installDir;
    for (const char* name : {"a", "ab", "b", "bc", "c"})
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\" + name).c_str()));
    ASSERT_TRUE(FlushJournal());
    // The install's files, and two of someone else's whose making failed.
    for (const char* name : {"ab", "b", "c"}) {
        TestMachine::WriteFile(Installed() / name, "the install's");
        ASSERT_TRUE(NoteFileBegun((folder + "\\" + name).c_str()));
    }
    for (const char* name : {"a", "bc"})
        TestMachine::WriteFile(Installed() / name, "someone else's");
    VoidRecord((folder + "\\A").c_str());
    VoidRecord((folder + "\\bc").c_str());
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"a", "bc"}));
}

// However many voids are pending while the rollback walks back to their records, and however
// long their paths, each takes its record back: a file of someone else's whose making failed
// stays, every one of them.
TEST_F(RemoveInstalled, EveryVoidIsHonouredHoweverManyAndLongTheyAre) {
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    std::string folder = InstallState.installDir;
    std::vector<std::string> names;
    for (char letter = 'a'; letter <= 'h'; ++letter)
        names.push_back(std::string(MAX_PATH - 8 - folder.size(), letter));
    for (const auto& name : names)
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\" + name).c_str())) << name.size();
    ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\made.dat").c_str()));
    ASSERT_TRUE(FlushJournal());
    TestMachine::WriteFile(Installed() / "made.dat", "the install's");
    ASSERT_TRUE(NoteFileBegun((folder + "\\made.dat").c_str()));
    for (const auto& name : names) {
        TestMachine::WriteFile(Installed() / name, "someone else's");
        VoidRecord((folder + "\\" + name).c_str());
    }
    RemoveInstalledFiles(nullptr);
    for (const auto& name : names)
        EXPECT_EQ(ReadAll(Installed() / name), "someone else's") << name[0];
    EXPECT_FALSE(fs::exists(Installed() / "made.dat"));
    EXPECT_EQ(EntryValue("Journal"), "");
}

// Every pending void keeps its file, however many are pending: each of someone else's files
// here is empty, as a file the install was writing may be, and only its void tells it apart.
TEST_F(RemoveInstalled, EveryPendingVoidKeepsAnEmptyFileOfSomeoneElses) {
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    std::string folder = InstallState.installDir;
    for (char letter = 'a'; letter <= 'h'; ++letter)
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\" + letter + ".dat").c_str()));
    ASSERT_TRUE(FlushJournal());
    for (char letter = 'a'; letter <= 'h'; ++letter) {
        TestMachine::WriteFile(Installed() / (std::string(1, letter) + ".dat"), "");
        VoidRecord((folder + "\\" + letter + ".dat").c_str());
    }
    RemoveInstalledFiles(nullptr);
    for (char letter = 'a'; letter <= 'h'; ++letter)
        EXPECT_TRUE(fs::exists(Installed() / (std::string(1, letter) + ".dat"))) << letter;
}

// A void the rollback has no room to remember stops it there: nothing it may take back is
// undone, and the journal stays for the next setup, which finishes the rollback.
TEST_F(Recovery, AVoidThatCantBeRememberedStopsTheRollbackAndKeepsTheJournal) {
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    std::string folder = InstallState.installDir;
    ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\theirs.dat").c_str()));
    ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (folder + "\\made.dat").c_str()));
    ASSERT_TRUE(FlushJournal());
    TestMachine::WriteFile(Installed() / "theirs.dat", "someone else's");
    TestMachine::WriteFile(Installed() / "made.dat", "the install's");
    ASSERT_TRUE(NoteFileBegun((folder + "\\made.dat").c_str()));
    VoidRecord((folder + "\\theirs.dat").c_str());
    journal = Host(JournalState.place.journal);
    {
        FailNext failed("HeapAlloc");
        RemoveInstalledFiles(nullptr);
    }
    EXPECT_EQ(ReadAll(Installed() / "theirs.dat"), "someone else's");
    EXPECT_TRUE(fs::exists(journal));
    EXPECT_NE(EntryValue("Journal"), "");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(ReadAll(Installed() / "theirs.dat"), "someone else's");
    EXPECT_FALSE(fs::exists(Installed() / "made.dat"));
    ExpectNothingOfSetups();
}

// A kept file that can't take the place of what is at its path at once makes that file writable
// first, where it is a plain file of one name: not through a directory link, nor a file another
// user gives that name between setup's look at it and its change.
TEST(RestoreKept, MakesWritableOnlyThePlainFileItLookedAt) {
    TestMachine sim;
    fs::path e = sim.AddFixed('e').hostFolder;
    ASSERT_TRUE(CreateDirectoryA("E:\\Theirs", nullptr));
    ASSERT_TRUE(SetFileAttributesA("E:\\Theirs", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    TestMachine::WriteFile(e / "Theirs" / "victim.dll", "theirs");
    ASSERT_TRUE(SetFileAttributesA("E:\\Theirs\\victim.dll", FILE_ATTRIBUTE_READONLY));
    TestMachine::WriteFile(e / "kept.dat", "kept");
    ASSERT_TRUE(CreateDirectoryA("E:\\Games", nullptr));
    ASSERT_EQ(winsim::MakeDirectoryLink("E:\\Games\\link.dat", "E:\\Theirs"), 0u);
    EXPECT_FALSE(RestoreKept("E:\\kept.dat", "E:\\Games\\link.dat"));
    EXPECT_EQ(GetFileAttributesA("E:\\Theirs"),
              (DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

    TestMachine::WriteFile(e / "Games" / "made.dat", "made");
    ASSERT_TRUE(SetFileAttributesA("E:\\Games\\made.dat", FILE_ATTRIBUTE_READONLY));
    winsim::calls::ForgetActs();
    winsim::calls::AtCall("SetFileAttributesA", 1, -1, [] {
        winsim::ActAsOtherUser({"relink", {"E:\\Games\\made.dat", "E:\\Theirs\\victim.dll"}});
    });
    winsim::calls::StartThread(0);
    EXPECT_TRUE(RestoreKept("E:\\kept.dat", "E:\\Games\\made.dat"));
    winsim::calls::StartThread(-1);
    winsim::calls::ForgetActs();
    EXPECT_EQ(ReadAll(e / "Games" / "made.dat"), "kept");
    EXPECT_EQ(GetFileAttributesA("E:\\Theirs\\victim.dll"), (DWORD)FILE_ATTRIBUTE_READONLY);
}

} // namespace

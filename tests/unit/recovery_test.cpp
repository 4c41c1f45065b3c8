// The next setup's recovery of an install that was stopped halfway, and what it refuses to act on.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "install_fixture.h"
#include "journal/carry_out.h"
#include "journal/setup_names.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

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
    EXPECT_NE(EntryValue("Journal"), "");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectSentinels();
    ExpectNothingOfSetups();
    EXPECT_EQ(Recover(), RECOVERY_DONE) << "nothing more to do";

    // A fresh install into a folder yet to be made keeps its journal in setup's own folder at
    // the drive's root, where the next setup finds it, whatever folder that one is given.
    std::strcpy(InstallState.installDir, "C:\\Gmaes\\kelvo");
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    EXPECT_EQ(std::string(JournalState.place.journal).rfind("C:\\~kelvo-setup\\~kelvo-setup-", 0),
              0u);
    AbandonJournal();
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_FALSE(fs::exists(c / "Gmaes"));
    ExpectNothingOfSetups();
}

TEST_F(Recovery, OnWindows95TheKeptFilesComeBackWhateverTheStubAnswers) {
    // What its stub answers is written nowhere: here, not ERROR_CALL_NOT_IMPLEMENTED.
    sim.machine().lacks.insert("MoveFileExA");
    sim.machine().stubErrors["MoveFileExA"] = ERROR_INVALID_FUNCTION;
    sim.machine().version = 0xC3B60004;
    KilledRepair();
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
    EXPECT_NE(EntryValue("Journal"), "") << "a kept file is left: the commit is not over";
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
        EXPECT_EQ(blocker, std::string(EntryValue("Journal")));
        ExpectSentinels();
        EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie") << "nothing undone on its word";
    }

    // Another journal in the place of the record's (its identity differs, or its first record
    // is none that begins a journal): left alone.
    std::string identity = EntryValue("Identity");
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
    EXPECT_EQ(EntryValue("Journal"), "");
    ExpectSentinels();
}

// On a drive with access lists the journal lies in setup's own folder, which only
// administrators may change: a record naming one beside the install, where every user of the
// folder may write it, is refused, and the folder made to see that goes again.
TEST_F(Recovery, AJournalRecordedBesideTheInstallOnADriveWithAccessListsIsRefused) {
    TestMachine::WriteFile(Installed() / "mine.txt", "mine");
    fs::path beside = Installed() / "~kelvo-setup-0000ABCD.jnl";
    TestMachine::WriteFile(beside, Line("J 43981 C:\\Program Files\\Kelvo Co\\kelvo") +
                                       Line("F 0 C:\\Program Files\\Kelvo Co\\kelvo\\mine.txt"));
    WriteEntry("C:\\Program Files\\Kelvo Co\\kelvo\\~kelvo-setup-0000ABCD.jnl",
               "C:\\Program Files\\Kelvo Co\\kelvo", 0xABCD, "C:\\Program Files\\Kelvo Co\\kelvo");
    EXPECT_EQ(Recover(), RECOVERY_REFUSED);
    EXPECT_EQ(ReadAll(Installed() / "mine.txt"), "mine");
    EXPECT_TRUE(fs::exists(beside));
    EXPECT_NE(EntryValue("Journal"), "");
    EXPECT_FALSE(fs::exists(c / "~kelvo-setup"));
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

// A journal setup could have written and no other: kept files numbered 1, 2, 3... as their
// records come, every other record numbered 0, and no record naming one of setup's own files
// by any part of its path, short names included. Anything else is refused at once, before a
// single folder or file is looked at on its word.
TEST_F(Recovery, AJournalSetupCouldNotHaveWrittenIsRefusedAtOnce) {
    KilledRepair();
    std::string before = ReadAll(journal);
    DWORD kept = 0;
    for (const char* kind : {"\nK ", "\nR "}) {
        for (size_t at = 0; (at = before.find(kind, at)) != std::string::npos; ++at)
            ++kept;
    }
    ASSERT_GT(kept, 1u);
    char name[40];
    SetupName(name, (DWORD)std::stoul(EntryValue("Identity")));
    const std::string folder = "C:\\Program Files\\Kelvo Co\\kelvo";
    const std::string next = std::to_string(kept + 1);
    for (std::string record :
         {"K " + std::to_string(kept + 2) + " " + folder + "\\a.dat",
          "K " + std::to_string(kept) + " " + folder + "\\a.dat",
          "R 4294967295 " + folder + "\\a.dat", "K 0" + next + " " + folder + "\\a.dat",
          "K " + std::to_string(kept + 1 + 4294967296ull) + " " + folder + "\\a.dat",
          "F 1 " + folder + "\\a.dat", "D 3 " + folder + "\\sub", "V 2 " + folder + "\\a.dat",
          "F 0 " + folder + "\\" + name + "\\0\\0", "F 0 " + folder + "\\~KELVO~1\\0\\0",
          "K " + next + " " + folder + "\\~KELVO~1.JNL", "D 0 " + folder + "\\" + name,
          "V 0 " + folder + "\\" + name + "\\0\\1"}) {
        SCOPED_TRACE(record);
        TestMachine::WriteFile(journal, before + Line(record));
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Recover(), RECOVERY_REFUSED);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
        EXPECT_EQ(ReadAll(journal), before + Line(record)) << "left as it is";
        EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie") << "nothing undone on its word";
        ExpectSentinels();
    }
    // The journal as setup wrote it, with the next kept file in its turn, is rolled back: the
    // first kept file's original, which such a record would have deleted, comes back.
    TestMachine::WriteFile(journal, before + Line("K " + next + " " + folder + "\\kelvo.exe"));
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectNothingOfSetups();
}

// Each file the copy makes is written down as begun once it is made, and as written once it is
// whole, with its size and time of last change: a rollback deletes it only while it is still so.
// A file someone changed since stays, and so do the folders that hold it.
TEST_F(Recovery, AFileSetupMadeGoesOnlyWhileItIsAsSetupMadeIt) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    std::string folder = InstallState.installDir;
    std::string records(JournalState.records, JournalState.length);
    FILESTAMP stamp;
    ASSERT_TRUE(StampOfPath((folder + "\\kelvo.exe").c_str(), &stamp));
    EXPECT_EQ(stamp.size, 4u);
    size_t made = records.find("\nF 0 " + folder + "\\kelvo.exe\t");
    size_t begun = records.find("\nB 0 " + folder + "\\kelvo.exe\t");
    size_t written =
        records.find("\nW 0 4 " + std::to_string(stamp.written) + " " + folder + "\\kelvo.exe\t");
    ASSERT_NE(written, std::string::npos) << records;
    EXPECT_LT(made, begun);
    EXPECT_LT(begun, written);

    // Someone writes over two of them: one in other bytes of the same size and at another time,
    // one in more bytes put back to the very time the record holds.
    TestMachine::WriteFile(Installed() / "pixie.exe", "PIXIE");
    fs::last_write_time(Installed() / "pixie.exe",
                        fs::last_write_time(Installed() / "pixie.exe") + std::chrono::hours(1));
    auto time = fs::last_write_time(Installed() / "data" / "shared.dat");
    TestMachine::WriteFile(Installed() / "data" / "shared.dat", "theirs, longer");
    fs::last_write_time(Installed() / "data" / "shared.dat", time);
    RemoveInstalledFiles(nullptr);
    EXPECT_EQ(Left(), (std::vector<std::string>{"data/", "data/shared.dat", "pixie.exe"}));
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "PIXIE");
    EXPECT_EQ(ReadAll(Installed() / "data" / "shared.dat"), "theirs, longer");
    ExpectSentinels();
    ExpectNothingOfSetups();

    // The same after a kill: what the player changed stays; a file a power cut left with nothing
    // in it goes, whatever its record says.
    fs::remove_all(Installed());
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    journal = Host(JournalState.place.journal);
    AbandonJournal();
    TestMachine::WriteFile(Installed() / "data" / "maps" / "m1.map", "my own map");
    TestMachine::WriteFile(Installed() / "kelvo.exe", "");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), (std::vector<std::string>{"data/", "data/maps/", "data/maps/m1.map"}));
    EXPECT_EQ(ReadAll(Installed() / "data" / "maps" / "m1.map"), "my own map");
    ExpectNothingOfSetups();
}

// A killed install wrote its records ahead, a batch at a time, and was stopped before it made
// some of the files they name; the player, playing on, saves into one of them. The next setup's
// recovery leaves the save and the folder it is in. The file setup was writing when it was
// killed (begun, never written whole) goes, as does one with nothing in it.
TEST_F(Recovery, WhatThePlayerWroteAfterAKillStaysWithItsFolder) {
    fs::create_directories(Installed());
    ASSERT_TRUE(OpenJournal());
    journal = Host(JournalState.place.journal);
    std::string save = std::string(InstallState.installDir) + "\\save";
    ASSERT_TRUE(WriteAhead(JOURNAL_FOLDER, save.c_str()));
    ASSERT_EQ(MakeRecordedFolder(save.c_str()), CHANGE_MADE);
    for (const char* name : {"slot1.sav", "slot2.sav", "slot3.sav", "slot4.sav"})
        ASSERT_TRUE(WriteAhead(JOURNAL_FILE, (save + "\\" + name).c_str()));
    ASSERT_TRUE(FlushJournal());
    TestMachine::WriteFile(Installed() / "save" / "slot2.sav", "half of the dis");
    ASSERT_TRUE(NoteFileBegun((save + "\\slot2.sav").c_str()));
    TestMachine::WriteFile(Installed() / "save" / "slot3.sav", "");
    AbandonJournal();
    TestMachine::WriteFile(Installed() / "save" / "slot1.sav", "level 3");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), (std::vector<std::string>{"save/", "save/slot1.sav"}));
    EXPECT_EQ(ReadAll(Installed() / "save" / "slot1.sav"), "level 3");
    ExpectNothingOfSetups();
}

// The journal of an install another one names in its first record, with the identity the
// entry has: not the entry's journal either.
TEST_F(Recovery, AJournalWhoseFirstRecordNamesAnotherFolderIsLeftAlone) {
    KilledRepair();
    std::string records = ReadAll(journal);
    std::string first = "J " + EntryValue("Identity") + " C:\\Program Files\\Kelvo Co\\kelvo2";
    records.replace(0, records.find('\n') + 1, Line(first));
    TestMachine::WriteFile(journal, records);
    EXPECT_EQ(Recover(), RECOVERY_REFUSED);
    EXPECT_EQ(ReadAll(journal), records);
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie") << "nothing undone on its word";
}

// Setup's entry is there while its journal is: a journal that could not be deleted keeps the
// entry that leads the next setup to it, after a rollback and after a recovery.
TEST_F(Recovery, SetupsEntryGoesOnlyAfterItsJournal) {
    ASSERT_EQ(CopyDiscTree(nullptr), 0); // five files made, nothing replaced
    journal = Host(JournalState.place.journal);
    {
        // The rollback's sixth delete is the journal's, and the second try after it too.
        FailUses failed({{"DeleteFileA", 6}, {"SetFileAttributesA", 1}});
        RemoveInstalledFiles(nullptr);
    }
    ASSERT_TRUE(fs::exists(journal));
    EXPECT_FALSE(fs::exists(Installed() / "kelvo.exe"));
    EXPECT_NE(EntryValue("Journal"), "");

    // Held open by another program while the recovery ends.
    HANDLE held = CreateFileA(EntryValue("Journal").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Recover(), RECOVERY_BLOCKED);
    EXPECT_EQ(blocker, EntryValue("Journal"));
    CloseHandle(held);
    EXPECT_NE(EntryValue("Journal"), "");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    ExpectNothingOfSetups();
}

// A new install never takes the place of an entry that names another's journal.
TEST_F(Recovery, ANewInstallLeavesTheEntryOfAnInterruptedOneAsItIs) {
    KilledRepair();
    std::string named = EntryValue("Journal");
    std::string identity = EntryValue("Identity");
    EXPECT_FALSE(OpenJournal());
    EXPECT_EQ(EntryValue("Journal"), named);
    EXPECT_EQ(EntryValue("Identity"), identity);
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
}

// The folders the install makes are written down before they are made: a setup killed right
// after them has the next one remove them.
TEST_F(Recovery, TheFoldersOfTheInstallAreWrittenDownBeforeTheyAreMade) {
    std::strcpy(InstallState.installDir, "C:\\Program Files\\new\\deep\\kelvo");
    {
        // The copy stops at its first look at the disc, just after the folders are made.
        FailNext failed("FindFirstFileA");
        EXPECT_NE(CopyDiscTree(nullptr), 0);
    }
    ASSERT_TRUE(fs::is_directory(c / "Program Files" / "new" / "deep" / "kelvo"));
    AbandonJournal();
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_FALSE(fs::exists(c / "Program Files" / "new"));
    ExpectSentinels();
    ExpectNothingOfSetups();
}

// Someone swaps the folder of kept files for a link to a folder of theirs, whose files bear the
// kept files' names: nothing is moved out of it into the install.
TEST_F(Recovery, NothingIsPutBackFromAKeptFolderThatBecameALink) {
    KilledRepair();
    fs::path kept = journal.parent_path() / journal.stem();
    ASSERT_TRUE(fs::is_directory(kept / "0"));
    fs::rename(kept, c / "elsewhere");
    fs::create_directory_symlink(c / "elsewhere", kept);
    std::vector<std::string> theirs = Left(c / "elsewhere");
    EXPECT_EQ(Recover(), RECOVERY_REFUSED);
    EXPECT_EQ(Left(c / "elsewhere"), theirs);
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");
}

// The entry names a journal in a folder that became a link to someone else's folder, holding a
// journal of that name: it is neither read nor deleted.
TEST_F(Recovery, AJournalReachedThroughALinkIsNeitherReadNorDeleted) {
    TestMachine::WriteFile(c / "theirs" / "~kelvo-setup-0000ABCD.jnl",
                           Line("J 43981 C:\\Games\\kelvo"));
    fs::create_directory_symlink(c / "theirs", c / "Games");
    WriteEntry("C:\\Games\\~kelvo-setup-0000ABCD.jnl", "C:\\Games\\kelvo", 0xABCD);
    EXPECT_EQ(Recover(), RECOVERY_REFUSED);
    EXPECT_STREQ(blocker, "C:\\Games\\~kelvo-setup-0000ABCD.jnl");
    EXPECT_EQ(ReadAll(c / "theirs" / "~kelvo-setup-0000ABCD.jnl"),
              Line("J 43981 C:\\Games\\kelvo"));
    EXPECT_NE(EntryValue("Journal"), "");
}

// Where the volume keeps no access lists (Windows 95 here), the journal lies beside the install
// and no folder of setup's own guards its way: a journal reached through a link is still
// neither read nor deleted.
TEST_F(Recovery, AJournalReachedThroughALinkIsLeftAloneWithoutAnOwnFolderToo) {
    sim.machine().version = 0xC3B60004;
    TestMachine::WriteFile(c / "theirs" / "~kelvo-setup-0000ABCD.jnl",
                           Line("J 43981 C:\\Games\\kelvo"));
    fs::create_directory_symlink(c / "theirs", c / "Games");
    WriteEntry("C:\\Games\\~kelvo-setup-0000ABCD.jnl", "C:\\Games\\kelvo", 0xABCD);
    EXPECT_EQ(Recover(), RECOVERY_REFUSED);
    EXPECT_EQ(ReadAll(c / "theirs" / "~kelvo-setup-0000ABCD.jnl"),
              Line("J 43981 C:\\Games\\kelvo"));
    EXPECT_NE(EntryValue("Journal"), "");
}

// The entry names a journal that does not lie in the install folder or above it, or that does
// not bear setup's name for the install: it is never read.
TEST_F(Recovery, AnEntryNamingAJournalElsewhereOrUnderAnotherNameIsRefused) {
    TestMachine::WriteFile(c / "Games" / "kelvo" / "mine.txt", "mine");
    std::string records = Line("J 43981 C:\\Games\\kelvo") + Line("F 0 C:\\Games\\kelvo\\mine.txt");
    for (const char* named :
         {"C:\\Other\\~kelvo-setup-0000ABCD.jnl",
          "C:\\Games\\kelvo\\sub\\~kelvo-setup-0000ABCD.jnl", "C:\\Games\\kelvo\\notes.jnl",
          "C:\\Games\\kelvo\\~kelvo-setup-0000ABCE.jnl"}) {
        SCOPED_TRACE(named);
        TestMachine::WriteFile(Host(named), records);
        WriteEntry(named, "C:\\Games\\kelvo", 0xABCD);
        EXPECT_EQ(Recover(), RECOVERY_REFUSED);
        EXPECT_STREQ(blocker, named);
        EXPECT_EQ(ReadAll(Host(named)), records);
        EXPECT_EQ(ReadAll(c / "Games" / "kelvo" / "mine.txt"), "mine");
        EXPECT_EQ(EntryValue("Journal"), named);
    }
}

// On Windows 95, 98 and ME, where a kept file takes its place by a delete and a move, a file that
// was never moved aside (the setup was killed just after its record) or was already put back (a
// recovery stopped halfway) is left as it is.
TEST_F(Recovery, OnWindows95AFileNeverMovedAsideOrAlreadyBackIsLeftAsItIs) {
    sim.machine().lacks.insert("MoveFileExA");
    sim.machine().stubErrors["MoveFileExA"] = ERROR_INVALID_FUNCTION;
    sim.machine().version = 0xC3B60004;
    WriteEarlierFile(Installed() / "kelvo.exe", "the game as it was", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(OpenJournal());
    char kept[MAX_PATH];
    DWORD number = 0;
    ASSERT_TRUE(WriteAheadKept((std::string(InstallState.installDir) + "\\kelvo.exe").c_str(), TRUE,
                               kept, &number));
    ASSERT_TRUE(FlushJournal());
    AbandonJournal();
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    ExpectEarlierFiles();
    ExpectNothingOfSetups();

    earlier.clear();
    fs::remove_all(Installed());
    KilledRepair();
    {
        FailNext failed("MoveFileA", 2);
        EXPECT_EQ(Recover(), RECOVERY_BLOCKED);
    }
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(Left(), EarlierTree);
    ExpectEarlierFiles();
    ExpectNothingOfSetups();
}

// What is gone with its folder is gone: a kept file whose folder the user deleted, and a journal
// whose folder was deleted, end the install's business as a deleted file does.
TEST_F(Recovery, AFileWhoseFolderIsGoneIsTakenAsDeleted) {
    LayOutEarlierInstall();
    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    journal = Host(JournalState.place.journal);
    fs::remove_all(journal.parent_path() / journal.stem());
    CommitInstall();
    ExpectNothingOfSetups();
    EXPECT_EQ(ReadAll(Installed() / "pixie.exe"), "pixie");

    ASSERT_EQ(CopyDiscTree(nullptr), 0);
    journal = Host(JournalState.place.journal);
    fs::remove_all(journal.parent_path() / journal.stem());
    RemoveInstalledFiles(nullptr);
    ExpectNothingOfSetups();

    // Setup's own folder of the drive, gone with the journal in it.
    WriteEntry("C:\\~kelvo-setup\\~kelvo-setup-0000ABCD.jnl", "C:\\Gone\\kelvo", 0xABCD, "C:\\");
    EXPECT_EQ(Recover(), RECOVERY_DONE);
    EXPECT_EQ(EntryValue("Journal"), "");
}

} // namespace

// The rules a journal goes by, each on its own: where setup puts its journal and its kept files,
// which names it takes for its own, and what a record may touch (the write-ahead, the rollback,
// the commit and the recovery all ask the same), on a simulated PC.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "journal/reach.h"
#include "journal/records.h"
#include "journal/setup_entry.h"
#include "call_points.h"
#include "install_fixture.h"
#include "journal/setup_names.h"
#include "machine.h"
#include "test_machine.h"

namespace fs = std::filesystem;
using testing_support::TestMachine;

namespace {

// Big5 characters whose trail byte is 0x5C, the byte of '\': 功 (A5 5C), 許 (B3 5C), 蓋 (BB 5C).
const char* const TrailBackslash[] = {"\xA5\x5C", "\xB3\x5C", "\xBB\x5C"};

class JournalRules : public ::testing::Test {
  protected:
    void SetUp() override { c = sim.AddFixed('c').hostFolder; }
    // Where a path of drive c (code page 950) lies on the host.
    fs::path Host(const std::string& windows) const {
        std::string relative = winsim::Cp950ToUtf8(windows.substr(3));
        std::replace(relative.begin(), relative.end(), '\\', '/');
        return c / relative;
    }
    void MakeFolder(const std::string& windows) const { fs::create_directories(Host(windows)); }
    // A directory link (a junction, as winsim shows a host symbolic link) at windows to target.
    void MakeLink(const std::string& windows, const std::string& target) const {
        fs::create_directories(Host(target));
        fs::create_directories(Host(windows).parent_path());
        fs::create_directory_symlink(Host(target), Host(windows));
    }
    static std::string JournalFolderFor(const std::string& installDir) {
        char folder[MAX_PATH];
        if (!ChooseJournalFolder(installDir.c_str(), folder))
            return "(none)";
        return folder;
    }

    TestMachine sim;
    fs::path c;
};

TEST_F(JournalRules, TheJournalGoesIntoTheDeepestFolderThatIsThereWhateverItsNames) {
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        // The name as the first name, in the middle, last, and run together with the next.
        MakeFolder("C:\\" + k + "\\a\\" + k);
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "\\kelvo"), "C:\\" + k);
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "\\a\\b\\kelvo"), "C:\\" + k + "\\a");
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "\\a\\" + k), "C:\\" + k + "\\a\\" + k);
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "\\a\\" + k + "\\kelvo"), "C:\\" + k + "\\a\\" + k);
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "x\\kelvo"), "C:\\");
        EXPECT_EQ(JournalFolderFor("C:\\" + k + "\\a\\" + k + "x\\" + k), "C:\\" + k + "\\a");
    }
    // No room for setup's names below the folder: a parent that has it.
    std::string deep = "C:\\" + std::string(230, 'd');
    MakeFolder(deep);
    EXPECT_EQ(JournalFolderFor(deep + "\\kelvo"), "C:\\");
}

TEST_F(JournalRules, ALinkIsFoundWhereverANameWithATrailByteStands) {
    int round = 0;
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        std::string base = "C:\\w" + std::to_string(round++);
        MakeLink(base + k, "C:\\elsewhere");                   // the first name below the root
        MakeLink(base + "\\m\\" + k, "C:\\elsewhere");         // a name in the middle
        MakeFolder(base + "\\p\\" + k + "x\\" + k + "\\" + k); // plain all the way
        for (std::string path :
             {base + k + "\\x", base + k, base + "\\m\\" + k + "\\b\\x", base + "\\m\\" + k})
            EXPECT_TRUE(IsReachedThroughLink(path.c_str())) << path;
        for (std::string path : {base + "\\p\\" + k + "x\\" + k + "\\" + k + "\\x",
                                 base + "\\p\\" + k + "x", base + "\\m"})
            EXPECT_FALSE(IsReachedThroughLink(path.c_str())) << path;

        // A plain folder looked at first vouches for no link whose name it begins with.
        MakeLink(base + "\\p\\" + k, "C:\\elsewhere");
        char checked[MAX_PATH] = "";
        EXPECT_FALSE(PassesThroughLink((base + "\\p\\" + k + "x\\a.dat").c_str(), checked));
        EXPECT_TRUE(PassesThroughLink((base + "\\p\\" + k + "\\a.dat").c_str(), checked));
        // Nor does a plain folder of the same name in another place.
        char other[MAX_PATH] = "";
        EXPECT_FALSE(PassesThroughLink((base + "\\p\\" + k + "x\\" + k + "\\a").c_str(), other));
        EXPECT_TRUE(PassesThroughLink((base + "\\m\\" + k + "\\a").c_str(), other));
    }
}

// The place of an install into C:\Games\new\kelvo whose journal lies in C:\Games (the folders
// new and kelvo were to be made), with the link folders written down.
class RecordsMayTouch : public JournalRules {
  protected:
    void SetUp() override {
        JournalRules::SetUp();
        place.identity = 0x1234ABCD;
        lstrcpyA(place.journal, "C:\\Games\\~kelvo-setup-1234ABCD.jnl");
        lstrcpyA(place.folder, "C:\\Games\\new\\kelvo");
        lstrcpyA(place.programs, "C:\\Start Menu\\Programs");
        lstrcpyA(place.desktop, "C:\\Desktop");
    }
    // Whether a record of kind may touch path (UTF-8), with a fresh look for links.
    bool May(char kind, const std::string& path, DWORD number = 1) {
        LINKWALK walk;
        BeginLinkWalk(&walk);
        bool may = MayTouch(&place, kind, winsim::Utf8ToCp950(path).c_str(), number, &walk, kept);
        EndLinkWalk(&walk);
        return may;
    }
    std::string Kept() const { return winsim::Cp950ToUtf8(kept); }

    JOURNALPLACE place = {};
    char kept[MAX_PATH] = "";
};

TEST_F(RecordsMayTouch, TheInstallFolderTheFoldersMadeAboveItAndTheProductsLinksAlone) {
    const std::string group = "C:\\Start Menu\\Programs\\遠岫工坊\\雲嶺奇譚續錄~星月影";
    for (char kind : {JOURNAL_FOLDER, JOURNAL_FILE, JOURNAL_KEPT, JOURNAL_KEPT_READ_ONLY}) {
        SCOPED_TRACE(kind);
        EXPECT_TRUE(May(kind, "C:\\Games\\new\\kelvo\\data\\a.dat"));
        EXPECT_TRUE(May(kind, "c:\\GAMES\\New\\KELVO\\a.dat")) << "in other letters";
        EXPECT_TRUE(May(kind, "C:\\Games\\new\\kelvo\\功\\a.dat"));
        // Beside the install folder, above it, elsewhere, or spelled another way.
        for (std::string path :
             {"C:\\Games\\new\\kelvo2", "C:\\Games\\new\\kelvo2\\a.dat",
              "C:\\Games\\new\\kelvo.txt", "C:\\Games\\a.dat", "C:\\a.dat",
              "D:\\Games\\new\\kelvo\\a.dat", "C:/Games/new/kelvo/a.dat",
              "C:\\Games\\new\\kelvo\\..\\a.dat", "\\\\?\\C:\\Games\\new\\kelvo\\a.dat",
              "C:\\Games\\new\\kelvo\\a.dat.", "C:\\Games\\new\\kelvo\\a "})
            EXPECT_FALSE(May(kind, path)) << path;
        // Setup's own names, wherever they stand in the path and in any letters, and the short
        // names that could be theirs.
        for (std::string path :
             {"C:\\Games\\new\\kelvo\\~kelvo-setup-1234ABCD.jnl",
              "C:\\Games\\new\\kelvo\\data\\~KELVO-SETUP-1.bak",
              "C:\\Games\\new\\kelvo\\~kelvo-setup",
              "C:\\Games\\new\\kelvo\\~kelvo-setup-1234ABCD\\0\\0",
              "C:\\Games\\new\\kelvo\\~Kelvo-Setup\\功\\a.dat",
              "C:\\Games\\new\\kelvo\\~KELVO~1\\0\\0", "C:\\Games\\new\\kelvo\\data\\~kelvo~2.bak",
              "C:\\Games\\new\\kelvo\\~K3F2A~5\\a.dat", "C:\\Games\\new\\kelvo\\功\\~KELVO~12.JNL"})
            EXPECT_FALSE(May(kind, path)) << path;
        // A name that merely begins as setup's do, or holds a '~' elsewhere, is the game's.
        for (std::string path :
             {"C:\\Games\\new\\kelvo\\~kelvo\\a.dat", "C:\\Games\\new\\kelvo\\kelvo~1\\a.dat",
              "C:\\Games\\new\\kelvo\\雲嶺~星\\~k.dat"})
            EXPECT_TRUE(May(kind, path)) << path;
        // The product's links in the folders written down, and nothing else there.
        EXPECT_EQ(May(kind, group + "\\雲嶺奇譚續錄~星月影說明檔.lnk"), kind != JOURNAL_FOLDER);
        EXPECT_EQ(May(kind, "C:\\Desktop\\靈犀別苑.lnk"), kind != JOURNAL_FOLDER);
        EXPECT_FALSE(May(kind, "C:\\Desktop\\雲嶺奇譚續錄~星月影說明檔.lnk")) << "no manual there";
        EXPECT_FALSE(May(kind, "C:\\Desktop\\other.lnk"));
        EXPECT_FALSE(May(kind, group + "\\other.lnk"));
        EXPECT_FALSE(May(kind, "C:\\Start Menu\\Programs\\other"));
    }
    // Folders: those made above the install folder, below the journal's, and the program group's
    // two; never the journal's own folder, nor a link's path.
    EXPECT_TRUE(May(JOURNAL_FOLDER, "C:\\Games\\new\\kelvo"));
    EXPECT_TRUE(May(JOURNAL_FOLDER, "C:\\Games\\new"));
    EXPECT_FALSE(May(JOURNAL_FILE, "C:\\Games\\new"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Games"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\"));
    EXPECT_TRUE(May(JOURNAL_FOLDER, "C:\\Start Menu\\Programs\\遠岫工坊"));
    EXPECT_TRUE(May(JOURNAL_FOLDER, group));
    EXPECT_FALSE(May(JOURNAL_FILE, group));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Start Menu\\Programs"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Desktop"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, group + "\\雲嶺奇譚續錄~星月影.lnk"));

    // With the desktop written down and no program group, a desktop link is still no folder.
    place.programs[0] = '\0';
    EXPECT_TRUE(May(JOURNAL_FILE, "C:\\Desktop\\靈犀別苑.lnk"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Desktop\\靈犀別苑.lnk"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Desktop\\雲嶺奇譚續錄~星月影.lnk"));

    // Until the link folders are written down, no link may be named.
    place.desktop[0] = '\0';
    EXPECT_FALSE(May(JOURNAL_FILE, "C:\\Desktop\\靈犀別苑.lnk"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Start Menu\\Programs\\遠岫工坊"));
}

TEST_F(RecordsMayTouch, KeptFilesGoIntoFoldersOfAHundredAndLinksBesideThemselves) {
    struct {
        DWORD number;
        const char* kept;
    } const numbered[] = {
        {1, "C:\\Games\\~kelvo-setup-1234ABCD\\0\\0"},
        {2, "C:\\Games\\~kelvo-setup-1234ABCD\\0\\1"},
        {100, "C:\\Games\\~kelvo-setup-1234ABCD\\0\\99"},
        {101, "C:\\Games\\~kelvo-setup-1234ABCD\\1\\0"},
        {200, "C:\\Games\\~kelvo-setup-1234ABCD\\1\\99"},
        {12345, "C:\\Games\\~kelvo-setup-1234ABCD\\123\\44"},
    };
    for (const auto& file : numbered) {
        EXPECT_TRUE(May(JOURNAL_KEPT, "C:\\Games\\new\\kelvo\\a.dat", file.number));
        EXPECT_EQ(Kept(), file.kept) << file.number;
    }
    EXPECT_FALSE(May(JOURNAL_KEPT, "C:\\Games\\new\\kelvo\\a.dat", 0)) << "no kept file 0";
    EXPECT_TRUE(May(JOURNAL_KEPT_READ_ONLY, "C:\\Desktop\\靈犀別苑.lnk", 7));
    EXPECT_EQ(Kept(), "C:\\Desktop\\~kelvo-setup-1234ABCD-7.bak");
    EXPECT_TRUE(IsKeptInKeptFolder(&place, "C:\\Games\\new\\kelvo\\a.dat"));
    EXPECT_FALSE(IsKeptInKeptFolder(&place, "C:\\Desktop\\a.lnk"));
}

TEST_F(RecordsMayTouch, NothingIsTouchedThroughADirectoryLink) {
    // The first folder below the drive's root, one in the middle, the install folder itself.
    MakeLink("C:\\Games", "C:\\elsewhere");
    EXPECT_FALSE(May(JOURNAL_FILE, "C:\\Games\\new\\kelvo\\a.dat"));
    EXPECT_FALSE(May(JOURNAL_FOLDER, "C:\\Games\\new"));
    fs::remove(Host("C:\\Games"));
    MakeLink("C:\\Games\\new", "C:\\elsewhere");
    EXPECT_FALSE(May(JOURNAL_FILE, "C:\\Games\\new\\kelvo\\a.dat"));
    fs::remove(Host("C:\\Games\\new"));
    MakeLink("C:\\Games\\new\\kelvo", "C:\\elsewhere");
    EXPECT_FALSE(May(JOURNAL_FILE, "C:\\Games\\new\\kelvo\\a.dat"));
    fs::remove(Host("C:\\Games\\new\\kelvo"));
    MakeFolder("C:\\Games\\new\\kelvo\\data");
    EXPECT_TRUE(May(JOURNAL_FILE, "C:\\Games\\new\\kelvo\\data\\a.dat"));
    EXPECT_TRUE(May(JOURNAL_KEPT, "C:\\Games\\new\\kelvo\\data\\a.dat"));

    // A kept file's folder that is a link: the file could not be put back from it.
    MakeLink("C:\\Games\\~kelvo-setup-1234ABCD", "C:\\elsewhere");
    EXPECT_FALSE(May(JOURNAL_KEPT, "C:\\Games\\new\\kelvo\\data\\a.dat"));
    EXPECT_FALSE(May(JOURNAL_KEPT_READ_ONLY, "C:\\Games\\new\\kelvo\\data\\a.dat"));
    EXPECT_TRUE(May(JOURNAL_FILE, "C:\\Games\\new\\kelvo\\data\\a.dat"));

    // Below the shell folders written down only: the desktop itself may be a link (under Wine
    // it is one to the user's home), the program group's folder may not.
    MakeLink("C:\\Desktop", "C:\\home");
    EXPECT_TRUE(May(JOURNAL_FILE, "C:\\Desktop\\靈犀別苑.lnk"));
    EXPECT_TRUE(May(JOURNAL_KEPT, "C:\\Desktop\\靈犀別苑.lnk"));
    MakeLink(winsim::Utf8ToCp950("C:\\Start Menu\\Programs\\遠岫工坊"), "C:\\elsewhere");
    EXPECT_FALSE(
        May(JOURNAL_FILE, "C:\\Start Menu\\Programs\\遠岫工坊\\雲嶺奇譚續錄~星月影\\靈犀別苑.lnk"));
}

// What was found plain stays so until the act that follows the look: the folder is held, and
// neither it nor a folder above it can be moved away for a link to take its place.
TEST_F(RecordsMayTouch, TheFolderFoundPlainIsHeldUntilTheNextLook) {
    MakeFolder("C:\\Games\\new\\kelvo\\data");
    MakeFolder("C:\\Games\\new\\kelvo\\sound");
    LINKWALK walk;
    BeginLinkWalk(&walk);
    ASSERT_TRUE(
        MayTouch(&place, JOURNAL_FILE, "C:\\Games\\new\\kelvo\\data\\a.dat", 0, &walk, kept));
    EXPECT_FALSE(walk.gone);
    EXPECT_FALSE(MoveFileA("C:\\Games\\new\\kelvo\\data", "C:\\Games\\new\\kelvo\\away"));
    EXPECT_FALSE(MoveFileA("C:\\Games\\new", "C:\\Games\\away"));
    // Files in it are made, changed and deleted as ever.
    HANDLE file = CreateFileA("C:\\Games\\new\\kelvo\\data\\a.dat", GENERIC_WRITE, 0, NULL,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileA("C:\\Games\\new\\kelvo\\data\\a.dat"));

    // The next look lets go of it and holds its own.
    ASSERT_TRUE(
        MayTouch(&place, JOURNAL_FILE, "C:\\Games\\new\\kelvo\\sound\\b.dat", 0, &walk, kept));
    EXPECT_TRUE(MoveFileA("C:\\Games\\new\\kelvo\\data", "C:\\Games\\new\\kelvo\\away"));
    EXPECT_FALSE(MoveFileA("C:\\Games\\new", "C:\\Games\\away"));
    // One that is not there holds nothing, and has nothing to act on.
    ASSERT_TRUE(
        MayTouch(&place, JOURNAL_FILE, "C:\\Games\\new\\kelvo\\data\\a.dat", 0, &walk, kept));
    EXPECT_TRUE(walk.gone);
    EXPECT_TRUE(MoveFileA("C:\\Games\\new", "C:\\Games\\away"));
    EXPECT_TRUE(MoveFileA("C:\\Games\\away", "C:\\Games\\new"));
    ASSERT_TRUE(
        MayTouch(&place, JOURNAL_FILE, "C:\\Games\\new\\kelvo\\sound\\b.dat", 0, &walk, kept));
    EndLinkWalk(&walk);
    EXPECT_TRUE(MoveFileA("C:\\Games\\new", "C:\\Games\\away"));
}

TEST_F(JournalRules, TheFirstFolderBelowADrivesRootIsLookedAtForALink) {
    MakeLink("C:\\door", "C:\\elsewhere");
    EXPECT_TRUE(IsReachedThroughLink("C:\\door"));
    EXPECT_TRUE(IsReachedThroughLink("C:\\door\\x\\y"));
    char checked[MAX_PATH] = "";
    EXPECT_TRUE(PassesThroughLink("C:\\door\\x", checked));
    EXPECT_FALSE(IsReachedThroughLink("C:\\"));
    EXPECT_FALSE(IsReachedThroughLink("C:\\elsewhere\\x"));
}

// A folder on the way that can't be looked at counts as a link; one that is not there as none.
TEST_F(JournalRules, AFolderOnTheWayThatCantBeLookedAtMayBeALink) {
    CreateDirectoryA("C:\\plain", NULL);
    char checked[MAX_PATH] = "";
    winsim::calls::Plan plan;
    plan.failAt["GetFileAttributesA"] = winsim::calls::Counted().uses["GetFileAttributesA"] + 1;
    winsim::calls::SetPlan(plan);
    EXPECT_TRUE(PassesThroughLink("C:\\plain\\x\\a.dat", checked));
    winsim::calls::SetPlan({});
    EXPECT_FALSE(PassesThroughLink("C:\\plain\\x\\a.dat", checked));
    EXPECT_FALSE(PassesThroughLink("C:\\gone\\x\\a.dat", checked));
}

TEST(SetupNames, ADiscNameIsInstalledOnlyWhenWindowsMakesItAsItIs) {
    for (const char* name : {"kelvo.exe", "a", "\xA5\x5C", "CONSOLE", "COM10", "COM0", "LPT",
                             "nul_", "~kelvo", "kelvo-setup", "a.b.c", ".a"})
        EXPECT_TRUE(IsInstallableName(name)) << name;
    for (const char* name : {"",
                             "nul",
                             "NUL.dat",
                             "con.txt",
                             "Con",
                             "AUX",
                             "prn.x",
                             "COM1",
                             "com9.log",
                             "LPT1",
                             "lpt9 .dat",
                             "aux .tar.gz",
                             "~kelvo-setup",
                             "~KELVO-SETUP-1.bak",
                             "~kelvo-setup-0123ABCD.jnl",
                             "~KELVO~1",
                             "~kelvo~3.JNL",
                             "~KAB12~5.BAK",
                             "odd.",
                             "odd ",
                             "a.b ",
                             "\xA5\x5C."})
        EXPECT_FALSE(IsInstallableName(name)) << name;
}

TEST(SetupNames, AJournalIsActedOnOnlyWhereSetupPutsOneUnderItsName) {
    JOURNALPLACE place = {};
    place.identity = 0x0000ABCD;
    lstrcpyA(place.folder, "C:\\Games\\kelvo");
    for (const char* journal :
         {"C:\\Games\\kelvo\\~kelvo-setup-0000ABCD.jnl", "C:\\Games\\~kelvo-setup-0000ABCD.jnl",
          "C:\\~kelvo-setup-0000abcd.JNL"}) {
        lstrcpyA(place.journal, journal);
        EXPECT_TRUE(IsSetupsJournalPlace(&place)) << journal;
    }
    for (const char* journal :
         {"C:\\Other\\~kelvo-setup-0000ABCD.jnl",
          "C:\\Games\\kelvo\\data\\~kelvo-setup-0000ABCD.jnl",
          "C:\\Games\\kelvo2\\~kelvo-setup-0000ABCD.jnl", "D:\\~kelvo-setup-0000ABCD.jnl",
          "C:\\Games\\kelvo\\notes.jnl", "C:\\Games\\kelvo\\~kelvo-setup-0000ABCE.jnl",
          "C:\\Games\\kelvo\\~kelvo-setup-0000ABCD.jnl.txt",
          "C:\\Games\\kelvo\\~kelvo-setup-0000ABCD", "C:/Games/kelvo/~kelvo-setup-0000ABCD.jnl",
          "C:\\Games\\kelvo\\..\\~kelvo-setup-0000ABCD.jnl"}) {
        lstrcpyA(place.journal, journal);
        EXPECT_FALSE(IsSetupsJournalPlace(&place)) << journal;
    }
    lstrcpyA(place.journal, "C:\\Games\\kelvo\\~kelvo-setup-0000ABCD.jnl");
    lstrcpyA(place.folder, "C:/Games/kelvo");
    EXPECT_FALSE(IsSetupsJournalPlace(&place)) << "an install folder spelled another way";
}

// Setup's own names beside a folder whose name ends in a trail byte 0x5C: the folder is one name
// wherever it stands, and a name that only begins with it is another folder.
TEST(SetupNames, AFolderNameEndingInATrailByteKeepsItsOwnSeparator) {
    for (std::string k : TrailBackslash) {
        SCOPED_TRACE(k);
        JOURNALPLACE place = {};
        place.identity = 0x0000ABCD;
        for (std::string folder :
             {"C:\\" + k, "C:\\" + k + "\\a\\" + k, "\\\\s\\" + k + "\\" + k}) {
            lstrcpyA(place.folder, (folder + "\\kelvo").c_str());
            lstrcpyA(place.journal, (folder + "\\~kelvo-setup-0000ABCD.jnl").c_str());
            char path[MAX_PATH];
            JournalFolder(&place, path);
            EXPECT_EQ(std::string(path), folder);
            EXPECT_TRUE(IsSetupsJournalPlace(&place)) << folder;
            ASSERT_TRUE(KeptPath(&place, (folder + "\\kelvo\\" + k).c_str(), 101, path));
            EXPECT_EQ(std::string(path), folder + "\\~kelvo-setup-0000ABCD\\1\\0");
            ASSERT_TRUE(KeptPath(&place, (folder + "\\" + k + ".lnk").c_str(), 7, path));
            EXPECT_EQ(std::string(path), folder + "\\~kelvo-setup-0000ABCD-7.bak");
            // A journal beside a folder that only begins with the name is no journal of this one.
            lstrcpyA(place.folder, (folder + "x\\kelvo").c_str());
            EXPECT_FALSE(IsSetupsJournalPlace(&place)) << folder;
        }
    }
}

// The entry names an install folder only as the dialog makes one: the product folder below a
// drive's root or a share, written the one way.
TEST(SetupNames, AnEntryNamesOnlyTheProductFolderBelowADriveOrAShare) {
    for (const char* folder : {"C:\\kelvo", "d:\\Games\\KELVO", "\\\\server\\share\\kelvo",
                               "C:\\\xA5\x5C\\kelvo", "C:\\Games\\\xB3\x5C\\\xBB\x5C\\kelvo"})
        EXPECT_TRUE(NamesInstallFolder(folder)) << folder;
    for (const char* folder :
         {"C:\\", "C:\\Windows", "C:\\kelvo\\", "C:\\kelvo2", "C:\\xkelvo", "C:kelvo", "\\kelvo",
          "\\\\server\\kelvo", "\\\\server\\share", "C:/Games/kelvo", "C:\\Games\\..\\kelvo\\..",
          "C:\\\xA5\x5Ckelvo", ""})
        EXPECT_FALSE(NamesInstallFolder(folder)) << folder;
}

TEST(Records, ARecordReadsBackAsItWasWrittenAndATornOrAlteredLineNotAtAll) {
    char line[RECORD_MAX_BYTES];
    int length =
        FormatRecord(line, JOURNAL_KEPT, 4294967295u, nullptr, "C:\\Games\\kelvo\\\xA5\x5C");
    std::string text(line, length);
    EXPECT_EQ(text.substr(0, text.find('\t')), "K 4294967295 C:\\Games\\kelvo\\\xA5\x5C");
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    JOURNALRECORD record;
    ASSERT_EQ(ParseRecord(text.c_str(), (DWORD)text.size(), &record), (DWORD)text.size());
    EXPECT_EQ(record.kind, JOURNAL_KEPT);
    EXPECT_EQ(record.number, 4294967295u);
    EXPECT_STREQ(record.path, "C:\\Games\\kelvo\\\xA5\x5C");
    // Every line shorter than the whole, and every single byte changed, reads as no record.
    for (size_t cut = 0; cut < text.size(); ++cut)
        EXPECT_EQ(ParseRecord(text.c_str(), (DWORD)cut, &record), 0u) << cut;
    for (size_t at = 0; at < text.size(); ++at) {
        std::string altered = text;
        altered[at] = altered[at] == '0' ? '1' : '0';
        EXPECT_EQ(ParseRecord(altered.c_str(), (DWORD)altered.size(), &record), 0u) << at;
    }
    // A number no FormatRecord writes, however well its line checks out: a leading zero, or
    // more than a DWORD holds (4294967296 would be read as 0, 4294967297 as 1).
    for (const char* odd : {"K 01 C:\\a", "K 00 C:\\a", "K 4294967296 C:\\a", "K 4294967297 C:\\a",
                            "K 99999999999 C:\\a"}) {
        std::string line = testing_support::Line(odd);
        EXPECT_EQ(ParseRecord(line.c_str(), (DWORD)line.size(), &record), 0u) << odd;
    }
    std::string zero = testing_support::Line("F 0 C:\\a");
    EXPECT_EQ(ParseRecord(zero.c_str(), (DWORD)zero.size(), &record), (DWORD)zero.size());

    // A written record's size and time, whatever their 64 bits hold; the path after them with
    // its spaces.
    for (FILESTAMP stamp : {FILESTAMP{0, 0}, FILESTAMP{4294967296ull, 133000000000000000ull},
                            FILESTAMP{18446744073709551615ull, 10000000000000000000ull}}) {
        length = FormatRecord(line, JOURNAL_WRITTEN, 0, &stamp, "C:\\Games\\a b\\c");
        text.assign(line, length);
        SCOPED_TRACE(text);
        EXPECT_EQ(text.substr(0, text.find('\t')), "W 0 " + std::to_string(stamp.size) + " " +
                                                       std::to_string(stamp.written) +
                                                       " C:\\Games\\a b\\c");
        ASSERT_EQ(ParseRecord(text.c_str(), (DWORD)text.size(), &record), (DWORD)text.size());
        EXPECT_EQ(record.stamp.size, stamp.size);
        EXPECT_EQ(record.stamp.written, stamp.written);
        EXPECT_STREQ(record.path, "C:\\Games\\a b\\c");
    }
    for (const char* odd :
         {"W 0 01 2 C:\\a", "W 0 1 02 C:\\a", "W 0 18446744073709551616 2 C:\\a",
          "W 0 1 99999999999999999999 C:\\a", "W 0 1 C:\\a", "W 0 1  2 C:\\a", "W 0 -1 2 C:\\a"}) {
        std::string odder = testing_support::Line(odd);
        EXPECT_EQ(ParseRecord(odder.c_str(), (DWORD)odder.size(), &record), 0u) << odd;
    }
}

} // namespace

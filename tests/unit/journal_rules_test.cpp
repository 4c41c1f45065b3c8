// The rules a journal goes by, each on its own: where setup puts its journal and its kept files,
// which names it takes for its own, and what a record may touch (the write-ahead, the rollback,
// the commit and the recovery all ask the same), on a simulated PC.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "journal/reach.h"
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

} // namespace

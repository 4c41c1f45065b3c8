// winsim finds names in any letter case from folder listings it keeps; whatever changes a folder,
// through winsim or around it, a lookup must answer as a fresh listing would.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "test_machine.h"

namespace fs = std::filesystem;
using testing_support::TestMachine;

namespace {

class WinsimFolderNames : public ::testing::Test {
  protected:
    void SetUp() override { c = sim.AddFixed('c').hostFolder; }
    static std::string Host(const std::string& windowsPath) {
        return winsim::HostPath(windowsPath).value_or("(none)");
    }
    TestMachine sim;
    fs::path c;
};

TEST_F(WinsimFolderNames, SeeEveryChangeMadeAroundWinsim) {
    fs::create_directories(c / "Data");
    fs::create_directories(c / "elsewhere");
    // Missing: the folder's names are kept from here on.
    EXPECT_EQ(Host("c:\\DATA\\x.txt"), (c / "Data" / "x.txt").string());
    EXPECT_EQ(GetFileAttributesA("c:\\data\\X.TXT"), INVALID_FILE_ATTRIBUTES);

    TestMachine::WriteFile(c / "Data" / "X.Txt", "made by another program");
    EXPECT_EQ(Host("c:\\data\\x.txt"), (c / "Data" / "X.Txt").string());
    EXPECT_EQ(GetFileAttributesA("c:\\data\\X.TXT"), (DWORD)FILE_ATTRIBUTE_ARCHIVE);

    fs::rename(c / "Data" / "X.Txt", c / "Data" / "Y.txt");
    EXPECT_EQ(Host("c:\\data\\x.txt"), (c / "Data" / "x.txt").string());
    EXPECT_EQ(Host("c:\\data\\y.TXT"), (c / "Data" / "Y.txt").string());

    fs::remove(c / "Data" / "Y.txt");
    EXPECT_EQ(Host("c:\\data\\y.TXT"), (c / "Data" / "y.TXT").string());
    EXPECT_EQ(GetFileAttributesA("c:\\data\\y.TXT"), INVALID_FILE_ATTRIBUTES);

    TestMachine::WriteFile(c / "elsewhere" / "Moved.dat", "moved in");
    fs::rename(c / "elsewhere" / "Moved.dat", c / "Data" / "Moved.dat");
    fs::create_directory(c / "Data" / "Sub");
    EXPECT_EQ(Host("c:\\data\\MOVED.DAT"), (c / "Data" / "Moved.dat").string());
    EXPECT_EQ(Host("c:\\data\\sub\\new.txt"), (c / "Data" / "Sub" / "new.txt").string());
    EXPECT_EQ(GetFileAttributesA("c:\\data\\SUB"), (DWORD)FILE_ATTRIBUTE_DIRECTORY);

    // And through winsim itself.
    HANDLE made = CreateFileA("c:\\data\\Copy.dat", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(made, INVALID_HANDLE_VALUE);
    CloseHandle(made);
    EXPECT_EQ(Host("c:\\data\\COPY.DAT"), (c / "Data" / "Copy.dat").string());
}

TEST_F(WinsimFolderNames, APathThatNamesAnotherFolderGetsItsNames) {
    TestMachine::WriteFile(c / "Box" / "Old.txt", "old");
    EXPECT_EQ(Host("c:\\box\\OLD.TXT"), (c / "Box" / "Old.txt").string());
    EXPECT_EQ(Host("c:\\box\\none"), (c / "Box" / "none").string());

    // Removed and made again: nothing of the old folder is left.
    fs::remove_all(c / "Box");
    TestMachine::WriteFile(c / "Box" / "Other.txt", "other");
    EXPECT_EQ(Host("c:\\box\\OLD.TXT"), (c / "Box" / "OLD.TXT").string());
    EXPECT_EQ(Host("c:\\box\\other.TXT"), (c / "Box" / "Other.txt").string());

    // Renamed, and another folder made in its place: each path has its own folder's names.
    fs::rename(c / "Box", c / "Crate");
    TestMachine::WriteFile(c / "Box" / "New.txt", "new");
    EXPECT_EQ(Host("c:\\box\\new.TXT"), (c / "Box" / "New.txt").string());
    EXPECT_EQ(Host("c:\\box\\other.TXT"), (c / "Box" / "other.TXT").string());
    EXPECT_EQ(Host("c:\\crate\\OTHER.txt"), (c / "Crate" / "Other.txt").string());
}

TEST_F(WinsimFolderNames, StayRightPastTheFoldersTheyKeep) {
    // More folders than are kept at once: the first ones are read again when asked again.
    const int folders = 600;
    for (int i = 0; i < folders; ++i) {
        fs::create_directories(c / ("f" + std::to_string(i)));
        std::string path = "c:\\F" + std::to_string(i) + "\\a.txt";
        ASSERT_EQ(Host(path), (c / ("f" + std::to_string(i)) / "a.txt").string());
    }
    for (int i : {0, 1, folders - 1}) {
        TestMachine::WriteFile(c / ("f" + std::to_string(i)) / "A.TXT", "late");
        std::string path = "c:\\F" + std::to_string(i) + "\\a.txt";
        EXPECT_EQ(Host(path), (c / ("f" + std::to_string(i)) / "A.TXT").string());
    }
}

// A child made by fork shares the parent's open files, inotify's queue among them: a lookup in
// the child must not take away the changes the parent has yet to see.
TEST_F(WinsimFolderNames, AForkedChildLeavesTheParentsChangesAlone) {
    fs::create_directories(c / "Data");
    EXPECT_EQ(Host("c:\\data\\made.txt"), (c / "Data" / "made.txt").string());
    TestMachine::WriteFile(c / "Data" / "Made.txt", "made before the fork");

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool right = winsim::HostPath("c:\\data\\MADE.TXT") == (c / "Data" / "Made.txt").string();
        _exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's lookup";
    EXPECT_EQ(Host("c:\\data\\made.TXT"), (c / "Data" / "Made.txt").string());
}

} // namespace

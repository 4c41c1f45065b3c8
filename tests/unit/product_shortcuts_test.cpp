// The installer's shortcuts: CreateShellLink over winsim's shell link object, and
// CreateProductShortcuts with its program group and desktop links, read back with lnkinfo.
// Failures put up message boxes: a BoxAnswerer answers them, and the tests look only at
// results and files.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

#include <shlobj.h>
#include <windows.h>

#include "base/install_state.h"
#include "box_answerer.h"
#include "journal/install_journal.h"
#include "lnkinfo.h"
#include "machine.h"
#include "shell/product_shortcuts.h"
#include "shell/shell_link.h"
#include "test_machine.h"

namespace fs = std::filesystem;
using scenario::LnkinfoField;
using testing_support::TestMachine;

namespace {

const char InstallDir[] = "C:\\Program Files\\tornwell\\kelvo";
const char Group[] = "Windows/Start Menu/Programs/遠岫工坊/雲嶺奇譚續錄~星月影";
const char GameLink[] = "雲嶺奇譚續錄~星月影.lnk";
const char PixieLink[] = "靈犀別苑.lnk";
const char ManualLink[] = "雲嶺奇譚續錄~星月影說明檔.lnk";

std::string Big5(const std::string& utf8) {
    return winsim::Utf8ToCp950(utf8);
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t Entries(const fs::path& folder) {
    return std::distance(fs::recursive_directory_iterator(folder), {});
}

class ProductShortcutsBase : public ::testing::Test {
  protected:
    void SetUp() override {
        c = fs::path(sim.AddFixed('c').hostFolder);
        for (const char* name : {"kelvo.exe", "pixie.exe", "ReadMe.txt"})
            TestMachine::WriteFile(c / "Program Files/tornwell/kelvo" / name, "MZ");
        fs::create_directories(c / "Windows/Start Menu/Programs");
        fs::create_directories(c / "Windows/Desktop");
        sim.machine().shellFolders["Programs"] = "C:\\Windows\\Start Menu\\Programs";
        sim.machine().shellFolders["Desktop"] = "C:\\Windows\\Desktop";
        lstrcpyA(InstallState.installDir, InstallDir);
        InstallState.ownerWindow = nullptr;
        InstallState.installEnding = INSTALL_RUNNING;
        // The install's journal, as the copy leaves it open for the shortcuts.
        ASSERT_TRUE(OpenJournal());
    }
    void TearDown() override {
        CommitInstall();
        InstallState.installDir[0] = '\0';
        InstallState.installEnding = INSTALL_RUNNING;
    }
    // Checks a link's target, description and working directory through lnkinfo.
    void ExpectLink(const fs::path& link, const std::string& target,
                    const std::string& description) {
        SCOPED_TRACE(link.string());
        ASSERT_TRUE(fs::is_regular_file(link));
        if (!scenario::HaveLnkinfo())
            return;
        auto report = scenario::LnkinfoReport(link.string());
        ASSERT_TRUE(report);
        EXPECT_EQ(LnkinfoField(*report, "Local path"), std::string(InstallDir) + "\\" + target)
            << *report;
        EXPECT_EQ(LnkinfoField(*report, "Description"), description);
        EXPECT_EQ(LnkinfoField(*report, "Working directory"), InstallDir);
        EXPECT_EQ(LnkinfoField(*report, "Icon location"), std::nullopt);
    }
    void ExpectGroup(const fs::path& group) {
        ExpectLink(group / GameLink, "kelvo.exe", "雲嶺奇譚續錄~星月影");
        ExpectLink(group / PixieLink, "pixie.exe", "靈犀別苑");
        ExpectLink(group / ManualLink, "ReadMe.txt", "雲嶺奇譚續錄~星月影說明檔");
    }
    void ExpectDesktop(const fs::path& desktop) {
        ExpectLink(desktop / GameLink, "kelvo.exe", "雲嶺奇譚續錄~星月影");
        ExpectLink(desktop / PixieLink, "pixie.exe", "靈犀別苑");
        EXPECT_FALSE(fs::exists(desktop / ManualLink)) << "no manual on the desktop";
    }
    TestMachine sim;
    fs::path c;
};

class ProductShortcuts : public ProductShortcutsBase {
  protected:
    testing_support::BoxAnswerer boxes;
};

HRESULT WriteGameLink(const std::string& linkPath) {
    return CreateShellLink("C:\\Program Files\\tornwell\\kelvo\\kelvo.exe", linkPath.c_str(),
                           Big5("雲嶺奇譚續錄~星月影").c_str(), NULL, InstallDir);
}

TEST_F(ProductShortcuts, CreateShellLinkWritesALinkThatLnkinfoReads) {
    if (!scenario::HaveLnkinfo())
        GTEST_SKIP() << "lnkinfo (liblnk-utils) is not installed";
    fs::create_directories(c / "Windows/Desktop/遠岫工坊/雲嶺奇譚續錄~星月影");
    EXPECT_EQ(WriteGameLink(Big5("C:\\Windows\\Desktop\\遠岫工坊\\雲嶺奇譚續錄~星月影\\") +
                            Big5(GameLink)),
              S_OK);
    ExpectLink(c / "Windows/Desktop/遠岫工坊/雲嶺奇譚續錄~星月影" / GameLink, "kelvo.exe",
               "雲嶺奇譚續錄~星月影");
}

TEST_F(ProductShortcuts, CreateShellLinkSavesDespiteRefusedSettingsAndReportsOtherFailures) {
    const fs::path link = c / "Windows/Desktop/game.lnk";
    // Whichever way the call ends, the thread's COM is as it was.
    const int com = winsim::ComInitializations();
    for (const char* fault : {"setpath", "setdescription", "seticon", "setwork"}) {
        SCOPED_TRACE(fault);
        sim.machine().linkFaults = {fault};
        EXPECT_EQ(WriteGameLink("C:\\Windows\\Desktop\\game.lnk"), S_OK);
        EXPECT_TRUE(fs::is_regular_file(link));
        fs::remove(link);
    }
    const std::pair<const char*, HRESULT> failures[] = {
        {"coinitialize", E_FAIL},
        {"cocreate", REGDB_E_CLASSNOTREG},
        {"queryinterface", E_FAIL},
        {"save", E_FAIL},
    };
    for (const auto& [fault, result] : failures) {
        SCOPED_TRACE(fault);
        sim.machine().linkFaults = {fault};
        EXPECT_EQ(WriteGameLink("C:\\Windows\\Desktop\\game.lnk"), result);
        EXPECT_FALSE(fs::exists(link));
        EXPECT_EQ(winsim::ComInitializations(), com);
    }
    sim.machine().linkFaults.clear();
    EXPECT_EQ(WriteGameLink("C:\\Windows\\NoSuchFolder\\game.lnk"), (HRESULT)0x80070003);
}

TEST_F(ProductShortcuts, CreateShellLinkWorksWhetherOrNotTheThreadHadCom) {
    // A thread that initialized COM itself gets S_FALSE from the link's CoInitialize.
    std::thread([] {
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        EXPECT_EQ(WriteGameLink("C:\\Windows\\Desktop\\a.lnk"), S_OK);
    }).join();
    std::thread([] { EXPECT_EQ(WriteGameLink("C:\\Windows\\Desktop\\b.lnk"), S_OK); }).join();
    EXPECT_TRUE(fs::is_regular_file(c / "Windows/Desktop/a.lnk"));
    EXPECT_TRUE(fs::is_regular_file(c / "Windows/Desktop/b.lnk"));
}

TEST_F(ProductShortcuts, MakesTheProgramGroupAndTheDesktopLinks) {
    EXPECT_EQ(CreateProductShortcuts(), 1);
    ExpectGroup(c / Group);
    ExpectDesktop(c / "Windows/Desktop");
    EXPECT_EQ(Entries(c / "Windows"), 3u + 5u + 2u) << "two new folders, five links";
    EXPECT_EQ(sim.machine().keyOpenings, 2);
}

TEST_F(ProductShortcuts, TakesComForTheLinksAndGivesItBackOnEveryWayOut) {
    std::thread([this] {
        // Without COM: said once, no link written.
        sim.machine().linkFaults = {"coinitialize"};
        EXPECT_EQ(CreateProductShortcuts(), 1);
        EXPECT_EQ(boxes.Answered(), std::vector<std::string>{"Coinitalize failed"});
        EXPECT_EQ(Entries(c / "Windows/Desktop"), 0u);
        sim.machine().linkFaults.clear();

        EXPECT_EQ(CreateProductShortcuts(), 1);
        ExpectDesktop(c / "Windows/Desktop");
        EXPECT_EQ(winsim::ComInitializations(), 0) << "after the links";
        InstallState.installEnding = INSTALL_CANCELLED;
        EXPECT_EQ(CreateProductShortcuts(), 0);
        EXPECT_EQ(winsim::ComInitializations(), 0) << "after a cancel";
    }).join();
}

TEST_F(ProductShortcuts, ReusesAnExistingGroupAndReplacesItsLinks) {
    TestMachine::WriteFile(c / Group / "old.txt", "kept");
    TestMachine::WriteFile(c / Group / GameLink, "stale");
    TestMachine::WriteFile(c / "Windows/Desktop" / PixieLink, "an earlier link");
    EXPECT_EQ(CreateProductShortcuts(), 1);
    ExpectGroup(c / Group);
    ExpectDesktop(c / "Windows/Desktop");
    EXPECT_TRUE(fs::exists(c / Group / "old.txt"));

    // A rollback puts the Start menu and the desktop back as they were.
    RollBackInstall();
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(c / "Windows"))
        left.push_back(fs::relative(entry.path(), c / "Windows").string());
    std::vector<std::string> before{"Desktop",
                                    std::string("Desktop/") + PixieLink,
                                    "Start Menu",
                                    "Start Menu/Programs",
                                    "Start Menu/Programs/遠岫工坊",
                                    Group + 8,
                                    std::string(Group + 8) + "/" + GameLink,
                                    std::string(Group + 8) + "/old.txt"};
    std::sort(left.begin(), left.end());
    std::sort(before.begin(), before.end());
    EXPECT_EQ(left, before);
    EXPECT_EQ(ReadAll(c / Group / GameLink), "stale");
    EXPECT_EQ(ReadAll(c / "Windows/Desktop" / PixieLink), "an earlier link");

    // A link that can't be saved leaves the earlier one in its place.
    ASSERT_TRUE(OpenJournal());
    sim.machine().linkFaults = {"save"};
    EXPECT_EQ(CreateProductShortcuts(), 1);
    EXPECT_EQ(ReadAll(c / Group / GameLink), "stale");
    EXPECT_EQ(Entries(c / "Windows/Desktop"), 1u);
}

TEST_F(ProductShortcuts, SkipsAFolderWhoseValueIsMissingTooLongOrNotAbsolute) {
    fs::path previous = fs::current_path();
    fs::create_directories(sim.root() / "cwd");
    fs::current_path(sim.root() / "cwd");

    sim.machine().shellFolders.erase("Programs");
    EXPECT_EQ(CreateProductShortcuts(), 1);
    EXPECT_EQ(Entries(c / "Windows/Start Menu"), 1u);
    ExpectDesktop(c / "Windows/Desktop");

    // 127 bytes and the terminator fill the 128 the installer offers; one more does not fit.
    std::string folder127 = std::string(124, 'g');
    fs::create_directories(c / folder127);
    fs::create_directories(c / (folder127 + "h"));
    sim.machine().shellFolders["Programs"] = "C:\\" + folder127 + "h";
    sim.machine().shellFolders["Desktop"] = "C:\\" + folder127;
    EXPECT_EQ(CreateProductShortcuts(), 1);
    EXPECT_EQ(Entries(c / (folder127 + "h")), 0u);
    ExpectDesktop(c / folder127);

    for (const char* relative : {"Desktop", "\\Windows\\Desktop", ""}) {
        sim.machine().shellFolders["Desktop"] = relative;
        sim.machine().shellFolders["Programs"] = relative;
        EXPECT_EQ(CreateProductShortcuts(), 1);
    }
    EXPECT_EQ(Entries(sim.root() / "cwd"), 0u) << "nothing relative to the current folder";
    EXPECT_EQ(Entries(c / "Windows/Start Menu"), 1u);
    fs::current_path(previous);
}

TEST_F(ProductShortcuts, StopsWhenTheUserHasCancelled) {
    InstallState.installEnding = INSTALL_CANCELLED;
    EXPECT_EQ(CreateProductShortcuts(), 0);
    EXPECT_FALSE(fs::exists(c / Group / GameLink));
    // An unopenable key then ends nothing: the cancel is already under way.
    sim.machine().failKeyOpenings = {3};
    EXPECT_EQ(CreateProductShortcuts(), 0);
    EXPECT_EQ(Entries(c / "Windows/Desktop"), 0u);
}

TEST_F(ProductShortcuts, AnUnopenableKeyIsReportedAndEndsTheLinks) {
    const int com = winsim::ComInitializations();
    sim.machine().failKeyOpenings = {1};
    EXPECT_EQ(CreateProductShortcuts(), SHORTCUTS_NO_SHELL_FOLDERS);
    EXPECT_EQ(boxes.Answered(), std::vector<std::string>{Big5("Windows的Register有誤,請檢查!!")});
    EXPECT_EQ(Entries(c / "Windows"), 3u) << "nothing made";

    // The second opening: the program group is complete, the desktop untouched.
    sim.machine().keyOpenings = 0;
    sim.machine().failKeyOpenings = {2};
    EXPECT_EQ(CreateProductShortcuts(), SHORTCUTS_NO_SHELL_FOLDERS);
    ExpectGroup(c / Group);
    EXPECT_EQ(Entries(c / "Windows/Desktop"), 0u);
    EXPECT_EQ(winsim::ComInitializations(), com) << "COM given back";
}

} // namespace

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "../box_calls.h"
#include "wine_disk.h"
#include "wine_run.h"

namespace fs = std::filesystem;

namespace {

scenario::Scenario Parsed(const std::string& text) {
    std::string error;
    auto parsed = scenario::ParseText(text, "test.scn", error);
    EXPECT_TRUE(parsed) << error;
    return parsed.value_or(scenario::Scenario{});
}

void Write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// A prefix folder with a drive c and a CD-ROM drive d holding disc1, removed afterwards.
class WinePrefix : public ::testing::Test {
  protected:
    void SetUp() override {
        root =
            fs::temp_directory_path() /
            ("wine-disk-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "prefix/dosdevices");
        fs::create_directories(root / "prefix/drive_c/Program Files/Tornwell");
        fs::create_symlink("../drive_c", root / "prefix/dosdevices/c:");
        fs::create_directories(root / "discs/disc1/kelvo");
        fs::create_symlink(root / "discs/disc1", root / "prefix/dosdevices/d:");
        fs::create_symlink(root / "discs/missing", root / "prefix/dosdevices/e:");
    }
    void TearDown() override { fs::remove_all(root); }

    WineDisk Disk() {
        return WineDisk((root / "prefix").string(), (root / "started.txt").string(),
                        (root / "discs").string());
    }
    std::string DriveC() { return fs::canonical(root / "prefix/drive_c").string(); }

    fs::path root;
};

TEST_F(WinePrefix, PathsGoThroughTheDriveLinkAndMatchAnyLetterCase) {
    WineDisk disk = Disk();
    EXPECT_EQ(disk.HostPath("C:\\PROGRAM FILES\\tornwell\\kelvo\\a.txt"),
              DriveC() + "/Program Files/Tornwell/kelvo/a.txt");
    EXPECT_EQ(disk.HostPath("c:/program files/TORNWELL/"), DriveC() + "/Program Files/Tornwell");
    EXPECT_EQ(disk.HostPath("C:\\"), DriveC());
    EXPECT_EQ(disk.HostPath("d:\\KELVO"), fs::canonical(root / "discs/disc1").string() + "/kelvo");
    // Chinese names have no letter case: they are taken as written.
    fs::create_directories(root / "prefix/drive_c/遊戲");
    EXPECT_EQ(disk.HostPath("C:\\遊戲\\雲嶺.lnk"), DriveC() + "/遊戲/雲嶺.lnk");
    // Greek and full-width letters have a case, as they have under Wine.
    fs::create_directories(root / "prefix/drive_c/ｓａｖｅ/α.sav");
    EXPECT_EQ(disk.HostPath("C:\\ＳＡＶＥ\\Α.SAV"), DriveC() + "/ｓａｖｅ/α.sav");
}

TEST_F(WinePrefix, PathsOnNoDriveOrAnEmptyDriveHaveNoHostPath) {
    WineDisk disk = Disk();
    EXPECT_FALSE(disk.HostPath("f:\\x"));
    EXPECT_FALSE(disk.HostPath("e:\\kelvo")); // a CD-ROM drive with no disc in it
    EXPECT_FALSE(disk.HostPath("kelvo\\a.txt"));
    EXPECT_FALSE(disk.HostPath(""));
}

TEST_F(WinePrefix, StartedProgramsComeFromTheRecorderLogAsTheyWereStarted) {
    WineDisk disk = Disk();
    EXPECT_TRUE(disk.StartedPrograms().empty()); // no program started: no log

    Write(root / "started.txt", "3 \"C:\\Program Files\\tornwell\\kelvo\\kelvo.exe\" 2C:\\Program "
                                "Files\\tornwell\\kelvo\\\n"
                                "5 D:\\Directx\\DX6User.exe\r\n"
                                "1 \"C:\\games\\kelvo.exe\" 1\n"
                                "garbage line\n"
                                "\n");
    auto started = disk.StartedPrograms();
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started[0].first, 3u);
    EXPECT_EQ(started[0].second, "\"C:\\Program Files\\tornwell\\kelvo\\kelvo.exe\" 2C:\\Program "
                                 "Files\\tornwell\\kelvo\\");
    EXPECT_EQ(started[1], std::make_pair(5u, std::string("D:\\Directx\\DX6User.exe")));
    EXPECT_EQ(started[2].second, "\"C:\\games\\kelvo.exe\" 1");
}

TEST_F(WinePrefix, DiscFoldersAreTheDiscsThatExist) {
    WineDisk disk = Disk();
    EXPECT_EQ(disk.DiscFolder("disc1"), (root / "discs/disc1").string());
    EXPECT_FALSE(disk.DiscFolder("disc2"));
    EXPECT_FALSE(disk.DiscFolder(""));
}

// A machine for JudgeRun: files by Windows path, nothing started.
class FakeDisk : public scenario::Disk {
  public:
    explicit FakeDisk(fs::path root) : root_(std::move(root)) {}
    std::optional<std::string> HostPath(const std::string& windowsPath) override {
        std::string relative = windowsPath.substr(3);
        for (char& c : relative) {
            if (c == '\\')
                c = '/';
        }
        return (root_ / relative).string();
    }
    std::vector<std::pair<unsigned, std::string>> StartedPrograms() override { return {}; }

  private:
    fs::path root_;
};

class Judge : public WinePrefix {
  protected:
    bool Run(const std::string& scenarioText, const std::vector<std::string>& log) {
        scenario::Scenario parsed = Parsed(scenarioText);
        FakeDisk disk(root);
        report.clear();
        return JudgeRun(parsed, log, disk, report);
    }
    std::string Report() {
        std::string text;
        for (const auto& line : report)
            text += line + "\n";
        return text;
    }
    std::vector<std::string> report;
};

const char CancelScenario[] = "expect dialog Setup\nclick 2\nexpect exit -1\n"
                              "expect no file C:\\kelvo\\a.txt\n";

TEST_F(Judge, APlayThatPassedWithTheRightStatusPasses) {
    EXPECT_TRUE(Run(CancelScenario, {"ok line 1: expect dialog Setup", "ok line 2: click 2",
                                     "exit line 3: expect exit -1", "ok line 3: expect exit -1",
                                     "done", "exit -1"}));
    EXPECT_EQ(Report(), "");
    EXPECT_TRUE(Run(CancelScenario, {"ok line 1: expect dialog Setup", "ok line 2: click 2",
                                     "ok line 3: expect exit -1", "done", "exit -1", ""}));
}

TEST_F(Judge, AWrongOrMissingExitStatusFails) {
    std::vector<std::string> played = {"ok line 1: expect dialog Setup", "ok line 2: click 2",
                                       "exit line 3: expect exit -1", "done"};
    auto with = [&](const std::string& last) {
        auto log = played;
        log.push_back(last);
        return log;
    };
    EXPECT_FALSE(Run(CancelScenario, with("exit 4294967295")));
    EXPECT_FALSE(Run(CancelScenario, with("exit 1")));
    EXPECT_NE(Report().find("ended with 1, not -1"), std::string::npos) << Report();
    EXPECT_FALSE(Run(CancelScenario, with("exit running")));
    EXPECT_NE(Report().find("did not end"), std::string::npos) << Report();
    EXPECT_FALSE(Run(CancelScenario, played));
    EXPECT_NE(Report().find("no exit line"), std::string::npos) << Report();
    EXPECT_FALSE(Run(CancelScenario, {}));
}

TEST_F(Judge, AFailedStepIsReportedWithTheWindowsAndNoEndChecks) {
    Write(root / "kelvo/a.txt", "left behind");
    EXPECT_FALSE(
        Run(CancelScenario,
            {"ok line 1: expect dialog Setup", "FAIL line 2: click 2: control 2 is disabled",
             "  dialog \"Setup\"", "    2 BUTTON \"Exit\" disabled", "exit running"}));
    EXPECT_EQ(Report(), "FAIL line 2: click 2: control 2 is disabled\n  dialog \"Setup\"\n"
                        "    2 BUTTON \"Exit\" disabled\n");
    // A log cut short without a failure fails too.
    EXPECT_FALSE(Run(CancelScenario, {"ok line 1: expect dialog Setup", "exit -1"}));
    EXPECT_NE(Report().find("stopped early"), std::string::npos) << Report();
    EXPECT_FALSE(Run(CancelScenario, {"ok line 1: expect dialog Setup", "ok line 2: click 2",
                                      "exit line 3: expect exit -1", "exit -1"}));
}

TEST_F(Judge, EndChecksRunOnAPassedPlay) {
    Write(root / "kelvo/a.txt", "left behind");
    EXPECT_FALSE(Run(CancelScenario, {"ok line 1: expect dialog Setup", "ok line 2: click 2",
                                      "exit line 3: expect exit -1", "done", "exit -1"}));
    EXPECT_NE(Report().find("FAIL line 4"), std::string::npos) << Report();
}

TEST(WineMachine, TheMachineIsJsonWithItsTextsEscaped) {
    scenario::Scenario parsed =
        Parsed("title \"Quote \"\ndrive d cdrom disc1\ndrive e fixed free 2M\n"
               "disc disc1 label KELVO_1 sample 1 files 3 big 3G\n"
               "disc-file disc1 kelvo\\遊戲.txt \"a \\ b\"\n"
               "shellfolder Programs \"C:\\Start Menu\\Programs\"\n"
               "file C:\\x.txt \"tab\there\"\nexpect exit 1\n");
    std::string json = MachineJson(parsed);
    EXPECT_NE(json.find("{\"letter\": \"d\", \"cdrom\": true, \"removable\": false, \"disc\": "
                        "\"disc1\", \"free\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"free\": 2097152"), std::string::npos) << json;
    EXPECT_NE(json.find("\"sample\": 1, \"extraFiles\": 3, \"big\": 3221225472, "
                        "\"noProduct\": false"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("[\"kelvo\\\\遊戲.txt\", \"a \\\\ b\"]"), std::string::npos) << json;
    EXPECT_NE(json.find("[\"Programs\", \"C:\\\\Start Menu\\\\Programs\"]"), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"tab\\there\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"why\": \"\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"faults\": []"), std::string::npos) << json;
}

TEST(WineMachine, RegistryValuesJournalsAndLinksGoToTheRunner) {
    std::string json = MachineJson(Parsed(
        "registry HKLM \"Software\\K\" Journal sz \"C:\\x.jnl\"\n"
        "registry HKCU Software\\K Identity dword 0x10\n"
        "journal C:\\x.jnl \"J 305419896 D:\\Games\\kelvo\"\nlink C:\\door \"C:\\Admin only\"\n"));
    EXPECT_NE(
        json.find("\"registry\": [{\"hive\": \"HKLM\", \"key\": \"Software\\\\K\", \"name\": "
                  "\"Journal\", \"type\": \"sz\", \"data\": \"C:\\\\x.jnl\"}, {\"hive\": \"HKCU\""),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"type\": \"dword\", \"data\": \"0x10\""), std::string::npos) << json;
    // The journal's bytes, each record's check after a TAB: 8E5FB4EE, then CR LF.
    EXPECT_NE(
        json.find("\"hex\": \"4a2033303534313938393620443a5c47616d65735c6b656c766f09384535464234"
                  "45450d0a\""),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"links\": [[\"C:\\\\door\", \"C:\\\\Admin only\"]]"), std::string::npos)
        << json;
    EXPECT_NE(WhyNotOnWine(Parsed("only host\nregistry hklm readonly\n")), "");
    EXPECT_NE(WhyNotOnWine(Parsed("only host\nfault slow DeleteFileA 10\n")), "");
}

// A registry file as the wineserver writes it: keys in brackets, escaped as Wine escapes them,
// text and number values, data that goes on over lines.
TEST_F(WinePrefix, TheRegistryIsReadFromThePrefixsFiles) {
    Write(
        root / "prefix/system.reg",
        "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
        "[Software\\\\~kelvo-setup] 1796816090\n#time=1dd87d14d0c790e\n"
        "\"Journal\"=\"C:\\\\Games\\\\\\x529f\\x80fd\\\\a\\\"b\\\"\"\n\"Identity\"=dword:12345678\n"
        "@=\"default\"\n\"Bin\"=hex:01,02,\\\n  03\n\n[Software\\\\\\x5b57a]\n");
    Write(root / "prefix/user.reg", "WINE REGISTRY Version 2\n\n[Software\\\\Other] 1\n");
    auto items = Disk().Registry();
    ASSERT_TRUE(items);
    std::vector<std::string> seen;
    for (const auto& item : *items)
        seen.push_back(item.hive + " " + item.key +
                       (item.value ? " [" + item.name + "] " + item.type + " " + item.data : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "HKLM Software\\~kelvo-setup",
                        "HKLM Software\\~kelvo-setup [Journal] sz C:\\Games\\功能\\a\"b\"",
                        "HKLM Software\\~kelvo-setup [Identity] dword 305419896",
                        "HKLM Software\\~kelvo-setup [] sz default",
                        "HKLM Software\\~kelvo-setup [Bin] wine hex 01,02,03", "HKLM Software\\字a",
                        "HKCU Software\\Other"}));
    fs::remove(root / "prefix/user.reg");
    EXPECT_FALSE(Disk().Registry());
}

// A 32-bit setup.exe in a 64-bit prefix: its HKLM\Software is Software\Wow6432Node, and the
// 64-bit view's keys are not there for it; HKCU is the same in both views.
TEST_F(WinePrefix, AThirtyTwoBitProgramSeesTheRegistrysThirtyTwoBitView) {
    Write(root / "prefix/system.reg",
          "WINE REGISTRY Version 2\n\n[Software\\\\~kelvo-setup] 1\n\"Identity\"=dword:00000040\n"
          "\n[Software\\\\Wow6432Node\\\\~kelvo-setup] 1\n\"Identity\"=dword:00000020\n"
          "\n[SOFTWARE\\\\WOW6432NODE] 1\n\n[Software\\\\Wow6432Nodes] 1\n"
          "\n[System\\\\Select] 1\n");
    Write(root / "prefix/user.reg", "WINE REGISTRY Version 2\n\n[Software\\\\Other] 1\n");
    auto Seen = [](const std::vector<scenario::RegistryItem>& items) {
        std::vector<std::string> seen;
        for (const auto& item : items)
            seen.push_back(item.hive + " " + item.key + (item.value ? " " + item.data : ""));
        return seen;
    };
    auto wow64 = WineDisk((root / "prefix").string(), "", "", true).Registry();
    ASSERT_TRUE(wow64);
    EXPECT_EQ(Seen(*wow64), (std::vector<std::string>{
                                "HKLM Software\\~kelvo-setup", "HKLM Software\\~kelvo-setup 32",
                                "HKLM Software", "HKLM System\\Select", "HKCU Software\\Other"}));
    auto native = Disk().Registry();
    ASSERT_TRUE(native);
    EXPECT_EQ(Seen(*native)[1], "HKLM Software\\~kelvo-setup 64");
}

TEST(WineMachine, TheFaultsGoToTheRunner) {
    std::string json = MachineJson(Parsed("fault keyopen 1\n"));
    EXPECT_NE(json.find("\"faults\": [\"keyopen 1\"]"), std::string::npos) << json;
}

TEST(WineMachine, FaultsOnlyTheHostCanMakeKeepAScenarioOffWine) {
    EXPECT_EQ(WhyNotOnWine(Parsed("drive d cdrom\n")), "");
    EXPECT_EQ(WhyNotOnWine(Parsed("only host\n")), "only host");
    EXPECT_NE(WhyNotOnWine(Parsed("fault keyopen 2\n")), "");
    // The runner can make the first opening fail: the key can't be opened at all.
    EXPECT_EQ(WhyNotOnWine(Parsed("fault keyopen 1\n")), "");
    EXPECT_NE(WhyNotOnWine(Parsed("fault keyopen 1\nfault keyopen 3\n")), "");
    EXPECT_NE(WhyNotOnWine(Parsed("fault link save\n")), "");
    EXPECT_NE(WhyNotOnWine(Parsed("drive c cdrom\n")), "");
    EXPECT_EQ(WhyNotOnWine(Parsed("drive c fixed free 1M\n")), "");
    EXPECT_EQ(WhyNotOnWine(Parsed("drive e fixed free 1M\n")), "");
}

// What the robot reads from Wine's relay trace: the type of each box still up, found by its
// thread, caption and text (code page 950, escaped as Wine writes it), the innermost first.
TEST(BoxCalls, TheTypeOfEachBoxStillUpComesFromItsCall) {
    BoxCalls calls;
    calls.Add("0024:trace:relay:load_list L\"RelayInclude\" = L\"user32.MessageBoxA\"\n"
              "010c:Call user32.MessageBoxA(0001004c,0071eccc \"\\xbdT\\xa9w C:\\\\Games\\\\ "
              "\\\"x\\\"?\",0040526c \"\\xa6w\\xb8\\xcb\",00000004) ret=004029d1\n"
              "0114:Call user32.MessageBoxA(00020056,004051e0 \"insert disc 2\",00405204 \"");
    calls.Add("notice\",00050001) ret=004026d0\n"
              "010c:Call user32.MessageBoxA(0001004c,0071eccc \"long text, cut\"...,0040526c "
              "\"\\xa6w\\xb8\\xcb\",00000001) ret=004029d1\n");
    EXPECT_EQ(calls.TypeOf(0x10c, "\xa6w\xb8\xcb", "\xbdT\xa9w C:\\Games\\ \"x\"?"), 4u);
    EXPECT_EQ(calls.TypeOf(0x10c, "\xa6w\xb8\xcb", "long text, cut short here"), 1u);
    EXPECT_EQ(calls.TypeOf(0x114, "notice", "insert disc 2"), 0x50001u);
    EXPECT_FALSE(calls.TypeOf(0x10c, "notice", "insert disc 2")) << "another thread's";
    calls.Add("0114:Ret  user32.MessageBoxA() retval=00000001 ret=004026d0\n");
    EXPECT_FALSE(calls.TypeOf(0x114, "notice", "insert disc 2")) << "answered";
    calls.Add("010c:Ret  user32.MessageBoxA() retval=00000001 ret=004029d1\n");
    EXPECT_FALSE(calls.TypeOf(0x10c, "\xa6w\xb8\xcb", "long text, cut short here"));
    EXPECT_EQ(calls.TypeOf(0x10c, "\xa6w\xb8\xcb", "\xbdT\xa9w C:\\Games\\ \"x\"?"), 4u);
}

} // namespace

// The scenario core: reading scenario files, playing steps as a user who can only act on what
// is reachable, and the end checks on the finished machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <mutex>
#include <random>

#include "run_program.h"
#include "scenario.h"
#include "snapshot.h"

namespace fs = std::filesystem;
using scenario::Window;

namespace {

std::optional<scenario::Scenario> ParseOk(const std::string& text) {
    std::string error;
    auto parsed = scenario::ParseText(text, "t.scn", error);
    EXPECT_TRUE(parsed) << error;
    return parsed;
}

std::string ParseError(const std::string& text) {
    std::string error;
    EXPECT_FALSE(scenario::ParseText(text, "t.scn", error));
    return error;
}

TEST(ScenarioParseTest, ReadsMachineStepsAndChecks) {
    auto parsed = ParseOk(R"(title A "quoted" title
only host
# a comment
drive e fixed free 1239M capacity 2K nospace
drive d cdrom disc1 nolabel
disc disc1 label KELVO_1 sample 1 files 3 big 1G noproduct
disc-file disc1 kelvo\a.dat "two words"
file "C:\My Games\x.txt" x
shellfolder Desktop D:\Desk
fault keyopen 2
fault unreadable disc1 kelvo\a.dat
fault link save
expect dialog "Setup title"
type 1004 ""
expect box 安裝 "text here" yesno owner owner
refuse click 1000
expect exit -1
expect installed C:\x disc1
expect no file C:\y
expect started 3 "C:\a b.exe 2"
)");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->title, "A quoted title");
    EXPECT_TRUE(parsed->onHost);
    EXPECT_FALSE(parsed->onWine);
    ASSERT_EQ(parsed->drives.size(), 2u);
    EXPECT_EQ(parsed->drives[0].letter, 'e');
    EXPECT_EQ(*parsed->drives[0].freeBytes, 1239ull << 20);
    EXPECT_EQ(*parsed->drives[0].capacity, 2048u);
    EXPECT_TRUE(parsed->drives[0].failSpaceQuery);
    EXPECT_EQ(parsed->drives[1].disc, "disc1");
    EXPECT_TRUE(parsed->drives[1].failLabel);
    ASSERT_EQ(parsed->discs.size(), 1u);
    EXPECT_EQ(parsed->discs[0].sample, 1);
    EXPECT_EQ(parsed->discs[0].extraFiles, 3);
    EXPECT_EQ(parsed->discs[0].bigBytes, 1ull << 30);
    EXPECT_TRUE(parsed->discs[0].noProductFolder);
    ASSERT_EQ(parsed->discs[0].files.size(), 1u);
    EXPECT_EQ(parsed->discs[0].files[0].content, "two words");
    EXPECT_EQ(parsed->machineFiles[0].first, "C:\\My Games\\x.txt");
    EXPECT_EQ(parsed->faults, (std::vector<std::string>{
                                  "keyopen 2", "unreadable disc1 kelvo\\a.dat", "link save"}));
    ASSERT_EQ(parsed->steps.size(), 5u);
    EXPECT_EQ(parsed->steps[1].word(2), "");
    EXPECT_EQ(parsed->steps[2].word(3), "text here");
    EXPECT_EQ(parsed->steps[4].number, 17);
    EXPECT_EQ(parsed->exitStatus, -1);
    ASSERT_EQ(parsed->checks.size(), 3u);
    EXPECT_EQ(parsed->checks[2].word(3), "C:\\a b.exe 2");
}

TEST(ScenarioParseTest, QuotesInWordsBoxesWithCancelAndDiscsWithAHole) {
    auto parsed = ParseOk(R"(disc disc1 label KELVO_1 big 900M
drive a removable
expect box 提示 "a ""quoted"" word" okcancel owner install
answer cancel
expect box 提示 x okcancel owner install
answer escape
expect box 提示 x okcancel owner install
answer close
expect box "Windows - 沒有磁片" x canceltrycontinue owner none
answer tryagain
expect started 3 """C:\a b\k.exe"" 2C:\a b\"
expect started 3 """"
)");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->discs[0].bigBytes, 900ull << 20);
    EXPECT_EQ(parsed->steps[0].word(3), "a \"quoted\" word");
    EXPECT_EQ(parsed->steps[0].word(4), "okcancel");
    EXPECT_TRUE(parsed->drives[0].removable);
    EXPECT_EQ(parsed->steps[7].word(1), "tryagain");
    EXPECT_EQ(parsed->checks[0].word(3), "\"C:\\a b\\k.exe\" 2C:\\a b\\");
    EXPECT_EQ(parsed->checks[1].word(3), "\"");
    EXPECT_EQ(ParseError("answer maybe\n"),
              "t.scn:1: usage: answer ok|yes|no|cancel|tryagain|continue|escape|close");
    EXPECT_EQ(ParseError("drive a removable disc1\n"),
              "t.scn:1: a removable drive takes no options");
    EXPECT_EQ(ParseError("type 1004 \"ends in a doubled quote\"\"\n"), "t.scn:1: unclosed quote");
    EXPECT_EQ(ParseError("disc d label L big\n"), "t.scn:1: unknown disc option \"big\"");
}

TEST(ScenarioParseTest, BadLinesNameTheirLine) {
    EXPECT_EQ(ParseError("title x\nclick\n"),
              "t.scn:2: usage: click <id> [when files <folder> <n> | when bytes <file> <size>] "
              "[within <seconds>]");
    EXPECT_EQ(ParseError("jump 3\n"), "t.scn:1: unknown command \"jump\"");
    EXPECT_EQ(ParseError("type 1004 \"open\n"), "t.scn:1: unclosed quote");
    EXPECT_EQ(ParseError("drive d cdrom nodisc\n"), "t.scn:1: no disc named nodisc");
    EXPECT_EQ(ParseError("expect exit 0\nclick 2\n"), "t.scn:2: no step can follow expect exit");
    EXPECT_NE(ParseError("expect exit -1 within 0\n"), "");
    EXPECT_EQ(ParseError("drive e fixed free lots\n"), "t.scn:1: free needs a size");
    EXPECT_EQ(ParseError("expect box a b maybe owner none\n").substr(0, 19), "t.scn:1: usage: exp");
    EXPECT_TRUE(ParseOk("expect box a b ok owner none within 90\n"));
    EXPECT_TRUE(ParseOk("expect box a b ok owner none topmost within 90\n"));
    EXPECT_TRUE(ParseOk("expect dialog Setup within 0.5\n"));
    for (const char* bad :
         {"expect box a b ok owner none within 0\n", "expect box a b ok owner none within\n",
          "expect box a b ok owner none within 9 topmost\n", "expect dialog Setup within 0\n",
          "expect dialog Setup within\n", "expect dialog Setup after 9\n"})
        EXPECT_NE(ParseError(bad), "") << bad;
    EXPECT_EQ(ParseError("expect installed C:\\x disc9\n"), "t.scn:1: no disc named disc9");
    // Faults only the host can make must say so.
    EXPECT_NE(ParseError("drive e fixed nospace\n").find("only host"), std::string::npos);
    EXPECT_TRUE(ParseOk("only host\ndrive e fixed nospace\n"));
    // Numbers too large for their type are bad lines, not a crash (found by fuzzing).
    EXPECT_EQ(ParseError("drive e fixed free 99999999999999999999M\n"),
              "t.scn:1: free needs a size");
    EXPECT_EQ(ParseError("drive e fixed free 17179869184G\n"), "t.scn:1: free needs a size");
    EXPECT_EQ(ParseError("expect exit 4294967296\n"),
              "t.scn:1: usage: expect exit <status> [within <seconds>]");
}

TEST(ScenarioParseTest, ReadsUsersAccessListsFileSystemsAndTheOtherUsersActs) {
    auto parsed = ParseOk(R"(only host
user standard
drive e fixed free 1G filesystem fat32
acl "C:\Admin only" D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)
hardlink C:\Games\again.dat C:\Games\a.dat
expect dialog Setup
intruder at CreateFileA 3 swap C:\Games\kelvo C:\Elsewhere
intruder at MoveFileA 1 thread 2 file "C:\Games\x y.txt" "some text" expect refused
intruder at DeleteFileA 7 delete C:\Games\kelvo\a.dat expect done
expect owner "C:\Admin only" BA
expect acl "C:\Admin only" D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)
expect redirection-trust enforce
)");
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->standardUser);
    ASSERT_EQ(parsed->drives.size(), 1u);
    EXPECT_EQ(parsed->drives[0].fileSystem, "fat32");
    EXPECT_EQ(parsed->acls[0].first, "C:\\Admin only");
    EXPECT_EQ(parsed->hardLinks[0].second, "C:\\Games\\a.dat");
    EXPECT_EQ(parsed->steps.size(), 4u);
    EXPECT_EQ(parsed->checks.size(), 3u);
    // Each of them only the host can play.
    for (const char* line :
         {"user standard\n", "drive e fixed filesystem exfat\n", "acl C:\\x D:\n",
          "hardlink C:\\a C:\\b\n", "intruder at CreateFileA 1 delete C:\\x\n",
          "expect owner C:\\x BA\n", "expect redirection-trust off\n"})
        EXPECT_NE(ParseError(line).find("only host"), std::string::npos) << line;
    ParseOk("drive e fixed filesystem ntfs\n");
    for (const char* bad :
         {"only host\nintruder at CreateFileA 0 delete C:\\x\n",
          "only host\nintruder at CreateFileA 1 shred C:\\x\n",
          "only host\nintruder at CreateFileA 1 swap C:\\x\n",
          "only host\nintruder CreateFileA 1 delete C:\\x\n",
          "only host\nintruder at CreateFileA 1 thread delete C:\\x\n",
          "only host\nintruder at CreateFileA 1 delete C:\\x expect maybe\n",
          "only host\nuser root\n", "only host\ndrive e fixed filesystem hpfs\n",
          "only host\nexpect redirection-trust maybe\n", "only host\nacl C:\\x\n"})
        EXPECT_NE(ParseError(bad), "") << bad;
}

TEST(ScenarioParseTest, ReadsTheRegistryJournalsLinksAndSlowCalls) {
    auto parsed = ParseOk(R"(only host
registry HKLM "Software\~kelvo-setup" Journal sz "D:\Games\~kelvo-setup-12345678.jnl"
registry HKCU Software\Other Identity dword 0x12345678
registry hklm readonly
journal D:\Games\~kelvo-setup-12345678.jnl "J 305419896 D:\Games\kelvo" "F 0 D:\x"
link D:\Games\door "C:\Admin only"
fault slow DeleteFileA 200
expect dialog Setup
expect answering
expect registry HKLM Software\~kelvo-setup Identity 305419896
expect no registry HKCU Software\~kelvo-setup
)");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->registryValues.size(), 2u);
    EXPECT_EQ(parsed->registryValues[0].key, "Software\\~kelvo-setup");
    EXPECT_EQ(parsed->registryValues[0].data, "D:\\Games\\~kelvo-setup-12345678.jnl");
    EXPECT_EQ(parsed->registryValues[1].type, "dword");
    EXPECT_TRUE(parsed->localMachineReadOnly);
    ASSERT_EQ(parsed->journals.size(), 1u);
    EXPECT_EQ(parsed->journals[0].records,
              (std::vector<std::string>{"J 305419896 D:\\Games\\kelvo", "F 0 D:\\x"}));
    EXPECT_EQ(parsed->links[0],
              std::make_pair(std::string("D:\\Games\\door"), std::string("C:\\Admin only")));
    EXPECT_EQ(parsed->faults, (std::vector<std::string>{"slow DeleteFileA 200"}));
    EXPECT_EQ(parsed->steps.size(), 2u);
    EXPECT_EQ(parsed->checks.size(), 2u);

    // Only the host makes a standard user or a slow call; the rest plays under Wine too.
    EXPECT_NE(ParseError("registry hklm readonly\n").find("only host"), std::string::npos);
    EXPECT_NE(ParseError("fault slow DeleteFileA 200\n").find("only host"), std::string::npos);
    EXPECT_TRUE(ParseOk("registry HKCU Software\\x v dword 4294967295\nlink C:\\a C:\\b\n"
                        "journal C:\\j.jnl J\n"));
    for (const char* bad :
         {"registry HKCR Software\\x v sz t\n", "registry HKLM Software v sz\n",
          "registry HKLM Software v dword 4294967296\n",
          "registry HKLM Software v dword 0x1FFFFFFFF\n", "registry HKLM \\Software v sz t\n",
          "registry HKLM Software v bin 1\n"})
        EXPECT_EQ(ParseError(bad).substr(0, 25), "t.scn:1: usage: registry ") << bad;
    EXPECT_EQ(ParseError("journal C:\\j.jnl\n"),
              "t.scn:1: usage: journal <windows path> <record>...");
    EXPECT_EQ(ParseError("link C:\\a\n"), "t.scn:1: usage: link <windows path> <windows folder>");
    EXPECT_EQ(ParseError("expect answering now\n"), "t.scn:1: usage: expect answering");
    EXPECT_EQ(ParseError("expect registry HKLM Software v\n"),
              "t.scn:1: usage: expect registry HKLM|HKCU <key> <value> <data>");
    EXPECT_EQ(ParseError("expect no registry HKU Software\n"),
              "t.scn:1: usage: expect no registry HKLM|HKCU <key>");
}

TEST(ScenarioJournalTest, EachRecordCarriesTheCrcOfItsCodePage950Bytes) {
    // The values Python's zlib.crc32 gives for the records' code page 950 bytes.
    EXPECT_EQ(scenario::Crc32(""), 0u);
    EXPECT_EQ(scenario::Crc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(
        scenario::JournalBytes({"J 305419896 D:\\Games\\kelvo", "F 0 D:\\Games\\功能\\v1.txt"}),
        "J 305419896 D:\\Games\\kelvo\t8E5FB4EE\r\n"
        "F 0 D:\\Games\\\xA5\x5C\xAF\xE0\\v1.txt\tC593B576\r\n");
}

// A platform made up by the test: windows it is told to show, and the actions it was asked for.
class FakeBackend : public scenario::Backend {
  public:
    std::vector<Window> Windows() override {
        std::lock_guard lock(mutex);
        if (!script.empty() && ++calls >= script.front().first) {
            script.front().second(windows);
            script.erase(script.begin());
        }
        return windows;
    }
    bool Act(const std::string& action) {
        std::lock_guard lock(mutex);
        actions.push_back(action);
        return true;
    }
    bool Click(const Window&, int id, std::string&) override {
        return Act("click " + std::to_string(id));
    }
    bool ClickOnItsWay(const Window&, int id, std::string&) override {
        return Act("click on its way " + std::to_string(id));
    }
    bool Type(const Window&, int id, const std::string& text, std::string&) override {
        return Act("type " + std::to_string(id) + " " + text);
    }
    bool Escape(const Window& window, std::string&) override { return Ended(window, "escape"); }
    bool Close(const Window& window, std::string&) override { return Ended(window, "close"); }
    // Esc and the close box end a box.
    bool Ended(const Window& window, const std::string& action) {
        Act(action);
        std::lock_guard lock(mutex);
        if (window.messageBox)
            std::erase_if(windows, [&](const Window& w) { return w.handle == window.handle; });
        return true;
    }
    bool Answer(const Window& box, const std::string& button, std::string&) override {
        Act("answer " + button);
        std::lock_guard lock(mutex);
        std::erase_if(windows, [&](const Window& w) { return w.handle == box.handle; });
        return true;
    }
    bool Browse(const Window&, int, const std::string& folder, std::string&) override {
        return Act("browse " + folder);
    }
    bool Insert(char letter, const std::string& disc, std::string&) override {
        return Act(std::string("insert ") + letter + " " + disc);
    }
    long CountFiles(const std::string&) override { return files; }
    long long FileBytes(const std::string&) override { return bytes; }
    bool Hold(const std::string& file, std::string& error) override {
        {
            std::lock_guard lock(mutex);
            if (holdRefusals > 0) {
                --holdRefusals;
                error = "error 32";
                return false;
            }
        }
        return Act("hold " + file);
    }
    bool KillInstaller(std::string&) override { return true; }
    bool StartAgain(std::string&) override { return true; }
    bool StartSecondCopy(int& status, bool& showed, std::string&) override {
        status = secondStatus;
        showed = false;
        return true;
    }
    bool Ended() override { return true; }
    std::optional<TextWidth> MeasureText(const Window&, int) override { return std::nullopt; }
    double ProcessorSeconds() override { return 0; }
    bool Answers(const Window&, double, std::string& error) override {
        std::lock_guard lock(mutex);
        if (!answering)
            error = "busy";
        return answering;
    }

    std::mutex mutex;
    std::vector<Window> windows;
    // After the n-th look at the windows, change them.
    std::vector<std::pair<int, std::function<void(std::vector<Window>&)>>> script;
    int calls = 0;
    std::vector<std::string> actions;
    long files = 0;
    long long bytes = -1;
    int holdRefusals = 0; // how many tries to hold a file fail first
    int secondStatus = 0;
    bool answering = true;
};

Window Dialog(std::uintptr_t handle, const std::string& title) {
    Window window;
    window.handle = handle;
    window.title = title;
    scenario::Control start;
    start.id = 1000;
    start.className = "BUTTON";
    start.text = "Start";
    window.controls.push_back(start);
    return window;
}

Window Box(std::uintptr_t handle, const std::string& caption, const std::string& text,
           const std::string& owner) {
    Window box;
    box.handle = handle;
    box.messageBox = true;
    box.title = caption;
    box.text = text;
    box.buttons = {"yes", "no"};
    box.owner = owner;
    return box;
}

std::vector<std::string> PlayText(FakeBackend& backend, const std::string& steps, bool expectPass) {
    auto parsed = ParseOk(steps);
    std::vector<std::string> log;
    if (!parsed)
        return log;
    scenario::PlayOptions options;
    options.timeoutSeconds = 0.3;
    options.settleSeconds = 0.1;
    EXPECT_EQ(scenario::Play(*parsed, backend, options, log), expectPass);
    return log;
}

TEST(ScenarioPlayTest, ActsOnlyWhereAUserCouldReach) {
    FakeBackend backend;
    backend.windows = {Dialog(1, "Setup")};
    auto log = PlayText(backend, "expect dialog Setup\nclick 1000\nrefuse click 1000\n", false);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"click 1000"}));
    EXPECT_EQ(log[2].substr(0, 12), "FAIL line 3:");

    // A dialog that a box has disabled takes no click, and a refused click passes.
    backend.actions.clear();
    backend.windows[0].enabled = false;
    log = PlayText(backend, "expect dialog Setup\nrefuse click 1000\nclick 1000\n", false);
    EXPECT_TRUE(backend.actions.empty());
    EXPECT_NE(log[2].find("disabled"), std::string::npos) << log[2];
    // The failure shows what was up.
    EXPECT_NE(log[3].find("dialog \"Setup\" disabled"), std::string::npos) << log[3];

    backend.windows[0].enabled = true;
    backend.windows[0].visible = false;
    log = PlayText(backend, "expect hidden Setup\n", true);
    log = PlayText(backend, "expect dialog Setup\n", false);
    EXPECT_NE(log[0].find("no dialog \"Setup\" came up"), std::string::npos) << log[0];
}

TEST(ScenarioPlayTest, BoxesAreMatchedWhole_NewestFirst_AndAnswersWaitForThemToGo) {
    FakeBackend backend;
    backend.windows = {Dialog(1, "Setup"), Box(2, "Ask", "Sure?", "owner")};
    backend.script.push_back({3, [](std::vector<Window>& windows) {
                                  windows.push_back(Box(3, "Ask", "Sure?", "owner"));
                              }});
    PlayText(backend, R"(expect dialog Setup
expect box Ask Sure? yesno owner owner
expect box Ask Sure? yesno owner owner
answer no
expect box Ask Sure? yesno owner owner
answer yes
expect no box
expect exit 0
)",
             true);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"answer no", "answer yes"}));

    // A box with OK and Cancel, left by its Esc key and by its close box.
    backend.actions.clear();
    backend.windows = {Box(5, "Disc", "Insert", "install"), Box(6, "Disc", "Insert", "install")};
    backend.windows[0].buttons = backend.windows[1].buttons = {"ok", "cancel"};
    PlayText(backend, R"(expect box Disc Insert okcancel owner install
answer escape
expect box Disc Insert okcancel owner install
answer close
)",
             true);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"escape", "close"}));

    backend.windows = {Box(4, "Ask", "Sure?", "setup")};
    auto log = PlayText(backend, "expect box Ask Sure? yesno owner owner\n", false);
    EXPECT_NE(log[0].find("no box"), std::string::npos);
    log = PlayText(backend, "expect box Ask Sure? yesno owner owner topmost within 0.05\n", false);
    EXPECT_NE(log[0].find("topmost came up within 0.05 s"), std::string::npos) << log[0];
    log = PlayText(backend, "expect no box\n", false);
    EXPECT_NE(log[0].find("a box came up: \"Ask\" \"Sure?\""), std::string::npos) << log[0];
}

TEST(ScenarioPlayTest, WaitsForTextsFilesHeldFilesAndTheSecondCopy) {
    FakeBackend backend;
    backend.windows = {Dialog(1, "Setup")};
    backend.script.push_back(
        {4, [](std::vector<Window>& windows) { windows[0].controls[0].text = "Go"; }});
    backend.files = 3;
    PlayText(backend,
             "disc disc1 label X\nexpect dialog Setup\nexpect text 1000 Go\nwait files C:\\x "
             "3\nstart second\n"
             "insert d disc1\n",
             true);
    auto log = PlayText(backend, "wait files C:\\x 4\n", false);
    EXPECT_NE(log[0].find("holds 3 files, not 4"), std::string::npos) << log[0];
    backend.secondStatus = 1;
    log = PlayText(backend, "start second\n", false);
    EXPECT_NE(log[0].find("second copy ended with 1"), std::string::npos);

    // A file is held once the other program can open it.
    backend.actions.clear();
    backend.holdRefusals = 3;
    PlayText(backend, "hold C:\\x\\a.dat\n", true);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"hold C:\\x\\a.dat"}));
    backend.holdRefusals = 1000;
    log = PlayText(backend, "hold C:\\x\\a.dat\n", false);
    EXPECT_NE(log[0].find("could open it within 0.3 s: error 32"), std::string::npos) << log[0];
    EXPECT_NE(ParseError("hold\n").find("usage: hold <file>"), std::string::npos);
}

// A click aimed while the dialog is up lands the moment the files are there (or the file has
// grown that far), on its way even if the dialog is being hidden then; it is never sent before.
TEST(ScenarioPlayTest, AClickWhenFilesOrBytesLandsOnceTheyAreThere) {
    FakeBackend backend;
    backend.windows = {Dialog(1, "Setup")};
    backend.files = 2;
    auto log = PlayText(backend, "expect dialog Setup\nclick 2 when files C:\\x 3\n", false);
    EXPECT_TRUE(backend.actions.empty());
    EXPECT_NE(log[1].find("never held 3 files"), std::string::npos) << log[1];
    backend.files = 3;
    PlayText(backend, "expect dialog Setup\nclick 2 when files C:\\x 3\n", true);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"click on its way 2"}));

    backend.actions.clear();
    log = PlayText(backend, "expect dialog Setup\nclick 2 when bytes C:\\x\\big.dat 0\n", false);
    EXPECT_NE(log[1].find("never held 0 bytes"), std::string::npos) << "no file: " << log[1];
    backend.bytes = (2 << 20) - 1;
    PlayText(backend, "expect dialog Setup\nclick 2 when bytes C:\\x\\big.dat 2M\n", false);
    EXPECT_TRUE(backend.actions.empty());
    backend.bytes = 2 << 20;
    PlayText(backend, "expect dialog Setup\nclick 2 when bytes C:\\x\\big.dat 2M\n", true);
    EXPECT_EQ(backend.actions, (std::vector<std::string>{"click on its way 2"}));

    // A wait of its own, for a folder that fills slowly.
    backend.files = 2;
    log = PlayText(backend, "expect dialog Setup\nclick 2 when files C:\\x 3 within 0.05\n", false);
    EXPECT_NE(log[1].find("never held 3 files"), std::string::npos) << log[1];

    for (const char* bad :
         {"click 2 when files C:\\x\n", "click 2 when bytes C:\\x lots\n",
          "click 2 when files C:\\x 2M\n", "click 2 when files C:\\x 3 within 0\n",
          "click 2 when files C:\\x 3 in 5\n"})
        EXPECT_EQ(ParseError(bad), "t.scn:1: usage: click <id> [when files <folder> <n> | "
                                   "when bytes <file> <size>] [within <seconds>]")
            << bad;
}

TEST(ScenarioPlayTest, AnsweringAsksTheDialogsThread) {
    FakeBackend backend;
    backend.windows = {Dialog(1, "Setup")};
    PlayText(backend, "expect dialog Setup\nexpect answering\n", true);
    backend.answering = false;
    auto log = PlayText(backend, "expect dialog Setup\nexpect answering\n", false);
    EXPECT_EQ(log[1], "FAIL line 2: expect answering: the dialog \"Setup\" did not answer a "
                      "message within 1 s: busy");
}

TEST(ScenarioPlayTest, LogPassesOnlyWhenComplete) {
    EXPECT_TRUE(scenario::LogPassed({"ok line 1: a", "done"}));
    EXPECT_FALSE(scenario::LogPassed({"ok line 1: a"}));
    EXPECT_FALSE(scenario::LogPassed({"FAIL line 1: a", "done"}));
}

class FolderDisk : public scenario::Disk {
  public:
    explicit FolderDisk(fs::path root) : root_(std::move(root)) {}
    std::optional<std::string> HostPath(const std::string& windowsPath) override {
        if (windowsPath.size() < 3 || windowsPath[1] != ':')
            return std::nullopt;
        std::string rest = windowsPath.substr(3);
        for (char& c : rest) {
            if (c == '\\')
                c = '/';
        }
        return (root_ / "c" / rest).string();
    }
    std::vector<std::pair<unsigned, std::string>> StartedPrograms() override { return started; }
    std::optional<std::string> DiscFolder(const std::string& name) override {
        return (root_ / "discs" / name).string();
    }
    std::optional<std::vector<scenario::RegistryItem>> Registry() override { return registry; }
    std::vector<std::pair<unsigned, std::string>> started;
    std::vector<scenario::RegistryItem> registry;

  private:
    fs::path root_;
};

class ScenarioCheckTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("scenario-check-" + std::to_string(std::random_device{}()));
        Write("discs/d1/kelvo/a.txt", "one");
        Write("discs/d1/kelvo/sub/b.txt", "b");
        Write("discs/d2/Kelvo/a.txt", "two");
        Write("discs/d2/kelvo-not/x.txt", "x");
        Write("c/game/a.txt", "two");
        Write("c/game/sub/b.txt", "b");
        fs::create_directories(root / "c/empty");
    }
    void TearDown() override { fs::remove_all(root); }
    void Write(const std::string& path, const std::string& content) {
        fs::create_directories((root / path).parent_path());
        std::ofstream(root / path, std::ios::binary) << content;
    }
    std::vector<std::string> Check(const std::string& checks, bool expectPass) {
        auto parsed = ParseOk("disc d1 label A\ndisc d2 label B\n" + checks);
        std::vector<std::string> log;
        if (!parsed)
            return log;
        FolderDisk disk(root);
        disk.started = started;
        disk.registry = registry;
        EXPECT_EQ(scenario::CheckEnd(*parsed, disk, log), expectPass) << checks;
        return log;
    }
    // The whole-machine check of drive C and the registry, changed by change between the two
    // looks.
    std::vector<std::string> Unchanged(const std::string& checks,
                                       const std::function<void()>& change) {
        auto parsed = ParseOk("disc d1 label A\ndisc d2 label B\n" + checks);
        std::vector<std::string> log;
        if (!parsed)
            return log;
        FolderDisk disk(root);
        std::vector<scenario::SnapshotRoot> roots = {{"C:", root / "c", {}}};
        auto look = [&] {
            auto state = scenario::TakeSnapshot(roots);
            scenario::AddRegistry(state, registry, scenario::WatchedRegistry(*parsed, true),
                                  scenario::UnwatchedRegistry());
            return state;
        };
        auto before = look();
        change();
        scenario::CheckNothingElseChanged(*parsed, disk, roots, before, look(), log);
        return log;
    }
    fs::path root;
    std::vector<std::pair<unsigned, std::string>> started;
    std::vector<scenario::RegistryItem> registry;
};

TEST_F(ScenarioCheckTest, InstalledIsTheMergeOfTheDiscsLaterOnesWinning) {
    Check("expect installed C:\\game d1 d2\nexpect file C:\\game\\a.txt two\n"
          "expect empty C:\\empty\nexpect folder C:\\game\\sub\nexpect no file C:\\nothing\n",
          true);
    auto log = Check("expect installed C:\\game d2 d1\n", false);
    EXPECT_NE(log[0].find("wrong content in a.txt"), std::string::npos) << log[0];
    Write("c/game/extra.txt", "");
    log = Check("expect installed C:\\game d1 d2\nexpect empty C:\\game\n", false);
    EXPECT_NE(log[0].find("extra file extra.txt"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("is not empty"), std::string::npos);
    fs::remove(root / "c/game/sub/b.txt");
    log = Check("expect installed C:\\game d1\n", false);
    EXPECT_NE(log[0].find("missing sub\\b.txt"), std::string::npos) << log[0];
}

TEST_F(ScenarioCheckTest, StartedProgramsInOrderAsTheyWereStarted) {
    started = {{3, R"("C:\Program Files\k.exe" 2C:\x\)"}, {5, R"(D:\DX6User.exe)"}};
    Check(R"(expect started 3 """C:\Program Files\k.exe"" 2C:\x\"
expect started SW_SHOW D:\DX6User.exe
expect started none
)",
          true);
    // The program's path without its quotes is another command line.
    auto log = Check(R"(expect started 3 "C:\Program Files\k.exe 2C:\x\"
expect started 5 D:\DX6User.exe
)",
                     false);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("line 3"), std::string::npos) << log[0];
    log = Check(R"(expect started 3 """C:\Program Files\k.exe"" 2C:\x\"
expect started none
)",
                false);
    EXPECT_NE(log[0].find("a program was started"), std::string::npos);
}

TEST_F(ScenarioCheckTest, RegistryValuesAreReadAsTheirTypeSays) {
    registry = {{"HKLM", "Software\\~kelvo-setup", false, "", "", ""},
                {"HKLM", "Software\\~kelvo-setup", true, "Identity", "dword", "305419896"},
                {"HKLM", "Software\\~kelvo-setup", true, "Folder", "sz", "C:\\Games\\kelvo"}};
    Check("expect registry HKLM software\\~KELVO-SETUP identity 0x12345678\n"
          "expect registry HKLM Software\\~kelvo-setup Folder C:\\Games\\kelvo\n"
          "expect no registry HKCU Software\\~kelvo-setup\n",
          true);
    auto log = Check("expect registry HKLM Software\\~kelvo-setup Identity 305419897\n"
                     "expect registry HKLM Software\\~kelvo-setup Folder c:\\games\\kelvo\n"
                     "expect registry HKLM Software\\~kelvo-setup Journal x\n"
                     "expect no registry HKLM Software\\~kelvo-setup\n",
                     false);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[0].find("is dword \"305419896\", not \"305419897\""), std::string::npos)
        << log[0];
    EXPECT_NE(log[1].find("is sz"), std::string::npos) << "texts compare as they are";
    EXPECT_NE(log[2].find("no value \"Journal\""), std::string::npos) << log[2];
    EXPECT_NE(log[3].find("is there"), std::string::npos) << log[3];
}

TEST_F(ScenarioCheckTest, TheWholeMachineIncludesTheRegistryAndAFileThatMustGo) {
    registry = {{"HKLM", "Software\\Planted", false, "", "", ""},
                {"HKLM", "Software\\Planted", true, "Journal", "sz", "D:\\x.jnl"}};
    auto log = Unchanged("", [&] {
        registry.push_back({"HKLM", "Software\\~kelvo-setup", false, "", "", ""});
        registry.push_back({"HKLM", "Software\\~kelvo-setup", true, "Identity", "dword", "1"});
        registry[1].data = "D:\\y.jnl";
    });
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[0].find("changed registry HKLM/SOFTWARE/PLANTED/@JOURNAL"), std::string::npos)
        << log[0];
    EXPECT_NE(log[1].find("added registry HKLM/SOFTWARE/~KELVO-SETUP"), std::string::npos);
    registry.resize(2);
    registry[1].data = "D:\\x.jnl";
    // A value the scenario names may change, with the key made to hold it; a key it says must not
    // be there may go.
    log = Unchanged("expect registry HKLM Software\\~kelvo-setup Identity 1\n"
                    "expect no registry HKLM Software\\planted\n",
                    [&] {
                        registry = {
                            {"HKLM", "Software\\~kelvo-setup", false, "", "", ""},
                            {"HKLM", "Software\\~kelvo-setup", true, "Identity", "dword", "1"}};
                    });
    EXPECT_TRUE(log.empty()) << log[0];
    // The Shell Folders values are left aside.
    log = Unchanged("", [&] {
        registry.push_back({"HKCU",
                            "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                            true, "Programs", "sz", "C:\\P"});
    });
    EXPECT_TRUE(log.empty()) << log[0];

    // A file that must not be there may go, but no folder is made above it.
    Write("c/old/planted.jnl", "J");
    log = Unchanged("expect no file C:\\old\\planted.jnl\n",
                    [&] { fs::remove(root / "c/old/planted.jnl"); });
    EXPECT_TRUE(log.empty()) << log[0];
    log = Unchanged("expect no file C:\\new\\x.jnl\n",
                    [&] { fs::create_directories(root / "c/new"); });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("added C:/new"), std::string::npos) << log[0];

    // A file named with its content is the very file it was, unless the run put it there.
    auto putBack = [&] { Write("c/game/a.txt", "one"); };
    log = Unchanged("expect file C:\\game\\a.txt one\n", putBack);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("changed C:/game/a.txt"), std::string::npos) << log[0];
    Write("c/game/a.txt", "two");
    EXPECT_TRUE(Unchanged("expect file C:\\game\\a.txt one changed\n", putBack).empty());
    EXPECT_FALSE(Check("expect file C:\\game\\a.txt two changed\n", false).empty());
}

// A program the runners start: why it could not start, or that winsim stopped it, is the reason
// they give.
TEST_F(ScenarioCheckTest, ARunSaysWhyItCouldNotStartOrWhatWinsimStoppedItFor) {
    auto run = scenario::RunProgram((root / "missing").string(), {}, {}, root / "out.txt", 10);
    EXPECT_EQ(run.signal,
              "cannot start " + (root / "missing").string() + ": No such file or directory");
    auto script = [&](const std::string& body) {
        Write("program", "#!/bin/sh\n" + body + "\n");
        fs::permissions(root / "program", fs::perms::owner_all);
        return scenario::RunProgram((root / "program").string(), {}, {}, root / "out.txt", 10);
    };
    run = script("echo 'winsim: misuse: EndDialog from elsewhere' >&2; exit 3");
    EXPECT_EQ(run.signal, "stopped by winsim: EndDialog from elsewhere");
    run = script("exit 3");
    EXPECT_EQ(run.signal, "");
    EXPECT_EQ(run.status, 3);
}

} // namespace

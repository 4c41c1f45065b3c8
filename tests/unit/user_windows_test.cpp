// The window manager: dialogs from the module's templates, modal loops, message boxes and
// their owners, input that only reaches what a user could reach, timers, the folder browser and
// finding the windows of other processes.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>

#include "desktop.h"
#include "dialog_template.h"
#include "machine.h"
#include "resources/resource.h"
#include "test_machine.h"

namespace desktop = winsim::desktop;
using namespace std::chrono_literals;

namespace winsim {
extern const unsigned char ModuleResources[];
extern const std::size_t ModuleResourcesSize;
} // namespace winsim

namespace {

// The newest visible top-level window that matches, waiting up to 5 s.
std::optional<desktop::WindowView>
WaitForWindow(const std::function<bool(const desktop::WindowView&)>& matches) {
    auto end = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < end) {
        std::optional<desktop::WindowView> found;
        for (const auto& window : desktop::TopLevelWindows()) {
            if (window.visible && matches(window))
                found = window;
        }
        if (found)
            return found;
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

std::optional<desktop::WindowView> WaitForDialog(const std::string& templateName) {
    return WaitForWindow([&](const desktop::WindowView& window) {
        return window.kind == desktop::Kind::Dialog && window.templateName == templateName;
    });
}

std::optional<desktop::WindowView> WaitForBox() {
    return WaitForWindow(
        [](const desktop::WindowView& window) { return window.kind == desktop::Kind::MessageBox; });
}

void WaitForNoBoxes() {
    auto end = std::chrono::steady_clock::now() + 5s;
    for (;;) {
        bool any = false;
        for (const auto& window : desktop::TopLevelWindows())
            any |= window.kind == desktop::Kind::MessageBox;
        if (!any || std::chrono::steady_clock::now() > end)
            return;
        std::this_thread::sleep_for(5ms);
    }
}

// What a test's dialog procedure saw, and what it should do.
struct Recorder {
    std::vector<int> commands;
    std::atomic<int> commandCount{0}; // for other threads to watch
    std::function<void(HWND, int)> onCommand;
    std::function<void(HWND)> onInit;
    std::function<void(HWND, WPARAM)> onTimer;
};
Recorder* recorder = nullptr;

INT_PTR CALLBACK RecordingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG && recorder->onInit)
        recorder->onInit(dialog);
    if (message == WM_TIMER && recorder->onTimer)
        recorder->onTimer(dialog, wParam);
    if (message == WM_COMMAND) {
        recorder->commands.push_back(LOWORD(wParam));
        ++recorder->commandCount;
        if (recorder->onCommand)
            recorder->onCommand(dialog, LOWORD(wParam));
    }
    return FALSE;
}

class UserWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override { recorder = &record; }
    void TearDown() override {
        if (user.joinable())
            user.join();
        recorder = nullptr;
    }
    INT_PTR RunSetupDialog() {
        return DialogBoxParamA(nullptr, "IDD_SETUP", nullptr, RecordingProc, 0);
    }

    testing_support::TestMachine machine;
    Recorder record;
    std::thread user;
};

TEST(DialogTemplateTest, SetupTemplateComesFromTheResourceScript) {
    auto setup = winsim::FindDialogTemplate("IDD_SETUP");
    ASSERT_TRUE(setup);
    EXPECT_EQ(winsim::Cp950ToUtf8(setup->title), "雲嶺奇譚續錄~星月影安裝程式");
    EXPECT_EQ(setup->fontName, "System");
    ASSERT_EQ(setup->items.size(), 10u);
    EXPECT_EQ(setup->items[0].id, IDC_START);
    EXPECT_EQ(setup->items[0].className, "BUTTON");
    EXPECT_EQ(winsim::Cp950ToUtf8(setup->items[0].text), "開始安裝");
    EXPECT_EQ(setup->items[3].id, IDC_NORMAL);
    EXPECT_EQ(setup->items[3].style & 0x0F, (DWORD)BS_AUTORADIOBUTTON);
    EXPECT_EQ(setup->items[4].className, "EDIT");
    EXPECT_EQ(setup->items[6].id, 0xFFFF);
    EXPECT_EQ(setup->items[7].className, "STATIC");

    auto install = winsim::FindDialogTemplate("IDD_INSTALL");
    ASSERT_TRUE(install);
    EXPECT_EQ(winsim::Cp950ToUtf8(install->title), "安裝中");
    ASSERT_EQ(install->items.size(), 2u);
    EXPECT_EQ(install->items[1].id, IDC_STATUS);
    EXPECT_FALSE(winsim::FindDialogTemplate("IDD_NONE"));
}

TEST(DialogTemplateTest, CutImagesAreRefusedWithoutReadingPastThem) {
    for (std::size_t size = 0; size < winsim::ModuleResourcesSize; size += 7) {
        std::vector<unsigned char> cut(winsim::ModuleResources, winsim::ModuleResources + size);
        auto dialog = winsim::FindDialogTemplate(cut.data(), cut.size(), "IDD_SETUP");
        if (dialog) {
            EXPECT_EQ(dialog->items.size(), 10u);
        }
    }
}

TEST_F(UserWindowsTest, UnknownTemplateFailsWithMinusOne) {
    EXPECT_EQ(DialogBoxParamA(nullptr, "IDD_MISSING", nullptr, RecordingProc, 0), -1);
}

TEST_F(UserWindowsTest, RadioClickMovesTheCheckWithinItsGroupThenCommands) {
    record.onInit = [](HWND dialog) {
        SendDlgItemMessageA(dialog, IDC_NORMAL, BM_SETCHECK, BST_CHECKED, 0);
    };
    user = std::thread([] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        EXPECT_TRUE(desktop::Click(dialog->handle, IDC_MINIMAL, error)) << error;
        EXPECT_FALSE(desktop::Click(dialog->handle, IDC_PATH, error));
        EXPECT_FALSE(desktop::Click(dialog->handle, 4242, error));
        EXPECT_TRUE(desktop::Click(dialog->handle, IDCANCEL, error)) << error;
    });
    HWND seen = nullptr;
    record.onCommand = [&](HWND dialog, int id) {
        seen = dialog;
        if (id == IDC_MINIMAL) {
            EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_MINIMAL, BM_GETCHECK, 0, 0), BST_CHECKED);
            EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_NORMAL, BM_GETCHECK, 0, 0), BST_UNCHECKED);
        }
        if (id == IDCANCEL)
            EndDialog(dialog, 42);
    };
    EXPECT_EQ(RunSetupDialog(), 42);
    EXPECT_EQ(record.commands, (std::vector<int>{IDC_MINIMAL, IDCANCEL}));
    EXPECT_FALSE(IsWindow(seen));
}

// Other threads may change what a dialog shows; only the dialog's own thread ends it. winsim ends
// the process over an EndDialog from another thread, whatever Windows would make of it.
TEST_F(UserWindowsTest, AnyThreadMayChangeTextsButOnlyTheDialogsOwnEndsIt) {
    record.onInit = [&](HWND dialog) {
        user = std::thread([dialog] {
            while (!IsWindowVisible(dialog))
                std::this_thread::sleep_for(1ms);
            EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_PATH, "D:\\Games"));
            EXPECT_TRUE(PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0));
        });
    };
    std::string text;
    record.onCommand = [&](HWND dialog, int) {
        char buffer[MAX_PATH];
        GetDlgItemTextA(dialog, IDC_PATH, buffer, sizeof(buffer));
        text = buffer;
        EndDialog(dialog, 7);
    };
    EXPECT_EQ(RunSetupDialog(), 7);
    EXPECT_EQ(text, "D:\\Games");
}

using UserWindowsDeathTest = UserWindowsTest;

TEST_F(UserWindowsDeathTest, EndDialogFromAnotherThreadEndsTheProcessSayingWhy) {
    EXPECT_EXIT(
        {
            record.onInit = [](HWND dialog) {
                std::thread([dialog] { EndDialog(dialog, 7); }).detach();
            };
            RunSetupDialog();
        },
        ::testing::ExitedWithCode(winsim::MisuseExitStatus),
        "misuse: EndDialog of the dialog .* belongs to thread");
}

// The taskbar reads a window's extended style when the window is shown: a style set later shows
// only after the window has been hidden and shown again.
TEST_F(UserWindowsTest, TheStyleAWindowHadWhenShownIsTheOneTheTaskbarSaw) {
    record.onInit = [&](HWND dialog) {
        user = std::thread([dialog] {
            auto appWindowShown = [dialog] {
                for (const auto& window : desktop::TopLevelWindows()) {
                    if (window.handle == reinterpret_cast<std::uintptr_t>(dialog))
                        return (window.exStyleShown & WS_EX_APPWINDOW) != 0;
                }
                return false;
            };
            while (!IsWindowVisible(dialog))
                std::this_thread::sleep_for(1ms);
            SetWindowLongA(dialog, GWL_EXSTYLE, WS_EX_APPWINDOW);
            EXPECT_FALSE(appWindowShown()) << "set while shown";
            ShowWindow(dialog, SW_HIDE);
            ShowWindow(dialog, SW_SHOW);
            EXPECT_TRUE(appWindowShown()) << "shown again";
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        });
    };
    record.onCommand = [](HWND dialog, int) { EndDialog(dialog, 0); };
    RunSetupDialog();
}

TEST_F(UserWindowsTest, TypingStopsAtTheLimitWithoutSplittingACharacter) {
    record.onInit = [](HWND dialog) { SendDlgItemMessageA(dialog, IDC_PATH, EM_LIMITTEXT, 5, 0); };
    std::string text;
    record.onCommand = [&](HWND dialog, int id) {
        char buffer[MAX_PATH];
        GetDlgItemTextA(dialog, IDC_PATH, buffer, sizeof(buffer));
        text = buffer;
        if (id == IDCANCEL)
            EndDialog(dialog, 0);
    };
    user = std::thread([] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        // "C:中文": 2 + 4 bytes; five bytes take "C:" and one whole character.
        EXPECT_TRUE(desktop::Type(dialog->handle, IDC_PATH, winsim::Utf8ToCp950("C:中文"), error));
        EXPECT_FALSE(desktop::Type(dialog->handle, IDC_START, "x", error));
        EXPECT_TRUE(desktop::Click(dialog->handle, IDCANCEL, error));
    });
    EXPECT_EQ(RunSetupDialog(), 0);
    EXPECT_EQ(winsim::Cp950ToUtf8(text), "C:中");
}

TEST_F(UserWindowsTest, BoxOwnedByTheDialogDisablesItUntilAnsweredFromAnotherThread) {
    int answer = 0;
    record.onCommand = [&](HWND dialog, int id) {
        if (id == IDC_START)
            answer = MessageBoxA(dialog, "text", "caption", MB_YESNO);
        if (id == IDCANCEL)
            EndDialog(dialog, 0);
    };
    user = std::thread([] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        ASSERT_TRUE(desktop::Click(dialog->handle, IDC_START, error));
        auto box = WaitForBox();
        ASSERT_TRUE(box);
        EXPECT_EQ(box->owner, dialog->handle);
        EXPECT_EQ(box->buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_EQ(box->text, "text");
        EXPECT_FALSE(desktop::Click(dialog->handle, IDC_START, error));
        EXPECT_NE(error.find("disabled"), std::string::npos);
        char className[16];
        EXPECT_EQ(GetClassNameA(reinterpret_cast<HWND>(box->handle), className, 16), 6);
        EXPECT_STREQ(className, "#32770");
        // The installer's cancel answers a box this way.
        EXPECT_TRUE(PostMessageA(reinterpret_cast<HWND>(box->handle), WM_COMMAND, IDNO, 0));
        auto enabled = WaitForWindow([&](const desktop::WindowView& window) {
            return window.handle == dialog->handle && window.enabled;
        });
        EXPECT_TRUE(enabled);
        EXPECT_TRUE(desktop::Click(dialog->handle, IDCANCEL, error)) << error;
    });
    EXPECT_EQ(RunSetupDialog(), 0);
    EXPECT_EQ(answer, IDNO);
}

TEST_F(UserWindowsTest, BoxOwnedByAHiddenWindowLeavesTheDialogUsableAndReentrant) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "test-owner";
    RegisterClassExA(&windowClass);
    HWND owner = CreateWindowExA(0, "test-owner", "owner", WS_SYSMENU, 0, 0, 10, 10, nullptr,
                                 nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
    int depth = 0, deepest = 0;
    record.onCommand = [&](HWND dialog, int id) {
        if (id == IDC_START) {
            ++depth;
            deepest = std::max(deepest, depth);
            MessageBoxA(owner, "again?", "caption", MB_OK);
            --depth;
        }
        if (id == IDCANCEL)
            EndDialog(dialog, 3);
    };
    user = std::thread([] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        ASSERT_TRUE(desktop::Click(dialog->handle, IDC_START, error));
        auto first = WaitForBox();
        ASSERT_TRUE(first);
        ASSERT_TRUE(desktop::Click(dialog->handle, IDC_START, error)) << error;
        auto second = WaitForWindow([&](const desktop::WindowView& window) {
            return window.kind == desktop::Kind::MessageBox && window.handle != first->handle;
        });
        ASSERT_TRUE(second);
        // Esc goes to the innermost modal window of the thread, not the dialog.
        EXPECT_TRUE(desktop::Escape(dialog->handle, error));
        EXPECT_TRUE(desktop::Escape(second->handle, error)); // OK box: Esc is OK
        EXPECT_TRUE(desktop::Click(first->handle, IDOK, error));
        WaitForNoBoxes();
        EXPECT_TRUE(desktop::Click(dialog->handle, IDCANCEL, error));
    });
    EXPECT_EQ(RunSetupDialog(), 3);
    EXPECT_EQ(deepest, 2);
    EXPECT_EQ(std::count(record.commands.begin(), record.commands.end(), IDCANCEL), 1);
}

TEST_F(UserWindowsTest, EscapeAndCloseBoxCancelButNotPastADisabledCancelButton) {
    record.onInit = [](HWND dialog) { EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE); };
    record.onCommand = [](HWND dialog, int id) {
        if (id == IDCANCEL)
            EndDialog(dialog, -1);
    };
    user = std::thread([this] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        EXPECT_FALSE(desktop::Click(dialog->handle, IDCANCEL, error));
        EXPECT_TRUE(desktop::Close(dialog->handle, error));
        EXPECT_TRUE(desktop::Click(dialog->handle, IDC_MINIMAL, error));
        // The radio click comes after the close box: the close box sent nothing.
        while (record.commandCount < 1)
            std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(desktop::Escape(dialog->handle, error));
    });
    EXPECT_EQ(RunSetupDialog(), -1);
    EXPECT_EQ(record.commands, (std::vector<int>{IDC_MINIMAL, IDCANCEL}));
}

TEST_F(UserWindowsTest, HiddenDialogTakesNoInput) {
    // Hidden during WM_INITDIALOG, the dialog is still shown once set up, as Windows' dialog
    // manager does; hidden after that, it stays hidden and a click can't reach it.
    record.onInit = [](HWND dialog) { ShowWindow(dialog, SW_HIDE); };
    user = std::thread([] {
        std::uintptr_t handle = 0;
        for (int tries = 0; tries < 1000 && handle == 0; ++tries) {
            for (const auto& window : desktop::TopLevelWindows()) {
                if (window.templateName == "IDD_SETUP" && window.visible)
                    handle = window.handle;
            }
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_NE(handle, 0u);
        ShowWindow(reinterpret_cast<HWND>(handle), SW_HIDE);
        std::string error;
        EXPECT_FALSE(desktop::Click(handle, IDCANCEL, error));
        EXPECT_NE(error.find("hidden"), std::string::npos);
        ShowWindow(reinterpret_cast<HWND>(handle), SW_RESTORE);
        EXPECT_TRUE(desktop::Click(handle, IDCANCEL, error)) << error;
    });
    record.onCommand = [](HWND dialog, int id) {
        if (id == IDCANCEL)
            EndDialog(dialog, 5);
    };
    EXPECT_EQ(RunSetupDialog(), 5);
}

TEST_F(UserWindowsTest, WorkerBoxesAreFoundByThreadAndAnsweredByPost) {
    std::atomic<DWORD> workerId{0};
    std::atomic<int> workerAnswer{0};
    std::thread worker;
    record.onInit = [&](HWND dialog) {
        SetTimer(dialog, 9, 10, nullptr);
        worker = std::thread([&] {
            workerId = GetCurrentThreadId();
            workerAnswer = MessageBoxA(nullptr, "wait", "caption", MB_OK);
        });
    };
    int ticks = 0;
    record.onTimer = [&](HWND dialog, WPARAM id) {
        EXPECT_EQ(id, 9u);
        ++ticks;
        DWORD thread = workerId;
        if (thread == 0)
            return;
        auto answer = [](HWND window, LPARAM) -> BOOL {
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            return TRUE;
        };
        if (EnumThreadWindows(thread, answer, 0)) {
            KillTimer(dialog, 9);
            EndDialog(dialog, ticks);
        }
    };
    INT_PTR result = RunSetupDialog();
    worker.join();
    EXPECT_GE(result, 1);
    EXPECT_EQ(workerAnswer, IDOK);
    EXPECT_FALSE(EnumThreadWindows(
        workerId, [](HWND, LPARAM) -> BOOL { return TRUE; }, 0));
}

TEST_F(UserWindowsTest, FolderBrowserReturnsAnItemOnlyForAFolderPicked) {
    auto& c = machine.AddFixed('c');
    std::filesystem::create_directories(std::filesystem::path(c.hostFolder) / "Games");
    std::vector<std::string> picked;
    record.onCommand = [&](HWND dialog, int id) {
        if (id == IDC_BROWSE) {
            char name[MAX_PATH] = "";
            BROWSEINFOA info = {};
            info.hwndOwner = dialog;
            info.pszDisplayName = name;
            EXPECT_EQ(SHBrowseForFolderA(&info), nullptr) << "without COM";
            EXPECT_EQ(CoInitialize(nullptr), S_OK);
            LPITEMIDLIST item = SHBrowseForFolderA(&info);
            CoUninitialize();
            char path[MAX_PATH] = "";
            picked.push_back(item != nullptr && SHGetPathFromIDListA(item, path)
                                 ? std::string(path) + "|" + name
                                 : "none");
            EXPECT_EQ(desktop::ItemListsNotFreed(), item != nullptr ? 1 : 0);
            CoTaskMemFree(item);
            EXPECT_EQ(desktop::ItemListsNotFreed(), 0);
        }
        if (id == IDCANCEL)
            EndDialog(dialog, 0);
    };
    user = std::thread([] {
        auto dialog = WaitForDialog("IDD_SETUP");
        ASSERT_TRUE(dialog);
        std::string error;
        for (const char* folder : {"", "C:\\Games\\", "C:\\Missing"}) {
            ASSERT_TRUE(desktop::Click(dialog->handle, IDC_BROWSE, error));
            auto browser = WaitForWindow([](const desktop::WindowView& window) {
                return window.kind == desktop::Kind::FolderBrowser;
            });
            ASSERT_TRUE(browser);
            EXPECT_EQ(browser->owner, dialog->handle);
            if (std::string(folder) == "C:\\Missing") {
                EXPECT_FALSE(desktop::PickFolder(browser->handle, folder, error));
                EXPECT_TRUE(desktop::PickFolder(browser->handle, "", error));
            } else {
                EXPECT_TRUE(desktop::PickFolder(browser->handle, folder, error)) << error;
            }
            WaitForWindow([&](const desktop::WindowView& window) {
                return window.handle == dialog->handle && window.enabled;
            });
        }
        EXPECT_TRUE(desktop::Click(dialog->handle, IDCANCEL, error));
    });
    RunSetupDialog();
    EXPECT_EQ(picked, (std::vector<std::string>{"none", "C:\\Games|Games", "none"}));
}

TEST_F(UserWindowsTest, FindWindowSeesOwnWindowsAndLiveProcessesOfTheMachine) {
    auto folder = machine.root() / "machine";
    std::filesystem::create_directories(folder / "windows");
    machine.machine().folder = folder.string();
    EXPECT_EQ(FindWindowA("other-class", "title"), nullptr);

    // A window entry of a live process (our parent) and of a process long gone.
    std::ofstream(folder / "windows" / (std::to_string(getppid()) + "-1"))
        << "other-class\ntitle\n";
    std::ofstream(folder / "windows" / "999999999-1") << "gone-class\ntitle\n";
    EXPECT_NE(FindWindowA("OTHER-CLASS", "title"), nullptr);
    EXPECT_EQ(FindWindowA("other-class", "other title"), nullptr);
    EXPECT_EQ(FindWindowA("gone-class", "title"), nullptr);

    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "find-me";
    RegisterClassExA(&windowClass);
    HWND window = CreateWindowExA(0, "find-me", "mine", WS_SYSMENU, 0, 0, 1, 1, nullptr, nullptr,
                                  nullptr, nullptr);
    EXPECT_EQ(FindWindowA("find-me", "mine"), window);
    EXPECT_EQ(FindWindowA("find-me", "Mine"), nullptr);
    // Published for other processes of the machine.
    bool published = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder / "windows"))
        published |= entry.path().filename().string().rfind(std::to_string(getpid()), 0) == 0;
    EXPECT_TRUE(published);
}

} // namespace

// The windows of this process as a user sees them, and the user's hands: what the scripted and
// the interactive user of the host build act through. Texts are code page 950. Every call may be
// made from any thread; actions are posted to the thread that owns the window, like input.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace winsim::desktop {

enum class Kind { Owner, Dialog, MessageBox, FolderBrowser };

struct ControlView {
    int id = 0;
    std::string className;
    std::string text;
    std::uint32_t style = 0;
    bool checked = false;
    bool enabled = true;
    bool visible = true;
};

struct WindowView {
    std::uintptr_t handle = 0;
    Kind kind = Kind::Dialog;
    std::string className;
    std::string title;
    std::string templateName;  // dialogs: the template they were made from ("IDD_SETUP")
    std::string text;          // message boxes: the message
    std::vector<int> buttons;  // message boxes: the button ids (IDOK, IDYES, ...)
    std::uintptr_t owner = 0;  // 0: none
    std::uint32_t exStyle = 0; // WS_EX_APPWINDOW, WS_EX_TOPMOST, ...
    // The extended style as the window was last shown: what the taskbar went by.
    std::uint32_t exStyleShown = 0;
    std::uint32_t boxType = 0; // message boxes: the type they were asked for (MB_OKCANCEL, ...)
    bool visible = false;
    bool enabled = true;
    std::vector<ControlView> controls;
};

// The top-level windows of this process, oldest first (the hidden owner window too).
std::vector<WindowView> TopLevelWindows();

// Counts every change to a window; WaitForChange returns once it differs from seen, or after
// seconds.
std::uint64_t Generation();
std::uint64_t WaitForChange(std::uint64_t seen, double seconds);

// The user's hands. Each fails with a reason when no user could do it: the window is gone,
// hidden or disabled, the control is missing, disabled or of the wrong kind.
bool Click(std::uintptr_t window, int controlId, std::string& error);
bool Type(std::uintptr_t window, int controlId, const std::string& text, std::string& error);
bool Escape(std::uintptr_t window, std::string& error);
bool Close(std::uintptr_t window, std::string& error);
// A click already on its way to a button: posted whatever the window has become since (hidden or
// disabled a moment ago). Fails only when the window or the button is gone or no button.
bool PostClick(std::uintptr_t window, int controlId, std::string& error);
// The text a control shows, with the width it needs in the dialog's font and the width the
// control has (pixels); nullopt when there is no such control.
struct MeasuredText {
    std::string text;
    int needed = 0;
    int available = 0;
};
std::optional<MeasuredText> MeasureText(std::uintptr_t window, int controlId);
// Presses a button of the dialog made from templateName as a user does, when it can be reached
// now (the dialog shown and enabled, the button enabled), and waits up to seconds until the
// dialog's thread has handled the press. False, with nothing pressed, when it can't be reached.
// beforePress (when given) runs just before the press; it must not use the desktop.
bool PressAndWait(const std::string& templateName, int controlId, double seconds,
                  const std::function<void()>& beforePress = {});
// Sends the window a message that does nothing (WM_NULL) and waits up to seconds until its
// thread has handled it: whether the window answers, as a thread that pumps its messages does.
// False, with why, when it does not in time or the window is gone.
bool Answers(std::uintptr_t window, double seconds, std::string& error);
// Picks folder (a Windows path) in a folder browser, or cancels it when folder is empty.
bool PickFolder(std::uintptr_t browser, const std::string& folder, std::string& error);

// The folder browser's item lists handed out and not yet freed with CoTaskMemFree.
int ItemListsNotFreed();

// Destroys the windows a thread owns, as Windows does when the thread ends without them.
void DestroyThreadWindows(std::uint32_t threadId);

// The system's critical-error box for a drive with no disk in it ("There is no disk in the
// drive"), on the calling thread: a message box owned by no window, with Cancel, Try Again and
// Continue. True when the user chose Try Again.
bool AskForDisk(char letter);

} // namespace winsim::desktop

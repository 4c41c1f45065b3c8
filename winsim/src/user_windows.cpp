// The window manager: windows, dialogs built from the module's templates, message boxes, the
// folder browser, timers and per-thread message queues with modal loops, as the installer uses
// them. One table holds every window of the process under one lock; a window belongs to the
// thread that made it, and only that thread runs its procedure.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <signal.h>
#include <unistd.h>

#include "desktop.h"
#include "dialog_template.h"
#include "call_points.h"
#include "machine.h"

namespace fs = std::filesystem;
using namespace winsim;

// What SHBrowseForFolderA hands out: the folder picked, in code page 950.
struct _ITEMIDLIST {
    std::string path;
};

namespace {

using Clock = std::chrono::steady_clock;
using desktop::Kind;

constexpr UINT ButtonClicked = 0;    // BN_CLICKED
constexpr UINT EditChanged = 0x0300; // EN_CHANGE
constexpr int MessageTextId = 0xFFFF;
constexpr int FolderFieldId = 0x3744;
constexpr DWORD ButtonTypeMask = 0x0F;
constexpr DWORD AutoCheckBox = 3;
constexpr const char* DialogClass = "#32770";

// The dialogs' font, as winsim draws it: fixed pitch, every byte one cell (a double-byte
// character two, as a DBCS system font draws it), and dialog units of a quarter cell across and
// an eighth of a line down.
constexpr int FontCellPixels = 8;
constexpr int FontLinePixels = 16;
const HGDIOBJ DialogFont = reinterpret_cast<HGDIOBJ>(std::uintptr_t{0xF0F0});
const HGDIOBJ SystemFont = reinterpret_cast<HGDIOBJ>(std::uintptr_t{0xF0F1});

// A device context: the window it draws in and the font selected into it.
struct DeviceContext {
    HWND window;
    HGDIOBJ font;
};

enum class Role { Owner, Dialog, MessageBox, FolderBrowser, Control };

struct Timer {
    UINT interval = 0;
    Clock::time_point due;
};

struct Window {
    Role role = Role::Owner;
    bool alive = true;
    std::string className;
    std::string text; // title, or a control's text
    DWORD style = 0;
    DWORD exStyle = 0;
    DWORD exStyleShown = 0; // the extended style as the window was last shown
    int id = 0;
    DWORD threadId = 0;
    Window* parent = nullptr; // controls: their dialog or box
    Window* owner = nullptr;  // top-level windows: their owner
    std::vector<Window*> children;
    WNDPROC windowProc = nullptr;
    DLGPROC dialogProc = nullptr;
    bool visible = false;
    bool enabled = true;
    bool checked = false;
    std::size_t limit = 30000; // edit controls: bytes the user may type
    int width = 0, height = 0; // controls: the client area in pixels
    // Modal windows.
    bool ended = false;
    INT_PTR result = 0;
    Window* disabledOwner = nullptr; // the owner this window disabled, to enable again
    std::string templateName;
    UINT boxType = 0;
    std::map<UINT_PTR, Timer> timers;
    std::string pickedFolder;
};

struct Message {
    Window* window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::uint64_t ticket = 0; // counts posted messages; handled ones are noted in Desktop
};

struct ThreadQueue {
    std::deque<Message> messages;
    std::condition_variable wake;
    std::vector<Window*> modal; // modal windows running on the thread, innermost last
};

struct Desktop {
    std::mutex lock;
    std::vector<std::unique_ptr<Window>> windows; // every window ever made, never freed
    std::set<const Window*> known;
    std::map<DWORD, ThreadQueue> queues;
    std::uint64_t generation = 0;
    std::condition_variable changed;
    std::uint64_t tickets = 0;              // messages posted so far
    std::set<std::uint64_t> handledTickets; // tickets that someone waits to see handled
    std::map<std::string, WNDPROC> classes; // upper-case class name
    std::vector<std::string> published;     // files naming our windows in the machine folder
    std::set<_ITEMIDLIST*> items;           // the folder browser's lists not yet freed
    std::set<DeviceContext*> deviceContexts;
    int nextAtom = 0xC000;
};

// Never destroyed: other threads may still be in a modal loop while the process exits.
Desktop& D() {
    static Desktop* desktop = new Desktop;
    return *desktop;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = (char)std::toupper((unsigned char)c);
    return out;
}

HWND Handle(Window* window) {
    return reinterpret_cast<HWND>(window);
}

// The live window behind a handle, or nullptr. Caller holds the lock.
Window* Find(HWND handle) {
    auto* window = reinterpret_cast<Window*>(handle);
    if (handle == nullptr || D().known.count(window) == 0 || !window->alive)
        return nullptr;
    return window;
}

Window* Find(std::uintptr_t handle) {
    return Find(reinterpret_cast<HWND>(handle));
}

// The same, with ERROR_INVALID_WINDOW_HANDLE set when the handle names no window, as a call
// given such a handle answers. Caller holds the lock.
Window* FindOrFail(HWND handle) {
    Window* window = Find(handle);
    if (window == nullptr)
        SetError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

Window* Child(Window* parent, int id) {
    if (parent == nullptr)
        return nullptr;
    for (Window* child : parent->children) {
        if (child->alive && (WORD)child->id == (WORD)id)
            return child;
    }
    return nullptr;
}

Window* NewWindow(Role role, std::string className, std::string text, DWORD threadId) {
    auto window = std::make_unique<Window>();
    window->role = role;
    window->className = std::move(className);
    window->text = std::move(text);
    window->threadId = threadId;
    Window* made = window.get();
    D().windows.push_back(std::move(window));
    D().known.insert(made);
    return made;
}

Window* NewControl(Window* parent, int id, std::string className, std::string text, DWORD style) {
    Window* control =
        NewWindow(Role::Control, std::move(className), std::move(text), parent->threadId);
    control->parent = parent;
    control->id = id;
    control->style = style;
    control->visible = (style & WS_VISIBLE) != 0;
    control->enabled = (style & WS_DISABLED) == 0;
    parent->children.push_back(control);
    return control;
}

ThreadQueue& Queue(DWORD threadId) {
    return D().queues.try_emplace(threadId).first->second;
}

void Changed() {
    ++D().generation;
    D().changed.notify_all();
}

void Wake(DWORD threadId) {
    Queue(threadId).wake.notify_all();
}

// Queues a message for the window's thread: at the end, or (a message sent from another
// thread) ahead of the posted ones, as the thread takes sent messages first.
std::uint64_t Post(Window* window, UINT message, WPARAM wParam, LPARAM lParam, bool sent = false) {
    DWORD threadId = window->threadId;
    std::uint64_t ticket = ++D().tickets;
    Message queued{window, message, wParam, lParam, ticket};
    auto& messages = Queue(threadId).messages;
    if (sent)
        messages.push_front(queued);
    else
        messages.push_back(queued);
    Wake(threadId);
    return ticket;
}

bool IsTopLevel(const Window* window) {
    return window->role != Role::Control;
}

bool IsButton(const Window* control) {
    return control->className == "BUTTON";
}

bool IsAutoRadio(const Window* control) {
    return IsButton(control) && (control->style & ButtonTypeMask) == BS_AUTORADIOBUTTON;
}

// A control that input can reach: it and its window are shown and enabled.
bool Reachable(const Window* control) {
    const Window* top = control->parent;
    return control->alive && control->visible && control->enabled && top != nullptr && top->alive &&
           top->visible && top->enabled && !top->ended;
}

// A click on an automatic radio button checks it and unchecks the others of its group: the
// controls from the last one with WS_GROUP up to the next one with WS_GROUP.
void CheckRadio(Window* button) {
    auto& siblings = button->parent->children;
    size_t at = std::find(siblings.begin(), siblings.end(), button) - siblings.begin();
    size_t first = at;
    while (first > 0 && (siblings[first]->style & WS_GROUP) == 0)
        --first;
    size_t end = at + 1;
    while (end < siblings.size() && (siblings[end]->style & WS_GROUP) == 0)
        ++end;
    for (size_t i = first; i < end; ++i) {
        if (IsAutoRadio(siblings[i]))
            siblings[i]->checked = siblings[i] == button;
    }
}

// Where the window log goes (WINSIM_WINDOW_LOG): one line per window shown, so a runner can
// tell whether a process showed anything.
void LogShown(const Window* window) {
    const char* path = std::getenv("WINSIM_WINDOW_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::string line =
        (window->role == Role::MessageBox ? "box " : "dialog ") + Cp950ToUtf8(window->text) + "\n";
    int file = ::open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (file < 0)
        return;
    ssize_t written = ::write(file, line.data(), line.size());
    (void)written;
    ::close(file);
}

// A window that comes into view: the shell reads its extended style then, and the taskbar
// gives it a button or not by what it read ("hide the window first, change the window style,
// and then show the window"); a style changed while it is shown waits for its next showing.
void SetVisible(Window* window, bool visible) {
    if (visible && !window->visible) {
        window->exStyleShown = window->exStyle;
        if (IsTopLevel(window) && window->role != Role::Owner)
            LogShown(window);
    }
    window->visible = visible;
}

// Ends a modal window: hides it and gives its owner back the input, at once; its loop returns
// when it next looks, after the message it is handling or, asleep, at its thread's next message:
// nothing wakes it. An end before then replaces the result, as on Windows: the last one is what
// the loop returns. Caller holds the lock.
void EndModal(Window* window, INT_PTR result) {
    window->result = result;
    if (window->ended)
        return;
    window->ended = true;
    window->visible = false;
    if (window->disabledOwner != nullptr && window->disabledOwner->alive)
        window->disabledOwner->enabled = true;
    window->disabledOwner = nullptr;
    Changed();
}

// Disables the owner of a modal window while it is up, as Windows does.
void DisableOwner(Window* window) {
    Window* owner = window->owner;
    if (owner != nullptr && owner->enabled) {
        owner->enabled = false;
        window->disabledOwner = owner;
    }
}

void Destroy(Window* window) {
    if (window->disabledOwner != nullptr && window->disabledOwner->alive)
        window->disabledOwner->enabled = true;
    window->disabledOwner = nullptr;
    for (Window* child : window->children)
        child->alive = false;
    window->alive = false;
    window->visible = false;
    window->timers.clear();
    Changed();
}

// Runs a window's procedure for a message, without the lock.
LRESULT CallProcedure(HWND handle, WNDPROC windowProc, DLGPROC dialogProc, UINT message,
                      WPARAM wParam, LPARAM lParam) {
    calls::ProductCode product;
    if (dialogProc != nullptr)
        return dialogProc(handle, message, wParam, lParam);
    if (windowProc != nullptr)
        return windowProc(handle, message, wParam, lParam);
    return 0;
}

WPARAM Command(int id, UINT code) {
    return (WPARAM)(WORD)id | (WPARAM)code << 16;
}

// A box ends with the button pressed; Esc and the close box count as Cancel where the box has
// one, as OK for a box with only OK, and do nothing on a Yes/No box.
int BoxCancelResult(const Window* box) {
    UINT buttons = box->boxType & 0x0F;
    if (buttons == MB_OKCANCEL || buttons == MB_CANCELTRYCONTINUE)
        return IDCANCEL;
    if (buttons == MB_OK)
        return IDOK;
    return 0;
}

void Dispatch(const Message& m, std::unique_lock<std::mutex>& lock) {
    Window* window = m.window;
    if (!window->alive)
        return;
    if (window->role == Role::Control) {
        Window* top = window->parent;
        // A click is judged when it is made (desktop::Click): one already posted is handled even
        // if its window was hidden or disabled meanwhile, as on Windows.
        if (m.message != BM_CLICK || !IsButton(window) || !top->alive)
            return;
        if (top->role == Role::MessageBox) {
            EndModal(top, window->id);
            return;
        }
        if (top->role == Role::FolderBrowser) {
            if (window->id == IDOK) {
                Window* field = Child(top, FolderFieldId);
                top->pickedFolder = field != nullptr ? field->text : "";
            }
            EndModal(top, window->id);
            return;
        }
        if (IsAutoRadio(window))
            CheckRadio(window);
        else if ((window->style & ButtonTypeMask) == AutoCheckBox)
            window->checked = !window->checked;
        Changed();
        DLGPROC proc = top->dialogProc;
        lock.unlock();
        CallProcedure(Handle(top), nullptr, proc, WM_COMMAND, Command(window->id, ButtonClicked),
                      (LPARAM)Handle(window));
        lock.lock();
        return;
    }

    bool escape = m.message == WM_KEYDOWN && m.wParam == VK_ESCAPE;
    bool close = m.message == WM_SYSCOMMAND && (m.wParam & 0xFFF0) == SC_CLOSE;
    if (window->role == Role::MessageBox || window->role == Role::FolderBrowser) {
        if (escape || close) {
            int result = window->role == Role::FolderBrowser ? IDCANCEL : BoxCancelResult(window);
            if (result != 0)
                EndModal(window, result);
        } else if (m.message == WM_COMMAND && LOWORD(m.wParam) >= IDOK &&
                   LOWORD(m.wParam) <= IDNO) {
            EndModal(window, LOWORD(m.wParam));
        }
        return;
    }

    HWND handle = Handle(window);
    WNDPROC windowProc = window->windowProc;
    DLGPROC dialogProc = window->dialogProc;
    if (window->role == Role::Dialog && escape) {
        // The keyboard belongs to the innermost modal window of the thread: with a message box
        // of this thread up, Esc on the dialog does nothing.
        ThreadQueue& queue = Queue(window->threadId);
        if (queue.modal.empty() || queue.modal.back() != window || window->ended)
            return;
        Window* cancel = Child(window, IDCANCEL);
        lock.unlock();
        CallProcedure(handle, nullptr, dialogProc, WM_COMMAND, Command(IDCANCEL, ButtonClicked),
                      (LPARAM)cancel);
        lock.lock();
        return;
    }
    if (window->role == Role::Dialog && close) {
        lock.unlock();
        LRESULT handled = CallProcedure(handle, nullptr, dialogProc, WM_CLOSE, 0, 0);
        lock.lock();
        if (handled != 0 || Find(handle) == nullptr)
            return;
        // The dialog manager's answer to the close box: Cancel, unless that button is disabled.
        Window* cancel = Child(window, IDCANCEL);
        if (cancel != nullptr && !cancel->enabled)
            return;
        lock.unlock();
        CallProcedure(handle, nullptr, dialogProc, WM_COMMAND, Command(IDCANCEL, ButtonClicked),
                      (LPARAM)cancel);
        lock.lock();
        return;
    }
    lock.unlock();
    CallProcedure(handle, windowProc, dialogProc, m.message, m.wParam, m.lParam);
    lock.lock();
}

// Waits for the next message of the thread's windows, or the next of their timers to fall due,
// and dispatches it. Caller holds the lock.
void DispatchNext(ThreadQueue& queue, DWORD threadId, std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (!queue.messages.empty()) {
            Message message = queue.messages.front();
            queue.messages.pop_front();
            Dispatch(message, lock);
            if (D().handledTickets.erase(message.ticket) != 0) {
                ++D().generation;
                D().changed.notify_all();
            }
            return;
        }
        Window* timerWindow = nullptr;
        UINT_PTR timerId = 0;
        Clock::time_point due = Clock::time_point::max();
        for (const auto& candidate : D().windows) {
            if (!candidate->alive || candidate->threadId != threadId)
                continue;
            for (const auto& [id, timer] : candidate->timers) {
                if (timer.due < due) {
                    due = timer.due;
                    timerWindow = candidate.get();
                    timerId = id;
                }
            }
        }
        Clock::time_point now = Clock::now();
        if (timerWindow != nullptr && due <= now) {
            Timer& timer = timerWindow->timers[timerId];
            timer.due = now + std::chrono::milliseconds(timer.interval);
            Dispatch({timerWindow, WM_TIMER, timerId, 0}, lock);
            return;
        }
        if (timerWindow != nullptr)
            queue.wake.wait_until(lock, due);
        else
            queue.wake.wait(lock);
    }
}

// The modal loop: dispatches the messages of every window of the calling thread, then its due
// timers, until window has ended. Like Windows' dialog loop it looks at the end before it waits
// and after each message: an end made while it waits (EndDialog is refused from other threads,
// but the desktop ends the windows of a thread that goes) is seen at the thread's next message
// (a timer's included), not before. Caller holds the lock.
void RunModal(Window* window, std::unique_lock<std::mutex>& lock) {
    ThreadQueue& queue = Queue(window->threadId);
    queue.modal.push_back(window);
    while (!window->ended)
        DispatchNext(queue, window->threadId, lock);
    queue.modal.erase(std::find(queue.modal.begin(), queue.modal.end(), window));
}

std::string ButtonText(int id) {
    switch (id) {
    case IDOK:
        return Utf8ToCp950("確定");
    case IDCANCEL:
        return Utf8ToCp950("取消");
    case IDYES:
        return Utf8ToCp950("是(&Y)");
    case IDNO:
        return Utf8ToCp950("否(&N)");
    case IDTRYAGAIN:
        return Utf8ToCp950("重試(&T)");
    case IDCONTINUE:
        return Utf8ToCp950("繼續(&C)");
    }
    return "";
}

std::vector<int> BoxButtons(UINT type) {
    switch (type & 0x0F) {
    case MB_OKCANCEL:
        return {IDOK, IDCANCEL};
    case MB_YESNO:
        return {IDYES, IDNO};
    case MB_CANCELTRYCONTINUE:
        return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
        return {IDOK};
    }
}

// Runs a modal top-level window made by the caller (visible, owner disabled) to its end and
// destroys it; its result.
INT_PTR RunAndDestroy(Window* window, std::unique_lock<std::mutex>& lock) {
    RunModal(window, lock);
    INT_PTR result = window->result;
    Destroy(window);
    return result;
}

// The machine folder's list of top-level windows that other processes can find: one file per
// window, "<pid>-<n>", holding its class and title.
std::string WindowsFolder() {
    std::lock_guard machineGuard(machineLock());
    const std::string& folder = machine().folder;
    return folder.empty() ? "" : (fs::path(folder) / "windows").string();
}

void RemovePublished() {
    std::vector<std::string> files;
    {
        std::lock_guard guard(D().lock);
        files.swap(D().published);
    }
    for (const auto& file : files)
        ::unlink(file.c_str());
}

void Publish(const std::string& className, const std::string& title) {
    std::string folder = WindowsFolder();
    if (folder.empty())
        return;
    std::error_code error;
    fs::create_directories(folder, error);
    std::string file;
    {
        std::lock_guard guard(D().lock);
        if (D().published.empty())
            std::atexit(RemovePublished);
        file = folder + "/" + std::to_string(::getpid()) + "-" +
               std::to_string(D().published.size() + 1);
        D().published.push_back(file);
    }
    std::ofstream(file, std::ios::binary) << className << "\n" << title << "\n";
}

bool ProcessAlive(long pid) {
    return pid > 0 && (::kill((pid_t)pid, 0) == 0 || errno == EPERM);
}

bool FoundInOtherProcess(LPCSTR className, LPCSTR title) {
    std::string folder = WindowsFolder();
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error))
        return false;
    long self = ::getpid();
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::string name = entry.path().filename().string();
        long pid = std::atol(name.c_str());
        if (pid == self || !ProcessAlive(pid))
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string entryClass, entryTitle;
        if (!std::getline(in, entryClass) || !std::getline(in, entryTitle))
            continue;
        if ((className == nullptr || Upper(entryClass) == Upper(className)) &&
            (title == nullptr || entryTitle == title))
            return true;
    }
    return false;
}

desktop::WindowView View(const Window* window) {
    desktop::WindowView view;
    view.handle = reinterpret_cast<std::uintptr_t>(window);
    switch (window->role) {
    case Role::Owner:
        view.kind = Kind::Owner;
        break;
    case Role::MessageBox:
        view.kind = Kind::MessageBox;
        break;
    case Role::FolderBrowser:
        view.kind = Kind::FolderBrowser;
        break;
    default:
        view.kind = Kind::Dialog;
    }
    view.className = window->className;
    view.title = window->text;
    view.exStyle = window->exStyle;
    view.exStyleShown = window->exStyleShown;
    view.boxType = window->boxType;
    view.templateName = window->templateName;
    view.owner = window->owner != nullptr && window->owner->alive
                     ? reinterpret_cast<std::uintptr_t>(window->owner)
                     : 0;
    view.visible = window->visible;
    view.enabled = window->enabled;
    for (const Window* child : window->children) {
        if (window->role == Role::MessageBox) {
            if (child->id == MessageTextId)
                view.text = child->text;
            else
                view.buttons.push_back(child->id);
        }
        desktop::ControlView control;
        control.id = child->id;
        control.className = child->className;
        control.text = child->text;
        control.style = child->style;
        control.checked = child->checked;
        control.enabled = child->enabled;
        control.visible = child->visible;
        view.controls.push_back(control);
    }
    return view;
}

// The window a user action is aimed at, when a user could reach it; else nullptr and why.
Window* Target(std::uintptr_t handle, std::string& error) {
    Window* window = Find(handle);
    if (window == nullptr || !IsTopLevel(window) || window->ended) {
        error = "the window is gone";
        return nullptr;
    }
    std::string title = "\"" + Cp950ToUtf8(window->text) + "\"";
    if (!window->visible) {
        error = "the window " + title + " is hidden";
        return nullptr;
    }
    if (!window->enabled) {
        error = "the window " + title + " is disabled (a modal window it owns is up)";
        return nullptr;
    }
    return window;
}

Window* TargetControl(std::uintptr_t handle, int id, std::string& error) {
    Window* window = Target(handle, error);
    if (window == nullptr)
        return nullptr;
    Window* control = Child(window, id);
    if (control == nullptr) {
        error = "the window has no control " + std::to_string(id);
        return nullptr;
    }
    if (!control->visible || !control->enabled) {
        error =
            "control " + std::to_string(id) + " is " + (control->visible ? "disabled" : "hidden");
        return nullptr;
    }
    return control;
}

// Cuts text to at most limit bytes without splitting a two-byte character.
std::string CutToLimit(const std::string& text, std::size_t limit) {
    std::size_t at = 0;
    while (at < text.size()) {
        unsigned char lead = (unsigned char)text[at];
        std::size_t length = lead >= 0x81 && lead <= 0xFE && at + 1 < text.size() ? 2 : 1;
        if (at + length > limit)
            break;
        at += length;
    }
    return text.substr(0, at);
}

} // namespace

// ---- The user's view and hands ----

namespace winsim::desktop {

std::vector<WindowView> TopLevelWindows() {
    std::lock_guard guard(D().lock);
    std::vector<WindowView> views;
    for (const auto& window : D().windows) {
        if (window->alive && IsTopLevel(window.get()))
            views.push_back(View(window.get()));
    }
    return views;
}

std::uint64_t Generation() {
    std::lock_guard guard(D().lock);
    return D().generation;
}

std::uint64_t WaitForChange(std::uint64_t seen, double seconds) {
    std::unique_lock lock(D().lock);
    D().changed.wait_for(lock, std::chrono::duration<double>(seconds),
                         [&] { return D().generation != seen; });
    return D().generation;
}

bool Click(std::uintptr_t window, int controlId, std::string& error) {
    std::lock_guard guard(D().lock);
    Window* control = TargetControl(window, controlId, error);
    if (control == nullptr)
        return false;
    if (!IsButton(control) || (control->style & ButtonTypeMask) == BS_GROUPBOX) {
        error = "control " + std::to_string(controlId) + " is no button";
        return false;
    }
    Post(control, BM_CLICK, 0, 0);
    return true;
}

std::optional<MeasuredText> MeasureText(std::uintptr_t window, int controlId) {
    std::lock_guard guard(D().lock);
    Window* control = Child(Find(window), controlId);
    if (control == nullptr)
        return std::nullopt;
    return MeasuredText{control->text, (int)control->text.size() * FontCellPixels, control->width};
}

bool PostClick(std::uintptr_t window, int controlId, std::string& error) {
    std::lock_guard guard(D().lock);
    Window* control = Child(Find(window), controlId);
    if (control == nullptr || !IsButton(control)) {
        error = "no button " + std::to_string(controlId);
        return false;
    }
    Post(control, BM_CLICK, 0, 0);
    return true;
}

bool PressAndWait(const std::string& templateName, int controlId, double seconds,
                  const std::function<void()>& beforePress) {
    std::unique_lock lock(D().lock);
    Window* control = nullptr;
    for (const auto& window : D().windows) {
        if (window->alive && window->role == Role::Dialog && window->templateName == templateName)
            control = Child(window.get(), controlId);
    }
    if (control == nullptr || !Reachable(control) || !IsButton(control))
        return false;
    if (beforePress)
        beforePress();
    std::uint64_t ticket = Post(control, BM_CLICK, 0, 0);
    D().handledTickets.insert(ticket);
    D().changed.wait_for(lock, std::chrono::duration<double>(seconds),
                         [&] { return D().handledTickets.count(ticket) == 0; });
    D().handledTickets.erase(ticket);
    return true;
}

bool Answers(std::uintptr_t window, double seconds, std::string& error) {
    std::unique_lock lock(D().lock);
    Window* target = Find(window);
    if (target == nullptr) {
        error = "the window is gone";
        return false;
    }
    std::uint64_t ticket = Post(target, WM_NULL, 0, 0);
    D().handledTickets.insert(ticket);
    bool handled = D().changed.wait_for(lock, std::chrono::duration<double>(seconds),
                                        [&] { return D().handledTickets.count(ticket) == 0; });
    D().handledTickets.erase(ticket);
    if (!handled)
        error = "its thread handled none in time";
    return handled;
}

bool Type(std::uintptr_t window, int controlId, const std::string& text, std::string& error) {
    std::lock_guard guard(D().lock);
    Window* control = TargetControl(window, controlId, error);
    if (control == nullptr)
        return false;
    if (control->className != "EDIT") {
        error = "control " + std::to_string(controlId) + " is no edit field";
        return false;
    }
    // The field takes what fits under its limit and refuses the rest, as typing does.
    control->text = CutToLimit(text, control->limit);
    Changed();
    if (control->parent->role == Role::Dialog)
        Post(control->parent, WM_COMMAND, Command(controlId, EditChanged), (LPARAM)control);
    return true;
}

bool Escape(std::uintptr_t window, std::string& error) {
    std::lock_guard guard(D().lock);
    Window* target = Target(window, error);
    if (target == nullptr)
        return false;
    Post(target, WM_KEYDOWN, VK_ESCAPE, 0);
    return true;
}

bool Close(std::uintptr_t window, std::string& error) {
    std::lock_guard guard(D().lock);
    Window* target = Target(window, error);
    if (target == nullptr)
        return false;
    Post(target, WM_SYSCOMMAND, SC_CLOSE, 0);
    return true;
}

bool PickFolder(std::uintptr_t browser, const std::string& folder, std::string& error) {
    if (!folder.empty()) {
        auto host = HostPath(folder);
        std::error_code fsError;
        if (!host || !fs::is_directory(*host, fsError)) {
            error = "no folder " + Cp950ToUtf8(folder) + " to pick";
            return false;
        }
    }
    std::lock_guard guard(D().lock);
    Window* window = Target(browser, error);
    if (window == nullptr)
        return false;
    if (window->role != Role::FolderBrowser) {
        error = "the window is no folder browser";
        return false;
    }
    if (!folder.empty()) {
        // The browser gives a folder without a trailing separator, except a drive's root.
        std::string path = folder;
        while (path.size() > 3 && (path.back() == '\\' || path.back() == '/'))
            path.pop_back();
        if (Window* field = Child(window, FolderFieldId))
            field->text = path;
    }
    Post(Child(window, folder.empty() ? IDCANCEL : IDOK), BM_CLICK, 0, 0);
    return true;
}

int ItemListsNotFreed() {
    std::lock_guard guard(D().lock);
    return (int)D().items.size();
}

void DestroyThreadWindows(std::uint32_t threadId) {
    std::lock_guard guard(D().lock);
    for (const auto& window : D().windows) {
        if (window->alive && IsTopLevel(window.get()) && window->threadId == threadId) {
            EndModal(window.get(), 0);
            Destroy(window.get());
        }
    }
}

} // namespace winsim::desktop

// ---- Win32 ----

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass) {
    calls::Scope call("RegisterClassExA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    if (windowClass == nullptr || windowClass->lpszClassName == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard guard(D().lock);
    std::string name = Upper(windowClass->lpszClassName);
    if (D().classes.count(name) != 0) {
        SetError(1410); // ERROR_CLASS_ALREADY_EXISTS
        return 0;
    }
    D().classes[name] = windowClass->lpfnWndProc;
    return (ATOM)D().nextAtom++;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID parameter) {
    calls::Scope call("CreateWindowExA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    (void)x, (void)y, (void)width, (void)height, (void)menu, (void)instance;
    (void)parameter;
    if (className == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD threadId = GetCurrentThreadId();
    Window* window;
    {
        std::lock_guard guard(D().lock);
        auto found = D().classes.find(Upper(className));
        if (found == D().classes.end()) {
            SetError(1407); // ERROR_CANNOT_FIND_WND_CLASS
            return nullptr;
        }
        window = NewWindow(Role::Owner, className, title == nullptr ? "" : title, threadId);
        window->style = style;
        window->exStyle = exStyle;
        window->windowProc = found->second;
        window->owner = Find(parent);
        window->enabled = (style & WS_DISABLED) == 0;
        SetVisible(window, (style & WS_VISIBLE) != 0);
        Changed();
    }
    Publish(className, title == nullptr ? "" : title);
    return Handle(window);
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    calls::Scope call("DefWindowProcA", calls::Point);
    (void)window, (void)message, (void)wParam, (void)lParam;
    return 0;
}

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
    calls::Scope call("LoadIconA", calls::Point);
    (void)instance, (void)name;
    SetError(1813); // ERROR_RESOURCE_TYPE_NOT_FOUND: the module holds no icons
    return nullptr;
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
    calls::Scope call("LoadCursorA", calls::Point);
    (void)name;
    static char arrow;
    return instance == nullptr ? reinterpret_cast<HCURSOR>(&arrow) : nullptr;
}

HGDIOBJ WINAPI GetStockObject(int object) {
    calls::Scope call("GetStockObject", calls::Point);
    static char stock[20];
    if (object < 0 || object >= (int)sizeof(stock))
        return nullptr;
    return reinterpret_cast<HGDIOBJ>(&stock[object]);
}

HWND WINAPI FindWindowA(LPCSTR className, LPCSTR title) {
    calls::Scope call("FindWindowA", calls::Point);
    {
        std::lock_guard guard(D().lock);
        for (const auto& window : D().windows) {
            if (!window->alive || !IsTopLevel(window.get()))
                continue;
            if ((className == nullptr || Upper(window->className) == Upper(className)) &&
                (title == nullptr || window->text == title))
                return Handle(window.get());
        }
    }
    // A window of another process: a handle of ours would mean nothing to the caller beyond
    // "found", which is all the installer asks.
    if (FoundInOtherProcess(className, title)) {
        static char elsewhere;
        return reinterpret_cast<HWND>(&elsewhere);
    }
    return nullptr;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND parent,
                               DLGPROC dialogProc, LPARAM initParam) {
    calls::Scope call("DialogBoxParamA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    (void)instance;
    if (templateName == nullptr || ((uintptr_t)templateName >> 16) == 0 || dialogProc == nullptr) {
        SetError(1814); // ERROR_RESOURCE_NAME_NOT_FOUND: the templates have names, not numbers
        return -1;
    }
    std::string name = Upper(templateName);
    auto dialogTemplate = FindDialogTemplate(name);
    if (!dialogTemplate) {
        SetError(1814);
        return -1;
    }
    DWORD threadId = GetCurrentThreadId();
    Window* dialog;
    Window* focus = nullptr;
    {
        std::lock_guard guard(D().lock);
        dialog = NewWindow(Role::Dialog, DialogClass, dialogTemplate->title, threadId);
        dialog->style = dialogTemplate->style;
        dialog->dialogProc = dialogProc;
        dialog->templateName = name;
        dialog->owner = Find(parent);
        for (const auto& item : dialogTemplate->items) {
            Window* control = NewControl(dialog, item.id, item.className, item.text, item.style);
            control->width = item.cx * FontCellPixels / 4;
            control->height = item.cy * FontLinePixels / 8;
            if (focus == nullptr && (item.style & WS_TABSTOP) != 0)
                focus = control;
        }
        DisableOwner(dialog);
        Changed();
    }
    {
        calls::ProductCode product;
        dialogProc(Handle(dialog), WM_INITDIALOG, (WPARAM)Handle(focus), initParam);
    }
    std::unique_lock lock(D().lock);
    // Shown once set up, as the dialog manager does when its queue first goes empty: even when
    // another thread has shown or hidden it meanwhile.
    if (!dialog->ended) {
        SetVisible(dialog, true);
        Changed();
    }
    return RunAndDestroy(dialog, lock);
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
    calls::Scope call("EndDialog", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(dialog);
    if (window == nullptr)
        return FALSE;
    if (window->role == Role::Control || window->role == Role::Owner) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // "An application calls EndDialog from within the dialog box procedure; the function must
    // not be used for any other purpose." What Windows does when another thread calls it is
    // not documented (Wine's posts the dialog a message to wake its loop).
    DWORD caller = GetCurrentThreadId();
    if (window->threadId != caller)
        Misuse("EndDialog of the dialog \"" + Cp950ToUtf8(window->text) + "\" on thread " +
               std::to_string(caller) + ", while the dialog belongs to thread " +
               std::to_string(window->threadId) + ": only the dialog's own procedure may end it");
    EndModal(window, result);
    return TRUE;
}

UINT WINAPI GetDlgItemTextA(HWND dialog, int id, LPSTR text, int maxCount) {
    calls::Scope call("GetDlgItemTextA", calls::Point);
    std::lock_guard guard(D().lock);
    if (text == nullptr || maxCount <= 0)
        return 0;
    Window* control = Child(Find(dialog), id);
    if (control == nullptr) {
        *text = '\0';
        SetError(1421); // ERROR_CONTROL_ID_NOT_FOUND
        return 0;
    }
    std::size_t length = std::min(control->text.size(), (std::size_t)maxCount - 1);
    std::memcpy(text, control->text.data(), length);
    text[length] = '\0';
    return (UINT)length;
}

BOOL WINAPI SetDlgItemTextA(HWND dialog, int id, LPCSTR text) {
    calls::Scope call("SetDlgItemTextA", calls::Point);
    std::lock_guard guard(D().lock);
    Window* control = Child(Find(dialog), id);
    if (control == nullptr) {
        SetError(1421);
        return FALSE;
    }
    control->text = text == nullptr ? "" : text;
    Changed();
    return TRUE;
}

LRESULT WINAPI SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam,
                                   LPARAM lParam) {
    calls::Scope call("SendDlgItemMessageA", calls::Point);
    std::unique_lock lock(D().lock);
    Window* control = Child(Find(dialog), id);
    if (control == nullptr) {
        SetError(1421);
        return 0;
    }
    switch (message) {
    case BM_SETCHECK:
        control->checked = wParam == BST_CHECKED;
        Changed();
        return 0;
    case BM_GETCHECK:
        return control->checked ? BST_CHECKED : BST_UNCHECKED;
    case EM_LIMITTEXT:
        control->limit = wParam == 0 ? 0x7FFFFFFE : (std::size_t)wParam;
        return 0;
    case WM_SETTEXT:
        control->text = lParam == 0 ? "" : reinterpret_cast<LPCSTR>(lParam);
        Changed();
        return TRUE;
    case WM_GETTEXT: {
        if (wParam == 0 || lParam == 0)
            return 0;
        std::size_t length = std::min(control->text.size(), (std::size_t)wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), control->text.data(), length);
        reinterpret_cast<char*>(lParam)[length] = '\0';
        return (LRESULT)length;
    }
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(DialogFont);
    case BM_CLICK:
        if (control->threadId == GetCurrentThreadId())
            Dispatch({control, BM_CLICK, 0, 0}, lock);
        else
            Post(control, BM_CLICK, 0, 0);
        return 0;
    }
    return 0;
}

HWND WINAPI GetDlgItem(HWND dialog, int id) {
    calls::Scope call("GetDlgItem", calls::Point);
    std::lock_guard guard(D().lock);
    Window* control = Child(Find(dialog), id);
    if (control == nullptr)
        SetError(1421);
    return control == nullptr ? nullptr : Handle(control);
}

BOOL WINAPI EnableWindow(HWND handle, BOOL enable) {
    calls::Scope call("EnableWindow", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return FALSE;
    BOOL wasDisabled = !window->enabled;
    window->enabled = enable != FALSE;
    Changed();
    return wasDisabled;
}

BOOL WINAPI ShowWindow(HWND handle, int showCommand) {
    calls::Scope call("ShowWindow", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return FALSE;
    BOOL wasVisible = window->visible;
    // An ended dialog stays hidden: it is only waiting for its loop to notice.
    SetVisible(window, showCommand != SW_HIDE && !window->ended);
    Changed();
    return wasVisible;
}

BOOL WINAPI IsWindow(HWND handle) {
    calls::Scope call("IsWindow", calls::Point);
    std::lock_guard guard(D().lock);
    return Find(handle) != nullptr;
}

BOOL WINAPI IsWindowVisible(HWND handle) {
    calls::Scope call("IsWindowVisible", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = Find(handle);
    return window != nullptr && window->visible;
}

BOOL WINAPI IsWindowEnabled(HWND handle) {
    calls::Scope call("IsWindowEnabled", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = Find(handle);
    return window != nullptr && window->enabled;
}

// Only the owner is asked for.
HWND WINAPI GetWindow(HWND handle, UINT relation) {
    calls::Scope call("GetWindow", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return nullptr;
    if (relation != GW_OWNER) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Window* owner = IsTopLevel(window) ? window->owner : nullptr;
    return owner != nullptr && owner->alive ? Handle(owner) : nullptr;
}

int WINAPI GetClassNameA(HWND handle, LPSTR className, int maxCount) {
    calls::Scope call("GetClassNameA", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = Find(handle);
    if (window == nullptr || className == nullptr || maxCount <= 0) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::size_t length = std::min(window->className.size(), (std::size_t)maxCount - 1);
    std::memcpy(className, window->className.data(), length);
    className[length] = '\0';
    return (int)length;
}

// The window's styles; only the extended style is changed. One changed while the window is
// hidden is what the shell sees when the window is shown, and the taskbar makes its button then.
LONG WINAPI GetWindowLongA(HWND handle, int index) {
    calls::Scope call("GetWindowLongA", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return 0;
    if (index != GWL_STYLE && index != GWL_EXSTYLE) {
        SetError(1413); // ERROR_INVALID_INDEX
        return 0;
    }
    DWORD style = index == GWL_STYLE ? window->style : window->exStyle;
    if (index == GWL_STYLE && window->visible)
        style |= WS_VISIBLE;
    return (LONG)style;
}

LONG WINAPI SetWindowLongA(HWND handle, int index, LONG value) {
    calls::Scope call("SetWindowLongA", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return 0;
    if (index != GWL_EXSTYLE) {
        SetError(1413); // ERROR_INVALID_INDEX: the installer changes no other value
        return 0;
    }
    DWORD previous = window->exStyle;
    window->exStyle = (DWORD)value;
    Changed();
    return (LONG)previous;
}

namespace {

// A message box on the calling thread, run to its end: the button pressed.
int RunMessageBox(HWND owner, const std::string& text, const std::string& caption, UINT type) {
    DWORD threadId = GetCurrentThreadId();
    std::unique_lock lock(D().lock);
    Window* box = NewWindow(Role::MessageBox, DialogClass, caption, threadId);
    box->boxType = type;
    box->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    // MB_TOPMOST puts the box above the windows of every program that are not topmost.
    box->exStyle = (type & MB_TOPMOST) != 0 ? WS_EX_TOPMOST : 0;
    box->owner = Find(owner);
    NewControl(box, MessageTextId, "STATIC", text, WS_CHILD | WS_VISIBLE);
    for (int button : BoxButtons(type))
        NewControl(box, button, "BUTTON", ButtonText(button), WS_CHILD | WS_VISIBLE | WS_TABSTOP);
    DisableOwner(box);
    SetVisible(box, true);
    Changed();
    return (int)RunAndDestroy(box, lock);
}

} // namespace

bool winsim::desktop::AskForDisk(char letter) {
    std::string drive(1, (char)std::toupper((unsigned char)letter));
    return RunMessageBox(nullptr,
                         Utf8ToCp950("磁碟機中沒有磁片。請將磁片插入磁碟機 " + drive + ":。"),
                         Utf8ToCp950("Windows - 沒有磁片"),
                         MB_CANCELTRYCONTINUE | MB_ICONERROR) == IDTRYAGAIN;
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    calls::Scope call("MessageBoxA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return RunMessageBox(owner, text == nullptr ? "" : text,
                         caption == nullptr ? Utf8ToCp950("錯誤") : caption, type);
}

BOOL WINAPI EnumThreadWindows(DWORD threadId, WNDENUMPROC callback, LPARAM lParam) {
    calls::Scope call("EnumThreadWindows", calls::Point);
    std::vector<HWND> windows;
    {
        std::lock_guard guard(D().lock);
        for (const auto& window : D().windows) {
            if (window->alive && IsTopLevel(window.get()) && window->threadId == threadId)
                windows.push_back(Handle(window.get()));
        }
    }
    if (windows.empty() || callback == nullptr)
        return FALSE;
    for (HWND window : windows) {
        calls::ProductCode product;
        if (!callback(window, lParam))
            return FALSE;
    }
    return TRUE;
}

UINT_PTR WINAPI SetTimer(HWND handle, UINT_PTR id, UINT elapse, TIMERPROC callback) {
    calls::Scope call("SetTimer", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    (void)callback;
    std::lock_guard guard(D().lock);
    Window* window = Find(handle);
    if (window == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return 0;
    }
    UINT interval = std::max<UINT>(elapse, 10); // USER_TIMER_MINIMUM
    window->timers[id] = {interval, Clock::now() + std::chrono::milliseconds(interval)};
    Wake(window->threadId);
    return id == 0 ? 1 : id;
}

BOOL WINAPI KillTimer(HWND handle, UINT_PTR id) {
    calls::Scope call("KillTimer", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = Find(handle);
    if (window == nullptr || window->timers.erase(id) == 0) {
        SetError(1402); // ERROR_INVALID_TIMER_HANDLE
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PostMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    calls::Scope call("PostMessageA", calls::Point | calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return FALSE;
    Post(window, message, wParam, lParam);
    return TRUE;
}

// A message handled by the window's procedure on its own thread: at once when that is the
// caller's, else when that thread next takes a message (in any of its loops), the caller waiting
// until then or until the window is gone. The installer's procedures answer 0 to what it sends.
LRESULT WINAPI SendMessageA(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    calls::Scope call("SendMessageA", calls::Point);
    std::unique_lock lock(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr)
        return 0;
    if (window->threadId == GetCurrentThreadId()) {
        Dispatch({window, message, wParam, lParam}, lock);
        return 0;
    }
    std::uint64_t ticket = Post(window, message, wParam, lParam, true);
    D().handledTickets.insert(ticket);
    D().changed.wait(lock, [&] { return D().handledTickets.count(ticket) == 0 || !window->alive; });
    D().handledTickets.erase(ticket);
    return 0;
}

// The folder browser: a modal window owned by the caller's window, with a field for the folder
// and OK and Cancel. It returns an item only when a folder was picked. It is made of COM objects
// that the calling thread must have initialised COM for: without, it shows nothing.
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA info) {
    calls::Scope call("SHBrowseForFolderA", calls::Point);
    if (info == nullptr || !ComInitialized())
        return nullptr;
    DWORD threadId = GetCurrentThreadId();
    std::unique_lock lock(D().lock);
    Window* browser =
        NewWindow(Role::FolderBrowser, DialogClass, Utf8ToCp950("瀏覽資料夾"), threadId);
    browser->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    browser->owner = Find(info->hwndOwner);
    NewControl(browser, 0x3742, "STATIC", info->lpszTitle == nullptr ? "" : info->lpszTitle,
               WS_CHILD | WS_VISIBLE);
    NewControl(browser, FolderFieldId, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP);
    NewControl(browser, IDOK, "BUTTON", ButtonText(IDOK), WS_CHILD | WS_VISIBLE | WS_TABSTOP);
    NewControl(browser, IDCANCEL, "BUTTON", ButtonText(IDCANCEL),
               WS_CHILD | WS_VISIBLE | WS_TABSTOP);
    DisableOwner(browser);
    SetVisible(browser, true);
    Changed();
    std::string picked;
    bool chosen = RunAndDestroy(browser, lock) == IDOK;
    picked = browser->pickedFolder;
    if (!chosen || picked.empty())
        return nullptr;
    if (info->pszDisplayName != nullptr) {
        size_t slash = picked.find_last_of("\\/");
        std::string name = slash == std::string::npos || slash + 1 == picked.size()
                               ? picked
                               : picked.substr(slash + 1);
        lstrcpynA(info->pszDisplayName, name.c_str(), MAX_PATH);
    }
    // The caller frees the list with CoTaskMemFree.
    auto* item = new _ITEMIDLIST{picked};
    D().items.insert(item);
    return item;
}

void WINAPI CoTaskMemFree(LPVOID memory) {
    calls::Scope call("CoTaskMemFree", calls::Point);
    if (memory == nullptr)
        return;
    std::lock_guard guard(D().lock);
    auto* item = static_cast<_ITEMIDLIST*>(memory);
    if (D().items.erase(item) == 0)
        Misuse("CoTaskMemFree of memory that the task allocator did not hand out, or handed "
               "out and took back already");
    delete item;
}

BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path) {
    calls::Scope call("SHGetPathFromIDListA", calls::Point);
    if (list == nullptr || path == nullptr)
        return FALSE;
    if (list->path.size() >= MAX_PATH) {
        *path = '\0';
        return FALSE;
    }
    std::memcpy(path, list->path.c_str(), list->path.size() + 1);
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND handle, LPRECT rect) {
    calls::Scope call("GetClientRect", calls::Point);
    std::lock_guard guard(D().lock);
    Window* window = FindOrFail(handle);
    if (window == nullptr || rect == nullptr) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = {0, 0, window->width, window->height};
    return TRUE;
}

HDC WINAPI GetDC(HWND handle) {
    calls::Scope call("GetDC", calls::Point);
    std::lock_guard guard(D().lock);
    if (handle != nullptr && FindOrFail(handle) == nullptr)
        return nullptr;
    auto* dc = new DeviceContext{handle, SystemFont};
    D().deviceContexts.insert(dc);
    return reinterpret_cast<HDC>(dc);
}

int WINAPI ReleaseDC(HWND handle, HDC dc) {
    calls::Scope call("ReleaseDC", calls::Point);
    (void)handle;
    std::lock_guard guard(D().lock);
    auto* context = reinterpret_cast<DeviceContext*>(dc);
    if (D().deviceContexts.erase(context) == 0)
        return 0;
    delete context;
    return 1;
}

HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object) {
    calls::Scope call("SelectObject", calls::Point);
    std::lock_guard guard(D().lock);
    auto* context = reinterpret_cast<DeviceContext*>(dc);
    if (D().deviceContexts.count(context) == 0 || object == nullptr)
        return nullptr;
    HGDIOBJ previous = context->font;
    context->font = object;
    return previous;
}

BOOL WINAPI GetTextExtentPoint32A(HDC dc, LPCSTR text, int length, LPSIZE size) {
    calls::Scope call("GetTextExtentPoint32A", calls::Point);
    std::lock_guard guard(D().lock);
    if (D().deviceContexts.count(reinterpret_cast<DeviceContext*>(dc)) == 0 || size == nullptr ||
        (text == nullptr && length > 0) || length < 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *size = {length * FontCellPixels, FontLinePixels};
    return TRUE;
}

#include "wine_backend.h"

#include <commctrl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "wide_text.h"
#include "wine_drives.h"

namespace {

constexpr UINT SendTimeout = 5000;
constexpr DWORD PollMilliseconds = 20;
constexpr DWORD BrowserWaitMilliseconds = 10000;
constexpr DWORD SecondCopyMilliseconds = 20000;
constexpr int MessageBoxTextId = 0xFFFF;

const char InstallerTitle[] = "雲嶺奇譚續錄~星月影安裝程式";
const char InstallTitle[] = "安裝中";

std::wstring ClassOf(HWND window) {
    wchar_t name[64];
    int length = GetClassNameW(window, name, 64);
    return std::wstring(name, length > 0 ? length : 0);
}

// Caption of a top-level window (kept by the window manager, no message to its thread).
std::string CaptionOf(HWND window) {
    wchar_t text[1024];
    int length = GetWindowTextW(window, text, 1024);
    return Narrow(text, length);
}

// Messages that read a window of the installer. A thread that does not answer within a second
// gets no more of them for this look at the windows, so that one busy thread can't stall the
// player for long.
class Reader {
  public:
    bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR& result) {
        if (!responsive_)
            return false;
        responsive_ = SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG,
                                          ReadTimeout, &result) != 0;
        return responsive_;
    }

    std::string Text(HWND control) {
        DWORD_PTR length = 0;
        if (!Send(control, WM_GETTEXTLENGTH, 0, 0, length))
            return {};
        std::wstring text(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!Send(control, WM_GETTEXT, text.size(), (LPARAM)text.data(), copied))
            return {};
        text.resize(copied < text.size() ? copied : text.size() - 1);
        return Narrow(text);
    }

  private:
    static constexpr UINT ReadTimeout = 1000;
    bool responsive_ = true;
};

// UTF-8 text as the installer passes it, in code page 950.
std::string Cp950(const std::string& utf8) {
    std::wstring wide = Widen(utf8);
    int size =
        WideCharToMultiByte(950, 0, wide.c_str(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 0, '\0');
    WideCharToMultiByte(950, 0, wide.c_str(), (int)wide.size(), text.data(), size, nullptr,
                        nullptr);
    return text;
}

std::string Upper(const std::wstring& name) {
    std::string upper = Narrow(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    }
    return upper;
}

bool OwnStyleVisible(HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT))
        children.push_back(child);
    return children;
}

const char* ButtonName(int id) {
    switch (id) {
    case IDOK:
        return "ok";
    case IDCANCEL:
        return "cancel";
    case IDABORT:
        return "abort";
    case IDRETRY:
        return "retry";
    case IDIGNORE:
        return "ignore";
    case IDYES:
        return "yes";
    case IDNO:
        return "no";
    case IDTRYAGAIN:
        return "tryagain";
    case IDCONTINUE:
        return "continue";
    }
    return nullptr;
}

// A message box is a dialog whose text sits in a static with id 0xFFFF and whose other
// controls are its standard buttons; the installer's own dialogs have other controls.
bool IsMessageBox(HWND dialog) {
    bool hasText = false;
    for (HWND child : ChildrenOf(dialog)) {
        std::wstring kind = ClassOf(child);
        int id = GetDlgCtrlID(child) & 0xFFFF;
        if (lstrcmpiW(kind.c_str(), L"Static") == 0) {
            hasText = hasText || id == MessageBoxTextId;
        } else if (lstrcmpiW(kind.c_str(), L"Button") != 0 || id > IDCONTINUE) {
            return false;
        }
    }
    return hasText;
}

std::string OwnerName(HWND window) {
    HWND owner = GetWindow(window, GW_OWNER);
    if (owner == nullptr)
        return "none";
    if (ClassOf(owner) == L"setup")
        return "owner";
    std::string title = CaptionOf(owner);
    if (title == InstallerTitle)
        return "setup";
    if (title == InstallTitle)
        return "install";
    return title;
}

// What a real user could not do to this window: empty when it can be used.
std::string Unreachable(HWND window) {
    if (!IsWindow(window))
        return "the window is gone";
    if (!IsWindowVisible(window))
        return "the window \"" + CaptionOf(window) + "\" is hidden";
    if (!IsWindowEnabled(window))
        return "the window \"" + CaptionOf(window) + "\" is disabled";
    return {};
}

// The control id of window that a user could press or type into, or nullptr with a reason.
HWND ReachableControl(HWND window, int controlId, std::string& error) {
    error = Unreachable(window);
    if (!error.empty())
        return nullptr;
    HWND control = GetDlgItem(window, controlId);
    if (control == nullptr) {
        error = "no control " + std::to_string(controlId) + " in \"" + CaptionOf(window) + "\"";
        return nullptr;
    }
    if (!OwnStyleVisible(control)) {
        error = "control " + std::to_string(controlId) + " is hidden";
        return nullptr;
    }
    if (!IsWindowEnabled(control)) {
        error = "control " + std::to_string(controlId) + " is disabled";
        return nullptr;
    }
    return control;
}

// What DialogFontOf looks for among a program's dialog templates.
struct DialogFontSearch {
    std::wstring title;
    WORD points = 0;
    std::wstring face;
};

// Reads one dialog template: its font, when its title is the one searched for.
BOOL CALLBACK VisitDialogTemplate(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR parameter) {
    auto* search = reinterpret_cast<DialogFontSearch*>(parameter);
    HRSRC found = FindResourceW(module, name, type);
    const WORD* at = found ? (const WORD*)LockResource(LoadResource(module, found)) : nullptr;
    if (at == nullptr)
        return TRUE;
    DWORD style = at[0] | (DWORD)at[1] << 16;
    at += 2 + 2 + 1 + 4;                      // style, extended style, item count, x, y, cx, cy
    for (int field = 0; field < 2; ++field) { // menu, class: none, an ordinal or a name
        if (*at == 0xFFFF)
            at += 2;
        else
            at += wcslen((const wchar_t*)at) + 1;
    }
    std::wstring caption = (const wchar_t*)at;
    at += caption.size() + 1;
    if ((style & DS_SETFONT) == 0 || caption != search->title)
        return TRUE;
    search->points = *at++;
    search->face = (const wchar_t*)at;
    return FALSE;
}

// The font of a dialog of a program: the face and point size of its template (the one with
// this title), made as the dialog manager makes it: the size in pixels of the screen, any
// character set. nullptr when the program has no such template with a font.
HFONT DialogFontOf(const std::wstring& program, const std::string& title, HDC dc) {
    HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return nullptr;
    DialogFontSearch search{Widen(title), 0, {}};
    EnumResourceNamesW(module, MAKEINTRESOURCEW(5), VisitDialogTemplate, // RT_DIALOG
                       (LONG_PTR)&search);
    FreeLibrary(module);
    if (search.points == 0)
        return nullptr;
    int pixels = MulDiv(search.points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    return CreateFontW(-pixels, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                       PROOF_QUALITY, FF_DONTCARE, search.face.c_str());
}

bool Press(HWND button, std::string& error) {
    if (!PostMessageW(button, BM_CLICK, 0, 0)) {
        error = "can't post a click: error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

bool WaitUntilGone(HWND window, DWORD milliseconds) {
    for (DWORD waited = 0; IsWindow(window); waited += PollMilliseconds) {
        if (waited >= milliseconds)
            return false;
        Sleep(PollMilliseconds);
    }
    return true;
}

// Memory in another process, for messages whose parameters are pointers that Wine does not
// carry across processes (tree view and folder browser messages).
class RemoteMemory {
  public:
    RemoteMemory(HANDLE process, size_t size)
        : process_(process), address_(VirtualAllocEx(process, nullptr, size,
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteMemory() {
        if (address_ != nullptr)
            VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    RemoteMemory(const RemoteMemory&) = delete;
    RemoteMemory& operator=(const RemoteMemory&) = delete;

    char* address() const { return static_cast<char*>(address_); }
    bool Write(size_t offset, const void* data, size_t size) {
        return WriteProcessMemory(process_, address() + offset, data, size, nullptr) != 0;
    }
    bool Read(size_t offset, void* data, size_t size) {
        return ReadProcessMemory(process_, address() + offset, data, size, nullptr) != 0;
    }

  private:
    HANDLE process_;
    void* address_;
};

// The text of the tree view's selected item, read through memory in the tree's process.
std::optional<std::string> SelectedTreeText(HANDLE process, HWND tree) {
    DWORD_PTR selected = 0;
    if (!SendMessageTimeoutW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, SMTO_ABORTIFHUNG, SendTimeout,
                             &selected) ||
        selected == 0)
        return std::nullopt;
    constexpr int TextChars = MAX_PATH;
    RemoteMemory memory(process, sizeof(TVITEMW) + TextChars * sizeof(wchar_t));
    if (memory.address() == nullptr)
        return std::nullopt;
    TVITEMW item{};
    item.mask = TVIF_TEXT;
    item.hItem = (HTREEITEM)selected;
    item.pszText = (LPWSTR)(memory.address() + sizeof(TVITEMW));
    item.cchTextMax = TextChars;
    wchar_t empty = L'\0';
    DWORD_PTR done = 0;
    if (!memory.Write(0, &item, sizeof(item)) ||
        !memory.Write(sizeof(item), &empty, sizeof(empty)) ||
        !SendMessageTimeoutW(tree, TVM_GETITEMW, 0, (LPARAM)memory.address(), SMTO_ABORTIFHUNG,
                             SendTimeout, &done) ||
        !done)
        return std::nullopt;
    wchar_t text[TextChars];
    if (!memory.Read(sizeof(item), text, sizeof(text)))
        return std::nullopt;
    text[TextChars - 1] = L'\0';
    return Narrow(text, lstrlenW(text));
}

// The last component of a Windows folder, or empty for a drive root.
std::wstring LastComponent(std::wstring folder) {
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    size_t slash = folder.rfind(L'\\');
    if (slash == std::wstring::npos)
        return {};
    return folder.substr(slash + 1);
}

HWND FindChildOfClass(HWND parent, const wchar_t* className) {
    for (HWND child : ChildrenOf(parent)) {
        if (lstrcmpiW(ClassOf(child).c_str(), className) == 0)
            return child;
    }
    return nullptr;
}

// The folder browser the installer opened over dialog: a visible dialog it owns that holds a
// tree view.
HWND WaitForFolderBrowser(DWORD processId, HWND dialog, DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += PollMilliseconds) {
        for (HWND window : TopLevelWindows(processId)) {
            if (GetWindow(window, GW_OWNER) == dialog && IsWindowVisible(window) &&
                ClassOf(window) == L"#32770" && FindChildOfClass(window, WC_TREEVIEWW) != nullptr)
                return window;
        }
        Sleep(PollMilliseconds);
    }
    return nullptr;
}

long CountFilesUnder(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    long count = 0;
    do {
        if (lstrcmpW(found.cFileName, L".") == 0 || lstrcmpW(found.cFileName, L"..") == 0)
            continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            count += CountFilesUnder(folder + L"\\" + found.cFileName);
        else
            count++;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}

} // namespace

bool StartProgram(const std::wstring& exe, PROCESS_INFORMATION& started, std::string& error) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    std::wstring folder = exe;
    size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &started)) {
        error = "can't start " + Narrow(exe) + ": error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

namespace {

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->found.push_back(window);
    return TRUE;
}

} // namespace

std::vector<HWND> TopLevelWindows(DWORD processId) {
    WindowSearch search{processId, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

WineBackend::WineBackend(std::wstring setupExe, std::string discsFolder,
                         std::vector<scenario::DiscSetup> discs)
    : setupExe_(std::move(setupExe)), discsFolder_(std::move(discsFolder)),
      discs_(std::move(discs)) {}

WineBackend::~WineBackend() {
    for (HANDLE file : held_)
        CloseHandle(file);
    if (boxCallsHandle_ != INVALID_HANDLE_VALUE)
        CloseHandle(boxCallsHandle_);
    if (installer_.hProcess != nullptr) {
        CloseHandle(installer_.hThread);
        CloseHandle(installer_.hProcess);
    }
}

const scenario::DiscSetup* WineBackend::FindDisc(const std::string& name) const {
    const scenario::DiscSetup* found = nullptr;
    for (const scenario::DiscSetup& setup : discs_) {
        if (setup.name == name)
            found = &setup;
    }
    return found;
}

// What Wine's mount manager service is doing, as "running", "stopped", ...; when it is stopped,
// it is started.
static std::string StartMountManager() {
    auto lastError = [] { return "error " + std::to_string(GetLastError()); };
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return "unknown (no service manager: " + lastError() + ")";
    SC_HANDLE service = OpenServiceW(manager, L"MountMgr", SERVICE_START | SERVICE_QUERY_STATUS);
    std::string state;
    SERVICE_STATUS status;
    if (service == nullptr || !QueryServiceStatus(service, &status)) {
        state = "unknown (" + lastError() + ")";
    } else {
        static const char* const states[] = {"?",       "stopped",  "starting", "stopping",
                                             "running", "resuming", "pausing",  "paused"};
        state = status.dwCurrentState < 8 ? states[status.dwCurrentState] : "?";
        if (status.dwCurrentState == SERVICE_STOPPED)
            state += StartServiceW(service, 0, nullptr) ? ", started now"
                                                        : ", not started: " + lastError();
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return state;
}

// A drive's type and label come from Wine's mount manager, a driver of a service that the first
// program of a session starts; on a busy machine it may not answer yet when the robot begins, and
// the drive then reads as a fixed one, with no label.
bool WineBackend::WaitForDrives(const std::vector<scenario::DriveSetup>& drives,
                                std::string& error) {
    for (const scenario::DriveSetup& drive : drives) {
        if (!drive.cdrom || drive.disc.empty())
            continue;
        const scenario::DiscSetup* disc = FindDisc(drive.disc);
        std::string expected = disc != nullptr ? disc->label : "";
        wchar_t root[] = {(wchar_t)drive.letter, L':', L'\\', L'\0'};
        std::optional<std::string> label;
        UINT type = DRIVE_UNKNOWN;
        std::string service;
        DWORD start = GetTickCount();
        for (;;) {
            type = GetDriveTypeW(root);
            label = VolumeLabel(drive.letter);
            if (type == DRIVE_CDROM && label.value_or("") == expected)
                break;
            DWORD waited = GetTickCount() - start;
            if (waited >= 5000 && service.empty()) {
                service = StartMountManager();
                std::fprintf(stderr, "robot: drive %c: not read after 5 s; the mount manager: %s\n",
                             drive.letter, service.c_str());
            }
            if (waited >= 60000) {
                error = "drive " + std::string(1, drive.letter) + ": reads " +
                        (type == DRIVE_CDROM ? "as a CD-ROM drive" : "as no CD-ROM drive") +
                        " with label \"" + label.value_or("") + "\" before setup starts, not \"" +
                        expected + "\" (the mount manager after 5 s: " + service + ")";
                return false;
            }
            Sleep(PollMilliseconds);
        }
        if (!service.empty())
            std::fprintf(stderr,
                         "robot: drive %c: read as it should be after the mount manager "
                         "was looked at\n",
                         drive.letter);
    }
    return true;
}

bool WineBackend::Start(std::string& error) {
    return StartProgram(setupExe_, installer_, error);
}

bool WineBackend::WaitForEnd(DWORD milliseconds, long& exitStatus) {
    if (WaitForSingleObject(installer_.hProcess, milliseconds) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    GetExitCodeProcess(installer_.hProcess, &code);
    exitStatus = (long)(LONG)code;
    return true;
}

void WineBackend::Kill() {
    TerminateProcess(installer_.hProcess, 1);
    WaitForSingleObject(installer_.hProcess, 5000);
}

bool WineBackend::WaitForStartedPrograms(DWORD milliseconds) {
    // Process ids come back soon after a process ends: a child is a process whose parent id is
    // the installer's and that was created after it.
    FILETIME installerCreated, unused1, unused2, unused3;
    if (!GetProcessTimes(installer_.hProcess, &installerCreated, &unused1, &unused2, &unused3))
        return false;
    auto startedByInstaller = [&](const PROCESSENTRY32W& entry) {
        if (entry.th32ParentProcessID != installer_.dwProcessId)
            return false;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (process == nullptr)
            return false;
        FILETIME created;
        bool child = GetProcessTimes(process, &created, &unused1, &unused2, &unused3) &&
                     CompareFileTime(&created, &installerCreated) >= 0;
        CloseHandle(process);
        return child;
    };
    for (DWORD waited = 0;; waited += PollMilliseconds) {
        bool running = false;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            return false;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
             more = Process32NextW(snapshot, &entry))
            running = startedByInstaller(entry);
        CloseHandle(snapshot);
        if (!running)
            return true;
        if (waited >= milliseconds)
            return false;
        Sleep(PollMilliseconds);
    }
}

void WineBackend::TraceBoxCalls(const std::wstring& file) {
    boxCallsFile_ = file;
}

void WineBackend::ReadBoxCalls() {
    if (boxCallsFile_.empty())
        return;
    if (boxCallsHandle_ == INVALID_HANDLE_VALUE)
        boxCallsHandle_ = CreateFileW(boxCallsFile_.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char block[65536];
    DWORD read = 0;
    while (boxCallsHandle_ != INVALID_HANDLE_VALUE &&
           ReadFile(boxCallsHandle_, block, sizeof block, &read, nullptr) && read > 0)
        boxCalls_.Add(std::string(block, read));
}

std::vector<scenario::Window> WineBackend::Windows() {
    std::vector<scenario::Window> windows;
    ReadBoxCalls();
    for (HWND handle : TopLevelWindows(installer_.dwProcessId)) {
        if (ClassOf(handle) != L"#32770")
            continue;
        scenario::Window window;
        window.handle = reinterpret_cast<std::uintptr_t>(handle);
        window.title = CaptionOf(handle);
        window.owner = OwnerName(handle);
        DWORD exStyle = (DWORD)GetWindowLongW(handle, GWL_EXSTYLE);
        window.appWindow = (exStyle & WS_EX_APPWINDOW) != 0;
        window.visible = IsWindowVisible(handle) != 0;
        window.enabled = IsWindowEnabled(handle) != 0;
        window.messageBox = IsMessageBox(handle);
        Reader reader;
        for (HWND child : ChildrenOf(handle)) {
            int id = GetDlgCtrlID(child) & 0xFFFF;
            if (window.messageBox) {
                if (id == MessageBoxTextId)
                    window.text = reader.Text(child);
                else if (const char* name = ButtonName(id);
                         name != nullptr && OwnStyleVisible(child))
                    window.buttons.push_back(name);
                continue;
            }
            scenario::Control control;
            control.id = id == 0xFFFF ? -1 : id;
            control.className = Upper(ClassOf(child));
            control.text = reader.Text(child);
            control.enabled = IsWindowEnabled(child) != 0;
            control.visible = OwnStyleVisible(child);
            if (control.className == "BUTTON") {
                DWORD_PTR state = 0;
                control.checked =
                    reader.Send(child, BM_GETCHECK, 0, 0, state) && state == BST_CHECKED;
            }
            window.controls.push_back(std::move(control));
        }
        if (window.messageBox && !boxCallsFile_.empty()) {
            std::optional<unsigned> type = boxCalls_.TypeOf(
                GetWindowThreadProcessId(handle, nullptr), Cp950(window.title), Cp950(window.text));
            UINT both = MB_TOPMOST | MB_SETFOREGROUND;
            window.topmost = type && (*type & both) == both;
        } else if (window.messageBox) {
            window.topmost = (exStyle & WS_EX_TOPMOST) != 0;
        }
        windows.push_back(std::move(window));
    }
    return windows;
}

bool WineBackend::Click(const scenario::Window& window, int controlId, std::string& error) {
    HWND button = ReachableControl((HWND)window.handle, controlId, error);
    return button != nullptr && Press(button, error);
}

std::optional<scenario::Backend::TextWidth> WineBackend::MeasureText(const scenario::Window& window,
                                                                     int controlId) {
    HWND control = GetDlgItem((HWND)window.handle, controlId);
    RECT area;
    if (control == nullptr || !GetClientRect(control, &area))
        return std::nullopt;
    Reader reader;
    std::string text = reader.Text(control);
    // The control's font belongs to the installer's process: this one is made the same way,
    // from the dialog's template in setup.exe.
    HDC dc = GetDC(control);
    HFONT same = DialogFontOf(setupExe_, CaptionOf((HWND)window.handle), dc);
    if (same == nullptr) {
        ReleaseDC(control, dc);
        return std::nullopt;
    }
    HGDIOBJ previous = SelectObject(dc, same);
    std::wstring wide = Widen(text);
    SIZE size{};
    BOOL measured = GetTextExtentPoint32W(dc, wide.c_str(), (int)wide.size(), &size);
    SelectObject(dc, previous);
    ReleaseDC(control, dc);
    DeleteObject(same);
    if (!measured)
        return std::nullopt;
    return TextWidth{text, (int)size.cx, (int)(area.right - area.left)};
}

double WineBackend::ProcessorSeconds() {
    FILETIME created, exited, kernel, user;
    if (installer_.hProcess == nullptr ||
        !GetProcessTimes(installer_.hProcess, &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& time) {
        return (((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// A message that does nothing, sent as Windows' own check of a window that may hang sends it:
// the installer's thread answers it only while it pumps its messages.
bool WineBackend::Answers(const scenario::Window& window, double seconds, std::string& error) {
    DWORD_PTR result = 0;
    SetLastError(0);
    if (SendMessageTimeoutA((HWND)window.handle, WM_NULL, 0, 0, SMTO_ABORTIFHUNG,
                            (UINT)(seconds * 1000), &result) != 0)
        return true;
    DWORD code = GetLastError();
    error = code == ERROR_TIMEOUT || code == 0
                ? "no answer in time"
                : "SendMessageTimeoutA: error " + std::to_string(code);
    return false;
}

bool WineBackend::ClickOnItsWay(const scenario::Window& window, int controlId, std::string& error) {
    HWND button = GetDlgItem((HWND)window.handle, controlId);
    if (button == nullptr) {
        error = "no control " + std::to_string(controlId);
        return false;
    }
    return Press(button, error);
}

bool WineBackend::Type(const scenario::Window& window, int controlId, const std::string& text,
                       std::string& error) {
    HWND edit = ReachableControl((HWND)window.handle, controlId, error);
    if (edit == nullptr)
        return false;
    if (lstrcmpiW(ClassOf(edit).c_str(), L"Edit") != 0) {
        error = "control " + std::to_string(controlId) + " is no edit field";
        return false;
    }
    // A user's typing stops at the field's limit; WM_SETTEXT alone would not.
    std::wstring wide = Widen(text);
    DWORD_PTR limit = 0;
    if (SendMessageTimeoutW(edit, EM_GETLIMITTEXT, 0, 0, SMTO_ABORTIFHUNG, SendTimeout, &limit) &&
        limit > 0 && wide.size() > limit)
        wide.resize(limit);
    DWORD_PTR done = 0;
    if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, (LPARAM)wide.c_str(), SMTO_ABORTIFHUNG,
                             SendTimeout, &done) ||
        !done) {
        error = "the field did not take the text";
        return false;
    }
    return true;
}

bool WineBackend::Escape(const scenario::Window& window, std::string& error) {
    HWND dialog = (HWND)window.handle;
    error = Unreachable(dialog);
    if (!error.empty())
        return false;
    // The key goes where the keyboard focus is; the dialog's message loop turns it into Cancel.
    HWND target = dialog;
    GUITHREADINFO thread{};
    thread.cbSize = sizeof(thread);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &thread) &&
        thread.hwndFocus != nullptr && IsChild(dialog, thread.hwndFocus))
        target = thread.hwndFocus;
    UINT scan = MapVirtualKeyW(VK_ESCAPE, MAPVK_VK_TO_VSC);
    if (!PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 1 | (scan << 16))) {
        error = "can't post the Esc key";
        return false;
    }
    // The dialog may end on the key-down before the key-up is posted; a key released over a
    // window that is gone is no fault.
    if (!PostMessageW(target, WM_KEYUP, VK_ESCAPE, 1 | (scan << 16) | 0xC0000000u) &&
        IsWindow(target)) {
        error = "can't post the Esc key's release";
        return false;
    }
    return true;
}

bool WineBackend::Close(const scenario::Window& window, std::string& error) {
    HWND dialog = (HWND)window.handle;
    error = Unreachable(dialog);
    if (!error.empty())
        return false;
    if (!PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0)) {
        error = "can't post the close command";
        return false;
    }
    return true;
}

bool WineBackend::Answer(const scenario::Window& box, const std::string& button,
                         std::string& error) {
    int id = button == "ok"         ? IDOK
             : button == "yes"      ? IDYES
             : button == "no"       ? IDNO
             : button == "cancel"   ? IDCANCEL
             : button == "tryagain" ? IDTRYAGAIN
             : button == "continue" ? IDCONTINUE
                                    : 0;
    if (id == 0) {
        error = "no button called " + button;
        return false;
    }
    HWND pressed = ReachableControl((HWND)box.handle, id, error);
    return pressed != nullptr && Press(pressed, error);
}

bool WineBackend::Browse(const scenario::Window& window, int controlId, const std::string& folder,
                         std::string& error) {
    HWND dialog = (HWND)window.handle;
    if (!Click(window, controlId, error))
        return false;
    HWND browser = WaitForFolderBrowser(installer_.dwProcessId, dialog, BrowserWaitMilliseconds);
    if (browser == nullptr) {
        error = "no folder browser came up";
        return false;
    }
    if (folder.empty()) {
        HWND cancel = ReachableControl(browser, IDCANCEL, error);
        if (cancel == nullptr || !Press(cancel, error))
            return false;
    } else {
        // The user walks the tree to the folder; the browser's own message for picking a folder
        // by its path does the same walk.
        std::wstring path = Widen(folder);
        RemoteMemory memory(installer_.hProcess, (path.size() + 1) * sizeof(wchar_t));
        DWORD_PTR result = 0;
        if (memory.address() == nullptr ||
            !memory.Write(0, path.c_str(), (path.size() + 1) * sizeof(wchar_t)) ||
            !SendMessageTimeoutW(browser, BFFM_SETSELECTIONW, TRUE, (LPARAM)memory.address(),
                                 SMTO_ABORTIFHUNG, SendTimeout, &result)) {
            error = "can't reach the folder browser's memory";
            return false;
        }
        HWND tree = FindChildOfClass(browser, WC_TREEVIEWW);
        std::optional<std::string> selected = SelectedTreeText(installer_.hProcess, tree);
        std::wstring last = LastComponent(path);
        if (!selected ||
            (!last.empty() && lstrcmpiW(Widen(*selected).c_str(), last.c_str()) != 0)) {
            error = "the folder browser does not show " + folder +
                    " (selected: " + selected.value_or("nothing") + ")";
            std::string ignored;
            if (HWND cancel = ReachableControl(browser, IDCANCEL, ignored))
                Press(cancel, ignored);
            WaitUntilGone(browser, BrowserWaitMilliseconds);
            return false;
        }
        HWND ok = ReachableControl(browser, IDOK, error);
        if (ok == nullptr || !Press(ok, error))
            return false;
    }
    if (!WaitUntilGone(browser, BrowserWaitMilliseconds)) {
        error = "the folder browser stays open";
        return false;
    }
    return true;
}

void WineBackend::SetDiscDevice(const std::string& disc, const std::string& unixDevice) {
    devices_[disc] = unixDevice;
}

bool WineBackend::Insert(char letter, const std::string& disc, std::string& error) {
    std::string expected;
    if (!disc.empty()) {
        const scenario::DiscSetup* known = FindDisc(disc);
        if (known == nullptr) {
            error = "no disc called " + disc;
            return false;
        }
        expected = known->label;
    }
    // An empty drive is a drive whose folder does not exist.
    std::string folder = discsFolder_ + "/" + (disc.empty() ? std::string(".no-disc") : disc);
    auto device = devices_.find(disc);
    if (!DefineCdromDrive(letter, folder, device == devices_.end() ? "" : device->second, error))
        return false;
    std::optional<std::string> label;
    for (DWORD waited = 0; waited < 2000; waited += PollMilliseconds) {
        label = VolumeLabel(letter);
        if (label.value_or("") == expected)
            return true;
        Sleep(PollMilliseconds);
    }
    error = "drive " + std::string(1, letter) + ": reads label \"" + label.value_or("") +
            "\" after the change, not \"" + expected + "\"";
    return false;
}

long WineBackend::CountFiles(const std::string& folder) {
    std::wstring path = Widen(folder);
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return -1;
    if (path.back() == L'\\')
        path.pop_back();
    return CountFilesUnder(path);
}

int WineBackend::MakeReadOnly(const std::string& pattern, std::string& error) {
    std::wstring wide = Widen(pattern);
    size_t cut = wide.rfind(L'\\');
    if (cut == std::wstring::npos) {
        error = "no folder in " + pattern;
        return -1;
    }
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(wide.c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int made = 0;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        std::wstring path = wide.substr(0, cut + 1) + found.cFileName;
        if (SetFileAttributesW(path.c_str(), found.dwFileAttributes | FILE_ATTRIBUTE_READONLY))
            ++made;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    if (made == 0)
        error = "error " + std::to_string(GetLastError());
    return made;
}

long long WineBackend::FileBytes(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return -1;
    return (long long)(((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow);
}

// The robot is the other program: a Wine process of its own, whose handle the wineserver
// weighs against the installer's opens and deletes.
bool WineBackend::Hold(const std::string& file, std::string& error) {
    HANDLE held = CreateFileW(Widen(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        error = "error " + std::to_string(GetLastError());
        return false;
    }
    held_.push_back(held);
    return true;
}

bool WineBackend::StartSecondCopy(int& exitStatus, bool& showedWindow, std::string& error) {
    PROCESS_INFORMATION second{};
    if (!StartProgram(setupExe_, second, error))
        return false;
    showedWindow = false;
    bool ended = false;
    for (DWORD waited = 0; waited < SecondCopyMilliseconds; waited += PollMilliseconds) {
        for (HWND window : TopLevelWindows(second.dwProcessId))
            showedWindow = showedWindow || IsWindowVisible(window);
        if (WaitForSingleObject(second.hProcess, PollMilliseconds) == WAIT_OBJECT_0) {
            ended = true;
            break;
        }
    }
    if (ended) {
        DWORD code = 0;
        GetExitCodeProcess(second.hProcess, &code);
        exitStatus = (int)(LONG)code;
    } else {
        error = "the second copy still runs after 20 s";
        TerminateProcess(second.hProcess, 1);
    }
    CloseHandle(second.hThread);
    CloseHandle(second.hProcess);
    return ended;
}

bool WineBackend::KillInstaller(std::string& error) {
    if (!TerminateProcess(installer_.hProcess, 1) && !Ended()) {
        error = "TerminateProcess: error " + std::to_string(GetLastError());
        return false;
    }
    if (WaitForSingleObject(installer_.hProcess, SecondCopyMilliseconds) != WAIT_OBJECT_0) {
        error = "the installer was still there 20 s after it was killed";
        return false;
    }
    return true;
}

bool WineBackend::StartAgain(std::string& error) {
    CloseHandle(installer_.hThread);
    CloseHandle(installer_.hProcess);
    installer_ = {};
    // The killed installer's boxes went with it, their calls unanswered.
    ReadBoxCalls();
    boxCalls_ = BoxCalls();
    return StartProgram(setupExe_, installer_, error);
}

bool WineBackend::Ended() {
    return WaitForSingleObject(installer_.hProcess, 0) == WAIT_OBJECT_0;
}

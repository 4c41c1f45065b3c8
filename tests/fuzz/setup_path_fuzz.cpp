// Whatever the folder field holds, pressing start either refuses it (installDir stays empty) or,
// once every question is answered Yes and the first disc is in, leaves in installDir the folder
// the confirmation showed, its separators perhaps spelled otherwise (and, for a name with a '~',
// perhaps its long name), closed by two NULs as JoinPath leaves it, ending in the product folder
// after a separator of its own and fitting every later use.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/installer.h"
#include "base/install_state.h"
#include "base/product_constants.h"
#include "machine.h"
#include "resources/resource.h"

namespace {
std::string fieldText;
int boxes;
std::string confirmed; // the folder the confirmation asked about

// A CD-ROM drive d holding the first disc, so that an accepted folder ends the dialog.
void MakeMachine() {
    static bool made = false;
    if (made)
        return;
    made = true;
    auto disc = std::filesystem::temp_directory_path() / "setup-path-fuzz-disc";
    std::filesystem::create_directories(disc);
    std::ofstream(disc / ".windows-label") << "KELVO_1\n";
    winsim::Drive d;
    d.letter = 'd';
    d.kind = winsim::DriveKind::CdRom;
    d.hostFolder = disc.string();
    winsim::machine().drives['d'] = d;
}
} // namespace

// The few window calls the start button makes, played by the fuzzer: the field holds the input
// (cut at the edit control's limit like the real control), every question is answered No.
UINT WINAPI GetDlgItemTextA(HWND, int id, LPSTR text, int maxCount) {
    if (id != IDC_PATH || maxCount <= 0)
        return 0;
    std::size_t length = std::min(fieldText.size(), (std::size_t)maxCount - 1);
    std::memcpy(text, fieldText.data(), length);
    text[length] = '\0';
    return (UINT)length;
}
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT type) {
    ++boxes;
    if (std::strlen(text) > 1023)
        std::abort();
    if (type != MB_YESNO)
        return IDOK;
    // The folder is what the question holds where its format has %s.
    std::string format = TextConfirmInstall;
    std::size_t at = format.find("%s");
    std::string question = text;
    std::size_t after = format.size() - at - 2;
    if (at == std::string::npos || question.size() < format.size() - 2)
        std::abort();
    confirmed = question.substr(at, question.size() - at - after);
    return IDYES;
}
BOOL WINAPI EndDialog(HWND, INT_PTR) {
    return TRUE;
}
BOOL WINAPI SetDlgItemTextA(HWND, int, LPCSTR) {
    return TRUE;
}
LRESULT WINAPI SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) {
    return 0;
}
void ShowInTaskbar(HWND) {}
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA) {
    return nullptr;
}
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST, LPSTR) {
    return FALSE;
}
void WINAPI CoTaskMemFree(LPVOID) {}
// The fuzz machine holds no interrupted install: nothing waits for a recovery.
BOOL WINAPI EnableWindow(HWND, BOOL) {
    std::abort();
}
BOOL WINAPI PostMessageA(HWND, UINT, WPARAM, LPARAM) {
    std::abort();
}
BOOL WINAPI IsWindow(HWND) {
    std::abort();
}

// The bytes of a folder less its separators, of either kind.
static std::string Unseparated(const std::string& folder) {
    std::string names;
    for (char c : folder) {
        if (c != '\\' && c != '/')
            names += c;
    }
    return names;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The edit control holds at most its limit of 260 bytes, and no NUL.
    fieldText.assign((const char*)data, std::min<std::size_t>(size, MAX_PATH));
    fieldText = fieldText.substr(0, fieldText.find('\0'));
    MakeMachine();
    std::memset(InstallState.installDir, 'x', sizeof(InstallState.installDir));
    InstallState.installDir[0] = '\0';
    InstallState.pendingDir[0] = '\0';
    InstallState.requiredMegabytes = 0;
    boxes = 0;
    confirmed.clear();

    SetupDlgProc(nullptr, WM_COMMAND, IDC_START, 0);

    const char* dir = InstallState.installDir;
    std::size_t length = strnlen(dir, MAX_PATH);
    if (length == MAX_PATH)
        std::abort();
    if (length == 0) {
        // Refused: the warning was the only box, or a folder with no room for the space check.
        if (boxes != 1 && !(boxes == 2 && !confirmed.empty()))
            std::abort();
        return 0;
    }
    if (boxes != 1)
        std::abort();
    if (confirmed.find('~') == std::string::npos && Unseparated(dir) != Unseparated(confirmed))
        std::abort();
    if (length > INSTALL_DIR_MAX_LENGTH || dir[length + 1] != '\0')
        std::abort();
    if (length < 5 || std::strcmp(dir + length - 5, "kelvo") != 0)
        std::abort();
    // The product folder is a name of its own: the character before it, read character by
    // character (a Big5 trail byte 0x5C is none), is a separator.
    const char* last = nullptr;
    for (const char* at = dir; *at != '\0'; at = CharNextA(at)) {
        if (at == dir + length - 5)
            break;
        last = at;
    }
    if (last == nullptr || (*last != '\\' && *last != '/') || CharNextA(last) != dir + length - 5)
        std::abort();
    return 0;
}

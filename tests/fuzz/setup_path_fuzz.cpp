// Whatever the folder field holds, pressing start leaves installDir either empty (refused) or
// as a one-entry list that ends in the product folder and fits every later use.
#include <shlobj.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/install_state.h"
#include "app/installer.h"
#include "app/product_constants.h"
#include "resources/resource.h"

namespace {
std::string fieldText;
int boxes;
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
int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) {
    ++boxes;
    if (std::strlen(text) > 1023)
        std::abort();
    return IDNO;
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
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA) {
    return nullptr;
}
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST, LPSTR) {
    return FALSE;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The edit control holds at most its limit of 260 bytes, and no NUL.
    fieldText.assign((const char*)data, std::min<std::size_t>(size, MAX_PATH));
    fieldText = fieldText.substr(0, fieldText.find('\0'));
    std::memset(InstallState.installDir, 'x', sizeof(InstallState.installDir));
    boxes = 0;

    SetupDlgProc(nullptr, WM_COMMAND, IDC_START, 0);

    const char* dir = InstallState.installDir;
    std::size_t length = strnlen(dir, MAX_PATH);
    if (length == MAX_PATH || boxes != 1)
        std::abort();
    if (length == 0)
        return 0; // refused
    if (length > INSTALL_DIR_MAX_LENGTH || dir[length + 1] != '\0')
        std::abort();
    if (length < 5 || std::strcmp(dir + length - 5, "kelvo") != 0)
        std::abort();
    return 0;
}

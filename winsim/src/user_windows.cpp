// Placeholder: the window manager comes next.
#include <shlobj.h>
#include <windows.h>

HWND WINAPI FindWindowA(LPCSTR, LPCSTR) {
    return nullptr;
}
ATOM WINAPI RegisterClassExA(const WNDCLASSEXA*) {
    return 1;
}
HWND WINAPI CreateWindowExA(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                            HINSTANCE, LPVOID) {
    return nullptr;
}
LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}
HICON WINAPI LoadIconA(HINSTANCE, LPCSTR) {
    return nullptr;
}
HCURSOR WINAPI LoadCursorA(HINSTANCE, LPCSTR) {
    return nullptr;
}
INT_PTR WINAPI DialogBoxParamA(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM) {
    return -1;
}
BOOL WINAPI EndDialog(HWND, INT_PTR) {
    return FALSE;
}
UINT WINAPI GetDlgItemTextA(HWND, int, LPSTR text, int) {
    *text = 0;
    return 0;
}
BOOL WINAPI SetDlgItemTextA(HWND, int, LPCSTR) {
    return FALSE;
}
LRESULT WINAPI SendDlgItemMessageA(HWND, int, UINT, WPARAM, LPARAM) {
    return 0;
}
HWND WINAPI GetDlgItem(HWND, int) {
    return nullptr;
}
BOOL WINAPI EnableWindow(HWND, BOOL) {
    return FALSE;
}
BOOL WINAPI ShowWindow(HWND, int) {
    return FALSE;
}
BOOL WINAPI IsWindow(HWND) {
    return FALSE;
}
int WINAPI MessageBoxA(HWND, LPCSTR, LPCSTR, UINT) {
    return IDOK;
}
BOOL WINAPI EnumThreadWindows(DWORD, WNDENUMPROC, LPARAM) {
    return FALSE;
}
int WINAPI GetClassNameA(HWND, LPSTR, int) {
    return 0;
}
UINT_PTR WINAPI SetTimer(HWND, UINT_PTR id, UINT, TIMERPROC) {
    return id;
}
BOOL WINAPI KillTimer(HWND, UINT_PTR) {
    return TRUE;
}
BOOL WINAPI PostMessageA(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}
HGDIOBJ WINAPI GetStockObject(int) {
    return nullptr;
}
LPITEMIDLIST WINAPI SHBrowseForFolderA(LPBROWSEINFOA) {
    return nullptr;
}
BOOL WINAPI SHGetPathFromIDListA(LPCITEMIDLIST, LPSTR) {
    return FALSE;
}

// Placeholder: the shell link object, registry and program starts come next.
#include <shlobj.h>
#include <windows.h>

const CLSID CLSID_ShellLink = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT WINAPI CoInitialize(LPVOID) {
    return S_OK;
}
void WINAPI CoUninitialize(void) {}
HRESULT WINAPI CoCreateInstance(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*) {
    return REGDB_E_CLASSNOTREG;
}
LONG WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
    return ERROR_FILE_NOT_FOUND;
}
LONG WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_FILE_NOT_FOUND;
}
LONG WINAPI RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}
UINT WINAPI WinExec(LPCSTR, UINT) {
    return 2;
}

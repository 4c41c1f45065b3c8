// Placeholder: file operations and threads come next.
#include <shellapi.h>
#include <windows.h>

HANDLE WINAPI FindFirstFileA(LPCSTR, LPWIN32_FIND_DATAA) {
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI FindNextFileA(HANDLE, LPWIN32_FIND_DATAA) {
    return FALSE;
}
BOOL WINAPI FindClose(HANDLE) {
    return TRUE;
}
BOOL WINAPI CopyFileExA(LPCSTR, LPCSTR, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD) {
    return FALSE;
}
BOOL WINAPI SetFileAttributesA(LPCSTR, DWORD) {
    return FALSE;
}
int WINAPI SHFileOperationA(LPSHFILEOPSTRUCTA) {
    return 1;
}
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
    return nullptr;
}
BOOL WINAPI TerminateThread(HANDLE, DWORD) {
    return FALSE;
}
DWORD WINAPI WaitForSingleObject(HANDLE, DWORD) {
    return WAIT_FAILED;
}
BOOL WINAPI CloseHandle(HANDLE) {
    return TRUE;
}
DWORD WINAPI GetCurrentThreadId(void) {
    return 1;
}
void WINAPI Sleep(DWORD) {}

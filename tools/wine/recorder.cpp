// Stands in for the programs the installer starts (the game, the DirectX setup) in the Wine
// scenarios: appends "<show command> <command line>" (UTF-8) to C:\started.txt and ends.
#include <windows.h>

#include <string>

#include "wide_text.h"

int main() {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    unsigned show =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    std::string line = std::to_string(show) + " " + Narrow(GetCommandLineW()) + "\n";

    // Two recorded programs may end at the same moment: wait for the other's append.
    for (int attempt = 0; attempt < 100; attempt++) {
        HANDLE log = CreateFileW(L"C:\\started.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            BOOL done = WriteFile(log, line.data(), (DWORD)line.size(), &written, nullptr);
            CloseHandle(log);
            return done && written == line.size() ? 0 : 1;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION)
            return 1;
        Sleep(20);
    }
    return 1;
}

// The Windows build of the conformance test runs on Windows or under Wine.
#include <windows.h>

#include "check.h"

check::Platform check::ThisPlatform() {
    // Wine's ntdll exports its version; Windows' does not.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC wineVersion = ntdll != nullptr ? GetProcAddress(ntdll, "wine_get_version") : nullptr;
    return wineVersion != nullptr ? Platform::Wine : Platform::Windows;
}

#include <objbase.h>

#include "../base/install_state.h"
#include "../base/product_constants.h"
#include "installer.h"

LRESULT CALLBACK OwnerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

void ShowInTaskbar(HWND dialog) {
    SetWindowLongA(dialog, GWL_EXSTYLE, GetWindowLongA(dialog, GWL_EXSTYLE) | WS_EX_APPWINDOW);
}

typedef BOOL(WINAPI* SETPROCESSMITIGATIONPOLICY)(PROCESS_MITIGATION_POLICY policy, LPVOID buffer,
                                                 SIZE_T length);

// Where Windows has RedirectionGuard (Windows 10 and later), no directory junction that a user
// who is no administrator made is followed by any of setup's calls. Looked up: older Windows
// lack the call, and where the policy is not known the call only fails.
static void TrustNoUsersJunctions(void) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SETPROCESSMITIGATIONPOLICY setPolicy =
        kernel == NULL ? NULL
                       : (SETPROCESSMITIGATIONPOLICY)(void (*)(void))GetProcAddress(
                             kernel, "SetProcessMitigationPolicy");
    if (setPolicy == NULL)
        return;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY trust;
    trust.Flags = 0;
    trust.EnforceRedirectionTrust = 1;
    setPolicy(ProcessRedirectionTrustPolicy, &trust, sizeof(trust));
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand) {
    (void)previous;
    (void)commandLine;
    (void)showCommand;

    // One setup at a time on the PC: the mutex is taken before anything else and held to the end
    // (the system lets go of it when the process ends, however it ends). A second copy ends at
    // once, as it does when it finds the first one's window.
    DWORD version = GetVersion();
    BOOL sessions = (version & 0x80000000) == 0 && (version & 0xFF) >= 5;
    HANDLE running = CreateMutexA(NULL, TRUE, sessions ? SetupMutexGlobalName : SetupMutexName);
    if (running == NULL || GetLastError() == ERROR_ALREADY_EXISTS)
        ExitProcess(0);

    if (FindWindowA(OwnerClassName, InstallerTitle) != NULL)
        ExitProcess(0);
    TrustNoUsersJunctions();

    WNDCLASSEXA ownerClass;
    ownerClass.cbSize = sizeof(ownerClass);
    ownerClass.style = 0;
    ownerClass.lpfnWndProc = OwnerWndProc;
    ownerClass.cbClsExtra = 0;
    ownerClass.cbWndExtra = 0;
    ownerClass.hInstance = instance;
    ownerClass.hIcon = LoadIconA(instance, "IDI_ICON2");
    ownerClass.hIconSm = LoadIconA(instance, "IDI_ICON2");
    ownerClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    ownerClass.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH);
    ownerClass.lpszMenuName = NULL;
    ownerClass.lpszClassName = OwnerClassName;
    RegisterClassExA(&ownerClass);

    HWND owner = CreateWindowExA(WS_EX_APPWINDOW, OwnerClassName, InstallerTitle, WS_SYSMENU, 0, 0,
                                 640, 480, NULL, NULL, instance, NULL);
    InstallState.ownerWindow = owner;

    // The folder browser of the setup dialog needs COM on the thread that opens it. The copy
    // worker's shortcut step initialises COM on its own thread.
    HRESULT com = CoInitialize(NULL);
    int status = -1;
    if (DialogBoxParamA(instance, "IDD_SETUP", owner, SetupDlgProc, 0) != -1)
        status = DialogBoxParamA(instance, "IDD_INSTALL", owner, InstallDlgProc, 0) == -1 ? -1 : 1;
    if (SUCCEEDED(com))
        CoUninitialize();
    return status;
}

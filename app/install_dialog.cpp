#include "../base/install_state.h"
#include "../base/product_constants.h"
#include "../resources/resource.h"
#include "installer.h"

#define CANCEL_TIMER 1

// The copy worker's request that the install dialog end: wParam carries the result.
#define WM_ENDINSTALL (WM_APP + 1)

// Answers a message box that the copy worker has up, so that the worker returns from it and
// sees the cancel. The box is pressed with the button it has: No for a question, else OK.
static BOOL CALLBACK AnswerWorkerBox(HWND window, LPARAM lParam) {
    (void)lParam;
    char className[16];
    if (window == InstallState.installDialog || GetClassNameA(window, className, 16) == 0 ||
        lstrcmpA(className, "#32770") != 0)
        return TRUE;
    WPARAM button = GetDlgItem(window, IDNO) != NULL ? IDNO : IDOK;
    PostMessageA(window, WM_COMMAND, button, 0);
    return TRUE;
}

// The user's cancel. No thread is stopped from outside: the copy worker stops at its next file,
// block or step, rolls the install back and ends the dialog itself. Without a copy worker
// (it could not be started) nothing else would end the dialog, so the cancel does it here.
static void CancelPressed(HWND dialog) {
    if (!ClaimEnding(INSTALL_CANCELLED))
        return;
    EnableWindow(GetDlgItem(dialog, IDCANCEL), FALSE);
    if (InstallState.copyThread == NULL) {
        AbandonInstall();
        return;
    }
    EnumThreadWindows(InstallState.copyThreadId, AnswerWorkerBox, 0);
    // A box the worker opens after this still gets answered.
    SetTimer(dialog, CANCEL_TIMER, 100, NULL);
}

// The cancel timer: answers the worker's boxes until the worker has ended.
static void CancelTimerFired(HWND dialog) {
    if (WaitForSingleObject(InstallState.copyThread, 0) == WAIT_OBJECT_0) {
        KillTimer(dialog, CANCEL_TIMER);
        return;
    }
    EnumThreadWindows(InstallState.copyThreadId, AnswerWorkerBox, 0);
}

INT_PTR CALLBACK InstallDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG: {
        ShowInTaskbar(dialog);
        InstallState.installDialog = dialog;
        InstallState.dialogThreadId = GetCurrentThreadId();
        // The status line's first step, before the dialog is seen: the template's own text, with
        // its row of dots, needs more room than the line has in some fonts.
        lstrcpyA(InstallState.busyText, BusyBaseText);
        AdvanceBusyIndicator();
        SetFlag(&InstallState.busyRunning, 1);
        // The indicator starts first: the copy worker may need its handle to stop it as soon as
        // a copy ends. Windows 95, 98 and ME take no NULL for where the thread's identifier goes.
        DWORD busyThreadId;
        InstallState.busyThread = CreateThread(NULL, 0, BusyIndicator, dialog, 0, &busyThreadId);
        InstallState.copyThread =
            CreateThread(NULL, 0, CopyWorker, dialog, 0, &InstallState.copyThreadId);
        return FALSE;
    }
    case WM_TIMER:
        if (wParam == CANCEL_TIMER)
            CancelTimerFired(dialog);
        return FALSE;
    case WM_ENDINSTALL:
        EndDialog(dialog, (INT_PTR)wParam);
        return TRUE;
    case WM_DESTROY:
        KillTimer(dialog, CANCEL_TIMER);
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            CancelPressed(dialog);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

// Only the dialog procedure may call EndDialog, on the dialog's own thread: the copy worker asks
// it to with a message. A post that fails (the dialog's queue is full) leaves the request to
// SendMessageA, which waits for the dialog's thread to take it.
void EndInstallDialog(INT_PTR result) {
    if (!PostMessageA(InstallState.installDialog, WM_ENDINSTALL, (WPARAM)result, 0))
        SendMessageA(InstallState.installDialog, WM_ENDINSTALL, (WPARAM)result, 0);
}

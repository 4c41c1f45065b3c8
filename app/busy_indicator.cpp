#include "../base/install_state.h"
#include "../base/product_constants.h"
#include "../resources/resource.h"
#include "installer.h"

// A dot about every quarter second, by the clock; the thread naps between looks, paused or not.
#define BUSY_DOT_MILLISECONDS 250
#define BUSY_NAP_MILLISECONDS 50
// The longest row of dots when the line can't be measured: as many as the dialog's own text has.
#define BUSY_UNMEASURED_DOTS 13
// The longest row of dots in any case, well within busyText.
#define BUSY_MOST_DOTS 100

// Whether text fits on the status line's one line, measured with the line's own font: 1 when
// it does, 0 when it needs more room, -1 when it can't be measured.
static int FitsStatusLine(const char* text) {
    HWND status = GetDlgItem(InstallState.installDialog, IDC_STATUS);
    RECT area;
    if (status == NULL || !GetClientRect(status, &area))
        return -1;
    HDC dc = GetDC(status);
    if (dc == NULL)
        return -1;
    HGDIOBJ font =
        (HGDIOBJ)SendDlgItemMessageA(InstallState.installDialog, IDC_STATUS, WM_GETFONT, 0, 0);
    HGDIOBJ previous = font != NULL ? SelectObject(dc, font) : NULL;
    SIZE size;
    BOOL measured = GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    if (previous != NULL)
        SelectObject(dc, previous);
    ReleaseDC(status, dc);
    if (!measured)
        return -1;
    return size.cx <= area.right - area.left ? 1 : 0;
}

// One step: a dot more while it fits on the line, else the bare text again.
void AdvanceBusyIndicator(void) {
    int dots = InstallState.busyCounter + 1;
    int length = lstrlenA(InstallState.busyText);
    InstallState.busyText[length] = '.';
    InstallState.busyText[length + 1] = '\0';
    int fits = dots <= BUSY_MOST_DOTS ? FitsStatusLine(InstallState.busyText) : 0;
    if (fits > 0 || (fits < 0 && dots <= BUSY_UNMEASURED_DOTS)) {
        InstallState.busyCounter = dots;
    } else {
        InstallState.busyCounter = 0;
        lstrcpyA(InstallState.busyText, BusyBaseText);
    }
    SetDlgItemTextA(InstallState.installDialog, IDC_STATUS, InstallState.busyText);
}

// Goes on from the first step, which the install dialog shows as it opens.
DWORD WINAPI BusyIndicator(LPVOID parameter) {
    (void)parameter;
    DWORD due = GetTickCount() + BUSY_DOT_MILLISECONDS;
    for (;;) {
        Sleep(BUSY_NAP_MILLISECONDS);
        if (!FlagIsSet(&InstallState.busyRunning)) {
            // Paused for a prompt: the next dot comes a full step after the copy goes on.
            due = GetTickCount() + BUSY_DOT_MILLISECONDS;
            continue;
        }
        DWORD now = GetTickCount();
        if ((LONG)(now - due) >= 0) {
            AdvanceBusyIndicator();
            due = now + BUSY_DOT_MILLISECONDS;
        }
        if (FlagIsSet(&InstallState.busyDone) == 1)
            return 1;
    }
}

void StopBusyIndicator(void) {
    SetFlag(&InstallState.busyDone, 1);
    SetFlag(&InstallState.busyRunning, 1);
    // Only the copy worker waits: the indicator may be inside a call to the dialog, which the
    // main thread must be free to answer.
    if (InstallState.busyThread != NULL && GetCurrentThreadId() != InstallState.dialogThreadId)
        WaitForSingleObject(InstallState.busyThread, INFINITE);
}

// The copy worker: the install dialog's thread of work, which copies each disc in turn, asks
// for the next, runs the finishing steps and ends the install as they come out.
#include "../base/install_state.h"
#include "../base/product_constants.h"
#include "../media/disc_copy.h"
#include "../media/drive_probes.h"
#include "installer.h"

void AbandonInstall(void) {
    StopBusyIndicator();
    RemoveInstalledFiles(InstallState.installDialog);
    EndInstallDialog(-1);
}

void FailInstall(void) {
    // A cancel that came first has the rollback to itself, and no failure is told.
    if (!ClaimEnding(INSTALL_CONCLUDED)) {
        AbandonInstall();
        return;
    }
    StopBusyIndicator();
    RemoveInstalledFiles(InstallState.ownerWindow);
    MessageBoxA(InstallState.installDialog, TextInstallFailed, CaptionMessage, MB_OK);
    EndInstallDialog(-1);
}

// Copies the disc at cdRoot. FALSE when the install ends here, after a cancel or a failure.
static BOOL CopyDisc(HWND dialog) {
    if (CopyDiscTree(dialog) == 0 && !CancelRequested())
        return TRUE;
    FailInstall();
    return FALSE;
}

// Waits until the dialog manager has shown the install dialog. It does so once, when the main
// thread's queue first runs empty; a dialog hidden before that would come back during a prompt.
static void WaitUntilShown(void) {
    while (IsWindow(InstallState.installDialog) && !IsWindowVisible(InstallState.installDialog) &&
           !CancelRequested())
        Sleep(10);
}

// Asks for the disc with label until it is in a CD-ROM drive, then copies it. The prompt's
// Cancel (or its Esc key or close box) ends the install as the dialog's cancel does. A cancel is
// honoured at every step: one pressed as the last copy ended is seen before the dialog is
// hidden, one that lands while a prompt is up after the prompt returns (the cancel's timer
// answers it).
static BOOL CopyNextDisc(HWND dialog, const char* prompt, const char* label) {
    SetFlag(&InstallState.busyRunning, 0);
    WaitUntilShown();
    for (;;) {
        if (CancelRequested()) {
            AbandonInstall();
            return FALSE;
        }
        ShowWindow(InstallState.installDialog, SW_HIDE);
        // The prompt comes above the program the player may have turned to during the copy, and
        // takes the foreground where the system lets it: the dialog hidden, setup has no other
        // window to be found by.
        if (MessageBoxA(InstallState.installDialog, prompt, CaptionNotice,
                        MB_OKCANCEL | MB_TOPMOST | MB_SETFOREGROUND) == IDCANCEL)
            ClaimEnding(INSTALL_CANCELLED);
        if (CancelRequested()) {
            AbandonInstall();
            return FALSE;
        }
        if (DiscIsInDrive(label))
            break;
    }
    SetFlag(&InstallState.busyRunning, 1);
    ShowWindow(InstallState.installDialog, SW_RESTORE);
    return CopyDisc(dialog);
}

DWORD WINAPI CopyWorker(LPVOID parameter) {
    HWND dialog = (HWND)parameter;
    if (!CopyDisc(dialog))
        return 0;
    if (!CopyNextDisc(dialog, TextInsertDisc2, DiscLabel2))
        return 0;
    if (InstallState.fullInstall == 1 && !CopyNextDisc(dialog, TextInsertMapDisc, MapDiscLabel))
        return 0;
    switch (RunFinishingSteps()) {
    case FINISH_CANCELLED:
        AbandonInstall();
        break;
    case FINISH_FAILED:
        FailInstall();
        break;
    default:
        EndInstallDialog(-1);
        break;
    }
    return 0;
}

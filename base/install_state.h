#pragma once

#include <windows.h>

// Everything the installer knows at run time, in one process-wide record.
// busyRunning, busyDone and installEnding are written and read across threads: use
// SetFlag/FlagIsSet for them. The other fields are written by one thread at a time, in the
// order of the install (setup dialog, install dialog, copy worker).
struct INSTALLSTATE {
    HWND ownerWindow;
    char installDir[MAX_PATH];
    char cdRoot[4];
    LONG fullInstall;
    ULONGLONG requiredMegabytes;
    HWND installDialog;
    DWORD dialogThreadId; // the thread that runs the install dialog
    HANDLE copyThread;
    DWORD copyThreadId;
    HANDLE busyThread;
    // The game's copy, held from the moment it matched the disc's file to the start (NULL: none).
    HANDLE gameCopy;
    volatile LONG busyRunning;
    volatile LONG busyDone;
    LONG busyCounter;
    char busyText[256];
    // How the install is ending, claimed once by whoever gets there first (see ClaimEnding).
    volatile LONG installEnding;
    // The setup dialog: the folder a start press is installing into while an interrupted install
    // is being undone first, and what stood in the way when it could not be.
    char pendingDir[MAX_PATH];
    char recoveryBlocker[MAX_PATH];
};

// installEnding: the user's cancel and the copy worker's own end of the install race for it.
#define INSTALL_RUNNING 0
#define INSTALL_CANCELLED 1 // the user pressed cancel; the copy worker rolls back
#define INSTALL_CONCLUDED 2 // the copy worker is past the point where a cancel applies
#define INSTALL_REPORTING 3 // the completion message is coming up: a cancel now is too late

// The longest install folder the installer accepts: room for the longest name the install
// appends to it ("\ReadMe.txt") and the two NULs that JoinPath leaves.
#define INSTALL_DIR_MAX_LENGTH (MAX_PATH - 13)

extern INSTALLSTATE InstallState;

void SetFlag(volatile LONG* flag, LONG value);
LONG FlagIsSet(volatile LONG* flag);

// Sets installEnding to how when nobody has claimed it yet; TRUE when this call did.
BOOL ClaimEnding(LONG how);
BOOL CancelRequested(void);

#include <shlobj.h>

#include "../base/install_state.h"
#include "../base/paths.h"
#include "../base/product_constants.h"
#include "../journal/own_place.h"
#include "../journal/reach.h"
#include "../journal/recovery.h"
#include "../journal/setup_entry.h"
#include "../media/drive_probes.h"
#include "../resources/resource.h"
#include "installer.h"

// Reads the folder field into folder (MAX_PATH bytes) and joins the product folder to it. FALSE
// when the result would be longer than the install can use.
static BOOL ReadInstallDir(HWND dialog, char* folder) {
    // One byte more than the field can hold, so that no text is cut unseen.
    char typed[MAX_PATH + 1];
    GetDlgItemTextA(dialog, IDC_PATH, typed, sizeof(typed));
    if (lstrlenA(typed) >= MAX_PATH)
        return FALSE;
    lstrcpyA(folder, typed);
    return JoinPath(folder, ProductFolder) && lstrlenA(folder) <= INSTALL_DIR_MAX_LENGTH;
}

// Whether Windows would make the folder under exactly this name: no part of it ends in a dot or
// a space (Windows drops them), names a device, or holds a character that no name may hold.
// Parts are read character by character: a trail byte is never taken for one of those.
static BOOL IsFolderNameKept(const char* folder) {
    const char* part = folder;
    for (const char* at = folder;; at = CharNextA(at)) {
        char c = *at;
        if (c == '\0' || c == '\\' || c == '/') {
            int length = (int)(at - part);
            if (length > 0 && (part[length - 1] == '.' || part[length - 1] == ' '))
                return FALSE;
            if (IsDeviceName(part, length))
                return FALSE;
            if (c == '\0')
                return TRUE;
            part = at + 1;
            continue;
        }
        // The drive's colon is the only one a path may hold.
        if (c == ':' && at == folder + 1)
            continue;
        if ((unsigned char)c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' ||
            c == '?' || c == '*')
            return FALSE;
    }
}

// Whether the folder says where it is: it starts at a drive's root, or names a share. A folder
// relative to the current one ("games"), to a drive's current folder ("C:games") or to the
// current drive's root ("\games") would land wherever the installer happens to stand.
static BOOL NamesItsPlace(const char* folder) {
    return DriveRootLength(folder) == 3 || IsSharePath(folder);
}

// Posted by the recovery's thread when it has ended; wParam is what RecoverInterruptedInstall
// returned.
#define WM_RECOVERED (WM_APP + 2)

// The rest of a start press once no interrupted install stands in the way: the folder as setup
// will write it, the free space and the first disc.
static void ContinueStart(HWND dialog) {
    char folder[MAX_PATH];
    lstrcpyA(folder, InstallState.pendingDir);
    InstallState.pendingDir[0] = '\0';
    // The first looks at the folder's drive: no system box asks for a disk.
    UINT previousMode = BeginDriveProbe();
    BOOL normal = NormaliseFolder(folder) && lstrlenA(folder) <= INSTALL_DIR_MAX_LENGTH;
    BOOL linked = normal && IsReachedThroughLink(folder);
    // Setup's own folder of the volume, where it keeps the journal and the files it replaces: one
    // of that name that someone else made is not used.
    char own[MAX_PATH];
    BOOL ownRefused =
        normal && !linked && OwnFolderOf(folder, own) && LookAtOwnFolder(own) == OWN_FOLDER_REFUSED;
    EndDriveProbe(previousMode);
    if (!normal) {
        MessageBoxA(dialog, TextPathTooLong, CaptionWarning, MB_OK);
        return;
    }
    // An install through a directory link could not be undone: its rollback never follows one.
    if (linked) {
        MessageBoxA(dialog, TextPathInvalid, CaptionWarning, MB_OK);
        return;
    }
    // A drive that can't be asked (a floppy drive without its disk) has no room either: that is
    // what the user hears first.
    if (FreeMegabytes(folder) < InstallState.requiredMegabytes) {
        MessageBoxA(dialog, TextNoSpace, CaptionWarning, MB_OK);
        return;
    }
    if (ownRefused) {
        char text[160 + MAX_PATH];
        wsprintfA(text, TextOwnFolderRefused, own);
        MessageBoxA(dialog, text, CaptionWarning, MB_OK);
        return;
    }

    if (DiscIsInDrive(DiscLabel1)) {
        // Closed by two NULs, as JoinPath leaves a folder.
        lstrcpyA(InstallState.installDir, folder);
        InstallState.installDir[lstrlenA(folder) + 1] = '\0';
        EndDialog(dialog, 0);
    } else {
        MessageBoxA(NULL, TextInsertDisc1, CaptionNotice, MB_OK);
    }
}

// The recovery's end: the start goes on, or the user learns what stands in the way.
static void RecoveryEnded(HWND dialog, int result) {
    EnableWindow(dialog, TRUE);
    if (result == RECOVERY_DONE) {
        ContinueStart(dialog);
        return;
    }
    InstallState.pendingDir[0] = '\0';
    if (result == RECOVERY_UNREGISTERED) {
        MessageBoxA(dialog, TextRegistryFault, CaptionError, MB_OK);
        return;
    }
    char text[160 + MAX_PATH];
    wsprintfA(text,
              result == RECOVERY_BLOCKED         ? TextRecoveryBlocked
              : result == RECOVERY_PLACE_REFUSED ? TextOwnFolderRefused
                                                 : TextJournalRefused,
              InstallState.recoveryBlocker);
    MessageBoxA(dialog, text, CaptionMessage, MB_OK);
}

static int RecoverWithoutDiskBox(void) {
    UINT previousMode = BeginDriveProbe();
    int result = RecoverInterruptedInstall(InstallState.recoveryBlocker);
    EndDriveProbe(previousMode);
    return result;
}

// Undoes an interrupted install on a thread of its own, while the setup dialog keeps answering.
static DWORD WINAPI RecoveryWorker(LPVOID parameter) {
    HWND dialog = (HWND)parameter;
    int result = RecoverWithoutDiskBox();
    // A full queue has messages that the dialog handles anyway: the post is made again.
    while (!PostMessageA(dialog, WM_RECOVERED, (WPARAM)result, 0) && IsWindow(dialog))
        Sleep(10);
    return 0;
}

// The start button. Everything it decides about belongs to this press: the folder it reads is
// the one its confirmation shows, and installDir is written only when the install may begin,
// so a press that ends in No, too little space or a missing disc leaves nothing that another
// press, pending under its own confirmation, could pick up.
static void StartPressed(HWND dialog) {
    char folder[MAX_PATH];
    if (!ReadInstallDir(dialog, folder)) {
        MessageBoxA(dialog, TextPathTooLong, CaptionWarning, MB_OK);
        return;
    }
    if (!NamesItsPlace(folder) || !IsFolderNameKept(folder)) {
        MessageBoxA(dialog, TextPathInvalid, CaptionWarning, MB_OK);
        return;
    }

    // Room for the question's 22 bytes around any folder that can be accepted.
    char question[64 + MAX_PATH];
    wsprintfA(question, TextConfirmInstall, folder);
    if (MessageBoxA(InstallState.ownerWindow, question, CaptionInstall, MB_YESNO) != IDYES)
        return;
    // Another press, made while this confirmation was up, has already begun the install, or is
    // undoing an interrupted one first.
    if (InstallState.installDir[0] != '\0' || InstallState.pendingDir[0] != '\0')
        return;
    lstrcpyA(InstallState.pendingDir, folder);
    // An install that a setup stopped halfway is undone first, wherever it was, before anything
    // is counted or made. The dialog waits for it, answering but closed to the user.
    if (!InterruptedInstallRecorded()) {
        ContinueStart(dialog);
        return;
    }
    EnableWindow(dialog, FALSE);
    DWORD threadId;
    HANDLE thread = CreateThread(NULL, 0, RecoveryWorker, dialog, 0, &threadId);
    if (thread != NULL) {
        CloseHandle(thread);
        return;
    }
    RecoveryEnded(dialog, RecoverWithoutDiskBox());
}

static void BrowsePressed(HWND dialog) {
    char chosen[MAX_PATH];
    BROWSEINFOA browse;
    browse.hwndOwner = dialog;
    browse.pidlRoot = NULL;
    browse.pszDisplayName = chosen;
    browse.lpszTitle = NULL;
    browse.ulFlags = BIF_RETURNONLYFSDIRS;
    browse.lpfn = NULL;
    browse.lParam = 0;
    browse.iImage = 0;
    LPITEMIDLIST item = SHBrowseForFolderA(&browse);
    if (item == NULL)
        return;
    if (SHGetPathFromIDListA(item, chosen))
        SetDlgItemTextA(dialog, IDC_PATH, chosen);
    // The list is the caller's to free, with the task allocator that made it.
    CoTaskMemFree(item);
}

INT_PTR CALLBACK SetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG) {
        ShowInTaskbar(dialog);
        SendDlgItemMessageA(dialog, IDC_NORMAL, BM_SETCHECK, BST_CHECKED, 0);
        SendDlgItemMessageA(dialog, IDC_PATH, EM_LIMITTEXT, MAX_PATH, 0);
        SetDlgItemTextA(dialog, IDC_PATH, DefaultInstallRoot);
        InstallState.requiredMegabytes = NormalMegabytes;
        return FALSE;
    }
    if (message == WM_RECOVERED) {
        RecoveryEnded(dialog, (int)wParam);
        return TRUE;
    }
    if (message != WM_COMMAND)
        return FALSE;

    switch (LOWORD(wParam)) {
    case IDC_MINIMAL:
        InstallState.requiredMegabytes = MinimalMegabytes;
        InstallState.fullInstall = 0;
        break;
    case IDC_NORMAL:
        InstallState.requiredMegabytes = NormalMegabytes;
        InstallState.fullInstall = 1;
        break;
    case IDC_BROWSE:
        BrowsePressed(dialog);
        break;
    case IDCANCEL:
        EndDialog(dialog, -1);
        return TRUE;
    case IDC_START:
        StartPressed(dialog);
        break;
    }
    return FALSE;
}

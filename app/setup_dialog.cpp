#include <shlobj.h>

#include "../media/drive_probes.h"
#include "../media/install_journal.h"
#include "../media/join_path.h"
#include "../resources/resource.h"
#include "install_state.h"
#include "installer.h"
#include "product_constants.h"

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
    // Another press, made while this confirmation was up, has already begun the install.
    if (InstallState.installDir[0] != '\0')
        return;
    // A setup that was stopped halfway in this folder is rolled back first, before its files are
    // counted against the free space. Its look for a journal is the first at the folder's drive.
    UINT previousMode = BeginDriveProbe();
    BOOL recovered = RecoverInterruptedInstalls(folder);
    EndDriveProbe(previousMode);
    if (!recovered) {
        MessageBoxA(dialog, TextInstallFailed, CaptionMessage, MB_OK);
        return;
    }

    if (FreeMegabytes(folder) < InstallState.requiredMegabytes) {
        MessageBoxA(dialog, TextNoSpace, CaptionWarning, MB_OK);
        return;
    }

    if (DiscIsInDrive(DiscLabel1)) {
        // A one-entry list, as JoinPath left the folder.
        lstrcpyA(InstallState.installDir, folder);
        InstallState.installDir[lstrlenA(folder) + 1] = '\0';
        EndDialog(dialog, 0);
    } else {
        MessageBoxA(NULL, TextInsertDisc1, CaptionNotice, MB_OK);
    }
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

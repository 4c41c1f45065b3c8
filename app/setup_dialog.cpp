#include <shlobj.h>

#include "../media/drive_probes.h"
#include "../media/join_path.h"
#include "../resources/resource.h"
#include "install_state.h"
#include "installer.h"
#include "product_constants.h"

// Reads the folder field into installDir and joins the product folder to it. FALSE, with
// installDir emptied, when the result would be longer than the install can use.
static BOOL ReadInstallDir(HWND dialog) {
    // One byte more than the field can hold, so that no text is cut unseen.
    char folder[MAX_PATH + 1];
    GetDlgItemTextA(dialog, IDC_PATH, folder, sizeof(folder));
    InstallState.installDir[0] = '\0';
    if (lstrlenA(folder) >= MAX_PATH)
        return FALSE;
    lstrcpyA(InstallState.installDir, folder);
    if (!JoinPath(InstallState.installDir, ProductFolder) ||
        lstrlenA(InstallState.installDir) > INSTALL_DIR_MAX_LENGTH) {
        InstallState.installDir[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

static void StartPressed(HWND dialog) {
    if (!ReadInstallDir(dialog)) {
        MessageBoxA(dialog, TextPathTooLong, CaptionWarning, MB_OK);
        return;
    }

    // Room for the question's 22 bytes around any folder that installDir can hold.
    char question[64 + MAX_PATH];
    wsprintfA(question, TextConfirmInstall, InstallState.installDir);
    if (MessageBoxA(InstallState.ownerWindow, question, CaptionInstall, MB_YESNO) == IDNO)
        return;

    if (FreeMegabytes(InstallState.installDir) < InstallState.requiredMegabytes) {
        MessageBoxA(dialog, TextNoSpace, CaptionWarning, MB_OK);
        return;
    }

    if (DiscIsInDrive(DiscLabel1))
        EndDialog(dialog, 0);
    else
        MessageBoxA(NULL, TextInsertDisc1, CaptionNotice, MB_OK);
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
    if (item != NULL && SHGetPathFromIDListA(item, chosen))
        SetDlgItemTextA(dialog, IDC_PATH, chosen);
}

INT_PTR CALLBACK SetupDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG) {
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

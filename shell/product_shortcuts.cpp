#include "product_shortcuts.h"

#include <objbase.h>

#include "../app/install_state.h"
#include "../app/product_constants.h"
#include "../media/install_journal.h"
#include "../media/join_path.h"
#include "shell_link.h"

static const char ShellFoldersKey[] =
    "software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
    "Folders";

// Opens the shell folders key, or tells the user and ends the process, the install kept as it
// stands. FALSE only when the user cancelled while the message was up.
static BOOL OpenShellFolders(HKEY* key) {
    if (RegOpenKeyExA(HKEY_CURRENT_USER, ShellFoldersKey, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS)
        return TRUE;
    MessageBoxA(InstallState.ownerWindow, TextRegistryFault, CaptionError, MB_OK);
    if (CancelRequested())
        return FALSE;
    CommitInstall();
    ExitProcess(0);
}

// Makes a folder of the program group unless it is there, written ahead in the journal. One that
// can't be made is passed over: its links then report that they can't be saved.
static void MakeGroupFolder(const char* folder) {
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES || !WriteAhead(JOURNAL_FOLDER, folder) ||
        !FlushJournal())
        return;
    if (!CreateDirectoryA(folder, NULL))
        VoidRecord(folder);
}

// Writes one shortcut, written ahead in the journal: a link that is there already is moved aside
// first and comes back in a rollback, or at once when the new one can't be saved. A link whose
// change can't be written ahead is not written.
static void WriteShortcut(const char* target, const char* link, const char* description) {
    char kept[MAX_PATH];
    DWORD attributes = GetFileAttributesA(link);
    BOOL replacing =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (attributes == INVALID_FILE_ATTRIBUTES || replacing) {
        if (!(replacing ? WriteAheadKept(link, kept) : WriteAhead(JOURNAL_FILE, link)) ||
            !FlushJournal())
            return;
        if (replacing && !MoveFileA(link, kept)) {
            VoidRecord(link);
            return;
        }
    }
    HRESULT saved = CreateShellLink(target, link, description, NULL, InstallState.installDir);
    if (replacing && FAILED(saved))
        RestoreKept(kept, link);
}

// Reads the folder named by value into folder. FALSE when the value is missing, does not fit
// the 128 bytes offered, or is no absolute path: links would otherwise land in the current
// folder or in a path nobody chose.
static BOOL ReadShellFolder(HKEY key, const char* value, char* folder) {
    char data[MAX_PATH];
    DWORD type = 0;
    DWORD size = 128;
    ZeroMemory(data, sizeof(data));
    if (RegQueryValueExA(key, value, NULL, &type, (LPBYTE)data, &size) != ERROR_SUCCESS)
        return FALSE;
    BOOL driveRoot = ((data[0] >= 'A' && data[0] <= 'Z') || (data[0] >= 'a' && data[0] <= 'z')) &&
                     data[1] == ':' && (data[2] == '\\' || data[2] == '/');
    BOOL network = data[0] == '\\' && data[1] == '\\';
    if (!driveRoot && !network)
        return FALSE;
    lstrcpyA(folder, data);
    return TRUE;
}

// Writes the shortcuts of rows 0 to rows - 1 into folder. FALSE when the user cancelled.
static BOOL WriteShortcuts(const char* folder, int rows) {
    for (int row = 0; row < rows; row++) {
        if (CancelRequested())
            return FALSE;
        char target[MAX_PATH];
        char link[MAX_PATH];
        ZeroMemory(target, sizeof(target));
        ZeroMemory(link, sizeof(link));
        lstrcpyA(target, InstallState.installDir);
        lstrcpyA(link, folder);
        if (!JoinPath(target, ShortcutTargets[row]) || !JoinPath(link, ShortcutLinkNames[row]))
            continue;
        WriteShortcut(target, link, ShortcutDescriptions[row]);
    }
    return TRUE;
}

// The program group's links, then the desktop's, on a thread whose COM is set up.
static int WriteProductShortcuts(HKEY key) {
    char folder[MAX_PATH];
    if (ReadShellFolder(key, "Programs", folder) && JoinPath(folder, CompanyFolder)) {
        MakeGroupFolder(folder);
        if (JoinPath(folder, ProductTitle)) {
            MakeGroupFolder(folder);
            if (!WriteShortcuts(folder, 3))
                return 0;
        }
    }

    // The process may end here, with COM as it stands: the system takes it back then.
    if (!OpenShellFolders(&key))
        return 0;
    if (ReadShellFolder(key, "Desktop", folder) && !WriteShortcuts(folder, 2))
        return 0;
    return 1;
}

int CreateProductShortcuts(void) {
    HKEY key;
    if (!OpenShellFolders(&key))
        return 0;
    // COM once for all five links, given back on every way out: each link's own initialisation
    // then only counts. Without COM no link can be written; the user is told as a link that
    // can't have it would tell.
    if (FAILED(CoInitialize(NULL))) {
        MessageBoxA(InstallState.ownerWindow, "Coinitalize failed", "lnk", MB_OK);
        return CancelRequested() ? 0 : 1;
    }
    int written = WriteProductShortcuts(key);
    CoUninitialize();
    return written;
}

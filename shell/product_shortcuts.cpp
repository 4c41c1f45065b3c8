#include "product_shortcuts.h"

#include <objbase.h>

#include "../base/install_state.h"
#include "../base/paths.h"
#include "../base/product_constants.h"
#include "../journal/carry_out.h"
#include "../journal/install_journal.h"
#include "shell_link.h"

static const char ShellFoldersKey[] =
    "software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
    "Folders";

// Opens the shell folders key: SHORTCUTS_WRITTEN. When it can't be opened the user is told:
// SHORTCUTS_NO_SHELL_FOLDERS, or SHORTCUTS_CANCELLED when the user cancelled while the message
// was up.
static int OpenShellFolders(HKEY* key) {
    if (RegOpenKeyExA(HKEY_CURRENT_USER, ShellFoldersKey, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS)
        return SHORTCUTS_WRITTEN;
    MessageBoxA(InstallState.ownerWindow, TextRegistryFault, CaptionError, MB_OK);
    return CancelRequested() ? SHORTCUTS_CANCELLED : SHORTCUTS_NO_SHELL_FOLDERS;
}

// Makes a folder of the program group unless it is there, written ahead in the journal. One that
// can't be made is passed over: its links then report that they can't be saved. FALSE when its
// record can't be written: the install fails then.
static BOOL MakeGroupFolder(const char* folder) {
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return TRUE;
    return WriteAhead(JOURNAL_FOLDER, folder) && MakeRecordedFolder(folder) != CHANGE_UNRECORDED;
}

// Writes one shortcut, written ahead in the journal: a link that is there already is moved aside
// first and comes back in a rollback, or at once when the new one can't be saved. FALSE when the
// change can't be written ahead or begun, or the link there can't be moved aside: the install
// fails then.
static BOOL WriteShortcut(const char* target, const char* link, const char* description) {
    char kept[MAX_PATH];
    DWORD number = 0;
    DWORD attributes = GetFileAttributesA(link);
    BOOL replacing =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (replacing) {
        if (!WriteAheadKept(link, (attributes & FILE_ATTRIBUTE_READONLY) != 0, kept, &number) ||
            MoveRecordedFileAside(link, kept, number) != CHANGE_MADE)
            return FALSE;
    } else if (attributes == INVALID_FILE_ATTRIBUTES &&
               (!WriteAhead(JOURNAL_FILE, link) || !FlushJournal())) {
        return FALSE;
    }
    // The shell makes the file: it is begun before, and written once it is saved.
    BOOL noted = attributes == INVALID_FILE_ATTRIBUTES || replacing;
    if (noted && !NoteFileBegun(link)) {
        if (replacing)
            RestoreKept(kept, link);
        return FALSE;
    }
    HRESULT saved = CreateShellLink(target, link, description, NULL, InstallState.installDir);
    FILESTAMP stamp;
    if (noted && SUCCEEDED(saved) && StampOfPath(link, &stamp))
        NoteFileWritten(link, &stamp);
    if (replacing && FAILED(saved))
        RestoreKept(kept, link);
    return TRUE;
}

// Reads the folder named by value into folder, and writes it down in setup's registry entry
// (NoteLinkFolder). SHELL_FOLDER_NONE when the value is missing, does not fit the 128 bytes
// offered, or is no absolute path written the one way: links would otherwise land in the
// current folder or in a path nobody chose. SHELL_FOLDER_UNNOTED when it can't be written down.
#define SHELL_FOLDER_READ 0
#define SHELL_FOLDER_NONE 1
#define SHELL_FOLDER_UNNOTED 2
static int ReadShellFolder(HKEY key, const char* value, char* folder) {
    char data[MAX_PATH];
    DWORD type = 0;
    DWORD size = 128;
    ZeroMemory(data, sizeof(data));
    if (RegQueryValueExA(key, value, NULL, &type, (LPBYTE)data, &size) != ERROR_SUCCESS ||
        !IsPlainPath(data))
        return SHELL_FOLDER_NONE;
    lstrcpyA(folder, data);
    return NoteLinkFolder(value, folder) ? SHELL_FOLDER_READ : SHELL_FOLDER_UNNOTED;
}

// Writes the shortcuts of rows 0 to rows - 1 into folder: SHORTCUTS_WRITTEN,
// SHORTCUTS_CANCELLED or SHORTCUTS_FAILED.
static int WriteShortcuts(const char* folder, int rows) {
    for (int row = 0; row < rows; row++) {
        if (CancelRequested())
            return SHORTCUTS_CANCELLED;
        char target[MAX_PATH];
        char link[MAX_PATH];
        ZeroMemory(target, sizeof(target));
        ZeroMemory(link, sizeof(link));
        lstrcpyA(target, InstallState.installDir);
        lstrcpyA(link, folder);
        if (!JoinPath(target, ShortcutTargets[row]) || !JoinPath(link, ShortcutLinkNames[row]))
            continue;
        if (!WriteShortcut(target, link, ShortcutDescriptions[row]))
            return SHORTCUTS_FAILED;
    }
    return SHORTCUTS_WRITTEN;
}

// The program group's links, then the desktop's, on a thread whose COM is set up.
static int WriteProductShortcuts(HKEY key) {
    char folder[MAX_PATH];
    int read = ReadShellFolder(key, "Programs", folder);
    if (read == SHELL_FOLDER_UNNOTED)
        return SHORTCUTS_FAILED;
    if (read == SHELL_FOLDER_READ && JoinPath(folder, CompanyFolder)) {
        if (!MakeGroupFolder(folder))
            return SHORTCUTS_FAILED;
        if (JoinPath(folder, ProductTitle)) {
            if (!MakeGroupFolder(folder))
                return SHORTCUTS_FAILED;
            int written = WriteShortcuts(folder, 3);
            if (written != SHORTCUTS_WRITTEN)
                return written;
        }
    }

    int opened = OpenShellFolders(&key);
    if (opened != SHORTCUTS_WRITTEN)
        return opened;
    read = ReadShellFolder(key, "Desktop", folder);
    if (read == SHELL_FOLDER_UNNOTED)
        return SHORTCUTS_FAILED;
    return read == SHELL_FOLDER_READ ? WriteShortcuts(folder, 2) : SHORTCUTS_WRITTEN;
}

int CreateProductShortcuts(void) {
    HKEY key;
    int opened = OpenShellFolders(&key);
    if (opened != SHORTCUTS_WRITTEN)
        return opened;
    // COM once for all five links, given back on every way out: each link's own initialisation
    // then only counts. Without COM no link can be written; the user is told as a link that
    // can't have it would tell.
    if (FAILED(CoInitialize(NULL))) {
        MessageBoxA(InstallState.ownerWindow, "Coinitalize failed", "lnk", MB_OK);
        return CancelRequested() ? SHORTCUTS_CANCELLED : SHORTCUTS_WRITTEN;
    }
    int written = WriteProductShortcuts(key);
    CoUninitialize();
    return written;
}

#include "disc_copy.h"

#include "../app/install_state.h"
#include "../app/product_constants.h"
#include "install_journal.h"
#include "join_path.h"

// The copy's block: 64 KiB moved the most per second in measurements, larger blocks less. One
// copy runs at a time, on the copy worker's thread; the block is not on its stack, which takes
// 4 KiB a frame without a probe of each page.
#define COPY_BLOCK_BYTES 65536
static char CopyBlock[COPY_BLOCK_BYTES];

// How many entries of a folder are planned, written ahead in the journal with one flush, and
// then made, at a time.
#define BATCH_ENTRIES 64

// What the copy does with one entry of a disc's folder.
#define MAKE_FOLDER JOURNAL_FOLDER // a folder that is not there yet
#define ENTER_FOLDER 'd'           // a folder that is there: copied into
#define MAKE_FILE JOURNAL_FILE     // a file that is not there yet
#define REPLACE_FILE JOURNAL_KEPT  // a file that is there: moved aside, then made anew

typedef struct {
    char name[MAX_PATH]; // on the disc
    FILETIME written;
    char action;
    char there[MAX_PATH]; // REPLACE_FILE: the name of the file there, in its own letters
    char kept[MAX_PATH];  // REPLACE_FILE: where the file there goes
    DWORD keptNumber;     // REPLACE_FILE: its number among the kept files
    DWORD mark;           // where its record begins in the journal (the next one's, if none)
} PLANNEDENTRY;

static BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes a folder the install needs, written ahead in the journal.
static BOOL MakeFolder(const char* path) {
    if (!WriteAhead(JOURNAL_FOLDER, path) || !FlushJournal())
        return FALSE;
    if (CreateDirectoryA(path, NULL))
        return TRUE;
    VoidRecord(path);
    return FALSE;
}

// Makes the install folder and every folder above it that is not there yet, below its drive's
// root or its share ("\\\\server\\share"). Separators are found character by character, so the
// 0x5C trail byte of a double-byte character is never taken for one.
static BOOL MakeInstallFolder(void) {
    const char* path = InstallState.installDir;
    // The separators that end the root: the drive's, or the four of a share.
    int rootSeparators = IsSharePath(path) ? 4 : 1;
    int separators = 0;
    char partial[MAX_PATH];
    for (const char* at = path;; at = CharNextA(at)) {
        BOOL end = *at == '\0';
        if (end || *at == '\\' || *at == '/') {
            if (separators >= rootSeparators) {
                lstrcpynA(partial, path, (int)(at - path) + 1);
                if (!IsFolder(partial) && !MakeFolder(partial))
                    return FALSE;
            }
            separators++;
        }
        if (end)
            return TRUE;
    }
}

// Copies one file into a new file at destination. The copy is the user's: normal attributes
// whatever the disc's file carries (every file on a CD is read-only), and the disc file's time of
// last change where the file system can hold it (the copy is whole without it). FALSE when a
// block can't be read or written, or the user cancelled.
static BOOL CopyOneFile(const char* source, const char* destination, const FILETIME* written,
                        BOOL replacing) {
    HANDLE from = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (from == INVALID_HANDLE_VALUE)
        return FALSE;
    HANDLE to =
        CreateFileA(destination, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (to == INVALID_HANDLE_VALUE) {
        // Someone else's file appeared there since it was planned: not the install's to remove.
        if (!replacing && GetLastError() == ERROR_FILE_EXISTS)
            VoidRecord(destination);
        CloseHandle(from);
        return FALSE;
    }
    BOOL copied = TRUE;
    for (;;) {
        DWORD read = 0;
        DWORD put = 0;
        if (CancelRequested() || !ReadFile(from, CopyBlock, COPY_BLOCK_BYTES, &read, NULL)) {
            copied = FALSE;
            break;
        }
        if (read == 0)
            break;
        if (!WriteFile(to, CopyBlock, read, &put, NULL) || put != read) {
            copied = FALSE;
            break;
        }
    }
    if (copied)
        SetFileTime(to, NULL, NULL, written);
    if (!CloseHandle(to))
        copied = FALSE;
    CloseHandle(from);
    return copied;
}

// Decides what to do with the entry found in destination, and writes it ahead. FALSE when the
// entry can't be installed: a name no file may have, one that doesn't fit, a folder where the
// disc has a file or the other way round, or a journal that can't take it.
static BOOL PlanEntry(const char* destination, const WIN32_FIND_DATAA* found, PLANNEDENTRY* entry) {
    if (!IsInstallableName(found->cFileName))
        return FALSE;
    char to[MAX_PATH];
    lstrcpyA(to, destination);
    if (!AppendName(to, found->cFileName))
        return FALSE;
    lstrcpyA(entry->name, found->cFileName);
    entry->written = found->ftLastWriteTime;
    BOOL folder = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD there = GetFileAttributesA(to);
    if (there == INVALID_FILE_ATTRIBUTES) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            return FALSE;
        entry->action = folder ? MAKE_FOLDER : MAKE_FILE;
        return WriteAhead(entry->action, to);
    }
    if (folder != ((there & FILE_ATTRIBUTE_DIRECTORY) != 0))
        return FALSE;
    if (folder) {
        entry->action = ENTER_FOLDER;
        return TRUE;
    }
    // The file there keeps its own name, which may differ from the disc's in letter case: its
    // successor takes it, as a file opened to be replaced does, and a rollback gives it back.
    WIN32_FIND_DATAA existing;
    HANDLE find = FindFirstFileA(to, &existing);
    if (find == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(find);
    to[lstrlenA(to) - lstrlenA(found->cFileName)] = '\0';
    if (!AppendName(to, existing.cFileName))
        return FALSE;
    lstrcpyA(entry->there, existing.cFileName);
    entry->action = REPLACE_FILE;
    return WriteAheadKept(to, entry->kept, &entry->keptNumber);
}

static BOOL CopyFolderContents(const char* source, const char* destination);

// Makes what the plan says for one entry: its folder and what is in it, or its file.
static BOOL MakeEntry(const char* source, const char* destination, const PLANNEDENTRY* entry) {
    char from[MAX_PATH];
    char to[MAX_PATH];
    lstrcpyA(from, source);
    lstrcpyA(to, destination);
    if (!AppendName(from, entry->name) ||
        !AppendName(to, entry->action == REPLACE_FILE ? entry->there : entry->name))
        return FALSE;
    switch (entry->action) {
    case MAKE_FOLDER:
        if (!CreateDirectoryA(to, NULL)) {
            VoidRecord(to);
            return FALSE;
        }
        return CopyFolderContents(from, to);
    case ENTER_FOLDER:
        return CopyFolderContents(from, to);
    case REPLACE_FILE:
        if (!MoveFileA(to, entry->kept)) {
            VoidRecord(to);
            return FALSE;
        }
        return CopyOneFile(from, to, &entry->written, TRUE);
    default:
        return CopyOneFile(from, to, &entry->written, FALSE);
    }
}

// Copies the contents of folder source into folder destination, which exists, a batch of
// entries at a time: each batch is planned and written ahead, then made. A folder that can't be
// listed fails the copy: every folder but a drive's root lists at least "." and "..", so
// "nothing found" is never an empty folder. The entries of a batch that the copy stops before
// are dropped from the rollback: it has nothing of theirs to undo.
static BOOL CopyFolderContents(const char* source, const char* destination) {
    char pattern[MAX_PATH];
    lstrcpyA(pattern, source);
    if (!AppendName(pattern, "*.*"))
        return FALSE;

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return FALSE;
    PLANNEDENTRY* batch =
        (PLANNEDENTRY*)HeapAlloc(GetProcessHeap(), 0, BATCH_ENTRIES * sizeof(PLANNEDENTRY));
    BOOL copied = batch != NULL;
    BOOL more = TRUE;
    while (copied && more) {
        int planned = 0;
        while (copied && more && planned < BATCH_ENTRIES) {
            if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0) {
                batch[planned].mark = JournalMark();
                copied = !CancelRequested() && PlanEntry(destination, &found, &batch[planned]);
                planned++;
            }
            if (copied && !FindNextFileA(find, &found)) {
                more = FALSE;
                copied = GetLastError() == ERROR_NO_MORE_FILES;
            }
        }
        DWORD planEnd = JournalMark();
        if (copied)
            copied = FlushJournal();
        for (int i = 0; copied && i < planned; i++)
            copied = batch[i].action != REPLACE_FILE || PrepareKept(batch[i].keptNumber);
        int begun = 0;
        while (copied && begun < planned) {
            if (CancelRequested())
                copied = FALSE;
            else
                copied = MakeEntry(source, destination, &batch[begun++]);
        }
        if (!copied && begun < planned)
            DropPlanned(batch[begun].mark, planEnd);
    }
    if (batch != NULL)
        HeapFree(GetProcessHeap(), 0, batch);
    FindClose(find);
    return copied;
}

int CopyDiscTree(HWND owner) {
    (void)owner;
    char source[MAX_PATH];
    lstrcpyA(source, InstallState.cdRoot);
    lstrcatA(source, ProductFolder);
    if (!IsFolder(source))
        return 1;
    if (!JournalIsOpen() && !OpenJournal())
        return 1;
    if (!MakeInstallFolder())
        return 1;
    return CopyFolderContents(source, InstallState.installDir) ? 0 : 1;
}

void RemoveInstalledFiles(HWND owner) {
    (void)owner;
    RollBackInstall();
}

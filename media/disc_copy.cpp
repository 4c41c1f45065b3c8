#include "disc_copy.h"

#include "../base/heap_block.h"
#include "../base/install_state.h"
#include "../base/paths.h"
#include "../base/product_constants.h"
#include "../journal/carry_out.h"
#include "../journal/install_journal.h"
#include "../journal/setup_names.h"

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

// ---- what a folder of the install holds ----

// The entries of a destination folder, listed once before the disc's entries for it are planned,
// and found by their names, ASCII letters in either case, through a table of hashes: no name is
// looked for on the disk one by one.
typedef struct {
    char* block;  // one entry after the other: its attributes (a DWORD), its name and NUL
    DWORD used;   // bytes of block in use
    DWORD room;   // bytes of block
    DWORD count;  // entries
    DWORD* slots; // where an entry begins in block, plus 1; 0 for none
    DWORD slotMask;
} LISTING;

// A hash of a name's letters: a single-byte character in upper case, a double-byte one as it is.
static DWORD HashLetters(const char* name) {
    DWORD hash = 2166136261u;
    for (const char* at = name; *at != '\0';) {
        const char* next = CharNextA(at);
        for (const char* byte = at; byte < next; byte++) {
            char c = *byte;
            if (next - at == 1 && c >= 'a' && c <= 'z')
                c = (char)(c - 'a' + 'A');
            hash = (hash ^ (BYTE)c) * 16777619u;
        }
        at = next;
    }
    return hash;
}

static void FreeListing(LISTING* listing) {
    if (listing->block != NULL)
        HeapFree(GetProcessHeap(), 0, listing->block);
    if (listing->slots != NULL)
        HeapFree(GetProcessHeap(), 0, listing->slots);
    ZeroMemory(listing, sizeof(*listing));
}

static BOOL AddListed(LISTING* listing, const WIN32_FIND_DATAA* found) {
    DWORD bytes = sizeof(DWORD) + (DWORD)lstrlenA(found->cFileName) + 1;
    if (!GrowBlock(&listing->block, &listing->room, listing->used + bytes, 4096))
        return FALSE;
    CopyMemory(listing->block + listing->used, &found->dwFileAttributes, sizeof(DWORD));
    lstrcpyA(listing->block + listing->used + sizeof(DWORD), found->cFileName);
    listing->used += bytes;
    listing->count++;
    return TRUE;
}

// Lists folder into listing, which starts empty. FALSE when it can't be listed whole.
static BOOL ListFolder(const char* folder, LISTING* listing) {
    char pattern[MAX_PATH];
    lstrcpyA(pattern, folder);
    if (!AppendName(pattern, "*.*"))
        return FALSE;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    // Only an empty drive's root lists nothing at all.
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND && DriveRootLength(folder) == 3 &&
               folder[3] == '\0';
    BOOL listed = TRUE;
    do {
        if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0)
            listed = AddListed(listing, &found);
    } while (listed && FindNextFileA(find, &found));
    if (listed)
        listed = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    if (!listed || listing->count == 0)
        return listed;
    DWORD slots = 16;
    while (slots < 2 * listing->count)
        slots *= 2;
    listing->slots = (DWORD*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, slots * sizeof(DWORD));
    if (listing->slots == NULL)
        return FALSE;
    listing->slotMask = slots - 1;
    for (DWORD at = 0; at < listing->used;) {
        const char* name = listing->block + at + sizeof(DWORD);
        DWORD slot = HashLetters(name) & listing->slotMask;
        while (listing->slots[slot] != 0)
            slot = (slot + 1) & listing->slotMask;
        listing->slots[slot] = at + 1;
        at += sizeof(DWORD) + (DWORD)lstrlenA(name) + 1;
    }
    return TRUE;
}

// The name of the entry of listing that name spells, in its own letters, with its attributes;
// NULL when there is none.
static const char* FindListed(const LISTING* listing, const char* name, DWORD* attributes) {
    if (listing->count == 0)
        return NULL;
    int length = lstrlenA(name);
    for (DWORD slot = HashLetters(name) & listing->slotMask; listing->slots[slot] != 0;
         slot = (slot + 1) & listing->slotMask) {
        const char* entry = listing->block + listing->slots[slot] - 1;
        const char* listed = entry + sizeof(DWORD);
        if (lstrlenA(listed) == length && SameLetters(listed, name, length)) {
            CopyMemory(attributes, entry, sizeof(DWORD));
            return listed;
        }
    }
    return NULL;
}

// Makes a folder the install needs, written ahead in the journal.
static BOOL MakeFolder(const char* path) {
    return WriteAhead(JOURNAL_FOLDER, path) && MakeRecordedFolder(path) == CHANGE_MADE;
}

// Makes the install folder and every folder above it that is not there yet, below its drive's
// root or its share ("\\\\server\\share"). Separators are found character by character, so the
// 0x5C trail byte of a double-byte character is never taken for one. made: whether the install
// folder itself was made now.
static BOOL MakeInstallFolder(BOOL* made) {
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
                *made = !IsFolder(partial);
                if (*made && !MakeFolder(partial))
                    return FALSE;
            }
            separators++;
        }
        if (end)
            return TRUE;
    }
}

// Whether destination is where the game's program goes.
static BOOL IsGameCopy(const char* destination) {
    char game[MAX_PATH];
    lstrcpyA(game, InstallState.installDir);
    return lstrlenA(game) + lstrlenA(GameExeSuffix) < MAX_PATH &&
           SamePath(lstrcatA(game, GameExeSuffix), destination);
}

// Whether the files open as first and second hold the same bytes, read from where each stands:
// 1 when they do, 0 when they don't, -1 when a block can't be read or the user cancels (no block
// is read after a cancel).
static int SameContent(HANDLE first, HANDLE second) {
    char* mine = CopyBlock;
    char* theirs = CopyBlock + COPY_BLOCK_BYTES / 2;
    for (;;) {
        DWORD one = 0, other = 0;
        if (CancelRequested() || !ReadFile(first, mine, COPY_BLOCK_BYTES / 2, &one, NULL) ||
            CancelRequested() || !ReadFile(second, theirs, COPY_BLOCK_BYTES / 2, &other, NULL))
            return -1;
        if (one != other)
            return 0;
        if (one == 0)
            return 1;
        for (DWORD at = 0; at < one; at++) {
            if (mine[at] != theirs[at])
                return 0;
        }
    }
}

void LetGoOfGameCopy(void) {
    if (InstallState.gameCopy == NULL)
        return;
    CloseHandle(InstallState.gameCopy);
    InstallState.gameCopy = NULL;
}

// Setup starts the game as the administrator it runs as, from a folder that other users may
// often write. So the copy is opened again once it is whole, shared for reading alone: from then
// on no one may write, rename or delete it, nor move a folder on its way. It is held so if it
// holds the disc's bytes, which shows that no one wrote it between the close and the open; one
// that doesn't is not setup's to start. FALSE when the copy can't be opened or read again, or the
// disc's file: the copy fails, as when its first reading fails.
static BOOL HoldGameCopy(const char* source, const char* destination) {
    LetGoOfGameCopy();
    HANDLE held = CreateFileA(destination, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (held == INVALID_HANDLE_VALUE)
        return FALSE;
    HANDLE disc = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    int same = disc != INVALID_HANDLE_VALUE ? SameContent(held, disc) : -1;
    if (disc != INVALID_HANDLE_VALUE)
        CloseHandle(disc);
    if (same == 1)
        InstallState.gameCopy = held;
    else
        CloseHandle(held);
    return same >= 0;
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
    // From here on the file is the install's, until it is whole and its record says how it was
    // left (NoteFileWritten): a rollback then deletes it only while it is still so.
    BOOL copied = NoteFileBegun(destination);
    while (copied) {
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
    FILESTAMP stamp;
    BOOL stamped = FALSE;
    if (copied) {
        SetFileTime(to, NULL, NULL, written);
        stamped = StampOfHandle(to, &stamp);
    }
    if (!CloseHandle(to))
        copied = FALSE;
    CloseHandle(from);
    if (copied && stamped)
        NoteFileWritten(destination, &stamp);
    if (copied && IsGameCopy(destination))
        copied = HoldGameCopy(source, destination);
    return copied;
}

// Whether name holds a character beyond ASCII: Windows may fold its letters as it folds
// ASCII's, beyond what FindListed does.
static BOOL IsBeyondAscii(const char* name) {
    for (; *name != '\0'; name++) {
        if ((BYTE)*name >= 0x80)
            return TRUE;
    }
    return FALSE;
}

// Decides what to do with the entry found in destination, whose entries listing holds, and
// writes it ahead. FALSE when the entry can't be installed: a name no file may have, one that
// doesn't fit, a folder where the disc has a file or the other way round, or a journal that
// can't take it.
static BOOL PlanEntry(const char* destination, const LISTING* listing,
                      const WIN32_FIND_DATAA* found, PLANNEDENTRY* entry) {
    if (!IsInstallableName(found->cFileName))
        return FALSE;
    char to[MAX_PATH];
    lstrcpyA(to, destination);
    if (!AppendName(to, found->cFileName))
        return FALSE;
    lstrcpyA(entry->name, found->cFileName);
    entry->written = found->ftLastWriteTime;
    BOOL folder = (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    DWORD there = INVALID_FILE_ATTRIBUTES;
    const char* listed = FindListed(listing, found->cFileName, &there);
    WIN32_FIND_DATAA existing;
    if (listed == NULL && listing->count > 0 && IsBeyondAscii(found->cFileName)) {
        // Windows folds more letters than ASCII's (a Greek letter of another case names the
        // same file): the system says whether the folder has the name.
        HANDLE find = FindFirstFileA(to, &existing);
        if (find != INVALID_HANDLE_VALUE) {
            FindClose(find);
            listed = existing.cFileName;
            there = existing.dwFileAttributes;
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            return FALSE;
        }
    }
    if (listed == NULL) {
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
    to[lstrlenA(to) - lstrlenA(found->cFileName)] = '\0';
    if (!AppendName(to, listed))
        return FALSE;
    lstrcpyA(entry->there, listed);
    entry->action = REPLACE_FILE;
    return WriteAheadKept(to, (there & FILE_ATTRIBUTE_READONLY) != 0, entry->kept,
                          &entry->keptNumber);
}

static BOOL CopyFolderContents(const char* source, const char* destination, BOOL made);

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
        if (MakeRecordedFolder(to) != CHANGE_MADE)
            return FALSE;
        return CopyFolderContents(from, to, TRUE);
    case ENTER_FOLDER:
        return CopyFolderContents(from, to, FALSE);
    case REPLACE_FILE:
        // A later disc's game replaces the first's: the copy held is let go, to be moved aside.
        if (IsGameCopy(to))
            LetGoOfGameCopy();
        if (MoveRecordedFileAside(to, entry->kept, entry->keptNumber) != CHANGE_MADE)
            return FALSE;
        return CopyOneFile(from, to, &entry->written, TRUE);
    default:
        return CopyOneFile(from, to, &entry->written, FALSE);
    }
}

// Copies the contents of folder source into folder destination, which exists (made: the copy
// has just made it, empty), a batch of entries at a time: each batch is planned and written
// ahead, then made. A folder that can't be listed fails the copy: every folder but a drive's
// root lists at least "." and "..", so "nothing found" is never an empty folder. The entries of
// a batch that the copy stops before are dropped from the rollback: it has nothing of theirs to
// undo.
static BOOL CopyFolderContents(const char* source, const char* destination, BOOL made) {
    char pattern[MAX_PATH];
    lstrcpyA(pattern, source);
    if (!AppendName(pattern, "*.*"))
        return FALSE;

    LISTING listing;
    ZeroMemory(&listing, sizeof(listing));
    if (!made && !ListFolder(destination, &listing)) {
        FreeListing(&listing);
        return FALSE;
    }
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        FreeListing(&listing);
        return FALSE;
    }
    PLANNEDENTRY* batch =
        (PLANNEDENTRY*)HeapAlloc(GetProcessHeap(), 0, BATCH_ENTRIES * sizeof(PLANNEDENTRY));
    BOOL copied = batch != NULL;
    BOOL more = TRUE;
    while (copied && more) {
        int planned = 0;
        while (copied && more && planned < BATCH_ENTRIES) {
            if (lstrcmpA(found.cFileName, ".") != 0 && lstrcmpA(found.cFileName, "..") != 0) {
                batch[planned].mark = JournalMark();
                copied =
                    !CancelRequested() && PlanEntry(destination, &listing, &found, &batch[planned]);
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
    FreeListing(&listing);
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
    BOOL made = FALSE;
    if (!MakeInstallFolder(&made))
        return 1;
    return CopyFolderContents(source, InstallState.installDir, made) ? 0 : 1;
}

void RemoveInstalledFiles(HWND owner) {
    (void)owner;
    LetGoOfGameCopy();
    RollBackInstall();
}

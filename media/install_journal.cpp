#include "install_journal.h"

#include "../app/install_state.h"
#include "../app/product_constants.h"
#include "join_path.h"

#define JOURNAL_VERSION 1
// The journal's first block: a few dozen records. It doubles whenever it is full, so a game of
// many thousand files takes a dozen or so growths.
#define JOURNAL_FIRST_BYTES 4096
// The longest record: kind, number and path with their spaces, tab, check and line end.
#define RECORD_MAX_BYTES (MAX_PATH + 32)

// ---- the records as text ----

// CRC-32 (the polynomial of zip and PNG), bit by bit: a few instructions a byte, no table.
static DWORD Crc32(const char* text, DWORD length) {
    DWORD crc = 0xFFFFFFFF;
    for (DWORD i = 0; i < length; i++) {
        crc ^= (BYTE)text[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// Writes number in decimal at out; returns the digits written.
static int PutDecimal(char* out, DWORD number) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = (char)('0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (int i = 0; i < count; i++)
        out[i] = digits[count - 1 - i];
    return count;
}

static const char HexDigits[] = "0123456789ABCDEF";

// The record's line at out (RECORD_MAX_BYTES); returns its length.
static int FormatRecord(char* out, char kind, DWORD number, const char* path) {
    int at = 0;
    out[at++] = kind;
    out[at++] = ' ';
    at += PutDecimal(out + at, number);
    out[at++] = ' ';
    int length = lstrlenA(path);
    CopyMemory(out + at, path, length);
    at += length;
    DWORD crc = Crc32(out, (DWORD)at);
    out[at++] = '\t';
    for (int shift = 28; shift >= 0; shift -= 4)
        out[at++] = HexDigits[(crc >> shift) & 0xF];
    out[at++] = '\r';
    out[at++] = '\n';
    return at;
}

// One record read back.
typedef struct {
    char kind;
    DWORD number;
    char path[MAX_PATH];
} JOURNALRECORD;

// Reads the record of the line at text (length bytes left); returns the line's length with its
// end, or 0 when no whole, checked record starts there.
static DWORD ParseRecord(const char* text, DWORD length, JOURNALRECORD* record) {
    DWORD tab = 0;
    while (tab < length && text[tab] != '\t' && text[tab] != '\n')
        tab++;
    if (tab < 4 || tab + 11 > length || text[tab] != '\t' || text[tab + 9] != '\r' ||
        text[tab + 10] != '\n' || text[1] != ' ')
        return 0;
    DWORD crc = 0;
    for (DWORD i = tab + 1; i < tab + 9; i++) {
        char c = text[i];
        DWORD digit = c >= '0' && c <= '9'   ? (DWORD)(c - '0')
                      : c >= 'A' && c <= 'F' ? (DWORD)(c - 'A' + 10)
                                             : 16;
        if (digit == 16)
            return 0;
        crc = crc << 4 | digit;
    }
    if (crc != Crc32(text, tab))
        return 0;
    DWORD at = 2;
    DWORD number = 0;
    if (text[at] < '0' || text[at] > '9')
        return 0;
    while (at < tab && text[at] >= '0' && text[at] <= '9')
        number = number * 10 + (DWORD)(text[at++] - '0');
    if (at >= tab || text[at] != ' ' || tab - at - 1 >= MAX_PATH)
        return 0;
    at++;
    record->kind = text[0];
    record->number = number;
    CopyMemory(record->path, text + at, tab - at);
    record->path[tab - at] = '\0';
    return tab + 11;
}

// ---- names ----

static char UpperLetter(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

// Whether text starts with prefix, ASCII letters in either case.
static BOOL StartsWithLetters(const char* text, const char* prefix) {
    for (; *prefix != '\0'; text++, prefix++) {
        if (UpperLetter(*text) != UpperLetter(*prefix))
            return FALSE;
    }
    return TRUE;
}

BOOL IsInstallableName(const char* name) {
    return !StartsWithLetters(name, SetupNamePrefix) && !IsDeviceName(name, lstrlenA(name));
}

// How many bytes of path name its folder: up to its last separator, found character by
// character. 0 when it has none.
static int FolderLength(const char* path) {
    int folder = 0;
    for (const char* at = path; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\' || *at == '/')
            folder = (int)(at - path);
    }
    return folder;
}

// The kept name of number for the file at path: in the same folder, so that moving it aside and
// back is a rename on the same disk. FALSE when it does not fit MAX_PATH.
static BOOL KeptPath(const char* path, DWORD number, char* kept) {
    int folder = FolderLength(path);
    if (folder == 0 || folder + 40 >= MAX_PATH)
        return FALSE;
    CopyMemory(kept, path, folder);
    kept[folder] = '\\';
    lstrcpyA(kept + folder + 1, KeptPrefix);
    int at = lstrlenA(kept);
    at += PutDecimal(kept + at, number);
    kept[at] = '\0';
    lstrcatA(kept, KeptSuffix);
    return TRUE;
}

// Whether the first length bytes of a and b spell the same names: character by character, ASCII
// letters in either case. A later setup may spell the install folder in other letters than the
// one that wrote the journal, and a disc may spell a file in other letters than the disk.
static BOOL SameLetters(const char* a, const char* b, int length) {
    int at = 0;
    while (at < length) {
        int size = b[at] == '\0' ? 1 : (int)(CharNextA(b + at) - (b + at));
        if (size == 1 ? UpperLetter(a[at]) != UpperLetter(b[at])
                      : a[at] != b[at] || a[at + 1] != b[at + 1])
            return FALSE;
        at += size;
    }
    return TRUE;
}

// Whether path lies under the folder of length bytes (a separator after it).
static BOOL IsUnder(const char* path, const char* folder, int length) {
    return lstrlenA(path) > length + 1 && SameLetters(path, folder, length) &&
           (path[length] == '\\' || path[length] == '/');
}

static BOOL SameText(const char* a, int length, const char* b) {
    return lstrlenA(b) == length && StartsWithLetters(a, b);
}

// Whether a journal in the folder of journalFolder bytes of journalPath may undo a change at
// path: a path from a drive's or a share's root with no "." or ".." in it, and under that folder,
// or one of the places of the product's shortcuts (a link, or the program group's folders). A
// journal names nothing else, however it came to be.
static BOOL MayUndo(const char* path, const char* journalPath, int journalFolder) {
    if (DriveRootLength(path) != 3 && !IsSharePath(path))
        return FALSE;
    const char* part = path;
    const char* last = path;
    for (const char* at = path;; at = CharNextA(at)) {
        if (*at == '\0' || *at == '\\' || *at == '/') {
            int length = (int)(at - part);
            if ((length == 1 && part[0] == '.') ||
                (length == 2 && part[0] == '.' && part[1] == '.'))
                return FALSE;
            if (length > 0)
                last = part;
            if (*at == '\0')
                break;
            part = at + 1;
        }
    }
    if (IsUnder(path, journalPath, journalFolder))
        return TRUE;
    int length = lstrlenA(last);
    if (SameText(last, length, CompanyFolder) || SameText(last, length, ProductTitle))
        return TRUE;
    for (int row = 0; row < SHORTCUT_ROWS; row++) {
        if (SameText(last, length, ShortcutLinkNames[row]))
            return TRUE;
    }
    return FALSE;
}

// ---- the journal in memory and in its file ----

// Makes room for bytes more in the journal. FALSE, with the journal as it was, when the heap
// has no larger block to give.
static BOOL MakeRoom(DWORD bytes) {
    DWORD needed = InstallState.journalLength + bytes;
    if (needed <= InstallState.journalRoom)
        return TRUE;
    DWORD room = InstallState.journalRoom == 0 ? JOURNAL_FIRST_BYTES : InstallState.journalRoom;
    while (room < needed)
        room *= 2;
    char* grown = InstallState.journal == NULL
                      ? (char*)HeapAlloc(GetProcessHeap(), 0, room)
                      : (char*)HeapReAlloc(GetProcessHeap(), 0, InstallState.journal, room);
    if (grown == NULL)
        return FALSE;
    InstallState.journal = grown;
    InstallState.journalRoom = room;
    return TRUE;
}

static BOOL Append(char kind, DWORD number, const char* path) {
    if (InstallState.journalFile == NULL || lstrlenA(path) >= MAX_PATH ||
        !MakeRoom(RECORD_MAX_BYTES))
        return FALSE;
    InstallState.journalLength +=
        FormatRecord(InstallState.journal + InstallState.journalLength, kind, number, path);
    return TRUE;
}

static void ForgetJournal(void) {
    if (InstallState.journalFile != NULL)
        CloseHandle(InstallState.journalFile);
    InstallState.journalFile = NULL;
    if (InstallState.journal != NULL)
        HeapFree(GetProcessHeap(), 0, InstallState.journal);
    InstallState.journal = NULL;
    InstallState.journalLength = 0;
    InstallState.journalRoom = 0;
    InstallState.journalWritten = 0;
}

static BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

BOOL OpenJournal(void) {
    // The deepest folder of the install folder's path that is there: the install folder itself
    // when it is.
    char folder[MAX_PATH];
    lstrcpyA(folder, InstallState.installDir);
    while (!IsFolder(folder)) {
        int length = FolderLength(folder);
        if (length == 0 || folder[length + 1] == '\0')
            return FALSE;
        folder[length] = '\0';
        if (length == 2 && folder[1] == ':')
            lstrcatA(folder, "\\");
    }
    if (!AppendName(folder, JournalName))
        return FALSE;
    HANDLE file =
        CreateFileA(folder, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    lstrcpyA(InstallState.journalPath, folder);
    InstallState.journalFile = file;
    InstallState.keptFiles = 0;
    if (Append(JOURNAL_BEGIN, JOURNAL_VERSION, InstallState.installDir) && FlushJournal())
        return TRUE;
    ForgetJournal();
    DeleteFileA(folder);
    return FALSE;
}

BOOL JournalIsOpen(void) {
    return InstallState.journalFile != NULL;
}

BOOL WriteAhead(char kind, const char* path) {
    return Append(kind, 0, path);
}

BOOL WriteAheadKept(const char* path, char* kept) {
    DWORD number = InstallState.keptFiles + 1;
    if (!KeptPath(path, number, kept) || !Append(JOURNAL_KEPT, number, path))
        return FALSE;
    InstallState.keptFiles = number;
    return TRUE;
}

BOOL FlushJournal(void) {
    if (InstallState.journalFile == NULL)
        return FALSE;
    if (InstallState.journalWritten == InstallState.journalLength)
        return TRUE;
    DWORD bytes = InstallState.journalLength - InstallState.journalWritten;
    DWORD put = 0;
    if (!WriteFile(InstallState.journalFile, InstallState.journal + InstallState.journalWritten,
                   bytes, &put, NULL) ||
        put != bytes || !FlushFileBuffers(InstallState.journalFile))
        return FALSE;
    InstallState.journalWritten = InstallState.journalLength;
    return TRUE;
}

void VoidRecord(const char* path) {
    if (Append(JOURNAL_VOID, 0, path))
        FlushJournal();
}

BOOL RestoreKept(const char* kept, const char* path) {
    if (MoveFileExA(kept, path, MOVEFILE_REPLACE_EXISTING))
        return TRUE;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return TRUE;
    if (error != ERROR_CALL_NOT_IMPLEMENTED)
        return FALSE;
    // Windows 95, 98 and ME have no MoveFileExA: make room, then move. The file at path goes only
    // when the kept one is there to take its place.
    if (GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return FALSE;
    return MoveFileA(kept, path);
}

// Deletes a kept file, whatever its attributes: it was the user's, and the install replaced it.
static BOOL DeleteKept(const char* kept) {
    if (DeleteFileA(kept) || GetLastError() == ERROR_FILE_NOT_FOUND ||
        GetLastError() == ERROR_PATH_NOT_FOUND)
        return TRUE;
    return SetFileAttributesA(kept, FILE_ATTRIBUTE_NORMAL) && DeleteFileA(kept);
}

// ---- undoing ----

// Where the record before the one at end begins (end is the start of a line or the journal's
// length), or 0.
static DWORD LineBefore(const char* records, DWORD end) {
    DWORD start = end - 1;
    while (start > 0 && records[start - 1] != '\n')
        start--;
    return start;
}

// Whether the newest record of a path among the voided ones marks this one: it then is taken
// off the list. voided holds the paths of VOID records met so far, one after the other.
static BOOL TakeVoided(char* voided, DWORD* voidedLength, const char* path) {
    for (DWORD at = 0; at < *voidedLength;) {
        DWORD length = (DWORD)lstrlenA(voided + at) + 1;
        if ((int)length == lstrlenA(path) + 1 && SameLetters(voided + at, path, (int)length - 1)) {
            // The paths after it move up over it.
            for (DWORD from = at + length; from < *voidedLength; from++)
                voided[from - length] = voided[from];
            *voidedLength -= length;
            return TRUE;
        }
        at += length;
    }
    return FALSE;
}

// Carries out the journal's records, of length bytes that checked out, whose file is at
// journalPath: rolls the install back, newest first, or, when it was committed, deletes the
// kept files. FALSE when a kept file stays aside: the journal is then still needed.
static BOOL Undo(const char* records, DWORD length, const char* journalPath) {
    int journalFolder = FolderLength(journalPath);
    // Nothing comes after a commit record.
    JOURNALRECORD record;
    DWORD last = length > 0 ? LineBefore(records, length) : 0;
    BOOL committed = length > 0 && ParseRecord(records + last, length - last, &record) != 0 &&
                     record.kind == JOURNAL_COMMIT;
    // The paths of void records, for the records they take back; few if any.
    char voided[4 * MAX_PATH];
    DWORD voidedLength = 0;
    BOOL whole = TRUE;
    for (DWORD start = length; start > 0;) {
        start = LineBefore(records, start);
        if (ParseRecord(records + start, length - start, &record) == 0)
            continue;
        if (record.kind == JOURNAL_VOID) {
            int bytes = lstrlenA(record.path) + 1;
            if (voidedLength + bytes <= sizeof(voided)) {
                CopyMemory(voided + voidedLength, record.path, bytes);
                voidedLength += bytes;
            }
            continue;
        }
        if (record.kind != JOURNAL_FOLDER && record.kind != JOURNAL_FILE &&
            record.kind != JOURNAL_KEPT)
            continue;
        if (TakeVoided(voided, &voidedLength, record.path))
            continue;
        // A kept file that can't be put back keeps the journal: it names where the file is.
        if (!MayUndo(record.path, journalPath, journalFolder)) {
            if (record.kind == JOURNAL_KEPT)
                whole = FALSE;
            continue;
        }
        char kept[MAX_PATH];
        if (committed) {
            if (record.kind == JOURNAL_KEPT && KeptPath(record.path, record.number, kept) &&
                !DeleteKept(kept))
                whole = FALSE;
        } else if (record.kind == JOURNAL_FOLDER) {
            RemoveDirectoryA(record.path);
        } else if (record.kind == JOURNAL_FILE) {
            DeleteFileA(record.path);
        } else if (!KeptPath(record.path, record.number, kept) || !RestoreKept(kept, record.path)) {
            whole = FALSE;
        }
    }
    return whole;
}

// Ends the journal of this install after its records were carried out: its file goes when
// nothing it names is still needed.
static void CloseJournal(BOOL whole) {
    if (InstallState.journalFile == NULL)
        return;
    CloseHandle(InstallState.journalFile);
    InstallState.journalFile = NULL;
    if (whole)
        DeleteFileA(InstallState.journalPath);
    ForgetJournal();
}

void RollBackInstall(void) {
    if (InstallState.journalFile == NULL)
        return;
    // Records not yet in the file describe changes not made: undoing them finds nothing to undo.
    CloseJournal(Undo(InstallState.journal, InstallState.journalLength, InstallState.journalPath));
}

// The files that took the kept ones' places are not flushed first: what a power cut right after
// the commit could take of them is what the discs brought, as with every new file, and what it
// takes with the kept ones is what a completed install discards anyway. A flush per file would
// make a repair install wait on the disk for every file it replaces.
void CommitInstall(void) {
    if (InstallState.journalFile == NULL)
        return;
    // Without the commit on the disk, a setup stopped now would be rolled back by the next.
    if (!Append(JOURNAL_COMMIT, 0, InstallState.installDir) || !FlushJournal()) {
        CloseJournal(FALSE);
        return;
    }
    CloseJournal(Undo(InstallState.journal, InstallState.journalLength, InstallState.journalPath));
}

// Reads the journal at path into a block of the process heap. FALSE when it can't be read
// whole.
static BOOL ReadJournal(const char* path, char** records, DWORD* length) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD room = JOURNAL_FIRST_BYTES;
    char* block = (char*)HeapAlloc(GetProcessHeap(), 0, room);
    DWORD used = 0;
    BOOL read = block != NULL;
    while (read) {
        if (used == room) {
            char* grown = (char*)HeapReAlloc(GetProcessHeap(), 0, block, room * 2);
            if (grown == NULL) {
                read = FALSE;
                break;
            }
            block = grown;
            room *= 2;
        }
        DWORD got = 0;
        if (!ReadFile(file, block + used, room - used, &got, NULL))
            read = FALSE;
        else if (got == 0)
            break;
        used += got;
    }
    CloseHandle(file);
    if (!read) {
        if (block != NULL)
            HeapFree(GetProcessHeap(), 0, block);
        return FALSE;
    }
    *records = block;
    *length = used;
    return TRUE;
}

// Finishes the journal at path: rolls back the install it describes (or completes its commit)
// and deletes it. A journal without a whole line was stopped while its first record was being
// written, before anything was done (that record is flushed alone). One whose first line does
// not check out is left as it is: nothing is undone on its word.
static BOOL RecoverJournal(const char* path) {
    char* records;
    DWORD length;
    if (!ReadJournal(path, &records, &length))
        return FALSE;
    BOOL lines = FALSE;
    for (DWORD i = 0; i < length && !lines; i++)
        lines = records[i] == '\n';
    JOURNALRECORD record;
    DWORD first = ParseRecord(records, length, &record);
    BOOL ours = !lines || (first != 0 && record.kind == JOURNAL_BEGIN);
    // The records that check out, up to the first that does not.
    DWORD valid = 0;
    for (DWORD used = first; ours && used != 0;) {
        valid += used;
        used = ParseRecord(records + valid, length - valid, &record);
    }
    BOOL whole = ours && Undo(records, valid, path);
    HeapFree(GetProcessHeap(), 0, records);
    return whole && DeleteFileA(path);
}

BOOL RecoverInterruptedInstalls(const char* folder) {
    char path[MAX_PATH];
    lstrcpyA(path, folder);
    for (;;) {
        char journal[MAX_PATH];
        lstrcpyA(journal, path);
        if (AppendName(journal, JournalName) &&
            GetFileAttributesA(journal) != INVALID_FILE_ATTRIBUTES && !RecoverJournal(journal))
            return FALSE;
        int length = FolderLength(path);
        if (length == 0 || path[length + 1] == '\0' || DriveRootLength(path) == length + 1 ||
            (IsSharePath(path) && length <= 1))
            return TRUE;
        path[length] = '\0';
        if (length == 2 && path[1] == ':')
            lstrcatA(path, "\\");
    }
}

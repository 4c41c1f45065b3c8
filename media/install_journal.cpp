#include "install_journal.h"

#include "../base/install_state.h"
#include "../base/paths.h"
#include "../base/product_constants.h"

// The journal's first block: a few dozen records. It doubles whenever it is full, so a game of
// many thousand files takes a dozen or so growths.
#define JOURNAL_FIRST_BYTES 4096
// The longest record: kind, number and path with their spaces, tab, check and line end.
#define RECORD_MAX_BYTES (MAX_PATH + 32)
// Kept files go into folders of this many, numbered from 0: a new name is found quickly in a
// small folder, on every file system.
#define KEPT_PER_FOLDER 100
// The most that setup's names add to the folder of the journal: the kept folder's name, a folder
// number of up to 8 digits and a file number below KEPT_PER_FOLDER, each after a separator
// ("\~kelvo-setup-0123ABCD\12345678\99"); the journal's own name is shorter.
#define SETUP_NAMES_ROOM 34
// The records the finishing steps may write after the last disc: the program group's two
// folders and five links, each perhaps voided, and the commit.
#define FINISHING_RECORDS 16

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

// ---- names and places ----

// Whether text starts with prefix, ASCII letters in either case.
static BOOL StartsWithLetters(const char* text, const char* prefix) {
    int length = lstrlenA(prefix);
    return lstrlenA(text) >= length && SameLetters(text, prefix, length);
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

// The last name of path.
static const char* LastName(const char* path) {
    int folder = FolderLength(path);
    return folder == 0 ? path : path + folder + 1;
}

BOOL IsInstallableName(const char* name) {
    int length = lstrlenA(name);
    if (length == 0 || StartsWithLetters(name, SetupNamePrefix) || IsDeviceName(name, length))
        return FALSE;
    // Windows drops a dot or a space at the end of a name: the file would be made under another.
    return name[length - 1] != '.' && name[length - 1] != ' ';
}

static BOOL SamePath(const char* a, const char* b) {
    int length = lstrlenA(b);
    return lstrlenA(a) == length && SameLetters(a, b, length);
}

// Whether path is folder or lies in it, at any depth; with strictly, only the latter.
static BOOL IsWithin(const char* path, const char* folder, BOOL strictly) {
    int length = lstrlenA(folder);
    // A drive's root ends in its separator.
    if (length > 0 && folder[length - 1] == '\\')
        length--;
    if (lstrlenA(path) < length || !SameLetters(path, folder, length))
        return FALSE;
    const char* rest = path + length;
    if (*rest == '\0' || (rest[0] == '\\' && rest[1] == '\0'))
        return !strictly;
    return *rest == '\\';
}

// The folder that the journal of place lies in, into folder (MAX_PATH bytes).
static void JournalFolder(const JOURNALPLACE* place, char* folder) {
    int length = FolderLength(place->journal);
    CopyMemory(folder, place->journal, length);
    folder[length] = '\0';
    if (length == 2 && folder[1] == ':')
        lstrcatA(folder, "\\");
}

// Setup's name for the install of identity: KeptPrefix and the identity in hexadecimal.
static void SetupName(char* out, DWORD identity) {
    lstrcpyA(out, KeptPrefix);
    int at = lstrlenA(out);
    for (int shift = 28; shift >= 0; shift -= 4)
        out[at++] = HexDigits[(identity >> shift) & 0xF];
    out[at] = '\0';
}

// The folder of kept files beside the journal of place, or its group'th folder (group below
// 0xFFFFFFFF), into path (MAX_PATH bytes). FALSE when it does not fit.
#define KEPT_ROOT 0xFFFFFFFF
static BOOL KeptFolder(const JOURNALPLACE* place, DWORD group, char* path) {
    char name[32];
    SetupName(name, place->identity);
    JournalFolder(place, path);
    if (!AppendName(path, name))
        return FALSE;
    if (group == KEPT_ROOT)
        return TRUE;
    char digits[12];
    digits[PutDecimal(digits, group)] = '\0';
    return AppendName(path, digits);
}

// Where the file at path goes as kept file number of the install of place, into kept
// (MAX_PATH bytes): a file of the install folder into the kept files' folder beside the journal,
// where the names fit whatever the install folder's length; a link beside itself, so that moving
// it aside and back is a rename on its own disk. FALSE when the name does not fit.
static BOOL KeptPath(const JOURNALPLACE* place, const char* path, DWORD number, char* kept) {
    char name[48];
    if (IsWithin(path, place->folder, TRUE)) {
        if (number == 0 || !KeptFolder(place, (number - 1) / KEPT_PER_FOLDER, kept))
            return FALSE;
        name[PutDecimal(name, (number - 1) % KEPT_PER_FOLDER)] = '\0';
        return AppendName(kept, name);
    }
    int folder = FolderLength(path);
    if (folder == 0)
        return FALSE;
    CopyMemory(kept, path, folder);
    kept[folder] = '\0';
    SetupName(name, place->identity);
    int at = lstrlenA(name);
    name[at++] = '-';
    at += PutDecimal(name + at, number);
    name[at] = '\0';
    lstrcatA(name, KeptSuffix);
    return AppendName(kept, name);
}

// Whether path is one of the places of the product's links that place wrote down: the program
// group's two folders (kind JOURNAL_FOLDER), or a link in the group or on the desktop.
static BOOL IsLinkPlace(const JOURNALPLACE* place, char kind, const char* path) {
    char link[MAX_PATH];
    if (place->programs[0] != '\0') {
        lstrcpyA(link, place->programs);
        if (!JoinPath(link, CompanyFolder))
            return FALSE;
        if (kind == JOURNAL_FOLDER && SamePath(path, link))
            return TRUE;
        if (!JoinPath(link, ProductTitle))
            return FALSE;
        if (kind == JOURNAL_FOLDER)
            return SamePath(path, link);
        int group = lstrlenA(link);
        for (int row = 0; row < SHORTCUT_ROWS; row++) {
            link[group] = '\0';
            if (JoinPath(link, ShortcutLinkNames[row]) && SamePath(path, link))
                return TRUE;
        }
    }
    if (kind == JOURNAL_FOLDER || place->desktop[0] == '\0')
        return FALSE;
    for (int row = 0; row < 2; row++) {
        lstrcpyA(link, place->desktop);
        if (JoinPath(link, ShortcutLinkNames[row]) && SamePath(path, link))
            return TRUE;
    }
    return FALSE;
}

// Whether a record of the journal of place may name path: written the one way setup writes its
// paths, none of setup's own names, and the install folder or in it, a folder made above it
// below the journal, or a place of the product's links. A journal names nothing else, however
// it came to be: whoever may write it may change all of these already.
static BOOL IsReachable(const JOURNALPLACE* place, char kind, const char* path) {
    if (!IsPlainPath(path) || StartsWithLetters(LastName(path), SetupNamePrefix))
        return FALSE;
    if (IsWithin(path, place->folder, FALSE))
        return TRUE;
    if (kind == JOURNAL_FOLDER) {
        char journalFolder[MAX_PATH];
        JournalFolder(place, journalFolder);
        if (IsWithin(place->folder, path, TRUE) && IsWithin(path, journalFolder, TRUE))
            return TRUE;
    }
    return IsLinkPlace(place, kind, path);
}

// Whether a folder on the way to path, below its drive's root or share, is a directory link or a
// junction (a reparse point): no record reaches through one. checked (MAX_PATH bytes) holds the
// deepest folder that an earlier look found plain all the way, which is not looked at again; it
// is moved to path's folder when that is found plain.
static BOOL PassesThroughLink(const char* path, char* checked) {
    int folder = FolderLength(path);
    // The separators of the root: the drive's, or the four of a share ("\\server\share\").
    int rootSeparators = path[0] == '\\' ? 4 : 1;
    int separators = 0;
    char way[MAX_PATH];
    for (const char* at = path; *at != '\0' && at - path <= folder; at = CharNextA(at)) {
        if (*at != '\\' || ++separators <= rootSeparators)
            continue;
        int length = (int)(at - path);
        CopyMemory(way, path, length);
        way[length] = '\0';
        if (IsWithin(checked, way, FALSE))
            continue;
        DWORD attributes = GetFileAttributesA(way);
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return FALSE; // nothing lies beyond it to reach
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return TRUE;
    }
    CopyMemory(checked, path, folder);
    checked[folder] = '\0';
    return FALSE;
}

BOOL IsReachedThroughLink(const char* path) {
    char checked[MAX_PATH];
    checked[0] = '\0';
    if (PassesThroughLink(path, checked))
        return TRUE;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The same for the path of a record of place: a place of the product's links is looked at only
// below the shell folder that setup wrote down, which is the user's own (under Wine, the desktop
// is often a link to the user's home).
static BOOL RecordPassesThroughLink(const JOURNALPLACE* place, const char* path, char* checked) {
    const char* shellFolder = NULL;
    if (!IsWithin(path, place->folder, FALSE)) {
        if (place->programs[0] != '\0' && IsWithin(path, place->programs, TRUE))
            shellFolder = place->programs;
        else if (place->desktop[0] != '\0' && IsWithin(path, place->desktop, TRUE))
            shellFolder = place->desktop;
    }
    if (shellFolder == NULL)
        return PassesThroughLink(path, checked);
    char trusted[MAX_PATH];
    lstrcpyA(trusted, shellFolder);
    return PassesThroughLink(path, trusted);
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
    InstallState.journalReserved = 0;
}

static BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Deletes a file of setup's own, or one it kept, whatever its attributes.
static BOOL DeleteWhatever(const char* path) {
    if (DeleteFileA(path))
        return TRUE;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return TRUE;
    return error == ERROR_ACCESS_DENIED && SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) &&
           DeleteFileA(path);
}

// ---- the registry's record ----

static const char RecordJournal[] = "Journal";
static const char RecordFolder[] = "Folder";
static const char RecordIdentity[] = "Identity";

// Where setup keeps its record: the machine's key where it may write there (an administrator,
// or any user of Windows 95, 98 and ME), else the key of the user it runs as. Either is out of
// reach of other users.
static HKEY RecordRoot(void) {
    HKEY software;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_CREATE_SUB_KEY, &software) !=
        ERROR_SUCCESS)
        return HKEY_CURRENT_USER;
    RegCloseKey(software);
    return HKEY_LOCAL_MACHINE;
}

static BOOL SetText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)lstrlenA(text) + 1) ==
           ERROR_SUCCESS;
}

// Reads the text value name into text (MAX_PATH bytes); an empty text when there is none.
static BOOL GetText(HKEY key, const char* name, char* text) {
    DWORD type = 0;
    DWORD size = MAX_PATH;
    text[0] = '\0';
    if (RegQueryValueExA(key, name, NULL, &type, (LPBYTE)text, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size == 0 || size > MAX_PATH) {
        text[0] = '\0';
        return FALSE;
    }
    text[size - 1] = '\0';
    return TRUE;
}

// Writes the record of the running install and flushes it. FALSE, with no record left, when it
// can't be, or when one is there already.
static BOOL WriteRecord(void) {
    const JOURNALPLACE* place = &InstallState.journalPlace;
    HKEY root = RecordRoot();
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, SetupRecordKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        NULL, &key, &disposition) != ERROR_SUCCESS)
        return FALSE;
    if (disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(key);
        return FALSE;
    }
    DWORD identity = place->identity;
    BOOL written = SetText(key, RecordJournal, place->journal) &&
                   SetText(key, RecordFolder, place->folder) &&
                   RegSetValueExA(key, RecordIdentity, 0, REG_DWORD, (const BYTE*)&identity,
                                  sizeof(identity)) == ERROR_SUCCESS &&
                   RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!written)
        RegDeleteKeyA(root, SetupRecordKey);
    InstallState.recordRoot = root;
    return written;
}

static void DeleteRecord(HKEY root) {
    RegDeleteKeyA(root, SetupRecordKey);
}

BOOL NoteLinkFolder(const char* name, const char* folder) {
    if (InstallState.journalFile == NULL || !IsPlainPath(folder))
        return FALSE;
    HKEY key;
    if (RegOpenKeyExA(InstallState.recordRoot, SetupRecordKey, 0, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return FALSE;
    BOOL written = SetText(key, name, folder) && RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (written) {
        JOURNALPLACE* place = &InstallState.journalPlace;
        lstrcpyA(lstrcmpA(name, "Programs") == 0 ? place->programs : place->desktop, folder);
    }
    return written;
}

BOOL InterruptedInstallRecorded(void) {
    HKEY key;
    if (RegOpenKeyExA(RecordRoot(), SetupRecordKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}

// ---- the running install's journal ----

// The folder the journal of an install into installDir goes into (folder, MAX_PATH bytes): the
// deepest folder of its path that is there and leaves room for setup's names. FALSE when none.
static BOOL ChooseJournalFolder(const char* installDir, char* folder) {
    lstrcpyA(folder, installDir);
    for (;;) {
        if (lstrlenA(folder) + SETUP_NAMES_ROOM < MAX_PATH && IsFolder(folder))
            return TRUE;
        int length = FolderLength(folder);
        if (length == 0 || folder[length + 1] == '\0' || (IsSharePath(folder) && length <= 2))
            return FALSE;
        folder[length] = '\0';
        if (length == 2 && folder[1] == ':')
            lstrcatA(folder, "\\");
    }
}

BOOL OpenJournal(void) {
    JOURNALPLACE* place = &InstallState.journalPlace;
    char folder[MAX_PATH];
    if (!IsPlainPath(InstallState.installDir) ||
        !ChooseJournalFolder(InstallState.installDir, folder))
        return FALSE;
    lstrcpyA(place->folder, InstallState.installDir);
    place->programs[0] = '\0';
    place->desktop[0] = '\0';
    // An identity no other install here has: its journal and its kept files' folder are not
    // there yet. It need not be secret, only setup's own.
    DWORD identity = GetTickCount() * 2654435761u ^ GetCurrentThreadId() * 40503u;
    char kept[MAX_PATH];
    for (int tries = 0;; tries++, identity++) {
        if (tries == 16)
            return FALSE;
        if (identity == 0)
            continue;
        place->identity = identity;
        char name[40];
        SetupName(name, identity);
        lstrcatA(name, JournalSuffix);
        lstrcpyA(place->journal, folder);
        if (!AppendName(place->journal, name) || !KeptFolder(place, KEPT_ROOT, kept))
            return FALSE;
        if (GetFileAttributesA(place->journal) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    if (!WriteRecord())
        return FALSE;
    HANDLE file = CreateFileA(place->journal, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteRecord(InstallState.recordRoot);
        return FALSE;
    }
    InstallState.journalFile = file;
    InstallState.keptFiles = 0;
    InstallState.keptGroups = 0;
    if (Append(JOURNAL_BEGIN, identity, place->folder) && FlushJournal())
        return TRUE;
    ForgetJournal();
    DeleteFileA(place->journal);
    DeleteRecord(InstallState.recordRoot);
    return FALSE;
}

BOOL JournalIsOpen(void) {
    return InstallState.journalFile != NULL;
}

BOOL WriteAhead(char kind, const char* path) {
    return IsReachable(&InstallState.journalPlace, kind, path) && Append(kind, 0, path);
}

BOOL WriteAheadKept(const char* path, BOOL readOnly, char* kept, DWORD* number) {
    DWORD next = InstallState.keptFiles + 1;
    if (!IsReachable(&InstallState.journalPlace, JOURNAL_KEPT, path) ||
        !KeptPath(&InstallState.journalPlace, path, next, kept) ||
        !Append(readOnly ? JOURNAL_KEPT_READ_ONLY : JOURNAL_KEPT, next, path))
        return FALSE;
    InstallState.keptFiles = next;
    if (number != NULL)
        *number = next;
    return TRUE;
}

BOOL PrepareKept(DWORD number) {
    const JOURNALPLACE* place = &InstallState.journalPlace;
    char folder[MAX_PATH];
    while (InstallState.keptGroups <= (number - 1) / KEPT_PER_FOLDER) {
        if (InstallState.keptGroups == 0 &&
            (!KeptFolder(place, KEPT_ROOT, folder) || !CreateDirectoryA(folder, NULL)))
            return FALSE;
        if (!KeptFolder(place, InstallState.keptGroups, folder) || !CreateDirectoryA(folder, NULL))
            return FALSE;
        InstallState.keptGroups++;
    }
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

DWORD JournalMark(void) {
    return InstallState.journalLength;
}

void DropPlanned(DWORD from, DWORD to) {
    // Not yet in the file (the batch's flush failed, and nothing came after them): forgotten.
    if (from >= InstallState.journalWritten && to == InstallState.journalLength) {
        InstallState.journalLength = from;
        return;
    }
    // In the file, where a later setup finds nothing of theirs to undo: crossed out here, their
    // lines no longer check out, and the rollback passes over them.
    for (DWORD at = from; at < to; at++) {
        if (at == from || InstallState.journal[at - 1] == '\n')
            InstallState.journal[at] = '-';
    }
}

BOOL ReserveJournalRoom(void) {
    if (!FlushJournal())
        return FALSE;
    static const char zeros[RECORD_MAX_BYTES] = {0};
    DWORD put = 0;
    for (int i = 0; i < FINISHING_RECORDS; i++) {
        if (!WriteFile(InstallState.journalFile, zeros, RECORD_MAX_BYTES, &put, NULL) ||
            put != RECORD_MAX_BYTES)
            return FALSE;
    }
    if (!FlushFileBuffers(InstallState.journalFile) ||
        SetFilePointer(InstallState.journalFile, (LONG)InstallState.journalWritten, NULL,
                       FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return FALSE;
    InstallState.journalReserved = FINISHING_RECORDS * RECORD_MAX_BYTES;
    return TRUE;
}

BOOL RestoreKept(const char* kept, const char* path) {
    // Windows 95, 98 and ME export MoveFileExA without carrying it out; what error its stub sets
    // is nowhere written down. On them, and whenever the one call fails, the kept file takes its
    // place by a delete and a move.
    if ((GetVersion() & 0x80000000) == 0 && MoveFileExA(kept, path, MOVEFILE_REPLACE_EXISTING))
        return TRUE;
    // Not there: never moved aside, or already back.
    if (GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    // The file at path goes only when the kept one is there to take its place.
    return DeleteWhatever(path) && MoveFileA(kept, path);
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

// Carries out the journal's records of place, of length bytes that checked out: rolls the
// install back, newest first, or, when it was committed, deletes the kept files; then removes
// the folders of the kept files (at least keptGroups of them). FALSE when a kept file stays
// aside, or one that goes stays: the journal is then still needed, and blocker (MAX_PATH bytes)
// names the file in the way.
static BOOL Undo(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                 char* blocker) {
    JOURNALRECORD record;
    DWORD last = length > 0 ? LineBefore(records, length) : 0;
    BOOL committed = length > 0 && ParseRecord(records + last, length - last, &record) != 0 &&
                     record.kind == JOURNAL_COMMIT;
    // The paths of void records, for the records they take back; few if any.
    char voided[4 * MAX_PATH];
    DWORD voidedLength = 0;
    // The folders found plain on the way to the records' paths, and to the kept files'.
    char checked[MAX_PATH];
    char checkedKept[MAX_PATH];
    checked[0] = '\0';
    checkedKept[0] = '\0';
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
        BOOL keeps = record.kind == JOURNAL_KEPT || record.kind == JOURNAL_KEPT_READ_ONLY;
        if (record.kind != JOURNAL_FOLDER && record.kind != JOURNAL_FILE && !keeps)
            continue;
        if (keeps && record.number > 0 && (record.number - 1) / KEPT_PER_FOLDER >= keptGroups)
            keptGroups = (record.number - 1) / KEPT_PER_FOLDER + 1;
        if (TakeVoided(voided, &voidedLength, record.path))
            continue;
        char kept[MAX_PATH];
        // A record that could not be made, or that would reach through a link, is not carried
        // out; a kept file it names keeps the journal.
        if (!IsReachable(place, record.kind, record.path) ||
            (keeps && !KeptPath(place, record.path, record.number, kept)) ||
            RecordPassesThroughLink(place, record.path, checked) ||
            (keeps && RecordPassesThroughLink(place, kept, checkedKept))) {
            if (keeps && whole) {
                lstrcpyA(blocker, record.path);
                whole = FALSE;
            }
            continue;
        }
        BOOL done = TRUE;
        if (committed) {
            // A read-only kept file is made writable first: a delete of it would only fail.
            if (record.kind == JOURNAL_KEPT_READ_ONLY)
                SetFileAttributesA(kept, FILE_ATTRIBUTE_NORMAL);
            if (keeps && !DeleteWhatever(kept)) {
                done = FALSE;
                lstrcpyA(kept, record.path);
            }
        } else if (record.kind == JOURNAL_FOLDER) {
            RemoveDirectoryA(record.path);
        } else if (record.kind == JOURNAL_FILE) {
            DeleteFileA(record.path);
        } else if (!RestoreKept(kept, record.path)) {
            done = FALSE;
            lstrcpyA(kept, record.path);
        }
        if (!done && whole) {
            lstrcpyA(blocker, kept);
            whole = FALSE;
        }
    }
    // The folders of the kept files, emptied now unless a kept file stays. One that can't be
    // removed keeps the journal too: nothing of setup's own stays without it.
    char folder[MAX_PATH];
    for (DWORD group = keptGroups + 1; group > 0; group--) {
        if (!KeptFolder(place, group == 1 ? KEPT_ROOT : group - 2, folder) ||
            PassesThroughLink(folder, checkedKept) || RemoveDirectoryA(folder))
            continue;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && whole) {
            lstrcpyA(blocker, folder);
            whole = FALSE;
        }
    }
    return whole;
}

// Ends the journal of this install after its records were carried out: its file and its record
// go when nothing it names is still needed.
static void CloseJournal(BOOL whole) {
    if (InstallState.journalFile == NULL)
        return;
    CloseHandle(InstallState.journalFile);
    InstallState.journalFile = NULL;
    if (whole && DeleteWhatever(InstallState.journalPlace.journal))
        DeleteRecord(InstallState.recordRoot);
    ForgetJournal();
}

void RollBackInstall(void) {
    if (InstallState.journalFile == NULL)
        return;
    // Records not yet in the file describe changes not made: undoing them finds nothing to undo.
    char blocker[MAX_PATH];
    CloseJournal(Undo(&InstallState.journalPlace, InstallState.journal, InstallState.journalLength,
                      InstallState.keptGroups, blocker));
}

// The files that took the kept ones' places are not flushed first: what a power cut right after
// the commit could take of them is what the discs brought, as with every new file, and what it
// takes with the kept ones is what a completed install discards anyway. A flush per file would
// make a repair install wait on the disk for every file it replaces.
void CommitInstall(void) {
    if (InstallState.journalFile == NULL)
        return;
    // Without the commit on the disk, a setup stopped now would be rolled back by the next.
    if (!Append(JOURNAL_COMMIT, 0, InstallState.journalPlace.folder) || !FlushJournal()) {
        CloseJournal(FALSE);
        return;
    }
    char blocker[MAX_PATH];
    CloseJournal(Undo(&InstallState.journalPlace, InstallState.journal, InstallState.journalLength,
                      InstallState.keptGroups, blocker));
}

// ---- recovery ----

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

// How many bytes of records, at the start of the journal's length bytes, check out and are
// records that the journal of place could have written: its first names the install and place,
// each later one a change it may reach (and not through a directory link), a commit only last.
// 0 when the journal is not that.
static DWORD CheckRecords(const JOURNALPLACE* place, const char* records, DWORD length) {
    JOURNALRECORD record;
    DWORD first = ParseRecord(records, length, &record);
    if (first == 0 || record.kind != JOURNAL_BEGIN || record.number != place->identity ||
        !SamePath(record.path, place->folder))
        return 0;
    DWORD valid = first;
    BOOL committed = FALSE;
    char checked[MAX_PATH];
    char kept[MAX_PATH];
    checked[0] = '\0';
    for (DWORD used; (used = ParseRecord(records + valid, length - valid, &record)) != 0;) {
        BOOL fits = !committed;
        if (record.kind == JOURNAL_COMMIT)
            fits = fits && SamePath(record.path, place->folder);
        else if (record.kind == JOURNAL_VOID)
            fits = fits && IsPlainPath(record.path);
        else if (record.kind == JOURNAL_FOLDER || record.kind == JOURNAL_FILE)
            fits = fits && IsReachable(place, record.kind, record.path) &&
                   !RecordPassesThroughLink(place, record.path, checked);
        else if (record.kind == JOURNAL_KEPT || record.kind == JOURNAL_KEPT_READ_ONLY)
            fits = fits && IsReachable(place, record.kind, record.path) &&
                   KeptPath(place, record.path, record.number, kept) &&
                   !RecordPassesThroughLink(place, record.path, checked) &&
                   !RecordPassesThroughLink(place, kept, checked);
        else
            fits = FALSE;
        if (!fits)
            return 0;
        committed = record.kind == JOURNAL_COMMIT;
        valid += used;
    }
    return valid;
}

// Finishes the journal of place: rolls back the install it describes (or completes its commit)
// and deletes it.
static int RecoverJournal(const JOURNALPLACE* place, char* blocker) {
    char checked[MAX_PATH];
    checked[0] = '\0';
    lstrcpyA(blocker, place->journal);
    if (PassesThroughLink(place->journal, checked))
        return RECOVERY_REFUSED;
    if (GetFileAttributesA(place->journal) == INVALID_FILE_ATTRIBUTES) {
        // Never made (the setup stopped before), or deleted by hand: nothing to act on.
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RECOVERY_DONE
                                                                              : RECOVERY_BLOCKED;
    }
    char* records;
    DWORD length;
    if (!ReadJournal(place->journal, &records, &length))
        return RECOVERY_BLOCKED;
    BOOL lines = FALSE;
    for (DWORD i = 0; i < length && !lines; i++)
        lines = records[i] == '\n';
    int result = RECOVERY_DONE;
    if (lines) {
        // A journal without a whole line was stopped while its first record was being written,
        // before anything was done (that record is flushed alone): it only goes. One that is not
        // the record's is left as it is: nothing is undone on its word.
        DWORD valid = CheckRecords(place, records, length);
        if (valid == 0)
            result = RECOVERY_REFUSED;
        else if (!Undo(place, records, valid, 0, blocker))
            result = RECOVERY_BLOCKED;
    }
    HeapFree(GetProcessHeap(), 0, records);
    if (result == RECOVERY_DONE && !DeleteWhatever(place->journal)) {
        lstrcpyA(blocker, place->journal);
        result = RECOVERY_BLOCKED;
    }
    return result;
}

int RecoverInterruptedInstall(char* blocker) {
    blocker[0] = '\0';
    HKEY root = RecordRoot();
    HKEY key;
    if (RegOpenKeyExA(root, SetupRecordKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return RECOVERY_DONE;
    JOURNALPLACE place;
    DWORD type = 0;
    DWORD size = sizeof(place.identity);
    BOOL named =
        GetText(key, RecordJournal, place.journal) && GetText(key, RecordFolder, place.folder) &&
        RegQueryValueExA(key, RecordIdentity, NULL, &type, (LPBYTE)&place.identity, &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(place.identity);
    GetText(key, "Programs", place.programs);
    GetText(key, "Desktop", place.desktop);
    RegCloseKey(key);
    int result = RECOVERY_DONE;
    if (named) {
        // The journal lies in the install folder or above it, under setup's name.
        char folder[MAX_PATH];
        char name[40];
        JournalFolder(&place, folder);
        SetupName(name, place.identity);
        lstrcatA(name, JournalSuffix);
        if (!IsPlainPath(place.journal) || !IsPlainPath(place.folder) ||
            !IsWithin(place.folder, folder, FALSE) || !SamePath(LastName(place.journal), name)) {
            lstrcpyA(blocker, place.journal);
            return RECOVERY_REFUSED;
        }
        result = RecoverJournal(&place, blocker);
    }
    // A record without its journal's name was being written when the setup stopped: nothing was
    // changed on its word yet.
    if (result == RECOVERY_DONE)
        DeleteRecord(root);
    return result;
}

#include "carry_out.h"

#include "../base/heap_block.h"
#include "../base/paths.h"
#include "reach.h"
#include "records.h"

typedef BOOL(WINAPI* GETFILEINFORMATIONBYHANDLEEX)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                   LPVOID information, DWORD size);

// Whether the file at path has more than one name (a hard link). FALSE when it can't be told.
static BOOL HasOtherNames(const char* path) {
    // Windows 95, 98 and ME give a file one name only.
    if ((GetVersion() & 0x80000000) != 0)
        return FALSE;
    HANDLE file = CreateFileA(
        path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    // From Windows Vista on, the number of names alone: GetFileInformationByHandle asks the
    // volume for its serial number too, which under Wine is a request to another process, for
    // each file a commit deletes.
    FARPROC found =
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx");
    GETFILEINFORMATIONBYHANDLEEX informationEx =
        (GETFILEINFORMATIONBYHANDLEEX)(void (*)(void))found;
    BOOL others;
    if (informationEx != NULL) {
        FILE_STANDARD_INFO standard;
        others = informationEx(file, FileStandardInfo, &standard, sizeof(standard)) &&
                 standard.NumberOfLinks > 1;
    } else {
        BY_HANDLE_FILE_INFORMATION information;
        others = GetFileInformationByHandle(file, &information) && information.nNumberOfLinks > 1;
    }
    CloseHandle(file);
    return others;
}

// The file at path, opened to be held: while it is, no one renames it, deletes it or puts
// another file in its place (it is open to be read and shares no deleting). NULL unless it is a
// plain file with that one name: no folder, no link of either kind, no name of a file that has
// others (whose attributes are those other names' too).
static HANDLE HoldPlainFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        information.nNumberOfLinks == 1)
        return file;
    CloseHandle(file);
    return NULL;
}

BOOL DeleteWhatever(const char* path) {
    if (DeleteFileA(path))
        return TRUE;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return TRUE;
    if (error != ERROR_ACCESS_DENIED)
        return FALSE;
    // Read-only, or no file (a folder, a directory link). Windows 95, 98 and ME have no links,
    // and let anyone change anything.
    if ((GetVersion() & 0x80000000) != 0) {
        DWORD attributes = GetFileAttributesA(path);
        return attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
               SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) && DeleteFileA(path);
    }
    // A plain file is made writable while it is held, so that the attributes changed are those
    // of the file that was looked at, not of whatever someone put at its name since, nor of what
    // a link there leads to.
    HANDLE held = HoldPlainFile(path);
    if (held == NULL)
        return FALSE;
    BOOL writable = SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    CloseHandle(held);
    return writable && DeleteFileA(path);
}

// The size and the time of last change alone: GetFileInformationByHandle would ask the volume
// for its serial number too, which under Wine is a request to the mount manager, another process,
// for each file the copy writes or a rollback looks at.
BOOL StampOfHandle(HANDLE file, FILESTAMP* stamp) {
    DWORD sizeHigh = 0;
    DWORD sizeLow = GetFileSize(file, &sizeHigh);
    if (sizeLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return FALSE;
    FILETIME written;
    if (!GetFileTime(file, NULL, NULL, &written))
        return FALSE;
    stamp->size = (ULONGLONG)sizeHigh << 32 | sizeLow;
    stamp->written = (ULONGLONG)written.dwHighDateTime << 32 | written.dwLowDateTime;
    return TRUE;
}

BOOL StampOfPath(const char* path, FILESTAMP* stamp) {
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL read = StampOfHandle(file, stamp);
    CloseHandle(file);
    return read;
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

// What the records say of a file setup made at a path, for the record that made it.
#define MADE_UNTOLD 0 // nothing: setup may have stopped before it made the file
#define MADE_BEGUN 1  // setup made it and was writing it
#define MADE_WHOLE 2  // setup made it whole, as stamp says
typedef struct {
    int state;
    FILESTAMP stamp;
} MADEFILE;

// A run of a journal's records being carried out, newest first.
typedef struct {
    const JOURNALPLACE* place;
    const char* records;
    DWORD length;
    DWORD start;      // where the record last met begins
    DWORD keptGroups; // the folders of kept files the records name, at least
    // The paths of void records met so far, one after the other, for the records they take back:
    // a block of the process heap (voidedRoom bytes, voidedLength of them used), made when the
    // first is met. However many there are, none is dropped: the record it takes back would be
    // undone, a file of someone else's deleted.
    char* voided;
    DWORD voidedLength;
    DWORD voidedRoom;
    // The files that begun and written records met so far say setup made, for the record of
    // each that made it, which comes before them (MADEFILE entries, each followed by its path
    // and NUL), in a block of the process heap as voided is.
    char* made;
    DWORD madeLength;
    DWORD madeRoom;
    // A rollback: the made ones are gathered, and each record's own path is held for its act. A
    // commit touches the kept files alone.
    BOOL tellsMade;
    LINKWALK walk;
    BOOL whole;    // nothing the journal names is still needed
    char* blocker; // what is in the way, when not whole
} CARRYOUT;

static void BeginCarryOut(CARRYOUT* run, const JOURNALPLACE* place, const char* records,
                          DWORD length, DWORD keptGroups, char* blocker, BOOL tellsMade) {
    run->place = place;
    run->records = records;
    run->length = length;
    run->start = length;
    run->keptGroups = keptGroups;
    run->voided = NULL;
    run->voidedLength = 0;
    run->voidedRoom = 0;
    run->made = NULL;
    run->madeLength = 0;
    run->madeRoom = 0;
    run->tellsMade = tellsMade;
    BeginLinkWalk(&run->walk);
    run->whole = TRUE;
    run->blocker = blocker;
}

// The journal is still needed: inTheWay is what keeps it, unless something came first.
static void KeepJournal(CARRYOUT* run, const char* inTheWay) {
    if (!run->whole)
        return;
    lstrcpyA(run->blocker, inTheWay);
    run->whole = FALSE;
}

// Adds path to the voided ones. FALSE when the heap has no room for it.
static BOOL NoteVoided(CARRYOUT* run, const char* path) {
    DWORD bytes = (DWORD)lstrlenA(path) + 1;
    if (!GrowBlock(&run->voided, &run->voidedRoom, run->voidedLength + bytes, 4 * MAX_PATH))
        return FALSE;
    CopyMemory(run->voided + run->voidedLength, path, bytes);
    run->voidedLength += bytes;
    return TRUE;
}

// Whether the newest record of a path among the voided ones marks this one: it then is taken
// off the list.
static BOOL TakeVoided(CARRYOUT* run, const char* path) {
    char* voided = run->voided;
    for (DWORD at = 0; at < run->voidedLength;) {
        DWORD length = (DWORD)lstrlenA(voided + at) + 1;
        if ((int)length == lstrlenA(path) + 1 && SameLetters(voided + at, path, (int)length - 1)) {
            // The paths after it move up over it.
            for (DWORD from = at + length; from < run->voidedLength; from++)
                voided[from - length] = voided[from];
            run->voidedLength -= length;
            return TRUE;
        }
        at += length;
    }
    return FALSE;
}

// Adds what a begun or written record says of the file at its path to the made ones: a written
// one as it stands, a begun one unless the file's written record came first (it is then told
// already). FALSE when the heap has no room for it.
static BOOL NoteMade(CARRYOUT* run, const JOURNALRECORD* record) {
    int length = lstrlenA(record->path);
    if (record->kind == JOURNAL_BEGUN) {
        for (DWORD at = 0; at < run->madeLength;) {
            const char* path = run->made + at + sizeof(MADEFILE);
            int pathLength = lstrlenA(path);
            if (pathLength == length && SameLetters(path, record->path, length))
                return TRUE;
            at += sizeof(MADEFILE) + (DWORD)pathLength + 1;
        }
    }
    DWORD bytes = sizeof(MADEFILE) + (DWORD)length + 1;
    if (!GrowBlock(&run->made, &run->madeRoom, run->madeLength + bytes, 16 * MAX_PATH))
        return FALSE;
    MADEFILE file;
    file.state = record->kind == JOURNAL_WRITTEN ? MADE_WHOLE : MADE_BEGUN;
    file.stamp = record->stamp;
    CopyMemory(run->made + run->madeLength, &file, sizeof(file));
    CopyMemory(run->made + run->madeLength + sizeof(file), record->path, length + 1);
    run->madeLength += bytes;
    return TRUE;
}

// What the made ones say of the file that the record of path made: the one met last of its
// path, taken off the list; MADE_UNTOLD when none.
static void TakeMade(CARRYOUT* run, const char* path, MADEFILE* file) {
    file->state = MADE_UNTOLD;
    int length = lstrlenA(path);
    DWORD found = run->madeLength;
    DWORD foundBytes = 0;
    for (DWORD at = 0; at < run->madeLength;) {
        const char* name = run->made + at + sizeof(MADEFILE);
        int nameLength = lstrlenA(name);
        DWORD bytes = sizeof(MADEFILE) + (DWORD)nameLength + 1;
        if (nameLength == length && SameLetters(name, path, length)) {
            found = at;
            foundBytes = bytes;
        }
        at += bytes;
    }
    if (found == run->madeLength)
        return;
    CopyMemory(file, run->made + found, sizeof(*file));
    for (DWORD from = found + foundBytes; from < run->madeLength; from++)
        run->made[from - foundBytes] = run->made[from];
    run->madeLength -= foundBytes;
}

// The next change to carry out, newest first: a folder, a file or a kept file of the journal
// that no void record takes back and that it may touch (MayTouch), with its kept path in kept
// (MAX_PATH bytes). One it may not touch is passed over; when it keeps a file, the journal stays.
// FALSE when no record is left.
static BOOL NextChange(CARRYOUT* run, JOURNALRECORD* record, char* kept, MADEFILE* made) {
    while (run->start > 0) {
        run->start = LineBefore(run->records, run->start);
        if (ParseRecord(run->records + run->start, run->length - run->start, record) == 0)
            continue;
        BOOL noted = TRUE;
        if (record->kind == JOURNAL_VOID)
            noted = NoteVoided(run, record->path);
        else if (run->tellsMade &&
                 (record->kind == JOURNAL_BEGUN || record->kind == JOURNAL_WRITTEN))
            noted = NoteMade(run, record);
        if (!noted) {
            // Which record it speaks of could not be told: nothing more is carried out, and the
            // journal stays for the next setup.
            KeepJournal(run, run->place->journal);
            run->start = 0;
            return FALSE;
        }
        BOOL keeps = KeepsAFile(record->kind);
        if (record->kind != JOURNAL_FOLDER && record->kind != JOURNAL_FILE && !keeps)
            continue;
        DWORD group = (record->number - 1) / KEPT_PER_FOLDER;
        if (keeps && record->number > 0 && group >= run->keptGroups)
            run->keptGroups = group + 1;
        made->state = MADE_UNTOLD;
        if (run->tellsMade && record->kind != JOURNAL_FOLDER)
            TakeMade(run, record->path, made);
        if (TakeVoided(run, record->path))
            continue;
        // A record that could not be made, or that would reach through a link, is not carried
        // out; a kept file it names keeps the journal.
        BOOL may = run->tellsMade ? MayTouch(run->place, record->kind, record->path, record->number,
                                             &run->walk, kept)
                                  : MayCommit(run->place, record->kind, record->path,
                                              record->number, &run->walk, kept);
        if (may) {
            if (!run->walk.gone)
                return TRUE;
            // The folder of its path is not there: nothing to undo, and no kept file can come
            // back to it. Whatever made it there now is not the folder that was looked at.
            if (keeps && GetFileAttributesA(kept) != INVALID_FILE_ATTRIBUTES)
                KeepJournal(run, record->path);
            continue;
        }
        if (keeps)
            KeepJournal(run, record->path);
    }
    return FALSE;
}

// Ends the run: the folders of the kept files go, emptied now unless a kept file stays. One that
// can't be removed keeps the journal too: nothing of setup's own stays without it. Only one that
// is not empty though every kept file is dealt with stays without it: what it holds is no file
// of setup's (each kept one was written ahead), but one another user put there, left as it is.
// TRUE when the journal is no longer needed.
static BOOL EndCarryOut(CARRYOUT* run) {
    EndLinkWalk(&run->walk);
    if (run->voided != NULL)
        HeapFree(GetProcessHeap(), 0, run->voided);
    if (run->made != NULL)
        HeapFree(GetProcessHeap(), 0, run->made);
    char folder[MAX_PATH];
    for (DWORD group = run->keptGroups + 1; group > 0; group--) {
        if (!KeptFolder(run->place, group == 1 ? KEPT_ROOT : group - 2, folder) ||
            PassesThroughLink(folder, run->walk.kept) || RemoveDirectoryA(folder))
            continue;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
            error != ERROR_DIR_NOT_EMPTY)
            KeepJournal(run, folder);
    }
    return run->whole;
}

BOOL IsCommitted(const char* records, DWORD length) {
    JOURNALRECORD record;
    DWORD last = length > 0 ? LineBefore(records, length) : 0;
    return length > 0 && ParseRecord(records + last, length - last, &record) != 0 &&
           record.kind == JOURNAL_COMMIT;
}

// What is done with one change of a run: TRUE when the journal no longer needs it, FALSE when the
// file it names stays in the way.
typedef BOOL (*CHANGEACT)(const JOURNALRECORD* record, const char* kept, const MADEFILE* made);

// Carries out the changes of place's records, newest first, with act (told what the records say
// of each file setup made, where tellsMade); then the kept files' folders go.
static BOOL CarryOut(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                     char* blocker, CHANGEACT act, BOOL tellsMade) {
    CARRYOUT run;
    BeginCarryOut(&run, place, records, length, keptGroups, blocker, tellsMade);
    JOURNALRECORD record;
    char kept[MAX_PATH];
    MADEFILE made;
    while (NextChange(&run, &record, kept, &made)) {
        if (!act(&record, kept, &made))
            KeepJournal(&run, record.path);
    }
    return EndCarryOut(&run);
}

// Whether a file of stamp now is the one setup made, as made says (IsAsSetupMadeIt).
static BOOL IsStampSetups(const FILESTAMP* now, const MADEFILE* made) {
    if (now->size == 0 || made->state == MADE_BEGUN)
        return TRUE;
    return made->state == MADE_WHOLE && now->size == made->stamp.size &&
           now->written == made->stamp.written;
}

// Whether the file at path is still the one setup made there, as made says: whole and
// unchanged since (its size and time of last change those of its written record), or being
// made when setup stopped (begun, never whole). A file that holds nothing is taken as setup's
// too: nothing of anyone's goes with it, and it is what a power cut leaves of a file setup was
// writing. Any other file stays: one that someone changed since, or one that no record says
// setup began (the record was written ahead, and setup stopped before it made the file, which
// someone made after). FALSE, too, when it is not there or can't be looked at.
static BOOL IsAsSetupMadeIt(const char* path, const MADEFILE* made) {
    FILESTAMP now;
    return StampOfPath(path, &now) && IsStampSetups(&now, made);
}

// Whether a kept file may come back to path: nothing is there, or what is there is as setup
// made it, or the kept file is not there to come back (what is there stays). The file at path is
// looked at first, so that the common case, setup's file there, costs one look.
static BOOL MayComeBack(const char* kept, const char* path, const MADEFILE* made) {
    FILESTAMP now;
    if (StampOfPath(path, &now)) {
        if (IsStampSetups(&now, made))
            return TRUE;
    } else {
        // Not there, unless it is a name that leads nowhere (a link to nothing): that is no
        // file of setup's either.
        DWORD error = GetLastError();
        if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
            GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
            return TRUE;
    }
    // Someone else's file, or one that can't be looked at (a folder, one held open).
    return GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES;
}

// The rollback of one change: a folder the install made goes (one that can't, or that holds what
// stays, stays), a file it made goes while it is as setup made it, a kept file comes back. A kept
// file comes back only over the file setup made in its place: one that someone wrote there
// since (the player's newer save) is no more setup's to delete than the kept one is to drop, and
// both stay, with the journal, until the player has moved that one away.
static BOOL UndoChange(const JOURNALRECORD* record, const char* kept, const MADEFILE* made) {
    if (record->kind == JOURNAL_FOLDER)
        RemoveDirectoryA(record->path);
    else if (record->kind == JOURNAL_FILE) {
        if (IsAsSetupMadeIt(record->path, made))
            DeleteFileA(record->path);
    } else {
        return MayComeBack(kept, record->path, made) && RestoreKept(kept, record->path);
    }
    return TRUE;
}

// The commit of one change: a kept file goes, made writable first when it is read-only (a delete
// of it would only fail). A kept file with another name (a hard link) is another program's file
// too: its attributes stay as they are, and a name of it that can't go then stays in the kept
// files' folder without keeping the journal.
static BOOL DeleteKeptFile(const JOURNALRECORD* record, const char* kept, const MADEFILE* made) {
    (void)made;
    if (!KeepsAFile(record->kind))
        return TRUE;
    if (HasOtherNames(kept)) {
        DeleteFileA(kept);
        return TRUE;
    }
    if (record->kind == JOURNAL_KEPT_READ_ONLY)
        SetFileAttributesA(kept, FILE_ATTRIBUTE_NORMAL);
    return DeleteWhatever(kept);
}

BOOL RollBackRecords(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                     char* blocker) {
    return CarryOut(place, records, length, keptGroups, blocker, UndoChange, TRUE);
}

BOOL DeleteKeptFiles(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                     char* blocker) {
    return CarryOut(place, records, length, keptGroups, blocker, DeleteKeptFile, FALSE);
}

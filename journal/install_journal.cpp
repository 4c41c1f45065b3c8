#include "install_journal.h"

#include "../base/heap_block.h"
#include "../base/install_state.h"
#include "../base/paths.h"
#include "carry_out.h"
#include "journal_state.h"
#include "own_place.h"
#include "reach.h"
#include "setup_entry.h"
#include "setup_names.h"

// The records the finishing steps may write after the last disc: the program group's two
// folders and five links, each begun, written and perhaps voided, and the commit.
#define FINISHING_RECORDS 24

static BOOL AppendStamped(char kind, DWORD number, const FILESTAMP* stamp, const char* path) {
    if (JournalState.file == NULL || lstrlenA(path) >= MAX_PATH ||
        !GrowBlock(&JournalState.records, &JournalState.room,
                   JournalState.length + RECORD_MAX_BYTES, JOURNAL_FIRST_BYTES))
        return FALSE;
    JournalState.length +=
        FormatRecord(JournalState.records + JournalState.length, kind, number, stamp, path);
    return TRUE;
}

static BOOL Append(char kind, DWORD number, const char* path) {
    return AppendStamped(kind, number, NULL, path);
}

static void ForgetJournal(void) {
    if (JournalState.file != NULL)
        CloseHandle(JournalState.file);
    JournalState.file = NULL;
    if (JournalState.records != NULL)
        HeapFree(GetProcessHeap(), 0, JournalState.records);
    JournalState.records = NULL;
    JournalState.length = 0;
    JournalState.room = 0;
    JournalState.written = 0;
    JournalState.flushed = 0;
    EndLinkWalk(&JournalState.walk);
}

BOOL OpenJournal(void) {
    JOURNALPLACE* place = &JournalState.place;
    char folder[MAX_PATH];
    if (!IsPlainPath(InstallState.installDir))
        return FALSE;
    // Where the volume keeps access lists, in setup's own folder, which no one else may change;
    // elsewhere beside the install.
    if (!ChooseJournalFolder(InstallState.installDir, place->base))
        return FALSE;
    int own = PrepareOwnFolder(InstallState.installDir, folder);
    if (own == OWN_FOLDER_REFUSED)
        return FALSE;
    if (own == OWN_FOLDER_NONE)
        lstrcpyA(folder, place->base);
    lstrcpyA(place->folder, InstallState.installDir);
    place->programs[0] = '\0';
    place->desktop[0] = '\0';
    // An identity no other install here has: its journal and its kept files' folder are not
    // there yet. It need not be secret, only setup's own.
    DWORD identity = GetTickCount() * 2654435761u ^ GetCurrentThreadId() * 40503u;
    char kept[MAX_PATH];
    for (int tries = 0;; tries++, identity++) {
        if (tries == 16) {
            LeaveOwnFolder(place);
            return FALSE;
        }
        if (identity == 0)
            continue;
        place->identity = identity;
        char name[40];
        JournalName(name, identity);
        lstrcpyA(place->journal, folder);
        if (!AppendName(place->journal, name) || !KeptFolder(place, KEPT_ROOT, kept)) {
            LeaveOwnFolder(place);
            return FALSE;
        }
        if (GetFileAttributesA(place->journal) == INVALID_FILE_ATTRIBUTES &&
            GetFileAttributesA(kept) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    if (!WriteSetupEntry(place, &JournalState.entryRoot)) {
        LeaveOwnFolder(place);
        return FALSE;
    }
    HANDLE file = CreateFileA(place->journal, GENERIC_WRITE, 0, NULL, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteSetupEntry(JournalState.entryRoot);
        LeaveOwnFolder(place);
        return FALSE;
    }
    JournalState.file = file;
    JournalState.written = 0;
    JournalState.flushed = 0;
    JournalState.keptFiles = 0;
    JournalState.keptGroups = 0;
    BeginLinkWalk(&JournalState.walk);
    if (Append(JOURNAL_BEGIN, identity, place->folder) && FlushJournal())
        return TRUE;
    ForgetJournal();
    DeleteFileA(place->journal);
    DeleteSetupEntry(JournalState.entryRoot);
    LeaveOwnFolder(place);
    return FALSE;
}

BOOL JournalIsOpen(void) {
    return JournalState.file != NULL;
}

// What a record may touch is checked as the rollback will check it: nothing is made that it would
// have to leave.
BOOL WriteAhead(char kind, const char* path) {
    char kept[MAX_PATH];
    return MayTouch(&JournalState.place, kind, path, 0, &JournalState.walk, kept) &&
           !JournalState.walk.gone && Append(kind, 0, path);
}

BOOL WriteAheadKept(const char* path, BOOL readOnly, char* kept, DWORD* number) {
    DWORD next = JournalState.keptFiles + 1;
    char kind = readOnly ? JOURNAL_KEPT_READ_ONLY : JOURNAL_KEPT;
    if (!MayTouch(&JournalState.place, kind, path, next, &JournalState.walk, kept) ||
        JournalState.walk.gone || !Append(kind, next, path))
        return FALSE;
    JournalState.keptFiles = next;
    if (number != NULL)
        *number = next;
    return TRUE;
}

// Makes the folder of setup's own that kept file number goes into, when it is not there yet.
static BOOL PrepareKept(DWORD number) {
    const JOURNALPLACE* place = &JournalState.place;
    char folder[MAX_PATH];
    while (JournalState.keptGroups <= (number - 1) / KEPT_PER_FOLDER) {
        if (JournalState.keptGroups == 0 &&
            (!KeptFolder(place, KEPT_ROOT, folder) || !CreateDirectoryA(folder, NULL)))
            return FALSE;
        if (!KeptFolder(place, JournalState.keptGroups, folder) || !CreateDirectoryA(folder, NULL))
            return FALSE;
        JournalState.keptGroups++;
    }
    return TRUE;
}

int MakeRecordedFolder(const char* path) {
    if (!FlushJournal())
        return CHANGE_UNRECORDED;
    if (CreateDirectoryA(path, NULL))
        return CHANGE_MADE;
    VoidRecord(path);
    return CHANGE_FAILED;
}

int MoveRecordedFileAside(const char* path, const char* kept, DWORD number) {
    if (!FlushJournal())
        return CHANGE_UNRECORDED;
    if ((!IsKeptInKeptFolder(&JournalState.place, path) || PrepareKept(number)) &&
        MoveFileA(path, kept))
        return CHANGE_MADE;
    VoidRecord(path);
    return CHANGE_FAILED;
}

// Writes what was written down to the journal's file, without a flush: a setup killed after it
// leaves it in the file (the system writes it to the disk in its time), which a power cut may
// take.
static BOOL WriteJournalOut(void) {
    if (JournalState.file == NULL)
        return FALSE;
    if (JournalState.written == JournalState.length)
        return TRUE;
    DWORD bytes = JournalState.length - JournalState.written;
    DWORD put = 0;
    if (!WriteFile(JournalState.file, JournalState.records + JournalState.written, bytes, &put,
                   NULL) ||
        put != bytes) {
        // What part of it went is written over by the next try, which writes all of it again.
        SetFilePointer(JournalState.file, (LONG)JournalState.written, NULL, FILE_BEGIN);
        return FALSE;
    }
    JournalState.written = JournalState.length;
    return TRUE;
}

BOOL FlushJournal(void) {
    if (!WriteJournalOut())
        return FALSE;
    if (JournalState.flushed == JournalState.written)
        return TRUE;
    if (!FlushFileBuffers(JournalState.file))
        return FALSE;
    JournalState.flushed = JournalState.written;
    return TRUE;
}

// A file's begun and written records are written out, not flushed: a flush per file would make
// the copy of a game of many small files wait on the disk for each. What a power cut takes of
// them leaves the file to its rule (carry_out.cpp): one that holds nothing goes, one that holds
// something stays.
BOOL NoteFileBegun(const char* path) {
    return Append(JOURNAL_BEGUN, 0, path) && WriteJournalOut();
}

void NoteFileWritten(const char* path, const FILESTAMP* stamp) {
    if (AppendStamped(JOURNAL_WRITTEN, 0, stamp, path))
        WriteJournalOut();
}

void VoidRecord(const char* path) {
    if (Append(JOURNAL_VOID, 0, path))
        FlushJournal();
}

DWORD JournalMark(void) {
    return JournalState.length;
}

void DropPlanned(DWORD from, DWORD to) {
    // Not yet in the file (the batch's flush failed, and nothing came after them): forgotten,
    // and so are their kept files' numbers, which the next kept file takes: the numbers in the
    // file run on without a gap.
    if (from >= JournalState.written && to == JournalState.length) {
        JOURNALRECORD record;
        for (DWORD at = from; at < to;) {
            DWORD used = ParseRecord(JournalState.records + at, to - at, &record);
            if (used == 0)
                break;
            if (KeepsAFile(record.kind))
                JournalState.keptFiles--;
            at += used;
        }
        JournalState.length = from;
        return;
    }
    // In the file, where a later setup finds nothing of theirs to undo: crossed out here, their
    // lines no longer check out, and the rollback passes over them.
    for (DWORD at = from; at < to; at++) {
        if (at == from || JournalState.records[at - 1] == '\n')
            JournalState.records[at] = '-';
    }
}

BOOL NoteLinkFolder(const char* name, const char* folder) {
    if (JournalState.file == NULL || !IsPlainPath(folder) ||
        !NoteSetupEntryFolder(JournalState.entryRoot, name, folder))
        return FALSE;
    JOURNALPLACE* place = &JournalState.place;
    lstrcpyA(lstrcmpA(name, "Programs") == 0 ? place->programs : place->desktop, folder);
    return TRUE;
}

BOOL ReserveJournalRoom(void) {
    if (!FlushJournal())
        return FALSE;
    static const char zeros[RECORD_MAX_BYTES] = {0};
    DWORD put = 0;
    for (int i = 0; i < FINISHING_RECORDS; i++) {
        if (!WriteFile(JournalState.file, zeros, RECORD_MAX_BYTES, &put, NULL) ||
            put != RECORD_MAX_BYTES)
            return FALSE;
    }
    if (!FlushFileBuffers(JournalState.file) ||
        SetFilePointer(JournalState.file, (LONG)JournalState.written, NULL, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER)
        return FALSE;
    return TRUE;
}

// Ends the journal of this install after its records were carried out: its file and its entry
// go when nothing it names is still needed.
static void CloseJournal(BOOL whole) {
    if (JournalState.file == NULL)
        return;
    CloseHandle(JournalState.file);
    JournalState.file = NULL;
    if (whole && DeleteWhatever(JournalState.place.journal)) {
        DeleteSetupEntry(JournalState.entryRoot);
        LeaveOwnFolder(&JournalState.place);
    }
    ForgetJournal();
}

void RollBackInstall(void) {
    if (JournalState.file == NULL)
        return;
    // Records not yet in the file describe changes not made: undoing them finds nothing to undo.
    // The install's last folder is let go: the rollback may remove it.
    EndLinkWalk(&JournalState.walk);
    char blocker[MAX_PATH];
    CloseJournal(RollBackRecords(&JournalState.place, JournalState.records, JournalState.length,
                                 JournalState.keptGroups, blocker));
}

// The files that took the kept ones' places are not flushed first: what a power cut right after
// the commit could take of them is what the discs brought, as with every new file, and what it
// takes with the kept ones is what a completed install discards anyway. A flush per file would
// make a repair install wait on the disk for every file it replaces.
void CommitInstall(void) {
    if (JournalState.file == NULL)
        return;
    // Without the commit on the disk, a setup stopped now would be rolled back by the next.
    if (!Append(JOURNAL_COMMIT, 0, JournalState.place.folder) || !FlushJournal()) {
        CloseJournal(FALSE);
        return;
    }
    EndLinkWalk(&JournalState.walk);
    char blocker[MAX_PATH];
    CloseJournal(DeleteKeptFiles(&JournalState.place, JournalState.records, JournalState.length,
                                 JournalState.keptGroups, blocker));
}

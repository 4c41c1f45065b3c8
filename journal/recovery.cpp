#include "recovery.h"

#include "../base/heap_block.h"
#include "../base/paths.h"
#include "carry_out.h"
#include "own_place.h"
#include "reach.h"
#include "records.h"
#include "setup_entry.h"
#include "setup_names.h"

// Reads the journal at path into a block of the process heap. FALSE when it can't be read
// whole.
static BOOL ReadJournal(const char* path, char** records, DWORD* length) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    char* block = NULL;
    DWORD room = 0;
    DWORD used = 0;
    BOOL read = TRUE;
    while (read) {
        if (!GrowBlock(&block, &room, used + 1, JOURNAL_FIRST_BYTES)) {
            read = FALSE;
            break;
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
// each later one a change it may reach (and not through a directory link), a commit only last;
// the kept files numbered 1, 2, 3... in the order of their records, every other record
// numbered 0. 0 when the journal is not that: nothing of it is carried out, and no loop over
// what it names runs further than its records go. keptOnly: by the commit's rule (MayCommit),
// which looks for links on the way to the kept files alone.
static DWORD CheckRecords(const JOURNALPLACE* place, const char* records, DWORD length,
                          BOOL keptOnly) {
    JOURNALRECORD record;
    DWORD first = ParseRecord(records, length, &record);
    if (first == 0 || record.kind != JOURNAL_BEGIN || record.number != place->identity ||
        !SamePath(record.path, place->folder))
        return 0;
    DWORD valid = first;
    BOOL committed = FALSE;
    LINKWALK walk;
    BeginLinkWalk(&walk);
    char kept[MAX_PATH];
    DWORD keptFiles = 0;
    for (DWORD used; (used = ParseRecord(records + valid, length - valid, &record)) != 0;) {
        BOOL keeps = KeepsAFile(record.kind);
        BOOL fits = !committed && record.number == (keeps ? keptFiles + 1 : 0);
        if (record.kind == JOURNAL_COMMIT)
            fits = fits && SamePath(record.path, place->folder);
        else if (record.kind == JOURNAL_VOID)
            fits = fits && IsPlainPath(record.path) && !HoldsSetupName(record.path);
        else if (record.kind == JOURNAL_FOLDER || record.kind == JOURNAL_FILE || keeps)
            fits = fits && (keptOnly ? MayCommit : MayTouch)(place, record.kind, record.path,
                                                             record.number, &walk, kept);
        else if (record.kind == JOURNAL_BEGUN || record.kind == JOURNAL_WRITTEN)
            fits = fits && (keptOnly ? MayCommit : MayTouch)(place, JOURNAL_FILE, record.path, 0,
                                                             &walk, kept);
        else
            fits = FALSE;
        if (!fits) {
            EndLinkWalk(&walk);
            return 0;
        }
        if (keeps)
            keptFiles++;
        committed = record.kind == JOURNAL_COMMIT;
        valid += used;
    }
    EndLinkWalk(&walk);
    // A line that is whole and checks out, yet is no record setup writes, is no torn last line.
    return ChecksOut(records + valid, length - valid) ? 0 : valid;
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
        // the entry's is left as it is: nothing is undone on its word.
        // A committed journal needs no more than its kept files: the rest of the machine is
        // looked at only for a rollback.
        DWORD valid = CheckRecords(place, records, length, TRUE);
        if (valid != 0 && !IsCommitted(records, valid))
            valid = CheckRecords(place, records, length, FALSE);
        if (valid == 0) {
            result = RECOVERY_REFUSED;
        } else {
            // A commit that was stopped is finished; anything else is rolled back.
            BOOL finished = IsCommitted(records, valid)
                                ? DeleteKeptFiles(place, records, valid, 0, blocker)
                                : RollBackRecords(place, records, valid, 0, blocker);
            if (!finished)
                result = RECOVERY_BLOCKED;
        }
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
    HKEY root = SetupEntryRoot();
    if (root == NULL)
        return RECOVERY_UNREGISTERED;
    JOURNALPLACE place;
    int entry = ReadSetupEntry(root, &place);
    if (entry == SETUP_ENTRY_NONE)
        return RECOVERY_DONE;
    int result = RECOVERY_DONE;
    if (entry == SETUP_ENTRY_NAMED) {
        int where = NamesInstallFolder(place.folder) ? CheckJournalPlace(&place) : OWN_FOLDER_NONE;
        if (where != OWN_FOLDER_SOUND) {
            if (where == OWN_FOLDER_REFUSED) {
                JournalFolder(&place, blocker);
                return RECOVERY_PLACE_REFUSED;
            }
            lstrcpyA(blocker, place.journal);
            return RECOVERY_REFUSED;
        }
        result = RecoverJournal(&place, blocker);
    }
    // An entry without its journal's name was being written when the setup stopped: nothing was
    // changed on its word yet.
    if (result == RECOVERY_DONE) {
        DeleteSetupEntry(root);
        if (entry == SETUP_ENTRY_NAMED)
            LeaveOwnFolder(&place);
    }
    return result;
}

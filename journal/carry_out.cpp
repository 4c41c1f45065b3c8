#include "carry_out.h"

#include "../base/paths.h"
#include "reach.h"
#include "records.h"

BOOL DeleteWhatever(const char* path) {
    if (DeleteFileA(path))
        return TRUE;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return TRUE;
    return error == ERROR_ACCESS_DENIED && SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) &&
           DeleteFileA(path);
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

BOOL Undo(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
          char* blocker) {
    JOURNALRECORD record;
    DWORD last = length > 0 ? LineBefore(records, length) : 0;
    BOOL committed = length > 0 && ParseRecord(records + last, length - last, &record) != 0 &&
                     record.kind == JOURNAL_COMMIT;
    // The paths of void records, for the records they take back; few if any.
    char voided[4 * MAX_PATH];
    DWORD voidedLength = 0;
    LINKWALK walk;
    walk.paths[0] = '\0';
    walk.kept[0] = '\0';
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
        BOOL keeps = KeepsAFile(record.kind);
        if (record.kind != JOURNAL_FOLDER && record.kind != JOURNAL_FILE && !keeps)
            continue;
        if (keeps && record.number > 0 && (record.number - 1) / KEPT_PER_FOLDER >= keptGroups)
            keptGroups = (record.number - 1) / KEPT_PER_FOLDER + 1;
        if (TakeVoided(voided, &voidedLength, record.path))
            continue;
        char kept[MAX_PATH];
        // A record that could not be made, or that would reach through a link, is not carried
        // out; a kept file it names keeps the journal.
        if (!MayTouch(place, record.kind, record.path, record.number, &walk, kept)) {
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
            PassesThroughLink(folder, walk.kept) || RemoveDirectoryA(folder))
            continue;
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && whole) {
            lstrcpyA(blocker, folder);
            whole = FALSE;
        }
    }
    return whole;
}

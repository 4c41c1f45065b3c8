#pragma once

#include <windows.h>

#include "records.h"
#include "setup_names.h"

// Carrying out a journal's records: the rollback, which undoes them, and the end of a commit,
// which deletes the files the install kept.

// Deletes a file of setup's own, or one it kept, whatever its attributes. TRUE when it is gone,
// or was never there.
BOOL DeleteWhatever(const char* path);

// The size and time of last change of the open file, or of the file at path (opened to read
// them and closed again). FALSE when they can't be read.
BOOL StampOfHandle(HANDLE file, FILESTAMP* stamp);
BOOL StampOfPath(const char* path, FILESTAMP* stamp);

// Moves a kept file back to path, in place of what is there. TRUE when it is back, or was never
// moved aside.
BOOL RestoreKept(const char* kept, const char* path);

// Whether the last of length bytes of records that check out is the commit.
BOOL IsCommitted(const char* records, DWORD length);

// The rollback of the journal's records of place, of length bytes that checked out: each change
// undone, newest first; a file or folder that can't be removed stays, and so does a file setup
// made that is no longer as setup made it, or that no record says setup made, with the folders
// that hold it. Then the folders of the
// kept files go (at least keptGroups of them). FALSE when a kept file stays aside: the journal
// is then still needed, and blocker (MAX_PATH bytes) names the file in the way.
BOOL RollBackRecords(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                     char* blocker);

// The end of a commit of the journal's records of place: the kept files go, newest first, and
// then their folders; nothing is undone. FALSE when one stays, named by blocker.
BOOL DeleteKeptFiles(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
                     char* blocker);

#pragma once

#include <windows.h>

#include "setup_names.h"

// Carrying out a journal's records: the rollback, which undoes them, and the end of a commit,
// which deletes the files the install kept.

// Deletes a file of setup's own, or one it kept, whatever its attributes. TRUE when it is gone,
// or was never there.
BOOL DeleteWhatever(const char* path);

// Moves a kept file back to path, in place of what is there. TRUE when it is back, or was never
// moved aside.
BOOL RestoreKept(const char* kept, const char* path);

// Carries out the journal's records of place, of length bytes that checked out: rolls the
// install back, newest first, or, when it was committed, deletes the kept files; then removes
// the folders of the kept files (at least keptGroups of them). FALSE when a kept file stays
// aside, or one that goes stays: the journal is then still needed, and blocker (MAX_PATH bytes)
// names the file in the way.
BOOL Undo(const JOURNALPLACE* place, const char* records, DWORD length, DWORD keptGroups,
          char* blocker);

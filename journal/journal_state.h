#pragma once

#include <windows.h>

#include "reach.h"
#include "setup_names.h"

// The running install's journal, in one process-wide record, written by one thread at a time in
// the order of the install (the copy worker, or the install dialog's thread when that worker
// could not be started): where it is and what it may reach (place), the registry key of setup's
// entry that names it (entryRoot, chosen once in the process: entryRootChosen), its file while it
// is open, its records (a block from the process heap, length bytes of it used, the first written
// of them in the file and the first flushed of those flushed to the disk), how many files
// were moved aside so far and how many folders for them were made, and what the write-ahead's
// looks for links have found plain.
struct JOURNALSTATE {
    JOURNALPLACE place;
    HKEY entryRoot;
    HANDLE file;
    char* records;
    DWORD length;
    DWORD room;
    DWORD written;
    DWORD flushed;
    DWORD keptFiles;
    DWORD keptGroups;
    LINKWALK walk;
    BOOL entryRootChosen;
};

extern JOURNALSTATE JournalState;

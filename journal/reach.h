#pragma once

#include <windows.h>

#include "setup_names.h"

// What a record of a journal may reach. A record may name only the install folder and what lies
// in it, the folders made above it below the journal, and the product's own links and program
// group in the folders setup wrote down; written the one way setup writes its paths, and with
// none of setup's own names in any of its parts, nor a short name that could be one
// (HoldsSetupName): setup's own files are reached by the names it makes, never by a record's. A
// journal names nothing else, however it came to be: whoever may write it may change all of these
// already. Nor is anything reached through a directory link or a junction.
//
// When it is asked (MayTouch, the one rule):
// - the write-ahead, before each record is written down (install_journal.cpp): a change the
//   rollback could not undo is not made;
// - the recovery, of every record of the journal before anything is done on its word
//   (recovery.cpp): one record it may not touch leaves the whole journal alone;
// - the rollback and the commit's deletes, once more right before each record is carried out
//   (carry_out.cpp): one it may not touch by then is passed over, and when it keeps a file the
//   journal stays.
// Besides, before a journal exists, the setup dialog refuses an install folder reached through a
// link (IsReachedThroughLink), and the recovery reads no journal whose own path is
// (PassesThroughLink), nor one that does not lie where setup puts one (IsSetupsJournalPlace).

// What the looks for links of a run of records have found plain so far: the deepest folder on
// the way to the records' own paths, and to their kept files', that was found plain all the way.
// Empty (a NUL first) before the first look.
typedef struct {
    char paths[MAX_PATH];
    char kept[MAX_PATH];
} LINKWALK;

// The rule of what a record may touch, the same for the write-ahead, the rollback, the commit
// and the recovery: whether the record of kind, path and number in the journal of place may be
// carried out. Its path must be one the journal may name (IsReachable); a record that keeps a
// file must have a kept path that fits, which is put into kept (MAX_PATH bytes); and neither
// path may be reached through a directory link or a junction (RecordPassesThroughLink), as far
// as walk has not found their folders plain already.
BOOL MayTouch(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
              char* kept);

// Whether a folder on the way to path, below its drive's root or share, is a directory link or a
// junction (a reparse point): no record reaches through one. checked (MAX_PATH bytes) holds the
// deepest folder that an earlier look found plain all the way, which is not looked at again; it
// is moved to path's folder when that is found plain.
BOOL PassesThroughLink(const char* path, char* checked);

// Whether path, or a folder on the way to it, is a directory link or a junction (a reparse
// point): setup makes nothing it would have to undo through one.
BOOL IsReachedThroughLink(const char* path);

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
//   journal stays. The commit, and the recovery of a committed journal, ask it of the kept files
//   alone (MayCommit).
// Besides, before a journal exists, the setup dialog refuses an install folder reached through a
// link (IsReachedThroughLink), and the recovery reads no journal whose own path is
// (PassesThroughLink), nor one that does not lie where setup puts one (IsSetupsJournalPlace).

// What the looks for links of a run of records have found plain so far, begun with BeginLinkWalk
// and ended with EndLinkWalk.
//
// On the way to the records' own paths (the install folder, the program group, the desktop's
// links), which other users may often change: the folder of the last path looked at, held open
// as it was found plain all the way (held), so that what was looked at is what the act that
// follows the look meets. The handle keeps no one from reading or writing in the folder, but it
// shares no deleting: while it is open no one can rename, move or delete the folder, nor any
// folder above it (Windows moves no folder with anything open inside it), nor swap any of them
// for a link. On Windows 95, 98 and ME, which open no folders and know no links, paths is
// the deepest folder found plain, as for the kept files.
//
// On the way to the kept files (in setup's own folder, which only administrators may change, or
// on a volume that knows no links): the deepest folder that was found plain all the way, not
// looked at again.
typedef struct {
    char paths[MAX_PATH];
    char kept[MAX_PATH];
    HANDLE held;
    BOOL gone; // the last path's folder is not there: there is nothing in it to act on
} LINKWALK;

void BeginLinkWalk(LINKWALK* walk);

// Lets go of the folder held, if any: setup may then remove or move it itself.
void EndLinkWalk(LINKWALK* walk);

// The rule of what a record may touch, the same for the write-ahead, the rollback, the commit
// and the recovery: whether the record of kind, path and number in the journal of place may be
// carried out. Its path must be one the journal may name (IsReachable); a record that keeps a
// file must have a kept path that fits, which is put into kept (MAX_PATH bytes); and neither
// path may be reached through a directory link or a junction (RecordPassesThroughLink), as far
// as walk has not found their folders plain already. Where it may, the record's own path's folder
// is held by walk until its next look, or walk->gone tells that the folder is not there.
BOOL MayTouch(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
              char* kept);

// The same rule for a commit, which touches nothing but the kept files: the record's own path is
// not on its way, and whatever another user has made of that path since (a folder on it swapped
// for a link) neither stops the commit nor is followed by it.
BOOL MayCommit(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
               char* kept);

// Whether a folder on the way to path, below its drive's root or share, is a directory link or a
// junction (a reparse point): no record reaches through one. checked (MAX_PATH bytes) holds the
// deepest folder that an earlier look found plain all the way, which is not looked at again; it
// is moved to path's folder when that is found plain.
BOOL PassesThroughLink(const char* path, char* checked);

// Whether path, or a folder on the way to it, is a directory link or a junction (a reparse
// point): setup makes nothing it would have to undo through one.
BOOL IsReachedThroughLink(const char* path);

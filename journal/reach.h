#pragma once

#include <windows.h>

#include "setup_names.h"

// What a record of a journal may reach. A record may name only the install folder and what lies
// in it, the folders made above it below the journal, and the product's own links and program
// group in the folders setup wrote down; written the one way setup writes its paths, and never
// one of setup's own names. A journal names nothing else, however it came to be: whoever may
// write it may change all of these already. Nor is anything reached through a directory link or
// a junction.

// Whether a record of kind in the journal of place may name path.
BOOL IsReachable(const JOURNALPLACE* place, char kind, const char* path);

// Whether a folder on the way to path, below its drive's root or share, is a directory link or a
// junction (a reparse point): no record reaches through one. checked (MAX_PATH bytes) holds the
// deepest folder that an earlier look found plain all the way, which is not looked at again; it
// is moved to path's folder when that is found plain.
BOOL PassesThroughLink(const char* path, char* checked);

// The same for the path of a record of place: a place of the product's links is looked at only
// below the shell folder that setup wrote down, which is the user's own (under Wine, the desktop
// is often a link to the user's home).
BOOL RecordPassesThroughLink(const JOURNALPLACE* place, const char* path, char* checked);

// Whether path, or a folder on the way to it, is a directory link or a junction (a reparse
// point): setup makes nothing it would have to undo through one.
BOOL IsReachedThroughLink(const char* path);

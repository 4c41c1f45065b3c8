#pragma once

#include <windows.h>

#include "setup_names.h"

// Setup's own folder. On a volume that keeps access lists (NTFS), the journal of an install and
// the files it keeps lie in a folder of setup's own at the root of the install folder's volume,
// OwnFolderName ("d:\~kelvo-setup"), which only Administrators and SYSTEM may change: whoever
// else may write the install folder gets no hold on what a rollback or the next setup does. The
// folder is made with that access list, protected (nothing inherited from the root), and looked
// at before every use: owned by Administrators or SYSTEM, its list protected and granting no one
// else anything, and no directory link or junction. Any other folder of that name is refused,
// and never changed or removed. Where the volume keeps no access lists (FAT, exFAT, Windows 95,
// 98 and ME, a share), everyone may change everything anyway, and the journal lies beside the
// install (setup_names.h).

// What LookAtOwnFolder and PrepareOwnFolder find.
#define OWN_FOLDER_NONE 0    // the volume keeps no access lists: setup has no folder of its own
#define OWN_FOLDER_SOUND 1   // the folder is setup's own, as it makes it
#define OWN_FOLDER_MISSING 2 // not there
#define OWN_FOLDER_REFUSED 3 // a folder (or anything else) of that name that is not setup's own

// Setup's own folder for the install folder installDir, into folder (MAX_PATH bytes), where its
// volume keeps access lists and setup may write HKEY_LOCAL_MACHINE (an administrator's setup);
// FALSE, with folder empty, where not: a drive that says it keeps no access lists, a share, Windows
// 95, 98 and ME, or a setup without an administrator's rights, which could give no folder to
// Administrators alone.
BOOL OwnFolderOf(const char* installDir, char* folder);

// Whether folder is setup's own folder of a volume, by its name alone: OwnFolderName at the root
// of a drive.
BOOL IsOwnFolderPath(const char* folder);

// Looks at the folder at folder (an own folder's path): OWN_FOLDER_SOUND, OWN_FOLDER_MISSING or
// OWN_FOLDER_REFUSED (also when it can't be looked at).
int LookAtOwnFolder(const char* folder);

// Setup's own folder for an install into installDir, made when it is not there: into folder
// (MAX_PATH bytes) with OWN_FOLDER_SOUND, or OWN_FOLDER_NONE (folder empty) where the volume
// keeps no access lists, or none that it is given (a folder made with one came out without it:
// it goes again), or OWN_FOLDER_REFUSED with folder naming what is in the way.
int PrepareOwnFolder(const char* installDir, char* folder);

// Whether the journal of place lies where setup puts it: in the volume's own folder where the
// install folder's volume keeps access lists, which must be sound; else beside the install
// (IsSetupsJournalPlace). OWN_FOLDER_SOUND when it does (or the own folder is not there, and
// the journal then neither), OWN_FOLDER_REFUSED when the own folder is not setup's, and
// OWN_FOLDER_NONE when the journal lies anywhere else.
int CheckJournalPlace(const JOURNALPLACE* place);

// Removes the folder of the journal of place when it is setup's own folder and nothing is left
// in it: no install's journal lies there now.
void LeaveOwnFolder(const JOURNALPLACE* place);

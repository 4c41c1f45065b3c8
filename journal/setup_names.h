#pragma once

#include <windows.h>

// Setup's own place and names. The journal of an install is a file of setup's own name, the
// install's identity in it, in the install folder or, while that is yet to be made or where the
// names would not fit, in the deepest of its parents that is there. A file the install replaces
// is moved aside into a folder of setup's own beside the journal, in folders of a hundred; a
// link beside itself. Every name of setup's begins with SetupNamePrefix, and no disc may carry
// one.

// Where an install's journal lies and what its records may reach: the journal's path and
// identity, the install folder, the deepest folder on its way that was there when the install
// began (base: below it the install may have made folders; the journal's folder where that lies
// beside the install), and the folders of the links (empty until the install writes them down,
// just before it makes its links). The running install's is the journal's state; a recovery
// reads one from the registry.
typedef struct {
    DWORD identity;
    char journal[MAX_PATH];
    char folder[MAX_PATH];
    char base[MAX_PATH];
    char programs[MAX_PATH];
    char desktop[MAX_PATH];
} JOURNALPLACE;

// Kept files go into folders of this many, numbered from 0: a new name is found quickly in a
// small folder, on every file system.
#define KEPT_PER_FOLDER 100
// The most that setup's names add to the folder of the journal: the kept folder's name, a folder
// number of up to 8 digits and a file number below KEPT_PER_FOLDER, each after a separator
// ("\~kelvo-setup-0123ABCD\12345678\99"); the journal's own name is shorter.
#define SETUP_NAMES_ROOM 34
// KeptFolder's group for the folder that holds the groups.
#define KEPT_ROOT 0xFFFFFFFF

// Whether name is one of setup's own (it begins with SetupNamePrefix, in any letter case), or
// could be the short (8.3) name of one: it begins with the prefix's first two characters and
// holds another '~' after them. Told from the name alone: the disk is not asked what a short
// name stands for.
BOOL IsSetupName(const char* name);

// Whether any name of path, read character by character, is one of setup's (IsSetupName).
BOOL HoldsSetupName(const char* path);

// Whether a name read from a disc may be installed: not one of setup's own names, nor a
// device's, nor one that Windows would make under another name (a dot or a space at its end).
BOOL IsInstallableName(const char* name);

// Setup's name for the install of identity, into out (40 bytes): KeptPrefix and the identity in
// hexadecimal; with JournalSuffix after it for the journal's name.
void SetupName(char* out, DWORD identity);
void JournalName(char* out, DWORD identity);

// The folder that the journal of place lies in, into folder (MAX_PATH bytes).
void JournalFolder(const JOURNALPLACE* place, char* folder);

// The folder of kept files beside the journal of place, or its group'th folder (group below
// KEPT_ROOT), into path (MAX_PATH bytes). FALSE when it does not fit.
BOOL KeptFolder(const JOURNALPLACE* place, DWORD group, char* path);

// Whether the file at path, when the install of place replaces it, is kept in the folder of kept
// files beside the journal (a file of the install folder), not beside itself (a link).
BOOL IsKeptInKeptFolder(const JOURNALPLACE* place, const char* path);

// Where the file at path goes as kept file number of the install of place, into kept
// (MAX_PATH bytes): a file of the install folder into the kept files' folder beside the journal,
// where the names fit whatever the install folder's length; a link beside itself, so that moving
// it aside and back is a rename on its own disk. FALSE when the name does not fit.
BOOL KeptPath(const JOURNALPLACE* place, const char* path, DWORD number, char* kept);

// The folder the journal of an install into installDir goes into (folder, MAX_PATH bytes): the
// deepest folder of its path that is there and leaves room for setup's names. FALSE when none.
BOOL ChooseJournalFolder(const char* installDir, char* folder);

// Whether the journal of place lies where setup puts one: its path and the install folder
// written the one way, the journal in the install folder or above it, under setup's name for
// the identity.
BOOL IsSetupsJournalPlace(const JOURNALPLACE* place);

#pragma once

#include <windows.h>

#include "setup_names.h"

// Setup's entry in the registry (SetupEntryKey): where the journal of an install is, the install
// folder, the deepest folder on its way that was there (Base) and the install's identity, written
// and flushed before the install changes anything, and, just before the links, the folders they go
// into. Only setup may write there, and only the journal the entry names is ever acted on; the
// entry goes when the journal goes.

// Where setup keeps its entry, chosen once in a process and kept in the journal's state: the
// machine's key where setup may make a key there (an administrator, or any user of Windows 95,
// 98 and ME), which is then the only one ever read or written; the key of the user it runs as
// only when the machine's refuses a standard user's setup with "access denied". NULL for the
// whole process when neither holds (the machine's key could not be opened for another
// reason, or an administrator's setup was refused it): the install and the recovery fail then,
// rather than look at the other key. Either key is made with an access list of its own
// (journal/entry_access.h), out of reach of other users.
HKEY SetupEntryRoot(void);

// Whether folder is one an entry may name as the install folder: written the one way
// (IsPlainPath), below a drive's root or a share, and ending in the product folder.
BOOL NamesInstallFolder(const char* folder);

// Writes the entry of the install of place and flushes it; root is where. FALSE, with no entry
// left, when it can't be, when one is there already, or when the install folder is not one an
// entry may name.
BOOL WriteSetupEntry(const JOURNALPLACE* place, HKEY* root);

// Writes down, in the entry under root, the folder the links of name ("Programs" or "Desktop")
// go into, and flushes it.
BOOL NoteSetupEntryFolder(HKEY root, const char* name, const char* folder);

void DeleteSetupEntry(HKEY root);

// Reads the entry under root into place. SETUP_ENTRY_NONE when there is none;
// SETUP_ENTRY_UNNAMED when it does not name a journal whole (it was being written when the setup
// stopped: nothing was changed on its word yet).
#define SETUP_ENTRY_NONE 0
#define SETUP_ENTRY_UNNAMED 1
#define SETUP_ENTRY_NAMED 2
int ReadSetupEntry(HKEY root, JOURNALPLACE* place);

// Whether the registry names the journal of an install that a setup stopped halfway left; TRUE
// also when setup can't tell where its entry is kept (the recovery then says so).
BOOL InterruptedInstallRecorded(void);

#pragma once

#include <windows.h>

#include "setup_names.h"

// Setup's entry in the registry (SetupEntryKey): where the journal of an install is, the install
// folder, the deepest folder on its way that was there (Base) and the install's identity, written
// and flushed before the install changes anything, and, just before the links, the folders they go
// into. Only setup may write there, and only the journal the entry names is ever acted on; the
// entry goes when the journal goes.

// Where setup keeps its entry: the machine's key where it may write there (an administrator,
// or any user of Windows 95, 98 and ME), else the key of the user it runs as. Either is out of
// reach of other users.
HKEY SetupEntryRoot(void);

// Writes the entry of the install of place and flushes it; root is where. FALSE, with no entry
// left, when it can't be, or when one is there already.
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

// Whether the registry names the journal of an install that a setup stopped halfway left.
BOOL InterruptedInstallRecorded(void);

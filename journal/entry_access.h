#pragma once

#include <windows.h>

// Who setup runs as, as far as its registry entry goes, and the access list its entry's key is
// made with. The security calls are looked up where they are: Windows 95, 98 and ME have no
// users to tell apart, and export them only as stubs.

// Whether the user setup runs as has the Administrators group enabled in the process's token.
// RUNS_AS_UNKNOWN when the token can't be read.
#define RUNS_AS_ADMINISTRATOR 0
#define RUNS_AS_USER 1
#define RUNS_AS_UNKNOWN 2
int WhoRunsSetup(void);

// The security descriptor of setup's entry key under root, self-relative, into descriptor
// (ENTRY_DESCRIPTOR_BYTES, DWORD-aligned): a protected DACL that gives Administrators and
// SYSTEM full access, and under HKEY_CURRENT_USER the user setup runs as too; nothing is
// inherited from the key above it. FALSE when the user can't be read.
#define ENTRY_DESCRIPTOR_BYTES 160
BOOL MakeEntryDescriptor(HKEY root, DWORD* descriptor);

#pragma once

#include <windows.h>

// The record of what this install wrote inside InstallState.installDir, so that a rollback
// removes that and nothing else: every file the install created or replaced and every folder it
// created, in the order it made them, as paths relative to the install folder. The record lives
// in a block of the process heap that doubles whenever it is full.
#define RECORD_FILE 'f'
#define RECORD_FOLDER 'd'

// Records path, a file or folder inside the install folder (installDir, a backslash, then a
// name or more), before the install makes it. FALSE when the record can't grow or path lies
// outside the install folder: the install must not make it then.
BOOL RecordWritten(const char* path, char kind);

// Takes back the newest entry: what it names was not made after all.
void ForgetLastWritten(void);

// Removes what the record names, newest first: every file, then each folder where it has ended
// empty. What can't be removed stays. The record is empty afterwards.
void RemoveWritten(void);

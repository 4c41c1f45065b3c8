#pragma once

#include <windows.h>

// Copies everything in the product folder of the disc at InstallState.cdRoot into installDir,
// creating the folders it needs and replacing files already there, and records each file and
// folder it makes inside installDir before making it (media/install_record.h). 0 when the whole
// folder is copied; nonzero when it is missing, a file can't be read or written, the record
// can't grow, a path does not fit, or the user cancelled (the copy then stops at its next file
// or block).
int CopyDiscTree(HWND owner);

// The rollback: removes every file the install wrote into installDir and every folder it made
// there that has ended empty. What was there before stays as it was, and so does installDir.
void RemoveInstalledFiles(HWND owner);

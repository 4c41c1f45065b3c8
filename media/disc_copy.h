#pragma once

#include <windows.h>

// Copies everything in the product folder of the disc at InstallState.cdRoot into installDir,
// creating the folders it needs and replacing files already there. 0 when the whole folder is
// copied; nonzero when it is missing, a file can't be read or written, a path does not fit, or
// the user cancelled (the copy then stops at its next file or block).
int CopyDiscTree(HWND owner);

// Deletes everything inside installDir; the folder itself stays.
void RemoveInstalledFiles(HWND owner);

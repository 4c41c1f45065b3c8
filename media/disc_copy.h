#pragma once

#include <windows.h>

// Copies everything in the product folder of the disc at InstallState.cdRoot into installDir,
// creating the folders it needs, with every change written ahead in the install's journal
// (journal/install_journal.h; the first copy starts it): a file already there is moved aside, kept
// until the install is committed, and a new one made in its place. 0 when the whole folder is
// copied; nonzero when it is missing, a name on it can't be installed (a device's, setup's own),
// a file can't be read or written, the journal can't be written, a path does not fit, or the
// user cancelled (the copy then stops at its next file or block).
int CopyDiscTree(HWND owner);

// Lets go of the game's copy that the copy holds from the moment it matched the disc's file
// (InstallState.gameCopy), for the start; its folder may then change again.
void LetGoOfGameCopy(void);

// The rollback: undoes what the install changed, newest first (journal/install_journal.h): the
// files and folders it made go, the files it replaced come back as they were.
void RemoveInstalledFiles(HWND owner);

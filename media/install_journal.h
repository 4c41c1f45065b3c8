#pragma once

#include <windows.h>

// The install's journal: what the install changes on the disk, written down before each change
// so that the change can be undone, by this setup after a cancel or a failure, or by the next
// setup that installs into the same folder when this one was stopped halfway (killed, crashed,
// the power gone). It is a file beside the install, in the install folder or, while that is yet
// to be made, in the deepest of its parents that is there (JournalName). A file the install
// replaces is not deleted but moved aside in its own folder (KeptPrefix, a number, KeptSuffix)
// and comes back in a rollback; kept files go only when the install is committed.
//
// The file is text in the ANSI code page, one record a line:
//     <kind> <number> <path><TAB><CRC-32 of what comes before the tab, 8 hex digits><CR><LF>
// The first record is JOURNAL_BEGIN with the version and the install folder. A line that does
// not check out ends the journal: it was being written when the setup stopped, and what it
// describes was not done (a record reaches the disk before its change is made).
#define JOURNAL_BEGIN 'J'  // the journal's version and the install folder
#define JOURNAL_FOLDER 'D' // a folder the install makes
#define JOURNAL_FILE 'F'   // a file the install makes where there was none
#define JOURNAL_KEPT 'K'   // a file moved aside under the kept name of <number>, to be replaced
#define JOURNAL_VOID 'V'   // the newest earlier record of <path> was not carried out after all
#define JOURNAL_COMMIT 'C' // the install is complete: the kept files go, nothing is undone

// Starts the journal of an install into InstallState.installDir, before anything is made. FALSE
// when it can't be written: the install must not begin then.
BOOL OpenJournal(void);
BOOL JournalIsOpen(void);

// Writes down (in memory) a change the install is about to make at path: JOURNAL_FOLDER or
// JOURNAL_FILE. FALSE when the journal can't hold it; the change must not be made then.
BOOL WriteAhead(char kind, const char* path);
// Writes down that the file at path is to be moved aside, and puts its kept name (MAX_PATH
// bytes) into kept.
BOOL WriteAheadKept(const char* path, char* kept);
// Writes what was written down to the journal's file and flushes it to the disk. No change that
// a record describes may be made before this has returned TRUE.
BOOL FlushJournal(void);
// The change last written down for path was not made (its call failed): a rollback must not undo
// it. Flushed at once.
void VoidRecord(const char* path);

// Moves a kept file back to path, in place of what is there. TRUE when it is back, or was never
// moved aside.
BOOL RestoreKept(const char* kept, const char* path);

// The rollback: undoes every change of the journal, newest first, and then deletes the journal.
// A kept file that can't be put back keeps the journal, so that the next setup finishes the
// rollback; a file or folder that can't be removed stays.
void RollBackInstall(void);
// The install can no longer be undone: the kept files go, then the journal.
void CommitInstall(void);

// Finishes what a setup stopped halfway left, for an install into folder: the journal in folder
// or in any of its parents is rolled back (or, when it was committed, its kept files deleted)
// and removed. FALSE when one can't be read or rolled back whole: nothing may be installed there
// then.
BOOL RecoverInterruptedInstalls(const char* folder);

// Whether a name read from a disc may be installed: not one of setup's own names (the journal's
// and the kept files'), nor a device's.
BOOL IsInstallableName(const char* name);

#pragma once

#include <windows.h>

// The install's journal: what the install changes on the disk, written down before each change
// so that the change can be undone, by this setup after a cancel or a failure, or by the next
// setup when this one was stopped halfway (killed, crashed, the power gone).
//
// Only setup's own journal is ever acted on. Before it changes anything, setup writes down in
// the registry (SetupRecordKey, where only an administrator or the user setup runs as may
// write) where its journal is, the install folder and the install's identity, and flushes it;
// the key goes when the journal goes. The journal is a file of setup's own name (the identity in
// it) in the install folder or, while that is yet to be made or where the names would not fit,
// in the deepest of its parents that is there. A file the install replaces is not deleted but
// moved aside, into a folder of setup's own beside the journal (a link beside itself), and comes
// back in a rollback; kept files go only when the install is committed.
//
// The file is text in the ANSI code page, one record a line:
//     <kind> <number> <path><TAB><CRC-32 of what comes before the tab, 8 hex digits><CR><LF>
// The first record is JOURNAL_BEGIN with the identity and the install folder. A line that does
// not check out ends the journal: it was being written when the setup stopped, and what it
// describes was not done (a record reaches the disk before its change is made). A record may
// name only the install folder and what lies in it, the folders made above it below the
// journal, and the product's own links and program group in the folders setup wrote down.
#define JOURNAL_BEGIN 'J'          // the identity and the install folder
#define JOURNAL_FOLDER 'D'         // a folder the install makes
#define JOURNAL_FILE 'F'           // a file the install makes where there was none
#define JOURNAL_KEPT 'K'           // a file moved aside as kept file <number>, to be replaced
#define JOURNAL_KEPT_READ_ONLY 'R' // the same, of a read-only file
#define JOURNAL_VOID 'V'   // the newest earlier record of <path> was not carried out after all
#define JOURNAL_COMMIT 'C' // the install is complete: the kept files go, nothing is undone

// Starts the journal of an install into InstallState.installDir, before anything is made: the
// registry's record of it, then its file. FALSE when either can't be written: the install must
// not begin then.
BOOL OpenJournal(void);
BOOL JournalIsOpen(void);

// Writes down (in memory) a change the install is about to make at path: JOURNAL_FOLDER or
// JOURNAL_FILE. FALSE when the journal can't hold it, or could not undo it (a path it may not
// reach); the change must not be made then.
BOOL WriteAhead(char kind, const char* path);
// Writes down that the file at path (read-only or not) is to be moved aside, and puts its kept
// name (MAX_PATH bytes) into kept and its number into number (when not NULL).
BOOL WriteAheadKept(const char* path, BOOL readOnly, char* kept, DWORD* number);
// Writes what was written down to the journal's file and flushes it to the disk. No change that
// a record describes may be made before this has returned TRUE.
BOOL FlushJournal(void);
// The change last written down for path was not made (its call failed): a rollback must not undo
// it. Flushed at once.
void VoidRecord(const char* path);
// Where the next record will begin; and: the records from one such mark up to another were
// written ahead, but none of their changes was begun (the install stopped before them): this
// setup's rollback leaves them alone.
DWORD JournalMark(void);
void DropPlanned(DWORD from, DWORD to);

// Makes the folder of setup's own that kept file number goes into, when it is not there yet.
// Called after the record of the kept file is flushed, before the file is moved aside.
BOOL PrepareKept(DWORD number);

// Writes down, in the registry's record, the folder the links of name ("Programs" or
// "Desktop") go into, and flushes it: the journal may then name them. FALSE when it can't.
BOOL NoteLinkFolder(const char* name, const char* folder);

// Holds room in the journal's file for the records of the finishing steps and the commit, so
// that no success is reported of an install whose last records could not be written for want
// of room. FALSE when the room can't be had: the install must fail then.
BOOL ReserveJournalRoom(void);

// Moves a kept file back to path, in place of what is there. TRUE when it is back, or was never
// moved aside.
BOOL RestoreKept(const char* kept, const char* path);

// The rollback: undoes every change of the journal, newest first, and then deletes the journal
// and its record. A kept file that can't be put back keeps both, so that the next setup
// finishes the rollback; a file or folder that can't be removed stays.
void RollBackInstall(void);
// The install can no longer be undone: the kept files go, then the journal and its record.
void CommitInstall(void);

// Whether the registry names the journal of an install that a setup stopped halfway left.
BOOL InterruptedInstallRecorded(void);

// Finishes what a setup stopped halfway left, whatever folder this setup installs into: the
// journal the registry names is rolled back (or, when it was committed, its kept files deleted),
// then it and its record go. RECOVERY_BLOCKED when a file can't be put back or removed (blocker,
// MAX_PATH bytes, names it; the next setup tries again), RECOVERY_REFUSED when the journal is not
// the one the record names or names a change setup could not have made (blocker names the
// journal; nothing is changed on its word and it is left as it is). Nothing may be installed
// then.
#define RECOVERY_DONE 0
#define RECOVERY_BLOCKED 1
#define RECOVERY_REFUSED 2
int RecoverInterruptedInstall(char* blocker);

// Whether path, or a folder on the way to it, is a directory link or a junction (a reparse
// point): setup makes nothing it would have to undo through one.
BOOL IsReachedThroughLink(const char* path);

// Whether a name read from a disc may be installed: not one of setup's own names, nor a
// device's, nor one that Windows would make under another name (a dot or a space at its end).
BOOL IsInstallableName(const char* name);

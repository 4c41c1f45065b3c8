#pragma once

#include <windows.h>

#include "records.h"

// The running install's journal: what the install changes on the disk, written down before each
// change so that the change can be undone, by this setup after a cancel or a failure, or by the
// next setup when this one was stopped halfway (killed, crashed, the power gone;
// journal/recovery.h).
//
// Before it changes anything, setup writes its entry in the registry (journal/setup_entry.h)
// and flushes it; then the journal's file, of setup's own name (journal/setup_names.h), and its
// first record. A file the install replaces is not deleted but moved aside, and comes back in a
// rollback; kept files go only when the install is committed. Every record is checked against
// what a journal may reach (journal/reach.h) before it is written.

// Starts the journal of an install into InstallState.installDir, before anything is made: the
// registry's entry of it, then its file. FALSE when either can't be written: the install must
// not begin then.
BOOL OpenJournal(void);
BOOL JournalIsOpen(void);

// Writes down (in memory) a change the install is about to make at path: JOURNAL_FOLDER or
// JOURNAL_FILE. FALSE when the journal can't hold it, or could not undo it (a path it may not
// touch, MayTouch); the change must not be made then.
BOOL WriteAhead(char kind, const char* path);
// Writes down that the file at path (read-only or not) is to be moved aside, and puts its kept
// name (MAX_PATH bytes) into kept and its number into number (when not NULL).
BOOL WriteAheadKept(const char* path, BOOL readOnly, char* kept, DWORD* number);
// Writes what was written down to the journal's file and flushes it to the disk. No change that
// a record describes may be made before this has returned TRUE.
BOOL FlushJournal(void);
// The file the install makes at path, whose record was written ahead (JOURNAL_FILE, or the
// kept file's record of the file it replaces): begun, once the install has made it and before
// anything is written into it; written, once it is whole and closed, with its size and time of
// last change. Both are put into the journal's file at once, without a flush. A rollback
// deletes such a file only while it is as setup made it (journal/carry_out.h). FALSE when the
// begun record can't be written: nothing may be written into the file then.
BOOL NoteFileBegun(const char* path);
void NoteFileWritten(const char* path, const FILESTAMP* stamp);
// The change last written down for path was not made (its call failed): a rollback must not undo
// it. Flushed at once.
void VoidRecord(const char* path);
// Where the next record will begin; and: the records from one such mark up to another were
// written ahead, but none of their changes was begun (the install stopped before them): this
// setup's rollback leaves them alone.
DWORD JournalMark(void);
void DropPlanned(DWORD from, DWORD to);

// The two changes the install makes through the journal, once their records are written ahead
// (WriteAhead, WriteAheadKept): each puts what was written down into the journal's file first,
// and is voided (VoidRecord) when its own call fails.
#define CHANGE_MADE 0
#define CHANGE_UNRECORDED 1 // the journal's file could not take its record: nothing was changed
#define CHANGE_FAILED 2     // its call failed: a rollback leaves it alone
// Makes the folder at path.
int MakeRecordedFolder(const char* path);
// Moves the file at path aside to kept, as kept file number (what WriteAheadKept gave), into the
// folder of setup's own that it goes into, made first when it is not there yet.
int MoveRecordedFileAside(const char* path, const char* kept, DWORD number);

// Writes down, in setup's registry entry, the folder the links of name ("Programs" or "Desktop")
// go into, and flushes it: the journal may then name them. FALSE when it can't.
BOOL NoteLinkFolder(const char* name, const char* folder);

// Holds room in the journal's file for the records of the finishing steps and the commit, so
// that no success is reported of an install whose last records could not be written for want
// of room. FALSE when the room can't be had: the install must fail then.
BOOL ReserveJournalRoom(void);

// The rollback: undoes every change of the journal, newest first, and then deletes the journal
// and its entry. A kept file that can't be put back keeps both, so that the next setup
// finishes the rollback; a file or folder that can't be removed stays.
void RollBackInstall(void);
// The install can no longer be undone: the kept files go, then the journal and its entry.
void CommitInstall(void);

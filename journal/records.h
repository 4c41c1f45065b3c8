#pragma once

#include <windows.h>

// The journal's records as text, in the ANSI code page, one a line:
//     <kind> <number> <path><TAB><CRC-32 of what comes before the tab, 8 hex digits><CR><LF>
// (a JOURNAL_WRITTEN record has the file's size and time of last change, in decimal, between
// its number and its path). The first record is JOURNAL_BEGIN with the identity and the install
// folder. A line that does not check out ends the journal: it was being written when the setup
// stopped, and what it describes was not done (a record reaches the disk before its change is
// made). The begun and written records of a file come after the one that makes it, and are not
// flushed on their own: a power cut may take them.
#define JOURNAL_BEGIN 'J'          // the identity and the install folder
#define JOURNAL_FOLDER 'D'         // a folder the install makes
#define JOURNAL_FILE 'F'           // a file the install makes where there was none
#define JOURNAL_KEPT 'K'           // a file moved aside as kept file <number>, to be replaced
#define JOURNAL_KEPT_READ_ONLY 'R' // the same, of a read-only file
#define JOURNAL_BEGUN 'B'          // the file of the newest F or K record of <path> is being made
#define JOURNAL_WRITTEN 'W' // that file is made whole: W 0 <size> <time of last change> <path>
#define JOURNAL_VOID 'V'    // the newest earlier record of <path> was not carried out after all
#define JOURNAL_COMMIT 'C'  // the install is complete: the kept files go, nothing is undone

// A file setup made, as it made it: its size and its time of last change, as
// GetFileInformationByHandle reads them.
typedef struct {
    ULONGLONG size;
    ULONGLONG written;
} FILESTAMP;

// The longest record: kind, number, a stamp's two numbers and path with their spaces, tab,
// check and line end.
#define RECORD_MAX_BYTES (MAX_PATH + 64)
// The first block a journal is held in: a few dozen records. It doubles whenever it is full, so
// a game of many thousand files takes a dozen or so growths.
#define JOURNAL_FIRST_BYTES 4096

// One record read back. stamp: what a JOURNAL_WRITTEN record holds.
typedef struct {
    char kind;
    DWORD number;
    FILESTAMP stamp;
    char path[MAX_PATH];
} JOURNALRECORD;

// Whether a record of kind moves a file aside (JOURNAL_KEPT or JOURNAL_KEPT_READ_ONLY).
BOOL KeepsAFile(char kind);

// The record's line at out (RECORD_MAX_BYTES); returns its length. stamp: only for
// JOURNAL_WRITTEN (NULL otherwise).
int FormatRecord(char* out, char kind, DWORD number, const FILESTAMP* stamp, const char* path);

// Reads the record of the line at text (length bytes left); returns the line's length with its
// end, or 0 when no whole, checked record starts there, written as FormatRecord writes one.
DWORD ParseRecord(const char* text, DWORD length, JOURNALRECORD* record);

// Whether a whole line starts at text whose check matches what it holds: no torn line, though
// perhaps not a record FormatRecord writes.
BOOL ChecksOut(const char* text, DWORD length);

// Where the line before the one at end begins (end is the start of a line or the length of the
// records), or 0.
DWORD LineBefore(const char* records, DWORD end);

// Writes number at out in decimal, or in eight upper-case hexadecimal digits; returns the digits
// written. No NUL follows them.
int PutDecimal(char* out, DWORD number);
int PutHex(char* out, DWORD number);

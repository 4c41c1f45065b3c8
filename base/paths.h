#pragma once

#include <windows.h>

// Appends name to the path in a MAX_PATH buffer, with one backslash between them unless the
// path is empty or its last character already is '\' or '/'. The path is read character by
// character: a double-byte character whose trail byte is 0x5C (功, A5 5C) ends no folder name,
// so D:\功 and kelvo make D:\功\kelvo. The result is closed by two NULs. A result that would not
// fit the buffer with both is refused, and so is a path that ends in half a double-byte character
// (its lead byte would take the separator for its trail byte): the path is left as it was and
// FALSE is returned.
// (The longest install folder, INSTALL_DIR_MAX_LENGTH, is reckoned with both.)
BOOL JoinPath(char* path, const char* name);

// Appends a file name read from a disc or a folder listing to the path in a MAX_PATH buffer, as
// JoinPath does (half a character at its end refused too), closed by one NUL. FALSE, with the
// path left as it was, when the result and its NUL would not fit.
BOOL AppendName(char* path, const char* name);

// How many bytes at the start of path name a drive's root: 3 for "d:\" or "d:/" (either letter
// case), 2 for a bare "d:", and 0 for anything else, a folder relative to a drive's current
// folder ("d:games") among them.
int DriveRootLength(const char* path);

// Whether path names a share: it starts with two separators ("\\server\share").
BOOL IsSharePath(const char* path);

// Whether the name of length bytes is one of the devices that Windows finds in every folder
// (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, any letter case), also with an extension or spaces
// after it: no file or folder can be made under it.
BOOL IsDeviceName(const char* name, int length);

// Whether path is written the one way setup writes the paths it keeps: from a drive's root
// ("d:\") or a share ("\\server\share"), backslashes only, no empty name, no "." or "..", no name
// that ends in a dot or a space, no character that no name may hold (so no "\\?\" or "\\.\"
// either). Read character by character: a trail byte is never taken for a separator.
BOOL IsPlainPath(const char* path);

// Writes folder (a MAX_PATH buffer, from a drive's root or a share) the one way: backslashes,
// no doubled separator, and each name that is there spelled as the folder listing has it where
// it is another name for it (a short name such as PROGRA~1). FALSE, with folder as it was, when
// the result would not fit MAX_PATH.
BOOL NormaliseFolder(char* folder);

// Whether the first length bytes of a and b spell the same names: character by character as b
// reads, ASCII letters in either case, a double-byte character byte for byte.
BOOL SameLetters(const char* a, const char* b, int length);

// Whether text starts with prefix, read as SameLetters reads.
BOOL StartsWithLetters(const char* text, const char* prefix);

// Whether a and b spell the same path, as SameLetters reads.
BOOL SamePath(const char* a, const char* b);

// How many bytes of path name its folder: up to its last separator ('\' or '/'), found character
// by character. 0 when it has none.
int FolderLength(const char* path);

// The last name of path: what follows its last separator, or the whole path.
const char* LastName(const char* path);

// Whether path is folder or lies in it, at any depth; with strictly, only the latter. Both are
// written the one way (IsPlainPath); a drive's root may end in its separator. Read character by
// character: a name that ends in a trail byte 0x5C (功, A5 5C) does not end in a separator, and
// "C:\功x" does not lie in "C:\功".
BOOL IsWithin(const char* path, const char* folder, BOOL strictly);

// Whether there is a folder at path.
BOOL IsFolder(const char* path);

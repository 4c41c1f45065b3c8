#include "paths.h"

static BOOL IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Where the last character of path begins, found character by character (a double-byte
// character whose trail byte is 0x5C is no separator); NULL for an empty path.
static const char* LastCharacter(const char* path) {
    const char* last = NULL;
    for (const char* at = path; *at != '\0'; at = CharNextA(at))
        last = at;
    return last;
}

// Whether the path ends in half a character: a lead byte with no trail byte after it, which
// would take a separator put after it for its trail byte.
static BOOL EndsInLeadByte(const char* last) {
    return last != NULL && IsDBCSLeadByte((BYTE)last[0]) && last[1] == '\0';
}

BOOL JoinPath(char* path, const char* name) {
    const char* last = LastCharacter(path);
    if (EndsInLeadByte(last))
        return FALSE;
    BOOL separator = last != NULL && !IsSeparator(last[0]);
    int joined = lstrlenA(path) + (separator ? 1 : 0) + lstrlenA(name);
    if (joined + 2 > MAX_PATH)
        return FALSE;
    if (separator)
        lstrcatA(path, "\\");
    lstrcatA(path, name);
    path[joined + 1] = '\0';
    return TRUE;
}

BOOL AppendName(char* path, const char* name) {
    const char* last = LastCharacter(path);
    if (EndsInLeadByte(last))
        return FALSE;
    BOOL separator = last != NULL && !IsSeparator(last[0]);
    int joined = lstrlenA(path) + (separator ? 1 : 0) + lstrlenA(name);
    if (joined + 1 > MAX_PATH)
        return FALSE;
    if (separator)
        lstrcatA(path, "\\");
    lstrcatA(path, name);
    return TRUE;
}

int DriveRootLength(const char* path) {
    char letter = path[0];
    if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')) || path[1] != ':')
        return 0;
    if (IsSeparator(path[2]))
        return 3;
    return path[2] == '\0' ? 2 : 0;
}

BOOL IsSharePath(const char* path) {
    return IsSeparator(path[0]) && IsSeparator(path[1]);
}

// Whether the part of length bytes is the upper-case ASCII word name in any letter case.
static BOOL IsWord(const char* part, int length, const char* name) {
    int i = 0;
    for (; i < length && name[i] != '\0'; i++) {
        char c = part[i];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (c != name[i])
            return FALSE;
    }
    return i == length && name[i] == '\0';
}

BOOL IsDeviceName(const char* part, int length) {
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    int base = 0;
    while (base < length && part[base] != '.')
        base++;
    while (base > 0 && part[base - 1] == ' ')
        base--;
    for (int i = 0; i < 4; i++) {
        if (IsWord(part, base, devices[i]))
            return TRUE;
    }
    return base == 4 && (IsWord(part, 3, "COM") || IsWord(part, 3, "LPT")) && part[3] >= '1' &&
           part[3] <= '9';
}

// Whether c may stand in a name.
static BOOL IsNameCharacter(char c) {
    return (unsigned char)c >= 0x20 && c != '<' && c != '>' && c != ':' && c != '"' && c != '|' &&
           c != '?' && c != '*' && c != '/';
}

BOOL IsPlainPath(const char* path) {
    const char* at;
    if (path[0] == '\\' && path[1] == '\\')
        at = path + 2;
    else if (DriveRootLength(path) == 3 && path[2] == '\\')
        at = path + 3;
    else
        return FALSE;
    if (*at == '\0')
        return at == path + 3;
    const char* part = at;
    for (;; at = CharNextA(at)) {
        char c = *at;
        if (c == '\0' || c == '\\') {
            int length = (int)(at - part);
            if (length == 0 || part[length - 1] == '.' || part[length - 1] == ' ')
                return FALSE;
            if (c == '\0')
                return TRUE;
            part = at + 1;
        } else if (!IsNameCharacter(c)) {
            return FALSE;
        }
    }
}

// How the listing of its folder spells the part of length bytes at the end of path: LISTED_NONE
// when it is not there, LISTED_SAME when as typed or in other letters only, and LISTED_OTHER,
// with that name in spelled (MAX_PATH bytes), when it is another name for it (a short name).
#define LISTED_NONE 0
#define LISTED_SAME 1
#define LISTED_OTHER 2
static int ListedName(const char* path, int part, char* spelled) {
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(path, &found);
    if (find == INVALID_HANDLE_VALUE)
        return LISTED_NONE;
    FindClose(find);
    const char* typed = path + lstrlenA(path) - part;
    BOOL same = lstrlenA(found.cFileName) == part;
    for (int i = 0; same && i < part; i++) {
        char a = typed[i], b = found.cFileName[i];
        same = a == b || ((a | 0x20) == (b | 0x20) && (a | 0x20) >= 'a' && (a | 0x20) <= 'z');
    }
    if (same)
        return LISTED_SAME;
    lstrcpyA(spelled, found.cFileName);
    return LISTED_OTHER;
}

BOOL NormaliseFolder(char* folder) {
    char result[MAX_PATH];
    int length = 0;
    const char* at = folder;
    // The separators that end the root: the drive's, or, after the two of a share, those after
    // its server's and its share's names.
    int rootSeparators = 1;
    if (IsSharePath(folder)) {
        result[length++] = '\\';
        result[length++] = '\\';
        at += 2;
        rootSeparators = 2;
    }
    int separators = 0;
    BOOL there = TRUE; // every name so far is there: the next one may be too
    while (*at != '\0') {
        if (*at == '\\' || *at == '/') {
            while (*at == '\\' || *at == '/')
                at++;
            if (length >= MAX_PATH - 1)
                return FALSE;
            result[length++] = '\\';
            separators++;
            continue;
        }
        const char* next = at;
        while (*next != '\0' && *next != '\\' && *next != '/')
            next = CharNextA(next);
        int part = (int)(next - at);
        if (length + part >= MAX_PATH)
            return FALSE;
        CopyMemory(result + length, at, part);
        length += part;
        result[length] = '\0';
        // Only a name with a '~' in it can be another name for one that is there (Windows
        // makes a short name such as PROGRA~1 for each long one).
        BOOL shortName = FALSE;
        for (int i = 0; i < part && !shortName; i++)
            shortName = at[i] == '~';
        char spelled[MAX_PATH];
        if (separators >= rootSeparators && there && shortName) {
            int listed = ListedName(result, part, spelled);
            there = listed != LISTED_NONE;
            if (listed == LISTED_OTHER) {
                int longer = length - part + lstrlenA(spelled);
                if (longer >= MAX_PATH)
                    return FALSE;
                lstrcpyA(result + length - part, spelled);
                length = longer;
            }
        }
        at = next;
    }
    result[length] = '\0';
    lstrcpyA(folder, result);
    return TRUE;
}

static char UpperLetter(char c) {
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

BOOL SameLetters(const char* a, const char* b, int length) {
    int at = 0;
    while (at < length) {
        int size = b[at] == '\0' ? 1 : (int)(CharNextA(b + at) - (b + at));
        if (size == 1 ? UpperLetter(a[at]) != UpperLetter(b[at])
                      : a[at] != b[at] || a[at + 1] != b[at + 1])
            return FALSE;
        at += size;
    }
    return TRUE;
}

BOOL StartsWithLetters(const char* text, const char* prefix) {
    int length = lstrlenA(prefix);
    return lstrlenA(text) >= length && SameLetters(text, prefix, length);
}

BOOL SamePath(const char* a, const char* b) {
    int length = lstrlenA(b);
    return lstrlenA(a) == length && SameLetters(a, b, length);
}

int FolderLength(const char* path) {
    int folder = 0;
    for (const char* at = path; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\' || *at == '/')
            folder = (int)(at - path);
    }
    return folder;
}

const char* LastName(const char* path) {
    int folder = FolderLength(path);
    return folder == 0 ? path : path + folder + 1;
}

BOOL IsWithin(const char* path, const char* folder, BOOL strictly) {
    int length = lstrlenA(folder);
    // A drive's root ends in its separator.
    const char* last = LastCharacter(folder);
    if (last != NULL && *last == '\\')
        length--;
    if (lstrlenA(path) < length || !SameLetters(path, folder, length))
        return FALSE;
    const char* rest = path + length;
    if (*rest == '\0' || (rest[0] == '\\' && rest[1] == '\0'))
        return !strictly;
    return *rest == '\\';
}

BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

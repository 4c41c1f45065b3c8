#include "join_path.h"

static BOOL IsSeparator(char c) {
    return c == '\\' || c == '/';
}

BOOL JoinPath(char* path, const char* name) {
    int length = lstrlenA(path);
    BOOL separator = length > 0 && !IsSeparator(path[length - 1]);
    int joined = length + (separator ? 1 : 0) + lstrlenA(name);
    if (joined + 2 > MAX_PATH)
        return FALSE;
    if (separator)
        lstrcatA(path, "\\");
    lstrcatA(path, name);
    path[joined + 1] = '\0';
    return TRUE;
}

BOOL AppendName(char* path, const char* name) {
    const char* last = NULL;
    for (const char* at = path; *at != '\0'; at = CharNextA(at))
        last = at;
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

static BOOL SameLetters(const char* part, int length, const char* name) {
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
        if (SameLetters(part, base, devices[i]))
            return TRUE;
    }
    return base == 4 && (SameLetters(part, 3, "COM") || SameLetters(part, 3, "LPT")) &&
           part[3] >= '1' && part[3] <= '9';
}

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

#include "join_path.h"

BOOL JoinPath(char* path, const char* name) {
    int length = lstrlenA(path);
    BOOL separator = length > 0 && path[length - 1] != '\\' && path[length - 1] != '/';
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
    BOOL separator = last != NULL && !(last[0] == '\\' || last[0] == '/');
    int joined = lstrlenA(path) + (separator ? 1 : 0) + lstrlenA(name);
    if (joined + 1 > MAX_PATH)
        return FALSE;
    if (separator)
        lstrcatA(path, "\\");
    lstrcatA(path, name);
    return TRUE;
}

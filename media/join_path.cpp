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

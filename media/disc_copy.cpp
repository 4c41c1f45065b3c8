#include "disc_copy.h"

#include <shellapi.h>

#include "../app/install_state.h"
#include "../app/product_constants.h"
#include "join_path.h"

static DWORD CALLBACK CopyProgress(LARGE_INTEGER totalSize, LARGE_INTEGER transferred,
                                   LARGE_INTEGER streamSize, LARGE_INTEGER streamTransferred,
                                   DWORD streamNumber, DWORD reason, HANDLE source,
                                   HANDLE destination, LPVOID data) {
    (void)totalSize, (void)transferred, (void)streamSize, (void)streamTransferred;
    (void)streamNumber, (void)reason, (void)source, (void)destination, (void)data;
    return CancelRequested() ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
}

static BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates path and every missing folder above it. Separators are found character by character,
// so the 0x5C trail byte of a double-byte character is never taken for one.
static BOOL CreateFolderPath(const char* path) {
    char partial[MAX_PATH];
    int length = lstrlenA(path);
    if (length >= MAX_PATH)
        return FALSE;
    const char* at = path;
    while (*at != '\0') {
        const char* next = CharNextA(at);
        if ((*at == '\\' || *at == '/') && at > path && at[-1] != ':') {
            lstrcpynA(partial, path, (int)(at - path) + 1);
            if (!IsFolder(partial))
                CreateDirectoryA(partial, NULL);
        }
        at = next;
    }
    if (!IsFolder(path))
        CreateDirectoryA(path, NULL);
    return IsFolder(path);
}

// Copies one file over whatever is at destination; a read-only file there is replaced too.
static BOOL CopyOneFile(const char* source, const char* destination) {
    DWORD attributes = GetFileAttributesA(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesA(destination, attributes & ~FILE_ATTRIBUTE_READONLY);
    return CopyFileExA(source, destination, CopyProgress, NULL, NULL, 0);
}

// Copies the contents of folder source into folder destination, which exists.
static BOOL CopyFolderContents(const char* source, const char* destination) {
    char pattern[MAX_PATH];
    lstrcpyA(pattern, source);
    if (!JoinPath(pattern, "*.*"))
        return FALSE;

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;

    BOOL copied = TRUE;
    do {
        if (lstrcmpA(found.cFileName, ".") == 0 || lstrcmpA(found.cFileName, "..") == 0)
            continue;
        if (CancelRequested()) {
            copied = FALSE;
            break;
        }
        char from[MAX_PATH];
        char to[MAX_PATH];
        lstrcpyA(from, source);
        lstrcpyA(to, destination);
        if (!JoinPath(from, found.cFileName) || !JoinPath(to, found.cFileName)) {
            copied = FALSE;
            break;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if (!IsFolder(to))
                CreateDirectoryA(to, NULL);
            copied = IsFolder(to) && CopyFolderContents(from, to);
        } else {
            copied = CopyOneFile(from, to);
        }
    } while (copied && FindNextFileA(find, &found));
    if (copied && GetLastError() != ERROR_NO_MORE_FILES)
        copied = FALSE;
    FindClose(find);
    return copied;
}

int CopyDiscTree(HWND owner) {
    (void)owner;
    // The source as a one-entry list: the drive root, then the product folder's pattern.
    lstrcpyA(InstallState.workBuffer, InstallState.cdRoot);
    lstrcatA(InstallState.workBuffer, DiscSourcePattern);
    InstallState.workBuffer[lstrlenA(InstallState.workBuffer) + 1] = '\0';

    char source[MAX_PATH];
    lstrcpyA(source, InstallState.cdRoot);
    lstrcatA(source, ProductFolder);
    if (!IsFolder(source))
        return 1;
    if (!CreateFolderPath(InstallState.installDir))
        return 1;
    return CopyFolderContents(source, InstallState.installDir) ? 0 : 1;
}

void RemoveInstalledFiles(HWND owner) {
    // An empty folder would make the pattern name the root of the current drive.
    if (InstallState.installDir[0] == '\0')
        return;
    // Room for the folder, "\*.*" and the list's two NULs whatever its length.
    char pattern[MAX_PATH + 8];
    lstrcpyA(pattern, InstallState.installDir);
    lstrcatA(pattern, "\\*.*");
    pattern[lstrlenA(pattern) + 1] = '\0';

    SHFILEOPSTRUCTA operation;
    operation.hwnd = owner;
    operation.wFunc = FO_DELETE;
    operation.pFrom = pattern;
    operation.pTo = NULL;
    operation.fFlags = FOF_NOCONFIRMATION | FOF_SILENT;
    operation.fAnyOperationsAborted = FALSE;
    operation.hNameMappings = NULL;
    operation.lpszProgressTitle = NULL;
    SHFileOperationA(&operation);
}

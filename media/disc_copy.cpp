#include "disc_copy.h"

#include "../app/install_state.h"
#include "../app/product_constants.h"
#include "install_record.h"
#include "join_path.h"

// The copy's block: 64 KiB moved the most per second in measurements, larger blocks less. One
// copy runs at a time, on the copy worker's thread; the block is not on its stack, which takes
// 4 KiB a frame without a probe of each page.
#define COPY_BLOCK_BYTES 65536
static char CopyBlock[COPY_BLOCK_BYTES];

static BOOL IsFolder(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes the folder path unless it is there already.
static BOOL MakeFolder(const char* path) {
    return CreateDirectoryA(path, NULL) || IsFolder(path);
}

// Makes a folder inside the install folder unless it is there already; one this call makes is
// recorded as the install's own.
static BOOL MakeOwnFolder(const char* path) {
    if (IsFolder(path))
        return TRUE;
    if (!RecordWritten(path, RECORD_FOLDER))
        return FALSE;
    if (CreateDirectoryA(path, NULL))
        return TRUE;
    ForgetLastWritten();
    return IsFolder(path);
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
    return MakeFolder(path);
}

// Opens destination for writing, replacing whatever file is there. A file that is not there yet
// is made as a new one: replacing (CREATE_ALWAYS) empties the file first, and some file systems
// write out a file emptied so as soon as it is closed, which makes the close of a large copy, and
// its removal after a cancel, wait for the disk. A read-only, hidden or system file left by an
// earlier install refuses to be replaced until its attributes are cleared; when it can't be
// opened even then, it gets them back.
static HANDLE CreateDestination(const char* destination) {
    HANDLE file =
        CreateFileA(destination, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE)
        return file;
    file = CreateFileA(destination, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       NULL);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
        return file;
    DWORD attributes = GetFileAttributesA(destination);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileAttributesA(destination, FILE_ATTRIBUTE_NORMAL))
        return INVALID_HANDLE_VALUE;
    file = CreateFileA(destination, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       NULL);
    if (file == INVALID_HANDLE_VALUE)
        SetFileAttributesA(destination, attributes);
    return file;
}

// Copies one file. The copy is the user's: normal attributes whatever the disc's file carries
// (every file on a CD is read-only), and the disc file's time of last change where the file
// system can hold it (the copy is whole without it). The destination is recorded before it is
// opened. FALSE when the record can't take it, a block can't be read or written, or the user
// cancelled.
static BOOL CopyOneFile(const char* source, const char* destination, const FILETIME* written) {
    HANDLE from = CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (from == INVALID_HANDLE_VALUE)
        return FALSE;
    if (!RecordWritten(destination, RECORD_FILE)) {
        CloseHandle(from);
        return FALSE;
    }
    HANDLE to = CreateDestination(destination);
    if (to == INVALID_HANDLE_VALUE) {
        ForgetLastWritten();
        CloseHandle(from);
        return FALSE;
    }
    BOOL copied = TRUE;
    for (;;) {
        DWORD read = 0;
        DWORD put = 0;
        if (CancelRequested() || !ReadFile(from, CopyBlock, COPY_BLOCK_BYTES, &read, NULL)) {
            copied = FALSE;
            break;
        }
        if (read == 0)
            break;
        if (!WriteFile(to, CopyBlock, read, &put, NULL) || put != read) {
            copied = FALSE;
            break;
        }
    }
    if (copied)
        SetFileTime(to, NULL, NULL, written);
    if (!CloseHandle(to))
        copied = FALSE;
    CloseHandle(from);
    return copied;
}

// Copies the contents of folder source into folder destination, which exists. A folder that
// can't be listed fails the copy: every folder but a drive's root lists at least "." and "..",
// so "nothing found" is never an empty folder.
static BOOL CopyFolderContents(const char* source, const char* destination) {
    char pattern[MAX_PATH];
    lstrcpyA(pattern, source);
    if (!AppendName(pattern, "*.*"))
        return FALSE;

    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return FALSE;

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
        if (!AppendName(from, found.cFileName) || !AppendName(to, found.cFileName)) {
            copied = FALSE;
            break;
        }
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            copied = MakeOwnFolder(to) && CopyFolderContents(from, to);
        else
            copied = CopyOneFile(from, to, &found.ftLastWriteTime);
    } while (copied && FindNextFileA(find, &found));
    if (copied && GetLastError() != ERROR_NO_MORE_FILES)
        copied = FALSE;
    FindClose(find);
    return copied;
}

int CopyDiscTree(HWND owner) {
    (void)owner;
    char source[MAX_PATH];
    lstrcpyA(source, InstallState.cdRoot);
    lstrcatA(source, ProductFolder);
    if (!IsFolder(source))
        return 1;
    if (!CreateFolderPath(InstallState.installDir))
        return 1;
    return CopyFolderContents(source, InstallState.installDir) ? 0 : 1;
}

// Whether path names a folder that things may be removed from: a drive root ("X:\") or a share
// root ("\\server\share\"), then at least one folder below it, and no "." or ".." part that
// could lead back up to the root. The folder the user chose always qualifies, since the product
// folder is joined to it; this keeps the removal from ever touching a root or the current
// folder, whatever the record holds.
static BOOL MayEmptyFolder(const char* path) {
    const char* rest;
    if (DriveRootLength(path) == 3) {
        rest = path + 3;
    } else if (IsSharePath(path)) {
        // Past the server's and the share's names.
        rest = path + 2;
        for (int names = 0; names < 2; names++) {
            const char* start = rest;
            while (*rest != '\0' && *rest != '\\' && *rest != '/')
                rest = CharNextA(rest);
            if (rest == start || *rest == '\0')
                return FALSE;
            rest++;
        }
    } else {
        return FALSE;
    }
    BOOL named = FALSE;
    const char* part = rest;
    for (const char* at = rest;; at = CharNextA(at)) {
        if (*at == '\0' || *at == '\\' || *at == '/') {
            int length = (int)(at - part);
            if ((length == 1 && part[0] == '.') ||
                (length == 2 && part[0] == '.' && part[1] == '.'))
                return FALSE;
            if (length > 0)
                named = TRUE;
            if (*at == '\0')
                break;
            part = at + 1;
        }
    }
    return named;
}

void RemoveInstalledFiles(HWND owner) {
    (void)owner;
    if (MayEmptyFolder(InstallState.installDir))
        RemoveWritten();
}

#include "install_record.h"

#include "../app/install_state.h"

// The record's first block: a few dozen names. It doubles whenever it is full, so a game of
// many thousand files takes a dozen or so growths.
#define RECORD_FIRST_BYTES 256

// Makes room for bytes more in the record. FALSE, with the record as it was, when the heap has
// no larger block to give.
static BOOL MakeRoom(DWORD bytes) {
    DWORD needed = InstallState.writtenLength + bytes;
    if (needed <= InstallState.writtenRoom)
        return TRUE;
    DWORD room = InstallState.writtenRoom == 0 ? RECORD_FIRST_BYTES : InstallState.writtenRoom;
    while (room < needed)
        room *= 2;
    char* grown = InstallState.written == NULL
                      ? (char*)HeapAlloc(GetProcessHeap(), 0, room)
                      : (char*)HeapReAlloc(GetProcessHeap(), 0, InstallState.written, room);
    if (grown == NULL)
        return FALSE;
    InstallState.written = grown;
    InstallState.writtenRoom = room;
    return TRUE;
}

BOOL RecordWritten(const char* path, char kind) {
    const char* folder = InstallState.installDir;
    int base = 0;
    while (folder[base] != '\0') {
        if (path[base] != folder[base])
            return FALSE;
        base++;
    }
    if (base == 0 || path[base] != '\\' || path[base + 1] == '\0')
        return FALSE;
    const char* name = path + base + 1;
    DWORD length = (DWORD)lstrlenA(name);
    if ((DWORD)base + 1 + length >= MAX_PATH || !MakeRoom(length + 2))
        return FALSE;
    // An entry: the kind, the name and its NUL.
    char* entry = InstallState.written + InstallState.writtenLength;
    entry[0] = kind;
    CopyMemory(entry + 1, name, length + 1);
    InstallState.writtenLength += length + 2;
    return TRUE;
}

// Where the entry that ends at end (just past its NUL) begins. No entry holds a NUL but its
// last byte.
static DWORD EntryBefore(DWORD end) {
    DWORD start = end - 1;
    while (start > 0 && InstallState.written[start - 1] != '\0')
        start--;
    return start;
}

void ForgetLastWritten(void) {
    if (InstallState.writtenLength > 0)
        InstallState.writtenLength = EntryBefore(InstallState.writtenLength);
}

void RemoveWritten(void) {
    char path[MAX_PATH];
    for (DWORD end = InstallState.writtenLength; end > 0;) {
        DWORD start = EntryBefore(end);
        const char* entry = InstallState.written + start;
        // As long as when it was recorded.
        lstrcpyA(path, InstallState.installDir);
        lstrcatA(path, "\\");
        lstrcatA(path, entry + 1);
        if (entry[0] == RECORD_FOLDER)
            RemoveDirectoryA(path);
        else
            DeleteFileA(path);
        end = start;
    }
    if (InstallState.written != NULL)
        HeapFree(GetProcessHeap(), 0, InstallState.written);
    InstallState.written = NULL;
    InstallState.writtenLength = 0;
    InstallState.writtenRoom = 0;
}

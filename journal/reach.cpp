#include "reach.h"

#include "../base/paths.h"
#include "../base/product_constants.h"
#include "own_place.h"
#include "records.h"

// Whether path is one of the places of the product's links that place wrote down: the program
// group's two folders (kind JOURNAL_FOLDER), or a link in the group or on the desktop.
static BOOL IsLinkPlace(const JOURNALPLACE* place, char kind, const char* path) {
    char link[MAX_PATH];
    if (place->programs[0] != '\0') {
        lstrcpyA(link, place->programs);
        if (!JoinPath(link, CompanyFolder))
            return FALSE;
        if (kind == JOURNAL_FOLDER && SamePath(path, link))
            return TRUE;
        if (!JoinPath(link, ProductTitle))
            return FALSE;
        if (kind == JOURNAL_FOLDER)
            return SamePath(path, link);
        int group = lstrlenA(link);
        for (int row = 0; row < SHORTCUT_ROWS; row++) {
            link[group] = '\0';
            if (JoinPath(link, ShortcutLinkNames[row]) && SamePath(path, link))
                return TRUE;
        }
    }
    if (kind == JOURNAL_FOLDER || place->desktop[0] == '\0')
        return FALSE;
    for (int row = 0; row < 2; row++) {
        lstrcpyA(link, place->desktop);
        if (JoinPath(link, ShortcutLinkNames[row]) && SamePath(path, link))
            return TRUE;
    }
    return FALSE;
}

// Whether a record of kind in the journal of place may name path, by its name alone.
static BOOL IsReachable(const JOURNALPLACE* place, char kind, const char* path) {
    if (!IsPlainPath(path) || HoldsSetupName(path))
        return FALSE;
    if (IsWithin(path, place->folder, FALSE))
        return TRUE;
    if (kind == JOURNAL_FOLDER) {
        char journalFolder[MAX_PATH];
        JournalFolder(place, journalFolder);
        // A journal in setup's own folder of the volume names the folders made below the
        // deepest one that was there.
        if (IsOwnFolderPath(journalFolder))
            lstrcpyA(journalFolder, place->base);
        if (journalFolder[0] != '\0' && IsWithin(place->folder, path, TRUE) &&
            IsWithin(path, journalFolder, TRUE))
            return TRUE;
    }
    return IsLinkPlace(place, kind, path);
}

BOOL PassesThroughLink(const char* path, char* checked) {
    int folder = FolderLength(path);
    // The separators of the root: the drive's, or the four of a share ("\\server\share\").
    int rootSeparators = path[0] == '\\' ? 4 : 1;
    int separators = 0;
    char way[MAX_PATH];
    for (const char* at = path; *at != '\0' && at - path <= folder; at = CharNextA(at)) {
        if (*at != '\\' || ++separators <= rootSeparators)
            continue;
        int length = (int)(at - path);
        CopyMemory(way, path, length);
        way[length] = '\0';
        if (IsWithin(checked, way, FALSE))
            continue;
        DWORD attributes = GetFileAttributesA(way);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            // Not there (nor its drive, its disc or its share): nothing lies beyond it to reach.
            // A folder that is there but can't be looked at may be anything, a link too.
            DWORD error = GetLastError();
            return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND &&
                   error != ERROR_NOT_READY && error != ERROR_INVALID_DRIVE &&
                   error != ERROR_BAD_NETPATH && error != ERROR_BAD_NET_NAME;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return TRUE;
    }
    CopyMemory(checked, path, folder);
    checked[folder] = '\0';
    return FALSE;
}

BOOL IsReachedThroughLink(const char* path) {
    char checked[MAX_PATH];
    checked[0] = '\0';
    if (PassesThroughLink(path, checked))
        return TRUE;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void BeginLinkWalk(LINKWALK* walk) {
    walk->paths[0] = '\0';
    walk->kept[0] = '\0';
    walk->held = NULL;
    walk->gone = FALSE;
}

void EndLinkWalk(LINKWALK* walk) {
    if (walk->held != NULL)
        CloseHandle(walk->held);
    walk->held = NULL;
    walk->paths[0] = '\0';
}

// The folder at folder, opened to be held: as it is (not what a link there leads to) unless
// follow, sharing reading and writing but no deleting.
static HANDLE OpenToHold(const char* folder, BOOL follow) {
    return CreateFileA(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
                       NULL);
}

// Whether path is reached through a link, as PassesThroughLink looks from the folder from (empty:
// from the drive's root or share), with its folder held by walk as it is found plain. The root is
// held by no one: no one renames it. A shell folder that is path's folder itself is followed,
// where it is a link.
static BOOL HoldWayTo(const char* path, const char* from, LINKWALK* walk) {
    char checked[MAX_PATH];
    walk->gone = FALSE;
    if ((GetVersion() & 0x80000000) != 0) {
        if (from[0] == '\0')
            return PassesThroughLink(path, walk->paths);
        lstrcpyA(checked, from);
        return PassesThroughLink(path, checked);
    }
    int length = FolderLength(path);
    char folder[MAX_PATH];
    CopyMemory(folder, path, length);
    folder[length] = '\0';
    // Held since it was found plain: nothing on the way has changed.
    if (walk->held != NULL && SamePath(folder, walk->paths))
        return FALSE;
    if (length < DriveRootLength(path)) {
        EndLinkWalk(walk);
        return FALSE;
    }
    // The folder held so far is let go only once the next one is: where they share a way, it
    // stays held throughout.
    BOOL follow = from[0] != '\0' && SamePath(folder, from);
    HANDLE held = OpenToHold(folder, follow);
    DWORD error = held == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    EndLinkWalk(walk);
    if (held == INVALID_HANDLE_VALUE) {
        // Not there: nothing in it to act on, unless the way to it passes through a link.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return TRUE;
        lstrcpyA(checked, from);
        walk->gone = !PassesThroughLink(path, checked);
        return !walk->gone;
    }
    // The folder held must be a folder, not a link, and every folder above it plain; and what the
    // path names now must be the folder held, not one a link above led the open to before it was
    // swapped back. From then on none of them can change.
    BY_HANDLE_FILE_INFORMATION holds;
    BY_HANDLE_FILE_INFORMATION named;
    lstrcpyA(checked, from);
    BOOL through = !GetFileInformationByHandle(held, &holds) ||
                   (holds.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                   (!follow && (holds.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
                   PassesThroughLink(path, checked);
    if (!through) {
        HANDLE look = CreateFileA(
            folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            NULL, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), NULL);
        through = look == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(look, &named) ||
                  named.dwVolumeSerialNumber != holds.dwVolumeSerialNumber ||
                  named.nFileIndexHigh != holds.nFileIndexHigh ||
                  named.nFileIndexLow != holds.nFileIndexLow;
        if (look != INVALID_HANDLE_VALUE)
            CloseHandle(look);
    }
    if (through) {
        CloseHandle(held);
        return TRUE;
    }
    walk->held = held;
    lstrcpyA(walk->paths, folder);
    return FALSE;
}

// Where a look for links on the way to a path of a record of place begins: a place of the
// product's links is looked at only below the shell folder that setup wrote down, which is the
// user's own (under Wine, the desktop is often a link to the user's home); any other path from
// its drive's root ("").
static const char* LookFrom(const JOURNALPLACE* place, const char* path) {
    if (!IsWithin(path, place->folder, FALSE)) {
        if (place->programs[0] != '\0' && IsWithin(path, place->programs, TRUE))
            return place->programs;
        if (place->desktop[0] != '\0' && IsWithin(path, place->desktop, TRUE))
            return place->desktop;
    }
    return "";
}

// Whether the kept path of a record of place is reached through a link (PassesThroughLink, from
// where walk found plain, or from its shell folder).
static BOOL KeptPassesThroughLink(const JOURNALPLACE* place, const char* kept, LINKWALK* walk) {
    const char* from = LookFrom(place, kept);
    if (from[0] == '\0')
        return PassesThroughLink(kept, walk->kept);
    char trusted[MAX_PATH];
    lstrcpyA(trusted, from);
    return PassesThroughLink(kept, trusted);
}

BOOL MayTouch(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
              char* kept) {
    BOOL keeps = KeepsAFile(kind);
    walk->gone = FALSE;
    return IsReachable(place, kind, path) && (!keeps || KeptPath(place, path, number, kept)) &&
           !HoldWayTo(path, LookFrom(place, path), walk) &&
           (!keeps || !KeptPassesThroughLink(place, kept, walk));
}

BOOL MayCommit(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
               char* kept) {
    BOOL keeps = KeepsAFile(kind);
    walk->gone = FALSE;
    return IsReachable(place, kind, path) && (!keeps || KeptPath(place, path, number, kept)) &&
           (!keeps || !KeptPassesThroughLink(place, kept, walk));
}

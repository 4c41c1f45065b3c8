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

// Whether the path of a record of place is reached through a link (PassesThroughLink): a place
// of the product's links is looked at only below the shell folder that setup wrote down, which
// is the user's own (under Wine, the desktop is often a link to the user's home).
static BOOL RecordPassesThroughLink(const JOURNALPLACE* place, const char* path, char* checked) {
    const char* shellFolder = NULL;
    if (!IsWithin(path, place->folder, FALSE)) {
        if (place->programs[0] != '\0' && IsWithin(path, place->programs, TRUE))
            shellFolder = place->programs;
        else if (place->desktop[0] != '\0' && IsWithin(path, place->desktop, TRUE))
            shellFolder = place->desktop;
    }
    if (shellFolder == NULL)
        return PassesThroughLink(path, checked);
    char trusted[MAX_PATH];
    lstrcpyA(trusted, shellFolder);
    return PassesThroughLink(path, trusted);
}

BOOL MayTouch(const JOURNALPLACE* place, char kind, const char* path, DWORD number, LINKWALK* walk,
              char* kept) {
    BOOL keeps = KeepsAFile(kind);
    return IsReachable(place, kind, path) && (!keeps || KeptPath(place, path, number, kept)) &&
           !RecordPassesThroughLink(place, path, walk->paths) &&
           (!keeps || !RecordPassesThroughLink(place, kept, walk->kept));
}

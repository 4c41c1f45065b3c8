#include "setup_names.h"

#include "../base/paths.h"
#include "../base/product_constants.h"
#include "records.h"

BOOL IsSetupName(const char* name) {
    if (StartsWithLetters(name, SetupNamePrefix))
        return TRUE;
    // A short name keeps the first one or two characters of the long one, and then a '~' and a
    // number ("~KELVO~1", "~K3F2A~5"): which long name it stands for only the disk could say.
    char lead[3] = {SetupNamePrefix[0], SetupNamePrefix[1], '\0'};
    if (!StartsWithLetters(name, lead))
        return FALSE;
    for (const char* at = name + 2; *at != '\0'; at = CharNextA(at)) {
        if (*at == '~')
            return TRUE;
    }
    return FALSE;
}

BOOL HoldsSetupName(const char* path) {
    const char* name = path;
    for (const char* at = path;; at = CharNextA(at)) {
        if (*at == '\\' || *at == '/' || *at == '\0') {
            char part[MAX_PATH];
            int length = (int)(at - name);
            if (length >= MAX_PATH)
                return TRUE;
            CopyMemory(part, name, length);
            part[length] = '\0';
            if (IsSetupName(part))
                return TRUE;
            if (*at == '\0')
                return FALSE;
            name = at + 1;
        }
    }
}

BOOL IsInstallableName(const char* name) {
    int length = lstrlenA(name);
    if (length == 0 || IsSetupName(name) || IsDeviceName(name, length))
        return FALSE;
    // Windows drops a dot or a space at the end of a name: the file would be made under another.
    return name[length - 1] != '.' && name[length - 1] != ' ';
}

void SetupName(char* out, DWORD identity) {
    lstrcpyA(out, KeptPrefix);
    int at = lstrlenA(out);
    at += PutHex(out + at, identity);
    out[at] = '\0';
}

void JournalName(char* out, DWORD identity) {
    SetupName(out, identity);
    lstrcatA(out, JournalSuffix);
}

void JournalFolder(const JOURNALPLACE* place, char* folder) {
    int length = FolderLength(place->journal);
    CopyMemory(folder, place->journal, length);
    folder[length] = '\0';
    if (length == 2 && folder[1] == ':')
        lstrcatA(folder, "\\");
}

BOOL KeptFolder(const JOURNALPLACE* place, DWORD group, char* path) {
    char name[40];
    SetupName(name, place->identity);
    JournalFolder(place, path);
    if (!AppendName(path, name))
        return FALSE;
    if (group == KEPT_ROOT)
        return TRUE;
    char digits[12];
    digits[PutDecimal(digits, group)] = '\0';
    return AppendName(path, digits);
}

BOOL IsKeptInKeptFolder(const JOURNALPLACE* place, const char* path) {
    return IsWithin(path, place->folder, TRUE);
}

BOOL KeptPath(const JOURNALPLACE* place, const char* path, DWORD number, char* kept) {
    char name[48];
    if (IsKeptInKeptFolder(place, path)) {
        if (number == 0 || !KeptFolder(place, (number - 1) / KEPT_PER_FOLDER, kept))
            return FALSE;
        name[PutDecimal(name, (number - 1) % KEPT_PER_FOLDER)] = '\0';
        return AppendName(kept, name);
    }
    int folder = FolderLength(path);
    if (folder == 0)
        return FALSE;
    CopyMemory(kept, path, folder);
    kept[folder] = '\0';
    SetupName(name, place->identity);
    int at = lstrlenA(name);
    name[at++] = '-';
    at += PutDecimal(name + at, number);
    name[at] = '\0';
    lstrcatA(name, KeptSuffix);
    return AppendName(kept, name);
}

BOOL ChooseJournalFolder(const char* installDir, char* folder) {
    lstrcpyA(folder, installDir);
    for (;;) {
        if (lstrlenA(folder) + SETUP_NAMES_ROOM < MAX_PATH && IsFolder(folder))
            return TRUE;
        int length = FolderLength(folder);
        if (length == 0 || folder[length + 1] == '\0' || (IsSharePath(folder) && length <= 2))
            return FALSE;
        folder[length] = '\0';
        if (length == 2 && folder[1] == ':')
            lstrcatA(folder, "\\");
    }
}

BOOL IsSetupsJournalPlace(const JOURNALPLACE* place) {
    char folder[MAX_PATH];
    char name[40];
    JournalFolder(place, folder);
    JournalName(name, place->identity);
    return IsPlainPath(place->journal) && IsPlainPath(place->folder) &&
           IsWithin(place->folder, folder, FALSE) && SamePath(LastName(place->journal), name);
}

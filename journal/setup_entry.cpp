#include "setup_entry.h"

#include "../base/paths.h"
#include "../base/product_constants.h"
#include "entry_access.h"
#include "journal_state.h"

static const char EntryJournal[] = "Journal";
static const char EntryFolder[] = "Folder";
static const char EntryIdentity[] = "Identity";
static const char EntryBase[] = "Base";

// Where the entry may be kept, asked once: the machine's key when setup may make a key in it;
// the user's only when the machine's clearly refuses a standard user (access denied, and the
// token holds no Administrators); NULL for any other answer, which no later look may change.
static HKEY ChooseEntryRoot(void) {
    HKEY software;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_CREATE_SUB_KEY, &software);
    if (opened == ERROR_SUCCESS) {
        RegCloseKey(software);
        return HKEY_LOCAL_MACHINE;
    }
    // Windows 95, 98 and ME refuse nobody: a failure there is only a failure.
    if (opened != ERROR_ACCESS_DENIED || (GetVersion() & 0x80000000) != 0 ||
        WhoRunsSetup() != RUNS_AS_USER)
        return NULL;
    return HKEY_CURRENT_USER;
}

HKEY SetupEntryRoot(void) {
    if (!JournalState.entryRootChosen) {
        JournalState.entryRoot = ChooseEntryRoot();
        JournalState.entryRootChosen = TRUE;
    }
    return JournalState.entryRoot;
}

BOOL NamesInstallFolder(const char* folder) {
    if (!IsPlainPath(folder) || !SamePath(LastName(folder), ProductFolder))
        return FALSE;
    // Below a drive's root ("d:\kelvo"), or below a share ("\\server\share\kelvo"): the
    // separators before the product folder, found character by character.
    int separators = 0;
    for (const char* at = folder; *at != '\0'; at = CharNextA(at)) {
        if (*at == '\\')
            separators++;
    }
    return separators >= (IsSharePath(folder) ? 4 : 1);
}

static BOOL SetText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)text, (DWORD)lstrlenA(text) + 1) ==
           ERROR_SUCCESS;
}

// Reads the text value name into text (MAX_PATH bytes); an empty text when there is none.
static BOOL GetText(HKEY key, const char* name, char* text) {
    DWORD type = 0;
    DWORD size = MAX_PATH;
    text[0] = '\0';
    if (RegQueryValueExA(key, name, NULL, &type, (LPBYTE)text, &size) != ERROR_SUCCESS ||
        type != REG_SZ || size == 0 || size > MAX_PATH) {
        text[0] = '\0';
        return FALSE;
    }
    text[size - 1] = '\0';
    return TRUE;
}

BOOL WriteSetupEntry(const JOURNALPLACE* place, HKEY* root) {
    *root = SetupEntryRoot();
    if (*root == NULL || !NamesInstallFolder(place->folder))
        return FALSE;
    // The key's own access list on the NT line; Windows 95, 98 and ME keep none.
    DWORD descriptor[ENTRY_DESCRIPTOR_BYTES / sizeof(DWORD)];
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    BOOL nt = (GetVersion() & 0x80000000) == 0;
    if (nt && !MakeEntryDescriptor(*root, descriptor))
        return FALSE;
    HKEY key;
    DWORD disposition = 0;
    if (RegCreateKeyExA(*root, SetupEntryKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                        nt ? &attributes : NULL, &key, &disposition) != ERROR_SUCCESS)
        return FALSE;
    if (disposition != REG_CREATED_NEW_KEY) {
        RegCloseKey(key);
        return FALSE;
    }
    DWORD identity = place->identity;
    BOOL written = SetText(key, EntryJournal, place->journal) &&
                   SetText(key, EntryFolder, place->folder) &&
                   SetText(key, EntryBase, place->base) &&
                   RegSetValueExA(key, EntryIdentity, 0, REG_DWORD, (const BYTE*)&identity,
                                  sizeof(identity)) == ERROR_SUCCESS &&
                   RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!written)
        RegDeleteKeyA(*root, SetupEntryKey);
    return written;
}

BOOL NoteSetupEntryFolder(HKEY root, const char* name, const char* folder) {
    HKEY key;
    if (RegOpenKeyExA(root, SetupEntryKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return FALSE;
    BOOL written = SetText(key, name, folder) && RegFlushKey(key) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

void DeleteSetupEntry(HKEY root) {
    RegDeleteKeyA(root, SetupEntryKey);
}

int ReadSetupEntry(HKEY root, JOURNALPLACE* place) {
    HKEY key;
    if (RegOpenKeyExA(root, SetupEntryKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return SETUP_ENTRY_NONE;
    DWORD type = 0;
    DWORD size = sizeof(place->identity);
    BOOL named =
        GetText(key, EntryJournal, place->journal) && GetText(key, EntryFolder, place->folder) &&
        RegQueryValueExA(key, EntryIdentity, NULL, &type, (LPBYTE)&place->identity, &size) ==
            ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof(place->identity);
    GetText(key, EntryBase, place->base);
    GetText(key, "Programs", place->programs);
    GetText(key, "Desktop", place->desktop);
    RegCloseKey(key);
    return named ? SETUP_ENTRY_NAMED : SETUP_ENTRY_UNNAMED;
}

BOOL InterruptedInstallRecorded(void) {
    HKEY root = SetupEntryRoot();
    HKEY key;
    // Where it can't be told, the recovery says so.
    if (root == NULL)
        return TRUE;
    if (RegOpenKeyExA(root, SetupEntryKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    RegCloseKey(key);
    return TRUE;
}

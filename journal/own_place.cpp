#include "own_place.h"

#include "../base/paths.h"
#include "../base/product_constants.h"
#include "setup_entry.h"

// The security calls are looked up where they are used: the first Windows 95 has none of them,
// and a program that imports one does not load there.
typedef BOOL(WINAPI* GETKERNELOBJECTSECURITY)(HANDLE handle, SECURITY_INFORMATION requested,
                                              PSECURITY_DESCRIPTOR descriptor, DWORD length,
                                              LPDWORD needed);
typedef BOOL(WINAPI* GETSECURITYDESCRIPTOROWNER)(PSECURITY_DESCRIPTOR descriptor, PSID* owner,
                                                 LPBOOL defaulted);
typedef BOOL(WINAPI* GETSECURITYDESCRIPTORDACL)(PSECURITY_DESCRIPTOR descriptor, LPBOOL present,
                                                PACL* dacl, LPBOOL defaulted);
typedef BOOL(WINAPI* GETSECURITYDESCRIPTORCONTROL)(PSECURITY_DESCRIPTOR descriptor,
                                                   PSECURITY_DESCRIPTOR_CONTROL control,
                                                   LPDWORD revision);
typedef BOOL(WINAPI* GETACE)(PACL acl, DWORD index, LPVOID* ace);
typedef BOOL(WINAPI* EQUALSID)(PSID first, PSID second);
typedef BOOL(WINAPI* ISVALIDSID)(PSID sid);
typedef BOOL(WINAPI* GETFILEINFORMATIONBYHANDLE)(HANDLE file,
                                                 LPBY_HANDLE_FILE_INFORMATION information);

typedef struct {
    GETKERNELOBJECTSECURITY getKernelObjectSecurity;
    GETSECURITYDESCRIPTOROWNER getOwner;
    GETSECURITYDESCRIPTORDACL getDacl;
    GETSECURITYDESCRIPTORCONTROL getControl;
    GETACE getAce;
    EQUALSID equalSid;
    ISVALIDSID isValidSid;
    GETFILEINFORMATIONBYHANDLE getFileInformation;
} SECURITYCALLS;

static FARPROC Lookup(HMODULE module, const char* name) {
    return module == NULL ? NULL : GetProcAddress(module, name);
}

// FALSE when one of them is not there.
static BOOL FindSecurityCalls(SECURITYCALLS* calls) {
    // Loaded with the program: its registry calls are imported.
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    calls->getKernelObjectSecurity =
        (GETKERNELOBJECTSECURITY)(void (*)(void))Lookup(advapi, "GetKernelObjectSecurity");
    calls->getOwner =
        (GETSECURITYDESCRIPTOROWNER)(void (*)(void))Lookup(advapi, "GetSecurityDescriptorOwner");
    calls->getDacl =
        (GETSECURITYDESCRIPTORDACL)(void (*)(void))Lookup(advapi, "GetSecurityDescriptorDacl");
    calls->getControl = (GETSECURITYDESCRIPTORCONTROL)(void (*)(void))Lookup(
        advapi, "GetSecurityDescriptorControl");
    calls->getAce = (GETACE)(void (*)(void))Lookup(advapi, "GetAce");
    calls->equalSid = (EQUALSID)(void (*)(void))Lookup(advapi, "EqualSid");
    calls->isValidSid = (ISVALIDSID)(void (*)(void))Lookup(advapi, "IsValidSid");
    calls->getFileInformation =
        (GETFILEINFORMATIONBYHANDLE)(void (*)(void))Lookup(kernel, "GetFileInformationByHandle");
    return calls->getKernelObjectSecurity != NULL && calls->getOwner != NULL &&
           calls->getDacl != NULL && calls->getControl != NULL && calls->getAce != NULL &&
           calls->equalSid != NULL && calls->isValidSid != NULL &&
           calls->getFileInformation != NULL;
}

// The two who may change setup's own folder: BUILTIN\Administrators (S-1-5-32-544) and SYSTEM
// (S-1-5-18), in the form of a SID.
static BYTE AdministratorsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
static BYTE SystemSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0};

// The descriptor the folder is made with, in its self-relative form: owned by Administrators,
// and an access list, protected from what the root would hand down, that gives Administrators
// and SYSTEM full control of it and of everything made in it (OI|CI), and no one else anything.
#define OWN_DACL_BYTES (8 + 24 + 20)
#define OWN_DESCRIPTOR_BYTES (20 + 16 + OWN_DACL_BYTES)
static union {
    BYTE bytes[OWN_DESCRIPTOR_BYTES];
    DWORD aligned;
} OwnDescriptor = {{// Revision 1; SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT; the owner
                    // at 20, no group, no SACL, the DACL at 36.
                    1, 0, 0x04, 0x90, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0,
                    // The owner.
                    1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0,
                    // The DACL: revision 2, its size, two entries.
                    2, 0, OWN_DACL_BYTES, 0, 2, 0, 0, 0,
                    // Allowed, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 24 bytes,
                    // FILE_ALL_ACCESS, Administrators.
                    0, 3, 24, 0, 0xFF, 0x01, 0x1F, 0x00, 1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0,
                    0x20, 2, 0, 0,
                    // The same for SYSTEM, 20 bytes.
                    0, 3, 20, 0, 0xFF, 0x01, 0x1F, 0x00, 1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0}};

static BOOL IsAdministratorsOrSystem(const SECURITYCALLS* calls, PSID sid) {
    return calls->isValidSid(sid) &&
           (calls->equalSid(sid, (PSID)AdministratorsSid) || calls->equalSid(sid, (PSID)SystemSid));
}

// Whether the descriptor is one that only setup, running as an administrator, could have given
// the folder: owned by Administrators or SYSTEM (no one else can give an owner of theirs), an
// access list that nothing was inherited into, and no entry that allows anyone else anything.
// Entries that deny are harmless; one of a kind not known here is not.
static BOOL IsOwnDescriptor(const SECURITYCALLS* calls, PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = NULL;
    BOOL defaulted = FALSE;
    if (!calls->getOwner(descriptor, &owner, &defaulted) || owner == NULL ||
        !IsAdministratorsOrSystem(calls, owner))
        return FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!calls->getControl(descriptor, &control, &revision) || (control & SE_DACL_PROTECTED) == 0)
        return FALSE;
    BOOL present = FALSE;
    PACL dacl = NULL;
    // No access list at all (a NULL DACL, as FAT reports) lets everyone do everything.
    if (!calls->getDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == NULL)
        return FALSE;
    for (DWORD index = 0; index < dacl->AceCount; index++) {
        LPVOID entry = NULL;
        if (!calls->getAce(dacl, index, &entry) || entry == NULL)
            return FALSE;
        ACCESS_ALLOWED_ACE* ace = (ACCESS_ALLOWED_ACE*)entry;
        if (ace->Header.AceType == ACCESS_DENIED_ACE_TYPE)
            continue;
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            !IsAdministratorsOrSystem(calls, (PSID)&ace->SidStart))
            return FALSE;
    }
    return TRUE;
}

BOOL IsOwnFolderPath(const char* folder) {
    return DriveRootLength(folder) == 3 && SamePath(folder + 3, SetupNamePrefix);
}

BOOL OwnFolderOf(const char* installDir, char* folder) {
    folder[0] = '\0';
    // A share's access list is another machine's, whose Administrators are not this one's; and
    // a setup that may not write HKEY_LOCAL_MACHINE may make no folder that only they may change.
    if (DriveRootLength(installDir) != 3 || (GetVersion() & 0x80000000) != 0 ||
        SetupEntryRoot() != HKEY_LOCAL_MACHINE)
        return FALSE;
    char root[4];
    CopyMemory(root, installDir, 3);
    root[3] = '\0';
    // A volume that can't be asked is taken as one that keeps access lists: the folder is then
    // made and looked at as on NTFS, and where the volume keeps none it goes again
    // (PrepareOwnFolder). Taking it for FAT would put the journal where everyone may write.
    DWORD flags = FS_PERSISTENT_ACLS;
    if (GetVolumeInformationA(root, NULL, 0, NULL, NULL, &flags, NULL, 0) &&
        (flags & FS_PERSISTENT_ACLS) == 0)
        return FALSE;
    lstrcpyA(folder, root);
    return AppendName(folder, SetupNamePrefix);
}

int LookAtOwnFolder(const char* folder) {
    SECURITYCALLS calls;
    if (!FindSecurityCalls(&calls))
        return OWN_FOLDER_REFUSED;
    // The folder itself, not what a link there leads to; it is looked at through this handle, so
    // that what is looked at is what is there.
    HANDLE handle =
        CreateFileA(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? OWN_FOLDER_MISSING
                                                                              : OWN_FOLDER_REFUSED;
    }
    int found = OWN_FOLDER_REFUSED;
    BY_HANDLE_FILE_INFORMATION information;
    // The descriptor's parts: the owner, the access list. Any that does not fit is not ours.
    union {
        BYTE bytes[512];
        DWORD aligned;
    } descriptor;
    DWORD needed = 0;
    if (calls.getFileInformation(handle, &information) &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
        calls.getKernelObjectSecurity(handle,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      descriptor.bytes, sizeof(descriptor.bytes), &needed) &&
        IsOwnDescriptor(&calls, descriptor.bytes))
        found = OWN_FOLDER_SOUND;
    CloseHandle(handle);
    return found;
}

int PrepareOwnFolder(const char* installDir, char* folder) {
    if (!OwnFolderOf(installDir, folder))
        return OWN_FOLDER_NONE;
    int found = LookAtOwnFolder(folder);
    if (found != OWN_FOLDER_MISSING)
        return found;
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = OwnDescriptor.bytes;
    attributes.bInheritHandle = FALSE;
    // Made by another in the meantime, it is looked at as any other.
    if (!CreateDirectoryA(folder, &attributes))
        return LookAtOwnFolder(folder) == OWN_FOLDER_SOUND ? OWN_FOLDER_SOUND : OWN_FOLDER_REFUSED;
    if (LookAtOwnFolder(folder) == OWN_FOLDER_SOUND)
        return OWN_FOLDER_SOUND;
    // Made just now, and yet without the access list it was made with (which no one else may
    // change, on Windows): the volume keeps none that it is given, as Wine's drives, and everyone
    // may change everything on it anyway. The folder goes again, and setup keeps its files as it
    // does where there is no access control.
    RemoveDirectoryA(folder);
    folder[0] = '\0';
    return OWN_FOLDER_NONE;
}

int CheckJournalPlace(const JOURNALPLACE* place) {
    char own[MAX_PATH];
    char folder[MAX_PATH];
    JournalFolder(place, folder);
    if (!OwnFolderOf(place->folder, own) || !SamePath(folder, own)) {
        if (own[0] != '\0') {
            // Where the volume keeps the access lists setup gives, the journal lies in setup's
            // own folder and nowhere else. Whether it does is found as the install found it; a
            // folder made only to find it goes again.
            int found = LookAtOwnFolder(own);
            if (found == OWN_FOLDER_MISSING) {
                found = PrepareOwnFolder(place->folder, own);
                if (found == OWN_FOLDER_SOUND)
                    RemoveDirectoryA(own);
            }
            if (found == OWN_FOLDER_REFUSED)
                return OWN_FOLDER_REFUSED;
            if (found == OWN_FOLDER_SOUND)
                return OWN_FOLDER_NONE;
        }
        return IsSetupsJournalPlace(place) ? OWN_FOLDER_SOUND : OWN_FOLDER_NONE;
    }
    char name[40];
    JournalName(name, place->identity);
    if (!IsPlainPath(place->journal) || !IsPlainPath(place->folder) || !IsPlainPath(place->base) ||
        !IsWithin(place->folder, place->base, FALSE) || !SamePath(LastName(place->journal), name))
        return OWN_FOLDER_NONE;
    // Not there: neither is the journal, and nothing was done on its word.
    int found = LookAtOwnFolder(own);
    return found == OWN_FOLDER_MISSING ? OWN_FOLDER_SOUND : found;
}

void LeaveOwnFolder(const JOURNALPLACE* place) {
    char folder[MAX_PATH];
    JournalFolder(place, folder);
    // One that is not setup's is never changed; one that holds anything is not removed.
    if (IsOwnFolderPath(folder) && LookAtOwnFolder(folder) == OWN_FOLDER_SOUND)
        RemoveDirectoryA(folder);
}

#include "entry_access.h"

typedef BOOL(WINAPI* OPENPROCESSTOKEN)(HANDLE process, DWORD access, PHANDLE token);
typedef BOOL(WINAPI* GETTOKENINFORMATION)(HANDLE token, TOKEN_INFORMATION_CLASS what,
                                          LPVOID information, DWORD length, LPDWORD needed);

// BUILTIN\Administrators (S-1-5-32-544) and Local System (S-1-5-18), as SIDs are laid out.
static const BYTE AdministratorsSid[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
static const BYTE SystemSid[12] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// The bytes of a SID: its header and four for each of its sub-authorities.
static DWORD SidBytes(const BYTE* sid) {
    return 8 + 4 * (DWORD)sid[1];
}

// Reads what of the process's token into a block of the process heap, which the caller frees.
// NULL when it can't be read.
static void* ReadToken(TOKEN_INFORMATION_CLASS what) {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    OPENPROCESSTOKEN openToken =
        (OPENPROCESSTOKEN)(void (*)(void))GetProcAddress(advapi, "OpenProcessToken");
    GETTOKENINFORMATION tokenInformation =
        (GETTOKENINFORMATION)(void (*)(void))GetProcAddress(advapi, "GetTokenInformation");
    HANDLE token;
    if (openToken == NULL || tokenInformation == NULL ||
        !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NULL;
    DWORD needed = 0;
    void* read = NULL;
    if (!tokenInformation(token, what, NULL, 0, &needed) && needed > 0 &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        read = HeapAlloc(GetProcessHeap(), 0, needed);
        if (read != NULL && !tokenInformation(token, what, read, needed, &needed)) {
            HeapFree(GetProcessHeap(), 0, read);
            read = NULL;
        }
    }
    CloseHandle(token);
    return read;
}

static BOOL SameBytes(const BYTE* a, const BYTE* b, DWORD count) {
    for (DWORD i = 0; i < count; i++) {
        if (a[i] != b[i])
            return FALSE;
    }
    return TRUE;
}

int WhoRunsSetup(void) {
    TOKEN_GROUPS* groups = (TOKEN_GROUPS*)ReadToken(TokenGroups);
    if (groups == NULL)
        return RUNS_AS_UNKNOWN;
    int who = RUNS_AS_USER;
    for (DWORD i = 0; i < groups->GroupCount; i++) {
        const BYTE* sid = (const BYTE*)groups->Groups[i].Sid;
        // A group kept for denials only (an administrator's filtered token) grants nothing.
        if (SidBytes(sid) == sizeof(AdministratorsSid) &&
            SameBytes(sid, AdministratorsSid, sizeof(AdministratorsSid)) &&
            (groups->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) ==
                SE_GROUP_ENABLED)
            who = RUNS_AS_ADMINISTRATOR;
    }
    HeapFree(GetProcessHeap(), 0, groups);
    return who;
}

static void PutWord(BYTE* at, DWORD value) {
    at[0] = (BYTE)value;
    at[1] = (BYTE)(value >> 8);
}

static void PutDword(BYTE* at, DWORD value) {
    PutWord(at, value);
    PutWord(at + 2, value >> 16);
}

// An access-allowed ACE of every right of a key for sid at out; returns its size.
static DWORD PutFullAccessAce(BYTE* out, const BYTE* sid) {
    DWORD size = 8 + SidBytes(sid);
    out[0] = ACCESS_ALLOWED_ACE_TYPE;
    out[1] = 0;
    PutWord(out + 2, size);
    PutDword(out + 4, KEY_ALL_ACCESS);
    CopyMemory(out + 8, sid, SidBytes(sid));
    return size;
}

BOOL MakeEntryDescriptor(HKEY root, DWORD* descriptor) {
    TOKEN_USER* user = NULL;
    if (root == HKEY_CURRENT_USER) {
        user = (TOKEN_USER*)ReadToken(TokenUser);
        // A SID has at most 15 sub-authorities.
        if (user == NULL || ((const BYTE*)user->User.Sid)[1] > 15) {
            if (user != NULL)
                HeapFree(GetProcessHeap(), 0, user);
            return FALSE;
        }
    }
    // The self-relative form: its header, then the DACL; no owner, group or SACL (the key's
    // owner is the token's default one).
    BYTE* out = (BYTE*)descriptor;
    ZeroMemory(out, ENTRY_DESCRIPTOR_BYTES);
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    PutWord(out + 2, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED);
    PutDword(out + 16, 20);
    BYTE* acl = out + 20;
    DWORD size = 8;
    size += PutFullAccessAce(acl + size, AdministratorsSid);
    size += PutFullAccessAce(acl + size, SystemSid);
    if (user != NULL) {
        size += PutFullAccessAce(acl + size, (const BYTE*)user->User.Sid);
        HeapFree(GetProcessHeap(), 0, user);
    }
    acl[0] = ACL_REVISION;
    PutWord(acl + 2, size);
    PutWord(acl + 4, root == HKEY_CURRENT_USER ? 3 : 2);
    return TRUE;
}

// The security calls of advapi32 (descriptors, ACLs, SIDs and the process's token) over the
// owners and access lists of file_security.h, and kernel32's process mitigation policies. On
// Windows 95, 98 and ME each advapi32 call is a stub that fails with ERROR_CALL_NOT_IMPLEMENTED.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <set>

#include "call_points.h"
#include "file_security.h"
#include "handle_table.h"
#include "host_files.h"
#include "kernel_objects.h"
#include "machine.h"

using namespace winsim;
namespace sec = winsim::security;

namespace {

HANDLE const CurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

bool NoSecurityHere() {
    std::lock_guard lock(machineLock());
    if ((machine().version & 0x80000000u) == 0)
        return false;
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return true;
}

struct TokenObject {
    sec::Token token;
    DWORD access = 0;
};

HandleTable<TokenObject>& Tokens() {
    static auto* tokens = new HandleTable<TokenObject>;
    return *tokens;
}

// SIDs handed out by AllocateAndInitializeSid, until FreeSid.
std::mutex& SidLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::set<void*>& AllocatedSids() {
    static auto* sids = new std::set<void*>;
    return *sids;
}

// The length of a SID at sid, or 0 when it is none (a revision other than 1, or more than 15
// sub-authorities).
DWORD SidLength(PSID sid) {
    const auto* bytes = static_cast<const unsigned char*>(sid);
    if (bytes == nullptr || bytes[0] != SID_REVISION || bytes[1] > SID_MAX_SUB_AUTHORITIES)
        return 0;
    return 8 + 4u * bytes[1];
}

// The descriptor's control word, and the address of one of its parts (0 owner, 1 group, 3 DACL)
// in either form.
bool Parts(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL& control, int index,
           void*& part) {
    auto* bytes = static_cast<unsigned char*>(descriptor);
    if (bytes == nullptr || bytes[0] != SECURITY_DESCRIPTOR_REVISION) {
        SetError(ERROR_INVALID_SECURITY_DESCR);
        return false;
    }
    std::memcpy(&control, bytes + 2, sizeof control);
    if ((control & SE_SELF_RELATIVE) != 0) {
        DWORD offset;
        std::memcpy(&offset, bytes + 4 + 4 * index, sizeof offset);
        part = offset == 0 ? nullptr : bytes + offset;
    } else {
        auto* absolute = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
        part = index == 0   ? absolute->Owner
               : index == 1 ? absolute->Group
               : index == 2 ? static_cast<void*>(absolute->Sacl)
                            : static_cast<void*>(absolute->Dacl);
    }
    return true;
}

// Where the RedirectionGuard policy of this process stands (PROCESS_MITIGATION_REDIRECTION_
// TRUST_POLICY's flags).
std::mutex& PolicyLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
DWORD redirectionTrust = 0;

} // namespace

bool winsim::CloseToken(void* handle) {
    TokenObject* token = Tokens().Take(handle);
    delete token;
    return token != nullptr;
}

DWORD winsim::RedirectionTrustFlags() {
    std::lock_guard lock(PolicyLock());
    return redirectionTrust;
}

HANDLE WINAPI GetCurrentProcess(void) {
    calls::Scope call("GetCurrentProcess", 0);
    return CurrentProcess;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
    calls::Scope call("OpenProcessToken", calls::CanFail);
    if (NoSecurityHere())
        return FALSE;
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (process != CurrentProcess) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (token == nullptr) {
        SetError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* object = new TokenObject{files::ProcessToken(), access};
    Tokens().Add(object);
    *token = object;
    return TRUE;
}

// TokenUser, TokenGroups, TokenOwner, TokenPrimaryGroup and TokenElevation, each laid out as
// Windows does: the structure first, the SIDs it points to after it in the same buffer.
BOOL WINAPI GetTokenInformation(HANDLE handle, TOKEN_INFORMATION_CLASS what, LPVOID information,
                                DWORD length, LPDWORD returnLength) {
    calls::Scope call("GetTokenInformation", calls::CanFail);
    if (NoSecurityHere())
        return FALSE;
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    TokenObject* object = Tokens().Find(handle);
    if (object == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((object->access & TOKEN_QUERY) == 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const sec::Token& token = object->token;
    // The groups with their attributes.
    std::vector<std::pair<sec::Sid, DWORD>> sids;
    size_t head = 0;
    switch (what) {
    case TokenUser:
        head = sizeof(TOKEN_USER);
        sids.push_back({token.user, 0});
        break;
    case TokenOwner:
        head = sizeof(TOKEN_OWNER);
        sids.push_back({token.owner, 0});
        break;
    case TokenPrimaryGroup:
        head = sizeof(TOKEN_OWNER);
        sids.push_back({sec::MachineAccount(513), 0});
        break;
    case TokenGroups:
        for (const auto& group : token.groups) {
            DWORD attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
            if (group == token.owner)
                attributes |= SE_GROUP_OWNER;
            sids.push_back({group, attributes});
        }
        sids.push_back({token.integrity, SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED});
        head = offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES);
        break;
    case TokenElevation:
        head = sizeof(TOKEN_ELEVATION);
        break;
    default:
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    head = (head + 3) & ~(size_t)3;
    size_t needed = head;
    for (const auto& [sid, attributes] : sids)
        needed += sec::SidBytes(sid).size();
    if (returnLength != nullptr)
        *returnLength = (DWORD)needed;
    if (information == nullptr || length < needed) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* bytes = static_cast<unsigned char*>(information);
    std::memset(bytes, 0, needed);
    std::vector<PSID> placed;
    size_t at = head;
    for (const auto& [sid, attributes] : sids) {
        std::string binary = sec::SidBytes(sid);
        std::memcpy(bytes + at, binary.data(), binary.size());
        placed.push_back(bytes + at);
        at += binary.size();
    }
    switch (what) {
    case TokenUser:
        static_cast<TOKEN_USER*>(information)->User.Sid = placed[0];
        break;
    case TokenOwner:
    case TokenPrimaryGroup:
        static_cast<TOKEN_OWNER*>(information)->Owner = placed[0];
        break;
    case TokenGroups: {
        auto* groups = static_cast<TOKEN_GROUPS*>(information);
        groups->GroupCount = (DWORD)sids.size();
        SID_AND_ATTRIBUTES* entries = groups->Groups;
        for (size_t i = 0; i < sids.size(); ++i) {
            entries[i].Sid = placed[i];
            entries[i].Attributes = sids[i].second;
        }
        break;
    }
    default:
        static_cast<TOKEN_ELEVATION*>(information)->TokenIsElevated = token.elevated ? 1 : 0;
    }
    return TRUE;
}

// The descriptor of a handle's file or folder, self-relative, with the parts asked for; the
// handle must have been opened with READ_CONTROL. A drive that keeps no access lists (FAT32,
// exFAT, a CD-ROM) answers owner and group Everyone and a NULL DACL.
BOOL WINAPI GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION requested,
                                    PSECURITY_DESCRIPTOR descriptor, DWORD length,
                                    LPDWORD lengthNeeded) {
    calls::Scope call("GetKernelObjectSecurity", calls::Point | calls::CanFail);
    if (NoSecurityHere())
        return FALSE;
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto entry = OpenEntryOf(handle);
    if (!entry) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((requested & SACL_SECURITY_INFORMATION) != 0) {
        SetError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    if ((entry->granted & READ_CONTROL) == 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    sec::Descriptor whole = files::DescriptorOf(entry->drive, entry->host, !entry->link)
                                .value_or(files::WorldDescriptor());
    sec::Descriptor given;
    if ((requested & OWNER_SECURITY_INFORMATION) != 0)
        given.owner = whole.owner;
    if ((requested & GROUP_SECURITY_INFORMATION) != 0)
        given.group = whole.group;
    if ((requested & DACL_SECURITY_INFORMATION) != 0) {
        given.daclPresent = whole.daclPresent;
        given.nullDacl = whole.nullDacl;
        given.protectedDacl = whole.protectedDacl;
        given.autoInherited = whole.autoInherited;
        given.dacl = whole.dacl;
    }
    std::string bytes = sec::SelfRelativeBytes(given);
    if (lengthNeeded != nullptr)
        *lengthNeeded = (DWORD)bytes.size();
    if (descriptor == nullptr || length < bytes.size()) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(descriptor, bytes.data(), bytes.size());
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner,
                                       LPBOOL ownerDefaulted) {
    calls::Scope call("GetSecurityDescriptorOwner", 0);
    if (NoSecurityHere())
        return FALSE;
    SECURITY_DESCRIPTOR_CONTROL control;
    void* part;
    if (owner == nullptr || ownerDefaulted == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Parts(descriptor, control, 0, part))
        return FALSE;
    *owner = part;
    *ownerDefaulted = (control & SE_OWNER_DEFAULTED) != 0;
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL daclPresent,
                                      PACL* dacl, LPBOOL daclDefaulted) {
    calls::Scope call("GetSecurityDescriptorDacl", 0);
    if (NoSecurityHere())
        return FALSE;
    SECURITY_DESCRIPTOR_CONTROL control;
    void* part;
    if (daclPresent == nullptr || dacl == nullptr || daclDefaulted == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Parts(descriptor, control, 3, part))
        return FALSE;
    *daclPresent = (control & SE_DACL_PRESENT) != 0;
    // With no DACL present, the others are left as they were.
    if (*daclPresent) {
        *dacl = static_cast<PACL>(part);
        *daclDefaulted = (control & SE_DACL_DEFAULTED) != 0;
    }
    return TRUE;
}

BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL control, LPDWORD revision) {
    calls::Scope call("GetSecurityDescriptorControl", 0);
    if (NoSecurityHere())
        return FALSE;
    void* part;
    if (control == nullptr || revision == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Parts(descriptor, *control, 0, part))
        return FALSE;
    *revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
    calls::Scope call("GetAce", 0);
    if (NoSecurityHere())
        return FALSE;
    if (acl == nullptr || ace == nullptr || index >= acl->AceCount) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* at = reinterpret_cast<unsigned char*>(acl) + sizeof(ACL);
    auto* end = reinterpret_cast<unsigned char*>(acl) + acl->AclSize;
    for (DWORD i = 0; i < index; ++i) {
        WORD size;
        std::memcpy(&size, at + 2, sizeof size);
        if (size < sizeof(ACE_HEADER) || at + size > end) {
            SetError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        at += size;
    }
    *ace = at;
    return TRUE;
}

BOOL WINAPI EqualSid(PSID first, PSID second) {
    calls::Scope call("EqualSid", 0);
    if (NoSecurityHere())
        return FALSE;
    DWORD length = SidLength(first);
    SetError(ERROR_SUCCESS);
    return length != 0 && length == SidLength(second) && std::memcmp(first, second, length) == 0;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD sub0,
                                     DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                                     DWORD sub6, DWORD sub7, PSID* sid) {
    calls::Scope call("AllocateAndInitializeSid", 0);
    if (NoSecurityHere())
        return FALSE;
    if (authority == nullptr || sid == nullptr || count > 8) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
    auto* bytes = new unsigned char[8 + 4 * count];
    bytes[0] = SID_REVISION;
    bytes[1] = count;
    std::memcpy(bytes + 2, authority->Value, 6);
    std::memcpy(bytes + 8, subs, 4u * count);
    {
        std::lock_guard lock(SidLock());
        AllocatedSids().insert(bytes);
    }
    *sid = bytes;
    return TRUE;
}

LPVOID WINAPI FreeSid(PSID sid) {
    calls::Scope call("FreeSid", 0);
    if (sid == nullptr)
        return nullptr;
    {
        std::lock_guard lock(SidLock());
        if (AllocatedSids().erase(sid) == 0)
            Misuse("FreeSid of memory that AllocateAndInitializeSid did not give");
    }
    delete[] static_cast<unsigned char*>(sid);
    return nullptr;
}

BOOL WINAPI IsValidSid(PSID sid) {
    calls::Scope call("IsValidSid", 0);
    if (NoSecurityHere())
        return FALSE;
    return SidLength(sid) != 0;
}

DWORD WINAPI GetLengthSid(PSID sid) {
    calls::Scope call("GetLengthSid", 0);
    if (NoSecurityHere())
        return 0;
    return SidLength(sid);
}

// Only RedirectionGuard (ProcessRedirectionTrustPolicy, Windows 10 and later) is kept: its
// flags are recorded for the process (and in the machine folder's mitigations.txt), and a
// policy once enforced can't be turned off again. Any other policy fails with
// ERROR_INVALID_PARAMETER. winsim does not refuse junctions for it: a program must not count on
// a policy that its Windows may not have.
BOOL WINAPI SetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, LPVOID buffer,
                                       SIZE_T length) {
    calls::Scope call("SetProcessMitigationPolicy", calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::string folder;
    {
        std::lock_guard lock(machineLock());
        folder = machine().folder;
        if ((machine().version & 0xFF) < 10 || (machine().version & 0x80000000u) != 0)
            policy = MaxProcessMitigationPolicy; // no RedirectionGuard before Windows 10
    }
    if (policy != ProcessRedirectionTrustPolicy || buffer == nullptr ||
        length != sizeof(PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD flags;
    std::memcpy(&flags, buffer, sizeof flags);
    if ((flags & ~3u) != 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard lock(PolicyLock());
    if ((redirectionTrust & ~flags) != 0) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    redirectionTrust = flags;
    if (!folder.empty())
        std::ofstream(folder + "/mitigations.txt", std::ios::app)
            << "redirection-trust " << flags << "\n";
    return TRUE;
}

BOOL WINAPI GetProcessMitigationPolicy(HANDLE process, PROCESS_MITIGATION_POLICY policy,
                                       LPVOID buffer, SIZE_T length) {
    calls::Scope call("GetProcessMitigationPolicy", calls::CanFail);
    if (call.Fails()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    {
        std::lock_guard lock(machineLock());
        if ((machine().version & 0xFF) < 10 || (machine().version & 0x80000000u) != 0)
            policy = MaxProcessMitigationPolicy;
    }
    if (process != CurrentProcess) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (policy != ProcessRedirectionTrustPolicy || buffer == nullptr ||
        length != sizeof(PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD flags = RedirectionTrustFlags();
    std::memcpy(buffer, &flags, sizeof flags);
    return TRUE;
}

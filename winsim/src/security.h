// Owners and access lists: security identifiers, access control entries, security descriptors
// in the text form of the security descriptor definition language (SDDL) and in the binary
// self-relative form, the inheritance of access control entries by new objects, the access
// check, and the tokens of the users the machine's programs run as.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::security {

// A security identifier: its identifier authority (48 bits) and sub-authorities.
struct Sid {
    std::uint64_t authority = 0;
    std::vector<std::uint32_t> subAuthorities;
    bool operator==(const Sid&) const = default;
    bool operator<(const Sid& other) const;
};

// "S-1-5-32-544" and back; Parse also takes the two-letter aliases of the SDDL (BA, SY, ...).
std::string ToString(const Sid& sid);
std::optional<Sid> ParseSid(std::string_view text);
// A SID's binary form (revision 1, count, authority big-endian, sub-authorities little-endian).
std::string SidBytes(const Sid& sid);
// The SID at bytes (at most size of them), or nullopt when they hold none.
std::optional<Sid> SidFromBytes(const void* bytes, std::size_t size);

// Well-known SIDs.
Sid Everyone();                        // S-1-1-0, WD
Sid CreatorOwner();                    // S-1-3-0, CO
Sid LocalSystem();                     // S-1-5-18, SY
Sid Administrators();                  // S-1-5-32-544, BA
Sid Users();                           // S-1-5-32-545, BU
Sid AuthenticatedUsers();              // S-1-5-11, AU
Sid Interactive();                     // S-1-5-4, IU
Sid TrustedInstaller();                // NT SERVICE\TrustedInstaller
Sid MachineAccount(std::uint32_t rid); // S-1-5-21-<this machine>-<rid>

// Access rights of files and folders.
constexpr std::uint32_t ReadData = 0x1;        // FILE_READ_DATA, FILE_LIST_DIRECTORY
constexpr std::uint32_t WriteData = 0x2;       // FILE_WRITE_DATA, FILE_ADD_FILE
constexpr std::uint32_t AppendData = 0x4;      // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t Execute = 0x20;        // FILE_EXECUTE, FILE_TRAVERSE
constexpr std::uint32_t DeleteChild = 0x40;    // FILE_DELETE_CHILD
constexpr std::uint32_t ReadAttributes = 0x80; // FILE_READ_ATTRIBUTES
constexpr std::uint32_t WriteAttributes = 0x100;
constexpr std::uint32_t Delete = 0x10000;
constexpr std::uint32_t ReadControl = 0x20000;
constexpr std::uint32_t WriteDac = 0x40000;
constexpr std::uint32_t WriteOwner = 0x80000;
constexpr std::uint32_t Synchronize = 0x100000;
constexpr std::uint32_t MaximumAllowed = 0x02000000;
constexpr std::uint32_t FileAllAccess = 0x1F01FF;
constexpr std::uint32_t FileGenericRead = 0x120089;
constexpr std::uint32_t FileGenericWrite = 0x120116;
constexpr std::uint32_t FileGenericExecute = 0x1200A0;
constexpr std::uint32_t GenericAll = 0x10000000;
constexpr std::uint32_t GenericExecute = 0x20000000;
constexpr std::uint32_t GenericWrite = 0x40000000;
constexpr std::uint32_t GenericRead = 0x80000000;
// The generic rights of a mask as the specific rights of a file.
std::uint32_t MapGeneric(std::uint32_t mask);

// An access control entry of a DACL: allowed (type 0) or denied (type 1).
struct Ace {
    static constexpr std::uint8_t Allowed = 0, Denied = 1;
    static constexpr std::uint8_t ObjectInherit = 0x1, ContainerInherit = 0x2, NoPropagate = 0x4,
                                  InheritOnly = 0x8, Inherited = 0x10;
    std::uint8_t type = Allowed;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    Sid sid;
    bool operator==(const Ace&) const = default;
};

struct Descriptor {
    // The control bits kept: SE_DACL_PROTECTED and SE_DACL_AUTO_INHERITED.
    static constexpr std::uint16_t DaclPresent = 0x4, DaclAutoInherited = 0x400,
                                   DaclProtected = 0x1000, SelfRelative = 0x8000;
    std::optional<Sid> owner;
    std::optional<Sid> group;
    bool daclPresent = false; // with no ACEs and daclPresent false: a NULL DACL, all access
    bool nullDacl = false;    // a DACL present but NULL: every access granted
    bool protectedDacl = false;
    bool autoInherited = false;
    std::vector<Ace> dacl;
    bool operator==(const Descriptor&) const = default;
};

// The SDDL form: "O:BAG:SYD:PAI(A;OICI;FA;;;BA)...". Parse takes owner (O:), group (G:) and DACL
// (D:) parts in any order, the SID aliases and access right letters Windows defines, and masks in
// hex (0x...); nullopt for anything else.
std::optional<Descriptor> ParseSddl(std::string_view text);
std::string FormatSddl(const Descriptor& descriptor);

// The self-relative binary form (SECURITY_DESCRIPTOR_RELATIVE, then the DACL, the owner and the
// group), and a descriptor read back from either binary form (self-relative, or absolute with
// pointers); nullopt when the bytes hold no valid descriptor.
std::string SelfRelativeBytes(const Descriptor& descriptor);
std::optional<Descriptor> DescriptorFromBytes(const void* bytes, std::size_t size);
// An ACL's binary form, and ACEs read from it.
std::string AclBytes(const std::vector<Ace>& aces);
std::optional<std::vector<Ace>> AcesFromBytes(const void* acl, std::size_t size);

// Who a program runs as.
struct Token {
    Sid user;
    std::vector<Sid> groups; // enabled groups
    Sid owner;               // the default owner of what the program makes
    bool elevated = false;
    Sid integrity;                  // the mandatory label (reported, not enforced)
    bool Has(const Sid& sid) const; // the user or an enabled group
};
// An administrator's token, elevated: its default owner is Administrators.
Token AdministratorToken();
// A standard user's token (rid: the account's relative id on this machine): its owner is itself.
Token StandardUserToken(std::uint32_t rid);
// The accounts of this machine's people: the one that runs setup as an administrator, the one
// that runs it where a scenario says it runs as a standard user, and another standard user.
constexpr std::uint32_t AdministratorRid = 1001;
constexpr std::uint32_t StandardUserRid = 1002;
constexpr std::uint32_t OtherUserRid = 1003;

// The access that descriptor grants token: of desired (generic rights mapped; MAXIMUM_ALLOWED
// asks for everything it may have). The owner always may read and change the DACL.
std::uint32_t GrantedAccess(const Descriptor& descriptor, const Token& token,
                            std::uint32_t desired);
// Whether every right of desired is granted.
bool AccessAllowed(const Descriptor& descriptor, const Token& token, std::uint32_t desired);

// The descriptor of a new file (container false) or folder made in a folder whose descriptor
// is parent, by a program running as token, with explicit (from SECURITY_ATTRIBUTES) when
// given: its owner (or the token's default owner), its DACL with the ACEs inherited from the
// parent merged in unless that DACL is protected; with no DACL given, the inherited ACEs, or the
// token's default DACL when none are inherited.
Descriptor NewObjectDescriptor(const Descriptor& parent, bool container, const Token& token,
                               const std::optional<Descriptor>& explicitDescriptor);

// The ACEs that parent's DACL passes to a new child (container or not) whose owner is owner.
std::vector<Ace> InheritedAces(const std::vector<Ace>& parent, bool container, const Sid& owner);

} // namespace winsim::security

#include "security.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace winsim::security {

namespace {

// This machine's own domain, the middle of its accounts' SIDs.
constexpr std::uint32_t MachineDomain[] = {3623811015u, 3361044348u, 30300820u};

Sid Make(std::uint64_t authority, std::initializer_list<std::uint32_t> subAuthorities) {
    return Sid{authority, std::vector<std::uint32_t>(subAuthorities)};
}

struct Alias {
    const char* name;
    Sid (*sid)();
};

const Alias Aliases[] = {
    {"WD", Everyone}, {"CO", CreatorOwner},       {"SY", LocalSystem}, {"BA", Administrators},
    {"BU", Users},    {"AU", AuthenticatedUsers}, {"IU", Interactive},
};

struct Right {
    const char* name;
    std::uint32_t mask;
};

// The letters of single rights, in the order of their bits, as Windows writes them.
const Right SingleRights[] = {
    {"CC", 0x1},          {"DC", 0x2},         {"LC", 0x4},
    {"SW", 0x8},          {"RP", 0x10},        {"WP", 0x20},
    {"DT", 0x40},         {"LO", 0x80},        {"CR", 0x100},
    {"SD", Delete},       {"RC", ReadControl}, {"WD", WriteDac},
    {"WO", WriteOwner},   {"GA", GenericAll},  {"GX", GenericExecute},
    {"GW", GenericWrite}, {"GR", GenericRead},
};
const Right FileRights[] = {
    {"FA", FileAllAccess},
    {"FR", FileGenericRead},
    {"FW", FileGenericWrite},
    {"FX", FileGenericExecute},
};

struct Flag {
    const char* name;
    std::uint8_t bit;
};
const Flag AceFlags[] = {
    {"OI", Ace::ObjectInherit}, {"CI", Ace::ContainerInherit}, {"NP", Ace::NoPropagate},
    {"IO", Ace::InheritOnly},   {"ID", Ace::Inherited},
};

void Put16(std::string& out, std::uint16_t value) {
    out += (char)(value & 0xFF);
    out += (char)(value >> 8);
}
void Put32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out += (char)((value >> (8 * i)) & 0xFF);
}
std::uint16_t Get16(const unsigned char* at) {
    return (std::uint16_t)(at[0] | (at[1] << 8));
}
std::uint32_t Get32(const unsigned char* at) {
    return (std::uint32_t)at[0] | ((std::uint32_t)at[1] << 8) | ((std::uint32_t)at[2] << 16) |
           ((std::uint32_t)at[3] << 24);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::optional<std::uint32_t> ParseRights(std::string_view text) {
    if (StartsWith(text, "0x") || StartsWith(text, "0X")) {
        std::uint32_t mask = 0;
        auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), mask, 16);
        if (error != std::errc() || end != text.data() + text.size() || text.size() == 2)
            return std::nullopt;
        return mask;
    }
    std::uint32_t mask = 0;
    for (size_t at = 0; at < text.size(); at += 2) {
        std::string_view letters = text.substr(at, 2);
        bool found = false;
        for (const auto& right : FileRights)
            found = found || (letters == right.name && (mask |= right.mask, true));
        for (const auto& right : SingleRights)
            found = found || (letters == right.name && (mask |= right.mask, true));
        if (!found || letters.size() != 2)
            return std::nullopt;
    }
    return mask;
}

std::string FormatRights(std::uint32_t mask) {
    for (const auto& right : FileRights) {
        if (mask == right.mask)
            return right.name;
    }
    std::string letters;
    std::uint32_t covered = 0;
    for (const auto& right : SingleRights) {
        if ((mask & right.mask) != 0) {
            letters += right.name;
            covered |= right.mask;
        }
    }
    if (covered == mask && mask != 0)
        return letters;
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", (unsigned)mask);
    return hex;
}

// One "(A;OICI;FA;;;BA)" without its parentheses.
std::optional<Ace> ParseAce(std::string_view text) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == ';') {
            fields.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty())
        return std::nullopt;
    Ace ace;
    if (fields[0] == "A")
        ace.type = Ace::Allowed;
    else if (fields[0] == "D")
        ace.type = Ace::Denied;
    else
        return std::nullopt;
    for (size_t at = 0; at < fields[1].size(); at += 2) {
        std::string_view letters = fields[1].substr(at, 2);
        bool found = false;
        for (const auto& flag : AceFlags) {
            if (letters == flag.name) {
                ace.flags |= flag.bit;
                found = true;
            }
        }
        if (!found)
            return std::nullopt;
    }
    auto mask = ParseRights(fields[2]);
    auto sid = ParseSid(fields[5]);
    if (!mask || !sid)
        return std::nullopt;
    ace.mask = *mask;
    ace.sid = *sid;
    return ace;
}

// A DACL part after "D:": its flags, then its ACEs.
bool ParseDacl(std::string_view text, Descriptor& descriptor) {
    descriptor.daclPresent = true;
    if (text == "NO_ACCESS_CONTROL") {
        descriptor.nullDacl = true;
        return true;
    }
    size_t at = 0;
    while (at < text.size() && text[at] != '(') {
        if (text.substr(at, 2) == "AI") {
            descriptor.autoInherited = true;
            at += 2;
        } else if (text.substr(at, 2) == "AR") {
            at += 2;
        } else if (text[at] == 'P') {
            descriptor.protectedDacl = true;
            ++at;
        } else {
            return false;
        }
    }
    while (at < text.size()) {
        size_t end = text.find(')', at);
        if (text[at] != '(' || end == std::string_view::npos)
            return false;
        auto ace = ParseAce(text.substr(at + 1, end - at - 1));
        if (!ace)
            return false;
        descriptor.dacl.push_back(*ace);
        at = end + 1;
    }
    return true;
}

} // namespace

bool Sid::operator<(const Sid& other) const {
    return std::tie(authority, subAuthorities) < std::tie(other.authority, other.subAuthorities);
}

Sid Everyone() {
    return Make(1, {0});
}
Sid CreatorOwner() {
    return Make(3, {0});
}
Sid LocalSystem() {
    return Make(5, {18});
}
Sid Administrators() {
    return Make(5, {32, 544});
}
Sid Users() {
    return Make(5, {32, 545});
}
Sid AuthenticatedUsers() {
    return Make(5, {11});
}
Sid Interactive() {
    return Make(5, {4});
}
Sid TrustedInstaller() {
    return Make(5, {80, 956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u});
}
Sid MachineAccount(std::uint32_t rid) {
    return Make(5, {21, MachineDomain[0], MachineDomain[1], MachineDomain[2], rid});
}

std::string ToString(const Sid& sid) {
    std::string text = "S-1-" + std::to_string(sid.authority);
    for (std::uint32_t sub : sid.subAuthorities)
        text += "-" + std::to_string(sub);
    return text;
}

std::optional<Sid> ParseSid(std::string_view text) {
    for (const auto& alias : Aliases) {
        if (text == alias.name)
            return alias.sid();
    }
    if (!StartsWith(text, "S-1-"))
        return std::nullopt;
    std::vector<std::uint64_t> numbers;
    size_t at = 4;
    while (true) {
        std::uint64_t value = 0;
        auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), value);
        if (error != std::errc())
            return std::nullopt;
        numbers.push_back(value);
        at = (size_t)(end - text.data());
        if (at == text.size())
            break;
        if (text[at] != '-')
            return std::nullopt;
        ++at;
    }
    if (numbers.size() > 16 || numbers[0] > 0xFFFFFFFFFFFFull)
        return std::nullopt;
    Sid sid{numbers[0], {}};
    for (size_t i = 1; i < numbers.size(); ++i) {
        if (numbers[i] > 0xFFFFFFFFu)
            return std::nullopt;
        sid.subAuthorities.push_back((std::uint32_t)numbers[i]);
    }
    return sid;
}

std::string SidBytes(const Sid& sid) {
    std::string out;
    out += (char)1;
    out += (char)sid.subAuthorities.size();
    for (int i = 5; i >= 0; --i)
        out += (char)((sid.authority >> (8 * i)) & 0xFF);
    for (std::uint32_t sub : sid.subAuthorities)
        Put32(out, sub);
    return out;
}

std::optional<Sid> SidFromBytes(const void* bytes, std::size_t size) {
    const auto* at = static_cast<const unsigned char*>(bytes);
    if (size < 8 || at[0] != 1 || at[1] > 15 || size < 8u + 4u * at[1])
        return std::nullopt;
    Sid sid;
    for (int i = 0; i < 6; ++i)
        sid.authority = (sid.authority << 8) | at[2 + i];
    for (int i = 0; i < at[1]; ++i)
        sid.subAuthorities.push_back(Get32(at + 8 + 4 * i));
    return sid;
}

std::uint32_t MapGeneric(std::uint32_t mask) {
    std::uint32_t mapped = mask & ~(GenericAll | GenericRead | GenericWrite | GenericExecute);
    if ((mask & GenericRead) != 0)
        mapped |= FileGenericRead;
    if ((mask & GenericWrite) != 0)
        mapped |= FileGenericWrite;
    if ((mask & GenericExecute) != 0)
        mapped |= FileGenericExecute;
    if ((mask & GenericAll) != 0)
        mapped |= FileAllAccess;
    return mapped;
}

std::optional<Descriptor> ParseSddl(std::string_view text) {
    // Parts start at "O:", "G:" and "D:" outside the parentheses of the ACEs.
    auto nextPart = [&](size_t from) {
        int depth = 0;
        for (size_t at = from; at < text.size(); ++at) {
            depth += text[at] == '(' ? 1 : text[at] == ')' ? -1 : 0;
            if (depth == 0 && at + 1 < text.size() && text[at + 1] == ':' &&
                (text[at] == 'O' || text[at] == 'G' || text[at] == 'D'))
                return at;
        }
        return text.size();
    };
    Descriptor descriptor;
    bool owner = false, group = false;
    size_t at = nextPart(0);
    if (text.empty() || at != 0)
        return std::nullopt;
    while (at < text.size()) {
        char kind = text[at];
        size_t end = nextPart(at + 2);
        std::string_view part = text.substr(at + 2, end - at - 2);
        if (kind == 'D') {
            if (descriptor.daclPresent || !ParseDacl(part, descriptor))
                return std::nullopt;
        } else {
            auto sid = ParseSid(part);
            bool& seen = kind == 'O' ? owner : group;
            if (!sid || seen)
                return std::nullopt;
            seen = true;
            (kind == 'O' ? descriptor.owner : descriptor.group) = *sid;
        }
        at = end;
    }
    return descriptor;
}

std::string FormatSddl(const Descriptor& descriptor) {
    std::string text;
    auto sidText = [](const Sid& sid) {
        for (const auto& alias : Aliases) {
            if (alias.sid() == sid)
                return std::string(alias.name);
        }
        return ToString(sid);
    };
    if (descriptor.owner)
        text += "O:" + sidText(*descriptor.owner);
    if (descriptor.group)
        text += "G:" + sidText(*descriptor.group);
    if (!descriptor.daclPresent)
        return text;
    text += "D:";
    if (descriptor.nullDacl)
        return text + "NO_ACCESS_CONTROL";
    if (descriptor.protectedDacl)
        text += "P";
    if (descriptor.autoInherited)
        text += "AI";
    for (const auto& ace : descriptor.dacl) {
        text += ace.type == Ace::Denied ? "(D;" : "(A;";
        for (const auto& flag : AceFlags) {
            if ((ace.flags & flag.bit) != 0)
                text += flag.name;
        }
        text += ";" + FormatRights(ace.mask) + ";;;" + sidText(ace.sid) + ")";
    }
    return text;
}

std::string AclBytes(const std::vector<Ace>& aces) {
    std::string body;
    for (const auto& ace : aces) {
        std::string sid = SidBytes(ace.sid);
        body += (char)ace.type;
        body += (char)ace.flags;
        Put16(body, (std::uint16_t)(8 + sid.size()));
        Put32(body, ace.mask);
        body += sid;
    }
    std::string acl;
    acl += (char)2; // ACL_REVISION
    acl += (char)0;
    Put16(acl, (std::uint16_t)(8 + body.size()));
    Put16(acl, (std::uint16_t)aces.size());
    Put16(acl, 0);
    return acl + body;
}

std::optional<std::vector<Ace>> AcesFromBytes(const void* bytes, std::size_t size) {
    const auto* acl = static_cast<const unsigned char*>(bytes);
    if (size < 8 || (acl[0] != 2 && acl[0] != 4))
        return std::nullopt;
    std::size_t aclSize = Get16(acl + 2);
    if (aclSize < 8 || aclSize > size)
        return std::nullopt;
    std::vector<Ace> aces;
    std::size_t at = 8;
    for (unsigned i = 0, count = Get16(acl + 4); i < count; ++i) {
        if (at + 8 > aclSize)
            return std::nullopt;
        std::size_t aceSize = Get16(acl + at + 2);
        if (aceSize < 16 || at + aceSize > aclSize || acl[at] > 1)
            return std::nullopt;
        auto sid = SidFromBytes(acl + at + 8, aceSize - 8);
        if (!sid)
            return std::nullopt;
        aces.push_back(Ace{acl[at], acl[at + 1], Get32(acl + at + 4), *sid});
        at += aceSize;
    }
    return aces;
}

std::string SelfRelativeBytes(const Descriptor& descriptor) {
    std::uint16_t control = Descriptor::SelfRelative;
    std::string dacl, owner, group;
    if (descriptor.daclPresent) {
        control |= Descriptor::DaclPresent;
        if (!descriptor.nullDacl)
            dacl = AclBytes(descriptor.dacl);
    }
    if (descriptor.protectedDacl)
        control |= Descriptor::DaclProtected;
    if (descriptor.autoInherited)
        control |= Descriptor::DaclAutoInherited;
    if (descriptor.owner)
        owner = SidBytes(*descriptor.owner);
    if (descriptor.group)
        group = SidBytes(*descriptor.group);
    std::string out;
    out += (char)1; // SECURITY_DESCRIPTOR_REVISION
    out += (char)0;
    Put16(out, control);
    std::uint32_t at = 20;
    std::uint32_t daclAt = dacl.empty() ? 0 : at;
    at += (std::uint32_t)dacl.size();
    std::uint32_t ownerAt = owner.empty() ? 0 : at;
    at += (std::uint32_t)owner.size();
    std::uint32_t groupAt = group.empty() ? 0 : at;
    Put32(out, ownerAt);
    Put32(out, groupAt);
    Put32(out, 0); // no SACL
    Put32(out, daclAt);
    return out + dacl + owner + group;
}

std::optional<Descriptor> DescriptorFromBytes(const void* bytes, std::size_t size) {
    const auto* at = static_cast<const unsigned char*>(bytes);
    if (bytes == nullptr || size < 20 || at[0] != 1)
        return std::nullopt;
    std::uint16_t control = Get16(at + 2);
    Descriptor descriptor;
    descriptor.protectedDacl = (control & Descriptor::DaclProtected) != 0;
    descriptor.autoInherited = (control & Descriptor::DaclAutoInherited) != 0;
    descriptor.daclPresent = (control & Descriptor::DaclPresent) != 0;
    // Where each part is: an offset in a self-relative descriptor, a pointer in an absolute one.
    auto part = [&](int index, std::size_t& room) -> const unsigned char* {
        if ((control & Descriptor::SelfRelative) != 0) {
            std::uint32_t offset = Get32(at + 4 + 4 * index);
            if (offset == 0 || offset >= size)
                return nullptr;
            room = size - offset;
            return at + offset;
        }
        const unsigned char* pointer;
        std::memcpy(&pointer, at + 8 + sizeof(void*) * index, sizeof pointer);
        room = 4096;
        return pointer;
    };
    if ((control & Descriptor::SelfRelative) == 0 && size < 8 + 4 * sizeof(void*))
        return std::nullopt;
    std::size_t room = 0;
    if (const unsigned char* owner = part(0, room)) {
        descriptor.owner = SidFromBytes(owner, room);
        if (!descriptor.owner)
            return std::nullopt;
    }
    if (const unsigned char* group = part(1, room)) {
        descriptor.group = SidFromBytes(group, room);
        if (!descriptor.group)
            return std::nullopt;
    }
    if (descriptor.daclPresent) {
        const unsigned char* dacl = part(3, room);
        if (dacl == nullptr) {
            descriptor.nullDacl = true;
        } else {
            auto aces = AcesFromBytes(dacl, room);
            if (!aces)
                return std::nullopt;
            descriptor.dacl = *aces;
        }
    }
    return descriptor;
}

bool Token::Has(const Sid& sid) const {
    return sid == user || std::find(groups.begin(), groups.end(), sid) != groups.end();
}

Token AdministratorToken() {
    Token token;
    token.user = MachineAccount(AdministratorRid);
    token.groups = {Everyone(),    Make(2, {0}),   Administrators(),
                    Users(),       Interactive(),  AuthenticatedUsers(),
                    Make(5, {15}), Make(5, {113}), Make(5, {114})};
    token.owner = Administrators();
    token.elevated = true;
    token.integrity = Make(16, {12288});
    return token;
}

Token StandardUserToken(std::uint32_t rid) {
    Token token;
    token.user = MachineAccount(rid);
    token.groups = {Everyone(),           Make(2, {0}),  Users(),       Interactive(),
                    AuthenticatedUsers(), Make(5, {15}), Make(5, {113})};
    token.owner = token.user;
    token.integrity = Make(16, {8192});
    return token;
}

std::uint32_t GrantedAccess(const Descriptor& descriptor, const Token& token,
                            std::uint32_t desired) {
    bool maximum = (desired & MaximumAllowed) != 0;
    std::uint32_t wanted = maximum ? FileAllAccess : MapGeneric(desired & ~MaximumAllowed);
    if (!descriptor.daclPresent || descriptor.nullDacl)
        return wanted;
    std::uint32_t granted = 0, denied = 0;
    if (descriptor.owner && token.Has(*descriptor.owner))
        granted |= ReadControl | WriteDac;
    // In order: a right granted before a deny that names it stays granted.
    for (const auto& ace : descriptor.dacl) {
        if ((ace.flags & Ace::InheritOnly) != 0 || !token.Has(ace.sid))
            continue;
        std::uint32_t mask = MapGeneric(ace.mask);
        if (ace.type == Ace::Denied)
            denied |= mask & ~granted;
        else
            granted |= mask & ~denied;
    }
    return granted & wanted;
}

bool AccessAllowed(const Descriptor& descriptor, const Token& token, std::uint32_t desired) {
    std::uint32_t wanted = MapGeneric(desired & ~MaximumAllowed);
    return (GrantedAccess(descriptor, token, desired) & wanted) == wanted;
}

std::vector<Ace> InheritedAces(const std::vector<Ace>& parent, bool container, const Sid& owner) {
    std::vector<Ace> inherited;
    constexpr std::uint8_t InheritFlags =
        Ace::ObjectInherit | Ace::ContainerInherit | Ace::NoPropagate | Ace::InheritOnly;
    for (const auto& ace : parent) {
        bool objectInherit = (ace.flags & Ace::ObjectInherit) != 0;
        bool containerInherit = (ace.flags & Ace::ContainerInherit) != 0;
        bool noPropagate = (ace.flags & Ace::NoPropagate) != 0;
        // What the child itself is granted: generic rights mapped, CREATOR OWNER made its owner.
        Ace effective{ace.type, Ace::Inherited, MapGeneric(ace.mask),
                      ace.sid == CreatorOwner() ? owner : ace.sid};
        if (!container) {
            if (objectInherit)
                inherited.push_back(effective);
            continue;
        }
        if (containerInherit) {
            if (noPropagate) {
                inherited.push_back(effective);
                continue;
            }
            bool generic = ace.mask != MapGeneric(ace.mask) || ace.sid == CreatorOwner();
            if (generic) {
                // Split: the rights of the folder itself, and the entry as it was for what is
                // made in it.
                inherited.push_back(effective);
                Ace passed = ace;
                passed.flags =
                    (std::uint8_t)((ace.flags & InheritFlags) | Ace::InheritOnly | Ace::Inherited);
                inherited.push_back(passed);
            } else {
                Ace passed = ace;
                passed.flags = (std::uint8_t)(
                    (ace.flags & (Ace::ObjectInherit | Ace::ContainerInherit)) | Ace::Inherited);
                inherited.push_back(passed);
            }
        } else if (objectInherit && !noPropagate) {
            // Only for the files below: an entry the folder keeps for them alone.
            Ace passed = ace;
            passed.flags = Ace::ObjectInherit | Ace::InheritOnly | Ace::Inherited;
            inherited.push_back(passed);
        }
    }
    return inherited;
}

Descriptor NewObjectDescriptor(const Descriptor& parent, bool container, const Token& token,
                               const std::optional<Descriptor>& explicitDescriptor) {
    Descriptor made;
    made.owner =
        explicitDescriptor && explicitDescriptor->owner ? *explicitDescriptor->owner : token.owner;
    made.group = explicitDescriptor && explicitDescriptor->group ? *explicitDescriptor->group
                                                                 : MachineAccount(513);
    std::vector<Ace> inherited;
    if (parent.daclPresent && !parent.nullDacl)
        inherited = InheritedAces(parent.dacl, container, *made.owner);
    made.daclPresent = true;
    if (explicitDescriptor && explicitDescriptor->daclPresent) {
        made.nullDacl = explicitDescriptor->nullDacl;
        made.protectedDacl = explicitDescriptor->protectedDacl;
        made.dacl = explicitDescriptor->dacl;
        for (auto& ace : made.dacl)
            ace.flags &= (std::uint8_t)~Ace::Inherited;
        if (!made.protectedDacl && !made.nullDacl) {
            made.dacl.insert(made.dacl.end(), inherited.begin(), inherited.end());
            made.autoInherited = parent.autoInherited && !inherited.empty();
        }
        return made;
    }
    if (!inherited.empty()) {
        made.dacl = inherited;
        made.autoInherited = parent.autoInherited;
        return made;
    }
    // Nothing to inherit: the token's default DACL.
    made.dacl = {
        Ace{Ace::Allowed, 0, FileAllAccess, token.elevated ? Administrators() : token.user},
        Ace{Ace::Allowed, 0, FileAllAccess, LocalSystem()}};
    return made;
}

} // namespace winsim::security

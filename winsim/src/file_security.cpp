#include "file_security.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "machine.h"

namespace winsim::files {

namespace {

// Forgets what the cache below holds.
void ClearCache();

using security::Descriptor;

constexpr const char* DescriptorAttribute = "user.winsim.sd";
constexpr const char* LinkAttributePrefix = "user.winsim.link.";

thread_local const security::Token* acting = nullptr;

const security::Token& Administrator() {
    static const security::Token* token = new security::Token(security::AdministratorToken());
    return *token;
}

std::string ParentOf(const std::string& host) {
    size_t cut = host.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    return cut == 0 ? "/" : host.substr(0, cut);
}

std::string NameOf(const std::string& host) {
    size_t cut = host.find_last_of('/');
    return cut == std::string::npos ? host : host.substr(cut + 1);
}

// What winsim worked out of folders, kept until anything changes that could change it: a
// descriptor kept or forgotten, an entry moved or removed, a link made (Changed()). Files are
// looked at each time.
struct Cache {
    std::mutex lock;
    std::map<std::string, std::string> realPaths;  // folder -> canonical
    std::map<std::string, Descriptor> descriptors; // canonical folder -> descriptor
};

Cache& Cached() {
    static auto* cache = new Cache;
    return *cache;
}

void ClearCache() {
    std::lock_guard guard(Cached().lock);
    Cached().realPaths.clear();
    Cached().descriptors.clear();
}

std::string RealPath(const std::string& host) {
    {
        std::lock_guard guard(Cached().lock);
        auto found = Cached().realPaths.find(host);
        if (found != Cached().realPaths.end())
            return found->second;
    }
    char resolved[PATH_MAX];
    std::string real = ::realpath(host.c_str(), resolved) != nullptr ? std::string(resolved) : host;
    struct stat info;
    if (::stat(real.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::lock_guard guard(Cached().lock);
        Cached().realPaths[host] = real;
    }
    return real;
}

// The attribute of a link's folder that holds the link's descriptor: named after a hash of the
// link's name (FNV-1a), its value the name, a line feed and the SDDL text.
std::string LinkAttribute(const std::string& name) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ull;
    static const char digits[] = "0123456789abcdef";
    std::string text = LinkAttributePrefix;
    for (int i = 15; i >= 0; --i)
        text += digits[(hash >> (4 * i)) & 15];
    return text;
}

std::optional<std::string> ReadAttribute(const std::string& host, const char* name) {
    char value[4096];
    ssize_t length = ::getxattr(host.c_str(), name, value, sizeof value);
    if (length <= 0)
        return std::nullopt;
    return std::string(value, (size_t)length);
}

bool IsLink(const std::string& host) {
    struct stat info;
    return ::lstat(host.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::optional<Descriptor> Stored(const std::string& host) {
    std::optional<std::string> text;
    if (IsLink(host)) {
        auto value = ReadAttribute(ParentOf(host), LinkAttribute(NameOf(host)).c_str());
        size_t cut = value ? value->find('\n') : std::string::npos;
        if (cut != std::string::npos && value->substr(0, cut) == NameOf(host))
            text = value->substr(cut + 1);
    } else {
        text = ReadAttribute(host, DescriptorAttribute);
    }
    return text ? security::ParseSddl(*text) : std::nullopt;
}

std::string Lower(const std::string& text) {
    std::string out;
    for (char c : text)
        out += (char)std::tolower((unsigned char)c);
    return out;
}

// What Windows Vista to 11 give the root of a fixed NTFS drive: administrators and the system
// may do everything, users read, and authenticated users may make folders in the root and
// change whatever is below it (the root of drive C belongs to TrustedInstaller).
Descriptor RootDescriptor(char letter) {
    std::string owner = letter == 'c' ? "O:" + security::ToString(security::TrustedInstaller())
                                      : std::string("O:BA");
    return *security::ParseSddl(owner + "G:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
                                        "(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
                                        "(A;;LC;;;AU)");
}

// The Windows folder and the Program Files folders of drive C: TrustedInstaller's; the system
// and administrators may change them and do everything below, users only read and run.
std::optional<Descriptor> SystemFolderDescriptor(const std::string& name) {
    std::string lower = Lower(name);
    std::string installer = security::ToString(security::TrustedInstaller());
    if (lower == "windows")
        return security::ParseSddl(
            "O:" + installer + "G:" + installer +
            "D:PAI(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)"
            "(A;;0x1301bf;;;BA)(A;OICIIO;GXGR;;;BU)(A;;0x1200a9;;;BU)(A;CIIO;GA;;;" +
            installer + ")(A;;FA;;;" + installer + ")");
    if (lower == "program files" || lower == "program files (x86)")
        return security::ParseSddl("O:" + installer + "G:" + installer + "D:PAI(A;;FA;;;" +
                                   installer + ")(A;CIIO;GA;;;" + installer +
                                   ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)"
                                   "(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)"
                                   "(A;OICIIO;GA;;;CO)");
    return std::nullopt;
}

// The folder behind the drive's root, canonical; empty where the drive keeps no descriptors.
std::string SecureRoot(char letter) {
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    if (d == nullptr || d->kind != DriveKind::Fixed || d->fileSystem != FileSystem::Ntfs ||
        d->hostFolder.empty() || (machine().version & 0x80000000u) != 0)
        return "";
    return RealPath(d->hostFolder);
}

Descriptor EffectiveNow(char letter, const std::string& root, const std::string& canonical);

// The descriptor of the entry at canonical (its folder canonical), under the drive's root.
Descriptor Effective(char letter, const std::string& root, const std::string& canonical,
                     bool folder = true) {
    if (folder) {
        std::lock_guard guard(Cached().lock);
        auto found = Cached().descriptors.find(canonical);
        if (found != Cached().descriptors.end())
            return found->second;
    }
    Descriptor descriptor = EffectiveNow(letter, root, canonical);
    struct stat info;
    if (folder && ::lstat(canonical.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::lock_guard guard(Cached().lock);
        Cached().descriptors[canonical] = descriptor;
    }
    return descriptor;
}

Descriptor EffectiveNow(char letter, const std::string& root, const std::string& canonical) {
    if (auto stored = Stored(canonical))
        return *stored;
    if (canonical == root)
        return RootDescriptor(letter);
    std::string parent = ParentOf(canonical);
    if (parent == canonical)
        return RootDescriptor(letter); // a folder outside every drive, reached through a link
    if (letter == 'c' && parent == root) {
        if (auto system = SystemFolderDescriptor(NameOf(canonical)))
            return *system;
    }
    struct stat info;
    bool container =
        IsLink(canonical) || (::stat(canonical.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    return security::NewObjectDescriptor(Effective(letter, root, parent), container,
                                         Administrator(), std::nullopt);
}

bool Store(const std::string& host, const Descriptor& descriptor) {
    ClearCache();
    std::string text = security::FormatSddl(descriptor);
    if (IsLink(host)) {
        std::string value = NameOf(host) + "\n" + text;
        return ::setxattr(ParentOf(host).c_str(), LinkAttribute(NameOf(host)).c_str(), value.data(),
                          value.size(), 0) == 0;
    }
    return ::setxattr(host.c_str(), DescriptorAttribute, text.data(), text.size(), 0) == 0;
}

} // namespace

void Changed() {
    ClearCache();
}

const security::Token& ProcessToken() {
    static const security::Token* standard =
        new security::Token(security::StandardUserToken(security::StandardUserRid));
    std::lock_guard lock(machineLock());
    return machine().standardUser ? *standard : Administrator();
}

const security::Token& CurrentToken() {
    return acting != nullptr ? *acting : ProcessToken();
}

ActingAs::ActingAs(const security::Token& token) : saved_(acting) {
    acting = &token;
}

ActingAs::~ActingAs() {
    acting = saved_;
}

bool IsNtfs(char letter) {
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    return d != nullptr && d->kind == DriveKind::Fixed && d->fileSystem == FileSystem::Ntfs;
}

bool KeepsSecurity(char letter) {
    return !SecureRoot(letter).empty();
}

std::string CanonicalEntry(const std::string& host) {
    std::string parent = ParentOf(host);
    std::string real = RealPath(parent);
    return (real == "/" ? "" : real) + "/" + NameOf(host);
}

std::string ResolvedEntry(const std::string& host) {
    struct stat info;
    if (::lstat(host.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        return RealPath(host);
    return CanonicalEntry(host);
}

std::optional<Descriptor> DescriptorOf(char letter, const std::string& host, bool follow) {
    std::string root = SecureRoot(letter);
    if (root.empty())
        return std::nullopt;
    struct stat info;
    std::string canonical =
        follow && ::stat(host.c_str(), &info) == 0 ? RealPath(host) : CanonicalEntry(host);
    return Effective(letter, root, canonical);
}

std::uint32_t Granted(char letter, const std::string& host, std::uint32_t desired, bool follow) {
    auto descriptor = DescriptorOf(letter, host, follow);
    if (!descriptor)
        return (desired & security::MaximumAllowed) != 0
                   ? security::FileAllAccess
                   : security::MapGeneric(desired & ~security::MaximumAllowed);
    return security::GrantedAccess(*descriptor, CurrentToken(), desired);
}

bool Allowed(char letter, const std::string& host, std::uint32_t desired, bool follow) {
    std::uint32_t wanted = security::MapGeneric(desired & ~security::MaximumAllowed);
    return (Granted(letter, host, desired, follow) & wanted) == wanted;
}

bool MayDelete(char letter, const std::string& host) {
    return Allowed(letter, host, security::Delete, false) ||
           Allowed(letter, ParentOf(CanonicalEntry(host)), security::DeleteChild, true);
}

bool MayAdd(char letter, const std::string& folderHost, bool folder) {
    return Allowed(letter, folderHost, folder ? security::AppendData : security::WriteData);
}

void RecordNewEntry(char letter, const std::string& host, bool folder,
                    const std::optional<Descriptor>& explicitDescriptor) {
    std::string root = SecureRoot(letter);
    if (root.empty())
        return;
    std::string canonical = CanonicalEntry(host);
    Descriptor parent = Effective(letter, root, ParentOf(canonical));
    Descriptor made =
        security::NewObjectDescriptor(parent, folder, CurrentToken(), explicitDescriptor);
    Descriptor plain = security::NewObjectDescriptor(parent, folder, Administrator(), std::nullopt);
    if (!(made == plain))
        Store(canonical, made);
}

void KeepDescriptor(char letter, const std::string& host) {
    std::string root = SecureRoot(letter);
    if (root.empty())
        return;
    std::string canonical = CanonicalEntry(host);
    if (!Stored(canonical))
        Store(canonical, Effective(letter, root, canonical));
}

void ForgetDescriptorIfPlain(char letter, const std::string& host) {
    std::string root = SecureRoot(letter);
    if (root.empty())
        return;
    std::string canonical = CanonicalEntry(host);
    auto stored = Stored(canonical);
    if (!stored || canonical == root)
        return;
    struct stat info;
    bool container =
        IsLink(canonical) || (::stat(canonical.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    // Where the entry is, an administrator's program would have given it just this one.
    Descriptor plain = security::NewObjectDescriptor(Effective(letter, root, ParentOf(canonical)),
                                                     container, Administrator(), std::nullopt);
    if (!(plain == *stored))
        return;
    Changed();
    if (IsLink(canonical))
        ::removexattr(ParentOf(canonical).c_str(), LinkAttribute(NameOf(canonical)).c_str());
    else
        ::removexattr(canonical.c_str(), DescriptorAttribute);
}

bool StoreDescriptor(const std::string& host, const Descriptor& descriptor) {
    return Store(CanonicalEntry(host), descriptor);
}

void MoveLinkDescriptor(const std::string& from, const std::string& to) {
    Changed();
    std::string source = CanonicalEntry(from);
    auto value = ReadAttribute(ParentOf(source), LinkAttribute(NameOf(source)).c_str());
    if (!value)
        return;
    ::removexattr(ParentOf(source).c_str(), LinkAttribute(NameOf(source)).c_str());
    size_t cut = value->find('\n');
    if (cut == std::string::npos || value->substr(0, cut) != NameOf(source))
        return;
    std::string target = CanonicalEntry(to);
    std::string moved = NameOf(target) + value->substr(cut);
    ::setxattr(ParentOf(target).c_str(), LinkAttribute(NameOf(target)).c_str(), moved.data(),
               moved.size(), 0);
}

void ForgetLinkDescriptor(const std::string& host) {
    Changed();
    std::string canonical = CanonicalEntry(host);
    ::removexattr(ParentOf(canonical).c_str(), LinkAttribute(NameOf(canonical)).c_str());
}

Descriptor WorldDescriptor() {
    Descriptor world;
    world.owner = security::Everyone();
    world.group = security::Everyone();
    world.daclPresent = true;
    world.nullDacl = true;
    return world;
}

} // namespace winsim::files

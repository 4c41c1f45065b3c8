#include "snapshot.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>
#include <xxhash.h>

namespace fs = std::filesystem;

namespace scenario {

namespace {

bool Skipped(const std::string& relative, const std::vector<std::string>& skip) {
    for (const auto& prefix : skip) {
        if (relative == prefix || relative.rfind(prefix + "/", 0) == 0)
            return true;
    }
    return false;
}

// Whether path lies at or under folder (both keys of a state).
bool Under(const std::string& path, const std::string& folder) {
    return path == folder || (path.size() > folder.size() && path.rfind(folder, 0) == 0 &&
                              path[folder.size()] == '/');
}

// Hidden and system as Wine reads them from user.DOSATTRIB: "0x" and hex digits, anything else
// none.
unsigned DosAttributes(const char* path) {
    char value[65];
    ssize_t length = ::lgetxattr(path, "user.DOSATTRIB", value, sizeof value - 1);
    if (length <= 2 || value[0] != '0' || value[1] != 'x')
        return 0;
    value[length] = '\0';
    char* end = nullptr;
    unsigned long bits = std::strtoul(value, &end, 16);
    return *end == '\0' ? (unsigned)bits & 0x6 : 0;
}

// The descriptors winsim keeps with an entry: its own, and a folder's for the links in it.
std::string KeptSecurity(const char* path) {
    std::string kept;
    char value[4096];
    ssize_t length = ::lgetxattr(path, "user.winsim.sd", value, sizeof value);
    if (length > 0)
        kept.assign(value, (size_t)length);
    char names[8192];
    ssize_t listed = ::llistxattr(path, names, sizeof names);
    for (ssize_t at = 0; at < listed;) {
        std::string name(names + at);
        at += (ssize_t)name.size() + 1;
        if (name.rfind("user.winsim.link.", 0) != 0)
            continue;
        length = ::lgetxattr(path, name.c_str(), value, sizeof value);
        if (length > 0)
            kept += "|" + std::string(value, (size_t)length);
    }
    for (char& c : kept) {
        if (c == ' ' || c == '\n')
            c = '/';
    }
    return kept;
}

std::string Hex(const XXH128_hash_t& hash) {
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", (unsigned long long)hash.high64,
                  (unsigned long long)hash.low64);
    return text;
}

// XXH3-128 of a file's content. The holes of a sparse file are hashed as the zeros they read as,
// from memory: a disc's file of gigabytes that is all hole costs no reading.
std::string ContentDigest(const char* path, std::uintmax_t size) {
    int file = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0)
        return "unreadable";
    constexpr std::size_t Block = 1 << 20;
    static const std::vector<char> zeros(Block);
    thread_local std::vector<char> buffer(Block);
    XXH3_state_t* state = XXH3_createState();
    XXH3_128bits_reset(state);
    std::uintmax_t at = 0;
    bool failed = false;
    while (at < size && !failed) {
        // Up to the next data a hole; where the file system can't tell, everything is data.
        off_t data = ::lseek(file, (off_t)at, SEEK_DATA);
        std::uintmax_t dataAt = data >= 0 ? (std::uintmax_t)data : errno == ENXIO ? size : at;
        for (dataAt = std::min(dataAt, size); at < dataAt;) {
            std::size_t part = (std::size_t)std::min<std::uintmax_t>(dataAt - at, Block);
            XXH3_128bits_update(state, zeros.data(), part);
            at += part;
        }
        off_t hole = at < size ? ::lseek(file, (off_t)at, SEEK_HOLE) : (off_t)size;
        std::uintmax_t holeAt = hole >= 0 ? std::min((std::uintmax_t)hole, size) : size;
        while (at < holeAt) {
            std::size_t part = (std::size_t)std::min<std::uintmax_t>(holeAt - at, Block);
            ssize_t got = ::pread(file, buffer.data(), part, (off_t)at);
            if (got <= 0) {
                failed = true;
                break;
            }
            XXH3_128bits_update(state, buffer.data(), (std::size_t)got);
            at += (std::uintmax_t)got;
        }
    }
    ::close(file);
    std::string digest = failed ? "unreadable" : Hex(XXH3_128bits_digest(state));
    XXH3_freeState(state);
    return digest;
}

// XXH3-128 of a symbolic link's target; of the part after the machine's folder (the one that
// holds the roots) where it leads into it, so that a copy of the machine reads the same.
std::string LinkDigest(const char* path, const std::string& machine) {
    std::vector<char> target(4096);
    ssize_t length = ::readlink(path, target.data(), target.size());
    if (length < 0)
        return "unreadable";
    std::string text(target.data(), (std::size_t)length);
    if (!machine.empty() && text.rfind(machine + "/", 0) == 0)
        text = "<machine>" + text.substr(machine.size());
    return Hex(XXH3_128bits(text.data(), text.size()));
}

} // namespace

MachineState TakeSnapshot(const std::vector<SnapshotRoot>& roots) {
    MachineState state;
    for (const auto& root : roots) {
        std::error_code error;
        auto options = fs::directory_options::skip_permission_denied;
        for (auto it = fs::recursive_directory_iterator(root.host, options, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            // Lexically: a link is named where it is, not where it leads.
            std::string relative = it->path().lexically_relative(root.host).generic_string();
            if (Skipped(relative, root.skip)) {
                if (it->is_directory(error) && !it->is_symlink(error))
                    it.disable_recursion_pending();
                continue;
            }
            struct stat info;
            if (::lstat(it->path().c_str(), &info) != 0)
                continue;
            MachineEntry entry;
            entry.folder = S_ISDIR(info.st_mode);
            entry.size = entry.folder ? 0 : (std::uintmax_t)info.st_size;
            entry.modified = entry.folder ? 0
                                          : (std::int64_t)info.st_mtim.tv_sec * 1000000000 +
                                                info.st_mtim.tv_nsec;
            // Not the execute bits, which no Windows attribute holds: Wine gives them to a file
            // it renames to a name ending in .exe.
            entry.mode = info.st_mode & 07666;
            entry.attributes = DosAttributes(it->path().c_str());
            entry.security = KeptSecurity(it->path().c_str());
            if (S_ISREG(info.st_mode))
                entry.digest = ContentDigest(it->path().c_str(), entry.size);
            else if (S_ISLNK(info.st_mode))
                entry.digest = LinkDigest(it->path().c_str(), root.host.parent_path().string());
            state[root.name + "/" + relative] = entry;
        }
    }
    return state;
}

std::vector<std::string> Changes(const MachineState& before, const MachineState& after) {
    std::vector<std::string> changes;
    for (const auto& [path, entry] : before) {
        auto found = after.find(path);
        if (found == after.end())
            changes.push_back("removed " + path);
        else if (!(found->second == entry))
            changes.push_back("changed " + path);
    }
    for (const auto& [path, entry] : after) {
        if (before.count(path) == 0)
            changes.push_back("added " + path);
    }
    return changes;
}

std::vector<std::string> ChangesOutside(const MachineState& before, const MachineState& after,
                                        const std::vector<std::string>& allowed) {
    std::vector<std::string> outside;
    for (const auto& change : Changes(before, after)) {
        std::string path = change.substr(change.find(' ') + 1);
        bool fine = false;
        for (const auto& place : allowed) {
            // A folder made to hold an allowed place is fine; anything under one is.
            bool above =
                change.rfind("added ", 0) == 0 && after.at(path).folder && Under(place, path);
            if (Under(path, place) || above) {
                fine = true;
                break;
            }
        }
        if (!fine)
            outside.push_back(change);
    }
    return outside;
}

namespace {

// A registry name as part of an entry's path: upper case where ASCII, the path's own characters
// escaped.
std::string EntryName(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '/')
            out += "%2F";
        else if (c == '%')
            out += "%25";
        else if (c == '@')
            out += "%40";
        else
            out += (char)std::toupper((unsigned char)c);
    }
    return out;
}

std::string Upper(const std::string& text) {
    std::string out;
    for (char c : text)
        out += (char)std::toupper((unsigned char)c);
    return out;
}

// Whether a key path lies at or under another (names without regard to ASCII case).
bool KeyUnder(const std::string& hive, const std::string& key, const RegistryWatch& watch) {
    if (Upper(hive) != Upper(watch.hive))
        return false;
    std::string path = RegistryEntryPath(hive, key), top = RegistryEntryPath(hive, watch.key);
    return Under(path, top);
}

} // namespace

std::string RegistryEntryPath(const std::string& hive, const std::string& key,
                              const std::string* value) {
    std::string path = "registry " + Upper(hive);
    std::string name;
    for (size_t at = 0; at <= key.size(); ++at) {
        if (at == key.size() || key[at] == '\\') {
            if (!name.empty())
                path += "/" + EntryName(name);
            name.clear();
        } else {
            name += key[at];
        }
    }
    if (value != nullptr)
        path += "/@" + EntryName(*value);
    return path;
}

void AddRegistry(MachineState& state, const std::vector<RegistryItem>& items,
                 const std::vector<RegistryWatch>& watched,
                 const std::vector<RegistryWatch>& skipped) {
    for (const auto& item : items) {
        auto under = [&](const RegistryWatch& watch) {
            return KeyUnder(item.hive, item.key, watch);
        };
        if (std::none_of(watched.begin(), watched.end(), under) ||
            std::any_of(skipped.begin(), skipped.end(), under))
            continue;
        MachineEntry entry;
        entry.folder = !item.value;
        if (item.value) {
            static const char digits[] = "0123456789abcdef";
            entry.digest = item.type + ":";
            for (char c : item.data) {
                entry.digest += digits[(unsigned char)c >> 4];
                entry.digest += digits[(unsigned char)c & 15];
            }
        }
        state[RegistryEntryPath(item.hive, item.key, item.value ? &item.name : nullptr)] = entry;
    }
}

bool SaveSnapshot(const MachineState& state, const fs::path& file) {
    std::ofstream out(file, std::ios::binary);
    for (const auto& [path, entry] : state)
        out << (entry.folder ? 'd' : 'f') << ' ' << entry.size << ' ' << entry.modified << ' '
            << entry.mode << ' ' << entry.attributes << ' '
            << (entry.digest.empty() ? "-" : entry.digest) << ' '
            << (entry.security.empty() ? "-" : entry.security) << ' ' << path << '\n';
    return bool(out);
}

bool LoadSnapshot(const fs::path& file, MachineState& state) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    state.clear();
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        char kind = 0;
        MachineEntry entry;
        fields >> kind >> entry.size >> entry.modified >> entry.mode >> entry.attributes >>
            entry.digest >> entry.security;
        if (entry.digest == "-")
            entry.digest.clear();
        if (entry.security == "-")
            entry.security.clear();
        std::string path;
        fields.get();
        std::getline(fields, path);
        if (!fields.eof() && fields.fail())
            return false;
        entry.folder = kind == 'd';
        state[path] = entry;
    }
    return true;
}

} // namespace scenario

#include "short_names.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <mutex>
#include <set>
#include <sys/xattr.h>
#include <vector>

#include "machine.h"

namespace winsim::shortnames {

namespace {

constexpr const char* ShortNameAttribute = "user.winsim.83";

std::string Upper(const std::string& text) {
    std::string out;
    for (char c : text)
        out += (char)std::toupper((unsigned char)c);
    return out;
}

bool ValidCharacter(unsigned char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("\"*+,./:;<=>?[\\]|").find((char)c) == std::string_view::npos;
}

std::optional<std::string> Stored(const std::string& host) {
    char value[16];
    ssize_t length = ::lgetxattr(host.c_str(), ShortNameAttribute, value, sizeof value);
    if (length <= 0)
        return std::nullopt;
    return std::string(value, (size_t)length);
}

std::vector<std::string> Entries(const std::string& folderHost) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folderHost.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The short names the folder's entries have now, without giving any.
std::set<std::string> Taken(const std::string& folderHost, const std::string& except) {
    std::set<std::string> taken;
    for (const auto& name : Entries(folderHost)) {
        if (name == except)
            continue;
        if (FitsEightDotThree(name))
            taken.insert(Upper(name));
        else if (auto stored = Stored(folderHost + "/" + name))
            taken.insert(*stored);
    }
    return taken;
}

// A new short name for name in the folder: its first six valid characters, "~" and the lowest
// number free, and the first three of its extension.
std::string Generate(const std::string& folderHost, const std::string& name) {
    size_t dot = name.rfind('.');
    std::string base, extension;
    auto clean = [](const std::string& part, size_t most) {
        std::string out;
        for (char c : part) {
            if (out.size() == most)
                break;
            unsigned char u = (unsigned char)c;
            if (u == ' ' || u == '.')
                continue;
            if ((u & 0xC0) == 0x80)
                continue; // the rest of a character beyond ASCII
            out += ValidCharacter(u) ? (char)std::toupper(u) : '_';
        }
        return out;
    };
    base = clean(dot == std::string::npos || dot == 0 ? name : name.substr(0, dot), 6);
    if (dot != std::string::npos && dot != 0)
        extension = clean(name.substr(dot + 1), 3);
    if (base.empty())
        base = "_";
    std::set<std::string> taken = Taken(folderHost, name);
    for (int n = 1;; ++n) {
        std::string tail = "~" + std::to_string(n);
        std::string candidate = base.substr(0, std::min(base.size(), 8 - tail.size())) + tail +
                                (extension.empty() ? "" : "." + extension);
        if (taken.count(candidate) == 0)
            return candidate;
    }
}

std::mutex& Lock() {
    static auto* lock = new std::mutex;
    return *lock;
}

} // namespace

bool Keeps(char letter) {
    std::lock_guard lock(machineLock());
    Drive* d = letter == 0 ? nullptr : machine().drive(letter);
    return d != nullptr && d->kind == DriveKind::Fixed && d->fileSystem == FileSystem::Fat32;
}

bool FitsEightDotThree(const std::string& name) {
    if (name.empty() || name == "." || name == "..")
        return false;
    size_t dot = name.find('.');
    if (dot != name.rfind('.'))
        return false;
    size_t baseLength = dot == std::string::npos ? name.size() : dot;
    size_t extensionLength = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (baseLength == 0 || baseLength > 8 || extensionLength > 3 ||
        (dot != std::string::npos && extensionLength == 0))
        return false;
    for (char c : name) {
        if (c != '.' && !ValidCharacter((unsigned char)c))
            return false;
    }
    return true;
}

std::string ShortNameOf(const std::string& folderHost, const std::string& name) {
    if (FitsEightDotThree(name))
        return "";
    std::lock_guard lock(Lock());
    std::string host = folderHost + "/" + name;
    if (auto stored = Stored(host))
        return *stored;
    // Entries that have none yet get theirs in the order of their names.
    for (const auto& entry : Entries(folderHost)) {
        std::string path = folderHost + "/" + entry;
        if (!FitsEightDotThree(entry) && !Stored(path)) {
            std::string given = Generate(folderHost, entry);
            ::lsetxattr(path.c_str(), ShortNameAttribute, given.data(), given.size(), 0);
        }
    }
    return Stored(host).value_or("");
}

std::optional<std::string> EntryWithShortName(const std::string& folderHost,
                                              const std::string& name) {
    if (!FitsEightDotThree(name))
        return std::nullopt;
    std::string wanted = Upper(name);
    for (const auto& entry : Entries(folderHost)) {
        if (!FitsEightDotThree(entry) && ShortNameOf(folderHost, entry) == wanted)
            return entry;
    }
    return std::nullopt;
}

void Renamed(char letter, const std::string& host) {
    if (!Keeps(letter))
        return;
    std::lock_guard lock(Lock());
    ::lremovexattr(host.c_str(), ShortNameAttribute);
    size_t cut = host.find_last_of('/');
    std::string folder = host.substr(0, cut), name = host.substr(cut + 1);
    if (!FitsEightDotThree(name)) {
        std::string given = Generate(folder, name);
        ::lsetxattr(host.c_str(), ShortNameAttribute, given.data(), given.size(), 0);
    }
}

} // namespace winsim::shortnames

#include "wine_disk.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "name_case.h"

namespace fs = std::filesystem;

namespace {

// The entry of folder named name in any letter case, as Wine folds it (Greek and full-width
// letters too), or name itself when there is none.
std::string MatchEntry(const fs::path& folder, const std::string& name) {
    std::error_code error;
    if (fs::exists(folder / name, error))
        return name;
    std::u32string upcased = winsim::UpcasedName(name);
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::string found = entry.path().filename().string();
        if (winsim::UpcasedName(found) == upcased)
            return found;
    }
    return name;
}

} // namespace

WineDisk::WineDisk(std::string prefix, std::string startedLog, std::string discsFolder, bool wow64)
    : prefix_(std::move(prefix)), startedLog_(std::move(startedLog)),
      discsFolder_(std::move(discsFolder)), wow64_(wow64) {}

std::optional<std::string> WineDisk::HostPath(const std::string& windowsPath) {
    if (windowsPath.size() < 2 || !std::isalpha((unsigned char)windowsPath[0]) ||
        windowsPath[1] != ':')
        return std::nullopt;
    std::string link(1, (char)std::tolower((unsigned char)windowsPath[0]));
    std::error_code error;
    fs::path host = fs::canonical(fs::path(prefix_) / "dosdevices" / (link + ":"), error);
    if (error)
        return std::nullopt;

    std::string rest = windowsPath.substr(2);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t end = rest.find_first_of("\\/", at);
        if (end == std::string::npos)
            end = rest.size();
        std::string component = rest.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".")
            continue;
        if (component == "..")
            host = host.parent_path();
        else
            host /= MatchEntry(host, component);
    }
    return host.string();
}

std::vector<std::pair<unsigned, std::string>> WineDisk::StartedPrograms() {
    std::vector<std::pair<unsigned, std::string>> started;
    std::ifstream log(startedLog_, std::ios::binary);
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t space = line.find(' ');
        if (space == 0 || space == std::string::npos ||
            line.find_first_not_of("0123456789") != space)
            continue;
        started.emplace_back((unsigned)std::stoul(line.substr(0, space)), line.substr(space + 1));
    }
    return started;
}

std::optional<std::string> WineDisk::DiscFolder(const std::string& name) {
    std::error_code error;
    fs::path folder = fs::path(discsFolder_) / name;
    if (name.empty() || !fs::is_directory(folder, error))
        return std::nullopt;
    return folder.string();
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += (char)c;
    } else if (c < 0x800) {
        out += (char)(0xC0 | (c >> 6));
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | (c >> 12));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | (c >> 18));
        out += (char)(0x80 | ((c >> 12) & 0x3F));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A string of a registry file from at (just past its opening quote) to its closing quote, which
// at is left past: Wine writes '\\' and '\"' for themselves, \xN to \xNNNN for UTF-16 units,
// octal and C escapes for control characters. UTF-8.
std::string RegistryString(const std::string& line, size_t& at, char end) {
    std::u16string units;
    while (at < line.size() && line[at] != end) {
        char c = line[at++];
        if (c != '\\' || at >= line.size()) {
            units += (char16_t)(unsigned char)c;
            continue;
        }
        c = line[at++];
        if (c == 'x') {
            unsigned value = 0;
            for (int digits = 0; digits < 4 && at < line.size() && HexValue(line[at]) >= 0;
                 ++digits)
                value = value * 16 + (unsigned)HexValue(line[at++]);
            units += (char16_t)value;
        } else if (c >= '0' && c <= '7') {
            unsigned value = (unsigned)(c - '0');
            for (int digits = 1;
                 digits < 3 && at < line.size() && line[at] >= '0' && line[at] <= '7'; ++digits)
                value = value * 8 + (unsigned)(line[at++] - '0');
            units += (char16_t)value;
        } else {
            static const std::string from = "abefnrtv", to = "\a\b\x1B\f\n\r\t\v";
            size_t escape = from.find(c);
            units += (char16_t)(escape != std::string::npos ? to[escape] : c);
        }
    }
    if (at < line.size())
        ++at;
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        AppendUtf8(out, c);
    }
    return out;
}

} // namespace

std::optional<std::vector<scenario::RegistryItem>> ReadWineRegistry(const std::string& file,
                                                                    const std::string& hive) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<scenario::RegistryItem> items;
    std::string key;
    bool inKey = false;
    std::string line, next;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Long data goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && line.front() != '[' &&
               std::getline(in, next)) {
            line.pop_back();
            size_t start = next.find_first_not_of(" \t");
            line += start == std::string::npos ? "" : next.substr(start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        }
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t at = 1;
            key = RegistryString(line, at, ']');
            inKey = true;
            items.push_back({hive, key, false, "", "", ""});
            continue;
        }
        if (!inKey || (line[0] != '"' && line[0] != '@'))
            continue;
        size_t at = 1;
        std::string name = line[0] == '@' ? std::string() : RegistryString(line, at, '"');
        if (at >= line.size() || line[at] != '=')
            continue;
        std::string data = line.substr(at + 1);
        scenario::RegistryItem item{hive, key, true, name, "", ""};
        if (!data.empty() && data[0] == '"') {
            size_t from = 1;
            item.type = "sz";
            item.data = RegistryString(data, from, '"');
        } else if (data.rfind("dword:", 0) == 0) {
            item.type = "dword";
            item.data = std::to_string(std::strtoul(data.c_str() + 6, nullptr, 16));
        } else {
            size_t colon = data.find(':');
            item.type = "wine " + data.substr(0, colon);
            item.data = colon == std::string::npos ? "" : data.substr(colon + 1);
        }
        items.push_back(item);
    }
    return items;
}

std::optional<std::vector<scenario::RegistryItem>> WineDisk::Registry() {
    auto machine = ReadWineRegistry(prefix_ + "/system.reg", "HKLM");
    auto user = ReadWineRegistry(prefix_ + "/user.reg", "HKCU");
    if (!machine || !user)
        return std::nullopt;
    if (wow64_)
        machine = ViewOfRegistry(std::move(*machine));
    machine->insert(machine->end(), user->begin(), user->end());
    return machine;
}

namespace {

// Whether key is name or lies below it, ASCII letters in either case; rest gets what follows
// name (with its separator).
bool KeyBelow(const std::string& key, const std::string& name, std::string& rest) {
    if (key.size() < name.size() || (key.size() > name.size() && key[name.size()] != '\\'))
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower((unsigned char)key[i]) != std::tolower((unsigned char)name[i]))
            return false;
    }
    rest = key.substr(name.size());
    return true;
}

} // namespace

std::vector<scenario::RegistryItem> ViewOfRegistry(std::vector<scenario::RegistryItem> items) {
    std::vector<scenario::RegistryItem> view;
    for (auto& item : items) {
        std::string rest;
        if (item.hive == "HKLM" && KeyBelow(item.key, "Software\\Wow6432Node", rest)) {
            item.key = "Software" + rest;
        } else if (item.hive == "HKLM" && KeyBelow(item.key, "Software", rest)) {
            continue; // the 64-bit view's
        }
        view.push_back(std::move(item));
    }
    return view;
}

std::vector<scenario::SnapshotRoot> MachineRoots(const std::string& prefix,
                                                 const std::string& discsFolder) {
    std::vector<scenario::SnapshotRoot> roots;
    std::error_code error;
    fs::path discs = fs::weakly_canonical(discsFolder, error);
    for (const auto& entry : fs::directory_iterator(fs::path(prefix) / "dosdevices", error)) {
        std::string name = entry.path().filename().string();
        if (name.size() != 2 || name[1] != ':')
            continue; // "d::" names a device, not a folder
        fs::path target = fs::weakly_canonical(entry.path(), error);
        std::string relative = target.lexically_relative(discs).generic_string();
        if (error || !fs::is_directory(target, error) ||
            (!relative.empty() && relative.rfind("..", 0) != 0))
            continue; // a CD-ROM drive: its discs are looked at one by one below
        if (target == target.root_path())
            continue; // Wine's drive for the host's whole file system (Z:), which no run uses
        scenario::SnapshotRoot root{name, target, {}};
        if (name == "c:") {
            // Wine's own Windows folder, and what the runner put there to play the scenario.
            root.skip = {"windows", "robot", "started.txt"};
        }
        roots.push_back(root);
    }
    for (const auto& disc : fs::directory_iterator(discs, error)) {
        if (disc.is_directory(error))
            roots.push_back({"disc " + disc.path().filename().string(), disc.path(), {}});
    }
    return roots;
}

#include "registry_tree.h"

#include <atomic>
#include <sstream>
#include <strings.h>

#include "machine.h"
#include "name_case.h"

namespace winsim {

namespace {

std::atomic<std::uint64_t> nextSerial{1};

// A word of registry.txt: the bytes, with %XX for a space, '%', '@', control bytes and DEL; "@"
// alone is the empty word.
std::string Escaped(std::string_view text) {
    if (text.empty())
        return "@";
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char byte = (unsigned char)c;
        if (byte <= 0x20 || byte == 0x7F || c == '%' || c == '@') {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> Unescaped(std::string_view word) {
    if (word == "@")
        return std::string();
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            out += word[i];
            continue;
        }
        if (i + 2 >= word.size())
            return std::nullopt;
        int high = HexDigit(word[i + 1]), low = HexDigit(word[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += (char)(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string Hex(std::string_view bytes) {
    if (bytes.empty())
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        out += digits[(unsigned char)c >> 4];
        out += digits[(unsigned char)c & 15];
    }
    return out;
}

std::optional<std::string> FromHex(std::string_view text) {
    if (text == "-")
        return std::string();
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += (char)(high * 16 + low);
    }
    return out;
}

std::string PathText(const std::vector<std::string>& names) {
    std::string path;
    for (const auto& name : names)
        path += (path.empty() ? "" : "\\") + Escaped(name);
    return path.empty() ? "@" : path;
}

void AddKeyLines(const RegistryKey& key, Hive hive, std::vector<std::string>& names,
                 const std::map<std::string, std::string>& shellFolders, std::string& text) {
    const char* root = HiveName(hive);
    std::string path = PathText(names);
    if (!names.empty())
        text += std::string("key ") + root + " " + path + "\n";
    if (!key.descriptor.empty())
        text += std::string("acl ") + root + " " + path + " " + Escaped(key.descriptor) + "\n";
    auto valueLine = [&](const std::string& name, const RegistryValue& value) {
        text += std::string("value ") + root + " " + path + " " + Escaped(name) + " " +
                std::to_string(value.type) + " " + Hex(value.data) + "\n";
    };
    bool shell = IsShellFolders(hive, names);
    if (shell) {
        for (const auto& [name, folder] : shellFolders)
            valueLine(name, {1 /* REG_SZ */, Utf8ToCp950(folder) + '\0'});
    }
    for (const auto& [name, value] : key.values) {
        if (!shell || !shellFolders.contains(name))
            valueLine(name, value);
    }
    for (const auto& [name, subkey] : key.keys) {
        names.push_back(name);
        AddKeyLines(subkey, hive, names, shellFolders, text);
        names.pop_back();
    }
}

} // namespace

bool NameOrder::operator()(const std::string& a, const std::string& b) const {
    return UpcasedName(a) < UpcasedName(b);
}

bool SameName(std::string_view a, std::string_view b) {
    return UpcasedName(a) == UpcasedName(b);
}

Registry::Registry() {
    localMachine.serial = nextSerial++;
    currentUser.serial = nextSerial++;
    Make(Hive::CurrentUser, KeyNames(ShellFoldersPath));
    // Every Windows has its machine's Software key.
    Make(Hive::LocalMachine, KeyNames("Software"));
}

RegistryKey& Registry::Root(Hive hive) {
    return hive == Hive::LocalMachine ? localMachine : currentUser;
}

const RegistryKey& Registry::Root(Hive hive) const {
    return hive == Hive::LocalMachine ? localMachine : currentUser;
}

RegistryKey* Registry::Find(Hive hive, const std::vector<std::string>& names) {
    RegistryKey* key = &Root(hive);
    for (const auto& name : names) {
        auto found = key->keys.find(name);
        if (found == key->keys.end())
            return nullptr;
        key = &found->second;
    }
    return key;
}

RegistryKey& Registry::Make(Hive hive, const std::vector<std::string>& names, int* made) {
    RegistryKey* key = &Root(hive);
    for (const auto& name : names) {
        auto [at, added] = key->keys.try_emplace(name);
        if (added) {
            at->second.serial = nextSerial++;
            if (made != nullptr)
                ++*made;
        }
        key = &at->second;
    }
    return *key;
}

std::vector<std::string> KeyNames(std::string_view path) {
    std::vector<std::string> names;
    std::string name;
    for (char c : path) {
        if (c == '\\') {
            if (!name.empty())
                names.push_back(std::move(name));
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty())
        names.push_back(std::move(name));
    return names;
}

std::optional<Hive> HiveNamed(std::string_view name) {
    std::string text(name);
    if (strcasecmp(text.c_str(), "HKLM") == 0 ||
        strcasecmp(text.c_str(), "HKEY_LOCAL_MACHINE") == 0)
        return Hive::LocalMachine;
    if (strcasecmp(text.c_str(), "HKCU") == 0 || strcasecmp(text.c_str(), "HKEY_CURRENT_USER") == 0)
        return Hive::CurrentUser;
    return std::nullopt;
}

const char* HiveName(Hive hive) {
    return hive == Hive::LocalMachine ? "HKLM" : "HKCU";
}

bool IsShellFolders(Hive hive, const std::vector<std::string>& names) {
    static const std::vector<std::string> shellFolders = KeyNames(ShellFoldersPath);
    if (hive != Hive::CurrentUser || names.size() != shellFolders.size())
        return false;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!SameName(names[i], shellFolders[i]))
            return false;
    }
    return true;
}

std::string RegistryText(const Registry& registry,
                         const std::map<std::string, std::string>& shellFolders) {
    std::string text = "# winsim's registry (a line per key, descriptor and value: key <root> "
                       "<path>, acl <root> <path> <sddl>, value <root> <path> <name> <type> "
                       "<hex data>)\n";
    for (Hive hive : {Hive::LocalMachine, Hive::CurrentUser}) {
        std::vector<std::string> names;
        AddKeyLines(registry.Root(hive), hive, names, shellFolders, text);
    }
    return text;
}

bool ReadRegistryText(const std::string& text, Registry& registry,
                      std::map<std::string, std::string>& shellFolders) {
    Registry read;
    read.localMachineReadOnly = registry.localMachineReadOnly;
    // Only what the text holds: the Shell Folders key too, when it does.
    read.currentUser.keys.clear();
    std::map<std::string, std::string> folders;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind, root, path, name, type, data;
        words >> kind;
        if (kind.empty() || kind[0] == '#')
            continue;
        words >> root >> path;
        auto hive = HiveNamed(root);
        auto pathText = Unescaped(path);
        if (!hive || !pathText)
            return false;
        std::vector<std::string> names;
        if (!pathText->empty()) {
            std::istringstream parts(path);
            std::string part;
            while (std::getline(parts, part, '\\')) {
                auto unescaped = Unescaped(part);
                if (!unescaped || unescaped->empty())
                    return false;
                names.push_back(*unescaped);
            }
        }
        RegistryKey& key = read.Make(*hive, names);
        if (kind == "key")
            continue;
        if (kind == "acl") {
            auto descriptor = words >> data ? Unescaped(data) : std::nullopt;
            if (!descriptor || descriptor->empty())
                return false;
            key.descriptor = *descriptor;
            continue;
        }
        if (kind != "value" || !(words >> name >> type >> data))
            return false;
        auto valueName = Unescaped(name);
        auto bytes = FromHex(data);
        if (!valueName || !bytes || type.find_first_not_of("0123456789") != std::string::npos)
            return false;
        RegistryValue value{(std::uint32_t)std::stoul(type), *bytes};
        if (IsShellFolders(*hive, names) && value.type == 1 /* REG_SZ */)
            folders[*valueName] = Cp950ToUtf8(value.data.substr(0, value.data.find('\0')));
        else
            key.values[*valueName] = value;
    }
    registry = std::move(read);
    shellFolders = std::move(folders);
    return true;
}

} // namespace winsim

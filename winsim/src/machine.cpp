#include "machine.h"
#include "name_case.h"
#include "short_names.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <dirent.h>
#include <iconv.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace winsim {

Machine& machine() {
    // Never destroyed: threads may still use it while the process exits.
    static Machine* instance = new Machine;
    return *instance;
}

std::recursive_mutex& machineLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

// One converter per pair of encodings for the whole process, opened on first use and never
// closed: opening and closing one per call loads and unloads iconv's conversion module each
// time, which threads converting at once race on inside the dynamic loader.
std::string ConvertText(const char* to, const char* from, std::string_view text, size_t unitBytes,
                        std::string_view replacement) {
    struct Converter {
        std::mutex lock;
        iconv_t handle;
    };
    static std::mutex* tableLock = new std::mutex;
    static auto* table = new std::map<std::string, Converter*>;
    Converter* chosen;
    {
        std::lock_guard guard(*tableLock);
        Converter*& entry = (*table)[std::string(to) + "<" + from];
        if (entry == nullptr)
            entry = new Converter{{}, iconv_open(to, from)};
        chosen = entry;
    }
    std::lock_guard guard(chosen->lock);
    iconv_t converter = chosen->handle;
    if (converter == (iconv_t)-1)
        return std::string(text);
    iconv(converter, nullptr, nullptr, nullptr, nullptr); // back to the initial state
    std::string out;
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outAt = buffer;
        size_t outLeft = sizeof(buffer);
        size_t result = iconv(converter, &in, &inLeft, &outAt, &outLeft);
        out.append(buffer, outAt - buffer);
        if (result == (size_t)-1 && errno != E2BIG) {
            size_t skip = inLeft < unitBytes ? inLeft : unitBytes;
            out += replacement;
            in += skip;
            inLeft -= skip;
        }
    }
    return out;
}

std::string Cp950ToUtf8(std::string_view text) {
    return ConvertText("UTF-8", "CP950", text);
}
std::string Utf8ToCp950(std::string_view text) {
    return ConvertText("CP950", "UTF-8", text);
}

static std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace((unsigned char)line[at]))
            ++at;
        if (at >= line.size() || line[at] == '#')
            break;
        std::string word;
        if (line[at] == '"') {
            size_t end = line.find('"', at + 1);
            if (end == std::string::npos)
                end = line.size();
            word = line.substr(at + 1, end - at - 1);
            at = end + 1;
        } else {
            while (at < line.size() && !std::isspace((unsigned char)line[at]))
                word += line[at++];
        }
        words.push_back(word);
    }
    return words;
}

static std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

bool Machine::load(const std::string& machineFolder) {
    std::ifstream in(fs::path(machineFolder) / "machine.txt");
    if (!in)
        return false;
    folder = machineFolder;
    std::string line;
    while (std::getline(in, line)) {
        auto words = Words(line);
        if (words.size() >= 4 && words[0] == "drive") {
            Drive d;
            d.letter = (char)std::tolower((unsigned char)words[1][0]);
            d.kind = words[2] == "cdrom"       ? DriveKind::CdRom
                     : words[2] == "removable" ? DriveKind::Removable
                                               : DriveKind::Fixed;
            d.hostFolder = words[3] == "-" ? "" : words[3];
            for (size_t i = 4; i < words.size(); ++i) {
                if (words[i] == "free" && i + 1 < words.size())
                    d.freeBytes = std::stoull(words[++i]);
                else if (words[i] == "capacity" && i + 1 < words.size())
                    d.capacity = std::stoull(words[++i]);
                else if (words[i] == "nospace")
                    d.failSpaceQuery = true;
                else if (words[i] == "nolabel")
                    d.failLabel = true;
                else if (words[i] == "filesystem" && i + 1 < words.size()) {
                    const std::string& name = words[++i];
                    d.fileSystem = name == "fat32"   ? FileSystem::Fat32
                                   : name == "exfat" ? FileSystem::ExFat
                                                     : FileSystem::Ntfs;
                }
            }
            drives[d.letter] = d;
        } else if (words.size() == 2 && words[0] == "user") {
            standardUser = words[1] == "standard";
            registry.localMachineReadOnly |= standardUser;
        } else if (words.size() >= 3 && words[0] == "shellfolder") {
            shellFolders[words[1]] = words[2];
        } else if (words.size() == 3 && words[0] == "registry" && words[2] == "readonly" &&
                   HiveNamed(words[1]) == Hive::LocalMachine) {
            registry.localMachineReadOnly = true;
        } else if (words.size() == 6 && words[0] == "registry" && HiveNamed(words[1]) &&
                   (words[4] == "sz" || words[4] == "dword")) {
            RegistryValue value;
            if (words[4] == "sz") {
                value = {1 /* REG_SZ */, Utf8ToCp950(words[5]) + '\0'};
            } else {
                std::uint32_t number = (std::uint32_t)std::stoul(words[5], nullptr, 0);
                value = {4 /* REG_DWORD */, std::string((const char*)&number, 4)};
            }
            Hive hive = *HiveNamed(words[1]);
            std::vector<std::string> names = KeyNames(words[2]);
            if (IsShellFolders(hive, names) && value.type == 1)
                shellFolders[words[3]] = words[5];
            else
                registry.Make(hive, names).values[words[3]] = value;
        } else if (words.size() >= 3 && words[0] == "fault") {
            if (words[1] == "keyopen")
                failKeyOpenings.insert(std::stoi(words[2]));
            else if (words[1] == "unreadable")
                unreadable.insert(words[2]);
            else if (words[1] == "link")
                linkFaults.insert(words[2]);
            else if (words[1] == "call" && words.size() >= 4)
                failCalls[words[2]] = std::stoi(words[3]);
            else if (words[1] == "slow" && words.size() >= 4)
                slowCalls[words[2]] = std::stoi(words[3]);
        } else if (words.size() >= 4 && words[0] == "cancel" && words[1] == "before" &&
                   words[2] == "call") {
            cancelBeforeCall = std::stoi(words[3]);
        } else if (words.size() >= 4 && words[0] == "kill" && words[1] == "before" &&
                   words[2] == "call") {
            killBeforeCall = std::stoi(words[3]);
            if (words.size() >= 6 && words[4] == "thread")
                killThread = std::stoi(words[5]);
        } else if (words.size() >= 5 && words[0] == "power" && words[1] == "cut" &&
                   words[2] == "before" && words[3] == "call") {
            killBeforeCall = std::stoi(words[4]);
            powerCut = true;
            if (words.size() >= 7 && words[5] == "thread")
                killThread = std::stoi(words[6]);
        } else if (words.size() >= 2 && words[0] == "lacks") {
            lacks.insert(words[1]);
            if (words.size() >= 4 && words[2] == "error")
                stubErrors[words[1]] = (std::uint32_t)std::stoul(words[3], nullptr, 0);
        } else if (words.size() == 2 && words[0] == "version") {
            version = (std::uint32_t)std::stoul(words[1], nullptr, 0);
        }
    }
    LoadRegistryFile(*this);
    return true;
}

bool Machine::save() const {
    if (folder.empty())
        return false;
    std::ofstream out(fs::path(folder) / "machine.txt");
    for (const auto& [letter, d] : drives) {
        out << "drive " << letter
            << (d.kind == DriveKind::CdRom       ? " cdrom "
                : d.kind == DriveKind::Removable ? " removable "
                                                 : " fixed ")
            << (d.hostFolder.empty() ? "-" : Quote(d.hostFolder));
        if (d.freeBytes)
            out << " free " << *d.freeBytes;
        if (d.capacity)
            out << " capacity " << *d.capacity;
        if (d.failSpaceQuery)
            out << " nospace";
        if (d.failLabel)
            out << " nolabel";
        if (d.fileSystem != FileSystem::Ntfs)
            out << " filesystem " << (d.fileSystem == FileSystem::Fat32 ? "fat32" : "exfat");
        out << "\n";
    }
    for (const auto& [name, value] : shellFolders)
        out << "shellfolder " << Quote(name) << " " << Quote(value) << "\n";
    if (standardUser)
        out << "user standard\n";
    else if (registry.localMachineReadOnly)
        out << "registry hklm readonly\n";
    // The text and number values (registry.txt holds the registry whole once it has changed).
    std::vector<std::string> names;
    auto values = [&](auto& self, Hive hive, const RegistryKey& key) -> void {
        std::string path;
        for (const auto& name : names)
            path += (path.empty() ? "" : "\\") + name;
        for (const auto& [name, value] : key.values) {
            if (value.type == 1 /* REG_SZ */)
                out << "registry " << HiveName(hive) << " " << Quote(path) << " " << Quote(name)
                    << " sz " << Quote(Cp950ToUtf8(value.data.substr(0, value.data.find('\0'))))
                    << "\n";
            std::uint32_t number = 0;
            if (value.type == 4 /* REG_DWORD */ && value.data.size() == 4) {
                std::memcpy(&number, value.data.data(), 4);
                out << "registry " << HiveName(hive) << " " << Quote(path) << " " << Quote(name)
                    << " dword " << number << "\n";
            }
        }
        for (const auto& [name, subkey] : key.keys) {
            names.push_back(name);
            self(self, hive, subkey);
            names.pop_back();
        }
    };
    for (Hive hive : {Hive::LocalMachine, Hive::CurrentUser})
        values(values, hive, registry.Root(hive));
    for (int n : failKeyOpenings)
        out << "fault keyopen " << n << "\n";
    for (const auto& path : unreadable)
        out << "fault unreadable " << Quote(path) << "\n";
    for (const auto& what : linkFaults)
        out << "fault link " << what << "\n";
    for (const auto& [name, use] : failCalls)
        out << "fault call " << name << " " << use << "\n";
    for (const auto& [name, milliseconds] : slowCalls)
        out << "fault slow " << name << " " << milliseconds << "\n";
    if (cancelBeforeCall != 0)
        out << "cancel before call " << cancelBeforeCall << "\n";
    if (killBeforeCall != 0)
        out << (powerCut ? "power cut" : "kill") << " before call " << killBeforeCall << " thread "
            << killThread << "\n";
    for (const auto& name : lacks) {
        out << "lacks " << name;
        if (stubErrors.contains(name))
            out << " error " << stubErrors.at(name);
        out << "\n";
    }
    if (version != Windows10)
        out << "version " << version << "\n";
    return bool(out);
}

Drive* Machine::drive(char letter) {
    auto found = drives.find((char)std::tolower((unsigned char)letter));
    return found == drives.end() ? nullptr : &found->second;
}

namespace {

// How a Windows path names its place: the drive, what follows "X:", and whether its names are
// read as Windows reads them or taken as they are.
struct PathForm {
    char letter = 0; // lower case; 0: no drive of a machine (a device, a share, a relative path)
    std::string_view rest;
    bool literal = false; // \\?\X:\...: no '/' for '\', no trimming, "." and ".." no steps
    bool device = false;  // \\.\ or \\?\ that names no drive's folder: a device
};

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

PathForm FormOf(std::string_view path) {
    PathForm form;
    auto drive = [&](std::string_view rest, bool literal) {
        // "X:\" (a drive's folders) or "X:" alone; only a literal path insists on the backslash.
        if (rest.size() < 2 || rest[1] != ':' || !std::isalpha((unsigned char)rest[0]))
            return false;
        if (rest.size() > 2 && !(literal ? rest[2] == '\\' : IsSeparator(rest[2])))
            return false;
        form.letter = (char)std::tolower((unsigned char)rest[0]);
        form.rest = rest.substr(2);
        form.literal = literal;
        return true;
    };
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
        (path[2] == '?' || path[2] == '.') && IsSeparator(path[3])) {
        // A drive's volume ("\\.\C:") is a device, not its root folder.
        bool literal = path.substr(0, 4) == "\\\\?\\";
        if (path.size() < 7 || !drive(path.substr(4), literal)) {
            form = PathForm{};
            form.device = true;
        }
        return form;
    }
    if (path.size() >= 2 && path[1] == ':' && std::isalpha((unsigned char)path[0])) {
        form.letter = (char)std::tolower((unsigned char)path[0]);
        form.rest = path.substr(2);
    }
    return form;
}

// The names of a path after its drive, in UTF-8. Read as Windows reads them: '/' is a
// separator too; a name that ends in a dot loses that dot, and the last name (when no separator
// follows it) loses all dots and spaces at its end; names left empty go; "." and ".." stay for
// ResolvedNames to step by (only names that are no more than that: "..." is a name). A literal
// path's names are taken as they are. Converted first, then split: a Big5 trail byte 0x5C is no
// separator. invalid: a name that no file can have ("." or ".." that is no step, a '/' in a
// literal path's name).
std::vector<std::string> WindowsNames(std::string_view rest, bool literal, bool* invalid) {
    std::vector<std::string> parts(1);
    for (char c : Cp950ToUtf8(rest)) {
        if (c == '\\' || (c == '/' && !literal))
            parts.emplace_back();
        else
            parts.back() += c;
    }
    std::vector<std::string> names;
    bool bad = false;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string& name = parts[i];
        bool last = i + 1 == parts.size();
        if (literal) {
            bad |= name == "." || name == ".." || name.find('/') != std::string::npos ||
                   (name.empty() && i != 0 && !last);
        } else if (name != "." && name != "..") {
            if (last) {
                while (!name.empty() && (name.back() == '.' || name.back() == ' '))
                    name.pop_back();
            } else if (!name.empty() && name.back() == '.') {
                name.pop_back();
                // "...\" leaves "..": a name, and one no file can have.
                bad |= name == "." || name == "..";
            }
        }
        if (!name.empty())
            names.push_back(std::move(name));
    }
    if (invalid != nullptr)
        *invalid = bad;
    return names;
}

// The names of a path after its drive, with "." and ".." stepped through (not in a literal
// path); nullopt when a name is one that no file can have.
std::optional<std::vector<std::string>> ResolvedNames(const PathForm& form) {
    bool invalid = false;
    auto parts = WindowsNames(form.rest, form.literal, &invalid);
    if (invalid)
        return std::nullopt;
    if (form.literal)
        return parts;
    std::vector<std::string> names;
    for (auto& part : parts) {
        if (part == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (part != ".") {
            names.push_back(std::move(part));
        }
    }
    return names;
}

} // namespace

char DriveLetterOf(std::string_view path) {
    return FormOf(path).letter;
}

bool IsDevicePath(std::string_view windowsPath) {
    return FormOf(windowsPath).device;
}

bool HasInvalidName(std::string_view windowsPath) {
    PathForm form = FormOf(windowsPath);
    return form.letter != 0 && !ResolvedNames(form);
}

bool IsDeviceName(std::string_view windowsPath) {
    PathForm form = FormOf(windowsPath);
    // A literal path names a file, whatever its name.
    if (form.literal || form.device)
        return false;
    std::string_view last = form.letter != 0 ? form.rest : windowsPath;
    if (last.empty() || last.back() == '\\' || last.back() == '/')
        return false;
    auto names = WindowsNames(last, false, nullptr);
    if (names.empty())
        return false;
    // The name before its first dot, without the spaces at its end.
    std::string base = names.back().substr(0, names.back().find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = (char)std::toupper((unsigned char)c);
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

// The entry of a host folder whose name is name but for letter case, as Windows folds it: name
// itself when it is there, else the first such entry in byte order, else name.
static std::string EntryAnyCase(const std::string& folder, const std::string& name,
                                bool shortNames) {
    std::string spelled = folder + "/" + name;
    struct stat info;
    if (lstat(spelled.c_str(), &info) == 0)
        return name;
    std::u32string upcased = UpcasedName(name);
    std::string found;
    if (DIR* entries = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(entries)) {
            if ((found.empty() || found > entry->d_name) && IsUpcasedName(entry->d_name, upcased))
                found = entry->d_name;
        }
        closedir(entries);
    }
    // On a FAT32 drive a name may be an entry's short name.
    if (found.empty() && shortNames) {
        if (auto entry = shortnames::EntryWithShortName(folder, name))
            return *entry;
    }
    return found.empty() ? name : found;
}

static std::optional<std::string> MapNames(std::string_view windowsPath, bool lastAsSpelled) {
    PathForm form = FormOf(windowsPath);
    if (form.letter == 0)
        return std::nullopt;
    auto names = ResolvedNames(form);
    if (!names)
        return std::nullopt;
    std::lock_guard lock(machineLock());
    Drive* d = machine().drive(form.letter);
    if (d == nullptr || d->hostFolder.empty())
        return std::nullopt;
    std::string host = d->hostFolder;
    bool shortNames = d->kind == DriveKind::Fixed && d->fileSystem == FileSystem::Fat32;
    while (host.size() > 1 && host.back() == '/')
        host.pop_back();
    for (size_t i = 0; i < names->size(); ++i)
        host += "/" + (lastAsSpelled && i + 1 == names->size()
                           ? (*names)[i]
                           : EntryAnyCase(host, (*names)[i], shortNames));
    return host;
}

std::optional<std::string> HostPath(std::string_view windowsPath) {
    return MapNames(windowsPath, false);
}

std::optional<std::string> HostPathAsSpelled(std::string_view windowsPath) {
    return MapNames(windowsPath, true);
}

std::size_t FullPathCharacters(std::string_view windowsPath) {
    std::size_t characters = 3; // "C:\"
    PathForm form = FormOf(windowsPath);
    auto names = ResolvedNames(form).value_or(std::vector<std::string>{});
    for (const auto& name : names) {
        for (char c : name)
            characters += ((unsigned char)c & 0xC0) != 0x80 ? 1 : 0;
    }
    if (!names.empty()) {
        characters += names.size() - 1;
        // Converted first: a Big5 trail byte 0x5C at the end is no separator.
        std::string utf8 = Cp950ToUtf8(form.rest);
        if (!utf8.empty() && (utf8.back() == '\\' || (utf8.back() == '/' && !form.literal)))
            ++characters;
    }
    return characters;
}

std::optional<std::string> DiscLabel(const Drive& drive) {
    if (drive.failLabel || drive.hostFolder.empty())
        return std::nullopt;
    std::error_code error;
    if (!fs::is_directory(drive.hostFolder, error))
        return std::nullopt;
    std::ifstream in(fs::path(drive.hostFolder) / ".windows-label");
    std::string label;
    if (in)
        std::getline(in, label);
    while (!label.empty() && (label.back() == '\r' || label.back() == ' '))
        label.pop_back();
    return label;
}

void Misuse(const std::string& what) {
    std::string line = "winsim: misuse: " + what + "\n";
    // One write, not buffered: other threads may be printing, and nothing runs after it.
    ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
    (void)written;
    std::_Exit(MisuseExitStatus);
}

} // namespace winsim

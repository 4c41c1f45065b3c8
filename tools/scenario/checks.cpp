// The end checks of a scenario: what must hold on the machine once the installer has ended.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <iconv.h>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "lnkinfo.h"
#include "scenario.h"
#include "snapshot.h"

namespace fs = std::filesystem;

namespace scenario {

namespace {

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Relative path (with '\') -> content, of the files under folder; folders as entries too, with
// no content.
struct Tree {
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
};

std::string Relative(const fs::path& path, const fs::path& root) {
    std::string relative = fs::relative(path, root).generic_string();
    for (char& c : relative) {
        if (c == '/')
            c = '\\';
    }
    return relative;
}

void AddTree(const fs::path& root, Tree& tree) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::string relative = Relative(it->path(), root);
        if (it->is_directory(error)) {
            tree.folders.insert(relative);
        } else {
            tree.files[relative] = ReadFile(it->path()).value_or("");
        }
    }
}

// The product folder of a disc: "kelvo" at its root, in any letter case.
std::optional<fs::path> ProductFolder(const fs::path& disc) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(disc, error)) {
        std::string name = entry.path().filename().string();
        std::string lower;
        for (char c : name)
            lower += (char)std::tolower((unsigned char)c);
        if (lower == "kelvo" && entry.is_directory(error))
            return entry.path();
    }
    return std::nullopt;
}

// lnkinfo's report on a link, or nullopt; missing when there is no lnkinfo to ask.
std::optional<std::string> LinkReport(const std::string& hostPath, bool& missing) {
#ifdef _WIN32
    (void)hostPath;
    missing = true;
    return std::nullopt;
#else
    missing = !HaveLnkinfo();
    return missing ? std::nullopt : LnkinfoReport(hostPath);
#endif
}

unsigned ShowCommand(const std::string& word, bool& known) {
    static const std::map<std::string, unsigned> names = {
        {"SW_HIDE", 0}, {"SW_SHOWNORMAL", 1}, {"SW_SHOWMAXIMIZED", 3},
        {"SW_SHOW", 5}, {"SW_RESTORE", 9},
    };
    known = true;
    auto found = names.find(word);
    if (found != names.end())
        return found->second;
    unsigned value = 0;
    auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (!word.empty() && error == std::errc() && end == word.data() + word.size())
        return value;
    known = false;
    return 0;
}

// The first five items, and how many there are in all when there are more.
std::string Summary(const std::vector<std::string>& items) {
    std::string summary;
    for (size_t i = 0; i < items.size() && i < 5; ++i)
        summary += (i > 0 ? ", " : "") + items[i];
    if (items.size() > 5)
        summary += ", ... (" + std::to_string(items.size()) + " in all)";
    return summary;
}

std::string Upper(const std::string& text) {
    std::string out;
    for (char c : text)
        out += (char)std::toupper((unsigned char)c);
    return out;
}

// Registry names compare without regard to ASCII case; a key path's empty names don't count.
bool SameKey(const std::string& a, const std::string& b) {
    auto names = [](const std::string& path) {
        std::vector<std::string> out;
        std::string name;
        for (size_t at = 0; at <= path.size(); ++at) {
            if (at == path.size() || path[at] == '\\') {
                if (!name.empty())
                    out.push_back(Upper(name));
                name.clear();
            } else {
                name += path[at];
            }
        }
        return out;
    };
    return names(a) == names(b);
}

// expect registry <hive> <key> <value> <data> and expect no registry <hive> <key>; the reason
// it fails, or empty.
std::string CheckRegistry(const Line& check, const std::vector<RegistryItem>& items) {
    bool none = check.word(1) == "no";
    const std::string& hive = none ? check.word(3) : check.word(2);
    const std::string& key = none ? check.word(4) : check.word(3);
    std::string where = hive + "\\" + key;
    if (none) {
        for (const auto& item : items) {
            if (item.hive == hive && !item.value && SameKey(item.key, key))
                return "the key " + where + " is there";
        }
        return "";
    }
    const std::string& name = check.word(4);
    const std::string& wanted = check.word(5);
    for (const auto& item : items) {
        if (item.hive != hive || !item.value || !SameKey(item.key, key) ||
            Upper(item.name) != Upper(name))
            continue;
        bool same = false;
        if (item.type == "dword") {
            char* end = nullptr;
            unsigned long long number = std::strtoull(wanted.c_str(), &end, 0);
            same = !wanted.empty() && *end == '\0' && std::to_string(number) == item.data;
        } else if (item.type == "sz") {
            same = item.data == wanted;
        }
        if (same)
            return "";
        return where + " value " + Quoted(name) + " is " + item.type + " " + Quoted(item.data) +
               ", not " + Quoted(wanted);
    }
    return "no value " + Quoted(name) + " in " + where;
}

} // namespace

std::uint32_t Crc32(std::string_view bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> made{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t value = i;
            for (int bit = 0; bit < 8; ++bit)
                value = (value & 1) != 0 ? 0xEDB88320u ^ (value >> 1) : value >> 1;
            made[i] = value;
        }
        return made;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (char c : bytes)
        crc = table[(crc ^ (unsigned char)c) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string JournalBytes(const std::vector<std::string>& records) {
    std::string bytes;
    iconv_t converter = iconv_open("CP950", "UTF-8");
    for (const auto& record : records) {
        std::string converted(record.size() * 2 + 4, '\0');
        char* in = const_cast<char*>(record.data());
        size_t inLeft = record.size();
        char* out = converted.data();
        size_t outLeft = converted.size();
        if (converter == (iconv_t)-1 ||
            iconv(converter, &in, &inLeft, &out, &outLeft) == (size_t)-1)
            converted = record; // as it is: the journal is then one no setup would write
        else
            converted.resize(converted.size() - outLeft);
        char check[16];
        std::snprintf(check, sizeof check, "\t%08X\r\n", (unsigned)Crc32(converted));
        bytes += converted + check;
    }
    if (converter != (iconv_t)-1)
        iconv_close(converter);
    return bytes;
}

bool CheckEnd(const Scenario& scenario, Disk& disk, std::vector<std::string>& log) {
    bool passed = true;
    size_t nextStarted = 0;
    std::optional<std::vector<RegistryItem>> registry;
    std::vector<std::pair<unsigned, std::string>> started = disk.StartedPrograms();
    for (const auto& check : scenario.checks) {
        auto fail = [&](const std::string& why) {
            log.push_back("FAIL " + check.where() + ": " + why);
            passed = false;
        };
        const std::string& what = check.word(1);
        std::error_code error;

        if (what == "registry" || (what == "no" && check.word(2) == "registry")) {
            if (!registry)
                registry = disk.Registry();
            if (!registry) {
                fail("the machine's registry can't be read");
                continue;
            }
            std::string why = CheckRegistry(check, *registry);
            if (!why.empty())
                fail(why);
            continue;
        }

        if (what == "owner" || what == "acl") {
            auto why = disk.CheckSecurity(what, check.word(2), check.word(3));
            if (!why)
                fail("the owner and access list of " + Quoted(check.word(2)) +
                     " can't be read here");
            else if (!why->empty())
                fail(*why);
            continue;
        }

        if (what == "redirection-trust") {
            auto flags = disk.RedirectionTrust();
            static const std::map<std::string, std::string> named = {
                {"off", "0"}, {"enforce", "1"}, {"audit", "2"}, {"enforce+audit", "3"}};
            if (!flags)
                fail("RedirectionGuard can't be read here");
            else if (*flags != named.at(check.word(2)))
                fail("RedirectionGuard's flags are " + *flags);
            continue;
        }

        if (what == "started") {
            if (check.word(2) == "none") {
                if (nextStarted < started.size())
                    fail("a program was started: " + Quoted(started[nextStarted].second));
                continue;
            }
            bool known;
            unsigned show = ShowCommand(check.word(2), known);
            if (!known) {
                fail("unknown show command " + check.word(2));
            } else if (nextStarted >= started.size()) {
                fail("no program started for " + Quoted(check.word(3)));
            } else {
                const auto& [actualShow, commandLine] = started[nextStarted];
                if (actualShow != show || check.word(3) != commandLine)
                    fail("started " + std::to_string(actualShow) + " " + Quoted(commandLine) +
                         ", not " + std::to_string(show) + " " + Quoted(check.word(3)));
            }
            ++nextStarted;
            continue;
        }

        const std::string& windowsPath = what == "no" ? check.word(3) : check.word(2);
        auto host = disk.HostPath(windowsPath);
        if (!host) {
            if (what == "no")
                continue; // a path on no drive holds no file
            fail(windowsPath + " is on no drive of the machine");
            continue;
        }
        fs::path path = *host;

        if (what == "file") {
            if (!fs::is_regular_file(path, error)) {
                fail("no file " + windowsPath);
            } else if (check.words.size() >= 4) {
                std::string content = ReadFile(path).value_or("");
                if (content != check.word(3))
                    fail(windowsPath + " holds " + Quoted(content) + ", not " +
                         Quoted(check.word(3)));
            }
        } else if (what == "no") {
            if (fs::exists(path, error))
                fail(windowsPath + " exists");
        } else if (what == "folder") {
            if (!fs::is_directory(path, error))
                fail("no folder " + windowsPath);
        } else if (what == "empty") {
            if (!fs::is_directory(path, error))
                fail("no folder " + windowsPath);
            else if (!fs::is_empty(path, error))
                fail(windowsPath + " is not empty");
        } else if (what == "writable") {
            // winsim and Wine alike keep the read-only attribute as a missing write bit.
            if (!fs::is_directory(path, error)) {
                fail("no folder " + windowsPath);
                continue;
            }
            std::vector<std::string> readOnly;
            auto note = [&](const fs::path& entry) {
                if ((fs::status(entry, error).permissions() & fs::perms::owner_write) ==
                    fs::perms::none)
                    readOnly.push_back(entry == path ? "." : Relative(entry, path));
            };
            note(path);
            for (auto it = fs::recursive_directory_iterator(path, error);
                 !error && it != fs::recursive_directory_iterator(); it.increment(error))
                note(it->path());
            if (!readOnly.empty())
                fail(windowsPath + " holds read-only entries: " + Summary(readOnly));
        } else if (what == "installed") {
            if (!fs::is_directory(path, error)) {
                fail("no folder " + windowsPath);
                continue;
            }
            Tree expected;
            bool discsKnown = true;
            for (size_t i = 3; i < check.words.size(); ++i) {
                auto disc = disk.DiscFolder(check.words[i]);
                auto product = disc ? ProductFolder(*disc) : std::nullopt;
                if (!product) {
                    fail("no product folder on disc " + check.words[i]);
                    discsKnown = false;
                    break;
                }
                AddTree(*product, expected); // a later disc's file replaces an earlier one
            }
            if (!discsKnown)
                continue;
            Tree actual;
            AddTree(path, actual);
            // Files of others in the folder, each checked by an expect file of its own, and the
            // folders that hold them.
            for (const auto& other : scenario.checks) {
                if (other.word(1) != "file")
                    continue;
                auto file = disk.HostPath(other.word(2));
                if (!file)
                    continue;
                std::string relative = fs::path(*file).lexically_relative(path).string();
                if (relative.empty() || relative.rfind("..", 0) == 0)
                    continue;
                std::replace(relative.begin(), relative.end(), '/', '\\');
                if (expected.files.count(relative) != 0)
                    continue;
                actual.files.erase(relative);
                for (size_t cut = relative.rfind('\\'); cut != std::string::npos;
                     cut = relative.rfind('\\', cut - 1)) {
                    std::string folder = relative.substr(0, cut);
                    if (expected.folders.count(folder) == 0)
                        actual.folders.erase(folder);
                    if (cut == 0)
                        break;
                }
            }
            std::vector<std::string> differences;
            for (const auto& [name, content] : expected.files) {
                auto found = actual.files.find(name);
                if (found == actual.files.end())
                    differences.push_back("missing " + name);
                else if (found->second != content)
                    differences.push_back("wrong content in " + name);
            }
            for (const auto& [name, content] : actual.files) {
                if (expected.files.count(name) == 0)
                    differences.push_back("extra file " + name);
            }
            for (const auto& name : expected.folders) {
                if (actual.folders.count(name) == 0)
                    differences.push_back("missing folder " + name);
            }
            for (const auto& name : actual.folders) {
                if (expected.folders.count(name) == 0)
                    differences.push_back("extra folder " + name);
            }
            if (!differences.empty())
                fail(windowsPath + " is not the install of the discs: " + Summary(differences));
        } else if (what == "link") {
            if (!fs::is_regular_file(path, error)) {
                fail("no link " + windowsPath);
                continue;
            }
            bool missing;
            auto report = LinkReport(path.string(), missing);
            if (missing) {
                log.push_back("note " + check.where() + ": lnkinfo is missing, " + windowsPath +
                              " not read");
                continue;
            }
            if (!report) {
                fail("lnkinfo could not read " + windowsPath);
                continue;
            }
            const std::pair<const char*, std::string> fields[] = {
                {"Local path", check.word(3)},
                {"Description", check.word(4)},
                {"Working directory", check.word(5)},
            };
            for (const auto& [name, wanted] : fields) {
                auto value = LnkinfoField(*report, name);
                if (!value)
                    fail(windowsPath + " has no " + name);
                else if (*value != wanted)
                    fail(windowsPath + ": " + name + " is " + Quoted(*value) + ", not " +
                         Quoted(wanted));
            }
        }
    }
    return passed;
}

} // namespace scenario

namespace scenario {

bool CheckNothingElseChanged(const Scenario& scenario, Disk& disk,
                             const std::vector<SnapshotRoot>& roots, const MachineState& before,
                             const MachineState& after, std::vector<std::string>& log) {
    std::vector<std::string> allowed;
    // What `expect no file` and `expect no registry` name may go, and nothing more: no folder
    // or key made above them.
    std::vector<std::string> removable;
    for (const auto& check : scenario.checks) {
        const std::string& what = check.word(1);
        if (what == "registry") {
            allowed.push_back(RegistryEntryPath(check.word(2), check.word(3), &check.word(4)));
            continue;
        }
        if (what == "no" && check.word(2) == "registry") {
            removable.push_back(RegistryEntryPath(check.word(3), check.word(4)));
            continue;
        }
        // A file named without its content, or with it and "changed", is one the run makes or
        // puts back; one named with its content alone is checked whole.
        bool madeFile = what == "file" && check.words.size() != 4;
        bool gone = what == "no" && check.word(2) == "file";
        if (what != "installed" && what != "empty" && what != "folder" && what != "link" &&
            !madeFile && !gone)
            continue;
        auto host = disk.HostPath(check.word(gone ? 3 : 2));
        if (!host)
            continue;
        fs::path path = fs::path(*host).lexically_normal();
        for (const auto& root : roots) {
            fs::path base = root.host.lexically_normal();
            std::string relative = path.lexically_relative(base).generic_string();
            if (!relative.empty() && relative.rfind("..", 0) != 0)
                (gone ? removable : allowed)
                    .push_back(relative == "." ? root.name : root.name + "/" + relative);
        }
    }
    auto outside = ChangesOutside(before, after, allowed);
    std::erase_if(outside, [&](const std::string& change) {
        if (change.rfind("removed ", 0) != 0)
            return false;
        std::string path = change.substr(8);
        return std::any_of(removable.begin(), removable.end(), [&](const std::string& place) {
            return path == place ||
                   (path.size() > place.size() && path.compare(0, place.size(), place) == 0 &&
                    path[place.size()] == '/');
        });
    });
    for (size_t i = 0; i < outside.size() && i < 10; ++i)
        log.push_back("FAIL machine: " + outside[i] +
                      " (nothing but the places the end checks "
                      "name may change)");
    if (outside.size() > 10)
        log.push_back("FAIL machine: ... " + std::to_string(outside.size()) + " changes in all");
    return outside.empty();
}

} // namespace scenario

namespace scenario {

std::vector<RegistryWatch> WatchedRegistry(const Scenario& scenario, bool wholeSoftware) {
    if (wholeSoftware)
        return {{"HKLM", "Software"}, {"HKCU", "Software"}};
    std::vector<RegistryWatch> watched = {{"HKLM", "Software\\~kelvo-setup"},
                                          {"HKCU", "Software\\~kelvo-setup"}};
    for (const auto& value : scenario.registryValues)
        watched.push_back({value.hive, value.key});
    for (const auto& check : scenario.checks) {
        if (check.word(1) == "registry")
            watched.push_back({check.word(2), check.word(3)});
        else if (check.word(1) == "no" && check.word(2) == "registry")
            watched.push_back({check.word(3), check.word(4)});
    }
    return watched;
}

std::vector<RegistryWatch> UnwatchedRegistry() {
    return {{"HKCU", "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"}};
}

} // namespace scenario

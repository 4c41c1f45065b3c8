// Reads scenario files: the machine, the steps and the end checks.
#include <cctype>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>

#include "scenario.h"

namespace scenario {

const std::string& Line::word(size_t i) const {
    static const std::string* none = new std::string; // outlives a play at the process end
    return i < words.size() ? words[i] : *none;
}

std::string Line::where() const {
    return "line " + std::to_string(number);
}

bool SplitWords(const std::string& text, std::vector<std::string>& words) {
    words.clear();
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace((unsigned char)text[at]))
            ++at;
        if (at >= text.size() || text[at] == '#')
            break;
        std::string word;
        if (text[at] == '"') {
            // Up to the closing quote; two quotes in a row stand for one.
            for (++at;; ++at) {
                if (at >= text.size())
                    return false;
                if (text[at] == '"' && (at + 1 >= text.size() || text[at + 1] != '"'))
                    break;
                if (text[at] == '"')
                    ++at;
                word += text[at];
            }
            ++at;
        } else {
            while (at < text.size() && !std::isspace((unsigned char)text[at]))
                word += text[at++];
        }
        words.push_back(word);
    }
    return true;
}

namespace {

bool Number(const std::string& text, long long& value) {
    if (text.empty())
        return false;
    size_t at = text[0] == '-' ? 1 : 0;
    if (at == text.size())
        return false;
    for (size_t i = at; i < text.size(); ++i) {
        if (!std::isdigit((unsigned char)text[i]))
            return false;
    }
    // Too large for a long long is no number either (and must not throw).
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

bool ParseSize(const std::string& text, std::uint64_t& bytes) {
    if (text.empty())
        return false;
    std::uint64_t unit = 1;
    std::string digits = text;
    switch (std::toupper((unsigned char)text.back())) {
    case 'K':
        unit = 1ull << 10;
        break;
    case 'M':
        unit = 1ull << 20;
        break;
    case 'G':
        unit = 1ull << 30;
        break;
    }
    if (unit != 1)
        digits.pop_back();
    long long value;
    if (!Number(digits, value) || value < 0 || (std::uint64_t)value > UINT64_MAX / unit)
        return false;
    bytes = (std::uint64_t)value * unit;
    return true;
}

namespace {

// A time in seconds: digits with an optional fraction ("5", "0.2"), up to ten minutes.
bool Seconds(const std::string& text, double& seconds) {
    size_t point = text.find('.');
    std::string whole = text.substr(0, point);
    std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    long long value;
    if (whole.empty() || !Number(whole, value) || value < 0 || value > 600 ||
        (point != std::string::npos && (fraction.empty() || fraction.size() > 3)))
        return false;
    for (char c : fraction) {
        if (!std::isdigit((unsigned char)c))
            return false;
    }
    seconds = std::stod(text);
    return true;
}

bool IsDriveLetter(const std::string& word) {
    return word.size() == 1 && std::isalpha((unsigned char)word[0]);
}

bool IsId(const std::string& word) {
    long long value;
    return Number(word, value) && value >= -1 && value <= 0xFFFF;
}

bool IsHive(const std::string& word) {
    return word == "HKLM" || word == "HKCU";
}

// A REG_DWORD's data as a scenario writes it: decimal, or hexadecimal after 0x.
bool IsDword(const std::string& text) {
    long long value;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) {
        if (text.size() > 10 ||
            text.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos)
            return false;
        return true;
    }
    return Number(text, value) && value >= 0 && value <= 0xFFFFFFFFll;
}

bool IsIntruderAct(const std::string& kind, size_t arguments) {
    if (kind == "delete")
        return arguments == 1;
    return arguments == 2 &&
           (kind == "swap" || kind == "link" || kind == "file" || kind == "write" ||
            kind == "hardlink" || kind == "relink" || kind == "move");
}

bool IsCheck(const Line& line) {
    const std::string& what = line.word(1);
    if (line.word(0) != "expect")
        return false;
    if (what == "no")
        return line.word(2) == "file" || line.word(2) == "registry";
    return what == "file" || what == "folder" || what == "empty" || what == "installed" ||
           what == "writable" || what == "link" || what == "started" || what == "registry" ||
           what == "owner" || what == "acl" || what == "redirection-trust";
}

bool ValidCheck(const Line& line, std::string& why) {
    size_t count = line.words.size();
    const std::string& what = line.word(1);
    if (what == "file" && (count == 3 || count == 4 || (count == 5 && line.word(4) == "changed")))
        return true;
    if (what == "no" && line.word(2) == "file" && count == 4)
        return true;
    if (what == "no" && line.word(2) == "registry") {
        if (count == 5 && IsHive(line.word(3)))
            return true;
        why = "usage: expect no registry HKLM|HKCU <key>";
        return false;
    }
    if (what == "registry") {
        if (count == 6 && IsHive(line.word(2)))
            return true;
        why = "usage: expect registry HKLM|HKCU <key> <value> <data>";
        return false;
    }
    if ((what == "folder" || what == "empty" || what == "writable") && count == 3)
        return true;
    if (what == "installed" && count >= 4)
        return true;
    if (what == "link" && count == 6)
        return true;
    if (what == "started" && ((count == 3 && line.word(2) == "none") || count == 4))
        return true;
    if ((what == "owner" || what == "acl") && count == 4)
        return true;
    if (what == "redirection-trust" && count == 3 &&
        (line.word(2) == "off" || line.word(2) == "enforce" || line.word(2) == "audit" ||
         line.word(2) == "enforce+audit"))
        return true;
    why = "expect " + what + ": wrong number of words";
    return false;
}

} // namespace

bool IsValidStep(const Line& line, std::string& why) {
    const std::string& command = line.word(0);
    size_t count = line.words.size();
    auto wrong = [&](const std::string& usage) {
        why = "usage: " + usage;
        return false;
    };
    if (command == "expect") {
        const std::string& what = line.word(1);
        if (what == "dialog") {
            double seconds;
            bool within = count == 5 && line.word(3) == "within" &&
                          Seconds(line.word(4), seconds) && seconds > 0;
            return count == 3 || within ? true : wrong("expect dialog <title> [within <seconds>]");
        }
        if (what == "hidden")
            return count == 3 ? true : wrong("expect hidden <title>");
        if (what == "text")
            return count == 4 && IsId(line.word(2)) ? true : wrong("expect text <id> <text>");
        if (what == "checked" || what == "unchecked")
            return count == 3 && IsId(line.word(2)) ? true : wrong("expect " + what + " <id>");
        if (what == "box") {
            bool buttons = line.word(4) == "ok" || line.word(4) == "yesno" ||
                           line.word(4) == "okcancel" || line.word(4) == "canceltrycontinue";
            // The words after the owner: [topmost] [within <seconds>].
            size_t rest = count >= 7 ? count - 7 : 0;
            size_t topmost = rest % 2 == 1 && line.word(7) == "topmost" ? 1 : 0;
            double seconds;
            bool within =
                rest == topmost || (rest == topmost + 2 && line.word(7 + topmost) == "within" &&
                                    Seconds(line.word(8 + topmost), seconds) && seconds > 0);
            return count >= 7 && within && buttons && line.word(5) == "owner"
                       ? true
                       : wrong("expect box <caption> <text> "
                               "ok|okcancel|yesno|canceltrycontinue owner <owner> [topmost] "
                               "[within <seconds>]");
        }
        if (what == "no")
            return count == 3 && line.word(2) == "box" ? true : wrong("expect no box");
        if (what == "taskbar")
            return count == 2 ? true : wrong("expect taskbar");
        if (what == "answering")
            return count == 2 ? true : wrong("expect answering");
        double seconds, most;
        if (what == "idle")
            return count == 4 && Seconds(line.word(2), seconds) && seconds > 0 &&
                           Seconds(line.word(3), most)
                       ? true
                       : wrong("expect idle <seconds> <processor seconds>");
        long long status;
        if (what == "exit") {
            bool within = count == 5 && line.word(3) == "within" &&
                          Seconds(line.word(4), seconds) && seconds > 0;
            return (count == 3 || within) && Number(line.word(2), status) && status >= INT32_MIN &&
                           status <= INT32_MAX
                       ? true
                       : wrong("expect exit <status> [within <seconds>]");
        }
        why = "unknown expectation \"" + what + "\"";
        return false;
    }
    if (command == "click") {
        long long n;
        std::uint64_t bytes;
        double seconds;
        bool race = (count == 6 || (count == 8 && line.word(6) == "within" &&
                                    Seconds(line.word(7), seconds) && seconds > 0)) &&
                    line.word(2) == "when" &&
                    ((line.word(3) == "files" && Number(line.word(5), n) && n >= 0) ||
                     (line.word(3) == "bytes" && ParseSize(line.word(5), bytes)));
        return (count == 2 || race) && IsId(line.word(1))
                   ? true
                   : wrong("click <id> [when files <folder> <n> | when bytes <file> <size>] "
                           "[within <seconds>]");
    }
    if (command == "refuse")
        return count == 3 && line.word(1) == "click" && IsId(line.word(2))
                   ? true
                   : wrong("refuse click <id>");
    if (command == "type")
        return count == 3 && IsId(line.word(1)) ? true : wrong("type <id> <text>");
    if (command == "escape" || command == "close")
        return count == 1 ? true : wrong(command);
    if (command == "browse")
        return count == 3 && IsId(line.word(1)) ? true : wrong("browse <id> <folder>|cancel");
    if (command == "answer") {
        static const std::set<std::string> answers = {"ok",       "yes",      "no",     "cancel",
                                                      "tryagain", "continue", "escape", "close"};
        return count == 2 && answers.count(line.word(1)) != 0
                   ? true
                   : wrong("answer ok|yes|no|cancel|tryagain|continue|escape|close");
    }
    if (command == "insert")
        return count == 3 && IsDriveLetter(line.word(1)) ? true : wrong("insert <letter> <disc>");
    if (command == "eject")
        return count == 2 && IsDriveLetter(line.word(1)) ? true : wrong("eject <letter>");
    if (command == "wait") {
        long long n;
        return count == 4 && line.word(1) == "files" && Number(line.word(3), n) && n >= 0
                   ? true
                   : wrong("wait files <folder> <n>");
    }
    if (command == "watch") {
        double seconds;
        long long n;
        return count == 6 && line.word(1) == "text" && IsId(line.word(2)) &&
                       Seconds(line.word(3), seconds) && line.word(4) == "changes" &&
                       Number(line.word(5), n) && n >= 1
                   ? true
                   : wrong("watch text <id> <seconds> changes <n>");
    }
    if (command == "start")
        return count == 2 && (line.word(1) == "second" || line.word(1) == "again")
                   ? true
                   : wrong("start second | start again");
    if (command == "kill")
        return count == 1 ? true : wrong("kill");
    if (command == "hold")
        return count == 2 ? true : wrong("hold <file> | hold <folder>");
    if (command == "intruder") {
        // intruder at <function> <k> [thread <t>] <act> <arguments...> [expect done|refused]
        long long k, thread;
        size_t at = 4;
        if (line.word(4) == "thread" && Number(line.word(5), thread) && thread >= 0)
            at = 6;
        size_t end = count;
        if (count >= 2 && line.word(count - 2) == "expect" &&
            (line.word(count - 1) == "done" || line.word(count - 1) == "refused"))
            end = count - 2;
        bool act = at < end && IsIntruderAct(line.word(at), end - at - 1);
        return line.word(1) == "at" && !line.word(2).empty() && Number(line.word(3), k) && k >= 1 &&
                       act
                   ? true
                   : wrong("intruder at <function> <k> [thread <t>] swap <folder> <folder> | "
                           "link <path> <folder> | file <path> <content> | write <path> "
                           "<content> | hardlink <path> <file> | relink <path> <file> | "
                           "delete <path> | move <path> <path> [expect done|refused]");
    }
    if (command == "readonly")
        return count == 2 ? true : wrong("readonly <windows path, * in its last name>");
    why = "unknown command \"" + command + "\"";
    return false;
}

std::optional<Scenario> ParseText(const std::string& text, const std::string& file,
                                  std::string& error) {
    Scenario scenario;
    scenario.file = file;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    bool needsHost = false;
    std::set<std::string> discsNamed; // discs that drives and steps refer to, with a line
    std::vector<std::pair<std::string, int>> discUses;
    auto fail = [&](int lineNumber, const std::string& why) {
        error = file + ":" + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    while (std::getline(in, raw)) {
        ++number;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        Line line;
        line.number = number;
        if (!SplitWords(raw, line.words))
            return fail(number, "unclosed quote");
        if (line.words.empty())
            continue;
        const std::string& command = line.word(0);
        size_t count = line.words.size();
        std::string why;

        if (command == "title") {
            scenario.title.clear();
            for (size_t i = 1; i < count; ++i)
                scenario.title += (i > 1 ? " " : "") + line.words[i];
        } else if (command == "only") {
            if (count != 2 || (line.word(1) != "host" && line.word(1) != "wine"))
                return fail(number, "usage: only host|wine");
            scenario.onHost = line.word(1) == "host";
            scenario.onWine = line.word(1) == "wine";
        } else if (command == "drive") {
            if (count < 3 || !IsDriveLetter(line.word(1)) ||
                (line.word(2) != "fixed" && line.word(2) != "cdrom" && line.word(2) != "removable"))
                return fail(number, "usage: drive <letter> fixed|cdrom|removable ...");
            DriveSetup drive;
            drive.letter = (char)std::tolower((unsigned char)line.word(1)[0]);
            drive.cdrom = line.word(2) == "cdrom";
            drive.removable = line.word(2) == "removable";
            for (size_t i = 3; i < count; ++i) {
                if (drive.removable)
                    return fail(number, "a removable drive takes no options");
                const std::string& option = line.words[i];
                std::uint64_t bytes;
                if (!drive.cdrom && (option == "free" || option == "capacity")) {
                    if (i + 1 >= count || !ParseSize(line.words[i + 1], bytes))
                        return fail(number, option + " needs a size");
                    (option == "free" ? drive.freeBytes : drive.capacity) = bytes;
                    needsHost |= option == "capacity";
                    ++i;
                } else if (!drive.cdrom && option == "nospace") {
                    drive.failSpaceQuery = needsHost = true;
                } else if (!drive.cdrom && option == "filesystem") {
                    if (i + 1 >= count ||
                        (line.words[i + 1] != "ntfs" && line.words[i + 1] != "fat32" &&
                         line.words[i + 1] != "exfat"))
                        return fail(number, "filesystem needs ntfs, fat32 or exfat");
                    drive.fileSystem = line.words[++i];
                    needsHost |= drive.fileSystem != "ntfs";
                } else if (drive.cdrom && option == "nolabel") {
                    drive.failLabel = needsHost = true;
                } else if (drive.cdrom && i == 3) {
                    drive.disc = option;
                    discUses.emplace_back(option, number);
                } else {
                    return fail(number, "unknown drive option \"" + option + "\"");
                }
            }
            for (const auto& other : scenario.drives) {
                if (other.letter == drive.letter)
                    return fail(number, "drive " + line.word(1) + " twice");
            }
            scenario.drives.push_back(drive);
        } else if (command == "disc") {
            if (count < 4 || line.word(2) != "label")
                return fail(number, "usage: disc <name> label <LABEL> [sample k] [files n] "
                                    "[big <size>] [noproduct]");
            DiscSetup disc;
            disc.name = line.word(1);
            disc.label = line.word(3);
            for (size_t i = 4; i < count; ++i) {
                const std::string& option = line.words[i];
                long long value;
                if (option == "sample" && i + 1 < count && Number(line.words[i + 1], value) &&
                    value >= 1 && value <= 3) {
                    disc.sample = (int)value;
                    ++i;
                } else if (option == "files" && i + 1 < count && Number(line.words[i + 1], value) &&
                           value >= 0) {
                    disc.extraFiles = (int)value;
                    ++i;
                } else if (option == "big" && i + 1 < count &&
                           ParseSize(line.words[i + 1], disc.bigBytes)) {
                    ++i;
                } else if (option == "noproduct") {
                    disc.noProductFolder = true;
                } else {
                    return fail(number, "unknown disc option \"" + option + "\"");
                }
            }
            if (discsNamed.count(disc.name) != 0)
                return fail(number, "disc " + disc.name + " twice");
            discsNamed.insert(disc.name);
            scenario.discs.push_back(disc);
        } else if (command == "disc-file") {
            if (count != 4)
                return fail(number, "usage: disc-file <disc> <relative path> <content>");
            bool found = false;
            for (auto& disc : scenario.discs) {
                if (disc.name == line.word(1)) {
                    disc.files.push_back({line.word(2), line.word(3)});
                    found = true;
                }
            }
            if (!found)
                return fail(number, "no disc " + line.word(1) + " above");
        } else if (command == "file") {
            if (count != 3)
                return fail(number, "usage: file <windows path> <content>");
            scenario.machineFiles.emplace_back(line.word(1), line.word(2));
        } else if (command == "previous-install") {
            if (count < 3)
                return fail(number, "usage: previous-install <windows folder> <disc>...");
            Scenario::PreviousInstall install{line.word(1), {}};
            for (size_t i = 2; i < count; ++i) {
                install.discs.push_back(line.words[i]);
                discUses.emplace_back(line.words[i], number);
            }
            scenario.previousInstalls.push_back(install);
        } else if (command == "shellfolder") {
            if (count != 3 || (line.word(1) != "Programs" && line.word(1) != "Desktop"))
                return fail(number, "usage: shellfolder Programs|Desktop <windows path>");
            scenario.shellFolders.emplace_back(line.word(1), line.word(2));
        } else if (command == "registry") {
            if (count == 3 && (line.word(1) == "hklm" || line.word(1) == "HKLM") &&
                line.word(2) == "readonly") {
                scenario.localMachineReadOnly = needsHost = true;
                continue;
            }
            if (count != 6 || !IsHive(line.word(1)) ||
                (line.word(4) != "sz" && line.word(4) != "dword") ||
                (line.word(4) == "dword" && !IsDword(line.word(5))) || line.word(2).empty() ||
                line.word(2)[0] == '\\')
                return fail(number, "usage: registry HKLM|HKCU <key> <value> sz <text> | "
                                    "dword <number> | registry hklm readonly");
            scenario.registryValues.push_back(
                {line.word(1), line.word(2), line.word(3), line.word(4), line.word(5)});
        } else if (command == "journal") {
            if (count < 3)
                return fail(number, "usage: journal <windows path> <record>...");
            scenario.journals.push_back(
                {line.word(1), std::vector<std::string>(line.words.begin() + 2, line.words.end())});
        } else if (command == "link") {
            if (count != 3)
                return fail(number, "usage: link <windows path> <windows folder>");
            scenario.links.emplace_back(line.word(1), line.word(2));
        } else if (command == "user") {
            if (count != 2 || (line.word(1) != "standard" && line.word(1) != "administrator"))
                return fail(number, "usage: user standard | user administrator");
            scenario.standardUser = line.word(1) == "standard";
            needsHost = true;
        } else if (command == "acl") {
            if (count != 3)
                return fail(number, "usage: acl <windows path> <sddl>");
            scenario.acls.emplace_back(line.word(1), line.word(2));
            needsHost = true;
        } else if (command == "hardlink") {
            if (count != 3)
                return fail(number, "usage: hardlink <windows path> <existing windows path>");
            scenario.hardLinks.emplace_back(line.word(1), line.word(2));
            needsHost = true;
        } else if (command == "windows") {
            if (count != 2 || line.word(1) != "95")
                return fail(number, "usage: windows 95");
            scenario.windows95 = needsHost = true;
        } else if (command == "fault") {
            const std::string& kind = line.word(1);
            long long n;
            static const std::set<std::string> linkFaults = {
                "coinitialize",   "cocreate", "queryinterface", "setpath",
                "setdescription", "seticon",  "setwork",        "save"};
            if (kind == "keyopen" && count == 3 && Number(line.word(2), n) && n >= 1) {
                scenario.faults.push_back("keyopen " + line.word(2));
            } else if (kind == "unreadable" && count == 4) {
                scenario.faults.push_back("unreadable " + line.word(2) + " " + line.word(3));
                discUses.emplace_back(line.word(2), number);
            } else if (kind == "link" && count == 3 && linkFaults.count(line.word(2)) != 0) {
                scenario.faults.push_back("link " + line.word(2));
            } else if (kind == "call" && count == 4 && Number(line.word(3), n) && n >= 1) {
                scenario.faults.push_back("call " + line.word(2) + " " + line.word(3));
                needsHost = true;
            } else if (kind == "slow" && count == 4 && Number(line.word(3), n) && n >= 1 &&
                       n <= 600000) {
                scenario.faults.push_back("slow " + line.word(2) + " " + line.word(3));
                needsHost = true;
            } else {
                return fail(number, "usage: fault keyopen <n> | unreadable <disc> <path> | "
                                    "link <what> | call <function> <n> | "
                                    "slow <function> <milliseconds>");
            }
        } else if (IsCheck(line)) {
            if (!ValidCheck(line, why))
                return fail(number, why);
            needsHost |= line.word(1) == "owner" || line.word(1) == "acl" ||
                         line.word(1) == "redirection-trust";
            scenario.checks.push_back(line);
        } else {
            if (!IsValidStep(line, why))
                return fail(number, why);
            if (command == "expect" && line.word(1) == "exit") {
                if (scenario.exitStatus)
                    return fail(number, "a second expect exit");
                scenario.exitStatus = std::stoi(line.word(2));
            } else if (scenario.exitStatus) {
                return fail(number, "no step can follow expect exit");
            }
            if (command == "insert")
                discUses.emplace_back(line.word(2), number);
            needsHost |= command == "intruder";
            // The scripted user on the host lives inside the installer's process.
            if ((command == "kill" || (command == "start" && line.word(1) == "again")) &&
                scenario.onHost)
                return fail(number, "kill and start again need `only wine`");
            scenario.steps.push_back(line);
        }
    }
    for (const auto& [disc, lineNumber] : discUses) {
        if (discsNamed.count(disc) == 0)
            return fail(lineNumber, "no disc named " + disc);
    }
    for (const auto& check : scenario.checks) {
        if (check.word(1) != "installed")
            continue;
        for (size_t i = 3; i < check.words.size(); ++i) {
            if (discsNamed.count(check.words[i]) == 0)
                return fail(check.number, "no disc named " + check.words[i]);
        }
    }
    if (needsHost && scenario.onWine)
        return fail(number, "a fault or system that only the host can make needs `only host`");
    return scenario;
}

std::optional<Scenario> Parse(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseText(text.str(), path, error);
}

} // namespace scenario

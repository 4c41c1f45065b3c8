#include "intruder.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "machine.h"
#include "name_case.h"
#include "scenario.h"

namespace enumerate::intruder {

namespace {

const std::pair<Kind, const char*> KindNames[] = {
    {Kind::SwapParent, "swap-parent"},
    {Kind::SwapGrandparent, "swap-grandparent"},
    {Kind::Junction, "junction"},
    {Kind::JunctionWindows, "junction-windows"},
    {Kind::Hardlink, "hardlink"},
    {Kind::HardlinkAdmin, "hardlink-admin"},
    {Kind::Drop, "drop"},
    {Kind::Write, "write"},
    {Kind::Journal, "journal"},
    {Kind::JournalOutside, "journal-outside"},
};

// What a file the other user drops is called and holds, and what it writes over a file with.
const char DroppedName[] = "dropped-by-another-user.txt";
const char DroppedContent[] = "dropped by another user";
const char WrittenContent[] = "written over by another user";

// The calls that act on a folder: what fits them is a file dropped into it, or the folder (or a
// folder above it) swapped for a link.
bool IsFolderCall(const std::string& function) {
    static const std::set<std::string> calls = {"CreateDirectoryA", "RemoveDirectoryA",
                                                "FindFirstFileA", "FindNextFileA", "FindClose"};
    return calls.count(function) != 0;
}

char DriveOf(const std::string& path) {
    if (path.size() < 2 || path[1] != ':')
        return 0;
    char letter = path[0];
    return letter >= 'A' && letter <= 'Z' ? (char)(letter - 'A' + 'a') : letter;
}

bool Aims(const std::string& path, const Places& places) {
    char drive = DriveOf(path);
    return drive != 0 && places.drives.find(drive) != std::string::npos && !IsRoot(path);
}

std::string LastName(const std::string& path) {
    std::string folder = FolderOf(path);
    size_t cut = folder.size() + (folder.empty() || folder.back() == '\\' ? 0 : 1);
    return cut <= path.size() ? path.substr(cut) : path;
}

// The path an act aims at: the call's path-th one where it is an aim (a listing's folder for a
// pattern), else the install folder.
std::string Aimed(const Act& act, const std::vector<std::string>& paths, const Places& places) {
    if (act.path < 1 || act.path > (int)paths.size() || !Aims(paths[act.path - 1], places))
        return places.installFolder;
    const std::string& path = paths[act.path - 1];
    std::string name = LastName(path);
    return name.find_first_of("*?") != std::string::npos ? FolderOf(path) : path;
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() || folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

// Puts a link to folder at path: what is there renamed aside first.
std::optional<winsim::OtherUserAct>
LinkInstead(const std::string& path, const std::string& folder,
            const std::function<There(const std::string&)>& there) {
    if (path.empty() || IsRoot(path) || folder.empty())
        return std::nullopt;
    if (there(path) != There::Nothing)
        return winsim::OtherUserAct{"swap", {path, folder}};
    if (there(FolderOf(path)) != There::Folder)
        return std::nullopt;
    return winsim::OtherUserAct{"link", {path, folder}};
}

// Whether two paths are the same, ASCII letters in either case.
bool SameLetters(const std::string& a, const std::string& b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::optional<winsim::OtherUserAct>
HardLinkInstead(const std::string& path, const std::string& file,
                const std::function<There(const std::string&)>& there) {
    if (path.empty() || IsRoot(path) || file.empty() || SameLetters(path, file) ||
        there(FolderOf(path)) != There::Folder)
        return std::nullopt;
    return winsim::OtherUserAct{"relink", {path, file}};
}

std::optional<winsim::OtherUserAct> Rewrite(const std::optional<Journal>& journal,
                                            const std::vector<std::string>& records) {
    if (!journal || records.empty())
        return std::nullopt;
    return winsim::OtherUserAct{"write",
                                {journal->path, RewrittenJournal(journal->content, records)}};
}

bool Same(const scenario::MachineEntry* a, const scenario::MachineEntry* b, bool timeless) {
    if (a == nullptr || b == nullptr)
        return a == b;
    if (!timeless)
        return *a == *b;
    scenario::MachineEntry left = *a, right = *b;
    left.modified = right.modified = 0;
    return left == right;
}

const scenario::MachineEntry* Find(const scenario::MachineState& state, const std::string& key) {
    auto found = state.find(key);
    return found == state.end() ? nullptr : &found->second;
}

std::string Describe(const scenario::MachineEntry* was, const scenario::MachineEntry* is) {
    if (was == nullptr)
        return "added";
    if (is == nullptr)
        return "removed";
    if (was->folder != is->folder)
        return "changed kind";
    std::vector<std::string> parts;
    if (was->digest != is->digest || was->size != is->size)
        parts.push_back("content");
    if (was->modified != is->modified)
        parts.push_back("time");
    if (was->mode != is->mode)
        parts.push_back("read-only attribute");
    if (was->attributes != is->attributes)
        parts.push_back("attributes");
    if (was->security != is->security)
        parts.push_back("owner or access list");
    std::string text = "changed";
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? " " : ", ") + parts[i];
    return text;
}

} // namespace

std::string Save(const Places& places) {
    std::string text = "install " + places.installFolder + "\naim " + places.aim + "\nsystem " +
                       places.system + "\nvictim " + places.victim + "\nplayer " + places.player +
                       "\ndrives " + places.drives + "\n";
    for (const auto& link : places.links)
        text += "link " + link + "\n";
    return text;
}

bool Load(const std::string& text, Places& places) {
    std::istringstream lines(text);
    places = Places{};
    places.drives.clear();
    for (std::string line; std::getline(lines, line);) {
        size_t cut = line.find(' ');
        std::string field = line.substr(0, cut);
        std::string value = cut == std::string::npos ? "" : line.substr(cut + 1);
        if (field == "install")
            places.installFolder = value;
        else if (field == "aim")
            places.aim = value;
        else if (field == "system")
            places.system = value;
        else if (field == "victim")
            places.victim = value;
        else if (field == "player")
            places.player = value;
        else if (field == "drives")
            places.drives = value;
        else if (field == "link")
            places.links.push_back(value);
        else if (!line.empty())
            return false;
    }
    return true;
}

std::string Name(const Act& act) {
    std::string name;
    for (const auto& [kind, text] : KindNames) {
        if (kind == act.kind)
            name = text;
    }
    return act.path == 1 ? name : name + ":" + std::to_string(act.path);
}

std::optional<Act> ParseAct(const std::string& name) {
    size_t colon = name.find(':');
    std::string kindName = name.substr(0, colon);
    Act act;
    if (colon != std::string::npos) {
        std::string number = name.substr(colon + 1);
        if (number.empty() || number.size() > 2 ||
            !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        act.path = std::stoi(number);
        if (act.path < 1)
            return std::nullopt;
    }
    for (const auto& [kind, text] : KindNames) {
        if (kindName == text) {
            act.kind = kind;
            return act;
        }
    }
    return std::nullopt;
}

std::vector<Act> ActsFor(const std::string& function, const std::vector<std::string>& paths,
                         const Places& places) {
    static const Kind folderActs[] = {Kind::Drop, Kind::SwapParent, Kind::Junction,
                                      Kind::SwapGrandparent, Kind::JunctionWindows};
    static const Kind fileActs[] = {Kind::Write,        Kind::SwapParent, Kind::Hardlink,
                                    Kind::Junction,     Kind::Drop,       Kind::SwapGrandparent,
                                    Kind::HardlinkAdmin};
    static const Kind installActs[] = {Kind::SwapParent, Kind::Junction, Kind::Drop,
                                       Kind::SwapGrandparent};
    std::vector<int> aimed;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (Aims(paths[i], places))
            aimed.push_back((int)i + 1);
    }
    std::vector<Act> acts;
    if (aimed.empty()) {
        for (Kind kind : installActs)
            acts.push_back({kind, 1});
    } else if (IsFolderCall(function)) {
        for (Kind kind : folderActs)
            for (int path : aimed)
                acts.push_back({kind, path});
    } else {
        for (Kind kind : fileActs)
            for (int path : aimed)
                acts.push_back({kind, path});
    }
    acts.push_back({Kind::Journal, 1});
    acts.push_back({Kind::JournalOutside, 1});
    return acts;
}

std::optional<winsim::OtherUserAct> PlanAct(const Act& act, const std::vector<std::string>& paths,
                                            const Places& places,
                                            const std::function<There(const std::string&)>& there,
                                            const std::optional<Journal>& journal) {
    std::string path = Aimed(act, paths, places);
    std::string folder = FolderOf(path);
    switch (act.kind) {
    case Kind::SwapParent:
        return IsRoot(folder) ? std::nullopt : LinkInstead(folder, places.aim, there);
    case Kind::SwapGrandparent:
        return IsRoot(folder) || IsRoot(FolderOf(folder))
                   ? std::nullopt
                   : LinkInstead(FolderOf(folder), places.aim, there);
    case Kind::Junction:
        return LinkInstead(path, places.aim, there);
    case Kind::JunctionWindows:
        return LinkInstead(path, places.system, there);
    case Kind::Hardlink:
        return HardLinkInstead(path, places.player, there);
    case Kind::HardlinkAdmin:
        return HardLinkInstead(path, places.victim, there);
    case Kind::Drop: {
        std::string into = there(path) == There::Folder ? path : folder;
        if (into.empty() || IsRoot(into) || there(into) != There::Folder)
            return std::nullopt;
        return winsim::OtherUserAct{"file", {Join(into, DroppedName), DroppedContent}};
    }
    case Kind::Write:
        if (there(path) != There::File)
            return std::nullopt;
        return winsim::OtherUserAct{"write", {path, WrittenContent}};
    case Kind::Journal: {
        std::vector<std::string> records;
        for (const auto& link : places.links)
            records.push_back("F 0 " + winsim::Cp950ToUtf8(link));
        return Rewrite(journal, records);
    }
    case Kind::JournalOutside:
        return Rewrite(journal, {"F 0 " + winsim::Cp950ToUtf8(places.victim),
                                 "D 0 " + winsim::Cp950ToUtf8(places.aim)});
    }
    return std::nullopt;
}

std::string RewrittenJournal(const std::string& content, const std::vector<std::string>& records) {
    size_t end = content.rfind("\r\n");
    std::string kept = end == std::string::npos ? "" : content.substr(0, end + 2);
    return kept + scenario::JournalBytes(records);
}

std::string FolderOf(const std::string& path) {
    int last = -1;
    for (size_t at = 0; at < path.size();) {
        unsigned char c = (unsigned char)path[at];
        if (c == '\\' || c == '/')
            last = (int)at;
        at += c >= 0x81 && c <= 0xFE && at + 1 < path.size() ? 2 : 1;
    }
    if (last < 0)
        return "";
    if (last == 2 && path[1] == ':')
        return path.substr(0, 3);
    return path.substr(0, (size_t)last);
}

bool IsRoot(const std::string& path) {
    return path.size() >= 2 && path.size() <= 3 && path[1] == ':' &&
           (path.size() == 2 || path[2] == '\\' || path[2] == '/');
}

Reach ReachOf(const winsim::OtherUserAct& act) {
    Reach reach;
    const auto& a = act.arguments;
    if (a.empty())
        return reach;
    if (act.kind == "swap" || act.kind == "relink") {
        reach.trees = {a[0], a[0] + ".aside"};
        reach.entries = {FolderOf(a[0])};
        reach.moved = {a[0] + ".aside"};
        if (act.kind == "relink" && a.size() > 1)
            reach.entries.push_back(a[1]);
    } else if (act.kind == "link" || act.kind == "delete") {
        reach.trees = {a[0]};
        reach.entries = {FolderOf(a[0])};
    } else if (act.kind == "file" || act.kind == "write") {
        reach.trees = {a[0]};
    } else if (act.kind == "hardlink") {
        reach.trees = {a[0]};
        if (a.size() > 1)
            reach.entries = {a[1]};
    } else if (act.kind == "move" && a.size() > 1) {
        reach.trees = {a[0], a[1]};
        reach.entries = {FolderOf(a[0]), FolderOf(a[1])};
        reach.moved = {a[1]};
    }
    return reach;
}

bool Under(const std::string& key, const std::string& top) {
    return key == top || (key.size() > top.size() && key.compare(0, top.size(), top) == 0 &&
                          key[top.size()] == '/');
}

std::set<std::string> Theirs(const Trace& trace) {
    std::set<std::string> theirs;
    if (!trace.done)
        return theirs;
    auto reached = [&](const std::string& key) {
        return std::count(trace.entries.begin(), trace.entries.end(), key) != 0 ||
               std::any_of(trace.trees.begin(), trace.trees.end(),
                           [&](const std::string& top) { return Under(key, top); });
    };
    for (const auto* state : {&trace.before, &trace.after}) {
        for (const auto& [key, entry] : *state) {
            if (reached(key) && !Same(Find(trace.before, key), Find(trace.after, key), false))
                theirs.insert(key);
        }
    }
    return theirs;
}

std::vector<Difference> Differences(const scenario::MachineState& target,
                                    const scenario::MachineState& final, const Trace& trace,
                                    const std::set<std::string>& timeless,
                                    const std::set<std::string>& described) {
    std::set<std::string> theirs = Theirs(trace);
    std::vector<std::string> moved = trace.done ? trace.moved : std::vector<std::string>{};
    auto isMoved = [&](const std::string& key) {
        return std::any_of(moved.begin(), moved.end(),
                           [&](const std::string& top) { return Under(key, top); });
    };
    // The folders that hold something of the other user's at the end.
    std::set<std::string> holders;
    for (const auto& [key, entry] : final) {
        bool kept = theirs.count(key) != 0 && Same(&entry, Find(trace.after, key), false);
        if (!kept && !isMoved(key))
            continue;
        for (size_t cut = key.rfind('/'); cut != std::string::npos && cut > 0;
             cut = key.rfind('/', cut - 1))
            holders.insert(key.substr(0, cut));
    }
    // A name is one name in any letter case: a folder made again holds the disc's spelling of a
    // name target has as the earlier install spelled it. Each entry is weighed once, by target's
    // spelling where it has one.
    auto spellings = [](const scenario::MachineState& state) {
        std::map<std::u32string, std::string> keys;
        for (const auto& [key, entry] : state)
            keys.emplace(winsim::UpcasedName(key), key);
        return keys;
    };
    auto targetSpellings = spellings(target), finalSpellings = spellings(final);
    std::set<std::string> keys;
    for (const auto& [key, entry] : target)
        keys.insert(key);
    for (const auto& [key, entry] : final) {
        if (targetSpellings.count(winsim::UpcasedName(key)) == 0)
            keys.insert(key);
    }
    auto inAnyCase = [](const scenario::MachineState& state,
                        const std::map<std::u32string, std::string>& spelled,
                        const std::string& key) -> const scenario::MachineEntry* {
        if (const auto* entry = Find(state, key))
            return entry;
        auto other = spelled.find(winsim::UpcasedName(key));
        return other == spelled.end() ? nullptr : Find(state, other->second);
    };
    std::vector<Difference> differences;
    for (const auto& key : keys) {
        if (isMoved(key))
            continue;
        const auto* is = inAnyCase(final, finalSpellings, key);
        const auto* was = inAnyCase(target, targetSpellings, key);
        if (Same(is, was, timeless.count(key) != 0))
            continue;
        if (described.count(key) != 0 && is != nullptr && was != nullptr) {
            scenario::MachineEntry left = *is, right = *was;
            left.modified = right.modified = 0;
            left.digest = right.digest;
            if (left == right)
                continue;
        }
        if (theirs.count(key) != 0 && Same(is, Find(trace.after, key), false))
            continue;
        if (is != nullptr && is->folder && was == nullptr && holders.count(key) != 0)
            continue;
        differences.push_back({key, Describe(was, is)});
    }
    return differences;
}

} // namespace enumerate::intruder

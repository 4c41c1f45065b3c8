// enumerate: replays an install at every moment a cancel can come and with every call that can
// fail failing, one at a time, and judges each run.
//
//     enumerate --setup PATH [--types normal,minimal] [--what cancel,fault] [--jobs N]
//               [--every N] [--timeout SECONDS] [--keep] [--only "cancel K" | --only "CALL K"]
//
// PATH is enumerate-setup (the installer with a user who installs whatever happens). For each
// install type, a first run on three small discs counts the calls: the copy worker's calls that
// a cancel may precede, and the uses of every call that can fail. Then, for every k, one run has
// the user press cancel just before the worker's k-th call, and, for every call and every use k,
// one run has that use fail (the calls only a cancel makes, such as the removal, with a cancel
// during the first disc). --every N replays every N-th moment only (for slow sanitizer builds).
//
// The install folder holds the player's files before the install begins: a save in a folder the
// discs also have, and a read-only note at the top. Every run must end within the timeout, leave
// nothing changed outside the install folder, the program group and the two desktop links,
// leave the player's files as they were (content, time, attributes), and never report success
// unless the install folder held exactly the merged discs and the player's files at that moment.
// The install folder ends holding the player's files alone or complete, never half full. A
// cancel ends as things stood when it was pressed (JudgeCancel), and no block of a disc is read
// after it, even in the middle of a file; some faults have the message that must report them.
//
// Prints the counts and the time per install type and every failing run; exit status 0 when
// every run passed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/product_constants.h"
#include "machine.h"
#include "run_program.h"
#include "snapshot.h"
#include "tree.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string setup;
    std::vector<std::string> types{"normal", "minimal"};
    bool cancels = true;
    bool faults = true;
    int jobs = 2;
    int every = 1;
    double timeoutSeconds = 60;
    bool keep = false;
    std::optional<std::string> only; // one plan: "cancel K" or "CALL K"
};

std::string Utf8(const char* cp950) {
    return winsim::Cp950ToUtf8(cp950);
}

void Write(const fs::path& path, const std::string& content, bool readOnly = false) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    if (readOnly)
        fs::permissions(path,
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

std::vector<std::string> ReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The file of several blocks: that many of the product's copy blocks, and a byte.
constexpr int BigFileBlocks = 8;
constexpr size_t CopyBlockBytes = 65536;

// Three small discs that hold what matters to the copy: nested folders, a file that a later disc
// replaces, read-only files (as every file on a CD is), a folder whose Big5 name ends in the
// byte 0x5C, the folder where the player's saves go, enough names that the install's record of
// what it wrote has to grow, and a file of several blocks of the copy, inside which a cancel can
// come.
void MakeDiscs(const fs::path& discs) {
    fs::path d1 = discs / "disc1", d2 = discs / "disc2", d3 = discs / "disc3";
    Write(d1 / "kelvo/kelvo.exe", "game", true);
    Write(d1 / "kelvo/data/blocks.dat", std::string(BigFileBlocks * CopyBlockBytes + 1, 'b'), true);
    Write(d1 / "kelvo/pixie.exe", "pixie", true);
    Write(d1 / "kelvo/ReadMe.txt", "read me", true);
    Write(d1 / "kelvo/data/shared.dat", "from the first disc", true);
    Write(d1 / "kelvo/武功/招式.dat", "moves", true);
    Write(d1 / "kelvo/save/default.sav", "a new game", true);
    // Names enough that the install's record of what it wrote grows while it copies.
    for (const char* voice : {"first", "second", "third", "fourth"})
        Write(d1 / "kelvo/sound/voice" /
                  (std::string("the-voice-of-the-") + voice + "-speaker.wav"),
              voice, true);
    Write(d1 / ".windows-label", std::string(DiscLabel1) + "\n");
    Write(d2 / "kelvo/data/shared.dat", "from the second disc", true);
    Write(d2 / "kelvo/data2/b.dat", "b", true);
    Write(d2 / "Directx/DX6User.exe", "directx", true);
    Write(d2 / ".windows-label", std::string(DiscLabel2) + "\n");
    Write(d3 / "kelvo/maps/m.dat", "map", true);
    Write(d3 / "Directx/DX6User.exe", "directx", true);
    Write(d3 / ".windows-label", std::string(MapDiscLabel) + "\n");
}

// The player's files in the install folder before the install begins (relative to it): one in
// a folder the discs also have, one at the top, read-only.
const char* const PlayerFiles[] = {"save/slot1.sav", "notes.txt"};

// What the install folder may hold at the end: what was there before the install (the player's
// files), or that with the discs of the install type merged into it.
struct Expected {
    std::vector<std::string> before;
    std::vector<std::string> complete;
};

Expected ExpectedTrees(const fs::path& discs, const fs::path& work, const fs::path& installed,
                       const std::string& type) {
    fs::path merged = work / ("merged-" + type);
    fs::remove_all(merged);
    fs::create_directories(merged);
    fs::copy(installed, merged, fs::copy_options::recursive);
    std::vector<std::string> names{"disc1", "disc2"};
    if (type == "normal")
        names.push_back("disc3");
    for (const auto& name : names)
        fs::copy(discs / name / "kelvo", merged,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return {enumerate::TreeLines(installed), enumerate::TreeLines(merged)};
}

// What a run is asked to do.
struct Plan {
    std::string type;
    std::string failCall; // empty: none
    int failUse = 0;
    int cancelBefore = 0; // 0: no cancel
    std::string Name() const {
        std::string name = type;
        if (cancelBefore != 0)
            name += " cancel before worker call " + std::to_string(cancelBefore);
        if (!failCall.empty())
            name += " " + failCall + " use " + std::to_string(failUse) + " fails";
        return name;
    }
};

// What a run left.
struct Outcome {
    bool ended = false;
    int status = 0;
    std::string signal;
    std::vector<std::string> boxes; // "caption | text", in order
    std::optional<std::vector<std::string>> treeAtDone;
    bool gaveUp = false;
    std::map<std::string, int> uses;
    int workerCalls = 0;
    int cancelAt = 0;
    std::map<std::string, int> usesAtCancel;
    std::optional<int> linksAtPress; // the shortcuts there were as cancel was pressed
    bool pressAfterDone = false;
    std::optional<std::vector<std::string>> finalTree; // nullopt: no install folder
    int links = 0;
    std::vector<std::string> outside;
    std::vector<std::string> playerChanges; // the player's files that changed in any way
    double seconds = 0;
};

class Enumeration {
  public:
    Enumeration(Options options, fs::path work)
        : options_(std::move(options)), work_(std::move(work)) {
        discs_ = work_ / "discs";
        MakeDiscs(discs_);
        base_ = work_ / "base";
        Write(base_ / "Program Files/tornwell/beside.txt", "stays");
        Write(base_ / "Program Files/tornwell/kelvo-old/keep.txt", "stays");
        fs::path installed = base_ / "Program Files/tornwell" / Utf8(ProductFolder);
        Write(installed / PlayerFiles[0], "level 12, 3 hours");
        Write(installed / PlayerFiles[1], "the key is under the bridge", true);
        fs::create_directories(base_ / "Start Menu/Programs");
        fs::create_directories(base_ / "Desktop");
        installFolder_ = "c:/" + Relative(Utf8(DefaultInstallRoot)) + "/" + Utf8(ProductFolder);
        for (const char* player : PlayerFiles)
            players_.push_back(installFolder_ + "/" + player);
        allowed_ = {installFolder_, "c:/Start Menu/Programs/" + Utf8(CompanyFolder),
                    "c:/Desktop/" + Utf8(ShortcutLinkNames[0]),
                    "c:/Desktop/" + Utf8(ShortcutLinkNames[1])};
    }

    Outcome Run(const Plan& plan, const std::string& name) {
        fs::path folder = work_ / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy(base_, folder / "c", fs::copy_options::recursive);
        // The player's files are old: a file the install touched would show a new time.
        for (const auto& player : players_) {
            fs::path path = folder / "c" / player.substr(3);
            fs::last_write_time(path, fs::last_write_time(path) - std::chrono::hours(24 * 3650));
        }
        std::ostringstream machine;
        machine << "drive c fixed \"" << (folder / "c").string() << "\" free 10737418240\n"
                << "drive d cdrom \"" << (discs_ / "disc1").string() << "\"\n"
                << "shellfolder Programs \"C:\\Start Menu\\Programs\"\n"
                << "shellfolder Desktop \"C:\\Desktop\"\n";
        if (!plan.failCall.empty())
            machine << "fault call " << plan.failCall << " " << plan.failUse << "\n";
        if (plan.cancelBefore != 0)
            machine << "cancel before call " << plan.cancelBefore << "\n";
        Write(folder / "machine.txt", machine.str());

        auto roots = Roots(folder);
        scenario::MachineState before = scenario::TakeSnapshot(roots);
        auto start = Clock::now();
        Outcome outcome = Spawn(folder, plan.type);
        outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Read(folder, outcome);
        scenario::MachineState after = scenario::TakeSnapshot(roots);
        outcome.outside = scenario::ChangesOutside(before, after, allowed_);
        for (const auto& player : players_) {
            auto was = before.find(player), is = after.find(player);
            if (was == before.end() || is == after.end() || !(was->second == is->second))
                outcome.playerChanges.push_back(player);
        }
        return outcome;
    }

    const fs::path& work() const { return work_; }
    fs::path installedBefore() const { return base_ / fs::path(installFolder_.substr(3)); }
    const fs::path& discs() const { return discs_; }

  private:
    static std::string Relative(std::string windowsPath) {
        windowsPath = windowsPath.substr(3); // "C:\"
        std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
        return windowsPath;
    }

    std::vector<scenario::SnapshotRoot> Roots(const fs::path& folder) const {
        return {{"c:", folder / "c", {}},
                {"disc disc1", discs_ / "disc1", {}},
                {"disc disc2", discs_ / "disc2", {}},
                {"disc disc3", discs_ / "disc3", {}}};
    }

    Outcome Spawn(const fs::path& folder, const std::string& type) {
        scenario::ProgramRun run = scenario::RunProgram(
            options_.setup,
            {"WINSIM_MACHINE=" + folder.string(), "ENUMERATE_DISCS=" + discs_.string(),
             "ENUMERATE_TYPE=" + type},
            {"WINSIM_", "ENUMERATE_"}, folder / "output.txt", options_.timeoutSeconds);
        Outcome outcome;
        outcome.ended = run.ended;
        outcome.status = run.status;
        outcome.signal = run.signal;
        return outcome;
    }

    void Read(const fs::path& folder, Outcome& outcome) {
        std::vector<std::string> tree;
        bool inTree = false;
        for (const auto& line : ReadLines(folder / "events.txt")) {
            if (line.rfind("box ", 0) == 0) {
                outcome.boxes.push_back(line.substr(4));
            } else if (line == "tree end") {
                outcome.treeAtDone = tree;
                inTree = false;
            } else if (line.rfind("tree ", 0) == 0) {
                if (!inTree)
                    tree.clear();
                inTree = true;
                tree.push_back(line.substr(5));
            } else if (line == "gave up") {
                outcome.gaveUp = true;
            } else if (line.rfind("press ", 0) == 0) {
                outcome.linksAtPress = std::atoi(line.c_str() + 6);
                outcome.pressAfterDone = line.find("after done") != std::string::npos;
            }
        }
        for (const auto& line : ReadLines(folder / "calls.txt")) {
            std::istringstream words(line);
            std::string kind, name;
            int count = 0;
            words >> kind >> name;
            if (kind == "use" && words >> count)
                outcome.uses[name] = count;
            else if (kind == "thread" && name == "2" && words >> count)
                outcome.workerCalls = count;
            else if (kind == "cancel")
                outcome.cancelAt = std::atoi(name.c_str());
            else if (kind == "use-at-cancel" && words >> count)
                outcome.usesAtCancel[name] = count;
        }
        fs::path installed = folder / "c" / fs::path(installFolder_.substr(3));
        std::error_code error;
        if (fs::is_directory(installed, error))
            outcome.finalTree = enumerate::TreeLines(installed);
        for (int row = 0; row < SHORTCUT_ROWS; ++row) {
            fs::path group = folder / "c/Start Menu/Programs" / Utf8(CompanyFolder) /
                             Utf8(ProductTitle) / Utf8(ShortcutLinkNames[row]);
            outcome.links += fs::exists(group, error) ? 1 : 0;
            if (row < 2)
                outcome.links +=
                    fs::exists(folder / "c/Desktop" / Utf8(ShortcutLinkNames[row]), error) ? 1 : 0;
        }
    }

    Options options_;
    fs::path work_;
    fs::path discs_;
    fs::path base_;
    std::string installFolder_;
    std::vector<std::string> players_; // the player's files, as snapshot paths
    std::vector<std::string> allowed_;
};

bool Shown(const Outcome& outcome, const char* cp950Text) {
    std::string text = Utf8(cp950Text);
    for (const auto& box : outcome.boxes) {
        if (box.size() >= text.size() &&
            box.compare(box.size() - text.size(), text.size(), text) == 0)
            return true;
    }
    return false;
}

// The message a fault must bring, when there is one to expect whatever use of the call fails.
std::optional<std::string> MessageFor(const std::string& call, int use) {
    static const std::map<std::string, std::string> messages = {
        {"CoInitialize", "Coinitalize failed"},
        {"IShellLinkA::SetPath", "SetPath failed"},
        {"IShellLinkA::SetDescription", "SetDescription failed"},
        {"IShellLinkA::SetIconLocation", "SetIcon failed"},
        {"IShellLinkA::SetWorkingDirectory", "SetWork failed"},
        {"IPersistFile::Save", "Save failed"},
        {"MultiByteToWideChar", "Save failed"},
        {"RegOpenKeyExA", Utf8(TextRegistryFault)},
        {"ReadFile", Utf8(TextInstallFailed)},
        {"WriteFile", Utf8(TextInstallFailed)},
        {"HeapAlloc", Utf8(TextInstallFailed)},
        {"HeapReAlloc", Utf8(TextInstallFailed)},
        {"FindFirstFileA", Utf8(TextInstallFailed)},
        {"FindNextFileA", Utf8(TextInstallFailed)},
    };
    if (call == "GetDiskFreeSpaceExA")
        return Utf8(TextNoSpace);
    if (call == "GetVolumeInformationA" && use == 1)
        return Utf8(TextInsertDisc1);
    // The first is the main thread's, for the folder browser: the install goes on without it.
    if (call == "CoInitialize" && use == 1)
        return std::nullopt;
    auto found = messages.find(call);
    if (found == messages.end())
        return std::nullopt;
    return found->second;
}

// A cancel ends as things stood when it was pressed: before the completion message, with the
// install folder emptied and the shortcuts made so far (and the one in hand) left, or, pressed
// as that message came up, too late, with the install kept; after it, emptied too while the last
// notice is up, or the install kept once it has concluded. A cancel that could not be pressed
// any more leaves the completed install. Completion is never reported for an install that a
// cancel then empties before that message has gone.
std::string JudgeCancel(const Outcome& outcome, const Expected& expected) {
    bool emptied = outcome.finalTree && *outcome.finalTree == expected.before;
    bool complete = outcome.finalTree && *outcome.finalTree == expected.complete;
    int all = 2 * SHORTCUT_ROWS - 1;
    if (!outcome.linksAtPress) {
        if (!complete || !outcome.treeAtDone)
            return "a cancel past the end left no completed install";
        return "";
    }
    int before = *outcome.linksAtPress;
    if (!outcome.pressAfterDone) {
        // Pressed as the completion message came up, the cancel is too late: the install stays.
        if (outcome.treeAtDone && emptied)
            return "reported completion after the cancel, then emptied the install folder";
        if (outcome.treeAtDone)
            return complete && outcome.links == all ? ""
                                                    : "a cancel too late left no completed install";
        if (!emptied)
            return "a cancel before the completion message left more than the player's files";
        if (outcome.links != before && outcome.links != before + 1)
            return "left " + std::to_string(outcome.links) + " shortcuts; there were " +
                   std::to_string(before) + " when cancel was pressed";
        return "";
    }
    if (!emptied && !complete)
        return "a cancel after the completion message left the install half there";
    if (outcome.links != all)
        return "a cancel after the completion message left " + std::to_string(outcome.links) +
               " shortcuts, not all " + std::to_string(all);
    return "";
}

// Why a run failed, or empty.
std::string Judge(const Plan& plan, const Outcome& outcome, const Expected& expected) {
    if (!outcome.ended)
        return "hung: killed after the timeout";
    if (!outcome.signal.empty())
        return "the installer was " + outcome.signal;
    bool registryFault = plan.failCall == "RegOpenKeyExA";
    if ((outcome.status & 0xFF) != 0xFF && !(outcome.status == 0 && registryFault))
        return "ended with status " + std::to_string(outcome.status);
    if (!outcome.playerChanges.empty())
        return "changed the player's " + outcome.playerChanges.front();
    if (outcome.treeAtDone && *outcome.treeAtDone != expected.complete)
        return "reported success while the install folder held " +
               std::to_string(outcome.treeAtDone->size()) + " entries, not the " +
               std::to_string(expected.complete.size()) + " of the merged discs and the player";
    if (!outcome.finalTree)
        return "the install folder went";
    const std::vector<std::string>& left = *outcome.finalTree;
    bool removalFailed = plan.failCall == "DeleteFileA" || plan.failCall == "RemoveDirectoryA";
    if (removalFailed) {
        // What could not be removed stays, and nothing but what the install wrote.
        for (const auto& line : left) {
            if (!std::binary_search(expected.complete.begin(), expected.complete.end(), line))
                return "left " + line + ", which is neither the player's nor the discs'";
        }
    } else if (left != expected.before && left != expected.complete) {
        return "left a half-filled install folder (" + std::to_string(left.size()) + " entries)";
    }
    if (!removalFailed && Shown(outcome, TextInstallFailed) && left != expected.before)
        return "reported a failure but left more than the player's files";
    if (!outcome.outside.empty())
        return "changed the machine outside its places: " + outcome.outside.front() +
               (outcome.outside.size() > 1
                    ? " (and " + std::to_string(outcome.outside.size() - 1) + " more)"
                    : "");
    if (plan.cancelBefore != 0 && plan.failCall.empty()) {
        std::string why = JudgeCancel(outcome, expected);
        if (!why.empty())
            return why;
        // A cancel is felt at once, also in the middle of a file: no block is read after it.
        if (outcome.cancelAt != 0) {
            auto uses = [](const std::map<std::string, int>& counted) {
                auto found = counted.find("ReadFile");
                return found == counted.end() ? 0 : found->second;
            };
            int later = uses(outcome.uses) - uses(outcome.usesAtCancel);
            if (later > 0)
                return "read " + std::to_string(later) +
                       " more blocks after the cancel was pressed";
        }
    }
    // A file time is no part of the copy: the install goes on to its end without it.
    if (plan.failCall == "SetFileTime" && plan.cancelBefore == 0 && !outcome.treeAtDone)
        return "a file time that could not be set stopped the install";
    if (!plan.failCall.empty()) {
        auto message = MessageFor(plan.failCall, plan.failUse);
        bool used = outcome.uses.count(plan.failCall) != 0 &&
                    outcome.uses.at(plan.failCall) >= plan.failUse;
        if (message && used) {
            bool seen = false;
            for (const auto& box : outcome.boxes)
                seen |= box.find(*message) != std::string::npos;
            if (!seen)
                return "no message \"" + *message + "\"";
        }
    }
    return "";
}

struct Point {
    Plan plan;
    Outcome outcome;
    std::string failure;
};

// Runs the plans on options.jobs threads, in order of the list.
void RunAll(Enumeration& enumeration, const Options& options, std::vector<Point>& points,
            const Expected& expected) {
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < points.size(); i = next++) {
            Point& point = points[i];
            std::string name = "run-" + std::to_string(i) + "-" + point.plan.type;
            point.outcome = enumeration.Run(point.plan, name);
            point.failure = Judge(point.plan, point.outcome, expected);
            if (point.failure.empty() || !options.keep)
                fs::remove_all(enumeration.work() / name);
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < std::max(1, options.jobs); ++j)
        threads.emplace_back(worker);
    for (auto& thread : threads)
        thread.join();
}

size_t CallsThatCanFail(const Outcome& plain, const Outcome& cancelled) {
    std::map<std::string, int> calls = plain.uses;
    calls.insert(cancelled.uses.begin(), cancelled.uses.end());
    return calls.size();
}

int Usage() {
    std::fprintf(stderr, "usage: enumerate --setup PATH [--types normal,minimal] "
                         "[--what cancel,fault] [--jobs N] [--every N] [--timeout SECONDS] "
                         "[--keep]\n");
    return 2;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        parts.push_back(part);
    return parts;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        bool more = i + 1 < argc;
        if (argument == "--setup" && more)
            options.setup = fs::absolute(argv[++i]).string();
        else if (argument == "--types" && more)
            options.types = Split(argv[++i]);
        else if (argument == "--what" && more) {
            auto what = Split(argv[++i]);
            options.cancels = std::count(what.begin(), what.end(), "cancel") != 0;
            options.faults = std::count(what.begin(), what.end(), "fault") != 0;
        } else if (argument == "--jobs" && more)
            options.jobs = std::atoi(argv[++i]);
        else if (argument == "--every" && more)
            options.every = std::max(1, std::atoi(argv[++i]));
        else if (argument == "--timeout" && more)
            options.timeoutSeconds = std::atof(argv[++i]);
        else if (argument == "--keep")
            options.keep = true;
        else if (argument == "--only" && more)
            options.only = argv[++i];
        else
            return Usage();
    }
    if (options.setup.empty())
        return Usage();

    std::string base = (fs::temp_directory_path() / "enumerate-XXXXXX").string();
    if (::mkdtemp(base.data()) == nullptr) {
        std::perror("enumerate: mkdtemp");
        return 2;
    }
    Enumeration enumeration(options, base);
    int failed = 0;
    if (options.only) {
        std::istringstream words(*options.only);
        std::string what;
        int k = 0;
        words >> what >> k;
        Plan plan{options.types.front(), what == "cancel" ? "" : what, what == "cancel" ? 0 : k,
                  what == "cancel" ? k : 0};
        auto expected = ExpectedTrees(enumeration.discs(), enumeration.work(),
                                      enumeration.installedBefore(), plan.type);
        Outcome outcome = enumeration.Run(plan, "only");
        std::string why = Judge(plan, outcome, expected);
        std::printf("%s %s: status %d, cancel pressed before worker call %d with %d shortcuts, "
                    "%d shortcuts at the end%s%s\n",
                    why.empty() ? "PASS" : "FAIL", plan.Name().c_str(), outcome.status,
                    outcome.cancelAt, outcome.linksAtPress.value_or(-1), outcome.links,
                    why.empty() ? "" : ": ", why.c_str());
        for (const auto& box : outcome.boxes)
            std::printf("    box %s\n", box.c_str());
        std::printf("kept: %s\n", (fs::path(base) / "only").c_str());
        return why.empty() ? 0 : 1;
    }
    for (const auto& type : options.types) {
        auto started = Clock::now();
        auto expected = ExpectedTrees(enumeration.discs(), enumeration.work(),
                                      enumeration.installedBefore(), type);

        // The counting runs: a whole install, and one cancelled during the first disc (the
        // calls only a cancel makes, the removal among them, are counted there).
        Plan plain{type, "", 0, 0};
        Outcome counted = enumeration.Run(plain, "count-" + type);
        std::string why = Judge(plain, counted, expected);
        if (why.empty() && !counted.treeAtDone)
            why = "the install did not complete";
        if (why.empty() && counted.workerCalls == 0)
            why = "the copy worker made no call";
        if (!why.empty()) {
            std::printf("FAIL %s: %s\n", plain.Name().c_str(), why.c_str());
            ++failed;
            continue;
        }
        Plan cancelled{type, "", 0, 10};
        Outcome cancelCounted = enumeration.Run(cancelled, "count-cancel-" + type);

        std::vector<Point> cancels, faults;
        if (options.cancels) {
            for (int k = 1; k <= counted.workerCalls + 1; k += options.every)
                cancels.push_back({{type, "", 0, k}, {}, ""});
        }
        int faultPoints = 0;
        if (options.faults) {
            int index = 0;
            for (const auto& [call, uses] : counted.uses) {
                for (int k = 1; k <= uses; ++k) {
                    if (index++ % options.every == 0)
                        faults.push_back({{type, call, k, 0}, {}, ""});
                }
            }
            for (const auto& [call, uses] : cancelCounted.uses) {
                int plainUses = counted.uses.count(call) ? counted.uses.at(call) : 0;
                for (int k = plainUses + 1; k <= uses; ++k) {
                    if (index++ % options.every == 0)
                        faults.push_back({{type, call, k, cancelled.cancelBefore}, {}, ""});
                }
            }
            faultPoints = index;
        }
        RunAll(enumeration, options, cancels, expected);
        RunAll(enumeration, options, faults, expected);

        int runFailures = 0;
        for (const auto* points : {&cancels, &faults}) {
            for (const auto& point : *points) {
                if (point.failure.empty())
                    continue;
                ++runFailures;
                std::printf("FAIL %s: %s\n", point.plan.Name().c_str(), point.failure.c_str());
                for (const auto& box : point.outcome.boxes)
                    std::printf("    box %s\n", box.c_str());
            }
        }
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        double slowest = 0;
        for (const auto* points : {&cancels, &faults})
            for (const auto& point : *points)
                slowest = std::max(slowest, point.outcome.seconds);
        std::printf("%s install: %d cancel points (the copy worker's calls), %d fault points "
                    "(%zu calls that can fail); %zu cancel and %zu fault runs, %d failed; "
                    "%.1f s, slowest run %.1f s\n",
                    type.c_str(), counted.workerCalls + 1, faultPoints,
                    CallsThatCanFail(counted, cancelCounted), cancels.size(), faults.size(),
                    runFailures, seconds, slowest);
        std::fflush(stdout);
        failed += runFailures;
    }
    if (failed == 0 || !options.keep)
        fs::remove_all(base);
    else
        std::printf("kept: %s\n", base.c_str());
    return failed == 0 ? 0 : 1;
}

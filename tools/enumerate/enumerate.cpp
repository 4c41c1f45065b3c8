// enumerate: replays an install at every moment a cancel can come, with every call that can
// fail failing, and with the process killed (or the power cut) at every call of every thread, one
// at a time, and judges each run.
//
//     enumerate --setup PATH [--types normal,minimal] [--what cancel,fault,kill] [--jobs N]
//               [--every N] [--timeout SECONDS] [--keep] [--work FOLDER]
//               [--only "cancel K" | --only "kill K [THREAD]" | --only "power K [THREAD]" |
//                --only "CALL K"]
//
// PATH is enumerate-setup (the installer with a user who installs whatever happens). For each
// install type, a first run on three small discs counts the calls: those of each thread (0 the
// main thread, then each thread in the order the installer makes them: 1 the busy indicator, 2
// the copy worker), and the uses of every call that can fail. Then, for every k, one run has the
// user press cancel just before the worker's k-th call; for every call and every use k, one run
// has that use fail (the calls only a cancel makes, such as the rollback's, with a cancel during
// the first disc); and for every thread and every k, one run is killed just before the thread's
// k-th call, and where a file (or the registry) then holds writes not yet flushed, one more has
// the power cut there (up to the last notice: after it the install can no longer be undone). A
// killed run is followed by a setup into the same folder twice, each on its own copy of what the
// kill left: one cancelled at its first disc prompt, one let through. Last, for the first type,
// the next setup's recovery is killed (or its power cut) at each call of its main thread and of
// the thread that undoes the interrupted install, on the machines of an install killed at its
// last notice and of one killed during the first disc; each such run is judged as a killed run.
// --every N replays every N-th moment only (for slow sanitizer builds).
//
// The machine holds, before the install: an earlier install in the install folder, some of whose
// files the discs replace (one read-only, one hidden, one whose name differs from the disc's in
// ASCII letter case, one in the case of a Greek letter), the player's own files (a save in a
// folder the discs also have, a read-only note) and an empty folder of the player's that a disc
// also has, the earlier install's program group link and desktop link. Every run must end within
// the timeout and leave the whole machine as it was (every file byte for byte, with its times and
// attributes, and no record of setup's in the registry) or completely installed (the install
// folder holding exactly the merged discs over what was there, the links written, nothing changed
// elsewhere, nothing of setup's own left); success is reported only over a complete install. A
// cancel ends as things stood when it was pressed (Judge), and no block of a disc is read after
// it, even in the middle of a file; some faults have the message that must report them. A run
// that leaves a journal (a rollback step failed) is followed by the next setup, which must finish
// the rollback.
//
// The runs' machines are made in FOLDER; by default in memory (/dev/shm) where that file system
// keeps extended attributes, as winsim's file attributes are, else in the temporary folder.
//
// Prints the counts and the time per install type and every failing run; exit status 0 when
// every run passed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "base/product_constants.h"
#include "file_security.h"
#include "host_files.h"
#include "intruder.h"
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
    bool kills = true;
    bool intruders = false; // another user acting at every call
    bool everyAct = false;  // ... every act that fits it, not one
    int jobs = 2;
    int every = 1;
    double timeoutSeconds = 60;
    bool keep = false;
    std::optional<std::string> only; // one plan: "cancel K", "kill K", "power K" or "CALL K"
    std::optional<std::string> work; // where the runs' machines go
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

// A name as Windows compares names: letters in upper case, beyond ASCII too.
std::wstring Folded(const std::string& utf8) {
    std::wstring wide(utf8.size() + 1, L'\0');
    size_t length = std::mbstowcs(wide.data(), utf8.c_str(), wide.size());
    wide.resize(length == (size_t)-1 ? 0 : length);
    for (wchar_t& c : wide)
        c = (wchar_t)std::towupper((wint_t)c);
    return wide;
}

// The entry of folder named name in any letter case, or nothing.
std::optional<fs::path> EntryAnyCase(const fs::path& folder, const std::string& name) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (Folded(entry.path().filename().string()) == Folded(name))
            return entry.path();
    }
    return std::nullopt;
}

// Copies the disc folder from into to as Windows would: a folder or file already there under a
// name in other letters is copied into or replaced, and keeps its name.
void MergeAsWindows(const fs::path& from, const fs::path& to) {
    for (const auto& entry : fs::directory_iterator(from)) {
        fs::path target = EntryAnyCase(to, entry.path().filename().string())
                              .value_or(to / entry.path().filename());
        if (entry.is_directory()) {
            fs::create_directories(target);
            MergeAsWindows(entry.path(), target);
        } else {
            fs::remove(target);
            fs::copy_file(entry.path(), target);
        }
    }
}

// What the game's program on the first disc holds.
const char GameContent[] = "game";

// The file of several blocks: that many of the product's copy blocks, and a byte.
constexpr int BigFileBlocks = 8;
constexpr size_t CopyBlockBytes = 65536;

// Three small discs that hold what matters to the copy: nested folders, a file that a later disc
// replaces, read-only files (as every file on a CD is), a folder whose Big5 name ends in the
// byte 0x5C, the folder where the player's saves go, enough names that the install's journal
// has to grow, a file of several blocks of the copy, inside which a cancel can come, and files
// that an earlier install has under names in other letters.
void MakeDiscs(const fs::path& discs) {
    fs::path d1 = discs / "disc1", d2 = discs / "disc2", d3 = discs / "disc3";
    Write(d1 / "kelvo/kelvo.exe", GameContent, true);
    Write(d1 / "kelvo/data/blocks.dat", std::string(BigFileBlocks * CopyBlockBytes + 1, 'b'), true);
    Write(d1 / "kelvo/pixie.exe", "pixie", true);
    Write(d1 / "kelvo/ReadMe.txt", "read me", true);
    Write(d1 / "kelvo/data/shared.dat", "from the first disc", true);
    Write(d1 / "kelvo/data/Ω.dat", "omega", true);
    Write(d1 / "kelvo/武功/招式.dat", "moves", true);
    Write(d1 / "kelvo/save/default.sav", "a new game", true);
    // Names enough that the install's journal grows while it copies.
    for (int i = 0; i < 40; ++i)
        Write(d1 / "kelvo/sound/voice" /
                  ("the-voice-of-the-speaker-number-" + std::to_string(i) + ".wav"),
              "voice", true);
    Write(d1 / ".windows-label", std::string(DiscLabel1) + "\n");
    Write(d2 / "kelvo/data/shared.dat", "from the second disc", true);
    Write(d2 / "kelvo/data2/b.dat", "b", true);
    Write(d2 / "Directx/DX6User.exe", "directx", true);
    Write(d2 / ".windows-label", std::string(DiscLabel2) + "\n");
    Write(d3 / "kelvo/maps/m.dat", "map", true);
    Write(d3 / "Directx/DX6User.exe", "directx", true);
    Write(d3 / ".windows-label", std::string(MapDiscLabel) + "\n");
}

// What was in the install folder before the install (relative to it): the earlier install's
// files that the discs replace, and the player's files, which no disc carries.
struct EarlierFile {
    const char* path;
    const char* content;
    bool readOnly;
    DWORD dosAttributes; // hidden and system
};
const EarlierFile EarlierInstall[] = {
    {"kelvo.exe", "an older game", true, 0},
    {"pixie.exe", "an older pixie", false, FILE_ATTRIBUTE_HIDDEN},
    {"readme.TXT", "the old manual", false, FILE_ATTRIBUTE_SYSTEM},
    {"data/ω.dat", "an older omega", false, 0},
    {"data/shared.dat", "shared, as it was", true, 0},
};
const EarlierFile PlayerFiles[] = {
    {"save/slot1.sav", "level 12, 3 hours", false, FILE_ATTRIBUTE_HIDDEN},
    {"notes.txt", "the key is under the bridge", true, 0},
};

// What the install folder may hold at the end: what was there before the install, or that with
// the discs of the install type merged into it.
struct Expected {
    std::vector<std::string> before;
    std::vector<std::string> complete;
};

// The installer's threads by the order they were made: the main thread, then each CreateThread's.
std::string ThreadName(int thread) {
    switch (thread) {
    case 0:
        return "main thread";
    case 2:
        return "worker";
    default:
        return "thread " + std::to_string(thread);
    }
}

// What a run is asked to do.
struct Plan {
    std::string type;
    std::string failCall = {}; // empty: none
    int failUse = 0;
    int cancelBefore = 0; // 0: no cancel
    int killBefore = 0;   // 0: no kill
    bool powerCut = false;
    int killThread = 2; // the thread whose call the kill precedes: 0 the main thread, 2 the worker
    bool trace = false; // every call is kept with the paths it names
    std::string intruder = {}; // the other user's act: "<thread> <call> <act>" (empty: none)
    std::string Name() const {
        std::string name = type;
        if (cancelBefore != 0)
            name += " cancel before worker call " + std::to_string(cancelBefore);
        if (!failCall.empty())
            name += " " + failCall + " use " + std::to_string(failUse) + " fails";
        if (killBefore != 0)
            name += std::string(powerCut ? " power cut" : " killed") + " before " +
                    ThreadName(killThread) + " call " + std::to_string(killBefore);
        if (!intruder.empty())
            name += " another user acting at " + intruder;
        return name;
    }
};

// A call of the trace: its place in it, thread, the thread's call, function and paths (UTF-8).
struct TracedCall {
    int order = 0;
    int thread = 0;
    int call = 0;
    std::string function;
    std::vector<std::string> paths;
};

// What the other user did in a run: at which call (the function and the paths it named, UTF-8),
// the act that fitted (none: nothing to aim at), its error (0: done), its words, and what it
// reached with the machine around it.
struct OtherUsersAct {
    bool came = false;
    std::string function;
    std::vector<std::string> callPaths;
    std::string act;
    std::uint32_t error = 0;
    std::uint32_t restRefused = 0;  // done in part: the error that refused the rest
    std::vector<std::string> words; // the act and its arguments (a content as its size)
    enumerate::intruder::Trace trace;
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
    std::map<int, int> threadCalls; // by thread (0: the main thread)
    int cancelAt = 0;
    std::map<std::string, int> usesAtCancel;
    std::map<int, std::vector<std::pair<int, int>>> unflushed; // by thread
    int lastNotice = 0;              // the worker's calls as the last notice came up
    std::optional<int> linksAtPress; // the shortcuts there were as cancel was pressed
    bool pressAfterDone = false;
    std::optional<std::vector<std::string>> finalTree; // nullopt: no install folder
    int links = 0;                                     // the install's links, not the earlier
    bool journal = false;                              // a journal of setup's is left
    bool committed = false;                            // ... and it says the install was
    bool record = false; // the registry still names a journal of setup's
    scenario::MachineState machine;
    double seconds = 0;
    // With the trace: every call that is a point, in order, and where the cancel was pressed.
    std::vector<TracedCall> trace;
    int cancelOrder = 0;
    // The other user's act, and the programs started with what their files held.
    OtherUsersAct other;
    std::vector<std::pair<std::string, std::string>> started; // path (UTF-8), content in hex
};

// The machine a family of runs installs on. The usual one installs into the default folder, with
// the shell folders at C:\Start Menu\Programs and C:\Desktop. The one with another user on it
// installs into C:\Games, a folder an administrator made at the root, which every user may
// change; the shell folders are in the administrator's profile, which only that account, the
// administrators and the system may change (C:\Users only administrators); beside them an
// administrators-only folder holding files of the install's names, and the Windows folder.
struct Layout {
    std::string installRoot; // typed into the setup dialog (empty: the default)
    std::string programs = "Start Menu/Programs"; // the shell folders, under drive C
    std::string desktop = "Desktop";
    bool otherUser = false;
};

Layout OtherUserLayout() {
    return {"C:\\Games", "Users/Admin/Start Menu/Programs", "Users/Admin/Desktop", true};
}

// Where the other user aims on that machine (UTF-8 Windows paths, and state keys).
const char AdminOnly[] = "C:\\Admin only";
const char AdminOnlyKey[] = "c:/Admin only";
const char WindowsKey[] = "c:/Windows";
const char ProfileKey[] = "c:/Users/Admin";
const char GamesKey[] = "c:/Games";

class Enumeration {
  public:
    Enumeration(Options options, fs::path work, Layout layout = {})
        : options_(std::move(options)), work_(std::move(work)), layout_(std::move(layout)) {
        discs_ = work_ / "discs";
        MakeDiscs(discs_);
        base_ = work_ / "base";
        std::string root =
            layout_.installRoot.empty() ? Utf8(DefaultInstallRoot) : layout_.installRoot;
        if (layout_.installRoot.empty()) {
            Write(base_ / "Program Files/tornwell/beside.txt", "stays");
            Write(base_ / "Program Files/tornwell/kelvo-old/keep.txt", "stays");
        }
        installed_ = base_ / Relative(root) / Utf8(ProductFolder);
        // The player's empty folder, which a disc has too.
        fs::create_directories(installed_ / "sound");
        std::vector<EarlierFile> earlier(std::begin(EarlierInstall), std::end(EarlierInstall));
        earlier.insert(earlier.end(), std::begin(PlayerFiles), std::end(PlayerFiles));
        for (const EarlierFile& file : earlier) {
            Write(installed_ / file.path, file.content, file.readOnly);
            winsim::StoreDosAttributes((installed_ / file.path).string(), file.dosAttributes);
        }
        group_ = layout_.programs + "/" + Utf8(CompanyFolder) + "/" + Utf8(ProductTitle);
        Write(base_ / group_ / Utf8(ShortcutLinkNames[0]), "the earlier install's link");
        Write(base_ / layout_.desktop / Utf8(ShortcutLinkNames[1]), "the earlier install's link");
        if (layout_.otherUser)
            LayOutOtherUsersMachine();
        // Everything is old: a file the install touched would show a new time.
        for (const auto& entry : fs::recursive_directory_iterator(base_)) {
            if (entry.is_regular_file())
                fs::last_write_time(entry.path(), fs::last_write_time(entry.path()) -
                                                      std::chrono::hours(24 * 3650));
        }
        installFolder_ = "c:/" + Relative(root) + "/" + Utf8(ProductFolder);
        for (const EarlierFile& file : PlayerFiles)
            players_.push_back(installFolder_ + "/" + file.path);
        // The install's places, and setup's own folder at the root, where its journal lies
        // until the install concludes (what is left in there is judged as a journal).
        allowed_ = {installFolder_, "c:/" + std::string(SetupNamePrefix),
                    "c:/" + layout_.programs + "/" + Utf8(CompanyFolder),
                    "c:/" + layout_.desktop + "/" + Utf8(ShortcutLinkNames[0]),
                    "c:/" + layout_.desktop + "/" + Utf8(ShortcutLinkNames[1])};
        fs::create_directories(work_ / "empty");
        before_ = scenario::TakeSnapshot(Roots(base_, work_ / "empty"));
    }

    Expected ExpectedTrees(const std::string& type) const {
        fs::path merged = work_ / ("merged-" + type);
        fs::remove_all(merged);
        fs::create_directories(merged);
        fs::copy(installed_, merged, fs::copy_options::recursive);
        std::vector<std::string> names{"disc1", "disc2"};
        if (type == "normal")
            names.push_back("disc3");
        for (const auto& name : names)
            MergeAsWindows(discs_ / name / "kelvo", merged);
        return {enumerate::TreeLines(installed_), enumerate::TreeLines(merged)};
    }

    // A run in the folder name, on a copy of the machine before the install, or of the machine
    // a run in from left.
    Outcome Run(const Plan& plan, const std::string& name, bool cancelAtPrompt = false,
                const std::optional<fs::path>& from = std::nullopt) {
        fs::path folder = work_ / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        enumerate::CopyDrive(from ? *from / "c" : base_, folder / "c");
        // The registry as the run before left it.
        if (from && fs::exists(*from / "registry.txt"))
            fs::copy_file(*from / "registry.txt", folder / "registry.txt");
        std::ostringstream machine;
        machine << "drive c fixed \"" << (folder / "c").string() << "\" free 10737418240\n"
                << "drive d cdrom \"" << (discs_ / "disc1").string() << "\"\n"
                << "shellfolder Programs \"" << WindowsPath(layout_.programs) << "\"\n"
                << "shellfolder Desktop \"" << WindowsPath(layout_.desktop) << "\"\n";
        if (!plan.failCall.empty())
            machine << "fault call " << plan.failCall << " " << plan.failUse << "\n";
        if (plan.cancelBefore != 0)
            machine << "cancel before call " << plan.cancelBefore << "\n";
        if (plan.killBefore != 0)
            machine << (plan.powerCut ? "power cut" : "kill") << " before call " << plan.killBefore
                    << " thread " << plan.killThread << "\n";
        Write(folder / "machine.txt", machine.str());
        std::error_code error;
        fs::remove(folder / "intruder.txt", error);
        if (!plan.intruder.empty()) {
            std::ofstream(folder / "intruder.txt", std::ios::binary)
                << "act " << plan.intruder << "\n"
                << enumerate::intruder::Save(places_);
        }

        auto start = Clock::now();
        Outcome outcome = Spawn(folder, plan, cancelAtPrompt);
        outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Read(folder, outcome);
        return outcome;
    }

    const fs::path& work() const { return work_; }
    const scenario::MachineState& before() const { return before_; }
    const std::vector<std::string>& players() const { return players_; }
    const std::vector<std::string>& allowed() const { return allowed_; }
    const std::string& installFolder() const { return installFolder_; }
    const enumerate::intruder::Places& places() const { return places_; }
    // The product's links, as state keys: their times are those of their writing.
    std::set<std::string> LinkKeys() const {
        std::set<std::string> keys;
        for (int row = 0; row < SHORTCUT_ROWS; ++row) {
            keys.insert("c:/" + group_ + "/" + Utf8(ShortcutLinkNames[row]));
            if (row < 2)
                keys.insert("c:/" + layout_.desktop + "/" + Utf8(ShortcutLinkNames[row]));
        }
        return keys;
    }

  private:
    // "C:\..." for a path under drive C.
    static std::string WindowsPath(std::string relative) {
        std::replace(relative.begin(), relative.end(), '/', '\\');
        return "C:\\" + relative;
    }

    // The places only administrators may change, and the Windows folder: each with files, one
    // read-only, of the names the install has, so that a link into one gives setup something to
    // change there; the administrators' folder is hidden and a system folder, so that attributes
    // set through a link to it show.
    void LayOutOtherUsersMachine() {
        namespace security = winsim::security;
        fs::path only = base_ / "Admin only";
        Write(only / "victim.dll", "the administrators' library", true);
        winsim::StoreDosAttributes(only.string(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
        Write(only / "kelvo.exe", "the administrators' kelvo.exe", true);
        Write(only / "ReadMe.txt", "the administrators' read me");
        Write(only / "data/shared.dat", "the administrators' data");
        Write(only / "save/slot1.sav", "the administrators' save");
        fs::create_directories(only / "sound");
        Write(base_ / "Windows/win.ini", "[windows]");
        Write(base_ / "Windows/System32/kernel32.dll", "the system's kernel32", true);
        std::string administrator =
            security::ToString(security::MachineAccount(security::AdministratorRid));
        const std::pair<fs::path, std::string> acls[] = {
            {only, "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"},
            {base_ / "Users", "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"},
            {base_ / "Users/Admin", "O:" + administrator +
                                        "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" +
                                        administrator + ")"},
        };
        for (const auto& [path, sddl] : acls)
            winsim::files::StoreDescriptor(path.string(), *security::ParseSddl(sddl));
        namespace intruder = enumerate::intruder;
        places_.installFolder =
            winsim::Utf8ToCp950(layout_.installRoot + "\\" + Utf8(ProductFolder));
        places_.aim = winsim::Utf8ToCp950(AdminOnly);
        places_.system = "C:\\Windows";
        places_.victim = winsim::Utf8ToCp950(std::string(AdminOnly) + "\\victim.dll");
        places_.player = places_.installFolder + "\\notes.txt";
        places_.links = {
            winsim::Utf8ToCp950(WindowsPath(group_ + "/" + Utf8(ShortcutLinkNames[0]))),
            winsim::Utf8ToCp950(WindowsPath(layout_.desktop + "/" + Utf8(ShortcutLinkNames[1])))};
        places_.drives = "c";
    }

    static std::string Relative(std::string windowsPath) {
        windowsPath = windowsPath.substr(3); // "C:\"
        std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
        return windowsPath;
    }

    std::vector<scenario::SnapshotRoot> Roots(const fs::path& c, const fs::path&) const {
        return {{"c:", c, {}},
                {"disc disc1", discs_ / "disc1", {}},
                {"disc disc2", discs_ / "disc2", {}},
                {"disc disc3", discs_ / "disc3", {}}};
    }

    Outcome Spawn(const fs::path& folder, const Plan& plan, bool cancelAtPrompt) {
        scenario::ProgramRun run = scenario::RunProgram(
            options_.setup,
            {"WINSIM_MACHINE=" + folder.string(), "ENUMERATE_DISCS=" + discs_.string(),
             "ENUMERATE_TYPE=" + plan.type,
             std::string("ENUMERATE_CANCEL_PROMPT=") + (cancelAtPrompt ? "1" : "0"),
             "ENUMERATE_FOLDER=" + layout_.installRoot,
             std::string("ENUMERATE_TRACE=") + (plan.trace ? "1" : "0")},
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
                // Setup's journal and the files it keeps are there until the install concludes.
                std::erase_if(tree, [](const std::string& entry) {
                    for (const auto& part : fs::path(entry))
                        if (part.string().rfind(SetupNamePrefix, 0) == 0)
                            return true;
                    return false;
                });
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
            } else if (line.rfind("last notice at worker call ", 0) == 0) {
                outcome.lastNotice = std::atoi(line.c_str() + 27);
            } else if (line.rfind("intruder", 0) == 0 || line.rfind("started\t", 0) == 0) {
                ReadOtherUsersLine(line, outcome);
            }
        }
        if (outcome.other.came && !outcome.other.act.empty()) {
            auto& trace = outcome.other.trace;
            trace.done = outcome.other.error == 0;
            scenario::LoadSnapshot(folder / "intruder-before.txt", trace.before);
            scenario::LoadSnapshot(folder / "intruder-after.txt", trace.after);
        }
        for (const auto& line : ReadLines(folder / "calls.txt")) {
            std::istringstream words(line);
            std::string kind, name;
            int count = 0;
            words >> kind >> name;
            if (kind == "use" && words >> count)
                outcome.uses[name] = count;
            else if (kind == "thread" && words >> count) {
                outcome.threadCalls[std::atoi(name.c_str())] = count;
                if (name == "2")
                    outcome.workerCalls = count;
            } else if (kind == "cancel")
                outcome.cancelAt = std::atoi(name.c_str());
            else if (kind == "use-at-cancel" && words >> count)
                outcome.usesAtCancel[name] = count;
            else if (kind == "unflushed") {
                int first = 0, last = 0;
                if (words >> first >> last)
                    outcome.unflushed[std::atoi(name.c_str())].push_back({first, last});
            } else if (kind == "cancel-order") {
                outcome.cancelOrder = std::atoi(name.c_str());
            } else if (kind == "call") {
                // "call <order> <thread> <call> <function>", a TAB and each path.
                auto fields = SplitTabs(line);
                std::istringstream head(fields[0]);
                TracedCall call;
                std::string word;
                head >> word >> call.order >> call.thread >> call.call >> call.function;
                call.paths.assign(fields.begin() + 1, fields.end());
                outcome.trace.push_back(std::move(call));
            }
        }
        fs::path c = folder / "c";
        fs::path installed = c / fs::path(installFolder_.substr(3));
        std::error_code error;
        if (fs::is_directory(installed, error))
            outcome.finalTree = enumerate::TreeLines(installed);
        for (int row = 0; row < SHORTCUT_ROWS; ++row) {
            for (const fs::path& link :
                 {c / group_ / Utf8(ShortcutLinkNames[row]),
                  row < 2 ? c / layout_.desktop / Utf8(ShortcutLinkNames[row]) : fs::path()}) {
                if (!link.empty() && fs::exists(link, error) && fs::file_size(link, error) > 40)
                    ++outcome.links;
            }
        }
        // Setup's own names anywhere, and what its journal says.
        std::string prefix = SetupNamePrefix;
        for (auto it = fs::recursive_directory_iterator(c, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().filename().string().rfind(prefix, 0) != 0)
                continue;
            // Setup's own folder at the root, left empty (a look at it failed, or a kill came
            // between the journal's delete and its own), holds nothing of an install: the next
            // install takes it up again and removes it.
            if (it->path() == c / prefix && fs::is_empty(it->path(), error))
                continue;
            // A kept files' folder that holds nothing but names of files that have others too
            // (a kept file another user had hard-linked to a read-only file): setup leaves those
            // names by design, with no journal, rather than change the other file's attributes.
            auto onlyOtherNames = [&](const fs::path& folder) {
                std::error_code listed;
                int names = 0;
                for (auto below = fs::recursive_directory_iterator(folder, listed);
                     !listed && below != fs::recursive_directory_iterator();
                     below.increment(listed)) {
                    if (below->is_regular_file(listed) && below->hard_link_count(listed) < 2)
                        return false;
                    names += below->is_regular_file(listed) ? 1 : 0;
                }
                return !listed && names > 0;
            };
            if (fs::is_directory(it->path(), error) && onlyOtherNames(it->path())) {
                it.disable_recursion_pending();
                continue;
            }
            outcome.journal = true;
            if (it->path().extension() == JournalSuffix) {
                for (const auto& line : ReadLines(it->path()))
                    outcome.committed |= line.rfind("C ", 0) == 0;
            }
        }
        // The registry's record of an install that can still be undone.
        std::ifstream registryFile(folder / "registry.txt");
        std::string registryText((std::istreambuf_iterator<char>(registryFile)), {});
        winsim::Registry registry;
        std::map<std::string, std::string> shellFolders;
        if (!registryText.empty() &&
            winsim::ReadRegistryText(registryText, registry, shellFolders)) {
            for (auto hive : {winsim::Hive::LocalMachine, winsim::Hive::CurrentUser})
                outcome.record |= registry.Find(hive, winsim::KeyNames(SetupEntryKey)) != nullptr;
        }
        outcome.machine = scenario::TakeSnapshot(Roots(c, {}));
    }

    static std::vector<std::string> SplitTabs(const std::string& line) {
        std::vector<std::string> fields;
        size_t from = 0;
        for (size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
            fields.push_back(line.substr(from, tab - from));
        fields.push_back(line.substr(from));
        return fields;
    }

    // The other user's lines of events.txt (auto_user.cpp).
    static void ReadOtherUsersLine(const std::string& line, Outcome& outcome) {
        auto fields = SplitTabs(line);
        auto& other = outcome.other;
        if (fields[0] == "intruder-call") {
            other.came = true;
            other.function = fields.size() > 1 ? fields[1] : "";
            other.callPaths.assign(fields.begin() + std::min<size_t>(2, fields.size()),
                                   fields.end());
        } else if (fields[0] == "intruder" && fields.size() >= 4) {
            other.act = fields[1];
            other.error = (std::uint32_t)std::strtoul(fields[2].c_str(), nullptr, 10);
            other.words.assign(fields.begin() + 3, fields.end());
        } else if (fields[0] == "intruder-refused" && fields.size() > 1) {
            other.restRefused = (std::uint32_t)std::strtoul(fields[1].c_str(), nullptr, 10);
        } else if (fields[0] == "intruder-tree" && fields.size() > 1) {
            other.trace.trees.push_back(fields[1]);
        } else if (fields[0] == "intruder-entry" && fields.size() > 1) {
            other.trace.entries.push_back(fields[1]);
        } else if (fields[0] == "intruder-moved" && fields.size() > 1) {
            other.trace.moved.push_back(fields[1]);
        } else if (fields[0] == "started" && fields.size() > 2) {
            outcome.started.push_back({fields[1], fields[2]});
        }
    }

    Options options_;
    fs::path work_;
    Layout layout_;
    enumerate::intruder::Places places_;
    fs::path discs_;
    fs::path base_;
    fs::path installed_;
    std::string group_;
    std::string installFolder_;
    std::vector<std::string> players_; // the player's files, as snapshot paths
    std::vector<std::string> allowed_;
    scenario::MachineState before_;
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
std::optional<std::string> MessageFor(const std::string& call, int use, int exitStatus) {
    static const std::map<std::string, std::string> messages = {
        {"CoInitialize", "Coinitalize failed"},
        {"IShellLinkA::SetPath", "SetPath failed"},
        {"IShellLinkA::SetDescription", "SetDescription failed"},
        {"IShellLinkA::SetIconLocation", "SetIcon failed"},
        {"IShellLinkA::SetWorkingDirectory", "SetWork failed"},
        {"IPersistFile::Save", "Save failed"},
        {"MultiByteToWideChar", "Save failed"},

        {"ReadFile", Utf8(TextInstallFailed)},
        {"HeapAlloc", Utf8(TextInstallFailed)},
        {"HeapReAlloc", Utf8(TextInstallFailed)},
        {"FindFirstFileA", Utf8(TextInstallFailed)},
        {"FindNextFileA", Utf8(TextInstallFailed)},
    };
    if (call == "GetDiskFreeSpaceExA")
        return Utf8(TextNoSpace);
    // The opening of the shell folders key ends the process with status 0 after its message;
    // an opening of setup's own record that fails leaves the install to go on, or to fail.
    if (call == "RegOpenKeyExA")
        return exitStatus == 0 ? std::optional<std::string>(Utf8(TextRegistryFault)) : std::nullopt;
    // The first asks the install folder's volume whether it keeps access lists; the second
    // reads the first disc's label.
    if (call == "GetVolumeInformationA" && use == 2)
        return Utf8(TextInsertDisc1);
    // The first is the main thread's, for the folder browser: the install goes on without it.
    if (call == "CoInitialize" && use == 1)
        return std::nullopt;
    auto found = messages.find(call);
    if (found == messages.end())
        return std::nullopt;
    return found->second;
}

// How a run's end stands against the machine before it and a complete install.
struct Verdict {
    bool asBefore = false; // the whole machine as it was, every file byte for byte
    bool complete = false; // completely installed: the install folder, nothing else changed
    std::string why;       // when neither: what is off
};

// The first line that only one of two sorted trees has, and which.
std::string FirstDifference(const std::vector<std::string>& tree,
                            const std::vector<std::string>& complete) {
    std::vector<std::string> only;
    std::set_symmetric_difference(tree.begin(), tree.end(), complete.begin(), complete.end(),
                                  std::back_inserter(only));
    if (only.empty())
        return "none";
    bool left = std::binary_search(tree.begin(), tree.end(), only.front());
    return (left ? "has " : "lacks ") + only.front();
}

Verdict Weigh(const Enumeration& enumeration, const Outcome& outcome, const Expected& expected,
              bool allLinks) {
    Verdict verdict;
    auto changes = scenario::Changes(enumeration.before(), outcome.machine);
    // Setup's own folder at the root, left empty (a look at it failed, or a kill came between
    // the journal's delete and its own, or before the journal was made), holds nothing of an
    // install and nothing of anyone's: only administrators may write there, and the next
    // install takes it up again and removes it.
    std::string own = "added c:/" + std::string(SetupNamePrefix);
    if (std::none_of(changes.begin(), changes.end(),
                     [&](const std::string& change) { return change.rfind(own + "/", 0) == 0; }))
        std::erase(changes, own);
    // A record in the registry is a change too: the next setup would act on it.
    verdict.asBefore = changes.empty() && !outcome.record;
    if (verdict.asBefore)
        return verdict;
    if (changes.empty()) {
        verdict.why = "left the registry's record of a journal";
        return verdict;
    }
    auto outside =
        scenario::ChangesOutside(enumeration.before(), outcome.machine, enumeration.allowed());
    std::vector<std::string> players;
    for (const auto& player : enumeration.players()) {
        auto was = enumeration.before().find(player), is = outcome.machine.find(player);
        if (is == outcome.machine.end() || !(was->second == is->second))
            players.push_back(player);
    }
    if (!players.empty())
        verdict.why = "changed the player's " + players.front();
    else if (!outcome.finalTree)
        verdict.why = "the install folder went";
    else if (*outcome.finalTree != expected.complete && *outcome.finalTree == expected.before)
        verdict.why = "left the install folder as it was but changed " + changes.front();
    else if (*outcome.finalTree != expected.complete)
        verdict.why =
            "left a half-changed install folder (" + std::to_string(outcome.finalTree->size()) +
            " entries; complete has " + std::to_string(expected.complete.size()) +
            "), first difference: " + FirstDifference(*outcome.finalTree, expected.complete);
    else if (!outside.empty())
        verdict.why = "changed the machine outside its places: " + outside.front();
    else if (outcome.journal)
        verdict.why = "left setup's journal or a kept file";
    else if (outcome.record)
        verdict.why = "left the registry's record of a journal";
    else if (allLinks && outcome.links != 2 * SHORTCUT_ROWS - 1)
        verdict.why = "a complete install with " + std::to_string(outcome.links) + " links";
    else
        verdict.complete = true;
    return verdict;
}

// Why a run failed, or empty. A run that leaves setup's journal behind (a step of its rollback
// failed) is followed by the next setup, cancelled at its first prompt, which must finish the
// rollback.
std::string Judge(Enumeration& enumeration, const Plan& plan, const Outcome& outcome,
                  const Expected& expected, const std::string& name) {
    if (!outcome.ended)
        return "hung: killed after the timeout";
    if (!outcome.signal.empty())
        return "the installer was " + outcome.signal;
    bool registryFault = plan.failCall == "RegOpenKeyExA";
    // A setup that can't make sure it is the only one ends at once, as the second one does.
    if (plan.failCall == "CreateMutexA" && outcome.status == 0) {
        if (!outcome.boxes.empty() || !Weigh(enumeration, outcome, expected, false).asBefore)
            return "ended for want of its mutex, but not before anything";
        return "";
    }
    if ((outcome.status & 0xFF) != 0xFF && !(outcome.status == 0 && registryFault))
        return "ended with status " + std::to_string(outcome.status);
    if (outcome.treeAtDone && *outcome.treeAtDone != expected.complete)
        return "reported success while the install folder held " +
               std::to_string(outcome.treeAtDone->size()) + " entries, not the " +
               std::to_string(expected.complete.size()) + " of the merged discs and the player";
    bool plain = plan.failCall.empty();
    Verdict verdict = Weigh(enumeration, outcome, expected, false);
    // The shell folders key that can't be opened ends the process with the install as it stands:
    // the files in, some links maybe, the earlier links otherwise.
    if (registryFault && outcome.status == 0) {
        if (outcome.finalTree != expected.complete || outcome.journal)
            return "the registry's fault left no complete install folder";
        return "";
    }
    if (!verdict.asBefore && !verdict.complete) {
        if (!outcome.journal && !outcome.record)
            return verdict.why;
        // The next setup finishes what this one could not. A record whose journal went with
        // everything else done (its deletion failed) leaves the install as done.
        bool committed = outcome.committed;
        if (!outcome.journal) {
            Outcome files = outcome;
            files.record = false;
            Verdict done = Weigh(enumeration, files, expected, false);
            if (!done.asBefore && !done.complete)
                return done.why;
            committed = done.complete;
        }
        Outcome next =
            enumeration.Run({plan.type}, name + "-next", true, enumeration.work() / name);
        Verdict after = Weigh(enumeration, next, expected, committed);
        if (committed ? !after.complete : !after.asBefore)
            return std::string("left its journal, and the next setup did not finish the ") +
                   (committed ? "commit" : "rollback") + ": " + after.why;
        return "";
    }
    if (Shown(outcome, TextInstallFailed) && !verdict.asBefore)
        return "reported a failure but left the install";
    if (plan.cancelBefore != 0 && plain) {
        // A cancel ends as things stood when it was pressed: before the completion message, the
        // whole install undone; pressed as that message came up, too late, the install kept;
        // while the last notice is up, undone too, or kept once the install has concluded.
        if (!outcome.linksAtPress) {
            if (!verdict.complete || !outcome.treeAtDone)
                return "a cancel past the end left no completed install";
        } else if (!outcome.pressAfterDone) {
            if (outcome.treeAtDone && !verdict.complete)
                return "reported completion after the cancel, then undid the install";
            if (!outcome.treeAtDone && !verdict.asBefore)
                return "a cancel before the completion message left the install";
        }
        if (verdict.complete && outcome.links != 2 * SHORTCUT_ROWS - 1)
            return "a cancel too late left " + std::to_string(outcome.links) + " links";
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
    if (plan.cancelBefore == 0 && plain && !outcome.treeAtDone)
        return "the install did not complete";
    // A file time is no part of the copy: the install goes on to its end without it.
    if (plan.failCall == "SetFileTime" && plan.cancelBefore == 0 && !outcome.treeAtDone)
        return "a file time that could not be set stopped the install";
    if (!plain) {
        auto message = MessageFor(plan.failCall, plan.failUse, outcome.status);
        bool used = outcome.uses.count(plan.failCall) != 0 &&
                    outcome.uses.at(plan.failCall) >= plan.failUse;
        // A written record of a file that finds no room leaves the file to the rule of one
        // begun: the install goes on to its end.
        bool heap = plan.failCall == "HeapAlloc" || plan.failCall == "HeapReAlloc";
        if (heap && verdict.complete && outcome.treeAtDone)
            used = false;
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

// What a next setup showed, for the report of a run that failed after it.
std::string ShownBy(const Outcome& next) {
    std::string shown;
    for (const auto& box : next.boxes)
        shown += "\n    its box " + box;
    return shown;
}

// A killed run: the setup that comes next, into the same folder, on a copy each of what the kill
// left. Cancelled at its first prompt, it leaves the machine as it was before the killed setup
// (or, where that one had committed, completely installed); let through, the complete install.
std::string JudgeKilled(Enumeration& enumeration, const Plan& plan, const Outcome& outcome,
                        const Expected& expected, const std::string& name) {
    if (!outcome.ended)
        return "hung: killed after the timeout";
    bool died = !outcome.signal.empty();
    if (died && outcome.signal != "killed by signal 9")
        return "the installer was " + outcome.signal;
    // A kill that came after the end changes nothing: the install ended by itself.
    bool committed = outcome.committed || (!outcome.journal && !died);
    if (!died && !outcome.journal) {
        Verdict verdict = Weigh(enumeration, outcome, expected, true);
        if (!verdict.complete)
            return "ended by itself without a complete install: " + verdict.why;
    }
    if (!outcome.journal && died) {
        // Killed before the journal was made, or after it went: nothing changed, or all is done
        // (but for the registry's record of it, which the next setup must drop).
        Outcome files = outcome;
        files.record = false;
        Verdict verdict = Weigh(enumeration, files, expected, true);
        if (!verdict.asBefore && !verdict.complete)
            return "killed without a journal, the machine was left half changed: " + verdict.why;
        committed = verdict.complete;
    }
    fs::path left = enumeration.work() / name;
    Outcome cancelled = enumeration.Run({plan.type}, name + "-cancelled", true, left);
    if (!cancelled.ended || !cancelled.signal.empty() || (cancelled.status & 0xFF) != 0xFF)
        return "the next setup, cancelled, ended with status " + std::to_string(cancelled.status) +
               " " + cancelled.signal;
    Verdict afterCancel = Weigh(enumeration, cancelled, expected, true);
    if (committed ? !afterCancel.complete : !afterCancel.asBefore)
        return std::string("the next setup, cancelled at its first prompt, left the machine ") +
               (committed ? "without the complete install: " : "not as it was: ") +
               (afterCancel.why.empty() ? "it was complete" : afterCancel.why) + ShownBy(cancelled);
    Outcome through = enumeration.Run({plan.type}, name + "-through", false, left);
    if (!through.ended || !through.signal.empty() || (through.status & 0xFF) != 0xFF)
        return "the next setup, let through, ended with status " + std::to_string(through.status) +
               " " + through.signal;
    Verdict afterThrough = Weigh(enumeration, through, expected, true);
    if (!afterThrough.complete || !through.treeAtDone)
        return "the next setup, let through, left no complete install: " +
               (afterThrough.why.empty() ? "the machine was as before" : afterThrough.why) +
               ShownBy(through);
    return "";
}

struct Point {
    Plan plan;
    Outcome outcome;
    std::string failure;
    std::optional<fs::path> from = {}; // the machine the run starts on: a killed run's (none: the
                                       // machine before the install)
};

// Runs the plans on options.jobs threads, in order of the list.
void RunAll(Enumeration& enumeration, const Options& options, std::vector<Point>& points,
            const Expected& expected) {
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < points.size(); i = next++) {
            Point& point = points[i];
            std::string name = "run-" + std::to_string(i) + "-" + point.plan.type +
                               (point.plan.killBefore != 0 ? "-kill" : "");
            point.outcome = enumeration.Run(point.plan, name, false, point.from);
            point.failure =
                point.plan.killBefore != 0
                    ? JudgeKilled(enumeration, point.plan, point.outcome, expected, name)
                    : Judge(enumeration, point.plan, point.outcome, expected, name);
            if (point.failure.empty() || !options.keep) {
                for (const char* suffix : {"", "-next", "-cancelled", "-through"})
                    fs::remove_all(enumeration.work() / (name + suffix));
            }
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < std::max(1, options.jobs); ++j)
        threads.emplace_back(worker);
    for (auto& thread : threads)
        thread.join();
}

// ---- another user at every call ----

// A family of runs with the other user acting: the install (its commit included), the rollback
// after a cancel while the last notice is up, and the next setup's recovery of an install killed
// a quarter into the copy worker's calls, or at its last notice. start: the machine as the
// family's setup finds it (what a refused or blocked recovery may leave).
struct OtherUserFamily {
    std::string name;
    Plan plan;
    std::optional<fs::path> from;
    std::vector<TracedCall> calls;
    scenario::MachineState start;
};

// One run: the act planned at a thread's call, and what came of it.
struct OtherUserRun {
    const OtherUserFamily* family = nullptr;
    int thread = 0;
    int call = 0;
    std::string act;
    std::string function; // the call's, as counted
    std::string failure;  // empty: passed
    std::string ended;    // how setup ended
    std::string acted;    // what the other user did, and whether it was done
    std::string effective;
    std::string category;
    int severity = 0;
    double seconds = 0;
    std::vector<enumerate::intruder::Difference> differences;
};

std::string OnlyLine(const OtherUserRun& run) {
    std::string family = run.family->name == "install" ? "" : run.family->name + " ";
    return "intruder " + family + std::to_string(run.call) + " " + std::to_string(run.thread) +
           " " + run.act;
}

// How the installer ended, as the user saw it.
std::string EndedHow(const Outcome& outcome) {
    auto startsWith = [&](const char* format) {
        std::string text = Utf8(format);
        text = text.substr(0, text.find('%'));
        for (const auto& box : outcome.boxes) {
            std::string message = box.substr(box.find(" | ") + 3);
            if (message.rfind(text, 0) == 0)
                return true;
        }
        return false;
    };
    std::string how = outcome.treeAtDone ? "success reported" : "no success reported";
    if (Shown(outcome, TextInstallFailed))
        how += ", failure reported";
    if (startsWith(TextJournalRefused))
        how += ", the journal refused";
    if (startsWith(TextRecoveryBlocked))
        how += ", the recovery blocked";
    // That text begins with the folder's name: what follows it is what tells.
    std::string refused = Utf8(TextOwnFolderRefused);
    refused = refused.substr(refused.find("%s") + 2);
    if (std::any_of(outcome.boxes.begin(), outcome.boxes.end(),
                    [&](const std::string& box) { return box.find(refused) != std::string::npos; }))
        how += ", setup's folder refused";
    if (outcome.gaveUp)
        how += ", the user gave up";
    return how;
}

// Where a state key lies, from the most to the least grave, for the categories.
std::pair<int, std::string> PlaceOf(const Enumeration& enumeration, const std::string& key) {
    using enumerate::intruder::Under;
    if (Under(key, AdminOnlyKey))
        return {0, "the administrators-only folder"};
    if (Under(key, WindowsKey))
        return {1, "the Windows folder"};
    if (Under(key, ProfileKey))
        return {2, "the administrator's links"};
    if (Under(key, enumeration.installFolder()))
        return {4, "the install folder"};
    if (Under(key, GamesKey))
        return {5, "the players' folder"};
    return {6, "elsewhere"};
}

std::string ActKindOf(const std::string& act) {
    return act.substr(0, act.find(':'));
}

// Runs one act and judges it: nothing only administrators may change changes, and the machine
// ends as it was or completely installed, but for what the other user did (intruder.h). A run
// that leaves setup's journal or record is followed by the next setup, cancelled at its first
// prompt, whose end is judged so.
void JudgeOtherUser(Enumeration& enumeration, OtherUserRun& run,
                    const scenario::MachineState& complete, const std::string& name) {
    namespace intruder = enumerate::intruder;
    const OtherUserFamily& family = *run.family;
    Plan plan = family.plan;
    plan.intruder = std::to_string(run.thread) + " " + std::to_string(run.call) + " " + run.act;
    Outcome outcome = enumeration.Run(plan, name, false, family.from);
    run.seconds = outcome.seconds;
    run.ended = EndedHow(outcome);
    const auto& other = outcome.other;
    run.effective = other.act;
    if (!other.came) {
        run.acted = "the call never came";
    } else if (other.act.empty()) {
        run.acted = "nothing to aim at";
    } else {
        std::string words;
        for (size_t i = 0; i < other.words.size(); ++i)
            words += (i == 0 ? "" : " ") + other.words[i];
        run.acted = words + ": " +
                    (other.error != 0 ? "refused (error " + std::to_string(other.error) + ")"
                     : other.restRefused != 0 ? "done, the rest refused (error " +
                                                    std::to_string(other.restRefused) + ")"
                                              : "done");
    }
    if (other.came)
        run.acted = "at " + other.function +
                    (other.callPaths.empty() ? "" : " " + other.callPaths.front()) + ", " +
                    run.acted;
    auto fail = [&](const std::string& why, int severity, const std::string& category) {
        run.failure = why;
        run.severity = severity;
        run.category = category + " (" +
                       ActKindOf(run.effective.empty() ? run.act : run.effective) + " at " +
                       (other.came ? other.function : run.function) + ")";
    };
    auto endedBadly = [](const Outcome& ended) -> std::string {
        if (!ended.ended)
            return "hung: killed after the timeout";
        if (!ended.signal.empty())
            return "the installer was " + ended.signal;
        if ((ended.status & 0xFF) != 0xFF)
            return "ended with status " + std::to_string(ended.status);
        return "";
    };
    if (std::string why = endedBadly(outcome); !why.empty())
        return fail(why, 3, why.substr(0, why.find(':')));
    // Whatever else: what only administrators may change stays as it was, in this run too.
    intruder::Trace none;
    // While a journal stays, so do the copies it kept of the links it replaced, beside them.
    auto guarded = [&](const Outcome& ended) {
        std::vector<intruder::Difference> changed;
        for (const auto& difference :
             intruder::Differences(enumeration.before(), ended.machine, none)) {
            bool link = std::any_of(
                enumeration.allowed().begin(), enumeration.allowed().end(),
                [&](const std::string& place) { return intruder::Under(difference.path, place); });
            std::string name = difference.path.substr(difference.path.rfind('/') + 1);
            bool keptLink = ended.journal && difference.what == "added" &&
                            name.rfind(SetupNamePrefix, 0) == 0 &&
                            name.size() > std::string(KeptSuffix).size() &&
                            name.compare(name.size() - std::string(KeptSuffix).size(),
                                         std::string::npos, KeptSuffix) == 0;
            if (PlaceOf(enumeration, difference.path).first <= 2 && !link && !keptLink)
                changed.push_back(difference);
        }
        return changed;
    };
    auto describe = [](const std::vector<intruder::Difference>& differences) {
        std::string text;
        for (size_t i = 0; i < differences.size() && i < 6; ++i)
            text += (i == 0 ? "" : ", ") + differences[i].path + " " + differences[i].what;
        if (differences.size() > 6)
            text += " and " + std::to_string(differences.size() - 6) + " more";
        return text;
    };
    auto failOver = [&](const std::vector<intruder::Difference>& differences,
                        const std::string& when) {
        run.differences = differences;
        // The gravest place changed names the category.
        auto gravest = std::min_element(
            differences.begin(), differences.end(), [&](const auto& a, const auto& b) {
                return PlaceOf(enumeration, a.path).first < PlaceOf(enumeration, b.path).first;
            });
        auto [severity, place] = PlaceOf(enumeration, gravest->path);
        std::string what = gravest->what;
        fail(when + describe(differences), severity, place + ": " + what.substr(0, what.find(',')));
    };
    if (auto changed = guarded(outcome); !changed.empty())
        return failOver(changed, "");
    // The program setup starts as the administrator is the game it installed.
    static const char digits[] = "0123456789abcdef";
    std::string game;
    for (char c : std::string(GameContent)) {
        game += digits[(unsigned char)c >> 4];
        game += digits[(unsigned char)c & 15];
    }
    for (const auto& [program, content] : outcome.started) {
        if (content != "missing" && content != game)
            return fail("started, as the administrator, " + program +
                            ", which held what another user wrote",
                        3, "started another user's program as the administrator");
    }
    // A journal or record left: the next setup finishes what this one could not.
    const Outcome* last = &outcome;
    Outcome next;
    std::string when;
    if (outcome.journal || outcome.record) {
        next = enumeration.Run({plan.type}, name + "-next", true, enumeration.work() / name);
        if (std::string why = endedBadly(next); !why.empty())
            return fail("left its journal, and the next setup " + why, 3,
                        "the next setup " + why.substr(0, why.find(':')));
        if (auto changed = guarded(next); !changed.empty())
            return failOver(changed, "left its journal, and the next setup changed ");
        // What the other user made of the journal or of the way to what it names stands: the
        // next setup must refuse to carry it out, and say so, with nothing changed (above).
        std::string how = EndedHow(next);
        bool told =
            how.find("refused") != std::string::npos || how.find("blocked") != std::string::npos;
        bool ownFolder = how.find("setup's folder refused") != std::string::npos;
        if ((next.journal || next.record) && told && other.error == 0 && !other.act.empty() &&
            (ActKindOf(other.act) != "drop" || ownFolder))
            return;
        if (next.journal || next.record)
            return fail("left its journal, and the next setup did not finish it (" +
                            EndedHow(next) + ")",
                        4, "a journal the next setup could not finish");
        last = &next;
        when = "left its journal; after the next setup: ";
    }
    bool success = outcome.treeAtDone.has_value();
    std::vector<std::pair<const scenario::MachineState*, bool>> targets; // with timeless links
    if (family.name == "install") {
        targets.push_back({success ? &complete : &enumeration.before(), success});
    } else if (family.name == "rollback") {
        targets = {{&enumeration.before(), false}, {&complete, true}};
    } else {
        targets.push_back({success ? &complete : &enumeration.before(), success});
        if (!success)
            targets.push_back({&family.start, false});
    }
    // A link setup wrote after the other user changed what is in the install folder (or swapped
    // it, or a folder above it) may describe a file of that user's at its target: what its header
    // says of that file is theirs.
    bool targetSwapped =
        other.trace.done &&
        std::any_of(other.trace.trees.begin(), other.trace.trees.end(), [&](const auto& tree) {
            return intruder::Under(enumeration.installFolder(), tree) ||
                   intruder::Under(tree, enumeration.installFolder());
        });
    std::vector<intruder::Difference> first;
    for (const auto& [target, timeless] : targets) {
        auto links = timeless ? enumeration.LinkKeys() : std::set<std::string>{};
        auto differences = intruder::Differences(*target, last->machine, other.trace, links,
                                                 targetSwapped ? links : std::set<std::string>{});
        // What setup's own folder still holds where no journal is left: names of files that
        // have others too, which setup leaves by design (Read).
        if (!last->journal)
            std::erase_if(differences, [](const intruder::Difference& difference) {
                return intruder::Under(difference.path, "c:/" + std::string(SetupNamePrefix));
            });
        if (differences.empty())
            return;
        if (first.empty())
            first = differences;
    }
    failOver(first, when + (success ? "against the complete install: "
                                    : "against the machine as it was: "));
}

size_t CallsThatCanFail(const Outcome& plain, const Outcome& cancelled) {
    std::map<std::string, int> calls = plain.uses;
    calls.insert(cancelled.uses.begin(), cancelled.uses.end());
    return calls.size();
}

int Usage();
// The families of runs with the other user: each one's plan, machine and calls, from counting
// runs on the other user's machine. names: those wanted (all when empty). Prints why and gives
// nothing when a counting run does not end as it should.
std::optional<std::vector<OtherUserFamily>> OtherUserFamilies(Enumeration& enumeration,
                                                              const std::string& type,
                                                              const std::set<std::string>& names,
                                                              scenario::MachineState& complete,
                                                              const Expected& expected) {
    auto wanted = [&](const std::string& name) { return names.empty() || names.count(name) != 0; };
    Plan plain{type};
    plain.trace = true;
    Outcome counted = enumeration.Run(plain, "count");
    Verdict whole = Weigh(enumeration, counted, expected, true);
    if (!whole.complete || !counted.treeAtDone || counted.trace.empty()) {
        std::printf("FAIL the other user's machine: a plain install did not complete: %s\n",
                    whole.why.c_str());
        return std::nullopt;
    }
    complete = counted.machine;
    std::vector<OtherUserFamily> families;
    if (wanted("install"))
        families.push_back({"install", {type}, std::nullopt, counted.trace, enumeration.before()});
    if (wanted("rollback")) {
        Plan cancelled{type, "", 0, counted.lastNotice};
        cancelled.trace = true;
        Outcome rolled = enumeration.Run(cancelled, "count-rollback");
        Verdict undone = Weigh(enumeration, rolled, expected, false);
        if (!undone.asBefore || rolled.cancelOrder == 0) {
            std::printf("FAIL the other user's machine: a cancel while the last notice is up did "
                        "not undo the install: %s\n",
                        undone.why.c_str());
            return std::nullopt;
        }
        cancelled.trace = false;
        OtherUserFamily family{"rollback", cancelled, std::nullopt, {}, enumeration.before()};
        for (const auto& call : rolled.trace) {
            if (call.order >= rolled.cancelOrder)
                family.calls.push_back(call);
        }
        families.push_back(std::move(family));
    }
    const std::pair<const char*, int> recoveries[] = {
        {"recovery", std::max(1, counted.workerCalls / 4)}, {"recovery-late", counted.lastNotice}};
    for (const auto& [name, killAt] : recoveries) {
        if (!wanted(name))
            continue;
        std::string baseName = std::string("base-") + name;
        Outcome killed = enumeration.Run({type, "", 0, 0, killAt, false, 2}, baseName);
        fs::path baseMachine = enumeration.work() / baseName;
        Plan next{type};
        next.trace = true;
        Outcome recovered = enumeration.Run(next, baseName + "-count", false, baseMachine);
        Verdict done = Weigh(enumeration, recovered, expected, true);
        if (!killed.journal || !done.complete) {
            std::printf("FAIL the other user's machine: the setup after one killed before worker "
                        "call %d %s: %s\n",
                        killAt, killed.journal ? "did not complete" : "found no journal",
                        done.why.c_str());
            return std::nullopt;
        }
        OtherUserFamily family{name, {type}, baseMachine, {}, killed.machine};
        // The main thread's calls and those of the thread that undoes the killed install.
        for (const auto& call : recovered.trace) {
            if (call.thread == 0 || call.thread == 1)
                family.calls.push_back(call);
        }
        families.push_back(std::move(family));
    }
    return families;
}

// Another user at every call of each family: one act a call, those that fit its calls taken in
// turn (every one that fits, with everyAct), every N-th run with every.
int RunOtherUser(const Options& options, const fs::path& work) {
    auto started = Clock::now();
    Enumeration enumeration(options, work, OtherUserLayout());
    std::string type = options.types.front();
    auto expected = enumeration.ExpectedTrees(type);
    scenario::MachineState complete;
    auto families = OtherUserFamilies(enumeration, type, {}, complete, expected);
    if (!families)
        return 1;
    std::vector<OtherUserRun> runs;
    int index = 0;
    std::map<std::string, int> acts; // by act: runs planned
    for (const auto& family : *families) {
        std::map<std::string, int> turns; // by function: its calls so far
        for (const auto& call : family.calls) {
            std::vector<std::string> paths;
            for (const auto& path : call.paths)
                paths.push_back(winsim::Utf8ToCp950(path));
            auto fitting = enumerate::intruder::ActsFor(call.function, paths, enumeration.places());
            int turn = turns[call.function]++;
            std::vector<enumerate::intruder::Act> chosen;
            if (options.everyAct)
                chosen = fitting;
            else
                chosen = {fitting[(size_t)turn % fitting.size()]};
            for (const auto& act : chosen) {
                if (index++ % options.every != 0)
                    continue;
                OtherUserRun run;
                run.family = &family;
                run.thread = call.thread;
                run.call = call.call;
                run.act = enumerate::intruder::Name(act);
                run.function = call.function;
                runs.push_back(run);
                ++acts[ActKindOf(run.act)];
            }
        }
    }
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i = next++; i < runs.size(); i = next++) {
            std::string name = "other-" + std::to_string(i);
            JudgeOtherUser(enumeration, runs[i], complete, name);
            if (runs[i].failure.empty() || !options.keep) {
                for (const char* suffix : {"", "-next"})
                    fs::remove_all(enumeration.work() / (name + suffix));
            }
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < std::max(1, options.jobs); ++j)
        threads.emplace_back(worker);
    for (auto& thread : threads)
        thread.join();

    // Every run that broke the rule, then the kinds of failure, gravest first.
    std::map<std::string, std::pair<int, std::vector<const OtherUserRun*>>> categories;
    std::map<std::string, std::pair<int, int>> byFamily; // runs, failed
    int failed = 0, refused = 0, aimless = 0, succeeded = 0;
    for (const auto& run : runs) {
        auto& counts = byFamily[run.family->name];
        ++counts.first;
        refused += run.acted.find(": refused") != std::string::npos ? 1 : 0;
        aimless += run.effective.empty() ? 1 : 0;
        succeeded += run.ended.rfind("success reported", 0) == 0 ? 1 : 0;
        if (run.failure.empty())
            continue;
        ++failed;
        ++counts.second;
        auto& category = categories[run.category];
        category.first = run.severity;
        category.second.push_back(&run);
        std::printf("FAIL %s: %s; %s; %s\n", OnlyLine(run).c_str(), run.acted.c_str(),
                    run.ended.c_str(), run.failure.c_str());
    }
    std::vector<std::pair<std::string, std::pair<int, std::vector<const OtherUserRun*>>>> sorted(
        categories.begin(), categories.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.second.first != b.second.first ? a.second.first < b.second.first
                                                : a.second.second.size() > b.second.second.size();
    });
    if (!sorted.empty())
        std::printf("the kinds of failure:\n");
    for (const auto& [category, found] : sorted)
        std::printf("  %zu: %s; e.g. --only \"%s\"\n", found.second.size(), category.c_str(),
                    OnlyLine(*found.second.front()).c_str());
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    double slowest = 0;
    for (const auto& run : runs)
        slowest = std::max(slowest, run.seconds);
    std::string perFamily, perAct;
    for (const auto& family : *families) {
        auto counts = byFamily[family.name];
        perFamily += (perFamily.empty() ? "" : ", ") + family.name + " " +
                     std::to_string(family.calls.size()) + " calls, " +
                     std::to_string(counts.first) + " runs, " + std::to_string(counts.second) +
                     " failed";
    }
    for (const auto& [act, count] : acts)
        perAct += (perAct.empty() ? "" : ", ") + act + " " + std::to_string(count);
    std::printf("another user at every call (%s install): %s; acts planned: %s; %d refused, %d "
                "with nothing to aim at, %d reported success; %zu runs, %d failed in %zu kinds; "
                "%.1f s, slowest run %.1f s\n",
                type.c_str(), perFamily.c_str(), perAct.c_str(), refused, aimless, succeeded,
                runs.size(), failed, sorted.size(), seconds, slowest);
    std::fflush(stdout);
    return failed;
}

// One run of the other user's: "intruder [rollback|recovery|recovery-late] K [THREAD] ACT".
int OtherUserOnly(const Options& options, const fs::path& work, const std::string& only) {
    std::istringstream words(only);
    std::vector<std::string> parts;
    for (std::string word; words >> word;)
        parts.push_back(word);
    size_t at = 1;
    std::string familyName = "install";
    if (at < parts.size() &&
        (parts[at] == "rollback" || parts[at] == "recovery" || parts[at] == "recovery-late"))
        familyName = parts[at++];
    OtherUserRun run;
    run.thread = 2;
    if (at >= parts.size() || (run.call = std::atoi(parts[at++].c_str())) < 1)
        return Usage();
    if (at + 1 < parts.size())
        run.thread = std::atoi(parts[at++].c_str());
    if (at + 1 != parts.size() || !enumerate::intruder::ParseAct(parts[at]))
        return Usage();
    run.act = parts[at];
    Enumeration enumeration(options, work, OtherUserLayout());
    std::string type = options.types.front();
    auto expected = enumeration.ExpectedTrees(type);
    scenario::MachineState complete;
    auto families = OtherUserFamilies(enumeration, type, {familyName}, complete, expected);
    if (!families || families->empty())
        return 1;
    run.family = &families->front();
    JudgeOtherUser(enumeration, run, complete, "only");
    std::printf("%s %s: %s; %s%s%s\n", run.failure.empty() ? "PASS" : "FAIL", OnlyLine(run).c_str(),
                run.acted.c_str(), run.ended.c_str(), run.failure.empty() ? "" : "; ",
                run.failure.c_str());
    for (const auto& difference : run.differences)
        std::printf("    %s %s\n", difference.path.c_str(), difference.what.c_str());
    std::printf("kept: %s\n", (enumeration.work() / "only").c_str());
    return run.failure.empty() ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr, "usage: enumerate --setup PATH [--types normal,minimal] "
                         "[--what cancel,fault,kill,intruder] [--acts one|every] [--jobs N] "
                         "[--every N] [--timeout SECONDS] [--keep] [--work FOLDER] "
                         "[--only \"cancel K\"|\"kill K "
                         "[THREAD]\"|\"power K [THREAD]\"|\"CALL K\"|\"intruder "
                         "[rollback|recovery|recovery-late] K [THREAD] ACT\"]\n");
    return 2;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        parts.push_back(part);
    return parts;
}

// The calls before which a kill (and, where writes were not yet flushed, a power cut) is
// replayed: every call of every thread of the installer, and one past the last of each; power
// cuts up to the last notice (after it the install can no longer be undone, and a power cut
// may take what the system had not yet written of the installed files, as for any program).
// The main thread makes no call while writes wait until the install has ended.
void KillPoints(const Outcome& counted, int every, std::vector<Point>& points,
                const std::string& type) {
    int index = 0;
    for (const auto& [thread, calls] : counted.threadCalls) {
        for (int k = 1; k <= calls + 1; ++k) {
            if (index++ % every == 0)
                points.push_back({{type, "", 0, 0, k, false, thread}, {}, ""});
        }
    }
    for (const auto& [thread, runs] : counted.unflushed) {
        if (thread == 0)
            continue;
        for (const auto& [first, last] : runs) {
            for (int k = first; k <= last && (thread != 2 || k <= counted.lastNotice); ++k) {
                if (index++ % every == 0)
                    points.push_back({{type, "", 0, 0, k, true, thread}, {}, ""});
            }
        }
    }
}

// A new folder for the runs' machines, in chosen, else in memory, else in the temporary folder;
// empty when none can be made. Every run makes and deletes a few hundred small files: on a disk's
// file system (ext4 looks through its inode tables for one not lately freed) that costs most of
// a run's time, in memory next to nothing. The memory's file system must keep the attributes
// winsim keeps in extended attributes (tmpfs does from Linux 6.6) and have room to spare.
std::string WorkFolder(const std::optional<std::string>& chosen) {
    auto make = [](const fs::path& in) {
        std::string folder = (in / "enumerate-XXXXXX").string();
        return ::mkdtemp(folder.data()) != nullptr ? folder : std::string();
    };
    if (chosen)
        return make(*chosen);
    constexpr unsigned long long RoomWanted = 2ull << 30;
    struct statvfs room {};
    if (::statvfs("/dev/shm", &room) == 0 &&
        (unsigned long long)room.f_bavail * room.f_frsize >= RoomWanted) {
        std::string folder = make("/dev/shm");
        if (!folder.empty()) {
            std::string probe = folder + "/probe";
            std::ofstream(probe).put('x');
            bool kept = ::setxattr(probe.c_str(), "user.winsim.probe", "1", 1, 0) == 0;
            fs::remove(probe);
            if (kept)
                return folder;
            fs::remove(folder);
        }
    }
    return make(fs::temp_directory_path());
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
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
            options.kills = std::count(what.begin(), what.end(), "kill") != 0;
            options.intruders = std::count(what.begin(), what.end(), "intruder") != 0;
        } else if (argument == "--acts" && more) {
            std::string acts = argv[++i];
            if (acts != "one" && acts != "every")
                return Usage();
            options.everyAct = acts == "every";
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
        else if (argument == "--work" && more)
            options.work = argv[++i];
        else
            return Usage();
    }
    if (options.setup.empty())
        return Usage();

    std::string base = WorkFolder(options.work);
    if (base.empty()) {
        std::perror("enumerate: mkdtemp");
        return 2;
    }
    if (options.only && options.only->rfind("intruder", 0) == 0) {
        int result = OtherUserOnly(options, fs::path(base) / "intruder", *options.only);
        return result == 0 ? 0 : result == 2 ? 2 : 1;
    }
    Enumeration enumeration(options, base);
    int failed = 0;
    if (options.only) {
        std::istringstream words(*options.only);
        std::string what;
        int k = 0;
        int thread = 2;
        words >> what >> k >> thread;
        Plan plan{options.types.front()};
        if (what == "cancel")
            plan.cancelBefore = k;
        else if (what == "kill" || what == "power")
            plan = {plan.type, "", 0, 0, k, what == "power", thread};
        else
            plan = {plan.type, what, k, 0};
        auto expected = enumeration.ExpectedTrees(plan.type);
        Outcome outcome = enumeration.Run(plan, "only");
        std::string why = plan.killBefore != 0
                              ? JudgeKilled(enumeration, plan, outcome, expected, "only")
                              : Judge(enumeration, plan, outcome, expected, "only");
        std::printf("%s %s: status %d %s, cancel pressed before worker call %d with %d "
                    "shortcuts, %d shortcuts at the end%s%s\n",
                    why.empty() ? "PASS" : "FAIL", plan.Name().c_str(), outcome.status,
                    outcome.signal.c_str(), outcome.cancelAt, outcome.linksAtPress.value_or(-1),
                    outcome.links, why.empty() ? "" : ": ", why.c_str());
        for (const auto& box : outcome.boxes)
            std::printf("    box %s\n", box.c_str());
        std::printf("kept: %s\n", (fs::path(base) / "only").c_str());
        return why.empty() ? 0 : 1;
    }
    for (const auto& type : options.types) {
        if (!options.cancels && !options.faults && !options.kills)
            break;
        auto started = Clock::now();
        auto expected = enumeration.ExpectedTrees(type);

        // The counting runs: a whole install, and one cancelled during the first disc (the
        // calls only a cancel makes, the rollback's among them, are counted there).
        Plan plain{type};
        Outcome counted = enumeration.Run(plain, "count-" + type);
        std::string why = Judge(enumeration, plain, counted, expected, "count-" + type);
        if (why.empty() && Weigh(enumeration, counted, expected, true).complete == false)
            why = Weigh(enumeration, counted, expected, true).why;
        if (why.empty() && counted.workerCalls == 0)
            why = "the copy worker made no call";
        if (!why.empty()) {
            std::printf("FAIL %s: %s\n", plain.Name().c_str(), why.c_str());
            ++failed;
            continue;
        }
        Plan cancelled{type, "", 0, 10};
        Outcome cancelCounted = enumeration.Run(cancelled, "count-cancel-" + type);

        std::vector<Point> cancels, faults, kills;
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
        if (options.kills)
            KillPoints(counted, options.every, kills, type);
        RunAll(enumeration, options, cancels, expected);
        RunAll(enumeration, options, faults, expected);
        RunAll(enumeration, options, kills, expected);

        // The next setup's recovery, killed (or its power cut) at every call of its main thread
        // and of the thread that undoes the interrupted install: the setup after it must finish
        // the rollback. Its machines: an install killed at its last notice (everything written,
        // nothing committed), and one killed a quarter into the worker's calls (during the first
        // disc); of the first install type only, as the recovery is the same for both.
        std::vector<Point> recoveries;
        if (options.kills && type == options.types.front()) {
            int bases[] = {counted.lastNotice, std::max(1, counted.workerCalls / 4)};
            for (int b = 0; b < 2; ++b) {
                std::string baseName = "recovery-base-" + type + "-" + std::to_string(b);
                Plan basePlan{type, "", 0, 0, bases[b], false, 2};
                enumeration.Run(basePlan, baseName);
                fs::path baseMachine = enumeration.work() / baseName;
                Outcome next = enumeration.Run({type}, baseName + "-count", false, baseMachine);
                int index = 0;
                for (int thread : {0, 1}) {
                    auto calls = next.threadCalls.find(thread);
                    for (int k = 1; calls != next.threadCalls.end() && k <= calls->second + 1;
                         ++k) {
                        if (index++ % options.every == 0)
                            recoveries.push_back(
                                {{type, "", 0, 0, k, false, thread}, {}, "", baseMachine});
                    }
                    // The main thread writes nothing until the next setup's own install has
                    // ended (see KillPoints).
                    auto runs = next.unflushed.find(thread);
                    for (const auto& [first, last] : runs == next.unflushed.end() || thread == 0
                                                         ? std::vector<std::pair<int, int>>{}
                                                         : runs->second) {
                        for (int k = first; k <= last; ++k) {
                            if (index++ % options.every == 0)
                                recoveries.push_back(
                                    {{type, "", 0, 0, k, true, thread}, {}, "", baseMachine});
                        }
                    }
                }
            }
            RunAll(enumeration, options, recoveries, expected);
        }

        int runFailures = 0;
        for (const auto* points : {&cancels, &faults, &kills, &recoveries}) {
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
        for (const auto* points : {&cancels, &faults, &kills, &recoveries})
            for (const auto& point : *points)
                slowest = std::max(slowest, point.outcome.seconds);
        size_t powerCuts = std::count_if(kills.begin(), kills.end(),
                                         [](const Point& point) { return point.plan.powerCut; });
        size_t recoveryCuts = std::count_if(recoveries.begin(), recoveries.end(),
                                            [](const Point& point) { return point.plan.powerCut; });
        std::string threads;
        for (const auto& [thread, calls] : counted.threadCalls)
            threads +=
                (threads.empty() ? "" : ", ") + ThreadName(thread) + " " + std::to_string(calls);
        std::printf("%s install: %d cancel points (the copy worker's calls), %d fault points "
                    "(%zu calls that can fail), %zu kill points (calls of %s) and %zu power cuts, "
                    "%zu kill points and %zu power cuts in the next setup's recovery; %zu cancel, "
                    "%zu fault, %zu kill and %zu recovery runs, %d failed; %.1f s, slowest run "
                    "%.1f s\n",
                    type.c_str(), counted.workerCalls + 1, faultPoints,
                    CallsThatCanFail(counted, cancelCounted), kills.size() - powerCuts,
                    threads.c_str(), powerCuts, recoveries.size() - recoveryCuts, recoveryCuts,
                    cancels.size(), faults.size(), kills.size(), recoveries.size(), runFailures,
                    seconds, slowest);
        std::fflush(stdout);
        failed += runFailures;
    }
    if (options.intruders)
        failed += RunOtherUser(options, fs::path(base) / "intruder");
    if (failed == 0 || !options.keep)
        fs::remove_all(base);
    else
        std::printf("kept: %s\n", base.c_str());
    return failed == 0 ? 0 : 1;
}

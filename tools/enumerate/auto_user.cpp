// enumerate-setup: the installer over winsim with a user who installs whatever happens, for the
// replays of tools/enumerate. The machine folder (WINSIM_MACHINE) names the plan: the call that
// fails or the call before which cancel is pressed (machine.txt); what the user saw goes to
// events.txt there, the calls counted to calls.txt.
//
//   ENUMERATE_DISCS=folder   the discs disc1, disc2 and disc3, for the prompts
//   ENUMERATE_TYPE=minimal   picks the minimal install (default: normal)
//   ENUMERATE_CANCEL_PROMPT=1  cancels the install at its first disc prompt (the prompt's Cancel)
//   ENUMERATE_FOLDER=path    types that folder (UTF-8) into the setup dialog before the start
//   ENUMERATE_TRACE=1        keeps every call with the paths it names (calls.txt)
//
// Where the machine folder holds intruder.txt, another user acts once: its first line,
// "act <thread> <call> <act>", says at which call of which thread, and what (intruder.h); the
// lines after it are the places that user aims at (intruder::Load). What the act was, what it
// reached, and the machine just before and after it go to events.txt, intruder-before.txt and
// intruder-after.txt. Every program setup starts is noted with what its file then holds.
//
// The user presses start once, says yes to the confirmation and no to DirectX, answers every
// other box with its first button, inserts the disc a prompt asks for (unless the user has
// pressed cancel: then the prompt is only answered), leaves the setup dialog
// when it stays open after the start, and gives up with cancel when the install dialog stands
// still for seconds (its copy worker could not be started). When the completion message comes,
// it writes down what the install folder holds at that moment; when the last notice comes, how
// many calls the copy worker has made (the notice's among them).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <sstream>
#include <sys/stat.h>

#include "base/install_state.h"
#include "base/product_constants.h"
#include "call_points.h"
#include "desktop.h"
#include "intruder.h"
#include "machine.h"
#include "other_user.h"
#include "process.h"
#include "resources/resource.h"
#include "snapshot.h"
#include "tree.h"

namespace fs = std::filesystem;
namespace desktop = winsim::desktop;
using Clock = std::chrono::steady_clock;

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class AutoUser : public winsim::User {
  public:
    bool Start(std::string& why) override {
        {
            std::lock_guard lock(winsim::machineLock());
            folder_ = winsim::machine().folder;
        }
        discs_ = Environment("ENUMERATE_DISCS");
        minimal_ = Environment("ENUMERATE_TYPE") == "minimal";
        cancelAtPrompt_ = Environment("ENUMERATE_CANCEL_PROMPT") == "1";
        installRoot_ = winsim::Utf8ToCp950(Environment("ENUMERATE_FOLDER"));
        if (folder_.empty() || discs_.empty()) {
            why = "WINSIM_MACHINE and ENUMERATE_DISCS are needed";
            return false;
        }
        if (Environment("ENUMERATE_TRACE") == "1")
            winsim::calls::TraceCalls();
        if (!PlanIntruder(why))
            return false;
        winsim::calls::WatchCancelPress([this] { NotePress(); });
        std::thread([this] { Run(); }).detach();
        return true;
    }

  private:
    // The other user's act, when the machine folder plans one.
    bool PlanIntruder(std::string& why) {
        std::ifstream in(fs::path(folder_) / "intruder.txt", std::ios::binary);
        if (!in)
            return true;
        std::string first, rest((std::istreambuf_iterator<char>(in)), {});
        size_t cut = rest.find('\n');
        first = rest.substr(0, cut);
        rest = cut == std::string::npos ? "" : rest.substr(cut + 1);
        std::istringstream words(first);
        std::string word, name;
        int thread = 0, call = 0;
        words >> word >> thread >> call >> name;
        auto act = enumerate::intruder::ParseAct(name);
        if (word != "act" || call < 1 || !act || !enumerate::intruder::Load(rest, places_)) {
            why = "intruder.txt: no act or places";
            return false;
        }
        winsim::calls::AtThreadCall(
            thread, call, [this, act = *act](const winsim::calls::Call& at) { Intrude(act, at); });
        // What each program started holds as setup starts it, after the act.
        for (int k = 1; k <= 4; ++k)
            winsim::calls::AtCall("WinExec", k, -1,
                                  [this](const winsim::calls::Call& at) { NoteStarted(at); });
        return true;
    }

    static enumerate::intruder::There ThereAt(const std::string& path) {
        auto host = winsim::HostPath(path);
        struct stat info;
        if (!host || ::lstat(host->c_str(), &info) != 0)
            return enumerate::intruder::There::Nothing;
        if (S_ISDIR(info.st_mode) ||
            (S_ISLNK(info.st_mode) && ::stat(host->c_str(), &info) == 0 && S_ISDIR(info.st_mode)))
            return enumerate::intruder::There::Folder;
        return enumerate::intruder::There::File;
    }

    // Setup's journal where the other user finds it: in the install folder or a folder above
    // it, or in a folder of setup's own name there; read as that user.
    std::optional<enumerate::intruder::Journal> FindJournal() const {
        std::string prefix = KeptPrefix, suffix = JournalSuffix;
        auto isJournal = [&](const std::string& name) {
            return name.size() > prefix.size() + suffix.size() && name.rfind(prefix, 0) == 0 &&
                   name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        };
        std::vector<std::string> folders;
        for (std::string at = places_.installFolder; !at.empty();
             at = enumerate::intruder::IsRoot(at) ? "" : enumerate::intruder::FolderOf(at)) {
            folders.push_back(at);
            auto host = winsim::HostPath(at);
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(host.value_or("/nonexistent"), error)) {
                std::string name = winsim::Utf8ToCp950(entry.path().filename().string());
                if (name.rfind(SetupNamePrefix, 0) == 0 && entry.is_directory(error))
                    folders.push_back((at.back() == '\\' ? at : at + "\\") + name);
            }
        }
        for (const auto& folder : folders) {
            auto host = winsim::HostPath(folder);
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(host.value_or("/nonexistent"), error)) {
                std::string name = winsim::Utf8ToCp950(entry.path().filename().string());
                if (!isJournal(name))
                    continue;
                enumerate::intruder::Journal journal;
                journal.path = (folder.back() == '\\' ? folder : folder + "\\") + name;
                if (winsim::ReadAsOtherUser(journal.path, journal.content) == 0)
                    return journal;
            }
        }
        return std::nullopt;
    }

    // A Windows path as a key of the machine's state ("c:/Games/kelvo").
    static std::optional<std::string> KeyOf(const std::string& path) {
        char letter = winsim::DriveLetterOf(path);
        auto host = winsim::HostPath(path);
        std::string root;
        {
            std::lock_guard lock(winsim::machineLock());
            winsim::Drive* drive = winsim::machine().drive(letter);
            root = drive != nullptr ? drive->hostFolder : "";
        }
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        if (!host || root.empty() || host->rfind(root, 0) != 0)
            return std::nullopt;
        return std::string(1, letter) + ":" + host->substr(root.size());
    }

    static scenario::MachineState FixedDrives() {
        std::vector<scenario::SnapshotRoot> roots;
        {
            std::lock_guard lock(winsim::machineLock());
            for (const auto& [letter, drive] : winsim::machine().drives) {
                if (drive.kind == winsim::DriveKind::Fixed)
                    roots.push_back({std::string(1, letter) + ":", drive.hostFolder, {}});
            }
        }
        return scenario::TakeSnapshot(roots);
    }

    // Just before the call does anything: the planned act, or, where it has nothing to aim at,
    // the next one that fits the call.
    void Intrude(const enumerate::intruder::Act& planned, const winsim::calls::Call& call) {
        namespace intruder = enumerate::intruder;
        std::string where = call.function;
        for (const auto& path : call.paths)
            where += "\t" + winsim::Cp950ToUtf8(path);
        Note("intruder-call\t" + where);
        auto acts = intruder::ActsFor(call.function, call.paths, places_);
        auto at = std::find(acts.begin(), acts.end(), planned);
        std::rotate(acts.begin(), at == acts.end() ? acts.begin() : at, acts.end());
        if (at == acts.end())
            acts.insert(acts.begin(), planned);
        auto journal = FindJournal();
        std::optional<winsim::OtherUserAct> act;
        intruder::Act chosen = planned;
        for (const auto& candidate : acts) {
            act = intruder::PlanAct(candidate, call.paths, places_, ThereAt, journal);
            if (act) {
                chosen = candidate;
                break;
            }
        }
        if (!act) {
            Note("intruder\tnone");
            return;
        }
        auto before = FixedDrives();
        winsim::OtherUserAct done;
        std::uint32_t error = winsim::ActAsOtherUser(*act, &done);
        auto after = FixedDrives();
        // Refused after a rename aside that a thread of setup's made impossible to take back
        // (it took the name meanwhile): the rename is what the other user did.
        if (error != 0 && !done.kind.empty()) {
            Note("intruder-refused\t" + std::to_string(error));
            act = done;
            error = 0;
        }
        auto reach = intruder::ReachOf(*act);
        scenario::SaveSnapshot(before, fs::path(folder_) / "intruder-before.txt");
        scenario::SaveSnapshot(after, fs::path(folder_) / "intruder-after.txt");
        std::string line =
            "intruder\t" + intruder::Name(chosen) + "\t" + std::to_string(error) + "\t" + act->kind;
        for (size_t i = 0; i < act->arguments.size(); ++i) {
            bool content = i == 1 && (act->kind == "file" || act->kind == "write");
            line += "\t" + (content ? std::to_string(act->arguments[i].size()) + " bytes"
                                    : winsim::Cp950ToUtf8(act->arguments[i]));
        }
        Note(line);
        for (const auto& [kind, paths] :
             {std::pair{"tree", &reach.trees}, std::pair{"entry", &reach.entries},
              std::pair{"moved", &reach.moved}}) {
            for (const auto& path : *paths) {
                if (auto key = KeyOf(path))
                    Note(std::string("intruder-") + kind + "\t" + *key);
            }
        }
    }

    void NoteStarted(const winsim::calls::Call& call) {
        if (call.paths.empty())
            return;
        auto host = winsim::HostPath(call.paths.front());
        std::ifstream in(host.value_or("/nonexistent"), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (char c : content.substr(0, 256)) {
            hex += digits[(unsigned char)c >> 4];
            hex += digits[(unsigned char)c & 15];
        }
        Note("started\t" + winsim::Cp950ToUtf8(call.paths.front()) + "\t" + (in ? hex : "missing"));
    }

    void Note(const std::string& line) {
        std::lock_guard lock(logLock_);
        std::ofstream(fs::path(folder_) / "events.txt", std::ios::app) << line << "\n";
    }

    void Insert(const char* disc) {
        std::lock_guard lock(winsim::machineLock());
        if (winsim::Drive* drive = winsim::machine().drive('d'))
            drive->hostFolder = (fs::path(discs_) / disc).string();
        Note(std::string("insert ") + disc);
    }

    // Whether the user has pressed cancel (the plan's press, made inside the installer's calls):
    // a user who has cancelled inserts no further disc.
    static bool Cancelled() { return winsim::calls::Counted().cancelPressedAt != 0; }

    // How things stand as the user presses cancel: the shortcuts made so far, and whether the
    // completion message has been answered.
    void NotePress() {
        int links = 0;
        std::error_code error;
        std::vector<std::string> shellFolders;
        {
            std::lock_guard lock(winsim::machineLock());
            for (const char* name : {"Programs", "Desktop"})
                shellFolders.push_back(winsim::Utf8ToCp950(winsim::machine().shellFolders[name]));
        }
        for (const auto& folder : shellFolders) {
            auto host = winsim::HostPath(folder);
            for (auto it = fs::recursive_directory_iterator(host.value_or(""), error);
                 host && !error && it != fs::recursive_directory_iterator(); it.increment(error))
                links += it->path().extension() == ".lnk" ? 1 : 0;
        }
        Note("press " + std::to_string(links) + (doneAnswered_ ? " after done" : ""));
    }

    // What the install folder holds as the completion message is up.
    void NoteInstalledTree() {
        auto host = winsim::HostPath(InstallState.installDir);
        for (const auto& line : host ? enumerate::TreeLines(*host) : std::vector<std::string>{})
            Note("tree " + line);
        Note("tree end");
    }

    void Answer(const desktop::WindowView& box) {
        std::string text = box.text;
        int button = box.buttons.front();
        Note("box " + winsim::Cp950ToUtf8(box.title) + " | " + winsim::Cp950ToUtf8(text));
        if (box.buttons.size() == 2 && box.buttons[0] == IDYES) {
            std::string confirm = TextConfirmInstall;
            bool confirmation =
                text.compare(0, confirm.find('%'), confirm, 0, confirm.find('%')) == 0;
            button = confirmation ? IDYES : IDNO;
        } else if ((text == TextInsertDisc2 || text == TextInsertMapDisc) && Cancelled()) {
            Note("no disc after the cancel");
        } else if ((text == TextInsertDisc2 || text == TextInsertMapDisc) && cancelAtPrompt_) {
            button = IDCANCEL;
            Note("cancel at the prompt");
        } else if (text == TextInsertDisc2) {
            Insert("disc2");
        } else if (text == TextInsertMapDisc) {
            Insert("disc3");
        } else if (text == TextInstallDone) {
            NoteInstalledTree();
            doneAnswered_ = true;
        } else if (text == TextNoUninstaller) {
            Note("last notice at worker call " +
                 std::to_string(winsim::calls::Counted().threadCalls[2]));
        }
        std::string error;
        desktop::Click(box.handle, button, error);
    }

    void Run() {
        std::uint64_t seen = 0;
        std::set<std::uintptr_t> answered; // window handles are never reused
        bool started = false;
        Clock::time_point lastAction = Clock::now();
        std::optional<Clock::time_point> installShown;
        bool gaveUp = false;
        for (;;) {
            seen = desktop::WaitForChange(seen, 0.02);
            auto windows = desktop::TopLevelWindows();
            bool boxUp = false;
            for (const auto& window : windows) {
                if (window.kind != desktop::Kind::MessageBox || !window.visible)
                    continue;
                boxUp = true;
                if (!window.enabled || window.buttons.empty() || answered.count(window.handle))
                    continue;
                answered.insert(window.handle);
                Answer(window);
                lastAction = Clock::now();
            }
            if (boxUp)
                continue;
            for (const auto& window : windows) {
                // A dialog closed to the user is busy (undoing an interrupted install): it is
                // not refusing anything.
                if (window.kind == desktop::Kind::Dialog && window.visible && !window.enabled)
                    lastAction = Clock::now();
                if (window.kind != desktop::Kind::Dialog || !window.visible || !window.enabled)
                    continue;
                std::string error;
                if (window.templateName == "IDD_SETUP") {
                    if (!started) {
                        if (!installRoot_.empty())
                            desktop::Type(window.handle, IDC_PATH, installRoot_, error);
                        if (minimal_)
                            desktop::Click(window.handle, IDC_MINIMAL, error);
                        desktop::Click(window.handle, IDC_START, error);
                        Note("start");
                        started = true;
                        lastAction = Clock::now();
                    } else if (Clock::now() - lastAction > std::chrono::milliseconds(300)) {
                        // Refused for good (no space, no disc, a bad folder): the user leaves.
                        desktop::Click(window.handle, IDCANCEL, error);
                        Note("leave");
                        lastAction = Clock::now() + std::chrono::hours(1);
                    }
                } else if (window.templateName == "IDD_INSTALL" && !gaveUp) {
                    // Five seconds with the dialog up and no box since: nothing is happening.
                    if (!installShown)
                        installShown = Clock::now();
                    auto since = std::max(*installShown, lastAction);
                    if (Clock::now() - since > std::chrono::seconds(5)) {
                        desktop::Click(window.handle, IDCANCEL, error);
                        Note("gave up");
                        gaveUp = true;
                    }
                }
            }
        }
    }

    std::string folder_;
    std::string discs_;
    bool minimal_ = false;
    bool cancelAtPrompt_ = false;
    std::string installRoot_;
    enumerate::intruder::Places places_;
    std::atomic<bool> doneAnswered_{false};
    std::mutex logLock_;
};

} // namespace

int main(int argc, char** argv) {
    // Never destroyed: its thread watches the windows until the process is gone, also while
    // the process is ending.
    winsim::RunWinMain(argc, argv, new AutoUser);
}

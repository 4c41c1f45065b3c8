// enumerate-setup: the installer over winsim with a user who installs whatever happens, for the
// replays of tools/enumerate. The machine folder (WINSIM_MACHINE) names the plan: the call that
// fails or the call before which cancel is pressed (machine.txt); what the user saw goes to
// events.txt there, the calls counted to calls.txt.
//
//   ENUMERATE_DISCS=folder   the discs disc1, disc2 and disc3, for the prompts
//   ENUMERATE_TYPE=minimal   picks the minimal install (default: normal)
//   ENUMERATE_CANCEL_PROMPT=1  cancels the install at its first disc prompt (the prompt's Cancel)
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

#include "base/install_state.h"
#include "base/product_constants.h"
#include "call_points.h"
#include "desktop.h"
#include "machine.h"
#include "process.h"
#include "resources/resource.h"
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
        if (folder_.empty() || discs_.empty()) {
            why = "WINSIM_MACHINE and ENUMERATE_DISCS are needed";
            return false;
        }
        winsim::calls::WatchCancelPress([this] { NotePress(); });
        std::thread([this] { Run(); }).detach();
        return true;
    }

  private:
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
        for (const char* folder : {"C:\\Start Menu\\Programs", "C:\\Desktop"}) {
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
    std::atomic<bool> doneAnswered_{false};
    std::mutex logLock_;
};

} // namespace

int main(int argc, char** argv) {
    // Never destroyed: its thread watches the windows until the process is gone, also while
    // the process is ending.
    winsim::RunWinMain(argc, argv, new AutoUser);
}

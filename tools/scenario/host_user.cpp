#include "host_user.h"

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <iostream>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "call_points.h"
#include "desktop.h"
#include "host_files.h"
#include "kernel_objects.h"
#include "machine.h"
#include "other_user.h"
#include "run_program.h"

namespace fs = std::filesystem;
namespace desktop = winsim::desktop;

namespace hostuser {

namespace {

constexpr int FailedPlayStatus = 86;
constexpr double ActionTimeoutSeconds = 20;

std::string ButtonName(int id) {
    switch (id) {
    case IDOK:
        return "ok";
    case IDCANCEL:
        return "cancel";
    case IDYES:
        return "yes";
    case IDNO:
        return "no";
    case IDTRYAGAIN:
        return "tryagain";
    case IDCONTINUE:
        return "continue";
    }
    return std::to_string(id);
}

int ButtonId(const std::string& name) {
    if (name == "ok")
        return IDOK;
    if (name == "cancel")
        return IDCANCEL;
    if (name == "yes")
        return IDYES;
    if (name == "no")
        return IDNO;
    if (name == "tryagain")
        return IDTRYAGAIN;
    if (name == "continue")
        return IDCONTINUE;
    return 0;
}

// How a scenario names a window's owner.
std::string OwnerName(std::uintptr_t owner, const std::vector<desktop::WindowView>& views) {
    if (owner == 0)
        return "none";
    for (const auto& view : views) {
        if (view.handle != owner)
            continue;
        if (view.kind == desktop::Kind::Owner)
            return "owner";
        if (view.templateName == "IDD_SETUP")
            return "setup";
        if (view.templateName == "IDD_INSTALL")
            return "install";
        return winsim::Cp950ToUtf8(view.title);
    }
    return "none";
}

std::string MachineFolder() {
    std::lock_guard lock(winsim::machineLock());
    return winsim::machine().folder;
}

// The scripted user's play and the process end meet here.
struct PlayState {
    std::mutex lock;
    std::condition_variable changed;
    bool playing = false;
    bool ending = false;
    bool finished = false;
};

PlayState& State() {
    static PlayState* state = new PlayState;
    return *state;
}

void Pause(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

} // namespace

std::vector<scenario::Window> CurrentWindows() {
    std::vector<desktop::WindowView> views = desktop::TopLevelWindows();
    std::vector<scenario::Window> windows;
    for (const auto& view : views) {
        if (view.kind == desktop::Kind::Owner)
            continue;
        scenario::Window window;
        window.handle = view.handle;
        window.messageBox = view.kind == desktop::Kind::MessageBox;
        window.title = winsim::Cp950ToUtf8(view.title);
        window.text = winsim::Cp950ToUtf8(view.text);
        for (int button : view.buttons)
            window.buttons.push_back(ButtonName(button));
        window.owner = OwnerName(view.owner, views);
        // The taskbar went by the style the window had when it was shown, not by a later one.
        window.appWindow = (view.exStyleShown & WS_EX_APPWINDOW) != 0;
        // winsim keeps no foreground: the box's type says whether it asked to take it.
        window.topmost =
            (view.exStyle & WS_EX_TOPMOST) != 0 && (view.boxType & MB_SETFOREGROUND) != 0;
        window.visible = view.visible;
        window.enabled = view.enabled;
        if (!window.messageBox) {
            for (const auto& controlView : view.controls) {
                scenario::Control control;
                control.id = controlView.id;
                control.className = controlView.className;
                control.text = winsim::Cp950ToUtf8(controlView.text);
                control.checked = controlView.checked;
                control.enabled = controlView.enabled;
                control.visible = controlView.visible;
                window.controls.push_back(control);
            }
        }
        windows.push_back(window);
    }
    return windows;
}

std::string DescribeForPerson(const std::vector<scenario::Window>& windows) {
    std::string text;
    std::string hidden;
    for (const auto& window : windows) {
        if (!window.visible) {
            hidden += (hidden.empty() ? "" : ", ") + window.title;
            continue;
        }
        if (window.messageBox) {
            text += "== box \"" + window.title + "\" (owner: " + window.owner + ")\n   " +
                    window.text + "\n  ";
            for (const auto& button : window.buttons)
                text += " [" + button + "]";
            text += "\n";
            continue;
        }
        text += "== dialog \"" + window.title + "\"" +
                (window.enabled ? "" : " (disabled: a box it owns is up)") + "\n";
        for (const auto& control : window.controls) {
            if (!control.visible)
                continue;
            char id[16];
            std::snprintf(id, sizeof(id), "%6d", control.id == 0xFFFF ? -1 : control.id);
            std::string shown =
                control.className == "EDIT" ? "[" + control.text + "]" : "\"" + control.text + "\"";
            text += std::string("   ") + id + " " + control.className + " " + shown +
                    (control.checked ? " (checked)" : "") + (control.enabled ? "" : " (disabled)") +
                    "\n";
        }
    }
    if (!hidden.empty())
        text += "   (hidden: " + hidden + ")\n";
    if (text.empty())
        text = "   (no windows)\n";
    return text;
}

std::vector<scenario::Window> HostBackend::Windows() {
    return CurrentWindows();
}

bool HostBackend::Ended() {
    std::lock_guard lock(State().lock);
    return State().ending;
}

bool HostBackend::Answers(const scenario::Window& window, double seconds, std::string& error) {
    return desktop::Answers(window.handle, seconds, error);
}

bool HostBackend::Click(const scenario::Window& window, int controlId, std::string& error) {
    return desktop::Click(window.handle, controlId, error);
}

bool HostBackend::ClickOnItsWay(const scenario::Window& window, int controlId, std::string& error) {
    return desktop::PostClick(window.handle, controlId, error);
}

bool HostBackend::Type(const scenario::Window& window, int controlId, const std::string& text,
                       std::string& error) {
    return desktop::Type(window.handle, controlId, winsim::Utf8ToCp950(text), error);
}

bool HostBackend::Escape(const scenario::Window& window, std::string& error) {
    return desktop::Escape(window.handle, error);
}

bool HostBackend::Close(const scenario::Window& window, std::string& error) {
    return desktop::Close(window.handle, error);
}

bool HostBackend::Answer(const scenario::Window& box, const std::string& button,
                         std::string& error) {
    int id = ButtonId(button);
    bool hasButton = false;
    for (const auto& name : box.buttons)
        hasButton |= name == button;
    if (!hasButton) {
        error = "the box has no button " + button;
        return false;
    }
    return desktop::Click(box.handle, id, error);
}

bool HostBackend::Browse(const scenario::Window& window, int controlId, const std::string& folder,
                         std::string& error) {
    if (!desktop::Click(window.handle, controlId, error))
        return false;
    auto end =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(ActionTimeoutSeconds);
    while (std::chrono::steady_clock::now() < end) {
        for (const auto& view : desktop::TopLevelWindows()) {
            if (view.kind != desktop::Kind::FolderBrowser || view.owner != window.handle ||
                !view.visible)
                continue;
            if (!desktop::PickFolder(view.handle, winsim::Utf8ToCp950(folder), error))
                return false;
            // Done once the browser is gone.
            while (std::chrono::steady_clock::now() < end) {
                bool open = false;
                for (const auto& other : desktop::TopLevelWindows())
                    open |= other.handle == view.handle;
                if (!open)
                    return true;
                Pause(0.01);
            }
            error = "the folder browser stayed up";
            return false;
        }
        Pause(0.01);
    }
    error = "no folder browser came up";
    return false;
}

bool HostBackend::Insert(char letter, const std::string& disc, std::string& error) {
    std::lock_guard lock(winsim::machineLock());
    winsim::Machine& machine = winsim::machine();
    winsim::Drive* drive = machine.drive(letter);
    if (drive == nullptr || drive->kind != winsim::DriveKind::CdRom) {
        error = std::string("no CD-ROM drive ") + letter;
        return false;
    }
    if (disc.empty()) {
        drive->hostFolder.clear();
    } else {
        fs::path folder = fs::path(machine.folder) / "discs" / disc;
        std::error_code fsError;
        if (machine.folder.empty() || !fs::is_directory(folder, fsError)) {
            error = "no disc " + disc;
            return false;
        }
        drive->hostFolder = folder.string();
    }
    machine.save();
    return true;
}

std::optional<scenario::Backend::TextWidth> HostBackend::MeasureText(const scenario::Window& window,
                                                                     int controlId) {
    auto measured = desktop::MeasureText(window.handle, controlId);
    if (!measured)
        return std::nullopt;
    return TextWidth{winsim::Cp950ToUtf8(measured->text), measured->needed, measured->available};
}

// The installer runs in this process: its time is the process's (the scripted user sleeps).
double HostBackend::ProcessorSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long HostBackend::CountFiles(const std::string& folder) {
    auto host = winsim::HostPath(winsim::Utf8ToCp950(folder));
    std::error_code error;
    if (!host || !fs::is_directory(*host, error))
        return -1;
    long count = 0;
    for (auto it = fs::recursive_directory_iterator(*host, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error))
            ++count;
    }
    return count;
}

int HostBackend::MakeReadOnly(const std::string& pattern, std::string& error) {
    size_t cut = pattern.rfind('\\');
    auto host = winsim::HostPath(winsim::Utf8ToCp950(pattern.substr(0, cut == 2 ? 3 : cut)));
    std::error_code failed;
    if (cut == std::string::npos || !host || !fs::is_directory(*host, failed)) {
        error = "no folder for " + pattern;
        return 0;
    }
    std::string names = pattern.substr(cut + 1);
    int made = 0;
    for (const auto& entry : fs::directory_iterator(*host, failed)) {
        if (!entry.is_regular_file(failed) ||
            fnmatch(names.c_str(), entry.path().filename().c_str(), 0) != 0)
            continue;
        // winsim keeps the read-only attribute as a missing write bit, as Wine does.
        fs::permissions(entry.path(),
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, failed);
        ++made;
    }
    return made;
}

long long HostBackend::FileBytes(const std::string& path) {
    auto host = winsim::HostPath(winsim::Utf8ToCp950(path));
    std::error_code error;
    std::uintmax_t bytes = host ? fs::file_size(*host, error) : 0;
    return host && !error ? (long long)bytes : -1;
}

// The other program's handle is one of winsim's, so its share mode keeps the installer out.
bool HostBackend::Hold(const std::string& file, std::string& error) {
    std::uint32_t failed = winsim::HoldFileOpen(winsim::Utf8ToCp950(file).c_str());
    if (failed != 0)
        error = "error " + std::to_string(failed);
    return failed == 0;
}

namespace {

// The outcome of each planned act, by its step's line.
struct ActOutcome {
    bool done = false;
    std::uint32_t error = 0;
};
std::mutex& OutcomeLock() {
    static auto* lock = new std::mutex;
    return *lock;
}
std::map<int, ActOutcome>& Outcomes() {
    static auto* outcomes = new std::map<int, ActOutcome>;
    return *outcomes;
}

} // namespace

bool PlanIntruders(const scenario::Scenario& scenario, std::string& why) {
    for (const auto& step : scenario.steps) {
        if (step.word(0) != "intruder")
            continue;
        size_t at = step.word(4) == "thread" ? 6 : 4;
        int thread = at == 6 ? std::stoi(step.word(5)) : -1;
        size_t end = step.words.size();
        if (end >= 2 && step.word(end - 2) == "expect")
            end -= 2;
        winsim::OtherUserAct act{step.word(at), {}};
        for (size_t i = at + 1; i < end; ++i)
            act.arguments.push_back(
                act.kind == "file" || act.kind == "write"
                    ? (i == at + 1 ? winsim::Utf8ToCp950(step.words[i]) : step.words[i])
                    : winsim::Utf8ToCp950(step.words[i]));
        if (!winsim::IsOtherUserAct(act.kind, act.arguments.size())) {
            why = step.where() + ": no act " + act.kind;
            return false;
        }
        int line = step.number;
        winsim::calls::AtCall(step.word(2), std::stoi(step.word(3)), thread, [act, line] {
            std::uint32_t error = winsim::ActAsOtherUser(act);
            std::lock_guard lock(OutcomeLock());
            Outcomes()[line] = {true, error};
        });
    }
    return true;
}

bool HostBackend::OtherUserActed(const scenario::Line& step, bool& refused, std::string& what,
                                 std::string& error) {
    std::lock_guard lock(OutcomeLock());
    auto outcome = Outcomes().find(step.number);
    if (outcome == Outcomes().end() || !outcome->second.done) {
        error = "the installer's " + step.word(3) + "th call of " + step.word(2) + " has not come";
        return false;
    }
    refused = outcome->second.error != 0;
    what = "error " + std::to_string(outcome->second.error);
    return true;
}

bool HostBackend::StartSecondCopy(int& exitStatus, bool& showedWindow, std::string& error) {
    std::string machineFolder = MachineFolder();
    static int copies = 0;
    std::string windowLog =
        (machineFolder.empty() ? fs::temp_directory_path() : fs::path(machineFolder)).string() +
        "/second-copy-" + std::to_string(++copies) + ".windows";
    ::unlink(windowLog.c_str());

    // A second copy is one started while the first runs: once the first holds its named mutex
    // (the scripted user's thread may come here before the installer's first call). An
    // installer that never takes one gets its second copy after the action's time.
    auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(ActionTimeoutSeconds);
    while (!winsim::HoldsNamedMutex() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    // The copy finds the machine through the variables it inherits; it plays no scenario.
    std::string program = fs::read_symlink("/proc/self/exe").string();
    scenario::ProgramRun run =
        scenario::RunProgram(program, {"WINSIM_WINDOW_LOG=" + windowLog},
                             {"WINSIM_PLAY", "WINSIM_INTERACTIVE", "WINSIM_WINDOW_LOG"},
                             windowLog + ".out", ActionTimeoutSeconds);
    if (!run.ended) {
        error = "the second copy did not end within 20 s";
        return false;
    }
    if (!run.signal.empty()) {
        error = "the second copy: " + run.signal;
        return false;
    }
    exitStatus = run.status;
    std::error_code fsError;
    showedWindow = fs::exists(windowLog, fsError) && fs::file_size(windowLog, fsError) > 0;
    return true;
}

// The scripted user plays inside the installer's process: it can't outlive it.
bool HostBackend::KillInstaller(std::string& error) {
    error = "the host's user lives in the installer's process (a scenario of only wine)";
    return false;
}

bool HostBackend::StartAgain(std::string& error) {
    return KillInstaller(error);
}

namespace {

class ScriptedPlay : public winsim::User {
  public:
    ScriptedPlay(std::string scenarioFile, std::string logFile)
        : scenarioFile_(std::move(scenarioFile)), logFile_(std::move(logFile)) {}

    bool Start(std::string& why) override {
        auto parsed = scenario::Parse(scenarioFile_, why);
        if (!parsed || !PlanIntruders(*parsed, why))
            return false;
        int log = -1;
        if (!logFile_.empty()) {
            log = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
            if (log < 0) {
                why = "cannot write " + logFile_ + ": " + std::strerror(errno);
                return false;
            }
        }
        {
            std::lock_guard lock(State().lock);
            State().playing = true;
        }
        std::thread([scenario = std::move(*parsed), log] {
            HostBackend backend;
            scenario::PlayOptions options;
            // Each line also goes to standard output, after the seconds since the play began,
            // as the Wine robot prints them.
            auto started = std::chrono::steady_clock::now();
            options.onLog = [log, started](const std::string& line) {
                std::string text = line + "\n";
                if (log >= 0) {
                    ssize_t written = ::write(log, text.data(), text.size());
                    (void)written;
                }
                std::printf(
                    "%8.3f %s",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
                        .count(),
                    text.c_str());
                std::fflush(stdout);
            };
            std::vector<std::string> lines;
            bool passed = scenario::Play(scenario, backend, options, lines);
            {
                std::lock_guard lock(State().lock);
                State().finished = true;
                State().changed.notify_all();
                if (State().ending)
                    return; // the process is ending with the installer's own status
            }
            // The installer still runs, but nothing is left to play: a failed step, or a play
            // with no end to see.
            std::_Exit(passed ? 0 : FailedPlayStatus);
        }).detach();
        return true;
    }

    // Lets the play see the end and finish first.
    void Ending() override {
        PlayState& state = State();
        std::unique_lock lock(state.lock);
        if (!state.playing)
            return;
        state.ending = true;
        state.changed.notify_all();
        state.changed.wait_for(lock, std::chrono::duration<double>(2 * ActionTimeoutSeconds),
                               [&] { return state.finished; });
    }

  private:
    std::string scenarioFile_;
    std::string logFile_;
};

constexpr const char* PersonHelp =
    R"(The installer's windows are printed after every change; a control's id is the number
before it. Commands act on the newest dialog and message box:

  click <id>                   press a button of the dialog
  type <id> <text>             replace the text of an edit control ("..." around spaces)
  escape | close               press Esc in the dialog | its close box
  browse <id> <folder>         press the browse button <id> and pick a folder (or: cancel)
  answer ok|yes|no             press a button of the message box
  insert <letter> <disc>       put a disc (disc1, disc2, disc3) in a CD-ROM drive
  eject <letter>               take the disc out
  wait files <folder> <n>      wait until a folder holds n files
  hold <file>                  another program opens the file and keeps it open
  start second                 start a second copy of the installer (it should end at once)
  expect ...                   check what is shown, as a scenario does (tests/scenarios/README.md)
  show                         print the windows again
  help                         this list
  quit                         stop the installer and end the walk (so does Ctrl-D)
)";

class Person : public winsim::User {
  public:
    bool Start(std::string&) override {
        std::thread([] { Walk(); }).detach();
        return true;
    }

  private:
    static void Stop(const char* why) {
        std::printf("%s: the installer is stopped\n", why);
        std::fflush(stdout);
        std::_Exit(StoppedStatus);
    }

    static void Walk() {
        HostBackend backend;
        scenario::Player player(backend, scenario::PlayOptions{});
        std::printf("Steps as in a scenario (click 1000, type 1004 \"D:\\Games\", answer yes, "
                    "insert d disc2, ...); 'help' lists them, 'quit' stops.\n");
        std::string shown;
        std::uint64_t seen = ~0ull;
        std::string pending;
        int number = 0;
        for (;;) {
            // Print the windows once they have settled after a change, or after half a second
            // of changes (a status line that keeps moving).
            std::uint64_t now = desktop::Generation();
            if (now != seen) {
                seen = now;
                auto settled = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
                while ((now = desktop::WaitForChange(seen, 0.05)) != seen &&
                       std::chrono::steady_clock::now() < settled)
                    seen = now;
                std::string text = DescribeForPerson(CurrentWindows());
                if (text != shown) {
                    shown = text;
                    std::printf("%s> ", text.c_str());
                    std::fflush(stdout);
                }
            }
            pollfd input = {0, POLLIN, 0};
            if (::poll(&input, 1, 100) <= 0)
                continue;
            char buffer[512];
            ssize_t got = ::read(0, buffer, sizeof(buffer));
            if (got <= 0)
                Stop("\nend of input");
            pending.append(buffer, (size_t)got);
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string text = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                scenario::Line line;
                line.number = ++number;
                if (!scenario::SplitWords(text, line.words)) {
                    std::printf("unclosed quote\n> ");
                    continue;
                }
                const std::string& command = line.word(0);
                if (line.words.empty() || command == "show") {
                    shown.clear();
                    seen = ~0ull;
                    continue;
                }
                if (command == "quit" || command == "exit")
                    Stop("quit");
                if (command == "help" || command == "?") {
                    std::printf("%s> ", PersonHelp);
                    continue;
                }
                std::string why;
                if (!scenario::IsValidStep(line, why)) {
                    std::printf("%s ('help' lists the commands)\n> ", why.c_str());
                    continue;
                }
                // A person acts on what is in front of them: the newest dialog and box.
                for (const auto& window : CurrentWindows()) {
                    if (window.messageBox && window.visible)
                        player.SetBox(window);
                    else if (window.visible && command != "expect")
                        player.SetDialog(window);
                }
                if (!player.Step(line, why))
                    std::printf("not done: %s\n", why.c_str());
                shown.clear();
                seen = ~0ull;
            }
            std::fflush(stdout);
        }
    }
};

} // namespace

std::unique_ptr<winsim::User> ScriptedUser(const std::string& scenarioFile,
                                           const std::string& logFile) {
    return std::make_unique<ScriptedPlay>(scenarioFile, logFile);
}

std::unique_ptr<winsim::User> PersonAtTerminal() {
    return std::make_unique<Person>();
}

} // namespace hostuser

// Plays a scenario's steps against a platform's windows, as a user would: looks for what must be
// seen, waiting up to a timeout, and acts only on what a user could reach.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "scenario.h"

namespace scenario {

namespace {

using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A step as a scenario writes it: a word that holds a space or a quote in quotes, its quotes
// doubled.
std::string Joined(const Line& line) {
    std::string text;
    for (const auto& word : line.words) {
        bool quote = word.empty() || word.find_first_of(" \"") != std::string::npos;
        std::string written;
        for (char c : word)
            written += c == '"' ? std::string("\"\"") : std::string(1, c);
        text += (text.empty() ? "" : " ") + (quote ? Quoted(written) : written);
    }
    return text;
}

std::vector<std::string> ButtonsOf(const std::string& kind) {
    if (kind == "yesno")
        return {"yes", "no"};
    if (kind == "okcancel")
        return {"ok", "cancel"};
    if (kind == "canceltrycontinue")
        return {"cancel", "tryagain", "continue"};
    return {"ok"};
}

const Control* FindControl(const Window& window, int id) {
    for (const auto& control : window.controls) {
        if (control.id == id || (id == -1 && control.id == 0xFFFF))
            return &control;
    }
    return nullptr;
}

// Whether a user could act on the dialog: visible, and enabled (no modal window of its own up).
bool UserCanReach(const Window& window, std::string& why) {
    if (!window.visible)
        why = "the dialog " + Quoted(window.title) + " is hidden";
    else if (!window.enabled)
        why = "the dialog " + Quoted(window.title) + " is disabled (a modal window it owns is up)";
    else
        return true;
    return false;
}

std::string Seconds(double seconds) {
    std::string text = std::to_string(seconds);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text + " s";
}

} // namespace

Player::Player(Backend& backend, PlayOptions options)
    : backend_(backend), options_(std::move(options)) {}

bool Player::WaitFor(const std::function<bool()>& condition, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (condition())
            return true;
        auto now = Clock::now();
        if (now >= end)
            return false;
        std::this_thread::sleep_for(std::min(std::chrono::duration<double>(options_.pollSeconds),
                                             std::chrono::duration<double>(end - now)));
    }
}

void Player::SetDialog(const Window& window) {
    dialog_ = window.handle;
    dialogTitle_ = window.title;
}

void Player::SetBox(const Window& box) {
    box_ = box;
}

std::optional<Window> Player::Current(std::string& why) {
    if (!dialog_) {
        why = "no dialog expected yet";
        return std::nullopt;
    }
    for (const auto& window : backend_.Windows()) {
        if (window.handle == *dialog_)
            return window;
    }
    why = "the dialog " + Quoted(dialogTitle_) + " is gone";
    return std::nullopt;
}

std::vector<std::string> Player::DescribeWindows() {
    std::vector<std::string> lines;
    for (const auto& window : backend_.Windows()) {
        std::string state =
            std::string(window.visible ? "" : " hidden") + (window.enabled ? "" : " disabled");
        if (window.messageBox) {
            std::string buttons;
            for (const auto& button : window.buttons)
                buttons += (buttons.empty() ? "" : "/") + button;
            lines.push_back("  box " + Quoted(window.title) + " " + Quoted(window.text) + " " +
                            buttons + " owner " + window.owner + state);
            continue;
        }
        lines.push_back("  dialog " + Quoted(window.title) + state);
        for (const auto& control : window.controls) {
            std::string flags = std::string(control.checked ? " checked" : "") +
                                (control.enabled ? "" : " disabled") +
                                (control.visible ? "" : " hidden");
            lines.push_back("    " + std::to_string(control.id) + " " + control.className + " " +
                            Quoted(control.text) + flags);
        }
    }
    if (lines.empty())
        lines.push_back("  (no windows)");
    return lines;
}

// The handlers below trust the words of their step: the parser has checked them
// (IsValidStep).

bool Player::ExpectDialog(const Line& step, std::string& why) {
    const std::string& title = step.word(2);
    double seconds = step.words.size() == 5 ? std::stod(step.word(4)) : options_.timeoutSeconds;
    std::optional<Window> found;
    bool seen = WaitFor(
        [&] {
            for (const auto& window : backend_.Windows()) {
                if (!window.messageBox && window.visible && window.title == title) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        seconds);
    if (!seen) {
        why = "no dialog " + Quoted(title) + " came up within " + Seconds(seconds);
        return false;
    }
    SetDialog(*found);
    return true;
}

bool Player::ExpectHidden(const Line& step, std::string& why) {
    const std::string& title = step.word(2);
    bool seen = WaitFor(
        [&] {
            for (const auto& window : backend_.Windows()) {
                if (!window.messageBox && !window.visible && window.title == title)
                    return true;
            }
            return false;
        },
        options_.timeoutSeconds);
    if (!seen)
        why = "no hidden dialog " + Quoted(title) + " within " + Seconds(options_.timeoutSeconds);
    return seen;
}

// Waits until the dialog's control id shows what shows() accepts; shown() tells what it shows.
bool Player::ExpectControl(int id, const std::function<bool(const Control&)>& shows,
                           const std::function<std::string(const Control&)>& shown,
                           std::string& why) {
    std::string actual;
    bool seen = WaitFor(
        [&] {
            std::string ignored;
            auto window = Current(ignored);
            const Control* control = window ? FindControl(*window, id) : nullptr;
            if (control == nullptr)
                return false;
            actual = shown(*control);
            return shows(*control);
        },
        options_.timeoutSeconds);
    if (!seen) {
        std::string gone;
        if (!Current(gone))
            why = gone;
        else if (actual.empty())
            why = "the dialog has no control " + std::to_string(id);
        else
            why = "control " + std::to_string(id) + " is " + actual;
    }
    return seen;
}

bool Player::ExpectText(const Line& step, std::string& why) {
    return ExpectControl(
        std::stoi(step.word(2)),
        [&](const Control& control) { return control.text == step.word(3); },
        [](const Control& control) { return Quoted(control.text); }, why);
}

// expect checked <id>, expect unchecked <id>
bool Player::ExpectChecked(const Line& step, std::string& why) {
    bool checked = step.word(1) == "checked";
    return ExpectControl(
        std::stoi(step.word(2)), [&](const Control& control) { return control.checked == checked; },
        [](const Control& control) { return control.checked ? "checked" : "unchecked"; }, why);
}

bool Player::ExpectBox(const Line& step, std::string& why) {
    const std::string& caption = step.word(2);
    const std::string& text = step.word(3);
    std::vector<std::string> buttons = ButtonsOf(step.word(4));
    const std::string& owner = step.word(6);
    bool topmost = step.word(7) == "topmost";
    size_t within = topmost ? 8 : 7;
    double seconds =
        step.words.size() > within + 1 ? std::stod(step.word(within + 1)) : options_.timeoutSeconds;
    std::optional<Window> found;
    bool seen = WaitFor(
        [&] {
            for (const auto& window : backend_.Windows()) {
                if (window.messageBox && window.visible && window.title == caption &&
                    window.text == text && window.buttons == buttons && window.owner == owner &&
                    window.topmost == topmost && (!box_ || box_->handle != window.handle))
                    found = window; // the newest that matches
            }
            return found.has_value();
        },
        seconds);
    if (!seen) {
        why = "no box " + Quoted(caption) + " " + Quoted(text) + " " + step.word(4) + " owner " +
              owner + (topmost ? " topmost" : "") + " came up within " + Seconds(seconds);
        return false;
    }
    box_ = found;
    return true;
}

bool Player::ExpectNoBox(const Line&, std::string& why) {
    std::string shown;
    WaitFor(
        [&] {
            for (const auto& window : backend_.Windows()) {
                if (window.messageBox && window.visible &&
                    (!box_ || window.handle != box_->handle)) {
                    shown = Quoted(window.title) + " " + Quoted(window.text);
                    return true;
                }
            }
            return false;
        },
        options_.settleSeconds);
    if (!shown.empty())
        why = "a box came up: " + shown;
    return shown.empty();
}

// expect exit <status> [within <seconds>]: the installer ends, within that many seconds of the
// step before when they are given.
// expect taskbar: the dialog has a button on the taskbar now: it is shown, and owned by no
// window or was an application window when it was shown.
bool Player::ExpectTaskbar(const Line&, std::string& why) {
    auto window = Current(why);
    if (!window)
        return false;
    if (!window->visible)
        why = "the dialog " + Quoted(window->title) + " is hidden";
    else if (window->owner != "none" && !window->appWindow)
        why = "the dialog " + Quoted(window->title) + " belongs to a window (" + window->owner +
              ") and was no application window when it was shown";
    return why.empty();
}

bool Player::ExpectExit(const Line& step, std::string& why) {
    double seconds = step.words.size() == 5 ? std::stod(step.word(4)) : options_.timeoutSeconds;
    bool ended = WaitFor([&] { return backend_.Ended(); }, seconds);
    if (!ended)
        why = "the installer did not end within " + Seconds(seconds);
    return ended;
}

// The dialog that the user's hands act on, if a user could reach it.
std::optional<Window> Player::Reachable(const Line& step, std::string& why) {
    auto window = Current(why);
    if (window && !UserCanReach(*window, why)) {
        why += ": no user could " + step.word(0) + " there";
        return std::nullopt;
    }
    return window;
}

bool Player::Click(const Line& step, std::string& why) {
    auto window = Reachable(step, why);
    if (!window)
        return false;
    if (step.words.size() == 2)
        return backend_.Click(*window, std::stoi(step.word(1)), why);
    // click <id> when files <folder> <n>, click <id> when bytes <file> <size>: the user aims at
    // the button now and clicks the moment the folder holds n files, or the file that size; the
    // installer may be hiding the dialog in that very moment.
    const std::string& path = step.word(4);
    bool files = step.word(3) == "files";
    std::uint64_t wanted = 0;
    if (files)
        wanted = std::stoul(step.word(5));
    else
        ParseSize(step.word(5), wanted);
    auto reached = [&] {
        long long now = files ? backend_.CountFiles(path) : backend_.FileBytes(path);
        return now >= 0 && (std::uint64_t)now >= wanted;
    };
    double seconds = step.words.size() == 8 ? std::stod(step.word(7)) : options_.timeoutSeconds;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!reached()) {
        if (Clock::now() >= end) {
            why = path + " never held " + step.word(5) + (files ? " files" : " bytes");
            return false;
        }
        std::this_thread::yield();
    }
    return backend_.ClickOnItsWay(*window, std::stoi(step.word(1)), why);
}

bool Player::Type(const Line& step, std::string& why) {
    auto window = Reachable(step, why);
    return window && backend_.Type(*window, std::stoi(step.word(1)), step.word(2), why);
}

bool Player::Escape(const Line& step, std::string& why) {
    auto window = Reachable(step, why);
    return window && backend_.Escape(*window, why);
}

bool Player::Close(const Line& step, std::string& why) {
    auto window = Reachable(step, why);
    return window && backend_.Close(*window, why);
}

// browse <id> <folder>|cancel
bool Player::Browse(const Line& step, std::string& why) {
    auto window = Reachable(step, why);
    std::string folder = step.word(2) == "cancel" ? "" : step.word(2);
    return window && backend_.Browse(*window, std::stoi(step.word(1)), folder, why);
}

bool Player::Refuse(const Line& step, std::string& why) {
    auto window = Current(why);
    if (!window)
        return false;
    std::string unreachable;
    if (!UserCanReach(*window, unreachable))
        return true;
    const Control* control = FindControl(*window, std::stoi(step.word(2)));
    if (control == nullptr || !control->enabled || !control->visible)
        return true;
    why = "control " + step.word(2) + " of " + Quoted(window->title) + " could be clicked";
    return false;
}

bool Player::AnswerBox(const Line& step, std::string& why) {
    if (!box_) {
        why = "no box expected before";
        return false;
    }
    const std::string& answer = step.word(1);
    bool given = answer == "escape"  ? backend_.Escape(*box_, why)
                 : answer == "close" ? backend_.Close(*box_, why)
                                     : backend_.Answer(*box_, answer, why);
    if (!given)
        return false;
    std::uintptr_t handle = box_->handle;
    bool gone = WaitFor(
        [&] {
            for (const auto& window : backend_.Windows()) {
                if (window.handle == handle && window.visible)
                    return false;
            }
            return true;
        },
        options_.timeoutSeconds);
    if (!gone)
        why = "the box " + Quoted(box_->title) + " stayed up after " + step.word(1);
    return gone;
}

bool Player::Insert(const Line& step, std::string& why) {
    return backend_.Insert(step.word(1)[0], step.word(2), why);
}

bool Player::Eject(const Line& step, std::string& why) {
    return backend_.Insert(step.word(1)[0], "", why);
}

bool Player::WaitFiles(const Line& step, std::string& why) {
    const std::string& folder = step.word(2);
    long wanted = std::stol(step.word(3));
    long count = -1;
    bool reached = WaitFor(
        [&] {
            count = backend_.CountFiles(folder);
            return count >= wanted;
        },
        options_.timeoutSeconds);
    if (!reached)
        why = folder + " holds " + std::to_string(count) + " files, not " + std::to_string(wanted) +
              ", after " + Seconds(options_.timeoutSeconds);
    return reached;
}

// readonly <pattern>: waits until a file matches, and has another program make every one that
// does read-only.
bool Player::ReadOnly(const Line& step, std::string& why) {
    std::string error;
    int made = 0;
    bool done = WaitFor(
        [&] {
            made = backend_.MakeReadOnly(step.word(1), error);
            return made != 0;
        },
        options_.timeoutSeconds);
    if (!done || made < 0)
        why = made < 0 ? error : "no file matched within " + Seconds(options_.timeoutSeconds);
    return done && made > 0;
}

// hold <file>: waits until another program can open the file, and has it hold it open.
bool Player::Hold(const Line& step, std::string& why) {
    std::string error;
    bool held =
        WaitFor([&] { return backend_.Hold(step.word(1), error); }, options_.timeoutSeconds);
    if (!held)
        why = "no other program could open it within " + Seconds(options_.timeoutSeconds) + ": " +
              error;
    return held;
}

// intruder at <function> <k> ...: waits until the other user's act, planned for that moment of
// the installer's run, has been made, and checks that it was done or refused as the step says.
bool Player::Intruder(const Line& step, std::string& why) {
    bool refused = false;
    std::string what, error;
    bool gone = false;
    bool acted = WaitFor(
        [&] {
            if (backend_.OtherUserActed(step, refused, what, error))
                return true;
            gone = backend_.Ended();
            return gone;
        },
        options_.timeoutSeconds);
    if (gone && !backend_.OtherUserActed(step, refused, what, error)) {
        why = "the installer ended before that moment";
        return false;
    }
    if (!acted) {
        why = error.empty() ? "the moment did not come within " + Seconds(options_.timeoutSeconds)
                            : error;
        return false;
    }
    bool expectRefused = step.words.size() >= 2 && step.words.back() == "refused" &&
                         step.words[step.words.size() - 2] == "expect";
    if (refused != expectRefused) {
        why = refused ? "the other user was refused (" + what + ")"
                      : "the other user was not refused: it was done";
        return false;
    }
    return true;
}

// watch text <id> <seconds> changes <n>: the control's text, read for that long, takes at least
// n different values, and every one fits on the control's line.
bool Player::WatchText(const Line& step, std::string& why) {
    auto window = Current(why);
    if (!window)
        return false;
    int id = std::stoi(step.word(2));
    double seconds = std::stod(step.word(3));
    size_t wanted = std::stoul(step.word(5));
    std::set<std::string> seen;
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        auto measured = backend_.MeasureText(*window, id);
        if (!measured) {
            why = "control " + std::to_string(id) + " can't be read or measured";
            return false;
        }
        if (measured->needed > measured->available) {
            why = Quoted(measured->text) + " needs " + std::to_string(measured->needed) +
                  " pixels; the control has " + std::to_string(measured->available);
            return false;
        }
        seen.insert(measured->text);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (seen.size() < wanted) {
        why = "control " + std::to_string(id) + " showed " + std::to_string(seen.size()) +
              " different texts in " + Seconds(seconds) + ", not " + std::to_string(wanted);
        return false;
    }
    return true;
}

// expect idle <seconds> <processor seconds>: the installer uses at most that much processor
// time while the user waits that long.
bool Player::ExpectIdle(const Line& step, std::string& why) {
    double seconds = std::stod(step.word(2));
    double most = std::stod(step.word(3));
    double before = backend_.ProcessorSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double used = backend_.ProcessorSeconds() - before;
    if (used > most) {
        char text[96];
        std::snprintf(text, sizeof text, "the installer used %.2f s of processor time in %s", used,
                      Seconds(seconds).c_str());
        why = text;
        return false;
    }
    return true;
}

// expect answering: the dialog's thread handles a message sent to it within a second, as the
// window of a program that answers does (Windows calls one that doesn't for 5 s "Not
// Responding").
bool Player::ExpectAnswering(const Line&, std::string& why) {
    auto window = Current(why);
    if (!window)
        return false;
    std::string error;
    if (backend_.Answers(*window, 1, error))
        return true;
    why = "the dialog " + Quoted(window->title) + " did not answer a message within 1 s" +
          (error.empty() ? "" : ": " + error);
    return false;
}

bool Player::Kill(const Line&, std::string& why) {
    return backend_.KillInstaller(why);
}

bool Player::StartSecond(const Line& step, std::string& why) {
    if (step.word(1) == "again") {
        dialog_.reset();
        dialogTitle_.clear();
        box_.reset();
        return backend_.StartAgain(why);
    }
    int status = 0;
    bool showed = false;
    if (!backend_.StartSecondCopy(status, showed, why))
        return false;
    if (status != 0 || showed) {
        why = "the second copy ended with " + std::to_string(status) +
              (showed ? " and showed a window" : "");
        return false;
    }
    return true;
}

bool Player::Step(const Line& step, std::string& why) {
    using Handler = bool (Player::*)(const Line&, std::string&);
    // Never destroyed: a scripted user may still play a step while the installer's process ends.
    static const auto& handlers = *new std::map<std::string, Handler, std::less<>>{
        {"expect dialog", &Player::ExpectDialog},
        {"expect hidden", &Player::ExpectHidden},
        {"expect text", &Player::ExpectText},
        {"expect checked", &Player::ExpectChecked},
        {"expect unchecked", &Player::ExpectChecked},
        {"expect box", &Player::ExpectBox},
        {"expect no", &Player::ExpectNoBox},
        {"expect taskbar", &Player::ExpectTaskbar},
        {"expect answering", &Player::ExpectAnswering},
        {"expect exit", &Player::ExpectExit},
        {"expect idle", &Player::ExpectIdle},
        {"watch", &Player::WatchText},
        {"click", &Player::Click},
        {"type", &Player::Type},
        {"escape", &Player::Escape},
        {"close", &Player::Close},
        {"browse", &Player::Browse},
        {"refuse", &Player::Refuse},
        {"answer", &Player::AnswerBox},
        {"insert", &Player::Insert},
        {"eject", &Player::Eject},
        {"wait", &Player::WaitFiles},
        {"hold", &Player::Hold},
        {"intruder", &Player::Intruder},
        {"readonly", &Player::ReadOnly},
        {"start", &Player::StartSecond},
        {"kill", &Player::Kill},
    };
    std::string kind = step.word(0) == "expect" ? "expect " + step.word(1) : step.word(0);
    auto handler = handlers.find(kind);
    if (handler == handlers.end()) {
        why = "unknown step";
        return false;
    }
    return (this->*handler->second)(step, why);
}

bool Play(const Scenario& scenario, Backend& backend, const PlayOptions& options,
          std::vector<std::string>& log) {
    auto write = [&](const std::string& line) {
        log.push_back(line);
        if (options.onLog)
            options.onLog(line);
    };
    Player player(backend, options);
    for (const auto& step : scenario.steps) {
        std::string why;
        if (!player.Step(step, why)) {
            write("FAIL " + step.where() + ": " + Joined(step) + ": " + why);
            for (const auto& line : player.DescribeWindows())
                write(line);
            return false;
        }
        write("ok " + step.where() + ": " + Joined(step));
    }
    write("done");
    return true;
}

bool LogPassed(const std::vector<std::string>& log) {
    std::string last;
    for (const auto& line : log) {
        if (line.rfind("FAIL", 0) == 0)
            return false;
        if (!line.empty())
            last = line;
    }
    return last == "done";
}

} // namespace scenario

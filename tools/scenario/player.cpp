// Plays a scenario's steps against a platform's windows, as a user would: looks for what must be
// seen, waiting up to a timeout, and acts only on what a user could reach.
#include <chrono>
#include <thread>

#include "scenario.h"

namespace scenario {

namespace {

using Clock = std::chrono::steady_clock;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Joined(const Line& line) {
    std::string text;
    for (const auto& word : line.words) {
        bool quote = word.empty() || word.find(' ') != std::string::npos;
        text += (text.empty() ? "" : " ") + (quote ? Quoted(word) : word);
    }
    return text;
}

std::vector<std::string> ButtonsOf(const std::string& kind) {
    if (kind == "yesno")
        return {"yes", "no"};
    return {"ok"};
}

const Control* FindControl(const Window& window, int id) {
    for (const auto& control : window.controls) {
        if (control.id == id || (id == -1 && control.id == 0xFFFF))
            return &control;
    }
    return nullptr;
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
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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

bool Player::Step(const Line& step, std::string& why) {
    const std::string& command = step.word(0);
    const double timeout = options_.timeoutSeconds;

    if (command == "expect" && step.word(1) == "dialog") {
        const std::string& title = step.word(2);
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
            timeout);
        if (!seen) {
            why = "no dialog " + Quoted(title) + " came up within " + Seconds(timeout);
            return false;
        }
        SetDialog(*found);
        return true;
    }

    if (command == "expect" && step.word(1) == "hidden") {
        const std::string& title = step.word(2);
        bool seen = WaitFor(
            [&] {
                for (const auto& window : backend_.Windows()) {
                    if (!window.messageBox && !window.visible && window.title == title)
                        return true;
                }
                return false;
            },
            timeout);
        if (!seen)
            why = "no hidden dialog " + Quoted(title) + " within " + Seconds(timeout);
        return seen;
    }

    if (command == "expect" &&
        (step.word(1) == "text" || step.word(1) == "checked" || step.word(1) == "unchecked")) {
        int id = std::stoi(step.word(2));
        std::string actual;
        bool seen = WaitFor(
            [&] {
                std::string ignored;
                auto window = Current(ignored);
                const Control* control = window ? FindControl(*window, id) : nullptr;
                if (control == nullptr)
                    return false;
                if (step.word(1) == "text") {
                    actual = Quoted(control->text);
                    return control->text == step.word(3);
                }
                actual = control->checked ? "checked" : "unchecked";
                return control->checked == (step.word(1) == "checked");
            },
            timeout);
        if (!seen) {
            std::string gone;
            if (!Current(gone))
                why = gone;
            else if (actual.empty())
                why = "the dialog has no control " + step.word(2);
            else
                why = "control " + step.word(2) + " is " + actual;
        }
        return seen;
    }

    if (command == "click" || command == "type" || command == "escape" || command == "close" ||
        command == "browse" || command == "refuse") {
        auto window = Current(why);
        if (!window)
            return false;
        std::string title = Quoted(window->title);
        std::string unreachable;
        if (!window->visible)
            unreachable = "the dialog " + title + " is hidden";
        else if (!window->enabled)
            unreachable = "the dialog " + title + " is disabled (a modal window it owns is up)";
        if (command == "refuse") {
            int id = std::stoi(step.word(2));
            const Control* control = FindControl(*window, id);
            if (!unreachable.empty() || control == nullptr || !control->enabled ||
                !control->visible)
                return true;
            why = "control " + step.word(2) + " of " + title + " could be clicked";
            return false;
        }
        if (!unreachable.empty()) {
            why = unreachable + ": no user could " + command + " there";
            return false;
        }
        if (command == "click")
            return backend_.Click(*window, std::stoi(step.word(1)), why);
        if (command == "type")
            return backend_.Type(*window, std::stoi(step.word(1)), step.word(2), why);
        if (command == "escape")
            return backend_.Escape(*window, why);
        if (command == "close")
            return backend_.Close(*window, why);
        std::string folder = step.word(2) == "cancel" ? "" : step.word(2);
        return backend_.Browse(*window, std::stoi(step.word(1)), folder, why);
    }

    if (command == "expect" && step.word(1) == "box") {
        const std::string& caption = step.word(2);
        const std::string& text = step.word(3);
        std::vector<std::string> buttons = ButtonsOf(step.word(4));
        const std::string& owner = step.word(6);
        std::optional<Window> found;
        bool seen = WaitFor(
            [&] {
                for (const auto& window : backend_.Windows()) {
                    if (window.messageBox && window.visible && window.title == caption &&
                        window.text == text && window.buttons == buttons && window.owner == owner &&
                        (!box_ || box_->handle != window.handle))
                        found = window; // the newest that matches
                }
                return found.has_value();
            },
            timeout);
        if (!seen) {
            why = "no box " + Quoted(caption) + " " + Quoted(text) + " " + step.word(4) +
                  " owner " + owner + " came up within " + Seconds(timeout);
            return false;
        }
        box_ = found;
        return true;
    }

    if (command == "answer") {
        if (!box_) {
            why = "no box expected before";
            return false;
        }
        if (!backend_.Answer(*box_, step.word(1), why))
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
            timeout);
        if (!gone)
            why = "the box " + Quoted(box_->title) + " stayed up after " + step.word(1);
        return gone;
    }

    if (command == "expect" && step.word(1) == "no") {
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

    if (command == "insert" || command == "eject") {
        char letter = step.word(1)[0];
        return backend_.Insert(letter, command == "insert" ? step.word(2) : "", why);
    }

    if (command == "wait") {
        const std::string& folder = step.word(2);
        long wanted = std::stol(step.word(3));
        long count = -1;
        bool reached = WaitFor(
            [&] {
                count = backend_.CountFiles(folder);
                return count >= wanted;
            },
            timeout);
        if (!reached)
            why = folder + " holds " + std::to_string(count) + " files, not " +
                  std::to_string(wanted) + ", after " + Seconds(timeout);
        return reached;
    }

    if (command == "start") {
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

    if (command == "expect" && step.word(1) == "exit") {
        bool ended = WaitFor([&] { return backend_.Ended(); }, timeout);
        if (!ended)
            why = "the installer did not end within " + Seconds(timeout);
        return ended;
    }

    why = "unknown step";
    return false;
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

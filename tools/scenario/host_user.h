// The user of the host build's installer: a scripted user that plays a scenario file, or a
// person at the terminal. Both run on a thread of their own inside the installer's process and
// act through winsim's windows.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "scenario.h"

namespace hostuser {

// A scripted user that plays the steps of scenarioFile. Each log line goes to logFile (when
// given) as soon as it is written. When the installer ends the process, the end waits for the
// play to finish, so that `expect exit` sees it. A play that stops while the installer still
// runs ends the process: 86 after a failed step, else 0.
std::unique_ptr<winsim::User> ScriptedUser(const std::string& scenarioFile,
                                           const std::string& logFile);

// Plans the acts of the scenario's `intruder` steps at their moments of the installer's run
// (before it starts); false with why for a step that names no act.
bool PlanIntruders(const scenario::Scenario& scenario, std::string& why);

// A person at the terminal: reads step commands from standard input and, after every change,
// prints the visible windows. `quit` or the end of the input stops the installer: the process
// ends with StoppedStatus.
std::unique_ptr<winsim::User> PersonAtTerminal();
constexpr int StoppedStatus = 3;

// The windows of the process, as a scenario sees them (UTF-8).
std::vector<scenario::Window> CurrentWindows();

// Prints windows for a person: every visible one with its controls or message.
std::string DescribeForPerson(const std::vector<scenario::Window>& windows);

// scenario::Backend over winsim's windows and machine.
class HostBackend : public scenario::Backend {
  public:
    std::vector<scenario::Window> Windows() override;
    bool Click(const scenario::Window& window, int controlId, std::string& error) override;
    bool ClickOnItsWay(const scenario::Window& window, int controlId, std::string& error) override;
    bool Type(const scenario::Window& window, int controlId, const std::string& text,
              std::string& error) override;
    bool Escape(const scenario::Window& window, std::string& error) override;
    bool Close(const scenario::Window& window, std::string& error) override;
    bool Answer(const scenario::Window& box, const std::string& button,
                std::string& error) override;
    bool Browse(const scenario::Window& window, int controlId, const std::string& folder,
                std::string& error) override;
    bool Insert(char letter, const std::string& disc, std::string& error) override;
    long CountFiles(const std::string& folder) override;
    int MakeReadOnly(const std::string& pattern, std::string& error) override;
    long long FileBytes(const std::string& path) override;
    bool Hold(const std::string& file, std::string& error) override;
    bool OtherUserActed(const scenario::Line& step, bool& refused, std::string& what,
                        std::string& error) override;
    bool StartSecondCopy(int& exitStatus, bool& showedWindow, std::string& error) override;
    bool KillInstaller(std::string& error) override;
    bool StartAgain(std::string& error) override;
    // True once the process has begun to end; its end waits for the play.
    bool Ended() override;
    std::optional<TextWidth> MeasureText(const scenario::Window& window, int controlId) override;
    double ProcessorSeconds() override;
    bool Answers(const scenario::Window& window, double seconds, std::string& error) override;
};

} // namespace hostuser

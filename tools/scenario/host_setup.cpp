// main() of the host build's setup: the installer over winsim, with the user the environment
// names at its windows.
//
//   WINSIM_MACHINE=folder      the simulated PC (machine.txt there; see winsim/src/machine.h)
//   WINSIM_PLAY=file.scn       a scripted user plays the scenario's steps, logging each one to
//   WINSIM_PLAY_LOG=file       this file (and to standard output, after the seconds since the
//                              play began)
//   WINSIM_INTERACTIVE=1       a person at the terminal types the steps (tools/walk)
//
// With neither, nobody is at the windows.
#include <cstdlib>
#include <memory>
#include <string>

#include "host_user.h"
#include "process.h"

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

int main(int argc, char** argv) {
    std::unique_ptr<winsim::User> user;
    if (std::string scenarioFile = Environment("WINSIM_PLAY"); !scenarioFile.empty())
        user = hostuser::ScriptedUser(scenarioFile, Environment("WINSIM_PLAY_LOG"));
    else if (Environment("WINSIM_INTERACTIVE") == "1")
        user = hostuser::PersonAtTerminal();
    winsim::RunWinMain(argc, argv, user.get());
}

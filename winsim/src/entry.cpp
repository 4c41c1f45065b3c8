// The host build's process entry: loads the simulated PC named by WINSIM_MACHINE, starts the
// scripted user (WINSIM_PLAY, a scenario file; its log goes to WINSIM_PLAY_LOG) or the user at
// the terminal (WINSIM_INTERACTIVE=1), then runs the installer's WinMain and ends the process
// with its result.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "host_user.h"
#include "machine.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

namespace {

const char* Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (const char* folder = Environment("WINSIM_MACHINE")) {
        std::lock_guard lock(winsim::machineLock());
        if (!winsim::machine().load(folder)) {
            std::fprintf(stderr, "setup: no machine.txt in %s\n", folder);
            return 2;
        }
    }
    if (const char* scenarioFile = Environment("WINSIM_PLAY")) {
        std::string error;
        if (!hostuser::StartScriptedUser(scenarioFile, Environment("WINSIM_PLAY_LOG"), error)) {
            std::fprintf(stderr, "setup: %s\n", error.c_str());
            return 2;
        }
    } else if (const char* interactive = Environment("WINSIM_INTERACTIVE");
               interactive != nullptr && std::string(interactive) == "1") {
        hostuser::StartInteractiveUser();
    }

    // The command line WinMain sees: the arguments after the program's name.
    static std::string commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    static char module;
    int status =
        WinMain(reinterpret_cast<HINSTANCE>(&module), nullptr, commandLine.data(), SW_SHOWNORMAL);
    std::exit(status);
}

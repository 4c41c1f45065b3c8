#include "process.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include "call_points.h"
#include "desktop.h"
#include "machine.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

namespace winsim {

namespace {

// How long the user's planned press of cancel may wait for the dialog's thread to handle it.
constexpr double PressSeconds = 10;

User* currentUser = nullptr;

void TellUserOfTheEnd() {
    if (currentUser != nullptr)
        currentUser->Ending();
}

// What the installer's calls came to, in calls.txt of the machine folder, for a test that
// replays the run with a call failed or a cancel pressed at each of them.
void WriteCallCounts() {
    std::string folder;
    {
        std::lock_guard lock(machineLock());
        folder = machine().folder;
    }
    if (folder.empty())
        return;
    std::ofstream(folder + "/calls.txt") << calls::Report();
}

} // namespace

void RunWinMain(int argc, char** argv, User* user) {
    const char* folder = std::getenv("WINSIM_MACHINE");
    if (folder != nullptr && *folder != '\0') {
        std::lock_guard lock(machineLock());
        if (!machine().load(folder)) {
            std::fprintf(stderr, "%s: no machine.txt in %s\n", argv[0], folder);
            std::exit(2);
        }
        calls::Plan plan;
        plan.failAt = machine().failCalls;
        plan.slowMs = machine().slowCalls;
        plan.cancelBeforeCall = machine().cancelBeforeCall;
        plan.killBeforeCall = machine().killBeforeCall;
        plan.killThread = machine().killThread;
        plan.powerCut = machine().powerCut;
        plan.pressCancel = [](const std::function<void()>& beforePress) {
            return desktop::PressAndWait("IDD_INSTALL", IDCANCEL, PressSeconds, beforePress);
        };
        calls::SetPlan(plan);
        std::atexit(WriteCallCounts);
    }
    if (user != nullptr) {
        std::string why;
        if (!user->Start(why)) {
            std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
            std::exit(2);
        }
        currentUser = user;
        std::atexit(TellUserOfTheEnd);
    }

    static std::string commandLine;
    for (int i = 1; i < argc; ++i)
        commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    static char module;
    calls::StartThread(0);
    int status =
        WinMain(reinterpret_cast<HINSTANCE>(&module), nullptr, commandLine.data(), SW_SHOWNORMAL);
    // What the main thread took it gives back before WinMain returns, as every thread must.
    // (ExitProcess, called from anywhere, ends the process with nothing given back: the system
    // takes it all then.)
    if (ComInitializations() > 0)
        Misuse("WinMain returned with " + std::to_string(ComInitializations()) +
               " CoInitialize call(s) of the main thread not undone by CoUninitialize");
    if (int lists = desktop::ItemListsNotFreed(); lists > 0)
        Misuse(std::to_string(lists) + " item list(s) of the folder browser never freed with "
                                       "CoTaskMemFree");
    std::exit(status);
}

} // namespace winsim

// The process ends as WinMain's return ends it: the machine's counts are written and the user is
// told.
void WINAPI ExitProcess(UINT exitCode) {
    { winsim::calls::Scope call("ExitProcess", 0); }
    std::exit((int)exitCode);
}

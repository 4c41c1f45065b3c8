// A program over winsim: the simulated PC, someone at its windows, and the program's WinMain.
// Such a program has a main() of its own that picks the user and hands over to RunWinMain, as a
// C runtime's startup code hands over to WinMain on Windows.
#pragma once

#include <string>

namespace winsim {

// Someone at the installer's windows: a scripted user, or a person at a terminal. It acts on
// threads of its own, through the desktop (desktop.h) and the machine (machine.h).
class User {
  public:
    virtual ~User() = default;
    // Called once the machine is loaded, before WinMain: starts acting. False, with why, ends
    // the process with status 2 before the installer starts.
    virtual bool Start(std::string& why) = 0;
    // Called on the thread that ends the process (WinMain returned, or the installer called
    // exit), before anything is torn down; the process ends once it returns.
    virtual void Ending() {}
};

// Loads the machine folder named by WINSIM_MACHINE (none: a machine with no drives), starts
// user (may be null), runs WinMain with the arguments after the program's name as its command
// line, and ends the process with WinMain's result.
[[noreturn]] void RunWinMain(int argc, char** argv, User* user);

} // namespace winsim

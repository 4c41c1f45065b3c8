#include "process.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "machine.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);

namespace winsim {

namespace {

User* currentUser = nullptr;

void TellUserOfTheEnd() {
    if (currentUser != nullptr)
        currentUser->Ending();
}

} // namespace

void RunInstaller(int argc, char** argv, User* user) {
    const char* folder = std::getenv("WINSIM_MACHINE");
    if (folder != nullptr && *folder != '\0') {
        std::lock_guard lock(machineLock());
        if (!machine().load(folder)) {
            std::fprintf(stderr, "%s: no machine.txt in %s\n", argv[0], folder);
            std::exit(2);
        }
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
    int status =
        WinMain(reinterpret_cast<HINSTANCE>(&module), nullptr, commandLine.data(), SW_SHOWNORMAL);
    std::exit(status);
}

} // namespace winsim

// Times the installer's copy of a set of discs on a simulated PC: a fixed drive c, a CD-ROM
// drive d, and each disc in turn put in d and copied by CopyDiscTree into C:\kelvo, as the
// install does. Prints the seconds all the copies took.
//
//     copy_bench [--busy none|running|paused] C_DRIVE_FOLDER DISC_FOLDER...
//
// --busy runs the product's busy indicator on a thread of its own during the copies, as the
// install dialog does: "running" counts and updates the status text, "paused" spins waiting for
// busyRunning; it is stopped afterwards as the copy worker stops it (StopBusyIndicator). There
// is no install dialog, so its SetDlgItemTextA calls fail at once, without drawing anything.
// "none" (the default) starts no indicator.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "app/install_state.h"
#include "app/installer.h"
#include "machine.h"
#include "media/disc_copy.h"

namespace {

enum class Busy { None, Running, Paused };

int Usage() {
    std::fprintf(stderr,
                 "usage: copy_bench [--busy none|running|paused] C_DRIVE_FOLDER DISC_FOLDER...\n");
    return 2;
}

// Starts the busy indicator the way the install dialog does, running or paused.
bool StartBusyIndicator(Busy busy) {
    InstallState.installDialog = nullptr;
    SetFlag(&InstallState.busyDone, 0);
    SetFlag(&InstallState.busyRunning, busy == Busy::Running ? 1 : 0);
    InstallState.busyThread =
        CreateThread(nullptr, 0, BusyIndicator, nullptr, 0, &InstallState.busyThreadId);
    return InstallState.busyThread != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    Busy busy = Busy::None;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--busy") {
        if (argc < 3)
            return Usage();
        std::string_view how = argv[2];
        if (how == "running")
            busy = Busy::Running;
        else if (how == "paused")
            busy = Busy::Paused;
        else if (how != "none")
            return Usage();
        first = 3;
    }
    if (argc - first < 2)
        return Usage();
    namespace fs = std::filesystem;
    winsim::Drive c;
    c.letter = 'c';
    c.kind = winsim::DriveKind::Fixed;
    c.hostFolder = fs::absolute(argv[first]).string();
    winsim::Drive d;
    d.letter = 'd';
    d.kind = winsim::DriveKind::CdRom;
    winsim::machine().drives = {{'c', c}, {'d', d}};

    std::strcpy(InstallState.cdRoot, "d:\\");
    std::strcpy(InstallState.installDir, "C:\\kelvo");
    if (busy != Busy::None && !StartBusyIndicator(busy)) {
        std::fprintf(stderr, "copy_bench: can't start the busy indicator\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (int disc = first + 1; disc < argc && status == 0; ++disc) {
        winsim::machine().drives['d'].hostFolder = fs::absolute(argv[disc]).string();
        if (CopyDiscTree(nullptr) != 0) {
            std::fprintf(stderr, "copy_bench: the copy of %s failed\n", argv[disc]);
            status = 1;
        }
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (busy != Busy::None)
        StopBusyIndicator();
    if (status == 0)
        std::printf("%.3f\n", took.count());
    return status;
}

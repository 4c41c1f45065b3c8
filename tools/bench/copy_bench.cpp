// Times the installer's copy of a set of discs on a simulated PC: a fixed drive c, a CD-ROM
// drive d, and each disc in turn put in d and copied by CopyDiscTree into C:\kelvo, as the
// install does. Prints the seconds all the copies took.
//
//     copy_bench C_DRIVE_FOLDER DISC_FOLDER...
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/install_state.h"
#include "machine.h"
#include "media/disc_copy.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: copy_bench C_DRIVE_FOLDER DISC_FOLDER...\n");
        return 2;
    }
    namespace fs = std::filesystem;
    winsim::Drive c;
    c.letter = 'c';
    c.kind = winsim::DriveKind::Fixed;
    c.hostFolder = fs::absolute(argv[1]).string();
    winsim::Drive d;
    d.letter = 'd';
    d.kind = winsim::DriveKind::CdRom;
    winsim::machine().drives = {{'c', c}, {'d', d}};

    std::strcpy(InstallState.cdRoot, "d:\\");
    std::strcpy(InstallState.installDir, "C:\\kelvo");
    auto start = std::chrono::steady_clock::now();
    for (int disc = 2; disc < argc; ++disc) {
        winsim::machine().drives['d'].hostFolder = fs::absolute(argv[disc]).string();
        if (CopyDiscTree(nullptr) != 0) {
            std::fprintf(stderr, "copy_bench: the copy of %s failed\n", argv[disc]);
            return 1;
        }
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    return 0;
}

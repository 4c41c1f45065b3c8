// The host build of the conformance test: its WinMain over winsim, on the machine its runner
// made (WINSIM_MACHINE).
#include "check.h"
#include "process.h"

check::Platform check::ThisPlatform() {
    return Platform::Winsim;
}

int main(int argc, char** argv) {
    winsim::RunWinMain(argc, argv, nullptr);
}

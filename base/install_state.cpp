#include "install_state.h"

// Zero but for the drive root of the first disc and the normal install. Every field is named: a
// constructor would need a C runtime to run it.
INSTALLSTATE InstallState = {
    NULL, {0}, {'c', ':', '\\', '\0'}, 1, 0, NULL, 0, NULL, 0, NULL, NULL, 0, 0, 0, {0}, 0,
    {0},  {0},
};

void SetFlag(volatile LONG* flag, LONG value) {
    InterlockedExchange(flag, value);
}

LONG FlagIsSet(volatile LONG* flag) {
    return InterlockedCompareExchange(flag, 0, 0);
}

BOOL ClaimEnding(LONG how) {
    return InterlockedCompareExchange(&InstallState.installEnding, how, INSTALL_RUNNING) ==
           INSTALL_RUNNING;
}

BOOL CancelRequested(void) {
    return FlagIsSet(&InstallState.installEnding) == INSTALL_CANCELLED;
}

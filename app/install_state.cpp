#include "install_state.h"

// Zero but for the fields that start otherwise (their initial values are in the record).
INSTALLSTATE InstallState;

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

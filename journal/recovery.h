#pragma once

#include <windows.h>

// Finishes what a setup stopped halfway left, whatever folder this setup installs into: the
// journal setup's registry entry names is rolled back (or, when it was committed, its kept files
// deleted), then it and the entry go. RECOVERY_BLOCKED when a file can't be put back or removed
// (blocker, MAX_PATH bytes, names it; the next setup tries again); RECOVERY_REFUSED when the
// entry names an install folder that no entry may name (NamesInstallFolder), or the journal is
// not the one the entry names or names a change setup could not have made (blocker names the
// journal; nothing is changed on their word and both are left as they are);
// RECOVERY_UNREGISTERED when setup can't tell where its entry is kept (SetupEntryRoot);
// RECOVERY_PLACE_REFUSED when the journal lies in setup's own folder of its volume
// (journal/own_place.h) and that folder is not setup's own (blocker names it; it is not
// changed, and nothing in it is read). Nothing may be installed then.
#define RECOVERY_DONE 0
#define RECOVERY_BLOCKED 1
#define RECOVERY_REFUSED 2
#define RECOVERY_UNREGISTERED 3
#define RECOVERY_PLACE_REFUSED 4
int RecoverInterruptedInstall(char* blocker);

// The fuzz targets run without the window manager. Nobody is there to answer the system's box
// for a drive without a disk, and the installer's probes never bring it up: they set
// SEM_FAILCRITICALERRORS.
#include <cstdlib>

#include "desktop.h"

bool winsim::desktop::AskForDisk(char) {
    std::abort();
}

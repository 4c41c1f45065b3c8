// The Windows build's disc copy, timed: the product's CopyDiscTree copies the product folder of
// each disc root in turn into the install folder, as the install does (its journal written ahead,
// the files already there moved aside), and the install is committed; the seconds all the copies
// and the commit took are printed (QueryPerformanceCounter, so a Wine start is not counted).
//
//     win_copy_bench INSTALL_FOLDER DISC_ROOT...
//
// for example win_copy_bench O:\run1\kelvo D:\ E:\ F:\ (a disc root is a drive's root).
//
// Exit status 0 when every copy succeeded, 1 when one failed, 2 on a usage error.
#include <windows.h>

#include <stdio.h>

#include "base/install_state.h"
#include "media/disc_copy.h"
#include "journal/install_journal.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: win_copy_bench INSTALL_FOLDER DISC_ROOT...\n");
        return 2;
    }
    if (lstrlenA(argv[1]) > INSTALL_DIR_MAX_LENGTH) {
        fprintf(stderr, "win_copy_bench: the install folder is too long\n");
        return 2;
    }
    for (int disc = 2; disc < argc; ++disc) {
        if (lstrlenA(argv[disc]) >= (int)sizeof InstallState.cdRoot) {
            fprintf(stderr, "win_copy_bench: %s is no drive root like D:\\\n", argv[disc]);
            return 2;
        }
    }
    lstrcpyA(InstallState.installDir, argv[1]);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int disc = 2; disc < argc; ++disc) {
        lstrcpyA(InstallState.cdRoot, argv[disc]);
        if (CopyDiscTree(NULL) != 0) {
            fprintf(stderr, "win_copy_bench: the copy of %s failed\n", argv[disc]);
            RemoveInstalledFiles(NULL);
            return 1;
        }
    }
    CommitInstall();
    QueryPerformanceCounter(&end);
    printf("%.3f\n", (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return 0;
}

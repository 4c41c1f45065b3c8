// The least a rollback of a repair install can do, timed: COUNT kept files moved back over the
// files that replaced them, one MoveFileExA(kept, name, MOVEFILE_REPLACE_EXISTING) each, all in
// one folder, newest first as a rollback goes. The seconds the moves took are printed
// (QueryPerformanceCounter, so a Wine start is not counted).
//
//     win_rollback_floor FOLDER COUNT
//
// FOLDER holds file00000.dat to file<COUNT-1>.dat and, for each, kept00000.bak and so on
// (tools/bench-copy lays them out); afterwards it holds the fileNNNNN.dat alone, each with the
// contents its kept file had.
//
// Exit status 0 when every file was moved back, 1 when one was not, 2 on a usage error.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

// The longest folder that leaves room for a name ("\file00000.dat").
#define FOLDER_MAX_LENGTH (MAX_PATH - 16)
#define COUNT_MAX 100000

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: win_rollback_floor FOLDER COUNT\n");
        return 2;
    }
    char* end = NULL;
    unsigned long count = strtoul(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || count == 0 || count > COUNT_MAX) {
        fprintf(stderr, "win_rollback_floor: COUNT must be 1 to %d\n", COUNT_MAX);
        return 2;
    }
    if (lstrlenA(argv[1]) > FOLDER_MAX_LENGTH) {
        fprintf(stderr, "win_rollback_floor: the folder is too long\n");
        return 2;
    }

    char kept[MAX_PATH];
    char name[MAX_PATH];
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned long number = count; number-- > 0;) {
        snprintf(kept, sizeof kept, "%s\\kept%05lu.bak", argv[1], number);
        snprintf(name, sizeof name, "%s\\file%05lu.dat", argv[1], number);
        if (!MoveFileExA(kept, name, MOVEFILE_REPLACE_EXISTING)) {
            fprintf(stderr, "win_rollback_floor: %s could not be moved back (error %lu)\n", kept,
                    (unsigned long)GetLastError());
            return 1;
        }
    }
    QueryPerformanceCounter(&stop);
    printf("%.3f\n", (double)(stop.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    return 0;
}

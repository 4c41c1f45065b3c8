// The least a rollback of a repair install can do, timed: COUNT kept files moved back over the
// files that replaced them, one MoveFileExA(kept, name, MOVEFILE_REPLACE_EXISTING) each, all in
// one folder, newest first as a rollback goes. With --delete, the least its commit can do: every
// file that LIST names (one path a line, in the ANSI code page) made writable and deleted, one
// SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) and one DeleteFileA(path) each, in the list's
// order. The seconds the moves or the deletes took are printed (QueryPerformanceCounter, so a
// Wine start is not counted, nor the reading of LIST).
//
//     win_rollback_floor FOLDER COUNT
//     win_rollback_floor --delete LIST
//
// FOLDER holds file00000.dat to file<COUNT-1>.dat and, for each, kept00000.bak and so on
// (tools/bench-copy lays them out); afterwards it holds the fileNNNNN.dat alone, each with the
// contents its kept file had.
//
// Exit status 0 when every file was moved back or deleted, 1 when one was not, 2 on a usage
// error.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The longest folder that leaves room for a name ("\file00000.dat").
#define FOLDER_MAX_LENGTH (MAX_PATH - 16)
#define COUNT_MAX 100000

static void PrintSeconds(const LARGE_INTEGER* start, const LARGE_INTEGER* stop) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    printf("%.3f\n", (double)(stop->QuadPart - start->QuadPart) / (double)frequency.QuadPart);
}

// The paths of the list, each ended by its NUL in place of its line's end: the count of them, or
// -1 when the list can't be read, a line is longer than a path or there are more than COUNT_MAX.
static long ReadList(const char* list, char** paths) {
    FILE* file = fopen(list, "rb");
    if (file == NULL)
        return -1;
    static char text[1 << 22];
    size_t length = fread(text, 1, sizeof text - 1, file);
    BOOL whole = feof(file) && !ferror(file);
    fclose(file);
    if (!whole)
        return -1;
    text[length] = '\0';
    long count = 0;
    for (char* line = text; *line != '\0';) {
        char* end = strchr(line, '\n');
        if (end == NULL)
            end = line + lstrlenA(line);
        if (end - line >= MAX_PATH)
            return -1;
        char* next = *end == '\0' ? end : end + 1;
        *end = '\0';
        if (*line != '\0') {
            if (count == COUNT_MAX)
                return -1;
            paths[count++] = line;
        }
        line = next;
    }
    return count;
}

static int DeleteListed(const char* list) {
    static char* paths[COUNT_MAX];
    long count = ReadList(list, paths);
    if (count <= 0) {
        fprintf(stderr, "win_rollback_floor: %s can't be read, or names no file\n", list);
        return 2;
    }
    LARGE_INTEGER start, stop;
    QueryPerformanceCounter(&start);
    for (long number = 0; number < count; number++) {
        SetFileAttributesA(paths[number], FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileA(paths[number])) {
            fprintf(stderr, "win_rollback_floor: %s could not be deleted (error %lu)\n",
                    paths[number], (unsigned long)GetLastError());
            return 1;
        }
    }
    QueryPerformanceCounter(&stop);
    PrintSeconds(&start, &stop);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && lstrcmpA(argv[1], "--delete") == 0)
        return DeleteListed(argv[2]);
    if (argc != 3) {
        fprintf(stderr, "usage: win_rollback_floor FOLDER COUNT | --delete LIST\n");
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
    LARGE_INTEGER start, stop;
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
    PrintSeconds(&start, &stop);
    return 0;
}

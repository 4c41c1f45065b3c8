#include "drive_probes.h"

#include "../base/install_state.h"
#include "../base/paths.h"

char FindCdDrive(void) {
    return FindCdDriveFrom('c');
}

char FindCdDriveFrom(char first) {
    char root[4] = {first, ':', '\\', '\0'};
    for (; root[0] <= 'z'; root[0]++) {
        if (GetDriveTypeA(root) == DRIVE_CDROM)
            return root[0];
    }
    return 0;
}

// Every probe of a drive runs with the system's critical-error box off: a drive with no disk in
// it (an empty CD-ROM drive, a floppy or ZIP drive) then fails the call at once, where the system
// would otherwise ask the user to insert a disk before every disc check. The mode is the
// process's, and the programs it starts inherit it: the one before comes back after the probe,
// so that the game and the DirectX setup start with the system's default.
UINT BeginDriveProbe(void) {
    return SetErrorMode(SEM_FAILCRITICALERRORS);
}

void EndDriveProbe(UINT previousMode) {
    SetErrorMode(previousMode);
}

int VolumeLabelIs(const char* root, const char* label) {
    char volumeLabel[127];
    char fileSystem[254];
    DWORD serial = 0, maxNameLength = 0, flags = 0;
    UINT previousMode = BeginDriveProbe();
    BOOL read = GetVolumeInformationA(root, volumeLabel, sizeof(volumeLabel), &serial,
                                      &maxNameLength, &flags, fileSystem, sizeof(fileSystem));
    EndDriveProbe(previousMode);
    if (!read)
        return 0;
    return lstrcmpA(volumeLabel, label) == 0 ? 1 : 0;
}

typedef BOOL(WINAPI* GETDISKFREESPACEEXA)(LPCSTR root, PULARGE_INTEGER availableToCaller,
                                          PULARGE_INTEGER total, PULARGE_INTEGER totalFree);

// The free bytes of the drive at root. The first release of Windows 95 has no
// GetDiskFreeSpaceExA (a program that imports it does not load there); every drive it can use is
// FAT16 and at most 2 GiB, so the older count of clusters is exact on it.
static BOOL DriveFreeBytes(const char* root, ULONGLONG* freeBytes) {
    GETDISKFREESPACEEXA freeSpaceEx = (GETDISKFREESPACEEXA)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA");
    if (freeSpaceEx != NULL) {
        ULARGE_INTEGER available, total, totalFree;
        if (!freeSpaceEx(root, &available, &total, &totalFree))
            return FALSE;
        *freeBytes = totalFree.QuadPart;
        return TRUE;
    }
    DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
    if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        return FALSE;
    *freeBytes = (ULONGLONG)sectorsPerCluster * bytesPerSector * freeClusters;
    return TRUE;
}

ULONGLONG FreeMegabytes(const char* path) {
    // "C:games" is relative to the drive's current folder: no place to install either.
    if (DriveRootLength(path) == 0)
        return 0;
    char root[4] = {path[0], ':', '\\', '\0'};
    // A disc takes no files, whatever the drive reports: a CD-ROM drive that is a folder on the
    // disk (as Wine often has it) would report that disk's space.
    if (GetDriveTypeA(root) == DRIVE_CDROM)
        return 0;
    ULONGLONG freeBytes;
    UINT previousMode = BeginDriveProbe();
    BOOL known = DriveFreeBytes(root, &freeBytes);
    EndDriveProbe(previousMode);
    return known ? freeBytes >> 20 : 0;
}

BOOL DiscIsInDrive(const char* label) {
    char root[4] = {'c', ':', '\\', '\0'};
    for (char letter = FindCdDrive(); letter != 0; letter = FindCdDriveFrom((char)(letter + 1))) {
        root[0] = letter;
        if (VolumeLabelIs(root, label) == 1) {
            InstallState.cdRoot[0] = letter;
            return TRUE;
        }
    }
    return FALSE;
}

#include "drive_probes.h"

#include "../app/install_state.h"
#include "join_path.h"

char FindCdDrive(void) {
    char root[4] = {'c', ':', '\\', '\0'};
    for (; root[0] <= 'z'; root[0]++) {
        if (GetDriveTypeA(root) == DRIVE_CDROM)
            return root[0];
    }
    return 0;
}

int VolumeLabelIs(const char* root, const char* label) {
    char volumeLabel[127];
    char fileSystem[254];
    DWORD serial = 0, maxNameLength = 0, flags = 0;
    if (!GetVolumeInformationA(root, volumeLabel, sizeof(volumeLabel), &serial, &maxNameLength,
                               &flags, fileSystem, sizeof(fileSystem)))
        return 0;
    return lstrcmpA(volumeLabel, label) == 0 ? 1 : 0;
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
    ULARGE_INTEGER available, total, totalFree;
    if (!GetDiskFreeSpaceExA(root, &available, &total, &totalFree))
        return 0;
    return totalFree.QuadPart >> 20;
}

BOOL DiscIsInDrive(const char* label) {
    char letter = FindCdDrive();
    if (letter == 0)
        return FALSE;
    InstallState.cdRoot[0] = letter;
    return VolumeLabelIs(InstallState.cdRoot, label) == 1;
}

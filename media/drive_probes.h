#pragma once

#include <windows.h>

// Around a look at a drive that may hold no disk: no system box asks for one (see
// drive_probes.cpp). EndDriveProbe takes what BeginDriveProbe returned.
UINT BeginDriveProbe(void);
void EndDriveProbe(UINT previousMode);

// The letter of the first CD-ROM drive from c to z, lower case, or 0 when there is none.
char FindCdDrive(void);

// The same from the lower-case letter first on: the next CD-ROM drive after another.
char FindCdDriveFrom(char first);

// 1 when the volume at root carries exactly the label wanted; 0 otherwise, and 0 whenever the
// label can't be read (no disc, unreadable volume, no such drive).
int VolumeLabelIs(const char* root, const char* label);

// Free MiB (total free bytes >> 20) of the drive that path starts with. 0 when the path does not
// start with a drive root ("d:\", "d:/" or just "d:"), when it lies on a CD-ROM drive, or when
// the drive can't be asked.
ULONGLONG FreeMegabytes(const char* path);

// The disc check: looks at every CD-ROM drive from c to z in turn for a disc that carries label.
// TRUE when one does, with its letter stored in InstallState.cdRoot, the drive the copy and the
// DirectX setup then read from; FALSE, with cdRoot as it was, when none does.
BOOL DiscIsInDrive(const char* label);

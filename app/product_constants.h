#pragma once

#include <windows.h>

// What makes this installer belong to its product. All text is code page 950.
extern const char OwnerClassName[];
extern const char InstallerTitle[];
extern const char ProductTitle[];
extern const char CompanyFolder[];
extern const char DefaultInstallRoot[];
extern const char ProductFolder[];
extern const char DiscLabel1[];
extern const char DiscLabel2[];
extern const char MapDiscLabel[];
extern const char GameExeSuffix[];
extern const char MinimalRunFlag[];
extern const char NormalRunFlag[];
extern const char DirectXSetup[];
// Setup's own names beside the install: its journal, and the files it moves aside (the prefix,
// a number, the suffix). No disc may carry a name that begins with SetupNamePrefix.
extern const char SetupNamePrefix[];
extern const char JournalName[];
extern const char KeptPrefix[];
extern const char KeptSuffix[];
extern const ULONGLONG MinimalMegabytes;
extern const ULONGLONG NormalMegabytes;

// Message texts and captions.
extern const char TextConfirmInstall[]; // wsprintfA format, %s is the install folder
extern const char CaptionInstall[];
extern const char TextNoSpace[];
extern const char CaptionWarning[];
extern const char TextInsertDisc1[];
extern const char CaptionNotice[];
extern const char TextInsertDisc2[];
extern const char TextInsertMapDisc[];
extern const char TextInstallFailed[];
extern const char CaptionMessage[];
extern const char TextOfferDirectX[];
extern const char TextInstallDone[];
extern const char TextNoUninstaller[];
extern const char CaptionAttention[];
extern const char TextRegistryFault[];
extern const char CaptionError[];
extern const char TextPathTooLong[];
extern const char TextPathInvalid[];
extern const char BusyBaseText[];

// Shortcut table: target name in the install folder, link file name, description.
#define SHORTCUT_ROWS 3
extern const char* const ShortcutTargets[SHORTCUT_ROWS];
extern const char* const ShortcutLinkNames[SHORTCUT_ROWS];
extern const char* const ShortcutDescriptions[SHORTCUT_ROWS];

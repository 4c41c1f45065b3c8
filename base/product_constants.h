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
// Setup's own names: every one begins with SetupNamePrefix, and no disc may carry such a name.
// An install's journal is KeptPrefix, its identity in eight hexadecimal digits and JournalSuffix;
// the files it moves aside go into a folder of the same name without the suffix beside the
// journal, or, for a link, beside the link with "-", a number and KeptSuffix.
extern const char SetupNamePrefix[];
extern const char KeptPrefix[];
extern const char JournalSuffix[];
extern const char KeptSuffix[];
// The registry key, under HKEY_LOCAL_MACHINE (or HKEY_CURRENT_USER where setup may not write
// there), that names the journal of an install while it can still be undone.
extern const char SetupEntryKey[];
// The mutex a running setup holds from its start to its end, one on the PC at a time: the global
// name where Windows has one namespace per session (2000 and later), the plain one before.
extern const char SetupMutexGlobalName[];
extern const char SetupMutexName[];
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
extern const char TextRecoveryBlocked[];  // wsprintfA format, %s is the file in the way
extern const char TextJournalRefused[];   // wsprintfA format, %s is the journal
extern const char TextOwnFolderRefused[]; // wsprintfA format, %s is the folder
extern const char BusyBaseText[];

// Shortcut table: target name in the install folder, link file name, description.
#define SHORTCUT_ROWS 3
extern const char* const ShortcutTargets[SHORTCUT_ROWS];
extern const char* const ShortcutLinkNames[SHORTCUT_ROWS];
extern const char* const ShortcutDescriptions[SHORTCUT_ROWS];

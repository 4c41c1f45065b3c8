#pragma once

#include <windows.h>

// Makes the program group with its three shortcuts and the two desktop shortcuts, each written
// ahead in the install's journal, with COM initialised on the calling thread for the while.
// Returns SHORTCUTS_WRITTEN; SHORTCUTS_CANCELLED when the user cancelled meanwhile;
// SHORTCUTS_FAILED when a link or folder of the group can't be written ahead (the install must
// fail then); SHORTCUTS_NO_SHELL_FOLDERS when the shell folders key can't be opened (the user has
// been told, unless the user has cancelled meanwhile, which gives SHORTCUTS_CANCELLED). When COM
// can't be had it says "Coinitalize failed" once and writes no link.
#define SHORTCUTS_WRITTEN 1
#define SHORTCUTS_CANCELLED 0
#define SHORTCUTS_FAILED -1
#define SHORTCUTS_NO_SHELL_FOLDERS 2
int CreateProductShortcuts(void);

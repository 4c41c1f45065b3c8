#pragma once

#include <windows.h>

// Makes the program group with its three shortcuts and the two desktop shortcuts, each written
// ahead in the install's journal, with COM initialised on the calling thread for the while.
// Returns 1; 0 when the user cancelled meanwhile; -1 when a link or folder of the group can't be
// written ahead (the install must fail then). When the shell folders key can't be opened it
// tells the user and ends the process with status 0, unless the user has cancelled the install
// meanwhile (it then returns 0). When COM can't be had it says "Coinitalize failed" once and
// writes no link.
int CreateProductShortcuts(void);

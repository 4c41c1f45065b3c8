#pragma once

#include <windows.h>

// Makes room for needed bytes in a block of the process heap that grows as it fills: *block of
// *room bytes (NULL and 0 before it is first made), made of first bytes and doubled until needed
// fits. FALSE, with the block as it was, when the heap has no larger one to give.
BOOL GrowBlock(char** block, DWORD* room, DWORD needed, DWORD first);

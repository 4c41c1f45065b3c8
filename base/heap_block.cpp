#include "heap_block.h"

BOOL GrowBlock(char** block, DWORD* room, DWORD needed, DWORD first) {
    if (needed <= *room)
        return TRUE;
    DWORD size = *room == 0 ? first : *room;
    while (size < needed)
        size *= 2;
    char* grown = *block == NULL ? (char*)HeapAlloc(GetProcessHeap(), 0, size)
                                 : (char*)HeapReAlloc(GetProcessHeap(), 0, *block, size);
    if (grown == NULL)
        return FALSE;
    *block = grown;
    *room = size;
    return TRUE;
}

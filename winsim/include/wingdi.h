#pragma once
#define WHITE_BRUSH 0
#define BLACK_BRUSH 4
HGDIOBJ WINAPI GetStockObject(int object);

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *LPSIZE;
HGDIOBJ WINAPI SelectObject(HDC dc, HGDIOBJ object);
BOOL WINAPI GetTextExtentPoint32A(HDC dc, LPCSTR text, int length, LPSIZE size);

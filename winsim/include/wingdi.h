#pragma once
#define WHITE_BRUSH 0
#define BLACK_BRUSH 4
HGDIOBJ WINAPI GetStockObject(int object);

#include "window_picture.h"

#include <vector>

bool SaveWindowPicture(HWND window, const std::wstring& path) {
    RECT frame;
    if (!GetWindowRect(window, &frame))
        return false;
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    if (width <= 0 || height <= 0)
        return false;

    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height; // bottom-up rows, as a BMP file holds them
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    DWORD rowBytes = ((DWORD)width * 3 + 3) & ~3u;
    header.biSizeImage = rowBytes * (DWORD)height;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        copied = BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
        GdiFlush();
        SelectObject(memory, old);
    }

    bool written = false;
    if (copied) {
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof file + sizeof header;
        file.bfSize = file.bfOffBits + header.biSizeImage;
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD put = 0;
            written = WriteFile(out, &file, sizeof file, &put, nullptr) &&
                      WriteFile(out, &header, sizeof header, &put, nullptr) &&
                      WriteFile(out, bits, header.biSizeImage, &put, nullptr);
            written = CloseHandle(out) && written;
        }
    }
    if (bitmap != nullptr)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

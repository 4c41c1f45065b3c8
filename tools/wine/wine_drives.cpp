#include "wine_drives.h"

#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "wide_text.h"

namespace {

// Wine's own mount manager request (its ddk/mountmgr.h; the MinGW copy of that header predates
// the label and serial fields, so the layout is stated here). The strings follow the header in
// one buffer, as Unix byte strings with their NUL.
struct UnixDriveRequest {
    ULONG size;
    ULONG type;
    ULONG fsType;
    DWORD serial;
    ULONGLONG unixDevice;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};

constexpr ULONG MountManagerType = 'm';
constexpr DWORD DefineUnixDrive =
    CTL_CODE(MountManagerType, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
constexpr ULONG FsTypeIso9660 = 3;

std::string LastErrorText() {
    return "error " + std::to_string(GetLastError());
}

} // namespace

bool DefineCdromDrive(char letter, const std::string& unixFolder, const std::string& unixDevice,
                      std::string& error) {
    size_t deviceSize = unixDevice.empty() ? 0 : unixDevice.size() + 1;
    std::vector<char> buffer(sizeof(UnixDriveRequest) + unixFolder.size() + 1 + deviceSize, '\0');
    UnixDriveRequest request{};
    request.size = (ULONG)buffer.size();
    request.type = DRIVE_CDROM;
    request.fsType = FsTypeIso9660;
    request.letter = (WCHAR)(letter | 0x20);
    request.mountPointOffset = (USHORT)sizeof(UnixDriveRequest);
    if (!unixDevice.empty())
        request.deviceOffset = (USHORT)(sizeof(UnixDriveRequest) + unixFolder.size() + 1);
    std::memcpy(buffer.data(), &request, sizeof(request));
    std::memcpy(buffer.data() + sizeof(request), unixFolder.c_str(), unixFolder.size() + 1);
    if (!unixDevice.empty())
        std::memcpy(buffer.data() + request.deviceOffset, unixDevice.c_str(), deviceSize);

    HANDLE manager =
        CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (manager == INVALID_HANDLE_VALUE) {
        error = "can't open the mount manager: " + LastErrorText();
        return false;
    }
    DWORD returned = 0;
    BOOL done = DeviceIoControl(manager, DefineUnixDrive, buffer.data(), (DWORD)buffer.size(),
                                nullptr, 0, &returned, nullptr);
    if (!done)
        error =
            "the mount manager refused drive " + std::string(1, letter) + ": " + LastErrorText();
    CloseHandle(manager);
    return done;
}

std::optional<std::string> VolumeLabel(char letter) {
    wchar_t root[] = {(wchar_t)letter, L':', L'\\', L'\0'};
    wchar_t label[MAX_PATH + 1];
    if (!GetVolumeInformationW(root, label, MAX_PATH + 1, nullptr, nullptr, nullptr, nullptr, 0))
        return std::nullopt;
    return Narrow(label, lstrlenW(label));
}

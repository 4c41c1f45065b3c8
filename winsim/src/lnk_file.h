// The bytes of a shell link (.lnk) file in the published Shell Link Binary File Format, and the
// text conversions the shell link object needs around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace winsim {

// Where a link's target lives: the volume of its drive.
struct LinkVolume {
    std::uint32_t driveType = 3; // DRIVE_FIXED
    std::uint32_t serial = 0;
    std::string label; // code page 950
};

// What the header records about the target file; all zero when it does not exist.
struct LinkTargetFacts {
    std::uint32_t attributes = 0;
    std::uint32_t size = 0;         // low 32 bits, as the format keeps them
    std::uint64_t creationTime = 0; // FILETIME: 100 ns units since 1601-01-01 UTC
    std::uint64_t accessTime = 0;
    std::uint64_t writeTime = 0;
};

// Everything a link holds. Texts are code page 950; an empty text is left out of the file.
struct LinkContent {
    std::string target;
    // The target's volume. With one, the target (an absolute path on that drive) goes into
    // the link info; without one, it is kept as a relative path.
    std::optional<LinkVolume> volume;
    LinkTargetFacts facts;
    std::string description;
    std::string workingDirectory;
    std::string arguments;
    std::optional<std::string> iconPath;
    int iconIndex = 0;
    int showCommand = 1; // SW_SHOWNORMAL
    std::uint16_t hotkey = 0;
};

// The file's bytes, or nullopt when a text is too long for the format (more than 65535 UTF-16
// code units in one string).
std::optional<std::string> LinkFileBytes(const LinkContent& link);

// Code page 950 to UTF-16LE bytes. Bytes that do not convert come out as '?'.
std::string Cp950ToUtf16Le(std::string_view text);
// A NUL-terminated UTF-16 string (host order, as WCHAR holds it) to UTF-8; unpaired surrogates
// come out as '?'.
std::string WideToUtf8(const std::uint16_t* wide);

} // namespace winsim

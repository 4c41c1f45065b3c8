// A shell link file, laid out as the Shell Link Binary File Format describes it: the header,
// the link info (volume and local base path, in code page 950 and in UTF-16), the counted
// strings in UTF-16, and the terminal extra data block. There is no item id list: readers find
// the target through the link info.
#include "lnk_file.h"

#include "machine.h"

namespace winsim {

namespace {

// Link flags.
constexpr std::uint32_t HasLinkInfo = 0x00000002;
constexpr std::uint32_t HasName = 0x00000004;
constexpr std::uint32_t HasRelativePath = 0x00000008;
constexpr std::uint32_t HasWorkingDir = 0x00000010;
constexpr std::uint32_t HasArguments = 0x00000020;
constexpr std::uint32_t HasIconLocation = 0x00000040;
constexpr std::uint32_t IsUnicode = 0x00000080;

// Link info flags.
constexpr std::uint32_t VolumeIdAndLocalBasePath = 0x00000001;

constexpr std::uint32_t HeaderSize = 0x4C;
constexpr std::uint32_t LinkInfoHeaderSize = 0x24; // with the Unicode offsets
constexpr std::uint32_t VolumeIdHeaderSize = 0x10;

// {00021401-0000-0000-C000-000000000046} as it is stored: the first three fields little-endian.
constexpr unsigned char LinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

class Bytes {
  public:
    void U16(std::uint32_t value) {
        out_ += (char)(value & 0xFF);
        out_ += (char)((value >> 8) & 0xFF);
    }
    void U32(std::uint32_t value) {
        U16(value & 0xFFFF);
        U16(value >> 16);
    }
    void U64(std::uint64_t value) {
        U32((std::uint32_t)value);
        U32((std::uint32_t)(value >> 32));
    }
    void Raw(std::string_view bytes) { out_.append(bytes); }
    void PatchU32(size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            out_[at + i] = (char)((value >> (8 * i)) & 0xFF);
    }
    size_t size() const { return out_.size(); }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

// A counted string of the string data: its length in UTF-16 code units, then the units.
bool AddCountedString(Bytes& bytes, std::string_view cp950) {
    std::string wide = Cp950ToUtf16Le(cp950);
    size_t units = wide.size() / 2;
    if (units > 0xFFFF)
        return false;
    bytes.U16((std::uint32_t)units);
    bytes.Raw(wide);
    return true;
}

void AddLinkInfo(Bytes& bytes, const std::string& target, const LinkVolume& volume) {
    size_t start = bytes.size();
    std::uint32_t volumeIdSize = VolumeIdHeaderSize + (std::uint32_t)volume.label.size() + 1;
    std::uint32_t localBasePath = LinkInfoHeaderSize + volumeIdSize;
    std::uint32_t commonPathSuffix = localBasePath + (std::uint32_t)target.size() + 1;
    std::uint32_t localBasePathUnicode = commonPathSuffix + 1;
    std::string wideTarget = Cp950ToUtf16Le(target);
    std::uint32_t commonPathSuffixUnicode =
        localBasePathUnicode + (std::uint32_t)wideTarget.size() + 2;

    bytes.U32(0); // LinkInfoSize, patched below
    bytes.U32(LinkInfoHeaderSize);
    bytes.U32(VolumeIdAndLocalBasePath);
    bytes.U32(LinkInfoHeaderSize); // VolumeIDOffset
    bytes.U32(localBasePath);
    bytes.U32(0); // CommonNetworkRelativeLinkOffset: none
    bytes.U32(commonPathSuffix);
    bytes.U32(localBasePathUnicode);
    bytes.U32(commonPathSuffixUnicode);

    bytes.U32(volumeIdSize);
    bytes.U32(volume.driveType);
    bytes.U32(volume.serial);
    bytes.U32(VolumeIdHeaderSize); // VolumeLabelOffset
    bytes.Raw(volume.label);
    bytes.Raw(std::string_view("\0", 1));

    bytes.Raw(target);
    bytes.Raw(std::string_view("\0", 1));
    bytes.Raw(std::string_view("\0", 1)); // CommonPathSuffix: empty
    bytes.Raw(wideTarget);
    bytes.Raw(std::string_view("\0\0", 2));
    bytes.Raw(std::string_view("\0\0", 2)); // CommonPathSuffixUnicode: empty

    bytes.PatchU32(start, (std::uint32_t)(bytes.size() - start));
}

} // namespace

std::string Cp950ToUtf16Le(std::string_view text) {
    return ConvertText("UTF-16LE", "CP950", text, 1, std::string_view("?\0", 2));
}

std::string WideToUtf8(const std::uint16_t* wide) {
    std::string bytes;
    for (const std::uint16_t* at = wide; *at != 0; ++at) {
        bytes += (char)(*at & 0xFF);
        bytes += (char)(*at >> 8);
    }
    return ConvertText("UTF-8", "UTF-16LE", bytes, 2, "?");
}

std::optional<std::string> LinkFileBytes(const LinkContent& link) {
    bool linkInfo = link.volume.has_value() && !link.target.empty();
    bool relativePath = !linkInfo && !link.target.empty();
    bool icon = link.iconPath.has_value() && !link.iconPath->empty();
    std::uint32_t flags = IsUnicode;
    if (linkInfo)
        flags |= HasLinkInfo;
    if (!link.description.empty())
        flags |= HasName;
    if (relativePath)
        flags |= HasRelativePath;
    if (!link.workingDirectory.empty())
        flags |= HasWorkingDir;
    if (!link.arguments.empty())
        flags |= HasArguments;
    if (icon)
        flags |= HasIconLocation;

    Bytes bytes;
    bytes.U32(HeaderSize);
    bytes.Raw(std::string_view((const char*)LinkClsid, sizeof(LinkClsid)));
    bytes.U32(flags);
    bytes.U32(link.facts.attributes);
    bytes.U64(link.facts.creationTime);
    bytes.U64(link.facts.accessTime);
    bytes.U64(link.facts.writeTime);
    bytes.U32(link.facts.size);
    bytes.U32((std::uint32_t)link.iconIndex);
    bytes.U32((std::uint32_t)link.showCommand);
    bytes.U16(link.hotkey);
    bytes.U16(0); // Reserved1
    bytes.U32(0); // Reserved2
    bytes.U32(0); // Reserved3

    if (linkInfo)
        AddLinkInfo(bytes, link.target, *link.volume);

    // The string data, in the order the format fixes.
    if ((flags & HasName) != 0 && !AddCountedString(bytes, link.description))
        return std::nullopt;
    if (relativePath && !AddCountedString(bytes, link.target))
        return std::nullopt;
    if ((flags & HasWorkingDir) != 0 && !AddCountedString(bytes, link.workingDirectory))
        return std::nullopt;
    if ((flags & HasArguments) != 0 && !AddCountedString(bytes, link.arguments))
        return std::nullopt;
    if (icon && !AddCountedString(bytes, *link.iconPath))
        return std::nullopt;

    bytes.U32(0); // terminal block
    return bytes.take();
}

} // namespace winsim

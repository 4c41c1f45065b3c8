// The module's resources as the Windows build links them: the two dialogs, and a version
// resource that names the product in Traditional Chinese and English; no manifest.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace winsim {
extern const unsigned char ModuleResources[];
extern const std::size_t ModuleResourcesSize;
} // namespace winsim

namespace {

std::uint32_t DoubleWord(const unsigned char* at) {
    return at[0] | at[1] << 8 | at[2] << 16 | (std::uint32_t)at[3] << 24;
}

// The numbered resource types of a .res image, and the data of its version resource.
void ReadResources(std::set<int>& types, std::string& version) {
    const unsigned char* image = winsim::ModuleResources;
    std::size_t at = 0;
    while (at + 12 <= winsim::ModuleResourcesSize) {
        std::uint32_t dataSize = DoubleWord(image + at);
        std::uint32_t headerSize = DoubleWord(image + at + 4);
        // The type follows: 0xFFFF and a number, or a name.
        if (image[at + 8] == 0xFF && image[at + 9] == 0xFF) {
            int type = image[at + 10] | image[at + 11] << 8;
            types.insert(type);
            if (type == 16)
                version.assign((const char*)image + at + headerSize, dataSize);
        }
        at = (at + headerSize + dataSize + 3) / 4 * 4;
    }
}

std::string Utf16(const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
        bytes += (char)(c & 0xFF);
        bytes += (char)(c >> 8);
    }
    return bytes;
}

TEST(ModuleResources, HoldTheDialogsAVersionInBothLanguagesAndTheManifest) {
    std::set<int> types;
    std::string version;
    ReadResources(types, version);
    EXPECT_EQ(types.count(5), 1u) << "dialogs";
    EXPECT_EQ(types.count(16), 1u) << "version";
    EXPECT_EQ(types.count(24), 1u) << "the manifest";
    for (const char16_t* text :
         {u"雲嶺奇譚續錄~星月影", u"雲嶺奇譚續錄~星月影安裝程式", u"遠岫工坊", u"kelvo setup",
          u"040404B0", u"040904B0", u"setup.exe", u"1.0.0.0"})
        EXPECT_NE(version.find(Utf16(text)), std::string::npos);
}

} // namespace

// Dialog templates from the module's resources: the .res image that windres makes of
// resources/setup.rc, the same templates the Windows build links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

struct DialogItem {
    std::uint32_t style = 0;
    int x = 0, y = 0, cx = 0, cy = 0; // dialog units
    int id = 0;                       // as the template's 16-bit word: -1 reads 0xFFFF
    std::string className;            // "BUTTON", "EDIT", "STATIC", ... (upper case)
    std::string text;                 // code page 950
};

struct DialogTemplate {
    std::uint32_t style = 0;
    std::string title; // code page 950
    std::uint16_t fontSize = 0;
    std::string fontName;
    std::vector<DialogItem> items;
};

// The dialog named name (upper case, as windres stores it) in a .res image; nullopt when the
// image holds none or it is malformed.
std::optional<DialogTemplate> FindDialogTemplate(const unsigned char* image, std::size_t size,
                                                 std::string_view name);

// The same in the resources linked into this program.
std::optional<DialogTemplate> FindDialogTemplate(std::string_view name);

// UTF-16 (as the resources hold it) to UTF-8.
std::string Utf16ToUtf8(const std::u16string& text);

} // namespace winsim

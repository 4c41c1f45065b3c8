#include "dialog_template.h"

#include <cctype>

#include "machine.h"

namespace winsim {

extern const unsigned char ModuleResources[];
extern const std::size_t ModuleResourcesSize;

namespace {

constexpr std::uint16_t DialogType = 5;      // RT_DIALOG
constexpr std::uint32_t SetFontStyle = 0x40; // DS_SETFONT

// Reads little-endian words from a bounded range; any read past the end marks it failed.
class Reader {
  public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    std::uint16_t Word() {
        if (at_ + 2 > size_) {
            failed_ = true;
            at_ = size_;
            return 0;
        }
        std::uint16_t value = (std::uint16_t)(data_[at_] | data_[at_ + 1] << 8);
        at_ += 2;
        return value;
    }
    std::uint32_t DoubleWord() {
        std::uint32_t low = Word();
        return low | (std::uint32_t)Word() << 16;
    }
    std::u16string String() {
        std::u16string text;
        for (std::uint16_t c = Word(); c != 0 && !failed_; c = Word())
            text += (char16_t)c;
        return text;
    }
    // A name or an ordinal (0xFFFF followed by the number); ordinal is -1 for a name.
    std::u16string NameOrOrdinal(int& ordinal) {
        ordinal = -1;
        if (at_ + 2 <= size_ && data_[at_] == 0xFF && data_[at_ + 1] == 0xFF) {
            Word();
            ordinal = Word();
            return u"";
        }
        return String();
    }
    void Align(std::size_t boundary) { at_ = (at_ + boundary - 1) / boundary * boundary; }
    void Seek(std::size_t at) { at_ = at > size_ ? size_ : at; }
    std::size_t At() const { return at_; }
    bool Failed() const { return failed_; }

  private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

std::string Narrow(const std::u16string& text) {
    return Utf8ToCp950(Utf16ToUtf8(text));
}

std::string ItemClass(int atom, const std::u16string& name) {
    switch (atom) {
    case 0x80:
        return "BUTTON";
    case 0x81:
        return "EDIT";
    case 0x82:
        return "STATIC";
    case 0x83:
        return "LISTBOX";
    case 0x84:
        return "SCROLLBAR";
    case 0x85:
        return "COMBOBOX";
    }
    std::string className = Utf16ToUtf8(name);
    for (char& c : className)
        c = (char)std::toupper((unsigned char)c);
    return className;
}

std::optional<DialogTemplate> ParseDialog(const unsigned char* data, std::size_t size) {
    Reader in(data, size);
    DialogTemplate dialog;
    dialog.style = in.DoubleWord();
    if ((dialog.style & 0xFFFF0000u) == 0xFFFF0000u)
        return std::nullopt; // DIALOGEX: not what the .rc holds
    in.DoubleWord();         // extended style
    int count = in.Word();
    for (int i = 0; i < 4; ++i)
        in.Word(); // x, y, cx, cy
    int ordinal;
    in.NameOrOrdinal(ordinal); // menu
    in.NameOrOrdinal(ordinal); // class
    dialog.title = Narrow(in.String());
    if (dialog.style & SetFontStyle) {
        dialog.fontSize = in.Word();
        dialog.fontName = Utf16ToUtf8(in.String());
    }
    for (int i = 0; i < count; ++i) {
        in.Align(4);
        DialogItem item;
        item.style = in.DoubleWord();
        in.DoubleWord(); // extended style
        item.x = (std::int16_t)in.Word();
        item.y = (std::int16_t)in.Word();
        item.cx = (std::int16_t)in.Word();
        item.cy = (std::int16_t)in.Word();
        item.id = in.Word();
        int atom;
        std::u16string className = in.NameOrOrdinal(atom);
        item.className = ItemClass(atom, className);
        int textOrdinal;
        std::u16string text = in.NameOrOrdinal(textOrdinal);
        item.text = textOrdinal >= 0 ? "" : Narrow(text);
        std::uint16_t extra = in.Word();
        in.Seek(in.At() + extra);
        if (in.Failed())
            return std::nullopt;
        dialog.items.push_back(item);
    }
    if (in.Failed())
        return std::nullopt;
    return dialog;
}

} // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | c >> 6);
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | c >> 12);
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | c >> 18);
            out += (char)(0x80 | (c >> 12 & 0x3F));
            out += (char)(0x80 | (c >> 6 & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<DialogTemplate> FindDialogTemplate(const unsigned char* image, std::size_t size,
                                                 std::string_view name) {
    std::size_t at = 0;
    while (at + 8 <= size) {
        Reader header(image + at, size - at);
        std::uint32_t dataSize = header.DoubleWord();
        std::uint32_t headerSize = header.DoubleWord();
        int type;
        std::u16string typeName = header.NameOrOrdinal(type);
        int ordinal;
        std::u16string resourceName = header.NameOrOrdinal(ordinal);
        if (header.Failed() || headerSize < 8 || headerSize > size - at ||
            dataSize > size - at - headerSize)
            return std::nullopt;
        if (type == DialogType && ordinal < 0 && Utf16ToUtf8(resourceName) == name)
            return ParseDialog(image + at + headerSize, dataSize);
        at += headerSize + dataSize;
        at = (at + 3) / 4 * 4;
    }
    return std::nullopt;
}

std::optional<DialogTemplate> FindDialogTemplate(std::string_view name) {
    return FindDialogTemplate(ModuleResources, ModuleResourcesSize, name);
}

} // namespace winsim

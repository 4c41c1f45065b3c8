#include "name_case.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <locale.h>

namespace winsim {

namespace {

// The C library's Unicode case mappings, whatever locale the process runs in. glibc builds
// C.UTF-8 in, so it is always there.
locale_t UnicodeLocale() {
    static locale_t unicode = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
        if (made == (locale_t)0) {
            std::fprintf(stderr, "winsim: no C.UTF-8 locale to fold letter case with\n");
            std::abort();
        }
        return made;
    }();
    return unicode;
}

} // namespace

char32_t UpcaseCharacter(char32_t character) {
    if (character < 0x80)
        return character >= U'a' && character <= U'z' ? character - (U'a' - U'A') : character;
    if (character > 0xFFFF)
        return character;
    wint_t upper = towupper_l((wint_t)character, UnicodeLocale());
    return towlower_l(upper, UnicodeLocale()) == (wint_t)character ? (char32_t)upper : character;
}

std::u32string UpcasedName(std::string_view utf8) {
    std::u32string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = (unsigned char)utf8[i];
        int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t point = length == 1   ? c
                         : length == 2 ? c & 0x1F
                         : length == 3 ? c & 0x0F
                                       : c & 0x07;
        for (int k = 1; k < length && i + k < utf8.size(); ++k)
            point = (point << 6) | ((unsigned char)utf8[i + k] & 0x3F);
        out += UpcaseCharacter(point);
        i += length;
    }
    return out;
}

} // namespace winsim

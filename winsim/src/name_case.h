// Names compared as Windows compares them: character by character after each has been put in
// upper case by the system's case table, which folds Greek, Cyrillic, full-width Latin and every
// other letter that has a case, not ASCII alone.
#pragma once

#include <string>
#include <string_view>

namespace winsim {

// A character in upper case as Windows' case table has it. The table covers UTF-16 code units
// and holds pairs only: a letter goes to its upper case when the lower case of that is the
// letter again, so µ, ı, ſ, ς and the like stay as they are (Wine's table is the same).
char32_t UpcaseCharacter(char32_t character);

// A UTF-8 name as code points, each in upper case: names are one name when these are equal.
std::u32string UpcasedName(std::string_view utf8);

} // namespace winsim

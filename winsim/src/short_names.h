// The 8.3 names of a FAT32 drive: every name that does not fit eight characters, a dot and three
// has a short one beside it ("LONGFI~1.TXT"), given when the entry gets its name and kept in the
// extended attribute user.winsim.83 of the host entry. A path may spell any of its names by
// either name.
#pragma once

#include <optional>
#include <string>

namespace winsim::shortnames {

// Whether the drive keeps short names (a fixed FAT32 drive).
bool Keeps(char letter);

// Whether a name (UTF-8) fits 8.3 as it is: then it is its own short name.
bool FitsEightDotThree(const std::string& name);

// The short name of an entry of a host folder (UTF-8 name), given now if it has none yet;
// empty where the name is its own.
std::string ShortNameOf(const std::string& folderHost, const std::string& name);

// The entry of a host folder whose short name is name (any letter case), if any.
std::optional<std::string> EntryWithShortName(const std::string& folderHost,
                                              const std::string& name);

// An entry that got its name now (made, or renamed): it gets a short name of its own.
void Renamed(char letter, const std::string& host);

} // namespace winsim::shortnames

// A folder's files as lines that two runs can compare: "<relative path> <size> <digest>", with
// '/' between the parts of the path and folders as "<relative path>/", in name order.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace enumerate {

std::vector<std::string> TreeLines(const std::filesystem::path& folder);

// Copies a drive's folder as the machine keeps it: every file with its content, mode, time of
// last change and extended attributes (the hidden and system attributes, an owner and access
// list), every folder with its extended attributes (those of the links in it), symbolic links
// as links (one that leads into from then leads to the same place in to), and the names of a
// file that has several as names of one copy. to must not exist.
void CopyDrive(const std::filesystem::path& from, const std::filesystem::path& to);

} // namespace enumerate

// A folder's files as lines that two runs can compare: "<relative path> <size> <digest>", with
// '/' between the parts of the path and folders as "<relative path>/", in name order.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace enumerate {

std::vector<std::string> TreeLines(const std::filesystem::path& folder);

} // namespace enumerate

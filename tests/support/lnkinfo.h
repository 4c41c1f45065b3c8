// Reads shell link files back with an independent reader: lnkinfo from Debian's liblnk-utils.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

inline bool HaveLnkinfo() {
    return std::system("command -v lnkinfo >/dev/null 2>&1") == 0;
}

// lnkinfo's report on a file (UTF-8), or nullopt when it failed to read it.
inline std::optional<std::string> Lnkinfo(const std::filesystem::path& link) {
    std::string quoted = "'";
    for (char c : link.string())
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE* pipe = popen(("lnkinfo " + quoted + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return std::nullopt;
    std::string report;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        report.append(buffer, got);
    int status = pclose(pipe);
    if (status != 0)
        return std::nullopt;
    return report;
}

// The value of a "Name : value" line of an lnkinfo report, or nullopt when it has none.
inline std::optional<std::string> LnkinfoField(const std::string& report, const std::string& name) {
    size_t at = 0;
    while (at < report.size()) {
        size_t end = report.find('\n', at);
        if (end == std::string::npos)
            end = report.size();
        std::string line = report.substr(at, end - at);
        at = end + 1;
        size_t first = line.find_first_not_of(" \t");
        size_t colon = line.find(':');
        if (first == std::string::npos || colon == std::string::npos)
            continue;
        size_t nameEnd = line.find_last_not_of(" \t", colon - 1);
        if (nameEnd == std::string::npos || line.substr(first, nameEnd + 1 - first) != name)
            continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? "" : line.substr(value);
    }
    return std::nullopt;
}

} // namespace testing_support

// Reads shell link files back with an independent reader: lnkinfo from Debian's liblnk-utils.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

namespace scenario {

inline bool HaveLnkinfo() {
    return std::system("command -v lnkinfo >/dev/null 2>&1") == 0;
}

// lnkinfo's report on a link (UTF-8, narrow strings read as code page 950), or nullopt when it
// could not read the file.
inline std::optional<std::string> LnkinfoReport(const std::string& hostPath) {
    std::string quoted = "'";
    for (char c : hostPath)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    FILE* pipe = popen(("lnkinfo -c windows-950 " + quoted + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return std::nullopt;
    std::string report;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        report.append(buffer, got);
    if (pclose(pipe) != 0)
        return std::nullopt;
    return report;
}

// The value of a "Name : value" line of a report, or nullopt when it has none.
inline std::optional<std::string> LnkinfoField(const std::string& report, const std::string& name) {
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        size_t first = line.find_first_not_of(" \t");
        size_t colon = line.find(':');
        if (first == std::string::npos || colon == std::string::npos || colon <= first)
            continue;
        size_t nameEnd = line.find_last_not_of(" \t", colon - 1);
        if (line.substr(first, nameEnd + 1 - first) != name)
            continue;
        size_t value = line.find_first_not_of(" \t", colon + 1);
        return value == std::string::npos ? "" : line.substr(value);
    }
    return std::nullopt;
}

} // namespace scenario

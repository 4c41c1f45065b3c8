// The tests read shell links back through the same lnkinfo runner as the scenarios' end checks.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tools/scenario/lnkinfo.h"

namespace testing_support {

inline bool HaveLnkinfo() {
    return scenario::HaveLnkinfo();
}

inline std::optional<std::string> Lnkinfo(const std::filesystem::path& link) {
    return scenario::LnkinfoReport(link.string());
}

inline std::optional<std::string> LnkinfoField(const std::string& report, const std::string& name) {
    return scenario::LnkinfoField(report, name);
}

} // namespace testing_support

#include "wine_run.h"

#include <cstdio>

namespace {

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            if ((unsigned char)c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned)c);
                json += escaped;
            } else {
                json += c;
            }
        }
    }
    return json + "\"";
}

std::string JsonBool(bool value) {
    return value ? "true" : "false";
}

template <typename Item, typename Writer>
std::string JsonList(const std::vector<Item>& items, Writer write) {
    std::string json = "[";
    for (size_t i = 0; i < items.size(); ++i)
        json += (i > 0 ? ", " : "") + write(items[i]);
    return json + "]";
}

std::string JsonPairs(const std::vector<std::pair<std::string, std::string>>& pairs) {
    return JsonList(pairs, [](const auto& pair) {
        return "[" + JsonString(pair.first) + ", " + JsonString(pair.second) + "]";
    });
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

} // namespace

std::string WhyNotOnWine(const scenario::Scenario& scenario) {
    if (!scenario.onWine)
        return "only host";
    for (const std::string& fault : scenario.faults) {
        // The runner makes the shell folders key unopenable for good: like a first opening
        // that fails, which ends the installer, but no later opening alone can fail.
        if ((StartsWith(fault, "keyopen") && fault != "keyopen 1") || StartsWith(fault, "link") ||
            StartsWith(fault, "call") || StartsWith(fault, "slow"))
            return "fault " + fault + " can't be made under Wine";
    }
    if (scenario.localMachineReadOnly)
        return "registry hklm readonly: Wine runs as an administrator";
    for (const scenario::DriveSetup& drive : scenario.drives) {
        std::string name = std::string("drive ") + drive.letter;
        if (drive.failSpaceQuery || drive.failLabel || drive.capacity)
            return name + " has a fault that can't be made under Wine";
        if (drive.letter == 'c' && drive.cdrom)
            return name + ": drive c is the prefix's own drive";
    }
    return {};
}

std::string MachineJson(const scenario::Scenario& scenario) {
    std::string drives = JsonList(scenario.drives, [](const scenario::DriveSetup& drive) {
        std::string free = drive.freeBytes ? std::to_string(*drive.freeBytes) : "null";
        return "{\"letter\": " + JsonString(std::string(1, drive.letter)) +
               ", \"cdrom\": " + JsonBool(drive.cdrom) +
               ", \"removable\": " + JsonBool(drive.removable) +
               ", \"disc\": " + JsonString(drive.disc) + ", \"free\": " + free + "}";
    });
    std::string discs = JsonList(scenario.discs, [](const scenario::DiscSetup& disc) {
        std::vector<std::pair<std::string, std::string>> files;
        for (const auto& file : disc.files)
            files.emplace_back(file.path, file.content);
        return "{\"name\": " + JsonString(disc.name) + ", \"label\": " + JsonString(disc.label) +
               ", \"sample\": " + std::to_string(disc.sample) +
               ", \"extraFiles\": " + std::to_string(disc.extraFiles) +
               ", \"big\": " + std::to_string(disc.bigBytes) +
               ", \"noProduct\": " + JsonBool(disc.noProductFolder) +
               ", \"files\": " + JsonPairs(files) + "}";
    });
    std::string previous = JsonList(scenario.previousInstalls, [](const auto& install) {
        return "{\"folder\": " + JsonString(install.folder) +
               ", \"discs\": " + JsonList(install.discs, JsonString) + "}";
    });
    std::string registry = JsonList(scenario.registryValues, [](const auto& value) {
        return "{\"hive\": " + JsonString(value.hive) + ", \"key\": " + JsonString(value.key) +
               ", \"name\": " + JsonString(value.name) + ", \"type\": " + JsonString(value.type) +
               ", \"data\": " + JsonString(value.data) + "}";
    });
    // A journal's bytes, code page 950 and its checks made here, in hex.
    std::string journals = JsonList(scenario.journals, [](const auto& journal) {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (char c : scenario::JournalBytes(journal.records)) {
            hex += digits[(unsigned char)c >> 4];
            hex += digits[(unsigned char)c & 15];
        }
        return "{\"path\": " + JsonString(journal.path) + ", \"hex\": " + JsonString(hex) + "}";
    });
    return "{\"title\": " + JsonString(scenario.title) +
           ", \"onWine\": " + JsonBool(scenario.onWine) +
           ", \"why\": " + JsonString(WhyNotOnWine(scenario)) + ", \"drives\": " + drives +
           ", \"discs\": " + discs + ", \"shellFolders\": " + JsonPairs(scenario.shellFolders) +
           ", \"files\": " + JsonPairs(scenario.machineFiles) +
           ", \"previousInstalls\": " + previous +
           ", \"faults\": " + JsonList(scenario.faults, JsonString) +
           ", \"registry\": " + registry + ", \"journals\": " + journals +
           ", \"links\": " + JsonPairs(scenario.links) + "}";
}

bool JudgeRun(const scenario::Scenario& scenario, const std::vector<std::string>& robotLog,
              scenario::Disk& disk, std::vector<std::string>& report) {
    std::vector<std::string> play = robotLog;
    while (!play.empty() && play.back().empty())
        play.pop_back();
    if (play.empty() || !StartsWith(play.back(), "exit ") || StartsWith(play.back(), "exit line")) {
        report.push_back("FAIL the robot's log has no exit line");
        return false;
    }
    std::string status = play.back().substr(5);
    play.pop_back();

    bool passed = true;
    if (!scenario::LogPassed(play)) {
        // The failed step and what the windows showed then.
        bool failed = false;
        for (const std::string& line : play) {
            failed = failed || StartsWith(line, "FAIL");
            if (failed)
                report.push_back(line);
        }
        if (!failed)
            report.push_back("FAIL the play stopped early: " +
                             (play.empty() ? std::string("(no steps)") : play.back()));
        passed = false;
    }
    bool ended = !status.empty() && status.find_first_not_of("-0123456789") == std::string::npos;
    if (!ended) {
        if (passed)
            report.push_back("FAIL the installer did not end (" + status + ")");
        return false;
    }
    if (scenario.exitStatus && std::stol(status) != *scenario.exitStatus) {
        report.push_back("FAIL the installer ended with " + status + ", not " +
                         std::to_string(*scenario.exitStatus));
        passed = false;
    }
    // The end checks say little about a play that went wrong.
    if (passed)
        passed = scenario::CheckEnd(scenario, disk, report);
    return passed;
}

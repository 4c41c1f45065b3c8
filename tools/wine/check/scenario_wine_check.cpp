// The host half of the Wine scenario runner (tools/wine/run-scenarios).
//
//   scenario-wine-check machine FILE.scn
//       prints the scenario's machine as JSON, for the runner to set up a Wine prefix
//   scenario-wine-check check FILE.scn PREFIX ROBOT_LOG DISCS STARTED_LOG
//       judges a run: the robot's play and exit status, then the end checks on the prefix;
//       prints why it failed
//
// Exit status: 0 passed (or printed), 1 failed, 2 on a usage error or a bad scenario.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "wine_disk.h"
#include "wine_run.h"

namespace {

int Usage() {
    std::cerr << "usage: scenario-wine-check machine FILE.scn\n"
                 "       scenario-wine-check check FILE.scn PREFIX ROBOT_LOG DISCS STARTED_LOG\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() < 2)
        return Usage();
    std::string error;
    std::optional<scenario::Scenario> parsed = scenario::Parse(arguments[1], error);
    if (!parsed) {
        std::cerr << error << "\n";
        return 2;
    }

    if (arguments[0] == "machine" && arguments.size() == 2) {
        std::cout << MachineJson(*parsed) << "\n";
        return 0;
    }
    if (arguments[0] != "check" || arguments.size() != 6)
        return Usage();

    std::ifstream logFile(arguments[3], std::ios::binary);
    if (!logFile) {
        std::cout << "FAIL the robot wrote no log\n";
        return 1;
    }
    std::vector<std::string> robotLog;
    std::string line;
    while (std::getline(logFile, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        robotLog.push_back(line);
    }
    WineDisk disk(arguments[2], arguments[5], arguments[4]);
    std::vector<std::string> report;
    bool passed = JudgeRun(*parsed, robotLog, disk, report);
    for (const std::string& reason : report)
        std::cout << reason << "\n";
    return passed ? 0 : 1;
}

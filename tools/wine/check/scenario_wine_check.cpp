// The host half of the Wine scenario runner (tools/wine/run-scenarios).
//
//   scenario-wine-check [--view wow64|native] COMMAND ...
//       --view wow64: the program played is a 32-bit one in a 64-bit prefix, and the registry
//       is read as it sees it (HKLM\Software is the prefix's Software\Wow6432Node)
//
//   scenario-wine-check machine FILE.scn
//       prints the scenario's machine as JSON, for the runner to set up a Wine prefix
//   scenario-wine-check snapshot PREFIX DISCS OUT [FILE.scn]
//       writes the state of the whole machine to OUT, before the run; with the scenario, the
//       registry keys it watches too (scenario::WatchedRegistry)
//   scenario-wine-check check FILE.scn PREFIX ROBOT_LOG DISCS STARTED_LOG [BEFORE]
//       judges a run: the robot's play and exit status, then the end checks on the prefix and,
//       given the state before the run, that nothing else changed; prints why it failed
//
// Exit status: 0 passed (or printed), 1 failed, 2 on a usage error or a bad scenario.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "../../scenario/snapshot.h"
#include "wine_disk.h"
#include "wine_run.h"

namespace {

int Usage() {
    std::cerr << "usage: scenario-wine-check [--view wow64|native] machine FILE.scn\n"
                 "       scenario-wine-check [--view wow64|native] snapshot PREFIX DISCS OUT "
                 "[FILE.scn]\n"
                 "       scenario-wine-check [--view wow64|native] check FILE.scn PREFIX "
                 "ROBOT_LOG DISCS STARTED_LOG [BEFORE]\n";
    return 2;
}

// The whole machine: the prefix's drives and the discs, and the registry keys the scenario
// watches (false when the registry can't be read).
bool LookAtMachine(const scenario::Scenario& scenario, const std::string& prefix,
                   const std::string& discs, bool wow64, scenario::MachineState& state) {
    WineDisk disk(prefix, "", discs, wow64);
    state = scenario::TakeSnapshot(MachineRoots(prefix, discs));
    auto registry = disk.Registry();
    if (!registry)
        return false;
    scenario::AddRegistry(state, *registry, scenario::WatchedRegistry(scenario, false),
                          scenario::UnwatchedRegistry());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    bool wow64 = false;
    if (arguments.size() >= 2 && arguments[0] == "--view") {
        if (arguments[1] != "wow64" && arguments[1] != "native")
            return Usage();
        wow64 = arguments[1] == "wow64";
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() < 2)
        return Usage();
    std::string error;
    std::optional<scenario::Scenario> parsed;
    if (arguments[0] == "snapshot") {
        if (arguments.size() != 4 && arguments.size() != 5)
            return Usage();
        scenario::MachineState state;
        if (arguments.size() == 4) {
            state = scenario::TakeSnapshot(MachineRoots(arguments[1], arguments[2]));
        } else if (!(parsed = scenario::Parse(arguments[4], error))) {
            std::cerr << error << "\n";
            return 2;
        } else if (!LookAtMachine(*parsed, arguments[1], arguments[2], wow64, state)) {
            std::cerr << "the registry of " << arguments[1] << " can't be read\n";
            return 2;
        }
        return scenario::SaveSnapshot(state, arguments[3]) ? 0 : 2;
    }
    parsed = scenario::Parse(arguments[1], error);
    if (!parsed) {
        std::cerr << error << "\n";
        return 2;
    }

    if (arguments[0] == "machine" && arguments.size() == 2) {
        std::cout << MachineJson(*parsed) << "\n";
        return 0;
    }
    if (arguments[0] != "check" || (arguments.size() != 6 && arguments.size() != 7))
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
    WineDisk disk(arguments[2], arguments[5], arguments[4], wow64);
    std::vector<std::string> report;
    bool passed = JudgeRun(*parsed, robotLog, disk, report);
    if (passed && arguments.size() == 7) {
        scenario::MachineState before;
        if (!scenario::LoadSnapshot(arguments[6], before)) {
            std::cout << "FAIL no state of the machine before the run in " << arguments[6] << "\n";
            return 1;
        }
        auto roots = MachineRoots(arguments[2], arguments[4]);
        scenario::MachineState after;
        if (!LookAtMachine(*parsed, arguments[2], arguments[4], wow64, after)) {
            std::cout << "FAIL the prefix's registry can't be read\n";
            return 1;
        }
        passed = scenario::CheckNothingElseChanged(*parsed, disk, roots, before, after, report);
    }
    for (const std::string& reason : report)
        std::cout << reason << "\n";
    return passed ? 0 : 1;
}

// What the Wine scenario runner needs from a scenario: its machine, in a form a script reads,
// and the verdict on a run from the robot's log and the prefix it left.
#pragma once

#include <string>
#include <vector>

#include "../../scenario/scenario.h"

// Why the scenario can't run under Wine (a fault or a drive that only the host build can make),
// or empty when it can.
std::string WhyNotOnWine(const scenario::Scenario& scenario);

// The scenario's machine as one JSON object (texts UTF-8): title, onWine, why (WhyNotOnWine),
// drives, discs, shellFolders, files, previousInstalls, faults, registry (hive, key, name, type,
// data), journals (path, and the file's bytes in hex) and links (path, folder).
std::string MachineJson(const scenario::Scenario& scenario);

// Judges a run from the robot's log (its last line "exit <status>") and the machine it left.
// Appends the reasons for a failure to report; true when the run passed.
bool JudgeRun(const scenario::Scenario& scenario, const std::vector<std::string>& robotLog,
              scenario::Disk& disk, std::vector<std::string>& report);

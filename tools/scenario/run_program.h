// Runs a host build program the way the runners do: its own variables on top of this process's
// (theirs replaced), stdin empty, stdout and stderr to a file, killed at a time limit.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace scenario {

struct ProgramRun {
    bool ended = false; // false: killed at the time limit
    int status = 0;     // exit status as the program gave it (-1 for 255)
    // Why it ended otherwise: "killed by signal 11", "stopped by winsim: <the misuse>" (winsim
    // ended it over a call that Windows' documentation does not allow), "cannot start PROGRAM:
    // <the system's reason>".
    std::string signal;
};

// variables: "NAME=value"; every variable of this process whose name starts with one of
// replacedPrefixes is left out. A start that fails for want of resources (a busy machine: no
// process or memory to be had for a moment) is tried again a few times.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& variables,
                      const std::vector<std::string>& replacedPrefixes,
                      const std::filesystem::path& output, double timeoutSeconds);

} // namespace scenario

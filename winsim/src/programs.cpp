// WinExec: finds the program a command line names, the way Windows does, and records the start
// on the machine instead of running anything.
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "call_points.h"
#include "machine.h"

namespace fs = std::filesystem;
using namespace winsim;

namespace {

// A candidate program path: with ".exe" added when its last component has no extension.
bool ProgramExists(std::string candidate) {
    size_t lastSeparator = candidate.find_last_of("\\/");
    size_t dot = candidate.rfind('.');
    if (dot == std::string::npos || (lastSeparator != std::string::npos && dot < lastSeparator))
        candidate += ".exe";
    auto host = HostPath(candidate);
    std::error_code error;
    return host && fs::is_regular_file(*host, error);
}

// Whether the command line names an existing program. A quoted name is taken whole; an
// unquoted one is tried at each space in turn ("C:\Program", then "C:\Program Files\x.exe",
// ...), so the first prefix that is a program wins.
bool NamesProgram(std::string_view commandLine) {
    size_t start = commandLine.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return false;
    commandLine.remove_prefix(start);
    if (commandLine[0] == '"') {
        size_t end = commandLine.find('"', 1);
        return ProgramExists(std::string(
            commandLine.substr(1, end == commandLine.npos ? commandLine.npos : end - 1)));
    }
    // Spaces are single bytes in code page 950: no trail byte is 0x20 or 0x09.
    for (size_t at = 0; at <= commandLine.size(); ++at) {
        if (at < commandLine.size() && commandLine[at] != ' ' && commandLine[at] != '\t')
            continue;
        if (at > 0 && ProgramExists(std::string(commandLine.substr(0, at))))
            return true;
    }
    return false;
}

// The program a command line names, for what the call acts on: the quoted name, or the first
// prefix that ends at a space and names a program, or else the first word.
std::string ProgramOf(const char* commandLine) {
    if (commandLine == nullptr)
        return "";
    std::string_view line = commandLine;
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return "";
    line.remove_prefix(start);
    if (line[0] == '"')
        return std::string(line.substr(1, line.find('"', 1) - 1));
    for (size_t at = 0; at <= line.size(); ++at) {
        if (at < line.size() && line[at] != ' ' && line[at] != '\t')
            continue;
        if (ProgramExists(std::string(line.substr(0, at))))
            return std::string(line.substr(0, at));
    }
    return std::string(line.substr(0, line.find_first_of(" \t")));
}

} // namespace

UINT WINAPI WinExec(LPCSTR commandLine, UINT showCommand) {
    std::string program = ProgramOf(commandLine);
    calls::Scope call("WinExec", calls::Point | calls::CanFail, {program.c_str()});
    if (call.Fails())
        return ERROR_FILE_NOT_FOUND;
    if (commandLine == nullptr || !NamesProgram(commandLine))
        return ERROR_FILE_NOT_FOUND;
    std::string line = Cp950ToUtf8(commandLine);
    std::lock_guard lock(machineLock());
    Machine& m = machine();
    m.startedPrograms.emplace_back(showCommand, line);
    if (!m.folder.empty()) {
        std::ofstream log(fs::path(m.folder) / "started.txt", std::ios::app);
        log << showCommand << " " << line << "\n";
    }
    return 33;
}

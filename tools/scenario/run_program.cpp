#include "run_program.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

#include "machine.h"

extern char** environ;

namespace scenario {

namespace {

// How often, and how long apart, a start that failed for want of resources is tried again.
constexpr int StartTries = 5;
constexpr auto FirstPause = std::chrono::milliseconds(200);

// The misuse that winsim ended the program over, from its output, or empty.
std::string MisuseIn(const std::filesystem::path& output) {
    const std::string prefix = "winsim: misuse: ";
    std::ifstream in(output, std::ios::binary);
    std::string misuse;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) == 0)
            misuse = line.substr(prefix.size());
    }
    return misuse;
}

} // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& variables,
                      const std::vector<std::string>& replacedPrefixes,
                      const std::filesystem::path& output, double timeoutSeconds) {
    std::vector<std::string> all = variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string variable = *entry;
        bool replaced = false;
        for (const auto& prefix : replacedPrefixes)
            replaced |= variable.rfind(prefix, 0) == 0;
        if (!replaced)
            all.push_back(variable);
    }
    std::vector<char*> environment;
    for (auto& variable : all)
        environment.push_back(variable.data());
    environment.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    std::string outputFile = output.string();
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    std::string path = program;
    char* arguments[] = {path.data(), nullptr};
    pid_t child;
    ProgramRun run;
    int spawned = 0;
    auto pause = FirstPause;
    for (int tries = 1;; ++tries) {
        spawned = posix_spawn(&child, path.c_str(), &files, nullptr, arguments, environment.data());
        if (spawned == 0 || (spawned != EAGAIN && spawned != ENOMEM) || tries == StartTries)
            break;
        std::this_thread::sleep_for(pause);
        pause *= 2;
    }
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        run.ended = true;
        run.signal = "cannot start " + program + ": " + std::strerror(spawned);
        return run;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    for (;;) {
        if (::waitpid(child, &status, WNOHANG) == child)
            break;
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.ended = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == winsim::MisuseExitStatus) {
        std::string misuse = MisuseIn(output);
        if (!misuse.empty()) {
            run.signal = "stopped by winsim: " + misuse;
            return run;
        }
    }
    if (WIFEXITED(status))
        run.status = (signed char)WEXITSTATUS(status);
    else
        run.signal = "killed by signal " + std::to_string(WTERMSIG(status));
    return run;
}

} // namespace scenario

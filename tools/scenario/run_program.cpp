#include "run_program.h"

#include <chrono>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace scenario {

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
    int spawned = posix_spawn(&child, path.c_str(), &files, nullptr, arguments, environment.data());
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        run.ended = true;
        run.signal = "cannot start " + program;
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
    if (WIFEXITED(status))
        run.status = (signed char)WEXITSTATUS(status);
    else
        run.signal = "killed by signal " + std::to_string(WTERMSIG(status));
    return run;
}

} // namespace scenario

// A small test harness in the manner of Wine's conformance tests, for a test source that is
// built for Windows (and run on Windows or under Wine) and built over winsim on the host.
//
//     ok(condition, "format", ...);      must hold on every platform
//     todo_wine("why") ok(...);          holds on Windows and winsim; Wine is known to differ
//     todo_winsim("why") ok(...);        holds on Windows and Wine; winsim is known to differ
//     skip("why");                       a check that could not be made here
//
// A todo check that fails where it is marked is counted as a known difference; one that passes
// there is a failure ("passed unexpectedly"), so that a mark goes once the difference has gone.
// The marks also take a block: todo_wine("why") { ok(...); ok(...); }
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace check {

enum class Platform { Windows, Wine, Winsim };

// Where the test runs; each build links the definition that fits it.
Platform ThisPlatform();

struct Counts {
    std::atomic<int> executed{0};
    std::atomic<int> failures{0};
    std::atomic<int> todos{0};
    std::atomic<int> skipped{0};
};

inline Counts& counts() {
    static Counts all;
    return all;
}

// The mark in force on the calling thread: the reason when it names this platform, else null.
inline thread_local const char* todoReason = nullptr;

inline const char* PlatformName(Platform platform) {
    switch (platform) {
    case Platform::Windows:
        return "Windows";
    case Platform::Wine:
        return "Wine";
    default:
        return "winsim";
    }
}

inline void Report(const char* file, int line, const char* kind, const char* format,
                   va_list arguments) {
    for (const char* at = file; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\')
            file = at + 1;
    }
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::printf("%s:%d: %s%s", file, line, kind, text);
    std::fflush(stdout);
}

inline bool Ok(const char* file, int line, bool condition, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    counts().executed++;
    if (todoReason != nullptr) {
        if (condition) {
            counts().failures++;
            Report(file, line, "Test succeeded inside todo block: ", format, arguments);
        } else {
            counts().todos++;
            char kind[300];
            std::snprintf(kind, sizeof kind, "Test marked todo (%s): ", todoReason);
            Report(file, line, kind, format, arguments);
        }
    } else if (!condition) {
        counts().failures++;
        Report(file, line, "Test failed: ", format, arguments);
    }
    va_end(arguments);
    return condition;
}

inline void Skip(const char* file, int line, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    counts().skipped++;
    Report(file, line, "Tests skipped: ", format, arguments);
    va_end(arguments);
}

// Marks the checks of one statement or block as known to fail on platform, for reason.
class Todo {
  public:
    // A null reason marks nothing.
    Todo(Platform platform, const char* reason) : saved_(todoReason) {
        if (reason != nullptr && ThisPlatform() == platform)
            todoReason = reason;
    }
    ~Todo() { todoReason = saved_; }
    // True the first time only: lets the mark take the statement after it as a for loop does.
    bool Once() { return !done_ && (done_ = true); }

  private:
    const char* saved_;
    bool done_ = false;
};

// Prints the summary line; the process's exit status (0 when nothing failed).
inline int Summary(const char* name) {
    std::printf("%s: %d tests executed on %s (%d marked as todo, %d failures), %d skipped.\n", name,
                counts().executed.load(), PlatformName(ThisPlatform()), counts().todos.load(),
                counts().failures.load(), counts().skipped.load());
    std::fflush(stdout);
    return counts().failures.load() == 0 ? 0 : 1;
}

} // namespace check

#define ok(condition, ...) ::check::Ok(__FILE__, __LINE__, (condition), __VA_ARGS__)
#define skip(...) ::check::Skip(__FILE__, __LINE__, __VA_ARGS__)
#define todo_wine(reason)                                                                          \
    for (::check::Todo todo_mark_(::check::Platform::Wine, reason); todo_mark_.Once();)
#define todo_winsim(reason)                                                                        \
    for (::check::Todo todo_mark_(::check::Platform::Winsim, reason); todo_mark_.Once();)

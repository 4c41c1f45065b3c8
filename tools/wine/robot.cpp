// The scenario robot for Wine: starts the real setup.exe, plays a scenario's steps on its
// windows like a user would, and writes what happened to a log for the end checks.
//
//   robot.exe SETUP_EXE SCENARIO.scn LOG [--discs UNIXDIR] [--device DISC=UNIXDEVICE]...
//             [--timeout SECONDS] [--poll SECONDS] [--pictures FOLDER] [--box-calls FILE]
//
// The log (UTF-8) holds the player's lines ("ok line N: ...", "FAIL line N: ...", the windows
// after a failure, "done"), and last "exit <status>" (the installer's exit status as a signed
// number), "exit running" when it did not end, or "exit none" when it never started.
// SCENARIO and LOG are Windows paths; UNIXDIR, the folder with one folder per disc, is a Unix
// path that the Wine mount manager puts behind the CD-ROM drive. A disc made from an image has
// a block device of the image too (--device), from which the drive reads the label. With
// --pictures, each window an `expect dialog` or `expect box` step finds is saved as a picture,
// FOLDER\01.bmp, 02.bmp, ... in the order of the steps. --poll: how often a waiting step looks
// at the windows again (default 0.01 s). --box-calls: the file (a Windows path) that Wine's relay
// trace of the installer's MessageBoxA calls goes to, where the robot reads what each box was
// asked for (Wine ignores MB_TOPMOST). Each line of the log also goes to standard output as it is
// written, after the seconds since the robot started (to the millisecond).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../scenario/scenario.h"
#include "wide_text.h"
#include "window_picture.h"
#include "wine_backend.h"

namespace {

constexpr DWORD EndWaitAfterPass = 30000;
constexpr DWORD EndWaitAfterFail = 1000;
constexpr DWORD StartedProgramsWait = 10000;

std::string Usage() {
    return "usage: robot.exe SETUP_EXE SCENARIO.scn LOG [--discs UNIXDIR] "
           "[--device DISC=UNIXDEVICE]... [--timeout SECONDS] [--poll SECONDS] "
           "[--pictures FOLDER] [--box-calls FILE]";
}

// The C++ library opens files by their name in the ANSI code page.
std::string AnsiPath(const std::wstring& path) {
    int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string ansi(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, ansi.data(), size, nullptr, nullptr);
    return ansi;
}

bool WriteLog(const std::wstring& path, const std::vector<std::string>& lines) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    DWORD written = 0;
    BOOL done = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr);
    CloseHandle(file);
    return done && written == text.size();
}

// Saves the installer's topmost visible window (the box or dialog a step has just found) as
// folder\NN.bmp, once it has had a moment to paint itself.
void TakePicture(DWORD processId, const std::wstring& folder, int number) {
    constexpr DWORD PaintMilliseconds = 300;
    Sleep(PaintMilliseconds);
    wchar_t name[16];
    wsprintfW(name, L"\\%02d.bmp", number);
    for (HWND window : TopLevelWindows(processId)) {
        if (IsWindowVisible(window)) {
            if (!SaveWindowPicture(window, folder + name))
                std::printf("picture %d could not be saved\n", number);
            return;
        }
    }
    std::printf("picture %d: no window is up\n", number);
}

} // namespace

int main() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> positional;
    std::string discs;
    std::vector<std::pair<std::string, std::string>> devices;
    std::wstring pictures;
    std::wstring boxCalls;
    scenario::PlayOptions options;
    for (int i = 1; i < count; i++) {
        std::wstring argument = arguments[i];
        if (argument == L"--discs" && i + 1 < count) {
            discs = Narrow(arguments[++i]);
        } else if (argument == L"--device" && i + 1 < count) {
            std::string device = Narrow(arguments[++i]);
            size_t equals = device.find('=');
            if (equals == std::string::npos) {
                std::fprintf(stderr, "%s\n", Usage().c_str());
                return 2;
            }
            devices.emplace_back(device.substr(0, equals), device.substr(equals + 1));
        } else if (argument == L"--pictures" && i + 1 < count) {
            pictures = arguments[++i];
        } else if (argument == L"--box-calls" && i + 1 < count) {
            boxCalls = arguments[++i];
        } else if (argument == L"--timeout" && i + 1 < count) {
            options.timeoutSeconds = _wtof(arguments[++i]);
        } else if (argument == L"--poll" && i + 1 < count) {
            options.pollSeconds = _wtof(arguments[++i]);
        } else {
            positional.push_back(argument);
        }
    }
    LocalFree(arguments);
    if (positional.size() != 3 || options.pollSeconds <= 0) {
        std::fprintf(stderr, "%s\n", Usage().c_str());
        return 2;
    }
    const std::wstring& setupExe = positional[0];
    const std::wstring& logPath = positional[2];

    std::vector<std::string> log;
    std::string error;
    std::optional<scenario::Scenario> scenario = scenario::Parse(AnsiPath(positional[1]), error);
    if (!scenario) {
        log.push_back("FAIL " + error);
        log.push_back("exit none");
        // Said on the error output too, where the runner finds it when no log could be written.
        std::fprintf(stderr, "robot: %s%s\n", error.c_str(),
                     WriteLog(logPath, log) ? "" : " (and the log can't be written)");
        return 1;
    }

    // Wine starts its desktop process for the first program that needs a desktop; the robot
    // takes that on itself, so that the programs the installer started are only its own.
    GetDesktopWindow();
    WineBackend backend(setupExe, discs, scenario->discs);
    for (const auto& [disc, device] : devices)
        backend.SetDiscDevice(disc, device);
    if (!boxCalls.empty())
        backend.TraceBoxCalls(boxCalls);
    if (!backend.WaitForDrives(scenario->drives, error) || !backend.Start(error)) {
        log.push_back("FAIL " + error);
        log.push_back("exit none");
        // Said on the error output too, where the runner finds it when no log could be written.
        std::fprintf(stderr, "robot: %s%s\n", error.c_str(),
                     WriteLog(logPath, log) ? "" : " (and the log can't be written)");
        return 1;
    }
    // Each line also goes to standard output as it happens, with the time since the start.
    LARGE_INTEGER frequency, started;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    int picture = 0;
    options.onLog = [&](const std::string& line) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        std::printf("%8.3f %s\n", (double)(now.QuadPart - started.QuadPart) / frequency.QuadPart,
                    line.c_str());
        std::fflush(stdout);
        if (!pictures.empty() && line.rfind("ok line ", 0) == 0 &&
            (line.find(": expect dialog ") != std::string::npos ||
             line.find(": expect box ") != std::string::npos))
            TakePicture(backend.InstallerProcessId(), pictures, ++picture);
    };
    bool passed = scenario::Play(*scenario, backend, options, log);
    long status = 0;
    bool ended = backend.WaitForEnd(passed ? EndWaitAfterPass : EndWaitAfterFail, status);
    if (ended) {
        // The programs it started (recorders) finish writing their log.
        if (!backend.WaitForStartedPrograms(StartedProgramsWait))
            std::printf("a program the installer started still runs\n");
        log.push_back("exit " + std::to_string(status));
    } else {
        log.push_back("FAIL the installer did not end");
        for (const std::string& line : scenario::Player(backend, options).DescribeWindows())
            log.push_back(line);
        log.push_back("exit running");
        backend.Kill();
    }
    if (!WriteLog(logPath, log)) {
        std::fprintf(stderr, "robot: can't write the log\n");
        return 2;
    }
    return passed && ended ? 0 : 1;
}

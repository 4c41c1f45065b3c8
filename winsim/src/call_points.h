// The calls the installer makes, counted as they are made: what a test needs to fail the k-th
// use of a call, to press the user's cancel just before the copy worker's k-th call, or to kill
// the process or cut the power just before any thread's k-th call, so that every such moment can
// be replayed exactly.
//
// Every Win32 function of winsim enters a Scope first. Only the installer's own calls count:
// calls that winsim makes inside another call do not, and calls the installer makes from a
// procedure that winsim runs (a dialog procedure, a thread, an enumeration callback) do, since
// winsim marks those places with a ProductCode guard.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace winsim::calls {

enum Kind : unsigned {
    // A moment the user's cancel may precede. Calls that only work on text in the caller's
    // buffers (lstrcpyA, CharNextA, ...) are none: they touch nothing another thread sees, so a
    // cancel before them is the same moment as one before the next call that does.
    Point = 1,
    // A call that can fail; a plan can make its k-th use fail.
    CanFail = 2,
    // A call Windows makes in one step (a file made with its access list, a rename, a registry
    // value written): a kill from another thread of the process comes before it or after it,
    // never halfway through. It runs no code of the installer's and waits for no other thread.
    Whole = 4,
};

// What a call of the installer is about to act on, for an act planned at it and for the trace:
// the function, the thread (as StartThread numbers it), which of that thread's points it is (0:
// none, a call that is no Point), its place among every traced call, and the Windows paths (code
// page 950) it names: a file or folder, both names of a move or a hard link, a listing's pattern,
// a drive's root, the program a command line starts, or, for a call on a file or a listing, the
// path its handle was opened with.
struct Call {
    std::string function;
    int thread = -1;
    int call = 0;
    int order = 0;
    std::vector<std::string> paths;
};

class Scope {
  public:
    Scope(const char* name, unsigned kind);
    // A call that names paths (null ones are left out).
    Scope(const char* name, unsigned kind, std::initializer_list<const char*> paths);
    // A call on a handle: pathOf(handle) is the path it was opened with (empty for none), asked
    // only where an act or the trace needs it.
    Scope(const char* name, unsigned kind, std::string (*pathOf)(void*), void* handle);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // Whether the plan makes this call fail: the function then returns its failure at once.
    bool Fails() const { return fails_; }

  private:
    struct Paths {
        std::initializer_list<const char*> list;
        std::string (*pathOf)(void*) = nullptr;
        void* handle = nullptr;
        std::vector<std::string> Get() const;
    };
    void Enter(const char* name, unsigned kind, const Paths& paths);
    void TakeWhole();

    bool counted_ = false;
    bool fails_ = false;
    bool holdsWhole_ = false;
};

// Marks where winsim hands control to the installer's code: calls made from there count again.
class ProductCode {
  public:
    ProductCode();
    ~ProductCode();
    ProductCode(const ProductCode&) = delete;
    ProductCode& operator=(const ProductCode&) = delete;

  private:
    int saved_;
};

// The thread made by the n-th CreateThread of the process (1, 2, ...) calls this first; the
// thread that runs WinMain calls it with 0. Other threads' calls are no moments of the installer.
void StartThread(int index);

// What to do: the use of a call that fails (name to k, counted from 1), and before which call
// of which thread the user presses cancel (0: never). Set before the installer starts.
struct Plan {
    std::map<std::string, int> failAt;
    // Calls that sleep this many milliseconds first, every time.
    std::map<std::string, int> slowMs;
    int cancelBeforeCall = 0;
    int cancelThread = 2;
    // The process dies just before that call of killThread (0: never; the main thread is 0):
    // killed (no call after it, its memory gone, its handles closed, its files as written), or
    // with powerCut stopped by a power cut (the same, and what was written to a file or the
    // registry but not flushed is lost).
    int killBeforeCall = 0;
    int killThread = 2;
    bool powerCut = false;
    // How the user presses cancel: false when the button can't be reached now (it is tried again
    // before the next call). beforePress runs just before the press lands.
    std::function<bool(const std::function<void()>& beforePress)> pressCancel;
};
void SetPlan(const Plan& plan);

// Runs act just before the installer's k-th call of function (counted from 1, every call of it
// by the installer's threads, or by its thread number thread alone: 0 the main thread, n the
// thread of the n-th CreateThread; -1 any). The act runs on the calling thread, inside the call,
// whose own work follows it; winsim's calls made by the act count as no calls of the installer.
// Set before the installer starts.
void AtCall(const std::string& function, int k, int thread, std::function<void()> act);
// The same, for an act that reads what the call is about to act on.
void AtCall(const std::string& function, int k, int thread, std::function<void(const Call&)> act);
// Runs act just before the k-th point of thread (counted as a kill counts them: only calls that
// are Points, from 1). Acts planned by thread come before those planned by function.
void AtThreadCall(int thread, int k, std::function<void(const Call&)> act);
// Forgets every act planned (for tests that plan their own).
void ForgetActs();

// Keeps every point of the installer's threads with what it names, in the order they came
// (Counts::trace; Report's "call" lines). Set before the installer starts.
void TraceCalls();

// Called on the copy worker's thread just before the planned cancel is pressed, for a user who
// notes how things stood at that moment.
void WatchCancelPress(std::function<void()> watcher);

// What was counted: uses of every call that can fail, the calls of each thread that are cancel
// points, when the planned cancel was pressed (the call it preceded; 0: it never was) and the
// uses of every call that can fail up to that moment (the call it preceded included).
struct Counts {
    std::map<std::string, int> uses;
    std::map<int, int> threadCalls;
    int cancelPressedAt = 0;
    std::map<std::string, int> usesAtCancel;
    // By thread, the calls before which a file or the registry held writes not yet flushed, as
    // runs of calls (first to last).
    std::map<int, std::vector<std::pair<int, int>>> unflushedBefore;
    // With TraceCalls: every point, in order, and the place in that order of the one the cancel
    // was pressed before (0: none).
    std::vector<Call> trace;
    int cancelPressedOrder = 0;
};
Counts Counted();
// The counts as text, one "name count" per line: "use <call> <n>", "thread <index> <calls>"
// (the main thread is 0), "cancel <call>", "use-at-cancel <call> <n>",
// "unflushed <thread> <first call> <last call>", and with the trace "call <order> <thread> <call>
// <function>" with a TAB and each path (UTF-8) after it, and "cancel-order <order>".
std::string Report();

} // namespace winsim::calls

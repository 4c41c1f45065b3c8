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

class Scope {
  public:
    Scope(const char* name, unsigned kind);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    // Whether the plan makes this call fail: the function then returns its failure at once.
    bool Fails() const { return fails_; }

  private:
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
};
Counts Counted();
// The counts as text, one "name count" per line: "use <call> <n>", "thread <index> <calls>"
// (the main thread is 0), "cancel <call>", "use-at-cancel <call> <n>",
// "unflushed <thread> <first call> <last call>".
std::string Report();

} // namespace winsim::calls

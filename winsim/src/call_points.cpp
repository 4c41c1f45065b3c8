#include "call_points.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unistd.h>

#include "host_files.h"
#include "machine.h"

namespace winsim::calls {

namespace {

// How deep the calling thread is in winsim's calls: only a call at depth 0 is the installer's.
thread_local int depth = 0;
// Which CreateThread made the calling thread (1, 2, ...); 0 for the thread that runs WinMain; -1
// for threads that are not the installer's (a scripted user's, a test's).
thread_local int threadIndex = -1;
// Whether the calling thread is inside a whole call (holding WholeCalls shared).
thread_local bool inWholeCall = false;

struct PlannedAct {
    std::string function; // empty: by thread alone
    int k = 0;
    int thread = -1;
    std::function<void(const Call&)> act;
};

struct State {
    std::mutex lock;
    Plan plan;
    Counts counts;
    std::vector<PlannedAct> acts;
    // The installer's calls of each function with an act planned: all threads (-1), and by thread.
    std::map<std::pair<int, std::string>, int> functionCalls;
    bool cancelDue = false; // the planned call has come; the press waits for a reachable button
    std::function<void()> watcher;
    bool tracing = false;
    int traced = 0; // points traced so far
};

State& S() {
    static State* state = new State;
    return *state;
}

// Whether the plan makes any call slow, has acts planned or traces the calls: a look without the
// lock at every call.
std::atomic<bool> anySlow{false};
std::atomic<bool> anyActs{false};
std::atomic<bool> anyTrace{false};

// Whole calls in progress hold this shared; a kill takes it alone, so it falls between them.
std::shared_mutex& WholeCalls() {
    static std::shared_mutex* calls = new std::shared_mutex;
    return *calls;
}
// Set once a kill is due: from then on the installer's threads make no call.
std::atomic<bool> dying{false};

[[noreturn]] void Halt() {
    for (;;)
        ::pause();
}

// The process ends here and now, as a process killed from outside (Task Manager, a crash) or a
// PC whose power fails: no exit code of its own, nothing run at its exit, nothing flushed. Whole
// calls that other threads are making end first, as they do on Windows. Called with no lock.
[[noreturn]] void Die(bool powerCut) {
    dying = true;
    WholeCalls().lock();
    if (powerCut)
        LoseUnflushedWrites();
    ::kill(::getpid(), SIGKILL);
    Halt();
}

} // namespace

std::vector<std::string> Scope::Paths::Get() const {
    std::vector<std::string> paths;
    for (const char* path : list) {
        if (path != nullptr)
            paths.emplace_back(path);
    }
    if (pathOf != nullptr) {
        std::string path = pathOf(handle);
        if (!path.empty())
            paths.push_back(std::move(path));
    }
    return paths;
}

Scope::Scope(const char* name, unsigned kind) {
    Enter(name, kind, Paths{});
}

Scope::Scope(const char* name, unsigned kind, std::initializer_list<const char*> paths) {
    Enter(name, kind, Paths{paths});
}

Scope::Scope(const char* name, unsigned kind, std::string (*pathOf)(void*), void* handle) {
    Enter(name, kind, Paths{{}, pathOf, handle});
}

void Scope::Enter(const char* name, unsigned kind, const Paths& paths) {
    if (anySlow) {
        int milliseconds = 0;
        {
            std::lock_guard guard(S().lock);
            auto slow = S().plan.slowMs.find(name);
            if (slow != S().plan.slowMs.end())
                milliseconds = slow->second;
        }
        if (milliseconds > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    if (depth++ != 0) {
        if ((kind & Whole) != 0)
            TakeWhole();
        return;
    }
    // The process is being killed: it does nothing more.
    if (dying && threadIndex >= 0)
        Halt();
    counted_ = true;
    bool press = false;
    bool die = false, powerCut = false;
    int call = 0;
    int order = 0;
    {
        std::lock_guard guard(S().lock);
        State& state = S();
        if ((kind & CanFail) != 0) {
            int use = ++state.counts.uses[name];
            auto planned = state.plan.failAt.find(name);
            fails_ = planned != state.plan.failAt.end() && planned->second == use;
        }
        if ((kind & Point) != 0 && threadIndex >= 0) {
            call = ++state.counts.threadCalls[threadIndex];
            die = threadIndex == state.plan.killThread && call == state.plan.killBeforeCall;
            powerCut = state.plan.powerCut;
            if (!die && state.tracing)
                order = ++state.traced;
            if (!die && HasUnflushedWrites()) {
                auto& runs = state.counts.unflushedBefore[threadIndex];
                if (!runs.empty() && runs.back().second + 1 == call)
                    runs.back().second = call;
                else
                    runs.push_back({call, call});
            }
            if (!die && threadIndex == state.plan.cancelThread &&
                call == state.plan.cancelBeforeCall)
                state.cancelDue = true;
            press = state.cancelDue && threadIndex == state.plan.cancelThread &&
                    state.counts.cancelPressedAt == 0;
            if (press) {
                state.counts.cancelPressedAt = call;
                state.counts.cancelPressedOrder = order;
                state.counts.usesAtCancel = state.counts.uses;
            }
        }
    }
    if (die)
        Die(powerCut);
    // What the call names, for the trace and for another's acts planned for this moment, which
    // come before the call does anything.
    if ((anyActs || anyTrace) && threadIndex >= 0) {
        std::vector<std::function<void(const Call&)>> due;
        {
            std::lock_guard guard(S().lock);
            State& state = S();
            if (anyActs) {
                int any = ++state.functionCalls[{-1, name}];
                int own = ++state.functionCalls[{threadIndex, name}];
                for (const auto& planned : state.acts) {
                    if (planned.function.empty() && call != 0 && planned.thread == threadIndex &&
                        planned.k == call)
                        due.push_back(planned.act);
                }
                for (const auto& planned : state.acts) {
                    if (!planned.function.empty() && planned.function == name &&
                        planned.k == (planned.thread < 0              ? any
                                      : planned.thread == threadIndex ? own
                                                                      : -1))
                        due.push_back(planned.act);
                }
            }
        }
        if (!due.empty() || order != 0) {
            Call info{name, threadIndex, call, order, paths.Get()};
            if (order != 0) {
                std::lock_guard guard(S().lock);
                S().counts.trace.push_back(info);
            }
            for (const auto& act : due)
                act(info);
        }
    }
    // The user's cancel, just before this call. A cancel button the user can't reach now (the
    // dialog hidden for a prompt, or disabled under a box it owns) is pressed before the first
    // later call at which it can be.
    std::function<void()> watcher;
    std::function<bool(const std::function<void()>&)> pressCancel;
    if (press) {
        std::lock_guard guard(S().lock);
        watcher = S().watcher;
        pressCancel = S().plan.pressCancel;
    }
    if (press && (!pressCancel || !pressCancel(watcher))) {
        std::lock_guard guard(S().lock);
        S().counts.cancelPressedAt = 0;
        S().counts.cancelPressedOrder = 0;
    }
    if ((kind & Whole) != 0)
        TakeWhole();
}

Scope::~Scope() {
    if (holdsWhole_) {
        inWholeCall = false;
        WholeCalls().unlock_shared();
    }
    --depth;
}

void Scope::TakeWhole() {
    if (inWholeCall)
        return;
    WholeCalls().lock_shared();
    inWholeCall = true;
    holdsWhole_ = true;
}

ProductCode::ProductCode() : saved_(depth) {
    depth = 0;
}

ProductCode::~ProductCode() {
    depth = saved_;
}

void StartThread(int index) {
    threadIndex = index;
}

void SetPlan(const Plan& plan) {
    std::lock_guard guard(S().lock);
    S().plan = plan;
    anySlow = !plan.slowMs.empty();
}

void AtCall(const std::string& function, int k, int thread, std::function<void()> act) {
    AtCall(function, k, thread, [act = std::move(act)](const Call&) { act(); });
}

void AtCall(const std::string& function, int k, int thread, std::function<void(const Call&)> act) {
    std::lock_guard guard(S().lock);
    S().acts.push_back({function, k, thread, std::move(act)});
    anyActs = true;
}

void AtThreadCall(int thread, int k, std::function<void(const Call&)> act) {
    std::lock_guard guard(S().lock);
    S().acts.push_back({"", k, thread, std::move(act)});
    anyActs = true;
}

void ForgetActs() {
    std::lock_guard guard(S().lock);
    S().acts.clear();
    S().functionCalls.clear();
    anyActs = false;
}

void TraceCalls() {
    std::lock_guard guard(S().lock);
    S().tracing = true;
    anyTrace = true;
}

void WatchCancelPress(std::function<void()> watcher) {
    std::lock_guard guard(S().lock);
    S().watcher = std::move(watcher);
}

Counts Counted() {
    std::lock_guard guard(S().lock);
    return S().counts;
}

std::string Report() {
    Counts counts = Counted();
    std::string text;
    for (const auto& [name, uses] : counts.uses)
        text += "use " + name + " " + std::to_string(uses) + "\n";
    for (const auto& [index, calls] : counts.threadCalls)
        text += "thread " + std::to_string(index) + " " + std::to_string(calls) + "\n";
    text += "cancel " + std::to_string(counts.cancelPressedAt) + "\n";
    for (const auto& [name, uses] : counts.usesAtCancel)
        text += "use-at-cancel " + name + " " + std::to_string(uses) + "\n";
    for (const auto& [index, runs] : counts.unflushedBefore) {
        for (const auto& [first, last] : runs)
            text += "unflushed " + std::to_string(index) + " " + std::to_string(first) + " " +
                    std::to_string(last) + "\n";
    }
    for (const auto& call : counts.trace) {
        text += "call " + std::to_string(call.order) + " " + std::to_string(call.thread) + " " +
                std::to_string(call.call) + " " + call.function;
        for (const auto& path : call.paths)
            text += "\t" + Cp950ToUtf8(path);
        text += "\n";
    }
    if (counts.cancelPressedOrder != 0)
        text += "cancel-order " + std::to_string(counts.cancelPressedOrder) + "\n";
    return text;
}

} // namespace winsim::calls

// A user who answers every message box of this process with its first button, for tests of
// code that reports failures in boxes but is judged by its results and files. It lives on a
// thread of its own for as long as the object does.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "desktop.h"

namespace testing_support {

class BoxAnswerer {
  public:
    BoxAnswerer() : thread_([this] { Run(); }) {}
    ~BoxAnswerer() {
        stop_ = true;
        thread_.join();
    }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // The messages of the boxes answered so far (code page 950).
    std::vector<std::string> Answered() {
        std::lock_guard lock(lock_);
        return answered_;
    }

  private:
    void Run() {
        std::uint64_t seen = 0;
        std::set<std::uintptr_t> clicked; // window handles are never reused
        while (!stop_) {
            seen = winsim::desktop::WaitForChange(seen, 0.02);
            for (const auto& window : winsim::desktop::TopLevelWindows()) {
                if (window.kind != winsim::desktop::Kind::MessageBox || !window.visible ||
                    !window.enabled || window.buttons.empty() || clicked.count(window.handle))
                    continue;
                // Noted under the lock that Answered() takes, with the click: whoever sees the
                // box gone and asks then finds it noted.
                std::string error;
                std::lock_guard lock(lock_);
                if (winsim::desktop::Click(window.handle, window.buttons.front(), error)) {
                    clicked.insert(window.handle);
                    answered_.push_back(window.text);
                }
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::string> answered_;
    std::thread thread_;
};

} // namespace testing_support

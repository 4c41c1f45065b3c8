// The types the installer asked its message boxes for, from Wine's relay trace of its MessageBoxA
// calls (WINEDEBUG=+relay, RelayInclude user32.MessageBoxA). Wine ignores the flags that only
// place a box (MB_TOPMOST, MB_SETFOREGROUND): its window does not show them, the trace does.
// Portable C++: the robot reads the trace under Wine, the host tests the reading.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

class BoxCalls {
  public:
    // Reads more of the trace: text continues what came before, and may end inside a line.
    void Add(const std::string& text);
    // The type of the box with this caption and text (code page 950) that a call on thread has
    // up; nullopt when no call of that thread is still in MessageBoxA with them. A text the trace
    // cut short matches every text that begins with what it kept.
    std::optional<unsigned> TypeOf(unsigned long thread, const std::string& caption,
                                   const std::string& text) const;

  private:
    struct Call {
        std::string text, caption;
        bool textCut = false, captionCut = false;
        unsigned type = 0;
    };
    void AddLine(const std::string& line);

    std::map<unsigned long, std::vector<Call>> open_; // by thread, innermost last
    std::string pending_;                             // the start of a line not yet ended
};

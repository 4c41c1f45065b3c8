#include "box_calls.h"

#include <cctype>
#include <cstdlib>

namespace {

// A line of the trace, as Wine's relay writes it for a 32-bit or 64-bit program:
//   0114:Call user32.MessageBoxA(00020056,004051e0 "text",00405204 "caption",00050001) ret=...
//   0114:Ret  user32.MessageBoxA() retval=00000001 ret=...
// The thread's id leads, in hex. A string is written as Wine's debugstr_a writes it: quoted,
// with \\, \", \n, \r, \t and \xNN escapes, and "..." after it when it was cut short.
class Reader {
  public:
    explicit Reader(const std::string& line) : line_(line) {}

    bool Hex(unsigned long long& value) {
        size_t start = at_;
        value = 0;
        while (at_ < line_.size() && std::isxdigit((unsigned char)line_[at_])) {
            char c = (char)std::tolower((unsigned char)line_[at_++]);
            value = value * 16 + (unsigned)(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        return at_ > start;
    }
    bool Skip(const std::string& text) {
        if (line_.compare(at_, text.size(), text) != 0)
            return false;
        at_ += text.size();
        return true;
    }
    // A pointer and the string it points at (empty for a null pointer).
    bool String(std::string& value, bool& cut) {
        unsigned long long pointer;
        value.clear();
        cut = false;
        if (!Hex(pointer))
            return false;
        if (Skip(" (null)"))
            return true;
        if (!Skip(" \""))
            return pointer == 0;
        while (at_ < line_.size() && line_[at_] != '"') {
            char c = line_[at_++];
            if (c != '\\' || at_ >= line_.size()) {
                value += c;
                continue;
            }
            char escaped = line_[at_++];
            if (escaped == 'x' && at_ + 2 <= line_.size()) {
                value += (char)std::strtoul(line_.substr(at_, 2).c_str(), nullptr, 16);
                at_ += 2;
            } else {
                value += escaped == 'n'   ? '\n'
                         : escaped == 'r' ? '\r'
                         : escaped == 't' ? '\t'
                                          : escaped;
            }
        }
        if (!Skip("\""))
            return false;
        cut = Skip("...");
        return true;
    }

  private:
    const std::string& line_;
    size_t at_ = 0;
};

bool Matches(const std::string& traced, bool cut, const std::string& shown) {
    return cut ? shown.compare(0, traced.size(), traced) == 0 : shown == traced;
}

} // namespace

void BoxCalls::Add(const std::string& text) {
    pending_ += text;
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1)
        AddLine(pending_.substr(start, end - start));
    pending_.erase(0, start);
}

void BoxCalls::AddLine(const std::string& line) {
    Reader in(line);
    unsigned long long thread;
    if (!in.Hex(thread) || !in.Skip(":"))
        return;
    if (in.Skip("Ret  user32.MessageBoxA(")) {
        auto calls = open_.find((unsigned long)thread);
        if (calls != open_.end() && !calls->second.empty())
            calls->second.pop_back();
        return;
    }
    Call call;
    unsigned long long owner, type;
    if (in.Skip("Call user32.MessageBoxA(") && in.Hex(owner) && in.Skip(",") &&
        in.String(call.text, call.textCut) && in.Skip(",") &&
        in.String(call.caption, call.captionCut) && in.Skip(",") && in.Hex(type) && in.Skip(")")) {
        call.type = (unsigned)type;
        open_[(unsigned long)thread].push_back(call);
    }
}

std::optional<unsigned> BoxCalls::TypeOf(unsigned long thread, const std::string& caption,
                                         const std::string& text) const {
    auto calls = open_.find(thread);
    if (calls == open_.end())
        return std::nullopt;
    for (auto call = calls->second.rbegin(); call != calls->second.rend(); ++call) {
        if (Matches(call->caption, call->captionCut, caption) &&
            Matches(call->text, call->textCut, text))
            return call->type;
    }
    return std::nullopt;
}

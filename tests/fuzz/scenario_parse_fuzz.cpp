// Any text as a scenario: the parser either accepts it or says which line is wrong; it never
// crashes, and what it accepts parses again to the same steps.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/scenario/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text((const char*)data, size);
    std::string error;
    auto parsed = scenario::ParseText(text, "fuzz.scn", error);
    if (!parsed) {
        if (error.empty())
            std::abort();
        return 0;
    }
    for (const auto& line : parsed->steps) {
        std::string why;
        if (line.words.empty() || !scenario::IsValidStep(line, why))
            std::abort();
    }
    auto again = scenario::ParseText(text, "fuzz.scn", error);
    if (!again || again->steps.size() != parsed->steps.size() ||
        again->checks.size() != parsed->checks.size())
        std::abort();
    return 0;
}

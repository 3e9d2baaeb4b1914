#include "settings/RelativeTimeText.h"

#include <array>
#include <chrono>
#include <cstdint>

namespace harbelle {

std::string RelativeTimeText::format(Date moment, Date now) {
    using namespace std::chrono;
    const std::int64_t delta = duration_cast<seconds>(now - moment).count();
    const bool future = delta < 0;
    // Negating the smallest value would overflow; no clock gets there.
    const std::uint64_t span = future ? static_cast<std::uint64_t>(-(delta + 1)) + 1 : static_cast<std::uint64_t>(delta);

    struct Unit {
        std::uint64_t seconds;
        const char* name;
        bool plural;  // "days" reads better than "day" for more than one; the short forms stay
    };
    static constexpr std::array<Unit, 7> units{{{365 * 86400, "yr", false},
                                                {30 * 86400, "mo", false},
                                                {7 * 86400, "wk", false},
                                                {86400, "day", true},
                                                {3600, "hr", false},
                                                {60, "min", false},
                                                {1, "sec", false}}};
    std::uint64_t count = 0;
    const Unit* unit = &units.back();
    for (const Unit& candidate : units) {
        if (span >= candidate.seconds) {
            unit = &candidate;
            count = span / candidate.seconds;
            break;
        }
    }
    std::string text = std::to_string(count) + " " + unit->name + (unit->plural && count != 1 ? "s" : "");
    return future ? "in " + text : text + " ago";
}

}  // namespace harbelle

#pragma once

#include <string>

#include "platform/Clock.h"

namespace harbelle {

// A short English phrase for how long ago (or how far ahead) a moment is, in the largest unit
// that fits: "12 sec ago", "2 min ago", "3 hr ago", "1 day ago", "in 5 min".
class RelativeTimeText {
public:
    static std::string format(Date moment, Date now);
};

}  // namespace harbelle

// Dates and Base64 fields of the history file; the records are read in HistoryCodecDecode.cpp
// and written in HistoryCodecEncode.cpp.
#include "history/HistoryCodec.h"
#include "platform/Base64.h"

#include <chrono>
#include <cstdio>
#include <limits>

namespace harbelle::historycodec {
namespace {

// ---- Dates ----

bool readDigits(std::string_view s, std::size_t pos, std::size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    out = value;
    return true;
}

}  // namespace

std::string formatDate(Date date) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(date);
    const auto day = floor<days>(seconds);
    const year_month_day ymd{day};
    const hh_mm_ss<std::chrono::seconds> time{seconds - day};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return buffer;
}

std::optional<Date> parseDate(std::string_view s) {
    using namespace std::chrono;
    // YYYY-MM-DDTHH:MM:SS followed by Z or a ±HH:MM offset; no fraction.
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (s.size() < 20) return std::nullopt;
    if (!readDigits(s, 0, 4, y) || s[4] != '-' || !readDigits(s, 5, 2, mo) || s[7] != '-' ||
        !readDigits(s, 8, 2, d) || s[10] != 'T' || !readDigits(s, 11, 2, h) || s[13] != ':' ||
        !readDigits(s, 14, 2, mi) || s[16] != ':' || !readDigits(s, 17, 2, se))
        return std::nullopt;
    int offsetMinutes = 0;
    const std::string_view zone = s.substr(19);
    if (zone == "Z") {
        offsetMinutes = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int oh = 0, om = 0;
        if (!readDigits(zone, 1, 2, oh) || !readDigits(zone, 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    if (h > 23 || mi > 59 || se > 59) return std::nullopt;
    const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!ymd.ok()) return std::nullopt;

    const std::int64_t total = sys_days{ymd}.time_since_epoch().count() * std::int64_t{86400} +
                               h * 3600 + mi * 60 + se - offsetMinutes * 60;
    // The clock counts nanoseconds in 64 bits (about 1677 to 2262); anything outside is refused.
    constexpr std::int64_t limit =
        std::numeric_limits<Date::rep>::max() / Date::period::den * Date::period::num - 1;
    static_assert(Date::period::num == 1);
    if (total > limit || total < -limit) return std::nullopt;
    return Date{std::chrono::seconds{total}};
}

std::string base64Encode(const Bytes& data) { return encodeBase64(data); }

std::optional<Bytes> base64Decode(std::string_view text) { return decodeBase64Strict(text); }

}  // namespace harbelle::historycodec

#include "server/http/http_date.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "platform/thread_slot.h"

namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::optional<std::int64_t> SecondsOf(int year, int month, int day, int hour, int minute, int second) {
    const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month + 1)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    // A leap second reads as the second before it.
    if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (second == 60) second = 59;
    const sys_seconds when = sys_days{date} + hours{hour} + minutes{minute} + seconds{second};
    return when.time_since_epoch().count();
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The three forms, in strftime's letters: %a short day name, %A long day
// name, %d two-digit day, %e day padded with a blank, %b month name, %Y
// four-digit year, %y two-digit year (below 70 this century, else the
// last), %H %M %S two digits each; any other byte stands for itself.
constexpr std::array<std::string_view, 3> kForms = {
    "%a, %d %b %Y %H:%M:%S GMT",  // IMF-fixdate
    "%A, %d-%b-%y %H:%M:%S GMT",  // RFC 850
    "%a %b %e %H:%M:%S %Y",       // asctime
};

template <std::size_t N>
bool TakeName(std::string_view& text, const std::array<std::string_view, N>& names, int& index) {
    for (std::size_t i = 0; i < N; ++i) {
        if (text.substr(0, names[i].size()) == names[i]) {
            text.remove_prefix(names[i].size());
            index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

// Two digits; with `padded`, a blank may stand for the first.
bool TakeTwoDigits(std::string_view& text, bool padded, int& value) {
    if (text.size() < 2) return false;
    const char first = text[0];
    const char second = text[1];
    const bool firstOk = (first >= '0' && first <= '9') || (padded && first == ' ');
    if (!firstOk || second < '0' || second > '9') return false;
    value = (first == ' ' ? 0 : first - '0') * 10 + (second - '0');
    text.remove_prefix(2);
    return true;
}

std::optional<std::int64_t> ReadForm(std::string_view form, std::string_view text) {
    int ignored = 0, day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    for (std::size_t at = 0; at < form.size(); ++at) {
        bool ok = true;
        if (form[at] != '%') {
            ok = !text.empty() && text.front() == form[at];
            if (ok) text.remove_prefix(1);
        } else {
            switch (form[++at]) {
            case 'a': ok = TakeName(text, kDays, ignored); break;
            case 'A': ok = TakeName(text, kLongDays, ignored); break;
            case 'b': ok = TakeName(text, kMonths, month); break;
            case 'd': ok = TakeTwoDigits(text, false, day); break;
            case 'e': ok = TakeTwoDigits(text, true, day); break;
            case 'y':
                ok = TakeTwoDigits(text, false, year);
                year += year < 70 ? 2000 : 1900;
                break;
            case 'Y': {
                int century = 0;
                ok = TakeTwoDigits(text, false, century) && TakeTwoDigits(text, false, year);
                year += century * 100;
                break;
            }
            case 'H': ok = TakeTwoDigits(text, false, hour); break;
            case 'M': ok = TakeTwoDigits(text, false, minute); break;
            case 'S': ok = TakeTwoDigits(text, false, second); break;
            default: ok = false;
            }
        }
        if (!ok) return std::nullopt;
    }
    if (!text.empty()) return std::nullopt;
    return SecondsOf(year, month, day, hour, minute, second);
}

}  // namespace

void KoAppendHttpDate(std::string& out, std::int64_t secondsSince1970) {
    const sys_seconds when{seconds{secondsSince1970}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{when - day};
    const weekday dayOfWeek{day};
    char text[40];
    const int length =
        std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[dayOfWeek.c_encoding()].data(),
                      static_cast<unsigned>(date.day()), kMonths[static_cast<unsigned>(date.month()) - 1].data(),
                      static_cast<int>(date.year()), static_cast<int>(clock.hours().count()),
                      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    out.append(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

std::string KoHttpDate(std::int64_t secondsSince1970) {
    std::string text;
    KoAppendHttpDate(text, secondsSince1970);
    return text;
}

std::optional<std::int64_t> KoParseHttpDate(std::string_view text) {
    text = Trimmed(text);
    for (std::string_view form : kForms) {
        if (auto seconds = ReadForm(form, text)) return seconds;
    }
    return std::nullopt;
}

std::int64_t KoSecondsNow() {
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

struct DateNow {
    std::int64_t second = -1;
    std::string text;
};

}  // namespace

const std::string& KoHttpDateNow() {
    DateNow& kept = platform::perThread<DateNow>();
    const std::int64_t now = KoSecondsNow();
    if (now != kept.second) {
        // Written again into the same buffer: a new second costs no allocation.
        kept.text.clear();
        KoAppendHttpDate(kept.text, now);
        kept.second = now;
    }
    return kept.text;
}

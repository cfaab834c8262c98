#include "server/http_date.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                       "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A cursor over the text that reads the pieces of a date in order; every
// read fails once one has failed.
class Reader {
public:
    explicit Reader(std::string_view text) : rest(text) {}

    bool ok() const { return good; }
    bool done() const { return good && rest.empty(); }

    void literal(std::string_view expected) {
        if (good && rest.substr(0, expected.size()) == expected) {
            rest.remove_prefix(expected.size());
        } else {
            good = false;
        }
    }
    // Exactly `count` digits; with `padded`, a leading blank may stand for
    // the first one (asctime's day of the month).
    int number(std::size_t count, bool padded = false) {
        int value = 0;
        for (std::size_t i = 0; good && i < count; ++i) {
            const char c = rest.empty() ? '\0' : rest.front();
            if (c >= '0' && c <= '9') {
                value = value * 10 + (c - '0');
            } else if (!(padded && i == 0 && c == ' ')) {
                good = false;
                break;
            }
            rest.remove_prefix(1);
        }
        return value;
    }
    // One of the names; its index.
    template <std::size_t N>
    int name(const std::array<std::string_view, N>& names) {
        for (std::size_t i = 0; good && i < N; ++i) {
            if (rest.substr(0, names[i].size()) == names[i]) {
                rest.remove_prefix(names[i].size());
                return static_cast<int>(i);
            }
        }
        good = false;
        return 0;
    }

private:
    std::string_view rest;
    bool good = true;
};

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

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::optional<std::int64_t> FixDate(std::string_view text) {
    Reader in(text);
    in.name(kDays);
    in.literal(", ");
    const int day = in.number(2);
    in.literal(" ");
    const int month = in.name(kMonths);
    in.literal(" ");
    const int year = in.number(4);
    in.literal(" ");
    const int hour = in.number(2);
    in.literal(":");
    const int minute = in.number(2);
    in.literal(":");
    const int second = in.number(2);
    in.literal(" GMT");
    if (!in.done()) return std::nullopt;
    return SecondsOf(year, month, day, hour, minute, second);
}

// "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year below 70 is in this
// century, the others in the last.
std::optional<std::int64_t> Rfc850Date(std::string_view text) {
    Reader in(text);
    in.name(kLongDays);
    in.literal(", ");
    const int day = in.number(2);
    in.literal("-");
    const int month = in.name(kMonths);
    in.literal("-");
    const int shortYear = in.number(2);
    in.literal(" ");
    const int hour = in.number(2);
    in.literal(":");
    const int minute = in.number(2);
    in.literal(":");
    const int second = in.number(2);
    in.literal(" GMT");
    if (!in.done()) return std::nullopt;
    return SecondsOf(shortYear < 70 ? 2000 + shortYear : 1900 + shortYear, month, day, hour, minute, second);
}

// "Sun Nov  6 08:49:37 1994"
std::optional<std::int64_t> AsctimeDate(std::string_view text) {
    Reader in(text);
    in.name(kDays);
    in.literal(" ");
    const int month = in.name(kMonths);
    in.literal(" ");
    const int day = in.number(2, true);
    in.literal(" ");
    const int hour = in.number(2);
    in.literal(":");
    const int minute = in.number(2);
    in.literal(":");
    const int second = in.number(2);
    in.literal(" ");
    const int year = in.number(4);
    if (!in.done()) return std::nullopt;
    return SecondsOf(year, month, day, hour, minute, second);
}

}  // namespace

std::string KoHttpDate(std::int64_t secondsSince1970) {
    const sys_seconds when{seconds{secondsSince1970}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{when - day};
    const weekday dayOfWeek{day};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[dayOfWeek.c_encoding()].data(),
                  static_cast<unsigned>(date.day()), kMonths[static_cast<unsigned>(date.month()) - 1].data(),
                  static_cast<int>(date.year()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    return text;
}

std::optional<std::int64_t> KoParseHttpDate(std::string_view text) {
    text = Trimmed(text);
    if (auto fixed = FixDate(text)) return fixed;
    if (auto old = Rfc850Date(text)) return old;
    return AsctimeDate(text);
}

std::int64_t KoSecondsNow() {
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

const std::string& KoHttpDateNow() {
    thread_local std::int64_t second = -1;
    thread_local std::string text;
    const std::int64_t now = KoSecondsNow();
    if (now != second) {
        text = KoHttpDate(now);
        second = now;
    }
    return text;
}

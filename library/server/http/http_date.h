// Server stack: dates in HTTP fields ("Date", "Last-Modified",
// "If-Modified-Since", ...). Answers carry the preferred form, IMF-fixdate
// ("Sun, 06 Nov 1994 08:49:37 GMT"); the two obsolete forms a client may
// still send (RFC 850 and asctime) are read too.
//
// KoHttpDateNow keeps the text of the current second per thread and
// formats it again only when the second has changed, so the event loops
// that write answers share nothing and take no lock for it.
// Pure functions otherwise; any thread may call them; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// IMF-fixdate of seconds since 1970 (UTC).
std::string KoHttpDate(std::int64_t seconds);
// The same appended to out: a kept string is written again without a new
// buffer.
void KoAppendHttpDate(std::string& out, std::int64_t seconds);

// Seconds since 1970 of a date in any of the three forms; nothing for text
// that is not a valid date (a day the month does not have, an hour past
// 23, a zone other than GMT, bytes around it other than blanks).
std::optional<std::int64_t> KoParseHttpDate(std::string_view text);

// The current time's IMF-fixdate, formatted at most once a second on each
// thread; the reference stays valid until the thread's next call.
const std::string& KoHttpDateNow();

// Seconds since 1970, now.
std::int64_t KoSecondsNow();

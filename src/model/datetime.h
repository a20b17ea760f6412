// File: model/datetime.h
//
// A UTC instant with nanosecond resolution, its RFC 3339 text, and the two
// RFC 3339 readers the agents' files need: a strict one (Codex rollouts) and a
// lenient one (Claude Code history, which has been seen with spaces, "UTC" and
// offsets without colons). Both readers share one grammar core.
//
// An instant is representable from 0000-01-01T00:00:00Z to
// 9999-12-31T23:59:59.999999999Z (and the leap second 9999-12-31T23:59:60Z):
// exactly what the four-digit year of RFC 3339 can write. Conversions and
// readers whose UTC instant leaves that range fail instead of writing a year
// no RFC 3339 reader accepts.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tq {

struct DateTime {
  // Seconds since 1970-01-01T00:00:00Z, leap seconds not counted.
  int64_t seconds = 0;
  // 0..999'999'999, or up to 1'999'999'999 during a leap second (written as :60).
  uint32_t nanos = 0;

  friend auto operator<=>(const DateTime&, const DateTime&) = default;
};

// Instant `seconds` + `nanos` after the epoch (nanos < 2e9); none when the date
// lies outside the representable range.
std::optional<DateTime> datetime_from_unix(int64_t seconds, uint32_t nanos = 0);
// Milliseconds since the epoch, floor-divided (negative values land before 1970).
std::optional<DateTime> datetime_from_unix_millis(int64_t millis);

// RFC 3339 in UTC: "2025-01-02T03:04:05Z", fraction of 0, 3, 6 or 9 digits.
// `plus_offset` writes "+00:00" instead of "Z".
std::string format_rfc3339(const DateTime& t, bool plus_offset = false);
// Appends the same text to `out` without a temporary.
void append_rfc3339(std::string& out, const DateTime& t, bool plus_offset = false);

// Strict RFC 3339: YYYY-MM-DD, separator T, t or one space, hh:mm:ss, optional
// fraction, offset Z/z or ±hh:mm. Nothing before or after.
std::optional<DateTime> parse_rfc3339_strict(std::string_view text);
// Lenient RFC 3339: as strict, plus white space around "-" and ":" separators and
// before the offset, offsets ±hhmm or ±hh mm, "UTC" in any case, trailing white space.
std::optional<DateTime> parse_rfc3339_lenient(std::string_view text);

}  // namespace tq

#include "model/datetime.h"

#include <cstdio>

namespace tq {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMinYear = 0;
constexpr int64_t kMaxYear = 9999;

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Days since 1970-01-01 of a proleptic Gregorian date, counted in 400-year eras
// so that negative years need no special case.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t mp = (m + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  unsigned month;
  unsigned day;
};

Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const auto d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned days_in_month(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && is_leap(y)) ? 29 : kDays[m - 1];
}

const int64_t kMinSeconds = days_from_civil(kMinYear, 1, 1) * kSecondsPerDay;
const int64_t kMaxSeconds = days_from_civil(kMaxYear, 12, 31) * kSecondsPerDay + kSecondsPerDay - 1;

// One grammar for both readers; the lenient one switches on the extra forms that
// Claude Code history has been seen to hold.
struct Grammar {
  bool lenient;
};

class Scanner {
 public:
  Scanner(std::string_view text, Grammar g) : s_(text), g_(g) {}

  std::optional<DateTime> run() {
    int64_t year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!digits(4, year)) return std::nullopt;
    if (!separator('-')) return std::nullopt;
    if (!digits2(month) || !separator('-') || !digits2(day)) return std::nullopt;
    if (!date_time_separator()) return std::nullopt;
    if (!digits2(hour) || !separator(':') || !digits2(minute) || !separator(':') ||
        !digits2(second)) {
      return std::nullopt;
    }
    uint32_t nanos = 0;
    if (peek() == '.') {
      ++i_;
      size_t count = 0;
      while (i_ < s_.size() && is_digit(s_[i_])) {
        if (count < 9) nanos = nanos * 10 + static_cast<uint32_t>(s_[i_] - '0');
        ++count;
        ++i_;
      }
      if (count == 0) return std::nullopt;
      for (size_t k = count; k < 9; ++k) nanos *= 10;
    }
    if (g_.lenient) skip_space();
    int64_t offset_seconds = 0;
    if (!offset(offset_seconds)) return std::nullopt;
    if (g_.lenient) skip_space();
    if (i_ != s_.size()) return std::nullopt;

    if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    if (second == 60) {
      // A leap second is held as second 59 with a second's worth of extra nanos.
      second = 59;
      nanos += 1'000'000'000;
    }
    const int64_t local =
        days_from_civil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
    const int64_t utc = local - offset_seconds;
    if (utc < kMinSeconds || utc > kMaxSeconds) return std::nullopt;
    return DateTime{utc, nanos};
  }

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }
  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  void skip_space() {
    while (i_ < s_.size() && is_space(s_[i_])) ++i_;
  }

  bool digits(size_t count, int64_t& out) {
    if (s_.size() - i_ < count) return false;
    int64_t v = 0;
    for (size_t k = 0; k < count; ++k) {
      const char c = s_[i_ + k];
      if (!is_digit(c)) return false;
      v = v * 10 + (c - '0');
    }
    i_ += count;
    out = v;
    return true;
  }
  bool digits2(unsigned& out) {
    int64_t v = 0;
    if (!digits(2, v)) return false;
    out = static_cast<unsigned>(v);
    return true;
  }
  bool separator(char c) {
    if (g_.lenient) skip_space();
    if (peek() != c) return false;
    ++i_;
    if (g_.lenient) skip_space();
    return true;
  }
  bool date_time_separator() {
    const char c = peek();
    if (c == 'T' || c == 't' || c == ' ') {
      ++i_;
      return true;
    }
    return false;
  }
  bool offset(int64_t& out) {
    const char c = peek();
    if (c == 'Z' || c == 'z') {
      ++i_;
      out = 0;
      return true;
    }
    if (g_.lenient && s_.size() - i_ >= 3) {
      const std::string_view w = s_.substr(i_, 3);
      if ((w[0] == 'U' || w[0] == 'u') && (w[1] == 'T' || w[1] == 't') &&
          (w[2] == 'C' || w[2] == 'c')) {
        i_ += 3;
        out = 0;
        return true;
      }
    }
    if (c != '+' && c != '-') return false;
    ++i_;
    unsigned hh = 0, mm = 0;
    if (!digits2(hh)) return false;
    if (g_.lenient) {
      // ±hh:mm, ±hhmm, ±hh mm (also with spaces around the colon).
      skip_space();
      if (peek() == ':') {
        ++i_;
        skip_space();
      }
    } else if (peek() == ':') {
      ++i_;
    } else {
      return false;
    }
    if (!digits2(mm)) return false;
    if (hh > 23 || mm > 59) return false;
    out = (c == '-' ? -1 : 1) * static_cast<int64_t>(hh * 3600 + mm * 60);
    return true;
  }

  std::string_view s_;
  Grammar g_;
  size_t i_ = 0;
};

// Writes `v` in decimal at `at`, zero-padded to at least `width` digits (never
// cut: a wider number keeps all its digits); where the digits end.
char* put_digits(char* at, uint64_t v, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = count; i < width; ++i) *at++ = '0';
  while (count > 0) *at++ = digits[--count];
  return at;
}

}  // namespace

std::optional<DateTime> datetime_from_unix(int64_t seconds, uint32_t nanos) {
  if (seconds < kMinSeconds || seconds > kMaxSeconds || nanos >= 2'000'000'000u) {
    return std::nullopt;
  }
  return DateTime{seconds, nanos};
}

std::optional<DateTime> datetime_from_unix_millis(int64_t millis) {
  const int64_t seconds = floor_div(millis, 1000);
  // millis % 1000 never overflows, unlike millis - seconds * 1000 near INT64_MIN.
  int64_t rem_signed = millis % 1000;
  if (rem_signed < 0) rem_signed += 1000;
  const auto rem = static_cast<uint32_t>(rem_signed);
  return datetime_from_unix(seconds, rem * 1'000'000u);
}

void append_rfc3339(std::string& out, const DateTime& t, bool plus_offset) {
  // Every event's time is written, in every output: the text is made in place
  // and appended once.
  char text[64];
  char* at = text;
  const int64_t days = floor_div(t.seconds, kSecondsPerDay);
  const int64_t secs_of_day = t.seconds - days * kSecondsPerDay;
  const Civil c = civil_from_days(days);
  // Every conversion and reader checks the range, so the year has four digits.
  at = put_digits(at, static_cast<uint64_t>(c.year), 4);
  *at++ = '-';
  at = put_digits(at, c.month, 2);
  *at++ = '-';
  at = put_digits(at, c.day, 2);
  *at++ = 'T';
  uint32_t nanos = t.nanos;
  uint64_t second = static_cast<uint64_t>(secs_of_day % 60);
  if (nanos >= 1'000'000'000u) {
    nanos -= 1'000'000'000u;
    second += 1;  // the leap second shows as :60
  }
  at = put_digits(at, static_cast<uint64_t>(secs_of_day / 3600), 2);
  *at++ = ':';
  at = put_digits(at, static_cast<uint64_t>((secs_of_day / 60) % 60), 2);
  *at++ = ':';
  at = put_digits(at, second, 2);
  if (nanos != 0) {
    *at++ = '.';
    if (nanos % 1'000'000 == 0) {
      at = put_digits(at, nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      at = put_digits(at, nanos / 1'000, 6);
    } else {
      at = put_digits(at, nanos, 9);
    }
  }
  out.append(text, static_cast<size_t>(at - text));
  out.append(plus_offset ? "+00:00" : "Z");
}

std::string format_rfc3339(const DateTime& t, bool plus_offset) {
  std::string out;
  out.reserve(32);
  append_rfc3339(out, t, plus_offset);
  return out;
}

std::optional<DateTime> parse_rfc3339_strict(std::string_view text) {
  return Scanner(text, Grammar{false}).run();
}

std::optional<DateTime> parse_rfc3339_lenient(std::string_view text) {
  return Scanner(text, Grammar{true}).run();
}

}  // namespace tq

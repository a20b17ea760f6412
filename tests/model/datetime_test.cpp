#include "model/datetime.h"

#include <gtest/gtest.h>

namespace tq {
namespace {

TEST(DateTimeTest, FormatsWithTheShortestFractionOfThree) {
  const struct {
    int64_t seconds;
    uint32_t nanos;
    const char* z;
  } cases[] = {
      {0, 0, "1970-01-01T00:00:00Z"},
      {1735786800, 0, "2025-01-02T03:00:00Z"},
      {43200, 500000000, "1970-01-01T12:00:00.500Z"},
      {43200, 1000, "1970-01-01T12:00:00.000001Z"},
      {43200, 123456789, "1970-01-01T12:00:00.123456789Z"},
      {43200, 120000000, "1970-01-01T12:00:00.120Z"},
      {86399, 1000000000, "1970-01-01T23:59:60Z"},
      {86399, 1500000000, "1970-01-01T23:59:60.500Z"},
      {-1, 0, "1969-12-31T23:59:59Z"},
      {951782400, 0, "2000-02-29T00:00:00Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.z);
    EXPECT_EQ(format_rfc3339(DateTime{c.seconds, c.nanos}), c.z);
  }
  EXPECT_EQ(format_rfc3339(DateTime{1709641845, 123000000}, true), "2024-03-05T12:30:45.123+00:00");
}

TEST(DateTimeTest, UnixMillisFloorDivide) {
  EXPECT_EQ(format_rfc3339(*datetime_from_unix_millis(1712345678901)), "2024-04-05T19:34:38.901Z");
  EXPECT_EQ(format_rfc3339(*datetime_from_unix_millis(-1)), "1969-12-31T23:59:59.999Z");
  EXPECT_FALSE(datetime_from_unix_millis(INT64_MAX).has_value());
  EXPECT_FALSE(datetime_from_unix_millis(INT64_MIN).has_value());
  EXPECT_FALSE(datetime_from_unix_millis(INT64_MIN + 1).has_value());
  EXPECT_FALSE(datetime_from_unix(INT64_MIN).has_value());
}

// Four-digit years only: 0000-01-01T00:00:00Z up to the leap second that ends 9999.
TEST(DateTimeTest, OnlyFourDigitYearsAreRepresentable) {
  const struct {
    int64_t seconds;
    uint32_t nanos;
    const char* z;  // nullptr: not representable
  } seconds[] = {
      {-62167219200, 0, "0000-01-01T00:00:00Z"},
      {-62167219201, 999999999, nullptr},
      {253402300799, 999999999, "9999-12-31T23:59:59.999999999Z"},
      {253402300799, 1000000000, "9999-12-31T23:59:60Z"},
      {253402300800, 0, nullptr},
  };
  for (const auto& c : seconds) {
    SCOPED_TRACE(c.seconds);
    auto t = datetime_from_unix(c.seconds, c.nanos);
    ASSERT_EQ(t.has_value(), c.z != nullptr);
    if (t) {
      EXPECT_EQ(format_rfc3339(*t), c.z);
    }
  }
  const std::pair<int64_t, const char*> millis[] = {
      {-62167219200000, "0000-01-01T00:00:00Z"},
      {-62167219200001, nullptr},
      {253402300799999, "9999-12-31T23:59:59.999Z"},
      {253402300800000, nullptr},
  };
  for (const auto& [ms, z] : millis) {
    SCOPED_TRACE(ms);
    auto t = datetime_from_unix_millis(ms);
    ASSERT_EQ(t.has_value(), z != nullptr);
    if (t) {
      EXPECT_EQ(format_rfc3339(*t), z);
    }
  }
  // The range applies to the UTC instant, after the offset.
  const std::pair<const char*, const char*> texts[] = {
      {"0000-01-01T00:00:00Z", "0000-01-01T00:00:00Z"},
      {"0000-01-01T00:00:00-00:01", "0000-01-01T00:01:00Z"},
      {"0000-01-01T00:00:00+00:01", nullptr},
      {"9999-12-31T23:59:60Z", "9999-12-31T23:59:60Z"},
      {"9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999999Z"},
      {"9999-12-31T23:30:00-01:00", nullptr},
  };
  for (const auto& [in, out] : texts) {
    SCOPED_TRACE(in);
    for (auto parse : {&parse_rfc3339_strict, &parse_rfc3339_lenient}) {
      auto t = parse(in);
      ASSERT_EQ(t.has_value(), out != nullptr);
      if (t) {
        EXPECT_EQ(format_rfc3339(*t), out);
      }
    }
  }
}

TEST(DateTimeTest, StrictAndLenientAgreeOnPlainRfc3339) {
  const std::pair<const char*, const char*> cases[] = {
      {"2025-01-02T10:00:00+02:00", "2025-01-02T08:00:00Z"},
      {"2025-01-02t10:00:00z", "2025-01-02T10:00:00Z"},
      {"2025-01-02 10:00:00Z", "2025-01-02T10:00:00Z"},
      {"2025-01-02T10:00:00.5-01:30", "2025-01-02T11:30:00.500Z"},
      {"2025-01-02T10:00:00.1234567891Z", "2025-01-02T10:00:00.123456789Z"},
      {"2016-12-31T23:59:60Z", "2016-12-31T23:59:60Z"},
      {"2024-02-29T00:00:00Z", "2024-02-29T00:00:00Z"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    auto strict = parse_rfc3339_strict(in);
    auto lenient = parse_rfc3339_lenient(in);
    ASSERT_TRUE(strict.has_value());
    ASSERT_TRUE(lenient.has_value());
    EXPECT_EQ(format_rfc3339(*strict), out);
    EXPECT_EQ(*strict, *lenient);
  }
}

TEST(DateTimeTest, OnlyTheLenientReaderAcceptsLooseForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"2024-01-02 03:04:05 UTC", "2024-01-02T03:04:05Z"},
      {"2024-01-02T03:04:05utc", "2024-01-02T03:04:05Z"},
      {"2024 - 01 - 02T03 : 04 : 05Z", "2024-01-02T03:04:05Z"},
      {"2024-01-02T03:04:05 +0200", "2024-01-02T01:04:05Z"},
      {"2024-01-02T03:04:05+02 00", "2024-01-02T01:04:05Z"},
      {"2024-01-02T03:04:05Z  ", "2024-01-02T03:04:05Z"},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(in);
    EXPECT_FALSE(parse_rfc3339_strict(in).has_value());
    auto lenient = parse_rfc3339_lenient(in);
    ASSERT_TRUE(lenient.has_value());
    EXPECT_EQ(format_rfc3339(*lenient), out);
  }
}

TEST(DateTimeTest, BothReadersRejectNonsense) {
  const char* bad[] = {"",
                       "2024-01-02",
                       "2024-01-02T03:04:05",
                       "2024-13-02T03:04:05Z",
                       "2023-02-29T03:04:05Z",
                       "2024-01-02T24:00:00Z",
                       "2024-01-02T03:04:05.Z",
                       "2024-01-02T03:04:05Z junk",
                       " 2024-01-02T03:04:05Z",
                       "2024-01-02T03:04:05+2:00",
                       "2024-01-02T03:04:05+24:00",
                       "2024-01-02X03:04:05Z",
                       "not a date"};
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_rfc3339_strict(text).has_value());
    EXPECT_FALSE(parse_rfc3339_lenient(text).has_value());
  }
}

}  // namespace
}  // namespace tq

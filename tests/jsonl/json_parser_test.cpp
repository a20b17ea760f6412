#include "jsonl/json_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <string_view>

#include "jsonl/line_reader.h"

namespace tq {
namespace {

TEST(JsonParserTest, ReadsEveryKindOfValue) {
  JsonParser parser;
  auto v = parser.parse(
      R"({"z":1,"a":[true,false,null],"n":-5,"f":1.5,"s":"h\u00e9\n","big":18446744073709551615})");
  ASSERT_TRUE(v.has_value()) << v.error();
  const auto& members = v->as_object();
  ASSERT_EQ(members.size(), 6u);
  EXPECT_EQ(members[0].key, "a");
  EXPECT_EQ(members[5].key, "z");
  EXPECT_TRUE(v->find("z")->is_uint());
  EXPECT_EQ(v->find("n")->as_int(), -5);
  EXPECT_EQ(v->find("f")->as_double(), 1.5);
  EXPECT_EQ(*v->find_string("s"), "h\xC3\xA9\n");
  EXPECT_EQ(v->find("big")->as_uint(), 18446744073709551615ull);
  EXPECT_EQ(v->find("a")->as_array().size(), 3u);
  EXPECT_TRUE(v->find("a")->as_array()[2].is_null());
}

TEST(JsonParserTest, RepeatedKeyKeepsTheLastValue) {
  auto v = parse_json(R"({"type":"a","x":0,"type":"b"})");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v->find_string("type"), "b");
  EXPECT_EQ(v->as_object().size(), 2u);

  // Large objects take another sorting path.
  std::string many = "{";
  for (int i = 30; i > 0; --i)
    many += "\"k" + std::to_string(i % 20) + "\":" + std::to_string(i) + ",";
  many.back() = '}';
  auto big = parse_json(many);
  ASSERT_TRUE(big.has_value());
  ASSERT_EQ(big->as_object().size(), 20u);
  EXPECT_EQ(big->find("k0")->as_uint(), 20u);
  EXPECT_EQ(big->find("k5")->as_uint(), 5u);
  EXPECT_EQ(big->find("k19")->as_uint(), 19u);
  EXPECT_EQ(big->as_object().front().key, "k0");
}

TEST(JsonParserTest, NonNegativeIntegersAreUnsigned) {
  EXPECT_TRUE(parse_json("0")->is_uint());
  EXPECT_TRUE(parse_json("-0")->is_uint());
  EXPECT_TRUE(parse_json("9223372036854775807")->is_uint());
  EXPECT_EQ(parse_json("-9223372036854775808")->as_int(), INT64_MIN);
}

TEST(JsonParserTest, IntegersBeyondSixtyFourBitsBecomeDoubles) {
  const std::pair<const char*, double> cases[] = {
      {"18446744073709551616", 18446744073709551616.0},
      {"[-9223372036854775809]", -9223372036854775809.0},
      {R"({"a":100000000000000000000000})", 1e23},
      // Other numbers of such a line keep their value, long decimals too.
      {R"({"a":1.00000000000000000000000001,"b":18446744073709551616})", 1.0},
      {R"([-92233.72036854775808,18446744073709551616])", -92233.72036854775808},
      {R"([-1e-400,18446744073709551616])", -0.0},
      {R"([0.1e-330,18446744073709551616])", 0.0},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    auto v = parse_json(text);
    ASSERT_TRUE(v.has_value()) << v.error();
    const JsonValue* n = &*v;
    if (n->is_array()) n = &n->as_array()[0];
    if (n->is_object()) n = n->find("a");
    ASSERT_TRUE(n->is_double());
    EXPECT_EQ(n->as_double(), expected);
  }
}

TEST(JsonParserTest, RejectsInvalidText) {
  const char* bad[] = {"", "{", "[1,]", "{\"a\" 1}", "tru", "1 2", "\"\\ud800\"", "1e400", "[01]",
                       "{\"a\":1}}", "nul",
                       // A number beyond 64 bits takes another reading path, which
                       // must refuse a second value just the same.
                       "18446744073709551616 1", "{\"a\":18446744073709551616} {\"b\":2}",
                       "{\"a\":18446744073709551616}}", "[18446744073709551616] x",
                       "[1e400,18446744073709551616]", "[01,18446744073709551616]"};
  for (const char* text : bad) {
    auto v = parse_json(text);
    EXPECT_FALSE(v.has_value()) << text;
    if (!v) {
      EXPECT_FALSE(v.error().empty());
    }
  }
}

TEST(JsonParserTest, NestingIsBoundedAt128Levels) {
  const std::string ok = std::string(128, '[') + std::string(128, ']');
  EXPECT_TRUE(parse_json(ok).has_value());
  const std::string deep = std::string(129, '[') + std::string(129, ']');
  auto v = parse_json(deep);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), "nesting deeper than 128 levels");
  const std::string hostile = std::string(100000, '[');
  EXPECT_FALSE(parse_json(hostile).has_value());
}

// A shape leaves members out of the value but never changes whether or how a
// line fails.
TEST(JsonParserTest, ShapedLinesKeepOnlyNamedMembersAndFailAsWholeOnes) {
  static constexpr std::array kItem{JsonShapeMember{"k", nullptr}};
  static constexpr JsonShape kItemShape{kItem};
  static constexpr std::array<std::string_view, 1> kBulk{"bulk"};
  static constexpr JsonShape kAllButBulk{{}, kBulk};
  static constexpr std::array kTop{JsonShapeMember{"a", nullptr},
                                   JsonShapeMember{"list", &kItemShape},
                                   JsonShapeMember{"c", &kAllButBulk}};
  static constexpr JsonShape kShape{kTop};
  const std::string deep_aside =
      R"({"a":1,"b":)" + std::string(129, '[') + std::string(129, ']') + "}";
  struct Case {
    std::string text;
    std::string expected;  // the shaped value as JSON, or the error
  };
  const Case cases[] = {
      {R"({"a":{"x":[1]},"b":"dropped","list":[{"k":1,"z":2},3]})",
       R"({"a":{"x":[1]},"list":[{"k":1},3]})"},
      {R"([{"a":1,"b":2}])", R"([{"a":1}])"},
      {R"({"c":[{"bulk":"x","b":{"bulk":1}},{"z":[]}],"a":0})",
       R"({"a":0,"c":[{"b":{"bulk":1}},{"z":[]}]})"},
      {R"({"a":123456789012345678901234567890})", R"({"a":1.2345678901234568e+29})"},
      {deep_aside, "nesting deeper than 128 levels"},
      {R"({"b":[}, "a":1})", parse_json(R"({"b":[}, "a":1})").error()},
  };
  JsonParser parser;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    std::string line = c.text;
    auto shaped = parser.parse_line(line, line, &kShape);
    if (shaped) {
      EXPECT_EQ(*shaped, *parse_json(c.expected));
    } else {
      EXPECT_EQ(shaped.error(), c.expected);
    }
  }
}

TEST(JsonParserTest, ParserIsReusableAcrossLinesOfDifferentSizes) {
  JsonParser parser;
  EXPECT_EQ(
      parser.parse(R"({"a":")" + std::string(100000, 'x') + R"("})")->find_string("a")->size(),
      100000u);
  EXPECT_EQ(*parser.parse(R"({"a":"b"})")->find_string("a"), "b");
  EXPECT_FALSE(parser.parse("{").has_value());
  EXPECT_EQ(parser.parse("[1]")->as_array().size(), 1u);
}

TEST(JsonParserTest, ParseLineGivesWhatParseGivesAndReleasesOnlyHugeLines) {
  const std::string huge = R"({"a":")" + std::string(17 << 20, 'x') + R"("})";
  JsonParser parser;
  for (const std::string& text : {std::string(R"({"a":"b"})"),
                                  std::string(R"({"n":123456789012345678901234567890})"), huge}) {
    // Without room past its end the line is parsed in a copy, which leaves it alone.
    for (const bool room : {false, true}) {
      SCOPED_TRACE(text.substr(0, 12) + (room ? " with room" : " without room"));
      std::string line = text + "  ";
      line.shrink_to_fit();
      if (room) line.reserve(line.size() + kLinePadding);
      const std::string_view trimmed = std::string_view(line).substr(0, text.size());
      EXPECT_EQ(parser.parse_line(trimmed, line), parse_json(text));
      EXPECT_EQ(line.empty(), room && text.size() == huge.size());
    }
  }
}

}  // namespace
}  // namespace tq

#include "error/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tq {
namespace {

TEST(ErrorTest, EachVariantHasItsExactMessage) {
  const struct {
    Error error;
    ErrorKind kind;
    const char* text;
  } cases[] = {
      {Error::io("/tmp/x", "boom"), ErrorKind::Io, "I/O error at /tmp/x: boom"},
      {Error::json_parse("a.jsonl", 3, "bad"), ErrorKind::JsonParse,
       "JSON parse error at a.jsonl line 3: bad"},
      {Error::invalid_field_type("a", 1, "ts", "number", "string"), ErrorKind::InvalidFieldType,
       "Invalid field type at a line 1: field 'ts' expected number, got string"},
      {Error::invalid_timestamp("a", 2, "m"), ErrorKind::InvalidTimestamp,
       "Invalid timestamp at a line 2: m"},
      {Error::hash_computation("p", "m"), ErrorKind::HashComputation,
       "Hash computation failed for p: m"},
      {Error::csv_write("e"), ErrorKind::CsvWrite, "CSV write error: e"},
      {Error::json_serialization("e"), ErrorKind::JsonSerialization, "JSON serialization error: e"},
      {Error::message("Plain text."), ErrorKind::Message, "Plain text."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.text(), c.text);
  }
}

TEST(ErrorTest, OsErrorTextNamesDescriptionAndNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EINVAL), "Invalid argument (os error 22)");
  EXPECT_EQ(os_error_text(std::make_error_code(std::errc::permission_denied)),
            "Permission denied (os error 13)");
}

TEST(ErrorTest, OsErrorNumberReadsBackWhatOsErrorTextWrote) {
  for (int number : {ENOENT, EACCES, ENOTDIR, EISDIR, ENOSPC}) {
    EXPECT_EQ(os_error_number("I/O error at /x: " + os_error_text(number)), number) << number;
  }
  for (const char* text :
       {"", "stream did not contain valid UTF-8", "x (os error )", "x (os error 2) more",
        "x (os error 2x)", "x (os error -2)", "x (os error 99999999999)"}) {
    EXPECT_EQ(os_error_number(text), 0) << text;
  }
}

TEST(ErrorTest, PathsShowInvalidUtf8AsReplacementCharacters) {
  EXPECT_EQ(display_path("/a/\xFF/b"), "/a/\xEF\xBF\xBD/b");
  EXPECT_EQ(lossy_utf8("ok \xC3\xA9"), "ok \xC3\xA9");
  // A bad prefix of a multi-byte sequence becomes one replacement character.
  EXPECT_EQ(lossy_utf8("\xE2\x82x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98"), "\xEF\xBF\xBD");
  EXPECT_EQ(Error::io("/a/\xFF", "e").text(), "I/O error at /a/\xEF\xBF\xBD: e");
}

}  // namespace
}  // namespace tq

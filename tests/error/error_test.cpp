#include "error/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <optional>
#include <string>
#include <system_error>

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
      {Error::json_serialization("e"), ErrorKind::JsonSerialization, "JSON serialization error: e"},
      {Error::stopped(), ErrorKind::Stopped, "The parse was stopped."},
      {Error::detection("d."), ErrorKind::Detection, "d."},
      {Error::strict("s."), ErrorKind::Strict, "s."},
      {Error::argument("a."), ErrorKind::Argument, "a."},
      {Error::secrets("r."), ErrorKind::Secrets, "r."},
      {Error::refused("o."), ErrorKind::Refused, "o."},
      {Error::internal("i."), ErrorKind::Internal, "i."},
      {Error::write("W: e", ENOSPC), ErrorKind::Write, "W: e"},
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

TEST(ErrorTest, TheSystemsErrorTravelsWithItsCategoryAndPath) {
  const std::error_code enoent(ENOENT, std::system_category());
  const std::error_code broken = std::make_error_code(std::future_errc::broken_promise);
  const struct {
    const char* name;
    Error error;
    const char* text;
    std::error_code code;
    int errno_value;
    const char* path;
  } cases[] = {
      {"system", Error::io("/x", enoent), "I/O error at /x: No such file or directory (os error 2)",
       enoent, ENOENT, "/x"},
      {"generic", Error::io("/x", std::make_error_code(std::errc::invalid_argument)),
       "I/O error at /x: Invalid argument (os error 22)",
       std::make_error_code(std::errc::invalid_argument), EINVAL, "/x"},
      {"other category", Error::io("/x", broken), "I/O error at /x: ", broken, 0, "/x"},
      {"text of ours", Error::io("/x", "too long"), "I/O error at /x: too long", {}, 0, "/x"},
      {"own words", Error::io_text("Cannot create 'o': e", enoent), "Cannot create 'o': e", enoent,
       ENOENT, ""},
      {"write", Error::write("W: e", ENOSPC), "W: e",
       std::error_code(ENOSPC, std::system_category()), ENOSPC, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.error.text().starts_with(c.text)) << c.error.text();
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(errno_of(c.error.code()), c.errno_value);
    EXPECT_EQ(c.error.path(), c.path);
    EXPECT_EQ(c.error.write_failure(), std::string_view(c.name) == "write");
  }
  EXPECT_EQ(os_error_text(broken), broken.message() + " (future error 4)");
}

TEST(ErrorTest, OnlyTheSystemsOwnShortagesAreMachineFaults) {
  const struct {
    std::error_code code;
    bool fault;
  } cases[] = {
      {std::error_code(EMFILE, std::system_category()), true},
      {std::make_error_code(std::errc::not_enough_memory), true},
      {std::error_code(ENOENT, std::system_category()), false},
      // The same number in another category is no shortage of the machine.
      {std::error_code(EMFILE, std::future_category()), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code.category().name() + std::to_string(c.code.value()));
    const std::optional<Error> fault = machine_fault("/x", c.code);
    ASSERT_EQ(fault.has_value(), c.fault);
    if (fault) {
      EXPECT_EQ(fault->code(), c.code);
    }
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

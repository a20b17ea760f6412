#include "files/media_type.h"

#include <gtest/gtest.h>

#include <string>

namespace tq {
namespace {

// The rows the output promises for the file kinds agents store most.
TEST(MediaTypeTest, FixedRowsGiveTheirTypes) {
  struct Case {
    const char* extension;
    const char* media_type;
  };
  const Case cases[] = {
      {"png", "image/png"},       {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},       {"webp", "image/webp"},     {"bmp", "image/bmp"},
      {"svg", "image/svg+xml"},   {"txt", "text/plain"},      {"log", "text/plain"},
      {"py", "text/plain"},       {"md", "text/markdown"},    {"json", "application/json"},
      {"html", "text/html"},      {"csv", "text/csv"},        {"xml", "text/xml"},
      {"pdf", "application/pdf"}, {"zip", "application/zip"}, {"ts", "video/vnd.dlna.mpeg-tts"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    EXPECT_EQ(media_type_for_extension(c.extension), c.media_type);
  }
  EXPECT_EQ(media_type_for_extension("jsonl"), std::nullopt);
}

TEST(MediaTypeTest, LookupIgnoresCaseAndUsesTheLastExtension) {
  EXPECT_EQ(media_type_for_extension("PNG"), "image/png");
  EXPECT_EQ(media_type_for_extension("Md"), "text/markdown");
  EXPECT_EQ(media_type_for_path("x/photo.JPG"), "image/jpeg");
  EXPECT_EQ(media_type_for_path("archive.tar.zip"), "application/zip");
  EXPECT_EQ(media_type_for_path("notes.txt.jsonl"), std::nullopt);
  // Beyond the fixed rows the table comes from the system registry of types.
  EXPECT_EQ(media_type_for_path("page.css"), "text/css");
}

TEST(MediaTypeTest, NamesWithoutUsableExtensionHaveNoType) {
  const char* paths[] = {"README", ".png", "dir/.txt", "a.", "a.unknownext", "a.p\xffng", "x/.."};
  for (const char* p : paths) {
    SCOPED_TRACE(p);
    EXPECT_EQ(media_type_for_path(p), std::nullopt);
  }
}

}  // namespace
}  // namespace tq

// Whole JSON files: read once, hashed in the same pass, bounded, and every
// problem a diagnostic that keeps what could be read.
#include "reading/json_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash/hash.h"
#include "support/temp_tree.h"

namespace tq {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  bool document;           // a document comes back
  const char* diagnostic;  // the one diagnostic's message, or nullptr
};

TEST(WholeJsonFileTest, ReadsWholeDocumentsAndReportsWhatIsNot) {
  const std::vector<Case> cases = {
      {"object", R"({"agentType":"Explore"})", true, nullptr},
      {"pretty", "{\n  \"permissions\": {\n    \"allow\": []\n  }\n}\n", true, nullptr},
      {"array", "[]", true, nullptr},
      {"not json", "name: x\n", false, "Invalid JSON: "},
      {"empty", "", false, "Invalid JSON: "},
      {"not utf-8", "\"\xff\"", false, "Invalid JSON: the file is not UTF-8 text"},
      {"too large", std::string(70, ' ') + "{}", false,
       "File size 72 exceeds max_line_size 64, skipping."},
  };
  testing::TempTree tree;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto path = tree.write(std::string(c.name) + ".json", c.bytes);
    std::vector<Diagnostic> diagnostics;
    auto file = read_json_file(path, {ParserOptions{.max_line_size = 64}}, "f.json",
                               ArtifactKind::Session, diagnostics);
    ASSERT_TRUE(file.has_value() && file->has_value());
    EXPECT_EQ((*file)->document.has_value(), c.document);
    EXPECT_EQ((*file)->description.sha256, sha256_bytes(c.bytes));
    EXPECT_EQ((*file)->description.size, c.bytes.size());
    EXPECT_FALSE((*file)->description.content.has_value());
    ASSERT_EQ(diagnostics.size(), c.diagnostic != nullptr ? 1u : 0u);
    if (c.diagnostic != nullptr) {
      EXPECT_EQ(diagnostics[0].message.rfind(c.diagnostic, 0), 0u) << diagnostics[0].message;
      EXPECT_EQ(diagnostics[0].source->relative_path, "f.json");
    }
  }
}

TEST(WholeJsonFileTest, ContentFollowsTheOptionsAndStrictModeFailsOnBadJson) {
  testing::TempTree tree;
  const auto good = tree.write("good.json", "{}");
  const auto bad = tree.write("bad.json", "{");
  std::vector<Diagnostic> diagnostics;
  auto kept = read_json_file(good, {ParserOptions{.include_content = true}}, "good.json",
                             ArtifactKind::Session, diagnostics);
  ASSERT_TRUE(kept && *kept && (*kept)->description.content);
  EXPECT_EQ((*kept)->description.content->text, "{}");
  auto strict = read_json_file(bad, {ParserOptions{.mode = ParseMode::Strict}}, "bad.json",
                               ArtifactKind::Session, diagnostics);
  ASSERT_FALSE(strict.has_value());
  EXPECT_EQ(strict.error().kind(), ErrorKind::JsonParse);

  auto missing =
      read_json_file(tree.path("gone.json"), {}, "gone.json", ArtifactKind::Session, diagnostics);
  ASSERT_TRUE(missing.has_value());
  EXPECT_FALSE(missing->has_value());
  ASSERT_EQ(diagnostics.size(), 1u);
  EXPECT_EQ(diagnostics[0].code, DiagnosticCode::UnreadableArtifact);
  EXPECT_EQ(diagnostics[0].message, "Cannot read metadata: No such file or directory (os error 2)");
}

}  // namespace
}  // namespace tq

#include "model/fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/model.h"
#include "output/csv.h"

namespace tq {

// A record of each kind a description holds: a nested record kept boxed,
// fields of the whole surface only, a prefix and a moved column.
struct ProbeTool {
  std::string name;
  std::optional<uint64_t> exit_code;
};
struct Probe {
  std::string id;
  std::optional<std::string> note;
  Boxed<ProbeTool> tool;
  uint64_t count = 0;
};

template <>
struct Description<ProbeTool> {
  static constexpr std::tuple fields{field("name", &ProbeTool::name),
                                     field("exit_code", &ProbeTool::exit_code)};
};
template <>
struct Description<Probe> {
  static constexpr std::tuple fields{
      field("id", &Probe::id),
      field("note", &Probe::note, {.surface = Surface::Whole}),
      field("tool", &Probe::tool, {.surface = Surface::Whole, .prefix = "tool_"}),
      field("count", &Probe::count, {.column_before = "id"}),
  };
};

namespace {

static_assert(kFieldCount<Probe> == 4);
static_assert(std::is_same_v<Records<Probe>, std::tuple<Probe, ProbeTool>>);
static_assert(
    std::is_same_v<Records<TimelineEvent, Diagnostic>,
                   std::tuple<TimelineEvent, SourceInfo, ArtifactInfo, FsTimes, EventFacts,
                              PromptFacts, ToolFacts, UsageFacts, Diagnostic>>);

// Names each field with its value's text, nested records in braces.
struct Names {
  Surface surface;
  std::string text;

  void field(std::string_view name, std::string_view) { add(name); }
  void field(std::string_view name, const std::optional<std::string>&) { add(name); }
  void field(std::string_view name, uint64_t) { add(name); }
  void field(std::string_view name, const std::optional<uint64_t>&) { add(name); }
  void field(std::string_view name, const ProbeTool* tool) {
    add(name);
    if (tool == nullptr) return;
    text += '{';
    Names inner{surface, {}};
    visit_fields(*tool, inner, surface);
    text += inner.text + '}';
  }
  void add(std::string_view name) {
    if (!text.empty() && text.back() != '{') text += ' ';
    text += name;
  }
};

TEST(FieldsTest, EachSurfaceVisitsItsFieldsInDescriptionOrder) {
  const Probe bare;
  Probe with_tool;
  with_tool.tool = ProbeTool{"Bash", 0};
  struct Case {
    const char* name;
    const Probe& probe;
    Surface surface;
    std::string expected;
  } cases[] = {
      {"functions", with_tool, Surface::Functions, "id count"},
      {"whole", with_tool, Surface::Whole, "id note tool{name exit_code} count"},
      {"whole, no tool", bare, Surface::Whole, "id note tool count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Names names{c.surface, {}};
    visit_fields(c.probe, names, c.surface);
    EXPECT_EQ(names.text, c.expected);
  }
}

TEST(FieldsTest, CsvColumnsFollowTheDescription) {
  using Functions = CsvLayout<Probe, Surface::Functions>;
  using Whole = CsvLayout<Probe, Surface::Whole>;
  EXPECT_EQ(std::vector<std::string_view>(Functions::kNames.begin(), Functions::kNames.end()),
            (std::vector<std::string_view>{"count", "id"}));
  EXPECT_EQ(std::vector<std::string_view>(Whole::kNames.begin(), Whole::kNames.end()),
            (std::vector<std::string_view>{"count", "id", "note", "tool_name", "tool_exit_code"}));
}

}  // namespace
}  // namespace tq

// Documents written from events rendered ahead of time, their sequence put
// back as they are copied in, against the same documents written directly.
#include "output/rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "output/format.h"
#include "parser/driver.h"

namespace tq {
namespace {

// Bodies rendered one by one, as a store keeps them, copied in by position.
class RenderedRows final : public EventRows {
 public:
  RenderedRows(const EventTable& events, EventRenderer& renderer) : events_(events) {
    for (size_t i = 0; i < events.size(); ++i) {
      bodies_.emplace_back();
      marks_.push_back(renderer.render(events[i], bodies_.back()));
    }
  }
  size_t size() const override { return bodies_.size(); }
  Status write_row(size_t i, OutputSink& sink) override {
    write_numbered(sink, bodies_[i], marks_[i], events_[i].sequence);
    return {};
  }

 private:
  const EventTable& events_;
  std::vector<std::string> bodies_;
  std::vector<size_t> marks_;
};

const ParseReport& sample_report() {
  static const ParseReport report = [] {
    ParserOptions options;
    options.transcripts = true;
    options.include_raw = true;
    options.include_content = true;
    const auto home =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "claude-hillviewcap";
    return parse_path(home, options).value();
  }();
  return report;
}

TEST(EventRowsTest, DocumentsFromRenderedRowsEqualDocumentsWrittenDirectly) {
  struct Case {
    const char* name;
    Format format;
    RenderOptions options;
  };
  const Case cases[] = {
      {"json pretty", Format::Json, {}},
      {"json compact", Format::Json, {.pretty = false}},
      {"jsonl", Format::Jsonl, {}},
      {"csv", Format::Csv, {}},
      {"csv no message, content", Format::Csv, {.include_message = false, .include_content = true}},
  };
  const ParseReport& report = sample_report();
  ASSERT_GT(report.events.size(), 100u);
  for (const Case& c : cases) {
    for (Surface surface : {Surface::Functions, Surface::Whole}) {
      SCOPED_TRACE(std::string(c.name) + (surface == Surface::Whole ? ", whole" : ""));
      RenderOptions options = c.options;
      options.surface = surface;
      std::string direct, copied;
      ASSERT_TRUE(render(report.events, report.diagnostics, c.format, OutputTarget::memory(direct),
                         options));
      auto renderer = EventRenderer::make(c.format, options);
      ASSERT_TRUE(renderer) << renderer.error().text();
      RenderedRows rows(report.events, *renderer);
      ASSERT_TRUE(
          render(rows, report.diagnostics, c.format, OutputTarget::memory(copied), options));
      // The first difference, not two whole documents, names what went wrong.
      const auto differ = std::mismatch(direct.begin(), direct.end(), copied.begin(), copied.end());
      EXPECT_EQ(copied.size(), direct.size());
      EXPECT_TRUE(differ.first == direct.end())
          << "from byte " << differ.first - direct.begin() << ": "
          << copied.substr(static_cast<size_t>(differ.second - copied.begin()), 80);
    }
  }
}

TEST(EventRowsTest, ThePageAndParquetAreNotRenderedAsRows) {
  std::string out;
  const EventTable no_events;
  auto renderer = EventRenderer::make(Format::Json, {});
  ASSERT_TRUE(renderer);
  for (Format format : {Format::Html, Format::Parquet}) {
    const auto body = render_event_body(sample_report().events[0], format, {}, out);
    ASSERT_FALSE(body);
    EXPECT_EQ(body.error().text(), "only JSON, JSON Lines and CSV events are rendered alone");
    RenderedRows none(no_events, *renderer);
    const Status document = render(none, {}, format, OutputTarget::memory(out), {});
    ASSERT_FALSE(document);
    EXPECT_EQ(document.error().text(),
              "only JSON, JSON Lines and CSV documents are written from rows");
  }
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace tq

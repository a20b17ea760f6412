// Events for the output writer tests: one with every optional absent and one
// with every optional present, plus helpers to read a written file back.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "jsonl/json_parser.h"
#include "model/model.h"

namespace tq::testing {

inline constexpr const char* kSampleEventId =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// 2025-01-02T03:04:05Z
inline constexpr int64_t kSampleSeconds = 1735787045;

inline TimelineEvent bare_event() {
  TimelineEvent ev;
  ev.event_id = kSampleEventId;
  ev.sequence = 0;
  ev.provider = Provider::Codex;
  ev.timestamp_source = TimestampSource::None;
  ev.event_type = EventType::Unknown;
  ev.source.artifact_kind = ArtifactKind::History;
  ev.source.relative_path = "history.jsonl";
  return ev;
}

inline TimelineEvent full_event() {
  TimelineEvent ev;
  ev.event_id = kSampleEventId;
  ev.sequence = 7;
  ev.provider = Provider::ClaudeCode;
  ev.source_file_sha256 = std::string(64, 'a');
  ev.timestamp = DateTime{kSampleSeconds, 120'000'000};
  ev.timestamp_source = TimestampSource::Embedded;
  ev.timestamp_raw = JsonValue(uint64_t{1735787045120});
  ev.event_type = EventType::PasteAttachment;
  ev.session_id = "s-1";
  ev.working_directory = "/w";
  ev.message = "hi";
  ev.source.artifact_kind = ArtifactKind::PasteCache;
  ev.source.record_type = "paste";
  ev.source.relative_path = ".claude/paste-cache/k.txt";
  ev.source.line_number = 3;
  ev.source.source_id = "k";
  ev.artifact = ArtifactInfo{ReferenceStatus::Resolved,
                             std::string("paste-cache/k.txt"),
                             uint64_t{2},
                             uint64_t{5},
                             std::string(64, 'b'),
                             std::string("text/plain"),
                             std::string("hello"),
                             ContentEncoding::Utf8};
  ev.fs_times = FsTimes{DateTime{kSampleSeconds, 0}, DateTime{kSampleSeconds, 123'456'000},
                        DateTime{kSampleSeconds, 123'456'789}};
  ev.warnings = {"w1", "w2"};
  JsonValue raw = JsonValue::object();
  raw.set("n", JsonValue(-5.0));
  raw.set("a", parse_json("[true, null]").value());
  raw.set("e", JsonValue::object());
  ev.raw = std::move(raw);
  return ev;
}

// A fresh file path in the test temp directory, removed when this goes away.
class ScratchFile {
 public:
  explicit ScratchFile(const std::string& name)
      : path_(std::filesystem::temp_directory_path() /
              ("tq_output_" + std::to_string(::getpid()) + "_" + name)) {}
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }
  int open_for_writing() const {
    return ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  }
  std::string contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tq::testing

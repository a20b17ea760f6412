#include "jsonl/history_keys.h"

#include <string>
#include <string_view>

#include "files/evidence_file.h"
#include "jsonl/json_parser.h"

namespace tq {
namespace {

// Enough for the first records of either history: a prompt line is short, and
// a long pasted one still leaves the keys in its first bytes' line.
constexpr size_t kSniffSize = 64 * 1024;

HistoryAuthor author_of(const JsonValue& record) {
  if (!record.is_object()) return HistoryAuthor::Unknown;
  if (record.find("session_id") != nullptr && record.find("ts") != nullptr) {
    return HistoryAuthor::Codex;
  }
  if (record.find("display") != nullptr) return HistoryAuthor::ClaudeCode;
  return HistoryAuthor::Unknown;
}

}  // namespace

HistoryAuthor history_author(const std::filesystem::path& path) {
  auto file = EvidenceFile::open(path);
  if (!file) return HistoryAuthor::Unknown;
  std::string head(kSniffSize, '\0');
  size_t filled = 0;
  while (filled < head.size()) {
    auto got = file->read(head.data() + filled, head.size() - filled);
    if (!got || *got == 0) break;
    filled += *got;
  }
  head.resize(filled);
  std::string_view rest = head;
  // Only whole lines: the last one may be cut at the sniff's end.
  while (true) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;
    auto record = parse_json(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    if (!record) continue;
    if (HistoryAuthor author = author_of(*record); author != HistoryAuthor::Unknown) return author;
  }
  return HistoryAuthor::Unknown;
}

}  // namespace tq

#include "query/coverage.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

namespace tq {
namespace {

// The provider's and event type's names are the model's own texts; the
// record type is copied, as an event read from a store lives only while
// it is counted.
using RecordKey = std::tuple<std::string_view, std::string, std::string_view>;

// The message of the diagnostic that says a file could not be read, by path.
std::map<std::string_view, std::string_view> unreadable_files(
    std::span<const Diagnostic> diagnostics) {
  std::map<std::string_view, std::string_view> found;
  for (const Diagnostic& d : diagnostics) {
    if (d.code == DiagnosticCode::UnreadableArtifact && d.source) {
      found.try_emplace(d.source->relative_path, d.message);
    }
  }
  return found;
}

JsonValue file_entry(const FileAccount& account, std::optional<uint64_t> events,
                     std::string_view reason) {
  JsonObject members;
  members.push_back({"events", events ? JsonValue(*events) : JsonValue()});
  members.push_back({"path", JsonValue(account.relative_path)});
  members.push_back({"reason", reason.empty() ? JsonValue() : JsonValue(reason)});
  members.push_back({"size", JsonValue(account.size)});
  return JsonValue(std::move(members));
}

JsonValue record_entry(const RecordKey& key, uint64_t count) {
  const auto& [provider, record_type, event_type] = key;
  JsonObject members;
  members.push_back({"count", JsonValue(count)});
  members.push_back({"event_type", JsonValue(event_type)});
  members.push_back({"provider", JsonValue(provider)});
  members.push_back({"record_type", record_type.empty() ? JsonValue() : JsonValue(record_type)});
  return JsonValue(std::move(members));
}

}  // namespace

JsonValue coverage_report(std::span<const FileAccount> accounts, EventSelection events,
                          std::span<const Diagnostic> diagnostics) {
  std::map<std::string, uint64_t, std::less<>> by_file;
  std::map<RecordKey, uint64_t> by_record;
  uint64_t unknown = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const EventRef ref = events[i];
    const TimelineEvent& e = *ref;
    auto file = by_file.find(e.source.relative_path);
    if (file == by_file.end()) file = by_file.emplace(e.source.relative_path, 0).first;
    ++file->second;
    ++by_record[{json_text(e.provider), e.source.record_type.value_or(std::string()),
                 json_text(e.event_type)}];
    if (e.event_type == EventType::Unknown) ++unknown;
  }
  const auto unreadable = unreadable_files(diagnostics);

  JsonArray files;
  uint64_t not_read = 0;
  for (const FileAccount& account : accounts) {
    const auto counted = by_file.find(account.relative_path);
    const uint64_t count = counted == by_file.end() ? 0 : counted->second;
    std::string_view reason = account.reason;
    if (account.taken && count == 0) {
      if (auto found = unreadable.find(account.relative_path); found != unreadable.end()) {
        reason = found->second;
      }
    }
    const bool read = reason.empty();
    if (!read) ++not_read;
    files.push_back(file_entry(account, read ? std::optional(count) : std::nullopt, reason));
  }
  JsonArray records;
  for (const auto& [key, count] : by_record) records.push_back(record_entry(key, count));

  JsonObject members;
  members.push_back({"files", JsonValue(std::move(files))});
  members.push_back({"not_read", JsonValue(not_read)});
  members.push_back({"records", JsonValue(std::move(records))});
  members.push_back({"unknown", JsonValue(unknown)});
  return JsonValue(std::move(members));
}

}  // namespace tq

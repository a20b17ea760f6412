#include "secrets/events.h"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "hash/hash.h"
#include "model/model.h"
#include "secrets/rules.h"

namespace tq {
namespace {

constexpr size_t kPreviewCharacters = 4;
constexpr size_t kPlaceholderHexDigits = 8;
// Shared values with less text than this that held no secret are not
// remembered (a session id, a directory): see TextWalk::shared.
constexpr size_t kRememberedBytes = 1024;

// Digests name the evidence's files; they are never quoted text and a
// redacted copy must still name the same files.
bool is_digest(std::string_view name) { return name == "sha256" || name == "source_file_sha256"; }

bool starts_character(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

size_t characters(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += starts_character(c) ? 1 : 0;
  return n;
}

std::string preview(std::string_view secret, std::string_view rule) {
  size_t end = 0;
  size_t characters = 0;  // begun so far
  while (end < secret.size()) {
    if (starts_character(secret[end]) && characters++ == kPreviewCharacters) break;
    ++end;
  }
  std::string out(secret.substr(0, end));
  out += "\xE2\x80\xA6[";  // …
  out += rule;
  out += ']';
  return out;
}

// The findings of `text` (by offset) counted in characters, one pass over
// the text for all of them.
std::vector<TextSecret> text_secrets(std::string_view text, std::span<const SecretFinding> found) {
  std::vector<TextSecret> out;
  out.reserve(found.size());
  size_t at = 0;
  size_t before = 0;  // characters in text[0, at)
  for (const SecretFinding& f : found) {
    before += characters(text.substr(at, f.offset - at));
    at = f.offset;
    const std::string_view secret = text.substr(f.offset, f.length);
    out.push_back({f.rule, before, characters(secret), f.sha256,
                   preview(secret, secret_rules()[f.rule].name)});
  }
  return out;
}

// Where a text lies in its event, kept as steps and spelt out only for a
// finding: most texts have none, and an event has thousands of texts.
struct PathStep {
  std::string_view name;  // a field or member name; empty for an array index
  size_t index = 0;
};
using Path = std::vector<PathStep>;

std::string path_text(const Path& path) {
  std::string out;
  for (const PathStep& step : path) {
    if (step.name.empty()) {
      out += '[';
      out += std::to_string(step.index);
      out += ']';
      continue;
    }
    if (!out.empty()) out += '.';
    out += step.name;
  }
  return out;
}

// One step down a path for as long as it lives.
class Step {
 public:
  Step(Path& path, std::string_view name) : path_(path) { path_.push_back({name, 0}); }
  Step(Path& path, size_t index) : path_(path) { path_.push_back({{}, index}); }
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  ~Step() { path_.pop_back(); }

 private:
  Path& path_;
};

// Notes which shared value is being read for as long as it lives.
class SharedScope {
 public:
  SharedScope(const void*& current, const void* value) : current_(current) { current_ = value; }
  SharedScope(const SharedScope&) = delete;
  SharedScope& operator=(const SharedScope&) = delete;
  ~SharedScope() { current_ = nullptr; }

 private:
  const void*& current_;
};

// What replaces a shared value. A map of Shared values themselves would have
// the compiler weigh Shared's comparisons (found through the map's iterator
// type) when it compares two iterators, which it can't decide.
template <typename T>
struct Replacement {
  Shared<T> value;
};

// Walks every text of the events it is given, through visit_fields over every
// field an event holds (the whole surface: a field the module functions leave
// out is written elsewhere), and
// scans each once. With `rewrite` it also puts the redacted text in place:
// the fields arrive as const references, but a rewriting walk is only ever
// made over events its caller owns and may change (redact_event_secrets).
class TextWalk {
 public:
  // `events`: how many events the walk will read, to size its tables once.
  TextWalk(SecretDetector& detector, bool rewrite, std::vector<EventSecret>* found, size_t events)
      : detector_(detector), rewrite_(rewrite), found_(found) {
    seen_.reserve(events);
  }

  // Reads the event's texts in one pass of the detector's first engine
  // first: most events hold no secret, and then that is all. Otherwise each
  // text is scanned alone.
  void event(const TimelineEvent& e, size_t index) {
    if (error_) return;
    event_ = index;
    gathering_ = true;
    gathered_.clear();
    gathered_shared_.clear();
    visit_fields(e, *this, Surface::Whole);
    gathering_ = false;
    Result<bool> hit = detector_.may_match(gathered_);
    if (!hit) {
      error_ = std::move(hit).error();
    } else if (*hit) {
      visit_fields(e, *this, Surface::Whole);
    } else {
      for (const void* value : gathered_shared_) {
        seen_.insert(value);
        remember(value);
      }
    }
  }
  std::optional<Error> take_error() { return std::move(error_); }
  // How many texts and shared values the walk has put redacted forms in for.
  size_t rewrites() const { return rewrites_; }

  template <typename T>
  void field(std::string_view name, const T& value) {
    if constexpr (std::is_same_v<T, std::optional<std::string>>) {
      if (!value || is_digest(name) || (binary_content_ && name == "content")) return;
      const Step step(path_, name);
      if (std::optional<std::string> redacted = text(*value); redacted && rewrite_) {
        const_cast<std::optional<std::string>&>(value) = std::move(redacted);
        ++rewrites_;
      }
    } else if constexpr (std::is_same_v<T, Shared<std::string>> ||
                         std::is_same_v<T, Shared<JsonValue>>) {
      if (!value) return;
      const Step step(path_, name);
      shared(value);
    } else if constexpr (std::is_same_v<T, std::span<const std::string>>) {
      const Step step(path_, name);
      for (size_t i = 0; i < value.size(); ++i) {
        const Step item(path_, i);
        if (std::optional<std::string> redacted = text(value[i]); redacted && rewrite_) {
          const_cast<std::string&>(value[i]) = std::move(*redacted);
          ++rewrites_;
        }
      }
    } else if constexpr (std::is_pointer_v<T>) {
      if (value != nullptr) nested(name, *value);
    } else if constexpr (requires(TextWalk & w) { visit_fields(value, w, Surface::Whole); }) {
      nested(name, value);
    }
    // Numbers, times, enumerations and identifiers hold no secret.
  }

 private:
  template <typename R>
  void nested(std::string_view name, const R& record) {
    const Step step(path_, name);
    const bool outer_binary = binary_content_;
    if constexpr (std::is_same_v<R, ArtifactInfo>) {
      binary_content_ = record.content_encoding == ContentEncoding::Base64;
    }
    visit_fields(record, *this, Surface::Whole);
    binary_content_ = outer_binary;
  }

  // The text to put in place of `text`, when it holds a secret and the walk
  // rewrites.
  std::optional<std::string> text(std::string_view text) {
    if (gathering_) {
      gathered_.push_back(text);
      gathered_bytes_ += text.size();
      return std::nullopt;
    }
    if (error_) return std::nullopt;
    Result<std::vector<SecretFinding>> found = detector_.scan(text);
    if (!found) {
      error_ = std::move(found).error();
      return std::nullopt;
    }
    if (found->empty()) return std::nullopt;
    if (found_ != nullptr) {
      for (TextSecret& secret : text_secrets(text, *found)) {
        found_->push_back({event_, path_text(path_), std::move(secret), shared_});
      }
    }
    return rewrite_ ? std::optional<std::string>(redacted_text(text, *found)) : std::nullopt;
  }

  // A shared value is read the first time it is met; later holders take
  // what that gave. Seen values are kept by address only: each is held by
  // an event still to be walked or by none, so no other value can take its
  // address while it matters.
  template <typename T>
  void shared(const Shared<T>& value) {
    auto& replacements = replacements_for<T>();
    if (seen(&*value)) {
      if (!rewrite_) return;
      if (auto at = replacements.find(&*value); at != replacements.end()) {
        const_cast<Shared<T>&>(value) = at->second.value;
        ++rewrites_;
      }
      return;
    }
    if (gathering_) {
      // A short value that held nothing costs less to read again, where
      // another event holds it, than to look up every time.
      const size_t before = gathered_bytes_;
      gather(*value);
      if (gathered_bytes_ - before >= kRememberedBytes) gathered_shared_.push_back(&*value);
      return;
    }
    seen_.insert(&*value);
    remember(&*value);
    const SharedScope scope(shared_, &*value);
    std::optional<T> redacted = read(*value);
    if (redacted && rewrite_) {
      Shared<T> replacement(std::move(*redacted));
      replacements.emplace(&*value, Replacement<T>{replacement});
      const_cast<Shared<T>&>(value) = std::move(replacement);
      ++rewrites_;
    }
  }

  // The events of one record follow each other and share its values: the
  // last few values read answer most questions without the table.
  bool seen(const void* value) {
    if (std::find(recent_.begin(), recent_.end(), value) != recent_.end()) return true;
    if (!seen_.contains(value)) return false;
    remember(value);
    return true;
  }
  void remember(const void* value) {
    recent_[next_recent_] = value;
    next_recent_ = (next_recent_ + 1) % recent_.size();
  }

  template <typename T>
  auto& replacements_for() {
    if constexpr (std::is_same_v<T, std::string>) {
      return string_replacements_;
    } else {
      return value_replacements_;
    }
  }

  void gather(const std::string& value) { text(value); }
  void gather(const JsonValue& value) {
    if (value.is_string()) {
      text(value.as_string());
    } else if (value.is_array()) {
      for (const JsonValue& item : value.as_array()) gather(item);
    } else if (value.is_object()) {
      for (const JsonMember& member : value.as_object()) gather(member.value);
    }
  }

  // What replaces a shared value, when it holds a secret and the walk rewrites.
  std::optional<std::string> read(const std::string& value) { return text(value); }
  std::optional<JsonValue> read(const JsonValue& value) {
    std::vector<std::optional<std::string>> replaced;
    bool any = false;
    json(value, replaced, any);
    if (!any || !rewrite_) return std::nullopt;
    JsonValue copy = value.clone();
    size_t next = 0;
    apply(copy, replaced, next);
    return copy;
  }

  // Reads each string of `value` in order, noting what would replace it.
  void json(const JsonValue& value, std::vector<std::optional<std::string>>& replaced, bool& any) {
    if (value.is_string()) {
      replaced.push_back(text(value.as_string()));
      any = any || replaced.back().has_value();
    } else if (value.is_array()) {
      const JsonArray& items = value.as_array();
      for (size_t i = 0; i < items.size(); ++i) {
        const Step step(path_, i);
        json(items[i], replaced, any);
      }
    } else if (value.is_object()) {
      for (const JsonMember& member : value.as_object()) {
        const Step step(path_, member.key);
        json(member.value, replaced, any);
      }
    }
  }
  // Puts the replacements in place, walking `value` in the order json() did.
  static void apply(JsonValue& value, std::vector<std::optional<std::string>>& replaced,
                    size_t& next) {
    if (value.is_string()) {
      if (replaced[next]) value.as_string() = std::move(*replaced[next]);
      ++next;
    } else if (value.is_array()) {
      for (JsonValue& item : value.as_array()) apply(item, replaced, next);
    } else if (value.is_object()) {
      for (JsonMember& member : value.as_object()) apply(member.value, replaced, next);
    }
  }

  SecretDetector& detector_;
  const bool rewrite_;
  size_t rewrites_ = 0;
  std::vector<EventSecret>* found_;  // null: findings are not kept
  size_t event_ = 0;
  Path path_;                     // of the text being read
  const void* shared_ = nullptr;  // the shared value being read, if any
  bool binary_content_ = false;   // inside an artifact whose content is Base64
  std::optional<Error> error_;    // the first engine failure; nothing is read after it
  // Shared values read so far, by address, and what replaces those that held
  // a secret.
  std::unordered_set<const void*> seen_;
  std::array<const void*, 8> recent_{};  // some of seen_, the latest read
  size_t next_recent_ = 0;
  std::unordered_map<const void*, Replacement<std::string>> string_replacements_;
  std::unordered_map<const void*, Replacement<JsonValue>> value_replacements_;
  // While gathering: an event's texts, and the shared values they are in.
  bool gathering_ = false;
  std::vector<std::string_view> gathered_;
  std::vector<const void*> gathered_shared_;  // those worth remembering
  size_t gathered_bytes_ = 0;
};

}  // namespace

std::string secret_placeholder(const SecretFinding& finding) {
  std::string out = "[REDACTED:";
  out += secret_rules()[finding.rule].name;
  out += ':';
  out += hex_lower(finding.sha256).substr(0, kPlaceholderHexDigits);
  out += ']';
  return out;
}

std::string redacted_text(std::string_view text, std::span<const SecretFinding> findings) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  for (const SecretFinding& f : findings) {
    out.append(text.substr(at, f.offset - at));
    out += secret_placeholder(f);
    at = f.offset + f.length;
  }
  out.append(text.substr(at));
  return out;
}

Result<std::vector<TextSecret>> find_text_secrets(std::string_view text, SecretDetector& detector) {
  TQ_TRY(std::vector<SecretFinding> found, detector.scan(text));
  return text_secrets(text, found);
}

JsonValue text_secret_json(const TextSecret& secret) {
  JsonValue out = JsonValue::object();
  out.set("rule", JsonValue(secret_rules()[secret.rule].name));
  out.set("offset", JsonValue(uint64_t{secret.offset}));
  out.set("length", JsonValue(uint64_t{secret.length}));
  out.set("preview", JsonValue(secret.preview));
  out.set("sha256", JsonValue(hex_lower(secret.sha256)));
  return out;
}

JsonValue event_secrets_json(std::span<const EventSecret> found,
                             std::span<const TimelineEvent* const> events) {
  JsonArray out;
  out.reserve(found.size());
  for (const EventSecret& e : found) {
    JsonValue item = text_secret_json(e.secret);
    item.set("event_id", JsonValue(events[e.event]->event_id));
    item.set("field", JsonValue(e.field));
    out.push_back(std::move(item));
  }
  return JsonValue(std::move(out));
}

namespace {

// Runs `walk_range(detector, first, last)` over `count` events cut into one
// contiguous range per worker, each range with its own detector; the first on
// the calling thread. Ranges come back in order.
template <typename Walk>
Status in_ranges(size_t count, unsigned workers, SecretDetector& detector, Walk&& walk_range) {
  // A range shorter than this costs more to start a thread for than to read.
  constexpr size_t kFewestPerWorker = 2048;
  const size_t ranges = std::max<size_t>(1, std::min<size_t>(workers, count / kFewestPerWorker));
  std::vector<SecretDetector> detectors;
  for (size_t r = 1; r < ranges; ++r) {
    TQ_TRY(SecretDetector forked, detector.fork());
    detectors.push_back(std::move(forked));
  }
  std::vector<Status> results(ranges);
  std::vector<std::exception_ptr> failures(ranges);
  auto run = [&](size_t r) {
    try {
      prepare_thread_for_exceptions();
      SecretDetector& d = r == 0 ? detector : detectors[r - 1];
      results[r] = walk_range(d, r, count * r / ranges, count * (r + 1) / ranges);
    } catch (...) {
      failures[r] = std::current_exception();
    }
  };
  std::vector<std::jthread> threads;
  for (size_t r = 1; r < ranges; ++r) threads.emplace_back(run, r);
  run(0);
  threads.clear();
  for (size_t r = 0; r < ranges; ++r) {
    if (failures[r]) std::rethrow_exception(failures[r]);
    TQ_CHECK(std::move(results[r]));
  }
  return {};
}

// Keeps a shared value's findings with the first part of a scan (a range,
// a chunk) that holds it: a later part drops what an earlier one reported.
class FirstHolders {
 public:
  // Whether a finding in `value` (null: an event's own text) stays.
  bool keep(const void* value) {
    if (value == nullptr) return true;
    if (earlier_.contains(value)) return false;
    here_.insert(value);
    return true;
  }
  // The part ends: what it held is earlier for the next.
  void next() {
    earlier_.merge(here_);
    here_.clear();
  }

 private:
  std::unordered_set<const void*> earlier_;
  std::unordered_set<const void*> here_;
};

// Reads `count` events `size` at a time, and hands each chunk to `each` with
// its first event's position.
Status in_chunks(size_t count, size_t size, const std::function<TimelineEvent(size_t)>& read,
                 const std::function<Status(size_t, std::vector<TimelineEvent>&)>& each) {
  std::vector<TimelineEvent> chunk;
  for (size_t first = 0; first < count; first += size) {
    chunk.clear();
    for (size_t i = first; i < std::min(count, first + size); ++i) chunk.push_back(read(i));
    TQ_CHECK(each(first, chunk));
  }
  return {};
}

}  // namespace

Result<std::vector<EventSecret>> find_event_secrets(std::span<const TimelineEvent* const> events,
                                                    SecretDetector& detector, unsigned workers) {
  std::vector<std::vector<EventSecret>> found(std::max(workers, 1u));
  TQ_CHECK(in_ranges(events.size(), workers, detector,
                     [&](SecretDetector& d, size_t range, size_t first, size_t last) -> Status {
                       TextWalk walk(d, false, &found[range], last - first);
                       for (size_t i = first; i < last; ++i) walk.event(*events[i], i);
                       if (std::optional<Error> error = walk.take_error()) {
                         return std::unexpected(std::move(*error));
                       }
                       return {};
                     }));
  // A shared value that two ranges hold was read in both: its findings stay
  // with the first event that holds it.
  std::vector<EventSecret> all;
  FirstHolders holders;
  for (std::vector<EventSecret>& range : found) {
    for (EventSecret& e : range) {
      if (holders.keep(e.shared_value)) all.push_back(std::move(e));
    }
    holders.next();
  }
  return all;
}

Result<JsonValue> find_event_secrets_json(size_t count,
                                          const std::function<TimelineEvent(size_t)>& read,
                                          const std::function<bool(const void*)>& stable,
                                          SecretDetector& detector, unsigned workers,
                                          size_t chunk_size) {
  JsonArray all;
  FirstHolders holders;  // of the stable values only: any other is one event's own
  std::vector<const TimelineEvent*> scanned;
  TQ_CHECK(
      in_chunks(count, chunk_size, read, [&](size_t, std::vector<TimelineEvent>& chunk) -> Status {
        scanned.clear();
        for (const TimelineEvent& e : chunk) scanned.push_back(&e);
        TQ_TRY(std::vector<EventSecret> found, find_event_secrets(scanned, detector, workers));
        std::vector<EventSecret> kept;
        for (EventSecret& e : found) {
          const void* value = e.shared_value;
          if (holders.keep(value != nullptr && stable(value) ? value : nullptr)) {
            kept.push_back(std::move(e));
          }
        }
        holders.next();
        JsonValue items = event_secrets_json(kept, scanned);
        for (JsonValue& item : items.as_array()) all.push_back(std::move(item));
        return {};
      }));
  return JsonValue(std::move(all));
}

Status redact_event_secrets(size_t count, const std::function<TimelineEvent(size_t)>& read,
                            const std::function<Status(size_t, const TimelineEvent&)>& replace,
                            SecretDetector& detector, unsigned workers) {
  // A walk knows shared values by address, so every event it reads must live
  // until it ends: a chunk bounds what that holds. A value shared across two
  // chunks is redacted in each, to the same text.
  std::vector<uint8_t> changed;
  return in_chunks(
      count, kScanChunk, read, [&](size_t first, std::vector<TimelineEvent>& chunk) -> Status {
        changed.assign(chunk.size(), 0);
        TQ_CHECK(in_ranges(chunk.size(), workers, detector,
                           [&](SecretDetector& d, size_t, size_t from, size_t to) -> Status {
                             TextWalk walk(d, true, nullptr, to - from);
                             for (size_t i = from; i < to; ++i) {
                               const size_t before = walk.rewrites();
                               walk.event(chunk[i], i);
                               changed[i] = walk.rewrites() != before ? 1 : 0;
                             }
                             if (std::optional<Error> error = walk.take_error()) {
                               return std::unexpected(std::move(*error));
                             }
                             return {};
                           }));
        for (size_t i = 0; i < chunk.size(); ++i) {
          if (changed[i] != 0) TQ_CHECK(replace(first + i, chunk[i]));
        }
        return {};
      });
}

Status redact_diagnostic_secrets(std::vector<Diagnostic>& diagnostics, SecretDetector& detector) {
  for (Diagnostic& diagnostic : diagnostics) {
    TQ_TRY(std::vector<SecretFinding> found, detector.scan(diagnostic.message));
    if (!found.empty()) diagnostic.message = redacted_text(diagnostic.message, found);
  }
  return {};
}

}  // namespace tq

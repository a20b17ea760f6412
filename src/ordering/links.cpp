#include "ordering/links.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hash/hash.h"

namespace tq {
namespace links {
namespace {

constexpr uint32_t kNone = UINT32_MAX;

using Digest = std::array<uint8_t, 32>;

// Message texts are compared by their SHA-256 digest, so that the planner
// keeps 32 bytes per text, never the texts: equal digests are taken as equal
// texts.
Digest digest_of(std::string_view text) {
  Sha256 hash;
  hash.update(text);
  return hash.finish();
}

size_t text_bytes(const std::string& text) {
  return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
}

// Event ids, by index in the order added. An event id is 64 lowercase hex
// characters, kept as the 32 bytes it spells; another is kept as text. Kept
// in blocks, so that growing never moves what is held.
class IdStore {
 public:
  uint32_t add(std::string_view id) {
    Digest packed;
    if (id.size() == 2 * packed.size() && unhex_lower(id, packed.data())) {
      if (digests_ % kBlock == 0) blocks_.push_back(std::make_unique<Digest[]>(kBlock));
      blocks_.back()[digests_ % kBlock] = packed;
      return static_cast<uint32_t>(digests_++);
    }
    texts_.emplace_back(id);
    return kText | static_cast<uint32_t>(texts_.size() - 1);
  }
  std::string text(uint32_t index) const {
    if ((index & kText) != 0) return texts_[index & ~kText];
    return hex_lower(blocks_[index / kBlock][index % kBlock]);
  }
  size_t bytes() const {
    size_t sum = blocks_.capacity() * sizeof(blocks_[0]) +
                 blocks_.size() * kBlock * sizeof(Digest) + texts_.capacity() * sizeof(std::string);
    for (const std::string& text : texts_) sum += text_bytes(text);
    return sum;
  }

 private:
  static constexpr uint32_t kText = 1U << 31;
  static constexpr size_t kBlock = 1024;
  std::vector<std::unique_ptr<Digest[]>> blocks_;
  size_t digests_ = 0;
  std::vector<std::string> texts_;
};

size_t mix(size_t seed, size_t h) {
  return seed ^ (h + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

size_t hash_of(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

struct Subagent {
  Provider provider;
  std::string session;
  std::string agent;
  friend bool operator==(const Subagent&, const Subagent&) = default;
};

// A record copied whole into another file (a fork, a side question) keeps
// its time and text.
struct Replay {
  Provider provider;
  EventType type;
  uint32_t nanos;
  int64_t seconds;
  Digest message;
  friend bool operator==(const Replay&, const Replay&) = default;
};

struct KeyHash {
  size_t operator()(const Subagent& k) const {
    return mix(mix(static_cast<size_t>(k.provider), hash_of(k.session)), hash_of(k.agent));
  }
  size_t operator()(const Replay& k) const {
    const std::string_view message(reinterpret_cast<const char*>(k.message.data()),
                                   k.message.size());
    size_t seed = mix(static_cast<size_t>(k.provider), static_cast<size_t>(k.type));
    seed = mix(seed, std::hash<int64_t>{}(k.seconds));
    return mix(mix(seed, k.nanos), hash_of(message));
  }
};

// Sessions, call ids and paths recur on many events: each is kept once, and
// looked up by view, so that a visit allocates nothing for them.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return hash_of(text); }
};

// Consecutive events mostly share theirs, so the last one looked up is tried
// first.
class TextTable {
 public:
  uint32_t operator()(std::string_view text) {
    if (last_ != nullptr && last_->first == text) return last_->second;
    auto found = texts_.find(text);
    if (found == texts_.end()) {
      found = texts_.emplace(text, static_cast<uint32_t>(texts_.size())).first;
    }
    last_ = &*found;
    return last_->second;
  }
  size_t bytes() const;

 private:
  using Map = std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>>;
  Map texts_;
  // A rehash moves no entry, so this stays valid while iterators wouldn't.
  const Map::value_type* last_ = nullptr;
};

// Record keys, each with a number of the caller's. Nearly every event has a
// key of its own, so the keys sit in one open-addressed table instead of a
// node each: a key of 32 lowercase hex characters is kept as the 16 bytes it
// spells, another as text beside the table.
class KeyIndex {
 public:
  // The number kept for `key`, kNone when the key is new; whether it was.
  // The pointer holds until the next call.
  std::pair<uint32_t*, bool> try_emplace(std::string_view key);
  void reserve(size_t keys);
  size_t bytes() const;

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr uint32_t kPacked = UINT32_MAX - 1;
  static constexpr uint32_t kNewText = UINT32_MAX - 2;  // a text not yet in texts_
  struct Slot {
    std::array<uint8_t, 16> packed{};
    uint32_t number = kNone;  // the caller's
    uint32_t key = kEmpty;    // kEmpty, kPacked, or the key's index in texts_
  };
  // `text` is the key's text when it isn't packed.
  static size_t hash(const Slot& slot, std::string_view text) {
    return slot.key == kPacked
               ? hash_of({reinterpret_cast<const char*>(slot.packed.data()), slot.packed.size()})
               : hash_of(text);
  }
  Slot& find(const Slot& wanted, std::string_view text);
  void grow(size_t slots);

  std::vector<Slot> slots_;  // a power of two of them, at most three quarters used
  size_t used_ = 0;
  std::vector<std::string> texts_;
};

KeyIndex::Slot& KeyIndex::find(const Slot& wanted, std::string_view text) {
  const size_t mask = slots_.size() - 1;
  for (size_t at = hash(wanted, text) & mask;; at = (at + 1) & mask) {
    Slot& slot = slots_[at];
    if (slot.key == kEmpty) return slot;
    const bool same = wanted.key == kPacked ? slot.key == kPacked && slot.packed == wanted.packed
                                            : slot.key != kPacked && texts_[slot.key] == text;
    if (same) return slot;
  }
}

void KeyIndex::grow(size_t slots) {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots));
  for (const Slot& slot : old) {
    if (slot.key == kEmpty) continue;
    find(slot, slot.key == kPacked ? std::string_view() : texts_[slot.key]) = slot;
  }
}

void KeyIndex::reserve(size_t keys) {
  size_t slots = 16;
  while (slots / 4 * 3 < keys) slots *= 2;
  if (slots > slots_.size()) grow(slots);
}

std::pair<uint32_t*, bool> KeyIndex::try_emplace(std::string_view key) {
  if ((used_ + 1) * 4 > slots_.size() * 3) grow(std::max<size_t>(16, 2 * slots_.size()));
  Slot wanted;
  wanted.key = key.size() == 2 * wanted.packed.size() && unhex_lower(key, wanted.packed.data())
                   ? kPacked
                   : kNewText;
  Slot& slot = find(wanted, key);
  if (slot.key != kEmpty) return {&slot.number, false};
  if (wanted.key == kNewText) {
    wanted.key = static_cast<uint32_t>(texts_.size());
    texts_.emplace_back(key);
  }
  slot = wanted;
  ++used_;
  return {&slot.number, true};
}

size_t KeyIndex::bytes() const {
  size_t sum = slots_.capacity() * sizeof(Slot) + texts_.capacity() * sizeof(std::string);
  for (const std::string& text : texts_) sum += text_bytes(text);
  return sum;
}

// A session, or a call, of one provider: sessions and call ids are only
// unique within their agent.
uint64_t scoped(Provider provider, uint32_t text) {
  return static_cast<uint64_t>(provider) << 32 | text;
}

std::optional<Subagent> subagent_of(const TimelineEvent& e) {
  if (!e.facts || !e.facts->agent_id || !e.session_id) return std::nullopt;
  return Subagent{e.provider, *e.session_id, *e.facts->agent_id};
}

bool is_agent_activity(EventType type) {
  return type == EventType::AgentMessage || type == EventType::AgentReasoning ||
         type == EventType::ToolCall;
}

const std::optional<std::string>& call_id_of(const TimelineEvent& e) {
  static const std::optional<std::string> kAbsent;
  return e.facts && e.facts->tool ? e.facts->tool->call_id : kAbsent;
}

template <typename T>
void fill(std::optional<T>& into, const std::optional<T>& from) {
  if (!into && from) into = from;
}

// What a call's results say: how it ended and what it touched, which its
// first result tells the call, and what later results tell the first one.
// Kept in little room: the rarer texts and lists only when present.
struct Outcome {
  std::optional<int64_t> exit_code;
  std::optional<uint64_t> duration_ns;
  std::optional<bool> error;
  std::optional<ToolKind> kind;
  Boxed<std::string> outcome;
  Boxed<std::vector<std::string>> files_read;
  Boxed<std::vector<std::string>> files_changed;
  Boxed<std::vector<std::string>> queries;
  Boxed<std::string> command_line;
  Boxed<std::string> working_directory;
  Boxed<std::string> mcp_server;
  Boxed<std::string> mcp_tool;
};

// Between an event's facts and an Outcome, where absent and empty are one.
template <typename T>
void fill(Boxed<T>& into, const std::optional<T>& from) {
  if (!into && from) into = *from;
}
template <typename T>
void fill(std::optional<T>& into, const Boxed<T>& from) {
  if (!into && from) into = *from;
}
void fill(Boxed<std::vector<std::string>>& into, const std::vector<std::string>& from) {
  if (!into && !from.empty()) into = from;
}
void fill(std::vector<std::string>& into, const Boxed<std::vector<std::string>>& from) {
  if (into.empty() && from) into = *from;
}
template <typename T>
void fill(Boxed<T>& into, const Boxed<T>& from) {
  if (!into && from) into = *from;
}

// The first members (how it ended, what it touched) are what a result tells
// its call; `whole` adds what a later result tells its call's first result.
template <typename Into, typename From>
void fill_outcome(Into& into, const From& from, bool whole) {
  fill(into.exit_code, from.exit_code);
  fill(into.error, from.error);
  fill(into.duration_ns, from.duration_ns);
  fill(into.outcome, from.outcome);
  fill(into.files_read, from.files_read);
  fill(into.files_changed, from.files_changed);
  fill(into.queries, from.queries);
  if (!whole) return;
  fill(into.kind, from.kind);
  fill(into.command_line, from.command_line);
  fill(into.working_directory, from.working_directory);
  fill(into.mcp_server, from.mcp_server);
  fill(into.mcp_tool, from.mcp_tool);
}

size_t text_bytes(const std::optional<std::string>& text) { return text ? text_bytes(*text) : 0; }

size_t text_bytes(const std::vector<std::string>& texts) {
  size_t sum = texts.capacity() * sizeof(std::string);
  for (const std::string& text : texts) sum += text_bytes(text);
  return sum;
}

template <typename T>
size_t boxed_bytes(const Boxed<T>& held) {
  return held ? sizeof(T) + text_bytes(*held) : 0;
}

size_t outcome_bytes(const Outcome& o) {
  return sizeof(Outcome) + boxed_bytes(o.outcome) + boxed_bytes(o.files_read) +
         boxed_bytes(o.files_changed) + boxed_bytes(o.queries) + boxed_bytes(o.command_line) +
         boxed_bytes(o.working_directory) + boxed_bytes(o.mcp_server) + boxed_bytes(o.mcp_tool);
}

// A node per entry (the value, the link and the cached hash) and a bucket.
template <typename Map>
size_t map_bytes(const Map& map) {
  return map.size() * (sizeof(typename Map::value_type) + 2 * sizeof(void*)) +
         map.bucket_count() * sizeof(void*);
}

// What an agent file says of its subagent.
struct Described {
  std::optional<std::string> type;
  std::optional<std::string> description;
};

using DescribedMap = std::unordered_map<Subagent, Described, KeyHash>;

size_t described_bytes(const DescribedMap& described) {
  size_t sum = map_bytes(described);
  for (const auto& [key, d] : described) {
    sum += text_bytes(key.session) + text_bytes(key.agent) + text_bytes(d.type) +
           text_bytes(d.description);
  }
  return sum;
}

// What a prompt's copies tell the prompt: the first copy that says where the
// prompt came from tells it for all.
struct PromptFill {
  std::optional<PromptOrigin> origin;
  std::optional<Actor> actor;
};

}  // namespace

// What one event is given; each member is an index into the plan's tables,
// kNone when it gives nothing.
struct Entry {
  uint32_t duplicate_of = kNone;  // the first event's id
  uint32_t linked = kNone;        // a call's first result's id, or a result's call's id
  uint32_t outcome = kNone;       // what the first result and its copies say
  uint32_t prompt = kNone;        // what a prompt's copies say
};

struct PlanState {
  std::vector<size_t> positions;  // ascending, one per entry
  std::vector<Entry> entries;
  IdStore ids;
  std::vector<Outcome> outcomes;
  std::vector<PromptFill> prompts;
  DescribedMap described;

  void apply(size_t position, TimelineEvent& e) const;
  void apply_entry(const Entry& entry, TimelineEvent& e) const;
  size_t bytes() const;
};

void PlanState::apply(size_t position, TimelineEvent& e) const {
  if (!described.empty() && e.event_type != EventType::AgentFile) {
    if (const std::optional<Subagent> key = subagent_of(e)) {
      auto found = described.find(*key);
      if (found != described.end()) {
        EventFacts& facts = e.facts.held();
        fill(facts.agent_type, found->second.type);
        fill(facts.agent_description, found->second.description);
      }
    }
  }
  auto at = std::lower_bound(positions.begin(), positions.end(), position);
  if (at != positions.end() && *at == position) apply_entry(entries[at - positions.begin()], e);
}

void PlanState::apply_entry(const Entry& entry, TimelineEvent& e) const {
  if (entry.duplicate_of != kNone) e.facts.held().duplicate_of = ids.text(entry.duplicate_of);
  if (entry.prompt != kNone) {
    EventFacts& facts = e.facts.held();
    fill(facts.prompt.origin, prompts[entry.prompt].origin);
    fill(facts.actor, prompts[entry.prompt].actor);
  }
  const bool result = e.event_type == EventType::ToolResult;
  if (entry.outcome != kNone) fill_outcome(e.facts->tool.held(), outcomes[entry.outcome], result);
  if (entry.linked != kNone) {
    ToolFacts& tool = e.facts->tool.held();
    (result ? tool.call_event_id : tool.result_event_id) = ids.text(entry.linked);
  }
}

size_t PlanState::bytes() const {
  size_t sum = sizeof(PlanState) + positions.capacity() * sizeof(size_t) +
               entries.capacity() * sizeof(Entry) + ids.bytes() +
               prompts.capacity() * sizeof(PromptFill) + described_bytes(described);
  for (const Outcome& o : outcomes) sum += outcome_bytes(o);
  return sum + (outcomes.capacity() - outcomes.size()) * sizeof(Outcome);
}

namespace {

// A call or a result, the first of its call id.
struct End {
  size_t position = 0;
  uint32_t id = kNone;
  uint32_t outcome = kNone;  // a result's own outcome, then what its copies add
  bool copied = false;       // a later result gave it something
};

// The latest prompt of a session that wasn't a copy; its copies follow it
// before the agent has answered.
struct RecentPrompt {
  size_t position = 0;
  uint32_t id = kNone;  // kNone until the session has a prompt
  Digest message{};
  bool answered = false;
};

struct ReplayFirst {
  uint32_t id;
  uint32_t path;  // interned relative path
};

// What an agent file tells of its subagent.
struct AgentFile {
  Subagent subagent;
  Described described;
};

// A message by its digest, with its event's time when it has one: what
// tells a prompt's copies and a replay.
struct Said {
  Digest message;
  std::optional<DateTime> timestamp;
};

// What linking reads of one event, kept small: the texts events share are
// kept once and named by index, a message by its digest, a result by what
// it says of its call.
struct Input {
  uint32_t id = kNone;          // in the planner's ids
  uint32_t session = kNone;     // in `sessions`; the empty text when the event has none
  uint32_t key = kNone;         // the record key's number; kNone: none
  uint32_t call = kNone;        // a call's or result's call id in `call_ids`; kNone: none
  uint32_t path = kNone;        // in `paths`
  uint32_t said = kNone;        // a prompt's or a possible replay's message, in `said`
  uint32_t result = kNone;      // a result's outcome, in `told`
  uint32_t agent_file = kNone;  // in `agent_files`
  EventType type = EventType::Unknown;
  Provider provider = Provider::Unknown;
  std::optional<PromptOrigin> origin;
  std::optional<Actor> actor;
};

// The event being visited.
struct Visit {
  const Input& in;
  size_t position;
};

}  // namespace

struct PlannerState {
  size_t next = 0;  // the position of the next event visited
  IdStore ids;
  TextTable sessions;
  TextTable call_ids;
  TextTable paths;
  KeyIndex keys;                     // each record key's number
  std::vector<uint32_t> key_firsts;  // by key number: the first event's id
  // By index added; in blocks, so that growing never holds twice the events.
  std::deque<Input> inputs;
  std::deque<Said> said;
  std::vector<Outcome> told;  // what each result says
  std::vector<AgentFile> agent_files;
  // By provider and session.
  std::unordered_map<uint64_t, uint32_t> starts;
  std::unordered_map<uint64_t, RecentPrompt> prompts;
  // By provider and call id; a call and its result pair up whatever order
  // they come in.
  std::unordered_map<uint64_t, End> calls;
  std::unordered_map<uint64_t, End> results;
  std::unordered_map<Replay, ReplayFirst, KeyHash> replays;
  // The first agent file that describes each subagent.
  DescribedMap described;
  std::vector<Outcome> outcomes;
  std::unordered_map<size_t, PromptFill> prompt_fills;  // by the first prompt's position
  std::vector<std::pair<size_t, uint32_t>> copies;      // position, first's id; ascending

  size_t add(const TimelineEvent& e);
  void visit(size_t added);
  void visit_call(const Visit& v);
  void visit_prompt(const Visit& v, uint64_t session);
  void visit_replay(const Visit& v);
  void mark(const Visit& v, uint32_t first) { copies.emplace_back(v.position, first); }
  size_t bytes() const;
  PlanState finish();
};

size_t TextTable::bytes() const {
  size_t sum = map_bytes(texts_);
  for (const auto& [text, index] : texts_) sum += text_bytes(text);
  return sum;
}

size_t PlannerState::add(const TimelineEvent& e) {
  Input& in = inputs.emplace_back();
  in.type = e.event_type;
  in.provider = e.provider;
  in.id = ids.add(e.event_id);
  in.session = sessions(e.session_id ? std::string_view(*e.session_id) : "");
  in.path = paths(e.source.relative_path);
  if (e.facts && e.facts->record_key) {
    auto [number, added] = keys.try_emplace(*e.facts->record_key);
    if (added) {
      *number = static_cast<uint32_t>(key_firsts.size());
      key_firsts.push_back(kNone);
    }
    in.key = *number;
  }
  const bool tool = e.event_type == EventType::ToolCall || e.event_type == EventType::ToolResult;
  if (const std::optional<std::string>& call = call_id_of(e); call && tool) {
    in.call = call_ids(*call);
    if (e.event_type == EventType::ToolResult) {
      in.result = static_cast<uint32_t>(told.size());
      fill_outcome(told.emplace_back(), *e.facts->tool, true);
    }
  }
  // Only a prompt, and an event that may be a replay, are known by their text.
  if (e.message && (e.event_type == EventType::PromptInput || (!tool && e.timestamp))) {
    in.said = static_cast<uint32_t>(said.size());
    said.push_back({digest_of(*e.message), e.timestamp});
  }
  if (e.facts) {
    in.origin = e.facts->prompt.origin;
    in.actor = e.facts->actor;
    if (e.event_type == EventType::AgentFile &&
        (e.facts->agent_type || e.facts->agent_description)) {
      if (std::optional<Subagent> key = subagent_of(e)) {
        in.agent_file = static_cast<uint32_t>(agent_files.size());
        agent_files.push_back(
            {std::move(*key), Described{e.facts->agent_type, e.facts->agent_description}});
      }
    }
  }
  return inputs.size() - 1;
}

void PlannerState::visit(size_t added) {
  const Input& in = inputs[added];
  const Visit v{in, next++};
  if (in.agent_file != kNone) {
    AgentFile& file = agent_files[in.agent_file];
    described.try_emplace(std::move(file.subagent), std::move(file.described));
  }
  if (in.key != kNone) {
    uint32_t& first = key_firsts[in.key];
    if (first != kNone) return mark(v, first);
    first = in.id;
  }
  const bool activity = is_agent_activity(in.type);
  // A prompt's message is always known by its digest.
  const bool prompt = in.type == EventType::PromptInput && in.said != kNone;
  if (activity || prompt || in.type == EventType::SessionStart) {
    const uint64_t session = scoped(in.provider, in.session);
    if (activity) prompts[session].answered = true;
    if (in.type == EventType::SessionStart) {
      auto [at, added_start] = starts.try_emplace(session, kNone);
      if (!added_start) return mark(v, at->second);
      at->second = in.id;
    }
    if (prompt) return visit_prompt(v, session);
  }
  const bool tool = in.type == EventType::ToolCall || in.type == EventType::ToolResult;
  if (in.call != kNone) return visit_call(v);
  if (!tool) visit_replay(v);
}

void PlannerState::visit_call(const Visit& v) {
  const bool result = v.in.type == EventType::ToolResult;
  auto& seen = result ? results : calls;
  auto [at, added] = seen.try_emplace(scoped(v.in.provider, v.in.call));
  End& first = at->second;
  if (added) {
    first.position = v.position;
    first.id = v.in.id;
    if (result) {
      // Kept for the call, which may come later: its first result's outcome.
      first.outcome = static_cast<uint32_t>(outcomes.size());
      fill_outcome(outcomes.emplace_back(), told[v.in.result], false);
    }
    return;
  }
  mark(v, first.id);
  if (result) {
    fill_outcome(outcomes[first.outcome], told[v.in.result], true);
    first.copied = true;
  }
}

void PlannerState::visit_prompt(const Visit& v, uint64_t session) {
  RecentPrompt& recent = prompts[session];
  const Digest& message = said[v.in.said].message;
  if (recent.id != kNone && !recent.answered && recent.message == message) {
    mark(v, recent.id);
    if (v.in.origin) {
      PromptFill& into = prompt_fills[recent.position];
      fill(into.origin, v.in.origin);
      fill(into.actor, v.in.actor);
    }
    return;
  }
  recent = RecentPrompt{v.position, v.in.id, message, false};
  visit_replay(v);
}

void PlannerState::visit_replay(const Visit& v) {
  const Input& in = v.in;
  if (in.said == kNone || !said[in.said].timestamp) return;
  const Said& told_here = said[in.said];
  const Replay key{in.provider, in.type, told_here.timestamp->nanos, told_here.timestamp->seconds,
                   told_here.message};
  auto [at, added] = replays.try_emplace(key, ReplayFirst{kNone, in.path});
  if (added) {
    at->second.id = in.id;
  } else if (at->second.path != in.path) {
    mark(v, at->second.id);
  }
}

size_t PlannerState::bytes() const {
  size_t sum = sizeof(PlannerState) + ids.bytes() + sessions.bytes() + call_ids.bytes() +
               paths.bytes() + keys.bytes() + key_firsts.capacity() * sizeof(uint32_t) +
               inputs.size() * sizeof(Input) + said.size() * sizeof(Said) + map_bytes(starts) +
               map_bytes(prompts) + map_bytes(calls) + map_bytes(results) + map_bytes(replays) +
               described_bytes(described) + map_bytes(prompt_fills) +
               copies.capacity() * sizeof(copies[0]) + agent_files.capacity() * sizeof(AgentFile);
  for (const AgentFile& file : agent_files) {
    sum += text_bytes(file.subagent.session) + text_bytes(file.subagent.agent) +
           text_bytes(file.described.type) + text_bytes(file.described.description);
  }
  for (const std::vector<Outcome>* held : {&told, &outcomes}) {
    for (const Outcome& o : *held) sum += outcome_bytes(o);
    sum += (held->capacity() - held->size()) * sizeof(Outcome);
  }
  return sum;
}

PlanState PlannerState::finish() {
  std::vector<std::pair<size_t, Entry>> given;
  given.reserve(copies.size() + prompt_fills.size() + 2 * calls.size());
  for (const auto& [position, first] : copies) given.push_back({position, {.duplicate_of = first}});
  PlanState plan;
  for (const auto& [position, fill] : prompt_fills) {
    given.push_back({position, {.prompt = static_cast<uint32_t>(plan.prompts.size())}});
    plan.prompts.push_back(fill);
  }
  // Each call points at its first result and back; the call takes the
  // result's outcome, so that a list of calls shows how each ended.
  for (const auto& [key, result] : results) {
    auto call = calls.find(key);
    const bool linked = call != calls.end();
    if (!linked && !result.copied) continue;
    const auto outcome = static_cast<uint32_t>(plan.outcomes.size());
    plan.outcomes.push_back(std::move(outcomes[result.outcome]));
    given.push_back(
        {result.position, {.linked = linked ? call->second.id : kNone, .outcome = outcome}});
    if (linked) given.push_back({call->second.position, {.linked = result.id, .outcome = outcome}});
  }
  std::sort(given.begin(), given.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  // Only the ids something points at are kept, each once.
  std::unordered_map<uint32_t, uint32_t> kept;
  auto keep = [&](uint32_t& id) {
    if (id == kNone) return;
    auto [at, added] = kept.try_emplace(id, kNone);
    if (added) at->second = plan.ids.add(ids.text(id));
    id = at->second;
  };
  for (auto& [position, entry] : given) {
    keep(entry.duplicate_of);
    keep(entry.linked);
    if (!plan.positions.empty() && plan.positions.back() == position) {
      Entry& merged = plan.entries.back();
      if (entry.duplicate_of != kNone) merged.duplicate_of = entry.duplicate_of;
      if (entry.linked != kNone) merged.linked = entry.linked;
      if (entry.outcome != kNone) merged.outcome = entry.outcome;
      if (entry.prompt != kNone) merged.prompt = entry.prompt;
      continue;
    }
    plan.positions.push_back(position);
    plan.entries.push_back(entry);
  }
  plan.described = std::move(described);
  return plan;
}

}  // namespace links

LinkPlan::LinkPlan() : state_(std::make_unique<const links::PlanState>()) {}
LinkPlan::~LinkPlan() = default;
LinkPlan::LinkPlan(LinkPlan&&) noexcept = default;
LinkPlan& LinkPlan::operator=(LinkPlan&&) noexcept = default;

void LinkPlan::apply(size_t position, TimelineEvent& e) const { state_->apply(position, e); }

size_t LinkPlan::bytes() const { return state_->bytes(); }

LinkPlanner::LinkPlanner(size_t events) : state_(std::make_unique<links::PlannerState>()) {
  state_->keys.reserve(events);
  state_->replays.reserve(events);
}
LinkPlanner::~LinkPlanner() = default;
LinkPlanner::LinkPlanner(LinkPlanner&&) noexcept = default;
LinkPlanner& LinkPlanner::operator=(LinkPlanner&&) noexcept = default;

size_t LinkPlanner::add(const TimelineEvent& e) { return state_->add(e); }

void LinkPlanner::visit(size_t added) { state_->visit(added); }

size_t LinkPlanner::bytes() const { return state_->bytes(); }

LinkPlan LinkPlanner::finish() && {
  LinkPlan plan;
  plan.state_ = std::make_unique<const links::PlanState>(state_->finish());
  state_ = std::make_unique<links::PlannerState>();
  return plan;
}

void link_report(EventTable& events) {
  LinkPlanner planner(events.size());
  for (const TimelineEvent& e : events) planner.add(e);
  for (size_t i = 0; i < events.size(); ++i) planner.visit(i);
  const LinkPlan plan = std::move(planner).finish();
  for (size_t i = 0; i < events.size(); ++i) plan.apply(i, events[i]);
}

size_t count_duplicates(const EventTable& events) {
  size_t count = 0;
  for (const TimelineEvent& e : events) count += e.facts && e.facts->duplicate_of ? 1 : 0;
  return count;
}

}  // namespace tq

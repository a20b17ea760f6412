// File: secrets/events.h
//
// Secrets in a timeline's events: found where they are, or replaced in place.
// Every text an event holds is read, through the one description of its
// fields (model/model.h): the message, the nested records, the warnings, and
// every string inside `raw` and `timestamp_raw`; a field added there is read
// here without change. File digests are not texts: they describe the evidence
// and stay as they are. Content kept as Base64 (an image, a binary file) is
// not read: its bytes are no text.
//
//   Result<std::vector<EventSecret>> found = find_event_secrets(events, detector);
//   Status done = redact_event_secrets(count, read, replace, detector, workers);
//
// A value that many events share (a record's `raw`, a session id) is one
// occurrence in the evidence: it is read once, its findings reported on the
// first event that holds it, and its redacted form shared again by all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "model/event_list.h"
#include "model/json_value.h"
#include "model/model.h"
#include "model/records.h"
#include "secrets/detector.h"

namespace tq {

// A secret as its text's reader counts: offsets in characters (Unicode code
// points), as a Python string indexes.
struct TextSecret {
  uint16_t rule = 0;  // index into secret_rules()
  size_t offset = 0;  // in characters
  size_t length = 0;  // in characters
  std::array<uint8_t, 32> sha256{};
  std::string preview;  // the secret's first 4 characters, "…" and the rule's name
};

struct EventSecret {
  size_t event = 0;   // index into the events scanned
  std::string field;  // path into the event: "message", "raw.payload.output", "warnings[0]"
  TextSecret secret;
  const void* shared_value = nullptr;  // the shared value the text is in; null: the event's own
};

// The secrets of one text, by offset.
[[nodiscard]] Result<std::vector<TextSecret>> find_text_secrets(std::string_view text,
                                                                SecretDetector& detector);

// Every secret in `events`, by event, then in the order of the fields, read
// by up to `workers` threads (the result is the same for any number).
[[nodiscard]] Result<std::vector<EventSecret>> find_event_secrets(
    std::span<const TimelineEvent* const> events, SecretDetector& detector, unsigned workers);

// The findings of `count` events kept elsewhere (a timeline's store) and made
// when read, as event_secrets_json gives them, read `chunk` at a time so that
// the scan holds a chunk of events, not all of them. A shared value's
// findings stay with the first event that holds it across chunks too, for
// the values `stable` says keep their address for the whole scan (those the
// store keeps once for many events); any other value is one event's own.
inline constexpr size_t kScanChunk = 8192;
[[nodiscard]] Result<JsonValue> find_event_secrets_json(
    size_t count, const std::function<TimelineEvent(size_t)>& read,
    const std::function<bool(const void*)>& stable, SecretDetector& detector, unsigned workers,
    size_t chunk = kScanChunk);

// {rule, offset, length, preview, sha256} with the SHA-256 in hex.
JsonValue text_secret_json(const TextSecret& secret);
// Each finding as {rule, event_id, field, offset, length, preview, sha256};
// `events` are those the findings were made in.
JsonValue event_secrets_json(std::span<const EventSecret> found,
                             std::span<const TimelineEvent* const> events);

// Replaces every secret in `count` events by its placeholder, with up to
// `workers` threads: the events are kept elsewhere (a timeline's store), and
// made when read. `read(i)` gives the i-th; `replace(i, event)` takes it back
// when a secret was replaced in it.
[[nodiscard]] Status redact_event_secrets(
    size_t count, const std::function<TimelineEvent(size_t)>& read,
    const std::function<Status(size_t, const TimelineEvent&)>& replace, SecretDetector& detector,
    unsigned workers);

// Replaces every secret a diagnostic's message quotes (a record's text in a
// parse error).
[[nodiscard]] Status redact_diagnostic_secrets(std::vector<Diagnostic>& diagnostics,
                                               SecretDetector& detector);

// "[REDACTED:<rule>:<first 8 hex digits of the secret's SHA-256>]": the same
// secret reads the same in every run and on every machine.
std::string secret_placeholder(const SecretFinding& finding);

// `text` with each finding (by offset, none overlapping) replaced by its
// placeholder.
std::string redacted_text(std::string_view text, std::span<const SecretFinding> findings);

}  // namespace tq

#include "parser/driver.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "files/evidence.h"
#include "files/paths.h"
#include "model/background_release.h"
#include "model/text.h"
#include "ordering/links.h"
#include "ordering/ordering.h"
#include "reading/hand_off.h"
#include "reading/listing.h"

namespace tq {

namespace {

// The adapter that reads a forced kind is the first one that says it supports
// that kind; no adapter supports `Auto`, which means "detect".
Result<const ProviderAdapter*> entry_for_kind(InputKind kind) {
  for (const auto& entry : provider_registry()) {
    if (entry.supports(kind)) return &entry;
  }
  return std::unexpected(
      Error::argument(concat("No adapter supports input kind ", identifier(kind), ".")));
}

Result<std::optional<InputKind>> detect(const ProviderAdapter& entry,
                                        const std::filesystem::path& path, bool follow_symlinks,
                                        bool transcripts) {
  if (transcripts && entry.detect_with_transcripts != nullptr) {
    return entry.detect_with_transcripts(path, follow_symlinks);
  }
  return entry.detect(path, follow_symlinks);
}

Result<ParseReport> finalize(ReaderOutput output, const ParseContext& context) {
  // A stopped parse is thrown away: sorting or freeing what it gathered would
  // only delay the caller.
  if (stop_requested(context.monitor)) {
    release_in_background(std::move(output));
    return std::unexpected(Error::stopped());
  }
  Result<ParseReport> report = finalize_report(
      std::move(output.events), std::move(output.diagnostics), context.strict(), context.monitor);
  // Copies are told from originals by their order, so only an ordered report is linked.
  if (report && context.options.transcripts) link_report(report->events);
  return report;
}

}  // namespace

Result<std::vector<ProfileRoot>> discover_profile_roots(const std::filesystem::path& directory,
                                                        bool follow_symlinks, bool transcripts,
                                                        const EvidenceScope* scope,
                                                        std::vector<Diagnostic>* refused) {
  std::vector<ProfileRoot> roots;
  for (const auto& entry : provider_registry()) {
    std::filesystem::path candidate = directory / entry.profile_dir_name;
    std::error_code ec;
    // A profile kept elsewhere in the same home (`.claude` linking to
    // `dotfiles/claude`) is still that home's profile; one kept outside it is
    // named, not read, unless links are followed.
    const bool is_link = scope != nullptr && std::filesystem::is_symlink(
                                                 std::filesystem::symlink_status(candidate, ec));
    const bool follow = follow_symlinks || (is_link && scope->may_follow(candidate));
    if (is_link && !follow) {
      if (refused != nullptr && std::filesystem::is_directory(candidate, ec)) {
        SourceInfo source;
        source.relative_path = relative_path(candidate, directory);
        std::string text = refusal_text(Refusal::OutsideEvidence, source.relative_path);
        refused->push_back(Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning,
                                      std::move(source), std::move(text)});
      }
      continue;
    }
    const auto status = follow ? std::filesystem::status(candidate, ec)
                               : std::filesystem::symlink_status(candidate, ec);
    if (ec || !std::filesystem::is_directory(status)) continue;
    TQ_TRY(auto kind, detect(entry, candidate, follow, transcripts));
    // A profile directory that can't be read is still the agent's profile: its
    // adapter reports it instead of it vanishing without a word.
    if (kind == entry.root_kind || directory_access_error(candidate)) {
      roots.emplace_back(&entry, std::move(candidate));
    }
  }
  return roots;
}

Result<DetectedInput> detect_registered_input(const std::filesystem::path& path,
                                              bool follow_symlinks, bool transcripts) {
  struct Candidate {
    const ProviderAdapter* entry;
    InputKind kind;
    uint8_t confidence;
  };
  std::vector<Candidate> candidates;
  for (const auto& entry : provider_registry()) {
    TQ_TRY(auto kind, detect(entry, path, follow_symlinks, transcripts));
    if (kind) candidates.push_back({&entry, *kind, entry.confidence(path, *kind)});
  }
  if (candidates.empty()) {
    return std::unexpected(Error::detection(
        concat("Cannot auto-detect a supported artifact at '", display_path(path), "'.")));
  }
  uint8_t best = 0;
  for (const auto& c : candidates) best = std::max(best, c.confidence);
  std::vector<const Candidate*> tied;
  for (const auto& c : candidates) {
    if (c.confidence == best) tied.push_back(&c);
  }
  if (tied.size() == 1) return DetectedInput{tied.front()->entry, tied.front()->kind};
  std::string providers;
  for (const auto* c : tied) {
    if (!providers.empty()) providers += ", ";
    providers += identifier(c->entry->provider);
  }
  return std::unexpected(Error::detection(
      concat("Artifact detection is ambiguous at '", display_path(path), "': ", providers, ".")));
}

namespace {

// One input an adapter reads, and the directory its relative paths are
// measured from.
struct AdapterInput {
  const ProviderAdapter* entry;
  std::filesystem::path path;
  InputKind kind;
  std::filesystem::path evidence_root;
};

// Reads every input after what `merged` already holds. A watched parse lists
// every file first, so the monitor's totals are final from its first report,
// and so does one asked to account for its files; otherwise there is nothing
// to list for.
Result<ParseReport> read_inputs(const std::vector<AdapterInput>& inputs,
                                const ParseContext& context, ReaderOutput merged) {
  FileListing listing;
  std::optional<ListedMonitor> listed;
  if (context.monitor != nullptr || context.accounts != nullptr) {
    for (const AdapterInput& in : inputs) {
      TQ_CHECK(in.entry->list(in.path, in.kind, context, listing));
    }
  }
  // The readers tell the monitor of files the listing has told it already.
  ParseContext reading = context;
  if (context.monitor != nullptr) {
    listed.emplace(*context.monitor, listing);
    reading.monitor = &*listed;
  }
  for (const AdapterInput& in : inputs) {
    TQ_TRY(auto output, in.entry->parse(in.path, in.kind, in.evidence_root, reading));
    TQ_CHECK(hand_off(reading, output));
    append_output(merged, std::move(output));
  }
  if (context.accounts != nullptr) {
    for (const AdapterInput& in : inputs) {
      account_files(in.path, in.evidence_root, listing, context, *context.accounts);
    }
    std::sort(context.accounts->begin(), context.accounts->end(),
              [](const FileAccount& a, const FileAccount& b) {
                return a.relative_path < b.relative_path;
              });
  }
  return finalize(std::move(merged), context);
}

// Every profile root read after what `merged` already holds; relative paths
// are formed against `evidence_root` when given, else against each root.
Result<ParseReport> read_profiles(const std::vector<ProfileRoot>& roots,
                                  const std::filesystem::path* evidence_root,
                                  const ParseContext& context, ReaderOutput merged) {
  std::vector<AdapterInput> inputs;
  for (const auto& [entry, root] : roots) {
    inputs.push_back(
        {entry, root, entry->root_kind, evidence_root != nullptr ? *evidence_root : root});
  }
  return read_inputs(inputs, context, std::move(merged));
}

}  // namespace

Result<ParseReport> parse_registered_profile(const std::filesystem::path& directory,
                                             const std::vector<ProfileRoot>& roots,
                                             const ParseContext& context) {
  return read_profiles(roots, &directory, context, {});
}

namespace {

// Where output must never go, whether this parse reads it or not: the directory
// an input is measured from (its profile, or the input itself), and every
// profile directory the input lies in or, for a home, holds.
void note_evidence_directories(EvidenceScope& scope, const std::filesystem::path& path,
                               const DetectedInput* input) {
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return;
  for (const auto& entry : provider_registry()) {
    if (input == nullptr) {
      scope.note_evidence_directory(absolute / entry.profile_dir_name);
      continue;
    }
    for (std::filesystem::path at = absolute; at.has_relative_path(); at = at.parent_path()) {
      if (at.filename() == entry.profile_dir_name) scope.note_evidence_directory(at);
    }
  }
  if (input != nullptr && std::filesystem::is_directory(path, ec)) {
    scope.note_evidence_directory(absolute);
    scope.note_evidence_directory(input->first->evidence_root(absolute, input->second));
  }
}

Result<ParseReport> parse_recognised(const std::filesystem::path& given,
                                     const ParseContext& caller) {
  // The system's calls would silently cut the path at a NUL byte and read some
  // other file; such a path is one the system can't use.
  if (given.native().find('\0') != std::string::npos) {
    return std::unexpected(Error::io(given, std::make_error_code(std::errc::invalid_argument)));
  }
  const ParserOptions& options = caller.options;
  EvidenceScope own_scope;
  ParseContext context = caller;
  if (context.scope == nullptr) context.scope = &own_scope;
  EvidenceScope& scope = *context.scope;
  scope.begin(given, options.follow_symlinks);
  std::filesystem::path path = given;
  if (options.follow_symlinks) {
    std::error_code ec;
    path = std::filesystem::canonical(given, ec);
    if (ec) return std::unexpected(Error::io(given, ec));
  }

  if (options.input_kind != InputKind::Auto) {
    TQ_TRY(const ProviderAdapter* entry, entry_for_kind(options.input_kind));
    const DetectedInput forced{entry, options.input_kind};
    note_evidence_directories(scope, path, &forced);
    return read_inputs(
        {{entry, path, options.input_kind, entry->evidence_root(path, options.input_kind)}},
        context, {});
  }

  std::error_code ec;
  ReaderOutput refused;  // the profiles left alone, named before anything read
  if (std::filesystem::is_directory(path, ec)) {
    // A directory that can't be read would otherwise look like one that holds
    // nothing an adapter recognises.
    if (std::optional<std::error_code> error = directory_access_error(path)) {
      return std::unexpected(Error::io(path, *error));
    }
    TQ_TRY(auto roots, discover_profile_roots(path, options.follow_symlinks, options.transcripts,
                                              &scope, &refused.diagnostics));
    if (!roots.empty()) {
      note_evidence_directories(scope, path, nullptr);
      return read_profiles(roots, roots.size() >= 2 ? &path : nullptr, context, std::move(refused));
    }
  }

  Result<DetectedInput> detected =
      detect_registered_input(path, options.follow_symlinks, options.transcripts);
  // A home whose only profile was left alone holds nothing else to read, and
  // saying so beats calling it unrecognised.
  if (!detected && detected.error().kind() == ErrorKind::Detection &&
      !refused.diagnostics.empty()) {
    note_evidence_directories(scope, path, nullptr);
    return finalize(std::move(refused), context);
  }
  if (!detected) return std::unexpected(std::move(detected.error()));
  note_evidence_directories(scope, path, &*detected);
  const auto& [entry, kind] = *detected;
  return read_inputs({{entry, path, kind, entry->evidence_root(path, kind)}}, context,
                     std::move(refused));
}

}  // namespace

Result<ParseReport> parse_path(const std::filesystem::path& given, const ParseContext& caller) {
  Result<ParseReport> report = parse_recognised(given, caller);
  // A caller's scope outlives the parse (a timeline keeps it to guard its
  // writes), but needn't keep a directory of the evidence open.
  if (caller.scope != nullptr) caller.scope->end();
  // Readers end early once asked to stop, so what they gave is incomplete.
  if (stop_requested(caller.monitor)) {
    if (report) release_in_background(std::move(*report));
    return std::unexpected(Error::stopped());
  }
  return report;
}

Result<ParseReport> parse_path(const std::filesystem::path& path, const ParserOptions& options) {
  return parse_path(path, ParseContext{options});
}

}  // namespace tq

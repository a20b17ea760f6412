// File: parser/driver.h
//
// The core's single entry: recognise what a path is (a file, an artifact
// directory, a profile root, or a directory holding profile roots), let the
// registered adapter read it, and finalize the report. No state is kept between
// calls; parses on different threads share only the constant registry.
// `options.workers` threads read the files (the report is the same for any
// number); once the context's monitor asks to stop, readers end early and the
// result is the `Stopped` error.
#pragma once

#include <filesystem>
#include <utility>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "parser/registry.h"

namespace tq {

using ProfileRoot = std::pair<const ProviderAdapter*, std::filesystem::path>;
using DetectedInput = std::pair<const ProviderAdapter*, InputKind>;

// `caller` lends the parse its scope (which then outlives it), its monitor and
// its accounts, each when set; the call sets up what it lacks for itself.
[[nodiscard]] Result<ParseReport> parse_path(const std::filesystem::path& path,
                                             const ParseContext& caller);
// A parse that borrows nothing from its caller but the option values.
[[nodiscard]] Result<ParseReport> parse_path(const std::filesystem::path& path,
                                             const ParserOptions& options);

// `transcripts`: detect as a parse that reads session transcripts does.
// `scope`: when given, a profile directory that is a link into the evidence is
// taken even without `follow_symlinks`, and one that links outside it is left
// out with a warning appended to `refused` (when given).
[[nodiscard]] Result<std::vector<ProfileRoot>> discover_profile_roots(
    const std::filesystem::path& directory, bool follow_symlinks, bool transcripts = false,
    const EvidenceScope* scope = nullptr, std::vector<Diagnostic>* refused = nullptr);

[[nodiscard]] Result<DetectedInput> detect_registered_input(const std::filesystem::path& path,
                                                            bool follow_symlinks,
                                                            bool transcripts = false);

[[nodiscard]] Result<ParseReport> parse_registered_profile(const std::filesystem::path& directory,
                                                           const std::vector<ProfileRoot>& roots,
                                                           const ParseContext& context);

}  // namespace tq

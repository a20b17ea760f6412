// File: files/describe.h
//
// Describing an artifact file the one way every scanner does: size and SHA-256
// of its bytes, media type from its extension, file-system
// times and, on request, its content. The file is opened once, and its
// metadata, digest and content all come from that one open file, so a file
// replaced while the parse runs is described as one version, never a mix.
//
//   Result of describe_file(path, options.include_content, options.max_content_size,
//                           context.scope):
//     FileDescription -> event.artifact = d.artifact(); event.fs_times = d.times;
//     DescribeError -> describe_error_text(error, relative path)
//
// Error texts read "{description} (os error {n})". Files are opened as every
// evidence file is (files/evidence_file.h), which says when access times are kept.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "context/monitor.h"
#include "files/evidence.h"
#include "model/model.h"

namespace tq {

struct FileContent {
  std::string text;  // the bytes themselves, or their Base64 form
  ContentEncoding encoding = ContentEncoding::Utf8;
};

struct FileDescription {
  uint64_t size = 0;
  std::string sha256;
  std::optional<std::string> media_type;
  FsTimes times;
  std::optional<FileContent> content;

  // size, sha256, media_type, content and content_encoding set; the rest absent.
  ArtifactInfo artifact() const;
};

// Metadata: the file is gone or its metadata can't be read. Hash: it can't be
// opened or read. Refused: the scope would not let it be read (`refusal()` set).
enum class DescribeStage : uint8_t { Metadata, Hash, Refused };

struct DescribeError {
  DescribeStage stage = DescribeStage::Metadata;
  std::string text;  // "{description} (os error {n})"
  // What `text` says as a value: the system's error, or the refusal_error. A
  // reader ends the parse on a fault of the machine (machine_fault) instead of
  // warning.
  std::error_code code;

  std::optional<Refusal> refusal() const { return as_refusal(code); }
};

// The warning text every scanner gives a file it can't describe:
// "Cannot read metadata: …", "SHA-256 computation failed: …" or the refusal.
std::string describe_error_text(const DescribeError& error, std::string_view relative_path);

// Content is kept only with `include_content`, as UTF-8 text when it is valid
// UTF-8 and as Base64 otherwise, and only while the file stays within
// `max_content_size` bytes (0: no limit), counted as it is read. Without a scope
// links are followed. A `monitor` (may be null) hears of every read and is
// asked before each one; once it asks to stop, the file ends there and the
// description tells of the bytes read so far (the parse is thrown away anyway).
[[nodiscard]] std::expected<FileDescription, DescribeError> describe_file(
    const std::filesystem::path& path, bool include_content, uint64_t max_content_size,
    EvidenceScope* scope = nullptr, ParseMonitor* monitor = nullptr);

}  // namespace tq

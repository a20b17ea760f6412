// File: files/describe.h
//
// Describing an artifact file the one way every scanner does: size from its
// metadata, SHA-256 of its bytes, media type from its extension, file-system
// times and, on request, its content. Symbolic links are followed throughout.
//
//   Result of describe_file(path, options.include_content, options.max_content_size):
//     FileDescription -> event.artifact = d.artifact(); event.fs_times = d.times;
//     DescribeError{Metadata, text} -> "Cannot read metadata: {text}"
//     DescribeError{Hash, text}     -> "SHA-256 computation failed: {text}"
//
// Error texts read "{description} (os error {n})". A content read that fails
// leaves the content out and is not an error. Files are opened without updating
// their access time where the system permits it.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "model/model.h"

namespace tq {

struct FileMetadata {
  uint64_t size = 0;
  // Modification and access times, and the birth time where the file system
  // reports it (never the inode change time); times before 1970 or after 9999
  // are absent.
  FsTimes times;
};

// Metadata with links followed.
std::expected<FileMetadata, std::error_code> read_file_metadata(const std::filesystem::path& path);

struct FileContent {
  std::string text;  // the bytes themselves, or their Base64 form
  ContentEncoding encoding = ContentEncoding::Utf8;
};

// The whole file as UTF-8 text when it is valid UTF-8, else as Base64. None when
// `include_content` is off, when `max_content_size` is not 0 and `size` exceeds
// it, or when the file can't be read.
std::optional<FileContent> read_file_content(const std::filesystem::path& path, uint64_t size,
                                             bool include_content, uint64_t max_content_size);

struct FileDescription {
  uint64_t size = 0;
  std::string sha256;
  std::optional<std::string> media_type;
  FsTimes times;
  std::optional<FileContent> content;

  // size, sha256, media_type, content and content_encoding set; the rest absent.
  ArtifactInfo artifact() const;
};

enum class DescribeStage : uint8_t { Metadata, Hash };

struct DescribeError {
  DescribeStage stage = DescribeStage::Metadata;
  std::string text;  // "{description} (os error {n})"
  int error_number = 0;
};

// Metadata, then hash, then content. Stops at the first failing stage.
std::expected<FileDescription, DescribeError> describe_file(const std::filesystem::path& path,
                                                            bool include_content,
                                                            uint64_t max_content_size);

// The same, starting from metadata already read (as scanners that read it
// during the walk do). Can only fail at the Hash stage.
std::expected<FileDescription, DescribeError> describe_file(const std::filesystem::path& path,
                                                            const FileMetadata& metadata,
                                                            bool include_content,
                                                            uint64_t max_content_size);

}  // namespace tq

// File: files/paths.h
//
// How every reader names a file in its events and diagnostics, and the one path
// order that scanners sort by, so that output never depends on where the evidence
// lies or on the order in which the file system lists a directory.
//
//   relative_path("/home/u/.codex/sessions/a.jsonl", "/home/u/.codex")
//       == "sessions/a.jsonl"
//   sort_paths(paths);
//
// Paths are handled as POSIX byte strings: components are separated by "/", an
// empty component and a "." that is not the first component are ignored, as in
// "a//b/./c". All functions are pure and thread-safe.
#pragma once

#include <compare>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tq {

// The path with `evidence_root` stripped from its front when the root is a
// leading part of it (compared component by component), otherwise the whole
// path; as text with invalid UTF-8 replaced by U+FFFD and every backslash turned
// into a forward slash. A path equal to the root gives "".
std::string relative_path(const std::filesystem::path& path,
                          const std::filesystem::path& evidence_root);

// The relative path as event ids take it: the same text, except that every byte
// that is not part of valid UTF-8 is kept as it is instead of being replaced
// (generate_event_id writes it as \xNN), so that files whose names differ only
// in such bytes keep distinct ids. For a valid UTF-8 path it equals
// relative_path.
std::string relative_path_id(const std::filesystem::path& path,
                             const std::filesystem::path& evidence_root);

// The names of the components of `path` below `root`, when `root` is a leading
// part of it (compared as relative_path does) and each of them is an ordinary
// name: "h/.codex/a/b" below "h" gives {".codex", "a", "b"}, "h" below "h" gives
// {}; "x/a" below "h", and "h/../a" below "h", give none.
std::optional<std::vector<std::string>> components_below(const std::filesystem::path& path,
                                                         const std::filesystem::path& root);

// Component-wise order: the root "/" first, then a leading ".", then "..", then
// ordinary names compared as unsigned bytes; a path that is a leading part of
// another comes first.
std::strong_ordering compare_paths(const std::filesystem::path& a, const std::filesystem::path& b);
inline bool path_less(const std::filesystem::path& a, const std::filesystem::path& b) {
  return compare_paths(a, b) < 0;
}
// Puts `paths` in component-wise order, keeping equal ones in their order. A
// directory walk already lists files in that order, which is checked in one
// pass instead of sorting again.
void sort_paths(std::vector<std::filesystem::path>& paths);

// The last component when it is an ordinary name (not "/", "." or ".."), as
// bytes. "a/b/" gives "b"; "a/.." gives none.
std::optional<std::string> file_name_bytes(const std::filesystem::path& path);

// The path without its last component, as a path library gives it: "a/b" gives
// "a", "a" gives "" and "/" gives none, as does "".
std::optional<std::filesystem::path> path_parent(const std::filesystem::path& path);

// The name of the path's parent directory when it is an ordinary name that is
// valid UTF-8: "attachments/S1/x.txt" gives "S1", "x.txt" gives none.
std::optional<std::string> parent_name(const std::filesystem::path& path);

// The part of the file name after its last dot; none when the name has no dot,
// or its only dot is its first character, or the path has no ordinary name.
// "a.tar.gz" gives "gz", ".bashrc" gives none, "a." gives "".
std::optional<std::string> file_extension_bytes(const std::filesystem::path& path);

// The file name without its last extension: "x.y.z" gives "x.y", ".bashrc" and
// "README" are their own stem. None when the path has no ordinary name.
std::optional<std::string> file_stem_bytes(const std::filesystem::path& path);

}  // namespace tq

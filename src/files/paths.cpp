#include "files/paths.h"

#include <algorithm>
#include <vector>

#include "error/error.h"
#include "jsonl/line_reader.h"
#include "model/utf8.h"

namespace tq {
namespace {

enum class ComponentKind : uint8_t { Root, CurDir, ParentDir, Normal };

struct Component {
  ComponentKind kind;
  std::string_view name;  // the component's bytes ("/" for the root)
};

// Splits a POSIX path the way a path library sees its parts: a leading "/" is
// the root, empty parts and "." (except as the very first part) vanish.
std::vector<Component> components(std::string_view text) {
  std::vector<Component> out;
  size_t pos = 0;
  if (!text.empty() && text.front() == '/') {
    out.push_back({ComponentKind::Root, text.substr(0, 1)});
    pos = 1;
  }
  bool first = out.empty();
  while (pos <= text.size()) {
    size_t end = text.find('/', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(pos, end - pos);
    if (part == ".") {
      if (first) out.push_back({ComponentKind::CurDir, part});
    } else if (part == "..") {
      out.push_back({ComponentKind::ParentDir, part});
    } else if (!part.empty()) {
      out.push_back({ComponentKind::Normal, part});
    }
    first = false;
    pos = end + 1;
  }
  return out;
}

std::strong_ordering compare_component(const Component& a, const Component& b) {
  if (a.kind != b.kind) return a.kind <=> b.kind;
  if (a.kind != ComponentKind::Normal) return std::strong_ordering::equal;
  // string_view comparison goes through char_traits<char>::compare, which
  // compares as unsigned bytes.
  int c = a.name.compare(b.name);
  return c < 0 ? std::strong_ordering::less
               : (c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal);
}

// The text of parts[begin, end), one "/" between parts and none doubled after
// the root.
std::string join_components(const std::vector<Component>& parts, size_t begin, size_t end) {
  std::string text;
  for (size_t i = begin; i < end; ++i) {
    if (!text.empty() && text.back() != '/') text.push_back('/');
    text.append(parts[i].name);
  }
  return text;
}

// The path's bytes below `evidence_root` when the root is a leading part of it,
// otherwise all of them, with every backslash turned into a forward slash.
std::string relative_bytes(const std::filesystem::path& path,
                           const std::filesystem::path& evidence_root) {
  const std::string& path_text = path.native();
  std::vector<Component> parts = components(path_text);
  std::vector<Component> root_parts = components(evidence_root.native());
  bool is_prefix = root_parts.size() <= parts.size() &&
                   std::equal(root_parts.begin(), root_parts.end(), parts.begin(),
                              [](const Component& a, const Component& b) {
                                return compare_component(a, b) == 0;
                              });
  std::string bytes =
      is_prefix ? join_components(parts, root_parts.size(), parts.size()) : path_text;
  std::replace(bytes.begin(), bytes.end(), '\\', '/');
  return bytes;
}

}  // namespace

std::string relative_path(const std::filesystem::path& path,
                          const std::filesystem::path& evidence_root) {
  return lossy_utf8(relative_bytes(path, evidence_root));
}

std::string relative_path_id(const std::filesystem::path& path,
                             const std::filesystem::path& evidence_root) {
  const std::string bytes = relative_bytes(path, evidence_root);
  if (!utf8_error(bytes)) return bytes;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() + 16);
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    if (step.valid) {
      text.append(bytes, i, step.length);
    } else {
      // Each byte of a bad sequence on its own, so that no two differ alike.
      for (size_t k = i; k < i + step.length; ++k) {
        const auto byte = static_cast<unsigned char>(bytes[k]);
        text += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
      }
    }
    i += step.length;
  }
  return text;
}

std::strong_ordering compare_paths(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::vector<Component> pa = components(a.native());
  std::vector<Component> pb = components(b.native());
  size_t common = std::min(pa.size(), pb.size());
  for (size_t i = 0; i < common; ++i) {
    std::strong_ordering c = compare_component(pa[i], pb[i]);
    if (c != 0) return c;
  }
  return pa.size() <=> pb.size();
}

std::optional<std::string> file_name_bytes(const std::filesystem::path& path) {
  std::vector<Component> parts = components(path.native());
  if (parts.empty() || parts.back().kind != ComponentKind::Normal) return std::nullopt;
  return std::string(parts.back().name);
}

std::optional<std::filesystem::path> path_parent(const std::filesystem::path& path) {
  std::vector<Component> parts = components(path.native());
  if (parts.empty() || parts.back().kind == ComponentKind::Root) return std::nullopt;
  return std::filesystem::path(join_components(parts, 0, parts.size() - 1));
}

std::optional<std::string> parent_name(const std::filesystem::path& path) {
  std::optional<std::filesystem::path> parent = path_parent(path);
  if (!parent) return std::nullopt;
  std::optional<std::string> name = file_name_bytes(*parent);
  if (!name || utf8_error(*name)) return std::nullopt;
  return name;
}

std::optional<std::string> file_extension_bytes(const std::filesystem::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  if (!name) return std::nullopt;
  size_t dot = name->rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  return name->substr(dot + 1);
}

std::optional<std::string> file_stem_bytes(const std::filesystem::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  if (!name) return std::nullopt;
  size_t dot = name->rfind('.');
  if (dot == std::string::npos || dot == 0) return name;
  name->resize(dot);
  return name;
}

}  // namespace tq

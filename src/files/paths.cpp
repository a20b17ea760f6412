#include "files/paths.h"

#include <algorithm>
#include <vector>

#include "error/error.h"
#include "model/utf8.h"

namespace tq {
namespace {

enum class ComponentKind : uint8_t { Root, CurDir, ParentDir, Normal };

struct Component {
  ComponentKind kind = ComponentKind::Normal;
  std::string_view name;  // the component's bytes ("/" for the root)
};

// Walks a POSIX path's parts the way a path library sees them: a leading "/" is
// the root, empty parts and "." (except as the very first part) vanish. Sorting
// compares paths often, so the parts are found one at a time without allocating.
class ComponentCursor {
 public:
  explicit ComponentCursor(std::string_view text) : text_(text) {}
  // Resumes after the "/" at `slash`: the parts before it are taken as read.
  ComponentCursor(std::string_view text, size_t slash)
      : text_(text), pos_(slash + 1), started_(true), first_(false) {}

  // The next part; false once the path has no more.
  bool next(Component& out) {
    if (!started_) {
      started_ = true;
      if (!text_.empty() && text_.front() == '/') {
        out = {ComponentKind::Root, text_.substr(0, 1)};
        pos_ = 1;
        first_ = false;
        return true;
      }
    }
    while (pos_ <= text_.size()) {
      size_t end = text_.find('/', pos_);
      if (end == std::string_view::npos) end = text_.size();
      const std::string_view part = text_.substr(pos_, end - pos_);
      const bool first = first_;
      first_ = false;
      pos_ = end + 1;
      if (part == ".") {
        if (first) {
          out = {ComponentKind::CurDir, part};
          return true;
        }
      } else if (part == "..") {
        out = {ComponentKind::ParentDir, part};
        return true;
      } else if (!part.empty()) {
        out = {ComponentKind::Normal, part};
        return true;
      }
    }
    return false;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  bool started_ = false;
  bool first_ = true;
};

std::vector<Component> components(std::string_view text) {
  std::vector<Component> out;
  ComponentCursor cursor(text);
  for (Component part; cursor.next(part);) out.push_back(part);
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

// Moves `parts` past the components of `root`; false when `root` is not a
// leading part of the path.
bool skip_root(ComponentCursor& parts, const std::filesystem::path& root) {
  ComponentCursor root_parts(root.native());
  for (Component root_part; root_parts.next(root_part);) {
    Component part;
    if (!parts.next(part) || compare_component(part, root_part) != 0) return false;
  }
  return true;
}

// The path's bytes below `evidence_root` when the root is a leading part of it,
// otherwise all of them, with every backslash turned into a forward slash.
std::string relative_bytes(const std::filesystem::path& path,
                           const std::filesystem::path& evidence_root) {
  const std::string& path_text = path.native();
  ComponentCursor parts(path_text);
  std::string bytes;
  if (skip_root(parts, evidence_root)) {
    for (Component part; parts.next(part);) {
      if (!bytes.empty() && bytes.back() != '/') bytes.push_back('/');
      bytes.append(part.name);
    }
  } else {
    bytes = path_text;
  }
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
  return relative_bytes(path, evidence_root);
}

std::optional<std::vector<std::string>> components_below(const std::filesystem::path& path,
                                                         const std::filesystem::path& root) {
  ComponentCursor parts(path.native());
  if (!skip_root(parts, root)) return std::nullopt;
  std::vector<std::string> names;
  for (Component part; parts.next(part);) {
    if (part.kind != ComponentKind::Normal) return std::nullopt;
    names.emplace_back(part.name);
  }
  return names;
}

std::strong_ordering compare_paths(const std::filesystem::path& a, const std::filesystem::path& b) {
  // Paths in one list mostly share a long leading part; the parts before the
  // last "/" of the bytes they share are the same parts, and are skipped.
  const std::string_view ta = a.native();
  const std::string_view tb = b.native();
  const size_t shared = static_cast<size_t>(
      std::mismatch(ta.begin(), ta.end(), tb.begin(), tb.end()).first - ta.begin());
  const size_t slash = ta.substr(0, shared).rfind('/');
  ComponentCursor ca =
      slash == std::string_view::npos ? ComponentCursor(ta) : ComponentCursor(ta, slash);
  ComponentCursor cb =
      slash == std::string_view::npos ? ComponentCursor(tb) : ComponentCursor(tb, slash);
  for (;;) {
    Component pa;
    Component pb;
    const bool more_a = ca.next(pa);
    const bool more_b = cb.next(pb);
    // A path that is a leading part of the other comes first.
    if (!more_a || !more_b) return more_a <=> more_b;
    std::strong_ordering c = compare_component(pa, pb);
    if (c != 0) return c;
  }
}

void sort_paths(std::vector<std::filesystem::path>& paths) {
  if (!std::is_sorted(paths.begin(), paths.end(), path_less)) {
    std::stable_sort(paths.begin(), paths.end(), path_less);
  }
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

#include "reading/facts.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <span>

#include "hash/hash.h"
#include "model/text.h"

namespace tq {

std::string record_key(Provider provider, std::string_view session, std::string_view place) {
  static constexpr std::string_view kZero("\0", 1);
  Sha256 hash;
  hash.update(identifier(provider));
  hash.update(kZero);
  hash.update(session);
  hash.update(kZero);
  hash.update(place);
  const std::array<uint8_t, 32> digest = hash.finish();
  return hex_lower(std::span(digest).first<16>());
}

bool is_absolute_path(std::string_view path) {
  if (path.starts_with('/') || path.starts_with("\\\\")) return true;
  const bool drive = path.size() >= 3 &&
                     ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return drive && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

void add_path(std::vector<std::string>& paths, std::string_view path,
              const Shared<std::string>& cwd, std::vector<std::string>& warnings) {
  std::string full;
  if (is_absolute_path(path)) {
    full = path;
  } else if (!path.empty() && cwd && is_absolute_path(*cwd)) {
    const char separator = cwd->starts_with('/') ? '/' : '\\';
    full = cwd->ends_with(separator) ? concat(*cwd, path)
                                     : concat(*cwd, std::string(1, separator), path);
  } else {
    warnings.push_back(concat("Path is not absolute: '", path, "'"));
    return;
  }
  if (std::find(paths.begin(), paths.end(), full) == paths.end()) paths.push_back(std::move(full));
}

namespace {

bool read_mcp_name(std::string_view name, ToolFacts& tool) {
  constexpr std::string_view kPrefix = "mcp__";
  if (!name.starts_with(kPrefix)) return false;
  name.remove_prefix(kPrefix.size());
  const size_t split = name.find("__");
  if (split == std::string_view::npos || split == 0 || split + 2 >= name.size()) return false;
  tool.kind = ToolKind::Mcp;
  tool.mcp_server = std::string(name.substr(0, split));
  tool.mcp_tool = std::string(name.substr(split + 2));
  return true;
}

}  // namespace

void name_tool(std::span<const ToolKindByName> kinds, const std::string* name, ToolFacts& tool) {
  tool.name = copy_of(name);
  const std::string_view text = name != nullptr ? std::string_view(*name) : "";
  for (const ToolKindByName& k : kinds) {
    if (k.name == text) tool.kind = k.kind;
  }
  if (!tool.kind && !read_mcp_name(text, tool)) tool.kind = ToolKind::Other;
}

const InjectedPrompt* injected_prompt(std::span<const InjectedPrompt> injected,
                                      std::string_view text) {
  for (const InjectedPrompt& p : injected) {
    if (text.starts_with(p.prefix)) return &p;
  }
  return nullptr;
}

std::optional<std::string> copy_of(const std::string* text) {
  return text != nullptr ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<uint64_t> count_at(const JsonValue* usage, std::string_view key) {
  const JsonValue* count = usage != nullptr ? usage->find(key) : nullptr;
  return count != nullptr && count->is_uint() ? std::optional(count->as_uint()) : std::nullopt;
}

std::optional<int64_t> exit_code_of(const JsonValue* value, std::vector<std::string>& warnings) {
  if (value == nullptr || value->is_null()) return std::nullopt;
  if (value->is_int()) return value->as_int();
  if (value->is_uint() && value->as_uint() <= uint64_t{std::numeric_limits<int64_t>::max()}) {
    return static_cast<int64_t>(value->as_uint());
  }
  warnings.push_back(concat("Exit code is not an integer: ", value->type_name()));
  return std::nullopt;
}

}  // namespace tq

#include "files/media_type.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "files/paths.h"
#include "model/utf8.h"

namespace tq {
namespace {

struct MediaTypeRow {
  std::string_view extension;  // lower case
  std::string_view media_type;
};

constexpr MediaTypeRow kMediaTypes[] = {
#include "files/media_type_table.inc"
};

}  // namespace

std::optional<std::string_view> media_type_for_extension(std::string_view extension) {
  std::string lowered(extension);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const MediaTypeRow* end = std::end(kMediaTypes);
  const MediaTypeRow* row = std::lower_bound(
      std::begin(kMediaTypes), end, lowered,
      [](const MediaTypeRow& r, const std::string& key) { return r.extension < key; });
  if (row == end || row->extension != lowered) return std::nullopt;
  return row->media_type;
}

std::optional<std::string_view> media_type_for_path(const std::filesystem::path& path) {
  std::optional<std::string> extension = file_extension_bytes(path);
  if (!extension || utf8_error(*extension)) return std::nullopt;
  return media_type_for_extension(*extension);
}

}  // namespace tq

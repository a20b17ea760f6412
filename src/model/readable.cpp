#include "model/readable.h"

#include "model/text.h"

namespace tq {

std::string join_present(const std::vector<std::string>& pieces, std::string_view separator) {
  std::string out;
  for (const std::string& piece : pieces) {
    if (piece.empty()) continue;
    if (!out.empty()) out.append(separator);
    out.append(piece);
  }
  return out;
}

std::string joined_texts(const JsonArray& parts) {
  std::string joined;
  bool first = true;
  for (const JsonValue& part : parts) {
    const std::string* text = part.find_string("text");
    if (text == nullptr) continue;
    if (!first) joined.push_back('\n');
    joined.append(*text);
    first = false;
  }
  return joined;
}

std::optional<std::string> integer_text(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_uint()) return concat(value->as_uint());
  if (value->is_int()) return concat(value->as_int());
  return std::nullopt;
}

}  // namespace tq

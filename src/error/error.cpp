#include "error/error.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include "model/text.h"
#include "model/utf8.h"

namespace tq {
namespace {

// Ends every text of os_error_text, before the number and ")".
constexpr std::string_view kOsErrorMarker = " (os error ";

}  // namespace

Error Error::io(const std::filesystem::path& path, std::error_code code) {
  return io(path, os_error_text(code), code);
}

Error Error::io(const std::filesystem::path& path, std::string_view error_text,
                std::error_code code) {
  return Error(ErrorKind::Io, concat("I/O error at ", display_path(path), ": ", error_text), code,
               path);
}

Error Error::json_parse(std::string_view path, uint64_t line, std::string_view message) {
  return Error(ErrorKind::JsonParse,
               concat("JSON parse error at ", path, " line ", line, ": ", message));
}

Error Error::json_serialization(std::string_view error) {
  return Error(ErrorKind::JsonSerialization, concat("JSON serialization error: ", error));
}

Error Error::io_text(std::string text, std::error_code code) {
  return Error(ErrorKind::Io, std::move(text), code);
}

Error Error::stopped() { return Error(ErrorKind::Stopped, std::string(kParseStopped)); }

Error Error::detection(std::string text) { return Error(ErrorKind::Detection, std::move(text)); }

Error Error::strict(std::string text) { return Error(ErrorKind::Strict, std::move(text)); }

Error Error::argument(std::string text) { return Error(ErrorKind::Argument, std::move(text)); }

Error Error::secrets(std::string text) { return Error(ErrorKind::Secrets, std::move(text)); }

Error Error::refused(std::string text) { return Error(ErrorKind::Refused, std::move(text)); }
Error Error::internal(std::string text) { return Error(ErrorKind::Internal, std::move(text)); }

Error Error::write(std::string text, int error_number) {
  return Error(ErrorKind::Write, std::move(text)).caused_by_write(error_number);
}

std::optional<Error> machine_fault(const std::filesystem::path& path, const std::error_code& code) {
  const int error_number = errno_of(code);
  if (error_number != EMFILE && error_number != ENFILE && error_number != ENOMEM) {
    return std::nullopt;
  }
  return Error::io(path, code);
}

void prepare_thread_for_exceptions() {
  // Reading the exception state makes the runtime allocate it; the read is
  // kept in a volatile, or the compiler drops it as a pure call left unused.
  volatile int uncaught = std::uncaught_exceptions();
  static_cast<void>(uncaught);
}

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text (maybe not in buffer); it never touches the
  // shared static buffer that plain strerror uses, so parses on several threads
  // can each describe their own errors.
  const char* description = strerror_r(error_number, buffer, sizeof buffer);
  return concat(description, kOsErrorMarker, error_number, ")");
}

std::string os_error_text(const std::error_code& ec) {
  if (errno_of(ec) != 0 || !ec) return os_error_text(ec.value());
  return concat(ec.message(), " (", ec.category().name(), " error ", ec.value(), ")");
}

int errno_of(const std::error_code& ec) {
  // The categories are singletons, compared by address: that makes no call on
  // them, which the undefined-behaviour sanitizer would check through a pipe
  // it can't open when the parse has run out of descriptors.
  const std::error_category* category = &ec.category();
  const bool system = category == &std::system_category() || category == &std::generic_category();
  return system ? ec.value() : 0;
}

std::string lossy_utf8(std::string_view bytes) {
  if (!utf8_error(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (size_t i = 0; i < bytes.size();) {
    const Utf8Step step = utf8_step(bytes, i);
    // The bad prefix of a sequence becomes one U+FFFD: one mark for each place
    // the text is broken, however many bytes broke it.
    out.append(step.valid ? bytes.substr(i, step.length) : std::string_view("\xEF\xBF\xBD"));
    i += step.length;
  }
  return out;
}

std::string display_path(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

}  // namespace tq

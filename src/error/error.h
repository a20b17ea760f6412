// File: error/error.h
//
// `Error` ends a whole operation; a problem with one piece of evidence is a
// `Diagnostic` (model/model.h) instead. Errors are plain values: one factory per
// variant, a `kind()`, one display text, and as values what the text was made
// of when the system failed: its error (number and category) and the path.
// `Result<T>` carries a value or an Error; pass errors up with TQ_TRY or early
// returns.
//
//   Result<std::string> read_all(const std::filesystem::path& p);
//   TQ_TRY(auto text, read_all(p));
//
// All functions here are thread-safe; `os_error_text` does not use strerror's
// shared buffer.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tq {

// What failed. Each kind is made by its own factory below.
enum class ErrorKind : uint8_t {
  Io,                 // the system failed (code() says how), or can't use a path of ours
  JsonParse,          // strict mode met a line or a file that holds no JSON
  JsonSerialization,  // the output could not be made
  Stopped,            // the caller's monitor asked the parse to stop
  Detection,          // no adapter recognised the input, or several did equally
  Strict,             // strict mode met what a best-effort parse reports and reads past
  Argument,           // the call asked for what can't be done (an input kind, a format, a pattern)
  Secrets,            // the secret detector could not be built or run
  Write,              // the system refused the output's bytes; code() says why
  Refused,            // an output refused for what its destination is: an input, inside
                      // the evidence, or no regular file
  Internal,           // a fault of tracequill itself: an invariant of its own broke
};

// The text of the Stopped error.
inline constexpr std::string_view kParseStopped = "The parse was stopped.";

class [[nodiscard]] Error {
 public:
  // "I/O error at {path}: {os_error_text(code)}"
  static Error io(const std::filesystem::path& path, std::error_code code);
  // "I/O error at {path}: {error_text}", `code` being the system's error when
  // there was one (a read that failed) and none for a text of ours.
  static Error io(const std::filesystem::path& path, std::string_view error_text,
                  std::error_code code = {});
  // "{text}" as an `Io` error, for a failure of the system that names its path
  // in its own words ("Cannot create '{path}': {error}").
  static Error io_text(std::string text, std::error_code code = {});
  // "JSON parse error at {path} line {line}: {message}"
  static Error json_parse(std::string_view path, uint64_t line, std::string_view message);
  // "JSON serialization error: {error}"
  static Error json_serialization(std::string_view error);
  // kParseStopped
  static Error stopped();
  // The kinds below carry the text their caller words, next to the code that
  // meets the failure.
  static Error detection(std::string text);
  static Error strict(std::string text);
  static Error argument(std::string text);
  static Error secrets(std::string text);
  static Error refused(std::string text);
  static Error internal(std::string text);
  // A failure to write output that the system refused with `error_number`
  // (`write_failure()`).
  static Error write(std::string text, int error_number);

  // The same error, marked as caused by writing output that the system refused
  // with `error_number` (a full disk, say); 0, which no refusal has, leaves it
  // as it is. The text is unchanged.
  Error caused_by_write(int error_number) && {
    if (error_number != 0) {
      code_ = std::error_code(error_number, std::system_category());
      write_ = true;
    }
    return std::move(*this);
  }

  ErrorKind kind() const { return kind_; }
  // The display text: what the Python exception carries.
  const std::string& text() const { return text_; }
  // The system's error that caused this one, with its category; none when the
  // system didn't fail (bad input, a text of ours).
  const std::error_code& code() const { return code_; }
  // The path the error is about; empty when it names none as a path.
  const std::filesystem::path& path() const { return path_; }
  // Whether the system refused to write output (code() says why).
  bool write_failure() const { return write_; }

 private:
  Error(ErrorKind kind, std::string text, std::error_code code = {},
        std::filesystem::path path = {})
      : kind_(kind), text_(std::move(text)), code_(code), path_(std::move(path)) {}

  ErrorKind kind_;
  std::string text_;  // complete display text, formed once at construction
  std::error_code code_;
  std::filesystem::path path_;
  bool write_ = false;  // caused by a failed write of output
};

// A value or an Error. It is a std::expected in all but one respect: dropping
// one unexamined is a compile error, so no failure can be ignored by accident.
template <typename T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result() = default;
  Result(std::expected<T, Error> other) : std::expected<T, Error>(std::move(other)) {}
};

// An empty success, for operations that return nothing.
using Status = Result<void>;

#define TQ_CONCAT_INNER_(a, b) a##b
#define TQ_CONCAT_(a, b) TQ_CONCAT_INNER_(a, b)
#define TQ_TRY_IMPL_(tmp, decl, expr)                       \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  decl = std::move(*tmp)
// Evaluates `expr` (a Result); on error returns it from the enclosing function,
// otherwise declares `decl` holding the value.
#define TQ_TRY(decl, expr) TQ_TRY_IMPL_(TQ_CONCAT_(tq_try_, __LINE__), decl, expr)
// As TQ_TRY for a Status or a Result whose value is not needed.
#define TQ_CHECK(expr)                                                                  \
  do {                                                                                  \
    auto tq_check_result_ = (expr);                                                     \
    if (!tq_check_result_) return std::unexpected(std::move(tq_check_result_).error()); \
  } while (0)

// Running out of file descriptors (EMFILE, ENFILE) or kernel memory (ENOMEM)
// is a fault of the machine, not of the evidence: a reader that meets one while
// opening or walking ends the parse with this `Io` error for `path` instead of
// reporting the file as unreadable. None for every other error, and for any
// error that is not the system's (a refusal, say).
[[nodiscard]] std::optional<Error> machine_fault(const std::filesystem::path& path,
                                                 const std::error_code& code);

// Makes the calling thread ready to throw. The C++ runtime keeps a thread's
// exception state in storage that the C library allocates when the thread
// first throws, and failing to allocate it ends the process: the first
// std::bad_alloc of a thread that has run out of memory would end it instead
// of being thrown. Every thread that parses calls this before it starts.
void prepare_thread_for_exceptions();

// "{description} (os error {number})", thread-safe.
std::string os_error_text(int error_number);
// The same for an errno (system or generic category); an error of any other
// category keeps it: "{message} ({category} error {value})".
std::string os_error_text(const std::error_code& ec);
// The errno of an error of the system or generic category; 0 for none or any
// other category.
int errno_of(const std::error_code& ec);

// A path as text with invalid UTF-8 replaced by U+FFFD.
std::string display_path(const std::filesystem::path& path);
// Any bytes as valid UTF-8, invalid sequences replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace tq

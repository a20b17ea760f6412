#include "functions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "convert.h"
#include "files/evidence.h"
#include "handles.h"
#include "output/csv.h"
#include "output/json.h"
#include "output/jsonl.h"
#include "output/sink.h"
#include "parser/driver.h"

namespace tq::py {
namespace {

using Args = CallArguments;

// Parameter order is part of the interface for positional callers; to_csv's
// differs from the others on purpose.
constexpr Parameter kParseParameters[] = {
    {"path", &Args::path},
    {"mode", &Args::mode},
    {"include_raw", &Args::include_raw},
    {"include_content", &Args::include_content},
    {"follow_symlinks", &Args::follow_symlinks},
    {"max_line_size", &Args::max_line_size},
    {"max_content_size", &Args::max_content_size},
};
constexpr Parameter kConvertParameters[] = {
    {"path", &Args::path},
    {"output_path", &Args::output_path},
    {"format", &Args::format},
    {"mode", &Args::mode},
    {"include_raw", &Args::include_raw},
    {"include_content", &Args::include_content},
    {"include_message", &Args::include_message},
    {"follow_symlinks", &Args::follow_symlinks},
    {"max_line_size", &Args::max_line_size},
    {"max_content_size", &Args::max_content_size},
};
constexpr Parameter kToJsonParameters[] = {
    {"path", &Args::path},
    {"mode", &Args::mode},
    {"include_raw", &Args::include_raw},
    {"include_content", &Args::include_content},
    {"pretty", &Args::pretty},
    {"follow_symlinks", &Args::follow_symlinks},
    {"max_line_size", &Args::max_line_size},
    {"max_content_size", &Args::max_content_size},
};
constexpr Parameter kToCsvParameters[] = {
    {"path", &Args::path},
    {"mode", &Args::mode},
    {"include_content", &Args::include_content},
    {"include_message", &Args::include_message},
    {"include_raw", &Args::include_raw},
    {"follow_symlinks", &Args::follow_symlinks},
    {"max_line_size", &Args::max_line_size},
    {"max_content_size", &Args::max_content_size},
};

constexpr Signature kParseSignature{"parse", kParseParameters, 1};
constexpr Signature kConvertSignature{"convert", kConvertParameters, 2};
constexpr Signature kToJsonSignature{"to_json", kToJsonParameters, 1};
constexpr Signature kToJsonlSignature{"to_jsonl", kParseParameters, 1};
constexpr Signature kToCsvSignature{"to_csv", kToCsvParameters, 1};

// Owns one open file descriptor. Copying is deleted, a move leaves the source
// empty, and the destructor closes whatever is still open.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }

  // Closes now; returns 0 or the errno of a failed close (the descriptor is gone
  // either way, so it is never closed twice).
  int close() noexcept {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;  // an open descriptor owned by this object, or -1
};

// A NUL character can't reach the system inside a path: the kernel would read
// the path only up to it and act on a different file. Such a path fails the way
// the system fails a path it can't use.
bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Parses with the interpreter lock released. nullopt with an exception set on
// failure.
std::optional<ParseReport> run_parse(const std::string& path, const ParserOptions& options) {
  if (holds_nul(path)) {
    convert_error(Error::io(std::filesystem::path(path), os_error_text(EINVAL)));
    return std::nullopt;
  }
  Result<ParseReport> result = [&] {
    ReleasedGil unlocked;
    return parse_path(std::filesystem::path(path), options);
  }();
  if (!result) {
    convert_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

// extract_path, parser_options and the parse, the shared start of the text
// functions.
std::optional<ParseReport> parse_report(const CallArguments& arguments) {
  std::string path;
  if (extract_path(arguments.path, &path) < 0) return std::nullopt;
  ParserOptions options;
  if (parser_options(arguments, &options) < 0) return std::nullopt;
  return run_parse(path, options);
}

enum class Format { Json, Jsonl, Csv };

// Renders `report` with `format`'s writer into `target`.
Status render_report(const ParseReport& report, Format format, OutputTarget target,
                     const CallArguments& args, JsonLayout layout) {
  switch (format) {
    case Format::Json:
      return write_report(report, target, layout);
    case Format::Jsonl:
      return write_jsonl(target, report.events);
    case Format::Csv:
      return write_csv(target, report.events, args.include_message, args.include_content);
  }
  return std::unexpected(Error::message("unknown output format"));
}

class ReportRendering final : public Rendering {
 public:
  ReportRendering(const ParseReport& report, Format format, const CallArguments& args,
                  JsonLayout layout)
      : report_(report), format_(format), args_(args), layout_(layout) {}
  Status render(OutputTarget target) const override {
    return render_report(report_, format_, target, args_, layout_);
  }

 private:
  const ParseReport& report_;
  Format format_;
  const CallArguments& args_;
  JsonLayout layout_;
};

// Frees a report without the interpreter lock: freeing a large one takes a while.
void release_unlocked(std::optional<ParseReport>& report) {
  ReleasedGil unlocked;
  report.reset();
}

PyObject* text_function(const Signature& signature, Format format, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  CallArguments arguments;
  if (bind_and_convert(signature, args, nargs, kwnames, &arguments) < 0) return nullptr;
  std::optional<ParseReport> report = parse_report(arguments);
  if (!report) return nullptr;
  const JsonLayout layout = arguments.pretty ? JsonLayout::Pretty : JsonLayout::Compact;
  const ReportRendering rendering(*report, format, arguments, layout);
  PyRef text = render_to_string(rendering);
  release_unlocked(report);
  return text.release();
}

// Opens the destination of `convert` with the lock held: created when missing,
// truncated when present, mode 0666 before the umask. A destination that is one
// of the files the parse read (`convert(f, f)`, or a profile's own history) is
// refused before a byte of it changes: the file is opened without truncation,
// and compared by device and inode on the open descriptor, so a rename in
// between can't slip past the test.
int create_destination(const std::string& path, const EvidenceScope& scope, FileDescriptor* out) {
  // The OSError subclass of the system's error number; plain OSError for a
  // refusal of our own (number 0).
  auto fail = [&](int error_number, std::string_view reason) {
    raise_os_error(error_number, "Cannot create '" + path + "': " + std::string(reason));
    return -1;
  };
  if (holds_nul(path)) return fail(EINVAL, os_error_text(EINVAL));
  int fd = -1;
  for (;;) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    if (errno != EINTR) return fail(errno, os_error_text(errno));
    // Opening a FIFO waits for a reader; a signal meanwhile runs its Python
    // handler, which may raise, before the open is tried again.
    if (PyErr_CheckSignals() < 0) return -1;
  }
  FileDescriptor destination(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return fail(errno, os_error_text(errno));
  if (scope.was_read({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)})) {
    return fail(0, "it is an input of this parse");
  }
  // Only a regular file has content to drop; O_TRUNC ignores anything else too.
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) return fail(errno, os_error_text(errno));
  *out = std::move(destination);
  return 0;
}

}  // namespace

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kParseSignature, args, nargs, kwnames, &arguments) < 0) return nullptr;
    std::optional<ParseReport> report = parse_report(arguments);
    if (!report) return nullptr;
    return report_to_python(std::move(*report)).release();
  });
}

PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kConvertSignature, args, nargs, kwnames, &arguments) < 0) {
      return nullptr;
    }
    std::string input;
    std::string output;
    ParserOptions options;
    if (extract_path(arguments.path, &input) < 0 ||
        extract_path(arguments.output_path, &output) < 0 ||
        parser_options(arguments, &options) < 0) {
      return nullptr;
    }
    EvidenceScope scope;
    options.scope = &scope;
    std::optional<ParseReport> report = run_parse(input, options);
    if (!report) return nullptr;

    // Only a parsed input gets its format examined, and an unknown format never
    // creates or truncates the destination.
    Format format;
    if (arguments.format == "csv") {
      format = Format::Csv;
    } else if (arguments.format == "jsonl") {
      format = Format::Jsonl;
    } else if (arguments.format == "json") {
      format = Format::Json;
    } else {
      return raise_text(PyExc_ValueError, "Invalid format '" + arguments.format +
                                              "': expected 'json', 'jsonl', or 'csv'");
    }

    FileDescriptor destination;
    if (create_destination(output, scope, &destination) < 0) return nullptr;
    Status status;
    int close_error = 0;
    {
      ReleasedGil unlocked;
      status = render_report(*report, format, OutputTarget::file(destination.get()), arguments,
                             JsonLayout::Pretty);
      close_error = destination.close();
      report.reset();
    }
    if (!status) return convert_error(status.error());
    // Some file systems report a failed write only when the file is closed;
    // returning normally then would claim a complete file that isn't.
    if (close_error != 0) {
      return convert_error(Error::io(std::filesystem::path(output), os_error_text(close_error))
                               .caused_by_write(close_error));
    }
    Py_RETURN_NONE;
  });
}

PyObject* to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(
      [&] { return text_function(kToJsonSignature, Format::Json, args, nargs, kwnames); });
}

PyObject* to_jsonl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded(
      [&] { return text_function(kToJsonlSignature, Format::Jsonl, args, nargs, kwnames); });
}

PyObject* to_csv(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return text_function(kToCsvSignature, Format::Csv, args, nargs, kwnames); });
}

}  // namespace tq::py

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
// differs from the others on purpose. kParseParameters is shared with Timeline.
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
    {"max_decompression_ratio", &Args::max_decompression_ratio},
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
    {"max_decompression_ratio", &Args::max_decompression_ratio},
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
    {"max_decompression_ratio", &Args::max_decompression_ratio},
};

constexpr Signature kParseSignature{"parse", kParseParameters, 1};
constexpr Signature kConvertSignature{"convert", kConvertParameters, 2};
constexpr Signature kToJsonSignature{"to_json", kToJsonParameters, 1};
constexpr Signature kToJsonlSignature{"to_jsonl", kParseParameters, 1};
constexpr Signature kToCsvSignature{"to_csv", kToCsvParameters, 1};

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

// Renders `report` with `format`'s writer into `target`.
Status render_report(const ParseReport& report, Format format, OutputTarget target,
                     const CallArguments& args, JsonLayout layout) {
  return render(report.events, report.diagnostics, format, target, layout == JsonLayout::Pretty,
                args.include_message, args.include_content);
}

// Frees a report without the interpreter lock, as freeing a large one takes a
// while, and gives its memory back to the system.
void release_unlocked(std::optional<ParseReport>& report) {
  ReleasedGil unlocked;
  report.reset();
  return_free_memory();
}

PyObject* text_function(const Signature& signature, Format format, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  CallArguments arguments;
  if (bind_and_convert(signature, args, nargs, kwnames, &arguments) < 0) return nullptr;
  std::optional<ParseReport> report = parse_report(arguments);
  if (!report) return nullptr;
  const JsonLayout layout = arguments.pretty ? JsonLayout::Pretty : JsonLayout::Compact;
  const EventsRendering rendering(report->events, report->diagnostics, format,
                                  layout == JsonLayout::Pretty, arguments.include_message,
                                  arguments.include_content);
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
  if (refuse_input(path, st, scope) < 0) return -1;
  // Only a regular file has content to drop; O_TRUNC ignores anything else too.
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) return fail(errno, os_error_text(errno));
  *out = std::move(destination);
  return 0;
}

}  // namespace

int refuse_input(const std::string& path, const struct stat& st, const EvidenceScope& scope) {
  if (!scope.was_read({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)})) {
    return 0;
  }
  raise_os_error(0, "Cannot create '" + path + "': it is an input of this parse");
  return -1;
}

std::optional<Format> format_from_name(std::string_view name) {
  if (name == "csv") return Format::Csv;
  if (name == "jsonl") return Format::Jsonl;
  if (name == "json") return Format::Json;
  return std::nullopt;
}

PyObject* raise_invalid_format(std::string_view name) {
  return raise_text(PyExc_ValueError, "Invalid format '" + std::string(name) +
                                          "': expected 'json', 'jsonl', or 'csv'");
}

Status render(EventSelection events, std::span<const Diagnostic> diagnostics, Format format,
              OutputTarget target, bool pretty, bool include_message, bool include_content) {
  switch (format) {
    case Format::Json:
      return write_report(events, diagnostics, target,
                          pretty ? JsonLayout::Pretty : JsonLayout::Compact);
    case Format::Jsonl:
      return write_jsonl(target, events);
    case Format::Csv:
      return write_csv(target, events, include_message, include_content);
  }
  return std::unexpected(Error::message("unknown output format"));
}

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kParseSignature, args, nargs, kwnames, &arguments) < 0) return nullptr;
    std::optional<ParseReport> report = parse_report(arguments);
    if (!report) return nullptr;
    PyRef result = report_to_python(std::move(*report));
    release_unlocked(report);
    return result.release();
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
    const std::optional<Format> format = format_from_name(arguments.format);
    if (!format) return raise_invalid_format(arguments.format);

    FileDescriptor destination;
    if (create_destination(output, scope, &destination) < 0) return nullptr;
    Status status;
    int close_error = 0;
    {
      ReleasedGil unlocked;
      status = render_report(*report, *format, OutputTarget::file(destination.get()), arguments,
                             JsonLayout::Pretty);
      close_error = destination.close();
    }
    release_unlocked(report);
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

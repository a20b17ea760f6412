#include "functions.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "convert.h"
#include "files/evidence.h"
#include "handles.h"
#include "monitor.h"
#include "output/destination.h"
#include "output/format.h"
#include "output/sink.h"
#include "parser/driver.h"
#include "store/event_store.h"
#include "store/order_keys.h"

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
std::optional<ParseReport> run_parse(const std::string& path, const ParseContext& context) {
  if (holds_nul(path)) {
    convert_error(
        Error::io(std::filesystem::path(path), std::make_error_code(std::errc::invalid_argument)));
    return std::nullopt;
  }
  Result<ParseReport> result = [&] {
    ReleasedGil unlocked;
    return parse_path(std::filesystem::path(path), context);
  }();
  if (!result) {
    convert_error(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

// Frees a report or a store without the interpreter lock, as freeing a large
// one takes a while, and gives its memory back to the system.
template <typename Held>
void release_unlocked(Held& held) {
  ReleasedGil unlocked;
  held.reset();
  return_free_memory();
}

// The path and the options of a call that reads one input; false with an
// exception set.
bool call_input(const CallArguments& arguments, std::string* path, ParserOptions* options) {
  return extract_path(arguments.path, path) == 0 && parser_options(arguments, options) == 0;
}

// The events of a module function's parse, held as their output bytes: the
// functions write every event and nothing else reads them, so the records
// are freed as soon as each file is read.
class StoredRendering final : public Rendering {
 public:
  StoredRendering(const store::EventStore& store, std::span<const Diagnostic> diagnostics)
      : store_(store), diagnostics_(diagnostics) {}
  Status render(OutputTarget target) const override { return store_.write(diagnostics_, target); }

 private:
  const store::EventStore& store_;
  std::span<const Diagnostic> diagnostics_;
};

// Parses `path` into `store` and sorts it, with the interpreter lock
// released; the report holds the diagnostics. nullopt with an exception set
// on failure.
std::optional<ParseReport> run_stored_parse(const std::string& path, ParseContext context,
                                            store::EventStore& store) {
  context.sink = &store;
  std::optional<ParseReport> report = run_parse(path, context);
  if (!report) return std::nullopt;
  Status sorted = [&] {
    ReleasedGil unlocked;
    Status done = store.sort(nullptr);
    // What the parse freed goes back to the system before the output is
    // made, so that the output's memory comes on top of the store's alone.
    return_free_memory();
    return done;
  }();
  if (!sorted) {
    convert_error(sorted.error());
    return std::nullopt;
  }
  return report;
}

PyObject* text_function(const Signature& signature, Format format, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  CallArguments arguments;
  if (bind_and_convert(signature, args, nargs, kwnames, &arguments) < 0) return nullptr;
  std::string path;
  ParserOptions options;
  if (!call_input(arguments, &path, &options)) return nullptr;
  auto store = std::make_unique<store::EventStore>(
      format, RenderOptions{arguments.pretty, arguments.include_message, arguments.include_content},
      spill_budget());
  std::optional<ParseReport> report = run_stored_parse(path, {options}, *store);
  if (!report) return nullptr;
  PyRef text = render_to_string(StoredRendering(*store, report->diagnostics));
  release_unlocked(store);
  return text.release();
}

// Asks the interpreter, from the thread that released its lock, whether a
// signal handler has raised (Ctrl-C), so output stuck on a full pipe or a slow
// disk ends; the exception is kept to be raised once the lock is back.
class InterruptWatch final : public WriteWatch {
 public:
  bool stop_requested(bool interrupted) override {
    return interrupted ? monitor_.stop_requested_now() : monitor_.stop_requested();
  }
  PyRef take_exception() { return monitor_.take_exception(); }

 private:
  InterpreterMonitor monitor_{nullptr};
};

// None, or the exception that stopped the output, or the failure as
// convert_error raises it.
PyObject* written(const Status& status, InterruptWatch& watch) {
  if (PyRef stop = watch.take_exception()) {
    restore_exception(std::move(stop));
    return nullptr;
  }
  if (!status) return convert_error(status.error());
  Py_RETURN_NONE;
}

}  // namespace

// How many bytes of events a module function or a timeline keeps in memory
// before it moves them to a temporary file: TRACEQUILL_SPILL_BUDGET when it is a
// number, else the store's own budget.
size_t spill_budget() {
  const char* text = std::getenv("TRACEQUILL_SPILL_BUDGET");
  if (text == nullptr || *text == '\0') return store::kDefaultSpillBudget;
  size_t budget = 0;
  const std::string_view digits(text);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), budget);
  return ec == std::errc() && end == digits.data() + digits.size() ? budget
                                                                   : store::kDefaultSpillBudget;
}

PyObject* raise_invalid_format(std::string_view name, Formats offered) {
  return raise_text(PyExc_ValueError, "Invalid format '" + std::string(name) + "': expected " +
                                          format_choices(offered));
}

PyObject* write_file(const std::string& path, const EvidenceScope& scope,
                     const Rendering& rendering) {
  InterruptWatch watch;
  Status status;
  {
    ReleasedGil unlocked;
    status = [&]() -> Status {
      TQ_TRY(Destination destination, Destination::create(path, &scope));
      TQ_CHECK(rendering.render(destination.target().watched(watch)));
      return destination.commit();
    }();
  }
  return written(status, watch);
}

PyObject* write_stream(int fd, const EvidenceScope& scope, const Rendering& rendering) {
  InterruptWatch watch;
  Status status;
  {
    ReleasedGil unlocked;
    status = [&]() -> Status {
      TQ_TRY(const Stream stream, Stream::open(fd, &scope));
      Status rendered = rendering.render(stream.target().watched(watch));
      if (!rendered) stream.discard();
      return rendered;
    }();
  }
  return written(status, watch);
}

PyObject* write_file_with(const std::string& path, const EvidenceScope& scope,
                          const DescriptorWriter& write) {
  Result<Destination> destination = [&] {
    ReleasedGil unlocked;
    return Destination::create(path, &scope);
  }();
  if (!destination) return convert_error(destination.error());
  PyRef done(write(destination->target().fd()));
  if (!done) return nullptr;  // the destination takes its file away
  Status committed = [&] {
    ReleasedGil unlocked;
    return destination->commit();
  }();
  if (!committed) return convert_error(committed.error());
  Py_RETURN_NONE;
}

PyObject* write_stream_with(int fd, const EvidenceScope& scope, const DescriptorWriter& write) {
  Result<Stream> stream = [&] {
    ReleasedGil unlocked;
    return Stream::open(fd, &scope);
  }();
  if (!stream) return convert_error(stream.error());
  PyRef done(write(fd));
  if (!done) {
    stream->discard();
    return nullptr;
  }
  Py_RETURN_NONE;
}

// A sink for a parse whose events nobody wants, only its outcome.
class DroppingSink final : public EventSink {
 public:
  Status take(EventList&& events) override {
    const EventList dropped = std::move(events);
    return {};
  }
  Status take_unstamped(EventList&& events) override { return take(std::move(events)); }
  Status stamp(std::string_view) override { return {}; }
};

// parse()'s sink: each event becomes its dict as soon as its file is read,
// the lock taken back for it, and only its order key stays besides.
class DictSink final : public EventSink {
 public:
  Status take(EventList&& events) override { return keep(std::move(events), false); }
  Status take_unstamped(EventList&& events) override { return keep(std::move(events), true); }

  Status stamp(std::string_view sha256) override {
    HeldGil held;
    if (!dicts_.set_digest(unstamped_, sha256)) return raised();
    unstamped_.clear();
    return {};
  }

  // The report, or nullptr with an exception set.
  PyObject* finish(std::vector<Diagnostic> diagnostics) {
    Result<std::vector<uint32_t>> order = keys_.sort(
        nullptr,
        [this](size_t i, std::string&) -> Result<std::string_view> { return dicts_.event_id(i); });
    if (!order) return convert_error(order.error());
    return dicts_.finish(*order, std::move(diagnostics)).release();
  }

  // What the conversion raised, if it did.
  PyRef take_raised() { return std::move(exception_); }

 private:
  Status keep(EventList&& events, bool unstamped) {
    // Freed after the lock is given back again.
    const EventList taken = std::move(events);
    for (const TimelineEvent& e : taken) TQ_CHECK(keys_.add(e));
    if (unstamped) {
      for (size_t i = keys_.size() - taken.size(); i < keys_.size(); ++i) unstamped_.push_back(i);
    }
    HeldGil held;
    if (!dicts_.append(taken)) return raised();
    return {};
  }

  // Keeps the exception being raised for the caller; the lock is held.
  Status raised() {
    exception_ = take_exception();
    return std::unexpected(Error::internal("The events could not be converted."));
  }

  std::vector<size_t> unstamped_;  // the dicts whose digest is still to come
  store::OrderKeys keys_;
  EventsToPython dicts_{Surface::Functions};
  PyRef exception_;
};

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kParseSignature, args, nargs, kwnames, &arguments) < 0) return nullptr;
    std::string path;
    ParserOptions options;
    if (!call_input(arguments, &path, &options)) return nullptr;
    DictSink sink;
    ParseContext context{options};
    context.sink = &sink;
    std::optional<ParseReport> report = run_parse(path, context);
    if (PyRef raised = sink.take_raised()) {
      PyErr_Clear();
      restore_exception(std::move(raised));
      return nullptr;
    }
    if (!report) return nullptr;
    return sink.finish(std::move(report->diagnostics));
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
    // Only a parsed input gets its format examined, and an unknown format never
    // creates or truncates the destination: such a call parses as any other,
    // then fails.
    const std::optional<Format> format = format_from_name(arguments.format, Formats::Text);
    if (!format) {
      // The events go to a sink that drops them: nothing is kept to be freed.
      DroppingSink dropped;
      ParseContext context{options, &scope};
      context.sink = &dropped;
      if (!run_parse(input, context)) return nullptr;
      return raise_invalid_format(arguments.format, Formats::Text);
    }
    auto store = std::make_unique<store::EventStore>(
        *format, RenderOptions{true, arguments.include_message, arguments.include_content},
        spill_budget());
    std::optional<ParseReport> report = run_stored_parse(input, {options, &scope}, *store);
    if (!report) return nullptr;
    PyObject* result = write_file(output, scope, StoredRendering(*store, report->diagnostics));
    release_unlocked(store);
    return result;
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

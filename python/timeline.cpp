#include "timeline.h"

#include <sched.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "arguments.h"
#include "convert.h"
#include "functions.h"
#include "handles.h"
#include "model/arrays.h"
#include "model/datetime.h"
#include "monitor.h"
#include "output/arrow.h"
#include "parser/driver.h"
#include "query/coverage.h"
#include "query/query.h"
#include "secrets/events.h"
#include "store/compact_events.h"

namespace tq::py {
namespace {

using Args = CallArguments;

constexpr Parameter kTimelineParameters[] = {
    {"transcripts", &Args::transcripts}, {"unique", &Args::unique},     {"redact", &Args::redact},
    {"workers", &Args::workers},         {"progress", &Args::progress},
};
constexpr auto kNewParameters =
    joined(std::to_array(kParseParameters), std::to_array(kTimelineParameters));
constexpr Parameter kToJsonParameters[] = {{"pretty", &Args::pretty}};
constexpr Parameter kToCsvParameters[] = {{"include_message", &Args::include_message}};
constexpr Parameter kWriteParameters[] = {
    {"path", &Args::output_path},
    {"format", &Args::output_format},
    {"include_message", &Args::include_message},
};
constexpr Parameter kFilterParameters[] = {
    {"since", &Args::since},
    {"until", &Args::until},
    {"providers", &Args::providers},
    {"event_types", &Args::event_types},
    {"sessions", &Args::sessions},
    {"text", &Args::text},
    {"actor", &Args::actor},
    {"tool", &Args::tool},
    {"command", &Args::command},
    {"path", &Args::path_glob},
    {"url", &Args::url},
    {"unique", &Args::unique},
};

constexpr Signature kNewSignature{"Timeline", kNewParameters, 1, 1};
constexpr Signature kToJsonSignature{"Timeline.to_json", kToJsonParameters, 0};
constexpr Signature kToJsonlSignature{"Timeline.to_jsonl", {}, 0};
constexpr Signature kToCsvSignature{"Timeline.to_csv", kToCsvParameters, 0};
constexpr Signature kWriteSignature{"Timeline.write", kWriteParameters, 1, 2};
constexpr Signature kFilterSignature{"Timeline.filter", kFilterParameters, 0, 0};
constexpr Parameter kArrowStreamParameters[] = {{"requested_schema", &Args::requested_schema}};
constexpr Signature kArrowStreamSignature{"Timeline.__arrow_c_stream__", kArrowStreamParameters, 0};

// One parse, shared (read-only) by a Timeline and every view made from it.
struct ParsedTimeline {
  ParsedTimeline(size_t budget, bool link) : events(budget, link) {}

  // The events are kept encoded, each made when read, in memory up to the
  // budget and then in a temporary file: what a timeline holds does not grow
  // with its evidence.
  store::CompactEvents events;
  std::vector<Diagnostic> diagnostics;
  bool include_content = false;          // the CSV content column follows the parse's option
  Surface surface = Surface::Functions;  // the fields its records hold, from the parse's options
  EvidenceScope scope;                   // what the parse read, so that `write` never overwrites it
  std::vector<FileAccount> accounts;     // every file under the input, read or not
  unsigned workers = 1;                  // threads the parse could use, which `secrets` uses too
};

struct TimelineObject {
  PyObject_HEAD std::shared_ptr<const ParsedTimeline> parsed;  // never null once created
  std::shared_ptr<const std::vector<size_t>> kept;             // positions in the report; null: all
};

// For messages: the name of an object's type ("int", "datetime.date").
const char* type_name(PyObject* object) { return Py_TYPE(object)->tp_name; }

TimelineObject* as_timeline(PyObject* object) { return reinterpret_cast<TimelineObject*>(object); }

EventSelection selection(const TimelineObject* self) {
  const EventSource& events = self->parsed->events;
  return self->kept ? EventSelection(events, *self->kept) : EventSelection(events);
}

PyObject* new_timeline(PyTypeObject* type, std::shared_ptr<const ParsedTimeline> parsed,
                       std::shared_ptr<const std::vector<size_t>> kept) {
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  TimelineObject* self = as_timeline(object);
  new (&self->parsed) std::shared_ptr<const ParsedTimeline>(std::move(parsed));
  new (&self->kept) std::shared_ptr<const std::vector<size_t>>(std::move(kept));
  return object;
}

void timeline_dealloc(PyObject* object) {
  TimelineObject* self = as_timeline(object);
  PyTypeObject* type = Py_TYPE(object);
  if (self->parsed.use_count() == 1) {
    // The last Timeline over a parse frees it, which for millions of events
    // takes a while, and gives its memory back. Owners are Timelines and Arrow
    // streams; a count of one can't grow meanwhile, and a stream released on
    // another thread at the same moment only leaves the last free to it.
    ReleasedGil unlocked;
    self->parsed.reset();
    return_free_memory();
  }
  self->parsed.~shared_ptr();
  self->kept.~shared_ptr();
  type->tp_free(object);
  Py_DECREF(type);
}

// The threads a parse may use when the caller doesn't say: the cores this
// process may run on.
unsigned usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

int convert_workers(PyObject* object, unsigned* out) {
  if (object == nullptr || object == Py_None) {
    *out = usable_cores();
    return 0;
  }
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument 'workers': expected int or None, got %s",
                 type_name(object));
    return -1;
  }
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 1) {
    PyErr_Format(PyExc_ValueError, "argument 'workers': must be at least 1, got %lld", value);
    return -1;
  }
  // More threads than this only cost memory: the work is reading files.
  constexpr long long kMostWorkers = 256;
  *out = static_cast<unsigned>(std::min(value, kMostWorkers));
  return 0;
}

// The fast calling convention from a tuple and a dict, for tp_new.
struct FlatCall {
  std::vector<PyObject*> values;  // borrowed: positional values, then keyword values
  PyRef kwnames;                  // a tuple of the keywords, or empty
  Py_ssize_t nargs = 0;
};

int flatten_call(PyObject* args, PyObject* kwargs, FlatCall* out) {
  out->nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < out->nargs; ++i) out->values.push_back(PyTuple_GET_ITEM(args, i));
  if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
  out->kwnames.reset(PyTuple_New(PyDict_GET_SIZE(kwargs)));
  if (!out->kwnames) return -1;
  Py_ssize_t position = 0;
  Py_ssize_t index = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    PyTuple_SET_ITEM(out->kwnames.get(), index++, Py_NewRef(key));
    out->values.push_back(value);
  }
  return 0;
}

PyObject* timeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    FlatCall call;
    CallArguments arguments;
    if (flatten_call(args, kwargs, &call) < 0 ||
        bind_and_convert(kNewSignature, call.values.data(), call.nargs, call.kwnames.get(),
                         &arguments) < 0) {
      return nullptr;
    }
    std::string path;
    ParserOptions options;
    if (extract_path(arguments.path, &path) < 0 || parser_options(arguments, &options) < 0 ||
        convert_workers(arguments.workers, &options.workers) < 0) {
      return nullptr;
    }
    options.transcripts = arguments.transcripts;
    PyObject* progress = arguments.progress == Py_None ? nullptr : arguments.progress;
    if (progress != nullptr && !PyCallable_Check(progress)) {
      PyErr_Format(PyExc_TypeError, "argument 'progress': expected a callable or None, got %s",
                   type_name(progress));
      return nullptr;
    }

    auto parsed = std::make_shared<ParsedTimeline>(spill_budget(), options.transcripts);
    InterpreterMonitor monitor(progress);
    const ParseContext context{options, &parsed->scope, &monitor, &parsed->accounts,
                               &parsed->events};
    Result<ParseReport> result = [&]() -> Result<ParseReport> {
      ReleasedGil unlocked;
      TQ_TRY(ParseReport report, parse_path(std::filesystem::path(path), context));
      TQ_CHECK(parsed->events.finish(&monitor));
      // The records the parse freed would otherwise stay with the process.
      return_free_memory();
      return report;
    }();
    // The final counts, so that a bar ends where the parse did.
    if (result && progress != nullptr) (void)monitor.stop_requested_now();
    if (PyRef stop = monitor.take_exception()) {
      {
        // What the stopped parse gathered can be large; free it without the lock.
        ReleasedGil unlocked;
        Result<ParseReport> discarded = std::move(result);
      }
      restore_exception(std::move(stop));
      return nullptr;
    }
    if (!result) return convert_error(result.error());
    parsed->diagnostics = std::move(result->diagnostics);
    if (arguments.redact) {
      Status redacted = [&]() -> Status {
        ReleasedGil unlocked;
        TQ_TRY(SecretDetector detector, SecretDetector::make());
        store::CompactEvents& events = parsed->events;
        TQ_CHECK(redact_event_secrets(
            events.size(), [&events](size_t i) { return events.at(i); },
            [&events](size_t i, const TimelineEvent& e) { return events.replace(i, e); }, detector,
            options.workers));
        return redact_diagnostic_secrets(parsed->diagnostics, detector);
      }();
      if (!redacted) return convert_error(redacted.error());
    }
    parsed->include_content = arguments.include_content;
    parsed->surface = output_surface(options);
    parsed->workers = options.workers;
    std::shared_ptr<std::vector<size_t>> kept;
    if (arguments.unique) {
      EventFilter unique;
      unique.unique = true;
      ReleasedGil unlocked;
      kept = std::make_shared<std::vector<size_t>>(
          select_events(EventSelection(parsed->events), unique));
    }
    return new_timeline(type, std::move(parsed), std::move(kept));
  });
}

Py_ssize_t timeline_length(PyObject* object) {
  return static_cast<Py_ssize_t>(selection(as_timeline(object)).size());
}

// The i-th event as the same dict `parse` gives for it.
PyObject* timeline_item(PyObject* object, Py_ssize_t index) {
  return guarded([&]() -> PyObject* {
    const EventSelection events = selection(as_timeline(object));
    if (index < 0 || static_cast<size_t>(index) >= events.size()) {
      PyErr_SetString(PyExc_IndexError, "Timeline index out of range");
      return nullptr;
    }
    return event_to_python(*events[static_cast<size_t>(index)],
                           as_timeline(object)->parsed->surface)
        .release();
  });
}

PyObject* timeline_slice(PyObject* object, PyObject* slice) {
  TimelineObject* self = as_timeline(object);
  const EventSelection events = selection(self);
  Py_ssize_t start = 0;
  Py_ssize_t stop = 0;
  Py_ssize_t step = 0;
  if (PySlice_Unpack(slice, &start, &stop, &step) < 0) return nullptr;
  const Py_ssize_t count =
      PySlice_AdjustIndices(static_cast<Py_ssize_t>(events.size()), &start, &stop, step);
  auto kept = std::make_shared<std::vector<size_t>>();
  kept->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0, at = start; i < count; ++i, at += step) {
    kept->push_back(events.position(static_cast<size_t>(at)));
  }
  return new_timeline(Py_TYPE(object), self->parsed, std::move(kept));
}

PyObject* timeline_subscript(PyObject* object, PyObject* key) {
  return guarded([&]() -> PyObject* {
    if (PySlice_Check(key)) return timeline_slice(object, key);
    if (!PyIndex_Check(key)) {
      PyErr_Format(PyExc_TypeError, "Timeline indices must be integers or slices, not %s",
                   type_name(key));
      return nullptr;
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0) index += timeline_length(object);
    return timeline_item(object, index);
  });
}

PyObject* timeline_diagnostics(PyObject* object, void*) {
  return guarded([&]() -> PyObject* {
    const ParsedTimeline& parsed = *as_timeline(object)->parsed;
    return diagnostics_to_python(parsed.diagnostics, parsed.surface).release();
  });
}

// What the outputs render: `pretty` for JSON text, which `write` always indents.
EventsRendering rendering_of(const TimelineObject* self, Format format,
                             const CallArguments& arguments) {
  return EventsRendering(selection(self), self->parsed->diagnostics, format,
                         {.pretty = arguments.pretty,
                          .include_message = arguments.include_message,
                          .include_content = self->parsed->include_content,
                          .surface = self->parsed->surface},
                         ParseAccounts{self->parsed->accounts, EventSelection(self->parsed->events),
                                       self->parsed->diagnostics});
}

PyObject* render_text(TimelineObject* self, Format format, const CallArguments& arguments) {
  return render_to_string(rendering_of(self, format, arguments)).release();
}

PyObject* text_method(const Signature& signature, Format format, PyObject* object,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(signature, args, nargs, kwnames, &arguments) < 0) return nullptr;
    return render_text(as_timeline(object), format, arguments);
  });
}

PyObject* timeline_to_json(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return text_method(kToJsonSignature, Format::Json, object, args, nargs, kwnames);
}
PyObject* timeline_to_jsonl(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return text_method(kToJsonlSignature, Format::Jsonl, object, args, nargs, kwnames);
}
PyObject* timeline_to_csv(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return text_method(kToCsvSignature, Format::Csv, object, args, nargs, kwnames);
}

// ---- write: a named file through output/destination.h, or an open descriptor ----

// The format named by `given` (a str or None); None takes it from the path's
// suffix, and a descriptor has none.
int output_format(PyObject* given, const std::string* path, Format* out) {
  if (given != nullptr && given != Py_None) {
    std::string name;
    if (!PyUnicode_Check(given)) {
      PyErr_Format(PyExc_TypeError, "argument 'format': expected str or None, got %s",
                   type_name(given));
      return -1;
    }
    if (convert_text(given, &name) < 0) return -1;
    const std::optional<Format> format = format_from_name(name);
    if (!format) {
      raise_invalid_format(name, Formats::All);
      return -1;
    }
    *out = *format;
    return 0;
  }
  if (path == nullptr) {
    raise_text(PyExc_ValueError,
               "A descriptor has no suffix to tell the output format: pass format=" +
                   format_choices(Formats::All));
    return -1;
  }
  const std::optional<Format> format = format_from_suffix(*path);
  if (!format) {
    raise_text(PyExc_ValueError, "Cannot tell the output format of '" + *path +
                                     "': name it .json, .jsonl, .ndjson, .csv or .html, or "
                                     "pass format=" +
                                     format_choices(Formats::All));
    return -1;
  }
  *out = *format;
  return 0;
}

// An int that is no bool: an open descriptor. -1 with an exception set when it
// is not one, 1 when it is, 0 when the object is something else.
int as_descriptor(PyObject* object, int* fd) {
  if (!PyLong_Check(object) || PyBool_Check(object)) return 0;
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) return -1;
  if (value < 0 || value > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "argument 'path': %ld is no file descriptor", value);
    return -1;
  }
  *fd = static_cast<int>(value);
  return 1;
}

// Parquet: pyarrow writes the Arrow stream (tracequill/_parquet.py); without
// pyarrow, the ImportError naming the extra, before anything is created.
PyObject* write_parquet(PyObject* timeline, const std::string* path, int fd) {
  PyRef module(PyImport_ImportModule("tracequill._parquet"));
  if (!module) return nullptr;
  PyRef available(PyObject_CallMethod(module.get(), "require", nullptr));
  if (!available) return nullptr;
  const EvidenceScope& scope = as_timeline(timeline)->parsed->scope;
  auto write = [&](int target) {
    return PyObject_CallMethod(module.get(), "write", "Oi", timeline, target);
  };
  return path != nullptr ? write_file_with(*path, scope, write)
                         : write_stream_with(fd, scope, write);
}

PyObject* timeline_write(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kWriteSignature, args, nargs, kwnames, &arguments) < 0) return nullptr;
    arguments.pretty = true;
    TimelineObject* self = as_timeline(object);
    Format format = Format::Json;
    int fd = -1;
    const int descriptor = as_descriptor(arguments.output_path, &fd);
    if (descriptor < 0) return nullptr;
    if (descriptor == 1) {
      if (output_format(arguments.output_format, nullptr, &format) < 0) return nullptr;
      if (format == Format::Parquet) return write_parquet(object, nullptr, fd);
      return write_stream(fd, self->parsed->scope, rendering_of(self, format, arguments));
    }
    std::string path;
    if (extract_path(arguments.output_path, &path) < 0 ||
        output_format(arguments.output_format, &path, &format) < 0) {
      return nullptr;
    }
    if (format == Format::Parquet) return write_parquet(object, &path, -1);
    return write_file(path, self->parsed->scope, rendering_of(self, format, arguments));
  });
}

// Timeline._format_for(path): the format the command and `write` take from a
// file name's suffix, or None.
PyObject* timeline_format_for(PyObject*, PyObject* path) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (extract_path(path, &text) < 0) return nullptr;
    const std::optional<Format> format = format_from_suffix(text);
    if (!format) Py_RETURN_NONE;
    const std::string_view name = format_name(*format);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

// ---- filter ----

// `since`/`until`: None, RFC 3339 text, or a datetime (naive means UTC).
int convert_instant(PyObject* object, const char* name, std::optional<DateTime>* out) {
  if (object == nullptr || object == Py_None) return 0;
  PyRef text;
  if (PyUnicode_Check(object)) {
    text = PyRef::borrow(object);
  } else {
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return -1;
    PyRef datetime_type(PyObject_GetAttrString(module.get(), "datetime"));
    if (!datetime_type) return -1;
    const int is_datetime = PyObject_IsInstance(object, datetime_type.get());
    if (is_datetime < 0) return -1;
    if (!is_datetime) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected datetime, str or None, got %s", name,
                   type_name(object));
      return -1;
    }
    PyRef offset(PyObject_CallMethod(object, "utcoffset", nullptr));
    if (!offset) return -1;
    if (offset.get() == Py_None) {
      PyRef iso(PyObject_CallMethod(object, "isoformat", nullptr));
      if (!iso) return -1;
      text.reset(PyUnicode_FromFormat("%U+00:00", iso.get()));
    } else {
      PyRef utc(PyObject_GetAttrString(module.get(), "timezone"));
      if (utc) utc.reset(PyObject_GetAttrString(utc.get(), "utc"));
      if (!utc) return -1;
      PyRef moved(PyObject_CallMethod(object, "astimezone", "O", utc.get()));
      if (!moved) return -1;
      text.reset(PyObject_CallMethod(moved.get(), "isoformat", nullptr));
    }
    if (!text) return -1;
  }
  std::string utf8;
  if (convert_text(text.get(), &utf8) < 0) return -1;
  *out = parse_rfc3339_strict(utf8);
  if (!*out) {
    raise_text(PyExc_ValueError,
               std::string("argument '") + name + "': '" + utf8 + "' is not an RFC 3339 date-time");
    return -1;
  }
  return 0;
}

// None, one str, or an iterable of str; each value goes through `add`, which
// returns -1 with an exception set for a value it refuses.
template <typename Add>
int convert_values(PyObject* object, const char* name, Add&& add) {
  auto one = [&](PyObject* value) {
    std::string text;
    if (!PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected str values, got %s", name,
                   type_name(value));
      return -1;
    }
    if (convert_text(value, &text) < 0) return -1;
    return add(std::move(text));
  };
  if (PyUnicode_Check(object)) return one(object);
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, an iterable of str or None, got %s",
                 name, type_name(object));
    return -1;
  }
  while (PyRef value{PyIter_Next(iterator.get())}) {
    if (one(value.get()) < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

std::string quoted_choices(const std::vector<std::string_view>& choices) {
  std::string text;
  for (std::string_view choice : choices) {
    if (!text.empty()) text += ", ";
    text += "'" + std::string(choice) + "'";
  }
  return text;
}

template <typename Enum>
int convert_members(PyObject* object, const char* name, std::string_view what,
                    std::optional<Enum> (*parse)(std::string_view),
                    std::vector<std::string_view> (*choices)(),
                    std::optional<std::set<Enum>>* out) {
  if (object == nullptr || object == Py_None) return 0;
  out->emplace();
  return convert_values(object, name, [&](std::string text) {
    const std::optional<Enum> member = parse(text);
    if (!member) {
      raise_text(PyExc_ValueError, "Unknown " + std::string(what) + " '" + text +
                                       "': expected one of " + quoted_choices(choices()));
      return -1;
    }
    (*out)->insert(*member);
    return 0;
  });
}

// None or a str.
int convert_optional_text(PyObject* object, const char* name, std::optional<std::string>* out) {
  if (object == nullptr || object == Py_None) return 0;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None, got %s", name,
                 type_name(object));
    return -1;
  }
  out->emplace();
  return convert_text(object, &**out);
}

// None or a str that `compile` turns into a pattern.
int convert_pattern(PyObject* object, const char* name,
                    Result<Pattern> (*compile)(std::string_view), std::optional<Pattern>* out) {
  std::optional<std::string> text;
  if (convert_optional_text(object, name, &text) < 0) return -1;
  if (!text) return 0;
  Result<Pattern> pattern = compile(*text);
  if (!pattern) {
    raise_text(PyExc_ValueError, std::string("argument '") + name + "': " + pattern.error().text());
    return -1;
  }
  *out = std::move(*pattern);
  return 0;
}

int convert_filter(const CallArguments& arguments, EventFilter* filter) {
  if (convert_instant(arguments.since, "since", &filter->since) < 0 ||
      convert_instant(arguments.until, "until", &filter->until) < 0 ||
      convert_members(arguments.providers, "providers", "provider", provider_from_json_text,
                      provider_json_texts, &filter->providers) < 0 ||
      convert_members(arguments.event_types, "event_types", "event type", event_type_from_json_text,
                      event_type_json_texts, &filter->event_types) < 0) {
    return -1;
  }
  if (arguments.sessions != nullptr && arguments.sessions != Py_None) {
    filter->sessions.emplace();
    if (convert_values(arguments.sessions, "sessions", [&](std::string id) {
          filter->sessions->insert(std::move(id));
          return 0;
        }) < 0) {
      return -1;
    }
  }
  if (convert_members(arguments.actor, "actor", "actor", actor_from_json_text, actor_json_texts,
                      &filter->actors) < 0 ||
      convert_optional_text(arguments.tool, "tool", &filter->tool) < 0 ||
      convert_optional_text(arguments.command, "command", &filter->command) < 0 ||
      convert_optional_text(arguments.url, "url", &filter->url) < 0 ||
      convert_pattern(arguments.text, "text", Pattern::regex, &filter->text) < 0 ||
      convert_pattern(arguments.path_glob, "path", Pattern::glob, &filter->path) < 0) {
    return -1;
  }
  filter->unique = arguments.unique;
  return 0;
}

int bind_filter(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, EventFilter* filter) {
  CallArguments arguments;
  if (bind_and_convert(kFilterSignature, args, nargs, kwnames, &arguments) < 0) return -1;
  return convert_filter(arguments, filter);
}

PyObject* timeline_filter(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EventFilter filter;
    if (bind_filter(args, nargs, kwnames, &filter) < 0) return nullptr;
    TimelineObject* self = as_timeline(object);
    std::shared_ptr<std::vector<size_t>> kept;
    {
      ReleasedGil unlocked;
      kept = std::make_shared<std::vector<size_t>>(select_events(selection(self), filter));
    }
    return new_timeline(Py_TYPE(object), self->parsed, std::move(kept));
  });
}

// The filter's checks without a timeline, so that the command refuses a bad
// value before it reads a single file.
PyObject* timeline_check_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    EventFilter filter;
    if (bind_filter(args, nargs, kwnames, &filter) < 0) return nullptr;
    Py_RETURN_NONE;
  });
}

PyRef text_tuple(const std::vector<std::string_view>& texts) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  if (!tuple) return tuple;
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* text =
        PyUnicode_FromStringAndSize(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()));
    if (text == nullptr) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), text);
  }
  return tuple;
}

// The values `providers` and `event_types` accept, for the command's help.
PyObject* timeline_filter_choices(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyRef providers = text_tuple(provider_json_texts());
    if (!providers) return nullptr;
    PyRef event_types = text_tuple(event_type_json_texts());
    if (!event_types) return nullptr;
    PyRef actors = text_tuple(actor_json_texts());
    if (!actors) return nullptr;
    return Py_BuildValue("{sOsOsO}", "providers", providers.get(), "event_types", event_types.get(),
                         "actors", actors.get());
  });
}

PyObject* timeline_summary(PyObject* object, PyObject*) {
  return guarded([&]() -> PyObject* {
    TimelineObject* self = as_timeline(object);
    JsonValue summary;
    {
      ReleasedGil unlocked;
      summary = summarize(selection(self), self->parsed->diagnostics);
    }
    return json_to_python(summary).release();
  });
}

PyObject* timeline_coverage(PyObject* object, PyObject*) {
  return guarded([&]() -> PyObject* {
    const ParsedTimeline& parsed = *as_timeline(object)->parsed;
    JsonValue coverage;
    {
      ReleasedGil unlocked;
      coverage = coverage_report(parsed.accounts, parsed.events, parsed.diagnostics);
    }
    return json_to_python(coverage).release();
  });
}

// ---- Arrow: the events as typed columns (output/arrow.h) ----

constexpr char kStreamCapsuleName[] = "arrow_array_stream";

// A stream the consumer never took is released with its capsule.
void release_stream_capsule(PyObject* capsule) {
  std::unique_ptr<ArrowArrayStream> stream(
      static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsuleName)));
  if (stream && stream->release != nullptr) stream->release(stream.get());
}

// What a stream keeps alive: the parse and the positions a view keeps, and
// nothing of Python's, so it may outlive the Timeline and be read on any thread.
struct StreamOwner {
  std::shared_ptr<const ParsedTimeline> parsed;
  std::shared_ptr<const std::vector<size_t>> kept;
};

// Timeline.__arrow_c_stream__(requested_schema=None): the columns always take
// the types the events' description gives them; a requested schema is a
// request the consumer casts to itself.
PyObject* timeline_arrow_c_stream(PyObject* object, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CallArguments arguments;
    if (bind_and_convert(kArrowStreamSignature, args, nargs, kwnames, &arguments) < 0) {
      return nullptr;
    }
    TimelineObject* self = as_timeline(object);
    auto stream = std::make_unique<ArrowArrayStream>();
    export_event_stream(selection(self), self->parsed->surface,
                        std::make_shared<StreamOwner>(StreamOwner{self->parsed, self->kept}),
                        stream.get());
    PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsuleName, release_stream_capsule);
    if (capsule == nullptr) {
      stream->release(stream.get());
      return nullptr;
    }
    (void)stream.release();  // the capsule's until release_stream_capsule
    return capsule;
  });
}

// ---- secrets ----

PyObject* timeline_secrets(PyObject* object, PyObject*) {
  return guarded([&]() -> PyObject* {
    TimelineObject* self = as_timeline(object);
    const EventSelection events = selection(self);
    Result<JsonValue> found = [&]() -> Result<JsonValue> {
      ReleasedGil unlocked;
      const store::CompactEvents& kept = self->parsed->events;
      TQ_TRY(SecretDetector detector, SecretDetector::make());
      return find_event_secrets_json(
          events.size(), [&](size_t i) { return kept.at(events.position(i)); },
          [&kept](const void* value) { return kept.keeps(value); }, detector,
          self->parsed->workers);
    }();
    if (!found) return convert_error(found.error());
    return json_to_python(*found).release();
  });
}

// Timeline._find_secrets(texts): the findings of each text, for measuring the
// detector on texts that are no timeline.
PyObject* timeline_find_secrets(PyObject*, PyObject* texts) {
  return guarded([&]() -> PyObject* {
    std::vector<std::string> given;
    if (convert_values(texts, "texts", [&](std::string text) {
          given.push_back(std::move(text));
          return 0;
        }) < 0) {
      return nullptr;
    }
    Result<JsonValue> found = [&]() -> Result<JsonValue> {
      ReleasedGil unlocked;
      TQ_TRY(SecretDetector detector, SecretDetector::make());
      JsonArray all;
      for (const std::string& text : given) {
        TQ_TRY(std::vector<TextSecret> secrets, find_text_secrets(text, detector));
        JsonArray one;
        for (const TextSecret& secret : secrets) one.push_back(text_secret_json(secret));
        all.emplace_back(std::move(one));
      }
      return JsonValue(std::move(all));
    }();
    if (!found) return convert_error(found.error());
    return json_to_python(*found).release();
  });
}

PyObject* timeline_repr(PyObject* object) {
  TimelineObject* self = as_timeline(object);
  return PyUnicode_FromFormat("<tracequill.Timeline: %zu events, %zu diagnostics>",
                              selection(self).size(), self->parsed->diagnostics.size());
}

// ---- the type ----

constexpr char kTimelineDoc[] =
    "Timeline(path, *, mode='best_effort', include_raw=False, include_content=False, "
    "follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100, transcripts=True, unique=False, redact=False, workers=None, "
    "progress=None)\n"
    "--\n"
    "\n"
    "A timeline parsed once and kept in native form, to be read many ways.\n"
    "\n"
    "It reads what `parse` reads (Claude Code's history, paste and image caches\n"
    "and file snapshots; Codex's rollouts, plain, zstd-compressed and archived,\n"
    "and attachments) and, unless transcripts=False, Claude Code's session\n"
    "transcripts under projects/ (prompts, answers, reasoning, tool calls and\n"
    "results, token usage, subagents).\n"
    "\n"
    "The options mean what they mean for `parse`. The events stay native until\n"
    "asked for: `len(t)`, `t[i]`, `t[a:b]` and iteration give the same dicts as\n"
    "`parse()[\"events\"]`, one at a time; `t.diagnostics` the diagnostics. The\n"
    "outputs `to_json`, `to_jsonl`, `to_csv` and `write` are rendered as the\n"
    "module functions render theirs. `filter` and slices return new\n"
    "Timelines over the same parse, without parsing again; kept events keep their\n"
    "`sequence` in the whole timeline. With transcripts=False the outputs are\n"
    "byte for byte those of the module functions for the same options. A\n"
    "Timeline and its views are Arrow streams too: pyarrow.table(t),\n"
    "polars.DataFrame(t) and duckdb.sql('select ... from t') read typed columns.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "path : str | pathlib.Path\n"
    "    A home directory, a `.claude` or `.codex` root, an artifact directory\n"
    "    or one file.\n"
    "mode, include_raw, include_content, follow_symlinks, max_line_size,\n"
    "max_content_size, max_decompression_ratio\n"
    "    As for `parse`.\n"
    "transcripts : bool\n"
    "    Also read Claude Code's session transcripts (projects/*.jsonl), and give\n"
    "    every event its facts (who, prompt, tool, usage), record_key and\n"
    "    duplicate_of.\n"
    "unique : bool\n"
    "    Leave out the events that copy another (duplicate_of set).\n"
    "redact : bool\n"
    "    Replace every secret that `secrets()` would find with\n"
    "    [REDACTED:<rule>:<first 8 hex digits of its SHA-256>] in every event\n"
    "    and diagnostic, and so in every output. File digests stay those of\n"
    "    the evidence.\n"
    "workers : int | None\n"
    "    Threads that read and hash files; None uses every usable core, 1 reads\n"
    "    on the calling thread only. The result is the same for any number.\n"
    "progress : callable | None\n"
    "    Called as progress(files_done, files_total, bytes_done, bytes_total)\n"
    "    at most ten times a second while parsing and once when it is done;\n"
    "    the totals grow as directories are listed. An exception it raises\n"
    "    ends the parse.\n"
    "\n"
    "Ctrl-C (any pending signal whose handler raises) ends the parse within\n"
    "about 100 ms.";

constexpr char kToJsonDoc[] =
    "to_json($self, /, pretty=True)\n--\n\n"
    "The report as JSON text: the events of this timeline and every diagnostic.";
constexpr char kToJsonlDoc[] = "to_jsonl($self, /)\n--\n\nOne compact JSON event per line.";
constexpr char kToCsvDoc[] =
    "to_csv($self, /, include_message=True)\n--\n\nThe events as CSV text, 30 columns.";
constexpr char kWriteDoc[] =
    "write($self, /, path, format=None, *, include_message=True)\n--\n\n"
    "Write the timeline to `path` as 'json' (pretty), 'jsonl', 'csv', 'html' or\n"
    "'parquet'.\n"
    "\n"
    "Without `format` the suffix decides: .json, .jsonl or .ndjson, .csv, .html\n"
    "or .htm, .parquet. 'parquet' is the Arrow columns, zstd-compressed, written\n"
    "by pyarrow (pip install 'tracequill[parquet]'). 'html' is one self-contained\n"
    "page to open in a browser, offline: the events on a time axis by session,\n"
    "with filters, search and details. The\n"
    "file is written beside the target under a temporary name and renamed into\n"
    "place, so `path` never holds a partial file. Refused with OSError: a name\n"
    "that is not a regular file (a FIFO, a device), a file this parse read, and\n"
    "any name inside the evidence of this parse (a profile such as .claude or\n"
    ".codex, the directory given). An int is an open descriptor (a pipe,\n"
    "standard output), written as the output is rendered; `format` is then\n"
    "needed. A failed write raises tracequill.WriteError. `include_message`\n"
    "matters for CSV only.";
constexpr char kFilterDoc[] =
    "filter($self, /, *, since=None, until=None, providers=None, event_types=None, "
    "sessions=None, text=None, actor=None, tool=None, command=None, path=None, url=None, "
    "unique=False)\n--\n\n"
    "A new Timeline of the events that match every given condition.\n"
    "\n"
    "since, until : datetime | str | None\n"
    "    Keep events with since <= timestamp < until; a naive datetime means\n"
    "    UTC, text is RFC 3339. Events without a timestamp are dropped.\n"
    "providers, event_types, sessions : str | Iterable[str] | None\n"
    "    Keep events whose provider, event type or session id is one of these.\n"
    "text : str | None\n"
    "    A regular expression (RE2 syntax, letters compared without case): keep\n"
    "    events whose message, facts or artifact text holds it.\n"
    "actor : str | Iterable[str] | None\n"
    "    Keep events written by one of these actors (user, agent, subagent,\n"
    "    reviewer, hook, system).\n"
    "tool, command, url : str | None\n"
    "    Keep tool events of this tool name or kind, whose command line or one\n"
    "    of whose URLs contains the text.\n"
    "path : str | None\n"
    "    A glob: keep tool events that read or changed a matching file.\n"
    "unique : bool\n"
    "    Leave out the events that copy another.";
constexpr char kCoverageDoc[] =
    "coverage($self, /)\n--\n\n"
    "What became of every file under the profile roots (or the input) the parse\n"
    "was given and of every kind of record it met, as a dict: `files` (each\n"
    "{path, size, events, reason}, in path order: `events` counts what a file\n"
    "read gave, `reason` says why a file was not read), `not_read`, `records`\n"
    "(each {provider, record_type, event_type, count}) and `unknown` (events of\n"
    "no known shape). It covers the whole parse, whatever this view keeps.";

constexpr char kArrowStreamDoc[] =
    "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
    "The events as an Arrow C stream in a PyCapsule, for pyarrow.table(t),\n"
    "polars.DataFrame(t), duckdb.sql('select ... from t') and any other reader\n"
    "of the Arrow PyCapsule interface. Times are timestamp[us, UTC] with the\n"
    "exact text beside them where microseconds lose digits; source, artifact\n"
    "and fs_times are structs; raw and timestamp_raw are JSON text. The stream\n"
    "keeps the parse, not the Timeline, alive. `requested_schema` is ignored.";

constexpr char kSummaryDoc[] =
    "summary($self, /)\n--\n\n"
    "Counts of this timeline's events as a dict: `events`, `by_provider`\n"
    "({provider: {event_type: count}}), `by_event_type`, `sessions`\n"
    "({id: {events, first_timestamp, last_timestamp, working_directory}}),\n"
    "`first_timestamp`, `last_timestamp`, `without_timestamp`, `tool_calls`\n"
    "({tool name: count} of the tool_call events) and `diagnostics`\n"
    "({total, by_severity, by_code}).";

constexpr char kSecretsDoc[] =
    "secrets($self, /)\n--\n\n"
    "Every credential in this timeline's events, one dict per occurrence:\n"
    "`rule` (what kind of secret), `event_id`, `field` (a path into the event:\n"
    "'message', 'artifact.content', 'raw.payload.output', 'warnings[0]'),\n"
    "`offset` and `length` in characters of that field's text, `preview` (its\n"
    "first 4 characters and the rule) and `sha256` (of the secret, to match it\n"
    "across reports without showing it). A value that several events share,\n"
    "such as a record's raw JSON, is reported once, on the first of them.\n"
    "It reads the texts this timeline holds: made with include_raw=True and\n"
    "include_content=True it holds them all. A timeline made with\n"
    "redact=True has none left.";

PyMethodDef timeline_methods[] = {
    {"to_json", as_method(timeline_to_json), METH_FASTCALL | METH_KEYWORDS, kToJsonDoc},
    {"to_jsonl", as_method(timeline_to_jsonl), METH_FASTCALL | METH_KEYWORDS, kToJsonlDoc},
    {"to_csv", as_method(timeline_to_csv), METH_FASTCALL | METH_KEYWORDS, kToCsvDoc},
    {"write", as_method(timeline_write), METH_FASTCALL | METH_KEYWORDS, kWriteDoc},
    {"filter", as_method(timeline_filter), METH_FASTCALL | METH_KEYWORDS, kFilterDoc},
    {"summary", timeline_summary, METH_NOARGS, kSummaryDoc},
    {"__arrow_c_stream__", as_method(timeline_arrow_c_stream), METH_FASTCALL | METH_KEYWORDS,
     kArrowStreamDoc},
    {"coverage", timeline_coverage, METH_NOARGS, kCoverageDoc},
    {"secrets", timeline_secrets, METH_NOARGS, kSecretsDoc},
    {"_find_secrets", timeline_find_secrets, METH_O | METH_STATIC,
     "The secrets found in each of the texts given."},
    {"_check_filter", as_method(timeline_check_filter), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "Check filter arguments; None or an error."},
    {"_filter_choices", timeline_filter_choices, METH_STATIC | METH_NOARGS,
     "The accepted providers and event types."},
    {"_format_for", timeline_format_for, METH_O | METH_STATIC,
     "The output format a file name's suffix stands for, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef timeline_getset[] = {
    {"diagnostics", timeline_diagnostics, nullptr,
     "Every diagnostic of the parse, as dicts (a filter keeps them all).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot timeline_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTimelineDoc)},
    {Py_tp_new, reinterpret_cast<void*>(timeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(timeline_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(timeline_repr)},
    {Py_tp_methods, timeline_methods},
    {Py_tp_getset, timeline_getset},
    {Py_sq_length, reinterpret_cast<void*>(timeline_length)},
    {Py_sq_item, reinterpret_cast<void*>(timeline_item)},
    {Py_mp_length, reinterpret_cast<void*>(timeline_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(timeline_subscript)},
    {0, nullptr},
};

PyType_Spec timeline_type_description = {
    "tracequill.Timeline", sizeof(TimelineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    timeline_slots,
};

}  // namespace

PyRef create_timeline_type() { return PyRef(PyType_FromSpec(&timeline_type_description)); }

}  // namespace tq::py

// File: python/arguments.h
//
// Binding and converting the arguments of the module functions. Every function
// describes its parameters in one table; `bind_and_convert` binds the call by the
// ordinary rules for positional-or-keyword parameters and converts the given
// arguments one by one in parameter order into a `CallArguments`. Parameters not
// given keep the defaults below unchecked.
//
// Every function here returns 0 on success, or -1 with a Python exception set.
// Object pointers handed out are borrowed from the caller's arguments and are
// valid for the duration of the call only.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <variant>

#include "context/options.h"

namespace tq::py {

// The union of all parameters of the module functions and of Timeline's
// constructor and methods, with their defaults.
struct CallArguments {
  PyObject* path = nullptr;         // borrowed; converted later by extract_path
  PyObject* output_path = nullptr;  // borrowed; converted later by extract_path
  std::string format = "json";      // examined only after a successful parse
  std::string mode = "best_effort";
  bool include_raw = false;
  bool include_content = false;
  bool include_message = true;
  bool pretty = true;
  bool follow_symlinks = false;
  uint64_t max_line_size = kDefaultMaxLineSize;
  uint64_t max_content_size = kDefaultMaxContentSize;
  uint64_t max_decompression_ratio = kDefaultMaxDecompressionRatio;
  // Timeline's only: whether its parse also reads Claude Code's session
  // transcripts. The five functions never read them; parser_options leaves it.
  bool transcripts = true;
  // Timeline's only: whether every secret in its events is replaced by a
  // placeholder before anything reads them.
  bool redact = false;
  // Borrowed, each nullptr when not given; their owners convert them.
  PyObject* workers = nullptr;
  PyObject* progress = nullptr;
  PyObject* output_format = nullptr;  // the `format` of Timeline.write, which may be None
  PyObject* since = nullptr;
  PyObject* until = nullptr;
  PyObject* providers = nullptr;
  PyObject* event_types = nullptr;
  PyObject* sessions = nullptr;
  PyObject* text = nullptr;
  PyObject* actor = nullptr;
  PyObject* tool = nullptr;
  PyObject* command = nullptr;
  PyObject* path_glob = nullptr;  // the `path` of Timeline.filter
  PyObject* url = nullptr;
  PyObject* requested_schema = nullptr;  // __arrow_c_stream__'s, accepted and not used
  // Timeline's and its filter's: leave out the events that copy another.
  bool unique = false;
};

// Where a parameter's converted value goes; the member's type picks the converter.
using ArgumentField = std::variant<PyObject * CallArguments::*, std::string CallArguments::*,
                                   bool CallArguments::*, uint64_t CallArguments::*>;

struct Parameter {
  const char* name;
  ArgumentField field;
};

struct Signature {
  const char* function;                   // the function's name, without parentheses
  std::span<const Parameter> parameters;  // in positional order
  std::size_t required;                   // the first `required` parameters have no default
  // Parameters after the first `positional` are keyword-only.
  std::size_t positional = std::numeric_limits<std::size_t>::max();
};

// The parameters of `parse` and `to_jsonl`, which Timeline's constructor
// starts with.
inline constexpr Parameter kParseParameters[] = {
    {"path", &CallArguments::path},
    {"mode", &CallArguments::mode},
    {"include_raw", &CallArguments::include_raw},
    {"include_content", &CallArguments::include_content},
    {"follow_symlinks", &CallArguments::follow_symlinks},
    {"max_line_size", &CallArguments::max_line_size},
    {"max_content_size", &CallArguments::max_content_size},
    {"max_decompression_ratio", &CallArguments::max_decompression_ratio},
};

int bind_and_convert(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, CallArguments* out);

// The converters, one per kind of parameter, all of one shape. A TypeError they
// raise names the target type; `bind_and_convert` prefixes the argument's name.
int convert_text(PyObject* object, std::string* out);
int convert_flag(PyObject* object, bool* out);
int convert_size(PyObject* object, uint64_t* out);

// A `str`, or an os.PathLike whose __fspath__ returns a `str`, as UTF-8 text.
// The text is returned unchanged: not made absolute, not normalised, not tested.
int extract_path(PyObject* object, std::string* out);

// A NUL character can't reach the system inside a path: the kernel would read
// the path only up to it and act on a different file.
inline bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The parse options of a call; an unknown mode raises ValueError.
int parser_options(const CallArguments& arguments, ParserOptions* out);

}  // namespace tq::py

#include "arguments.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "convert.h"
#include "handles.h"

namespace tq::py {
namespace {

// The type's __name__ or __qualname__ (new references). PyType_GetName and
// PyType_GetQualName arrived in Python 3.11; before, the attributes give the
// same text.
PyRef type_attribute_name(PyTypeObject* type, bool qualified) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyRef(qualified ? PyType_GetQualName(type) : PyType_GetName(type));
#else
  return PyRef(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                      qualified ? "__qualname__" : "__name__"));
#endif
}

// "'{type}' object cannot be converted to '{target}'", {type} being the
// qualified name of the object's type.
int raise_cannot_convert(PyObject* object, const char* target) {
  PyRef type_name(type_attribute_name(Py_TYPE(object), true));
  if (!type_name) return -1;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
  return -1;
}

// A TypeError from converting `name` becomes a new TypeError whose message
// starts "argument '{name}': " and that keeps the original's cause. Other
// exceptions pass through unchanged.
int prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
  PyRef original = take_exception();
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
  if (!message) return -1;
  PyRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return -1;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  restore_exception(std::move(renamed));
  return -1;
}

// NumPy's boolean scalar: type named "bool_" (NumPy 1) or "bool" (NumPy 2)
// whose type's module is "numpy". Looked up by name so NumPy needn't be loaded.
bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyRef name(type_attribute_name(type, false));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(name.get(), "bool") != 0) {
    return false;
  }
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) &&
         PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0;
}

struct ConvertInto {
  PyObject* object;
  CallArguments* out;

  int operator()(PyObject* CallArguments::*field) const {
    out->*field = object;
    return 0;
  }
  int operator()(std::string CallArguments::*field) const {
    return convert_text(object, &(out->*field));
  }
  int operator()(bool CallArguments::*field) const { return convert_flag(object, &(out->*field)); }
  int operator()(uint64_t CallArguments::*field) const {
    return convert_size(object, &(out->*field));
  }
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += (i + 1 == names.size()) ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

// Binds the call the way the interpreter binds a Python function's parameters:
// keywords first, then the positional count, then missing arguments. `slots`
// receives one borrowed argument or nullptr per parameter.
int bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         std::span<PyObject*> slots) {
  const std::span<const Parameter> parameters = signature.parameters;
  const auto count = static_cast<Py_ssize_t>(std::min(parameters.size(), signature.positional));
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
      return -1;
    }
    std::size_t index = 0;
    while (index < parameters.size() &&
           PyUnicode_CompareWithASCIIString(keyword, parameters[index].name) != 0) {
      ++index;
    }
    if (index == parameters.size()) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                   signature.function, keyword);
      return -1;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, parameters[index].name);
      return -1;
    }
    slots[index] = args[nargs + k];
  }

  if (nargs > count) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (static_cast<Py_ssize_t>(signature.required) == count) {
      PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                   signature.function, count, count == 1 ? "" : "s", nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %zu to %zd positional arguments but %zd %s given",
                   signature.function, signature.required, count, nargs, verb);
    }
    return -1;
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(parameters[i].name);
  }
  if (!missing.empty()) {
    const std::string names = quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", signature.function,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int bind_and_convert(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, CallArguments* out) {
  std::vector<PyObject*> slots(signature.parameters.size(), nullptr);
  if (bind(signature, args, nargs, kwnames, slots) < 0) return -1;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == nullptr) continue;
    const Parameter& parameter = signature.parameters[i];
    if (std::visit(ConvertInto{slots[i], out}, parameter.field) < 0) {
      return prefix_type_error(parameter.name);
    }
  }
  return 0;
}

int convert_text(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) return raise_cannot_convert(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return -1;
  out->assign(text, static_cast<std::size_t>(size));
  return 0;
}

int convert_flag(PyObject* object, bool* out) {
  if (PyBool_Check(object)) {
    *out = object == Py_True;
    return 0;
  }
  if (!is_numpy_bool(object)) return raise_cannot_convert(object, "PyBool");
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) {
    PyRef type_name(type_attribute_name(Py_TYPE(object), true));
    if (!type_name) return -1;
    PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion",
                 type_name.get());
    return -1;
  }
  const int truth = number->nb_bool(object);
  if (truth < 0) return -1;
  *out = truth != 0;
  return 0;
}

int convert_size(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return -1;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
  *out = value;
  return 0;
}

int extract_path(PyObject* object, std::string* out) {
  PyRef fspath(PyObject_CallMethod(object, "__fspath__", nullptr));
  PyObject* text = fspath.get();
  if (!fspath) {
    // No __fspath__, or one that raised: the object itself must be the text.
    // Only ordinary failures are set aside; an interrupt, an exit or running
    // out of memory is the caller's business and goes on unchanged.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      return -1;
    }
    PyErr_Clear();
    text = object;
  }
  if (!PyUnicode_Check(text)) return raise_cannot_convert(text, "PyString");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return -1;
  out->assign(utf8, static_cast<std::size_t>(size));
  return 0;
}

int parser_options(const CallArguments& arguments, ParserOptions* out) {
  ParserOptions options;
  if (arguments.mode == "strict") {
    options.mode = ParseMode::Strict;
  } else if (arguments.mode == "best_effort") {
    options.mode = ParseMode::BestEffort;
  } else {
    raise_text(PyExc_ValueError,
               "Invalid mode '" + arguments.mode + "': expected 'best_effort' or 'strict'");
    return -1;
  }
  options.max_line_size = arguments.max_line_size;
  options.max_content_size = arguments.max_content_size;
  options.max_decompression_ratio = arguments.max_decompression_ratio;
  options.input_kind = InputKind::Auto;
  options.include_raw = arguments.include_raw;
  options.include_content = arguments.include_content;
  options.follow_symlinks = arguments.follow_symlinks;
  *out = options;
  return 0;
}

}  // namespace tq::py

// The module object `tracequill`: five functions with their signatures and
// docstrings, `__all__` in creation order, `__version__`, the InternalError
// class and the Timeline type. Initialisation is single-phase: the module is created
// once per process and belongs to the first interpreter that imported it.
#include <Python.h>

#include <cstdint>

#include "convert.h"
#include "functions.h"
#include "handles.h"
#include "timeline.h"

#ifndef TQ_PACKAGE_VERSION
#error "TQ_PACKAGE_VERSION must be defined by the build"
#endif

namespace tq::py {
namespace {

// Each docstring is the signature line, "--" and an empty line, then the
// description; the interpreter turns the first part into __text_signature__.
constexpr char kParseDoc[] =
    "parse(path, mode=\"best_effort\", include_raw=False, include_content=False, "
    "follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)\n"
    "--\n"
    "\n"
    "Parse supported AI agent artifacts and return a dict with\n"
    "`events` and `diagnostics`.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "path : str | pathlib.Path\n"
    "    Path to a supported artifact, `.claude`, or `.codex` root.\n"
    "mode : str\n"
    "    `\"best_effort\"` (default) collects recoverable errors as diagnostics;\n"
    "    `\"strict\"` aborts on the first error-severity diagnostic.\n"
    "include_raw : bool\n"
    "    When `True`, each event includes the raw JSON value it was parsed from.\n"
    "include_content : bool\n"
    "    When `True`, file content is inlined in snapshot/cache events.";

constexpr char kConvertDoc[] =
    "convert(path, output_path, format=\"json\", mode=\"best_effort\", include_raw=False, "
    "include_content=False, include_message=True, follow_symlinks=False, "
    "max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)\n"
    "--\n"
    "\n"
    "Parse and write output in a single call.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "path : str | pathlib.Path\n"
    "    Input path (same semantics as [`parse`]).\n"
    "output_path : str | pathlib.Path\n"
    "    Destination file path.\n"
    "format : str\n"
    "    `\"json\"`, `\"jsonl\"`, or `\"csv\"`.\n"
    "mode : str\n"
    "    `\"best_effort\"` or `\"strict\"`.\n"
    "include_raw : bool\n"
    "    Include raw JSON in events.\n"
    "include_content : bool\n"
    "    Include file content in snapshot events.\n"
    "include_message : bool\n"
    "    Include the `message` column in CSV output (ignored for JSON/JSONL).";

constexpr char kToJsonDoc[] =
    "to_json(path, mode=\"best_effort\", include_raw=False, include_content=False, "
    "pretty=True, follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)\n"
    "--\n"
    "\n"
    "Parse artifacts and return the complete report as a JSON string.";

constexpr char kToJsonlDoc[] =
    "to_jsonl(path, mode=\"best_effort\", include_raw=False, include_content=False, "
    "follow_symlinks=False, max_line_size=10485760, max_content_size=52428800, "
    "max_decompression_ratio=100)\n"
    "--\n"
    "\n"
    "Parse artifacts and return one compact timeline event per line.";

constexpr char kToCsvDoc[] =
    "to_csv(path, mode=\"best_effort\", include_content=False, include_message=True, "
    "include_raw=False, follow_symlinks=False, max_line_size=10485760, "
    "max_content_size=52428800, "
    "max_decompression_ratio=100)\n"
    "--\n"
    "\n"
    "Parse artifacts and return the normalized timeline as CSV text.";

// In creation order, which is also the order of __all__. The function objects
// keep pointers to these entries for the life of the process.
PyMethodDef module_functions[] = {
    {"parse", as_method(parse), METH_FASTCALL | METH_KEYWORDS, kParseDoc},
    {"convert", as_method(convert), METH_FASTCALL | METH_KEYWORDS, kConvertDoc},
    {"to_json", as_method(to_json), METH_FASTCALL | METH_KEYWORDS, kToJsonDoc},
    {"to_jsonl", as_method(to_jsonl), METH_FASTCALL | METH_KEYWORDS, kToJsonlDoc},
    {"to_csv", as_method(to_csv), METH_FASTCALL | METH_KEYWORDS, kToCsvDoc},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tracequill",  // m_name
    "",            // m_doc
    0,             // m_size
    nullptr,       // m_methods: the functions are attached after creation
    nullptr,       // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

// What initialisation remembers. The interpreter imports a single-phase
// module once per interpreter and calls its initialiser again for a reload or
// for another interpreter; the module object is shared by the whole process,
// so only its first interpreter may use it. Touched only with the lock held.
struct ModuleCache {
  PyObject* module = nullptr;   // strong reference, kept for the life of the process
  int64_t interpreter_id = -1;  // the interpreter that created `module`
};
ModuleCache cache;

// Creates the function object bound to `module`, appends its __name__ to
// __all__ and sets the module attribute of that name.
int attach_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  PyRef function(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return -1;
  PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return -1;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), function.get());
}

PyObject* create_module() {
  PyRef module(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return nullptr;
  PyRef module_name(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& definition : module_functions) {
    if (attach_function(module.get(), module_name.get(), &definition) < 0) return nullptr;
  }
  // None of these names belongs to __all__: the public functions are the five above.
  if (PyModule_AddStringConstant(module.get(), "__version__", TQ_PACKAGE_VERSION) < 0) {
    return nullptr;
  }
  PyRef internal_error = create_internal_error_class();
  if (!internal_error ||
      PyObject_SetAttrString(module.get(), "InternalError", internal_error.get()) < 0) {
    return nullptr;
  }
  PyRef write_error = create_write_error_class();
  if (!write_error || PyObject_SetAttrString(module.get(), "WriteError", write_error.get()) < 0) {
    return nullptr;
  }
  PyRef timeline = create_timeline_type();
  if (!timeline || PyObject_SetAttrString(module.get(), "Timeline", timeline.get()) < 0) {
    return nullptr;
  }
  return module.release();
}

PyObject* initialise() {
  const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter_id < 0) return nullptr;
  if (cache.module != nullptr) {
    if (interpreter_id != cache.interpreter_id) {
      PyErr_SetString(PyExc_ImportError,
                      "tracequill does not support sub-interpreters: it is already loaded "
                      "in another interpreter of this process");
      return nullptr;
    }
    return Py_NewRef(cache.module);
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  cache.module = Py_NewRef(module);
  cache.interpreter_id = interpreter_id;
  return module;
}

}  // namespace
}  // namespace tq::py

PyMODINIT_FUNC PyInit_tracequill(void) {
  return tq::py::guarded([] { return tq::py::initialise(); });
}

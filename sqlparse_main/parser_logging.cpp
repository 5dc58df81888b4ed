// The parser's logging library (mo_logs) writes its warnings, a long trace
// with each, to the standard output it found at its own import: past any
// later redirection of sys.stdout, into the output of every caller (the
// command line's JSON, say).  The parser raises its own exception right after
// each warning, so nothing is lost by silencing them: while the library's
// main log is still its default writer to standard output, it is replaced by
// the library's own logger that writes nothing.  A program that sets the
// library's logging up itself (Log.start) keeps what it chose.
#include "sqlparse_main.hpp"

namespace sqlparse_main {
namespace {

// sys.modules[module].__dict__[name], or null.
PyObject* loaded(const char* module, const char* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* mod = PyDict_GetItemString(modules, module);
    if (!mod || !PyModule_Check(mod)) return nullptr;
    return PyDict_GetItemString(PyModule_GetDict(mod), name);
}

}  // namespace

void quiet_parser_logging() {
    PyObject* log = loaded("mo_logs", "Log");
    PyObject* to_stream = loaded("mo_logs.log_usingStream", "StructuredLogger_usingStream");
    PyObject* to_nothing = loaded("mo_logs.log_usingNothing", "StructuredLogger");
    if (!log || !to_stream || !to_nothing || !PyType_Check(log)) return;
    PyObject* main_log = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(log)->tp_dict, "main_log");
    if (!main_log || reinterpret_cast<PyObject*>(Py_TYPE(main_log)) != to_stream) return;
    Ref silent = keldra::call(to_nothing);
    keldra::check(PyObject_SetAttrString(log, "main_log", silent.get()));
}

}  // namespace sqlparse_main

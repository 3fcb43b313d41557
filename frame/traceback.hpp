// Traceback entries for failures inside the module's functions.
//
// Each function (public or nested) has a code object that names it in a
// traceback ("klimora.Strahlkit.Sonnenzeit.ERS", file "klimora/Strahlkit").
// When a step fails, an entry for that code at the step's line is added to
// the pending exception, with the module namespace as the frame's globals.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace klimora {

inline constexpr const char* source_file_name = "klimora/Strahlkit";

// A code object for traceback entries (new reference, or null).
PyObject* make_traceback_code(const char* qualified_name, int first_line);

// Adds an entry for `code` at `line` to the pending exception.  If the
// entry cannot be made, the exception stays as it was (or becomes the
// MemoryError of making it).
void add_traceback_entry(PyObject* code, int line);

}  // namespace klimora

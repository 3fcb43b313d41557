#include "frame/traceback.hpp"

#include "frame/compat.hpp"
#include "frame/namespace.hpp"
#include "frame/ref.hpp"

#include <frameobject.h>

namespace klimora {

PyObject* make_traceback_code(const char* qualified_name, int first_line) {
    return reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_file_name, qualified_name, first_line));
}

void add_traceback_entry(PyObject* code, int line) {
    if (code == nullptr || module_namespace.globals == nullptr) return;
    Ref frame;
    {
        PendingError keep;
        frame = Ref::steal(compat::frame_at_line(code, module_namespace.globals, line));
        if (!frame) PyErr_Clear();
    }
    if (!frame) return;
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace klimora

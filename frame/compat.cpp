#include "frame/compat.hpp"

#include "frame/ref.hpp"

#include <frameobject.h>

#include <map>
#include <utility>

namespace klimora::compat {

#ifdef KLIMORA_DICT_WATCHERS
std::uint64_t watched_dicts_changed = 1;

namespace {
int watcher_id = -1;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++watched_dicts_changed;
    return 0;
}
}  // namespace

bool watch(PyObject* dict) {
    if (watcher_id < 0) {
        watcher_id = PyDict_AddWatcher(on_change);
        if (watcher_id < 0) return false;
    }
    if (PyDict_Watch(watcher_id, dict) < 0) return false;
    ++watched_dicts_changed;   // what was seen before it was watched counts for nothing
    return true;
}
#else
bool watch(PyObject*) { return true; }
#endif

PyObject* frame_at_line(PyObject* code, PyObject* globals, int line) {
#if PY_VERSION_HEX >= 0x030B0000
    // A code object per (function, line), made on the first failure there
    // and kept for the life of the process, as the functions' own are.
    static std::map<std::pair<PyObject*, int>, PyObject*> at_line;
    PyObject*& line_code = at_line[{code, line}];
    if (line_code == nullptr) {
        Ref name = Ref::steal(PyObject_GetAttrString(code, "co_name"));
        Ref file = Ref::steal(name ? PyObject_GetAttrString(code, "co_filename") : nullptr);
        if (!file) return nullptr;
        const char* name_text = PyUnicode_AsUTF8(name.get());
        const char* file_text = name_text ? PyUnicode_AsUTF8(file.get()) : nullptr;
        if (file_text == nullptr) return nullptr;
        line_code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, line));
        if (line_code == nullptr) return nullptr;
    }
    return reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(line_code), globals, nullptr));
#else
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       globals, nullptr);
    if (frame != nullptr) frame->f_lineno = line;
    return reinterpret_cast<PyObject*>(frame);
#endif
}

}  // namespace klimora::compat

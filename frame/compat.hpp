// What the CPython versions the module is built for (3.10 to 3.13) do
// differently, behind one small interface: the rest of the module is
// written once, against this header and the API all of them share.
//
// - Small ints: 3.12 hides the digits of an int; its value is read through
//   the public compact-int API there.
// - Dict change stamps: the global look-up caches hold while the dicts they
//   read are unchanged.  3.10 and 3.11 give every dict a version tag that
//   moves on each change; 3.12 deprecates it (3.14 removes it), and a dict
//   watcher moves one stamp for every watched dict instead.
// - Traceback entries: 3.10 lets a new frame report any line; from 3.11 on
//   the frame is opaque and reports its code's first line, so each line of
//   a function has a code object of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030C0000
#define KLIMORA_DICT_WATCHERS 1
#endif

namespace klimora::compat {

// The value of an exact int of at most one digit (|v| < 2**30), as a
// double; false for a larger one.
inline bool one_digit_int(PyObject* object, double& value) {
    auto* number = reinterpret_cast<PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    value = static_cast<double>(PyUnstable_Long_CompactValue(number));
#else
    const Py_ssize_t size = Py_SIZE(object);
    if (size < -1 || size > 1) return false;
    value = static_cast<double>(size) * static_cast<double>(number->ob_digit[0]);
#endif
    value += 0.0;   // no int is -0
    return true;
}

#ifdef KLIMORA_DICT_WATCHERS
// Moved by the watcher on every change of a watched dict.
extern std::uint64_t watched_dicts_changed;
#endif

// A stamp of `dict` that differs after any change to it.  Under dict
// watchers, only for a dict passed to watch().
inline std::uint64_t dict_stamp(PyObject* dict) {
#ifdef KLIMORA_DICT_WATCHERS
    (void)dict;
    return watched_dicts_changed;
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// Makes dict_stamp() follow `dict`.  False, with an exception set, if the
// interpreter has no watcher left to give.
bool watch(PyObject* dict);

// A new frame of `code` (a code object of make_traceback_code's) with
// `globals`, reporting `line`; null with an exception set on failure.
PyObject* frame_at_line(PyObject* code, PyObject* globals, int line);

}  // namespace klimora::compat

// Owning references to Python objects.
//
// Ref holds one strong reference and gives it back when it goes out of
// scope, so a body can leave on any path (a C++ exception included) without
// leaking what it made.  Copying a Ref takes another reference to the same
// object; moving hands the reference over.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace klimora {

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a further reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(const Ref& o) noexcept { return *this = Ref(o); }
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);   // last: the release may run arbitrary code
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Saves the pending exception on construction and puts it back on
// destruction, so work in between (building a traceback entry) cannot
// replace it.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingError() { PyErr_Restore(type_, value_, tb_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
    PyObject* type_;
    PyObject* value_;
    PyObject* tb_;
};

}  // namespace klimora

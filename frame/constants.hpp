// Constants of the function bodies.
//
// A body writes its constants where the formula has them: I<24> is the
// Python int 24, F<24.0> the Python float 24.0, and a NumPy attribute or
// global name is a Name<"sin">.  Every constant that any body uses gets one
// slot, linked into a process-wide list when the library is loaded; start-up
// turns the whole list into Python objects once, and every call shares them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>

namespace klimora {

class ConstantSlot {
public:
    enum class Kind { integer, real, name };

    constexpr explicit ConstantSlot(long long v) : kind_(Kind::integer), integer_(v) {}
    constexpr explicit ConstantSlot(double v) : kind_(Kind::real), real_(v) {}
    constexpr explicit ConstantSlot(const char* v) : kind_(Kind::name), text_(v) {}

    // Borrowed; valid once start-up has made the constants.
    PyObject* object() const noexcept { return object_; }
    Kind kind() const noexcept { return kind_; }
    long long integer() const noexcept { return integer_; }
    double real() const noexcept { return real_; }
    const char* text() const noexcept { return text_; }

    // Makes the object of every registered slot that has none yet.
    // Returns false with a Python error set.
    static bool make_all();

private:
    friend struct ConstantRegistration;
    Kind kind_;
    long long integer_ = 0;
    double real_ = 0.0;
    const char* text_ = nullptr;
    PyObject* object_ = nullptr;
    ConstantSlot* next_ = nullptr;
};

// Links a slot into the process-wide list (runs while the library loads).
struct ConstantRegistration {
    explicit ConstantRegistration(ConstantSlot& slot) noexcept;
};

// A string usable as a template argument: Name<"sin">.
template <std::size_t N>
struct Text {
    char chars[N];
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, chars); }
};

template <long long V>
struct IntConstant {
    static inline ConstantSlot slot{V};
    static inline ConstantRegistration registration{slot};
    static PyObject* object() noexcept { (void)&registration; return slot.object(); }
};

template <double V>
struct FloatConstant {
    static inline ConstantSlot slot{V};
    static inline ConstantRegistration registration{slot};
    static PyObject* object() noexcept { (void)&registration; return slot.object(); }
};

// An interned str: a global or attribute name.
template <Text S>
struct Name {
    static inline ConstantSlot slot{S.chars};
    static inline ConstantRegistration registration{slot};
    static PyObject* object() noexcept { (void)&registration; return slot.object(); }
    static constexpr const char* text() noexcept { return S.chars; }
};

}  // namespace klimora

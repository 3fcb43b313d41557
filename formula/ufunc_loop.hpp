// The float64 loop that NumPy calls for a function's ufunc: the body run on
// blocks of elements (blocks.hpp), without the GIL.
//
// A block starts as one part, all its elements.  A run that stops at a
// dividing condition leaves two parts, the elements on either side; one
// that stops at elements whose scalar calls raise leaves the others.  Each
// new part carries the statement values computed so far, gathered for its
// elements, so its run starts where its parent stopped.
#pragma once

#include "formula/on_blocks.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cfenv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace klimora::blocks {

// What a loop keeps from block to block: one per thread.
struct Workspace {
    Arena arena;
    struct Part {
        Path path;
        std::size_t begin, count;             // its elements: positions[begin, begin + count)
        std::size_t inputs_begin;              // its inputs: inputs[...], or none yet
        std::size_t saved_begin, saved_count;  // its statement values: saved[...]
        std::size_t calls_begin, calls_count;  // its calls' values: carried[...]
        std::size_t arena_mark;                // the arena below holds them
    };
    std::vector<Part> parts;
    std::vector<int> positions;   // in the block
    std::vector<int> picked[2];   // the elements on the false and the true side
    std::vector<const double*> inputs;
    static constexpr std::size_t no_inputs = -1;
    std::vector<Saved> saved;
    std::vector<Saved> record;
    std::vector<CallValue> carried;
    std::vector<CallValue> calls;
};

inline double& element(char* base, Py_intptr_t step, Py_intptr_t i) {
    return *reinterpret_cast<double*>(base + i * step);
}

// Where the elements on either side of a mask stand in the stopped run, in
// order: written without a branch, as the mask is as good as random.
inline void sides(Workspace& w, const double* mask, std::ptrdiff_t n) {
    w.picked[0].resize(n);
    w.picked[1].resize(n);
    int* const off = w.picked[0].data();
    int* const on = w.picked[1].data();
    std::size_t offs = 0, ons = 0;
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        const std::size_t side = std::bit_cast<std::uint64_t>(mask[q]) != 0;   // 1.0 or 0.0
        off[offs] = on[ons] = static_cast<int>(q);
        ons += side;
        offs += side ^ 1;
    }
    w.picked[0].resize(offs);
    w.picked[1].resize(ons);
}

// The elements picked from a stopped run become a part: their positions,
// their inputs and the values the run computed, gathered.
inline void add_part(Workspace& w, const Workspace::Part& from, const std::vector<int>& picked,
                     Path path, const double* const* inputs, std::size_t nin) {
    const std::size_t count = picked.size();
    if (count == 0) return;
    const int* pick = picked.data();
    const std::size_t first = w.positions.size();
    if (from.inputs_begin == Workspace::no_inputs) {
        w.positions.insert(w.positions.end(), pick, pick + count);
    } else {
        for (std::size_t j = 0; j < count; ++j) w.positions.push_back(w.positions[from.begin + pick[j]]);
    }
    const std::size_t inputs_begin = w.inputs.size();
    for (std::size_t j = 0; j < nin; ++j) w.inputs.push_back(gather(w.arena.fresh(), inputs[j], pick, count));
    // The statement values the part's run will ask for: those not inside
    // a statement that is itself kept.
    const std::size_t saved_begin = w.saved.size();
    for (std::size_t k = 0; k < w.record.size(); ++k) {
        Saved s = w.record[k];
        if (!s.done) {
            w.saved.push_back(s);
            continue;
        }
        if (s.value.v != nullptr) s.value.v = gather(w.arena.fresh(), s.value.v, pick, count);
        w.saved.push_back(s);
        for (std::size_t inner = k + 1; inner < static_cast<std::size_t>(s.next); ++inner) {
            w.saved.push_back(Saved{});
        }
        k = static_cast<std::size_t>(s.next) - 1;
    }
    const std::size_t calls_begin = w.carried.size();
    for (CallValue c : w.calls) {
        if (!c.key.lasts()) continue;
        if (c.value.v != nullptr) c.value.v = gather(w.arena.fresh(), c.value.v, pick, count);
        w.carried.push_back(c);
    }
    w.parts.push_back({path, first, count, inputs_begin, saved_begin, w.saved.size() - saved_begin,
                       calls_begin, w.carried.size() - calls_begin, w.arena.mark()});
}

// Whether all n values have the same bits (n >= 1).
inline bool same_everywhere(const double* v, std::ptrdiff_t n) {
    const auto first = std::bit_cast<std::uint64_t>(v[0]);
    for (std::ptrdiff_t q = 1; q < n; ++q) {
        if (std::bit_cast<std::uint64_t>(v[q]) != first) return false;
    }
    return true;
}

// A run of equal values at least this long is worth a block of its own.
inline constexpr Py_intptr_t shortest_run = 64;

// How many of the `count` elements from `start` the block takes: all of
// them, unless an input holds one value over a run of at least
// shortest_run elements that ends before them; then the block ends with
// the shortest such run, and the next one starts with the input's next
// value.  A day's minutes, a time series' constant humidity or the
// latitude along a grid's rows are then one value for a whole block.
inline Py_intptr_t along_runs(char* const* args, const Py_intptr_t* steps, std::size_t nin,
                              Py_intptr_t start, Py_intptr_t count) {
    Py_intptr_t take = count;
    for (std::size_t j = 0; j < nin; ++j) {
        if (steps[j] == 0) continue;
        const auto first = std::bit_cast<std::uint64_t>(element(args[j], steps[j], start));
        Py_intptr_t run = 1;
        while (run < take &&
               std::bit_cast<std::uint64_t>(element(args[j], steps[j], start + run)) == first) {
            ++run;
        }
        if (run >= shortest_run) take = run;
    }
    return take;
}

template <class Body, std::size_t N, std::size_t... In>
void run_block(Workspace& w, char* const* args, const Py_intptr_t* steps, Py_intptr_t start,
               int size) {
    constexpr std::size_t nin = sizeof...(In);
    constexpr std::size_t used[] = {In...};
    char* const out = args[nin];
    const Py_intptr_t out_step = steps[nin];
    w.parts.clear();
    w.saved.clear();
    w.carried.clear();
    w.inputs.clear();
    w.arena.reset();
    w.positions.clear();   // the whole block's are its elements' own
    w.parts.push_back({Path{}, 0, static_cast<std::size_t>(size), Workspace::no_inputs, 0, 0, 0, 0, 0});
    while (!w.parts.empty()) {
        const Workspace::Part part = w.parts.back();
        w.parts.pop_back();
        w.arena.reset(part.arena_mark);
        // Room for both sides of a split, so that `at` stays valid.
        w.positions.reserve(w.positions.size() + part.count);
        const bool whole_block = part.inputs_begin == Workspace::no_inputs;
        const int* at = whole_block ? nullptr : w.positions.data() + part.begin;
        auto position = [at, start](std::ptrdiff_t q) { return start + (at ? at[q] : q); };
        const auto n = static_cast<std::ptrdiff_t>(part.count);
        std::array<Lanes, N> parameters{};   // the ones the ufunc drops stay opaque
        std::array<const double*, nin> arrays{};
        for (std::size_t j = 0; j < nin; ++j) {
            if (!whole_block) {
                arrays[j] = w.inputs[part.inputs_begin + j];
            } else if (steps[j] == sizeof(double)) {
                arrays[j] = &element(args[j], steps[j], start);   // read in place
            } else {
                double* v = w.arena.fresh();
                for (std::ptrdiff_t q = 0; q < n; ++q) v[q] = element(args[j], steps[j], start + q);
                arrays[j] = v;
            }
            // An input with one value for all the part's elements (a
            // broadcast one, or a day along its minutes) is that one
            // float64 scalar: what depends on it alone is computed once.
            parameters[used[j]] =
                same_everywhere(arrays[j], n)
                    ? BlockFrame::uniform(direct::number(Num::Kind::np_float64, arrays[j][0]))
                    : BlockFrame::elements(Num::Kind::np_float64, arrays[j]);
        }
        w.calls.assign(w.carried.begin() + part.calls_begin,
                       w.carried.begin() + part.calls_begin + part.calls_count);
        BlockFrame f(w.arena, n, part.path, w.saved.data() + part.saved_begin, part.saved_count,
                     w.record, w.calls, arrays.data(), nin);
        Lanes r;
        try {
            r = std::apply([&f](const auto&... p) { return Body::body(f, p...); }, parameters);
            if (r.kind() == Num::Kind::boolean || r.kind() == Num::Kind::table) throw Uncovered{};
        } catch (const Uncovered&) {
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                element(out, out_step, position(q)) = std::numeric_limits<double>::quiet_NaN();
            }
            std::feraiseexcept(FE_INVALID);
            continue;
        }
        switch (f.stopped()) {
        case Stop::none:
            if (whole_block && out_step == sizeof(double)) {
                double* o = &element(out, out_step, start);
                // The result may be an input read in place: the output
                // itself (nothing to copy) or a view ahead of it.
                if (!r.v) std::fill(o, o + n, r.uniform.d);
                else if (r.v != o) std::copy(r.v, r.v + n, o);
            } else {
                for (std::ptrdiff_t q = 0; q < n; ++q) {
                    element(out, out_step, position(q)) = r.v ? r.v[q] : r.uniform.d;
                }
            }
            break;
        case Stop::split:
            sides(w, f.mask(), n);
            add_part(w, part, w.picked[0], f.taken().with(false), arrays.data(), nin);
            add_part(w, part, w.picked[1], f.taken().with(true), arrays.data(), nin);
            break;
        case Stop::errors:
            // Elements whose scalar call raises: NaN, and the invalid flag.
            // The others' inputs and values are gathered first: read in
            // place, an input may lie where these NaNs go (out= a view of
            // it a few elements behind).
            sides(w, f.mask(), n);
            add_part(w, part, w.picked[0], f.taken(), arrays.data(), nin);
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                if (f.mask()[q] != 0.0) {
                    element(out, out_step, position(q)) = std::numeric_limits<double>::quiet_NaN();
                }
            }
            std::feraiseexcept(FE_INVALID);
            break;
        }
    }
}

// The bytes that `count` elements at `base`, `step` apart, take up: [first, last).
inline std::pair<std::uintptr_t, std::uintptr_t> extent(std::uintptr_t base, Py_intptr_t step,
                                                       Py_intptr_t count) {
    const auto span = static_cast<std::uintptr_t>(step) * static_cast<std::uintptr_t>(count - 1);
    return step < 0 ? std::pair{base + span, base + sizeof(double)}
                    : std::pair{base, base + span + sizeof(double)};
}

// Whether an element may read what an earlier one wrote: the output lies
// over an input that is neither the very same elements (in place) nor
// running ahead of it, as NumPy judges when it lets an overlap pass
// uncopied.  Its reductions hand over just such inputs: reduce and
// reduceat the output itself, step 0, as the first input, so that every
// element folds into what the one before left; accumulate the output one
// element back.  A block reads all its elements' inputs before it writes
// an output, so these must run one element at a time, in order.
inline bool reads_own_output(char* const* args, const Py_intptr_t* steps, Py_intptr_t count,
                             std::size_t nin) {
    const auto out = reinterpret_cast<std::uintptr_t>(args[nin]);
    const Py_intptr_t out_step = steps[nin];
    const auto [out_first, out_last] = extent(out, out_step, count);
    for (std::size_t j = 0; j < nin; ++j) {
        const auto in = reinterpret_cast<std::uintptr_t>(args[j]);
        const Py_intptr_t step = steps[j];
        const auto [first, last] = extent(in, step, count);
        if (last <= out_first || out_last <= first) continue;
        if (in == out && step == out_step && step != 0) continue;
        // Ahead: no element of the input is written before it is read (an
        // input that repeats one element never is).
        const bool ahead = step > 0   ? step >= out_step && in >= out
                           : step < 0 ? step <= out_step && in <= out
                                      : false;
        if (!ahead) return true;
    }
    return false;
}

// Ctrl-C during a long call.  NumPy runs the loop without the GIL, and the
// interpreter runs signal handlers only between bytecodes: Ctrl-C would
// wait for the whole call.  So on the main thread, the one thread that
// runs them, the loop runs them itself between blocks now and then.  A
// handler that raises (KeyboardInterrupt) ends the call: the elements not
// yet computed are NaN, and so are all those of the loops NumPy runs until
// the exception is raised (the other rows of a strided array).  NumPy does
// not look for an exception after a float64 loop, so the loop hands it to
// the interpreter as a pending call, which raises it as soon as bytecode
// runs again: the handler is not called twice, and an exception other
// than KeyboardInterrupt stays what it is.
namespace signals {

// The thread the interpreter runs signal handlers on, as
// PyThread_get_thread_ident gives it: set when the module loads.
inline std::atomic<unsigned long> main_thread{0};

// The clock is read every 64 blocks, the GIL taken at most every 100 ms:
// with another thread running Python code, taking it waits out that
// thread's switch interval (5 ms).
inline constexpr Py_intptr_t elements_between_looks = 64 * block_size;
inline constexpr std::chrono::milliseconds between_checks{100};

// The main thread's alone.
inline Py_intptr_t elements_since_look = 0;
inline std::chrono::steady_clock::time_point last_check{};
inline bool interrupted = false;   // an exception waits for the interpreter

struct Raised {
    PyObject *type, *value, *traceback;
};

// The pending call: the handler's exception, raised where the interpreter is.
inline int raise_again(void* raised) {
    const Raised e = *static_cast<Raised*>(raised);
    delete static_cast<Raised*>(raised);
    interrupted = false;
    PyErr_Restore(e.type, e.value, e.traceback);
    return -1;
}

// Runs the signal handlers: true if one raised.
inline bool handler_raised() {
    // A handler may use NumPy, which clears the floating-point flags the
    // loop has raised so far (NumPy reads them when the call is over).
    std::fexcept_t flags;
    std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    if (raised) {
        Raised e;
        PyErr_Fetch(&e.type, &e.value, &e.traceback);
        auto* held = new (std::nothrow) Raised(e);
        if (held != nullptr && Py_AddPendingCall(raise_again, held) == 0) {
            interrupted = true;
        } else {
            // Nowhere to keep it (no memory, or the interpreter's queue of
            // pending calls is full): SIGINT is made to come again
            // instead, and only this loop ends.
            delete held;
            Py_XDECREF(e.type);
            Py_XDECREF(e.value);
            Py_XDECREF(e.traceback);
            PyErr_SetInterrupt();
        }
    }
    PyGILState_Release(gil);
    std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    return raised;
}

// Whether the loop is to stop, with `done` elements computed since it last asked.
inline bool stop(Py_intptr_t done) {
    if (interrupted) return true;
    elements_since_look += done;
    if (elements_since_look < elements_between_looks) return false;
    elements_since_look = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < between_checks) return false;
    last_check = now;
    return handler_raised();
}

}  // namespace signals

// NumPy's loop signature (PyUFuncGenericFunction).
template <class Body, std::size_t N, std::size_t... In>
void ufunc_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    thread_local Workspace workspace;
    constexpr std::size_t nin = sizeof...(In);
    const Py_intptr_t count = dimensions[0];
    if (count <= 0) return;
    const Py_intptr_t size = reads_own_output(args, steps, count, nin) ? 1 : block_size;
    const bool main_thread =
        PyThread_get_thread_ident() == signals::main_thread.load(std::memory_order_relaxed);
    Py_intptr_t done = 0;
    for (Py_intptr_t start = 0; start < count; start += done) {
        if (main_thread && signals::stop(done)) {
            for (Py_intptr_t i = start; i < count; ++i) {
                element(args[nin], steps[nin], i) = std::numeric_limits<double>::quiet_NaN();
            }
            return;
        }
        done = std::min(size, count - start);
        if (size > 1) done = along_runs(args, steps, nin, start, done);
        run_block<Body, N, In...>(workspace, args, steps, start, static_cast<int>(done));
    }
    if (main_thread) signals::elements_since_look += done;
}

}  // namespace klimora::blocks

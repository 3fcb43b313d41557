// The float64 loop that NumPy calls for a function's ufunc: the body run on
// blocks of elements (blocks.hpp), without the GIL.
//
// A block starts as one part, all its elements.  A run that stops at a
// dividing condition leaves two parts, the elements on either side; one
// that stops at elements whose scalar calls raise leaves the others.  Each
// new part carries the statement values computed so far, so its run starts
// where its parent stopped.
//
// A side of a condition is first tried as it stands: its run goes over all
// the elements of the run that divided them, values and inputs as they
// are, and only its own elements' results are kept.  Each step is then
// done for elements whose call would not make it, and the trial stands
// only if it raised no floating-point flag and no element of its own
// failed: then every own element went through just the steps of its own
// call, with the same bits, and the others raised nothing.  Otherwise, or
// where the trial comes to a costly NumPy call for few of its elements,
// the side runs again on its own elements alone, gathered densely.  So a
// cheap branch costs a few passes over the block, and an element's value
// and flags are still those of its own scalar call.
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
#include <optional>
#include <utility>
#include <vector>

namespace klimora::blocks {

// What a loop keeps from block to block: one per thread.
struct Workspace {
    Arena arena;
    struct Part {
        Path path;
        std::size_t count;                     // the elements it runs over
        bool in_block;                         // they are the block's, in order,
        std::size_t begin;                     // or those at positions[begin, begin + count)
        std::size_t inputs_begin;              // its inputs: inputs[...], or the block's
        Own own;                               // a trial: its own elements among them,
        std::size_t own_begin;                 // also at owned[own_begin, + own.count)
        std::size_t saved_begin, saved_count;  // its statement values: saved[...]
        std::size_t calls_begin, calls_count;  // its calls' values: carried[...]
        Arena::Mark arena_mark;                // the arena below holds them
    };
    std::vector<Part> parts;
    std::vector<int> positions;   // in the block
    std::vector<int> picked[2];   // the elements on the false and the true side
    std::vector<int> owned;       // the trials' own elements
    std::vector<Lanes> inputs;
    static constexpr std::size_t no_inputs = -1;
    std::vector<Saved> saved;
    std::vector<Saved> record;
    std::vector<CallValue> carried;
    std::vector<CallValue> calls;
    std::vector<Path> costly;     // sides whose trials gave up at a costly call, this loop
};

inline double& element(char* base, Py_intptr_t step, Py_intptr_t i) {
    return *reinterpret_cast<double*>(base + i * step);
}

// Where the run's own elements on either side of a mask stand in it, in
// order: written without a branch, as the mask is as good as random.
inline void sides(Workspace& w, const double* mask, std::ptrdiff_t n, const Own& own) {
    w.picked[0].resize(n);
    w.picked[1].resize(n);
    int* const off = w.picked[0].data();
    int* const on = w.picked[1].data();
    std::size_t offs = 0, ons = 0;
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        const std::size_t side = std::bit_cast<std::uint64_t>(mask[q]) != 0;   // 1.0 or 0.0
        const std::size_t mine = own.mask == nullptr || own.mask[q] != 0.0;
        off[offs] = on[ons] = static_cast<int>(q);
        ons += side & mine;
        offs += (side ^ 1) & mine;
    }
    w.picked[0].resize(offs);
    w.picked[1].resize(ons);
}

// What a new part starts from: the statement values and calls of a run, or
// those a part started with.
struct Carried {
    const std::vector<Saved>& saved;
    std::size_t saved_begin, saved_count;
    const std::vector<CallValue>& calls;
    std::size_t calls_begin, calls_count;
};

// The statement values a part's run will ask for (those not inside a
// statement that is itself kept) and the calls it may recall, each array
// passed through `move`.  By index: `from` may be the workspace's own
// vector, which grows here.
template <class Move>
void carry(Workspace& w, const Carried& from, bool lasting_only, Move move) {
    for (std::size_t k = 0; k < from.saved_count; ++k) {
        Saved s = from.saved[from.saved_begin + k];
        if (!s.done) {
            w.saved.push_back(s);
            continue;
        }
        if (s.value.v != nullptr) move(s.value);
        w.saved.push_back(s);
        for (std::size_t inner = k + 1; inner < static_cast<std::size_t>(s.next); ++inner) {
            w.saved.push_back(Saved{});
        }
        k = static_cast<std::size_t>(s.next) - 1;
    }
    for (std::size_t k = 0; k < from.calls_count; ++k) {
        CallValue c = from.calls[from.calls_begin + k];
        if (lasting_only && !c.key.lasts()) continue;
        if (c.value.v != nullptr) move(c.value);
        w.carried.push_back(c);
    }
}

// Values of a run, for a part of its elements (`pick`, their places in
// the run): not gathered, but marked with where each element's value is.
// A value not gathered in the run either is taken from where it lies,
// through both picks at once.  `now`: gathered at once, where the output
// lies over an input read in place, which other parts write to before
// this one runs.
class Picker {
public:
    Picker(Arena& arena, const int* pick, std::size_t count, bool now)
        : arena_(arena), pick_(pick), count_(count), now_(now) {}

    void operator()(Lanes& x) {
        if (x.v == nullptr) return;
        if (now_) {
            double* to = arena_.fresh();
            for (std::size_t j = 0; j < count_; ++j) to[j] = x.v[x.pick ? x.pick[pick_[j]] : pick_[j]];
            x = Lanes{x.uniform, to, nullptr};
            return;
        }
        if (x.pick == nullptr) {
            x.pick = pick_;
            return;
        }
        for (std::size_t i = 0; i < composed_count_; ++i) {
            if (composed_[i].first == x.pick) {
                x.pick = composed_[i].second;
                return;
            }
        }
        int* through = arena_.fresh_positions();
        for (std::size_t j = 0; j < count_; ++j) through[j] = x.pick[pick_[j]];
        if (composed_count_ < composed_.size()) composed_[composed_count_++] = {x.pick, through};
        x.pick = through;
    }

private:
    Arena& arena_;
    const int* pick_;
    std::size_t count_;
    bool now_;
    std::array<std::pair<const int*, const int*>, 4> composed_{};
    std::size_t composed_count_ = 0;
};

// The elements picked from a run become a part: their positions, their
// inputs and the values the run computed, each gathered when the part's
// run first reads it (most of them it never reads).
inline void add_part(Workspace& w, const Workspace::Part& from, const std::vector<int>& picked,
                     Path path, const Lanes* inputs, std::size_t nin, const Carried& values,
                     bool now) {
    const std::size_t count = picked.size();
    if (count == 0) return;
    const int* pick = picked.data();
    const std::size_t first = w.positions.size();
    if (from.in_block) {
        w.positions.insert(w.positions.end(), pick, pick + count);
    } else {
        for (std::size_t j = 0; j < count; ++j) w.positions.push_back(w.positions[from.begin + pick[j]]);
    }
    int* const kept = w.arena.fresh_positions();
    std::copy(pick, pick + count, kept);
    Picker move(w.arena, kept, count, now);
    const std::size_t inputs_begin = w.inputs.size();
    for (std::size_t j = 0; j < nin; ++j) {
        Lanes x = inputs[j];
        move(x);
        w.inputs.push_back(x);
    }
    const std::size_t saved_begin = w.saved.size(), calls_begin = w.carried.size();
    carry(w, values, true, move);
    w.parts.push_back({path, count, false, first, inputs_begin, Own{}, 0, saved_begin,
                       w.saved.size() - saved_begin, calls_begin, w.carried.size() - calls_begin,
                       w.arena.mark()});
}

// A side of a divided run as a trial over all the run's elements: its
// own, those of the side among the run's own.  A trial gives up at a
// costly NumPy call unless nearly all the elements are its own.
inline void add_trial(Workspace& w, const Workspace::Part& from, const std::vector<int>& picked,
                      Path path, const Lanes* inputs, std::size_t nin, const Carried& values) {
    const std::size_t count = picked.size();
    if (count == 0) return;
    double* own = w.arena.fresh();
    std::fill(own, own + from.count, 0.0);
    for (int q : picked) own[q] = 1.0;
    const std::size_t own_begin = w.owned.size();
    w.owned.insert(w.owned.end(), picked.begin(), picked.end());
    const std::size_t inputs_begin = w.inputs.size();
    w.inputs.insert(w.inputs.end(), inputs, inputs + nin);
    const std::size_t saved_begin = w.saved.size(), calls_begin = w.carried.size();
    carry(w, values, false, [](Lanes&) {});
    const bool frugal = count * 8 < from.count * 7;
    w.parts.push_back({path, from.count, from.in_block, from.begin, inputs_begin,
                       Own{own, static_cast<std::ptrdiff_t>(count), frugal}, own_begin, saved_begin,
                       w.saved.size() - saved_begin, calls_begin, w.carried.size() - calls_begin,
                       w.arena.mark()});
}

inline bool gave_up_before(const Workspace& w, Path path) {
    for (const Path& p : w.costly) {
        if (p.bits == path.bits && p.length == path.length) return true;
    }
    return false;
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

// `apart`: whether the output lies apart from every input.  Where it lies
// over one read in place, a part writes its elements' results while
// another has still to read that input: sides are then not tried over all
// of a run's elements, and a part's inputs and values are gathered at once.
template <class Body, std::size_t N, std::size_t... In>
void run_block(Workspace& w, char* const* args, const Py_intptr_t* steps, Py_intptr_t start,
               int size, bool apart) {
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
    w.owned.clear();
    w.parts.push_back({Path{}, static_cast<std::size_t>(size), true, 0, Workspace::no_inputs, Own{},
                       0, 0, 0, 0, 0, Arena::Mark{0, 0}});
    while (!w.parts.empty()) {
        const Workspace::Part part = w.parts.back();
        w.parts.pop_back();
        w.arena.reset(part.arena_mark);
        // Room for both sides of a split, so that `at` stays valid.
        w.positions.reserve(w.positions.size() + part.count);
        const bool whole_block = part.inputs_begin == Workspace::no_inputs;
        const bool trial = part.own.mask != nullptr;
        const int* at = part.in_block ? nullptr : w.positions.data() + part.begin;
        auto position = [at, start](std::ptrdiff_t q) { return start + (at ? at[q] : q); };
        const auto n = static_cast<std::ptrdiff_t>(part.count);
        std::array<Lanes, N> parameters{};   // the ones the ufunc drops stay opaque
        std::array<Lanes, nin> given{};
        for (std::size_t j = 0; j < nin; ++j) {
            if (!whole_block) {
                given[j] = w.inputs[part.inputs_begin + j];   // a part's: as its parent had it
            } else {
                const double* a;
                if (steps[j] == sizeof(double)) {
                    a = &element(args[j], steps[j], start);   // read in place
                } else {
                    double* v = w.arena.fresh();
                    for (std::ptrdiff_t q = 0; q < n; ++q) v[q] = element(args[j], steps[j], start + q);
                    a = v;
                }
                // An input with one value for all the block's elements (a
                // broadcast one, or a day along its minutes) is that one
                // float64 scalar: what depends on it alone is computed once.
                given[j] = same_everywhere(a, n)
                               ? BlockFrame::uniform(direct::number(Num::Kind::np_float64, a[0]))
                               : BlockFrame::elements(Num::Kind::np_float64, a);
            }
            parameters[used[j]] = given[j];
        }
        w.calls.assign(w.carried.begin() + part.calls_begin,
                       w.carried.begin() + part.calls_begin + part.calls_count);
        BlockFrame f(w.arena, n, part.path, w.saved.data() + part.saved_begin, part.saved_count,
                     w.record, w.calls, given.data(), nin, part.own);
        Lanes r;
        bool again = false;   // the trial does not stand: the side runs on its own elements
        {
            std::optional<direct::FlagsTrial> flags;
            if (trial) flags.emplace();
            try {
                r = std::apply([&f](const auto&... p) { return Body::body(f, p...); }, parameters);
                if (r.kind() == Num::Kind::boolean || r.kind() == Num::Kind::table) throw Uncovered{};
            } catch (const Uncovered&) {
                if (!trial) {
                    for (std::ptrdiff_t q = 0; q < n; ++q) {
                        element(out, out_step, position(q)) = std::numeric_limits<double>::quiet_NaN();
                    }
                    std::feraiseexcept(FE_INVALID);
                    continue;
                }
                again = true;
            } catch (const Abandoned&) {
                if (w.costly.size() < 64) w.costly.push_back(part.path);
                again = true;
            }
            if (trial) again = again || flags->raised() || f.stopped() == Stop::errors;
        }   // a trial's flags are dropped here: those raised before it are back
        const int* const mine = w.owned.data() + part.own_begin;
        if (again) {
            std::vector<int>& own = w.picked[0];
            own.assign(mine, mine + part.own.count);
            w.arena.reset(part.arena_mark);
            add_part(w, part, own, part.path, given.data(), nin,
                     {w.saved, part.saved_begin, part.saved_count, w.carried, part.calls_begin,
                      part.calls_count}, !apart);
            continue;
        }
        // What the run computed, for the parts it leaves.
        const Carried run{w.record, 0, w.record.size(), w.calls, 0, w.calls.size()};
        switch (f.stopped()) {
        case Stop::none:
            r = f.ready(r);
            if (trial) {
                for (std::ptrdiff_t j = 0; j < part.own.count; ++j) {
                    element(out, out_step, position(mine[j])) = r.v ? r.v[mine[j]] : r.uniform.d;
                }
            } else if (whole_block && out_step == sizeof(double)) {
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
        case Stop::split: {
            sides(w, f.mask(), n, part.own);
            for (const bool side : {false, true}) {
                const Path path = f.taken().with(side);
                // A side with fewer than half the elements is cheaper gathered.
                const bool most = w.picked[side].size() * 2 >= static_cast<std::size_t>(n);
                if (apart && most && !gave_up_before(w, path)) {
                    add_trial(w, part, w.picked[side], path, given.data(), nin, run);
                } else {
                    add_part(w, part, w.picked[side], path, given.data(), nin, run, !apart);
                }
            }
            break;
        }
        case Stop::errors:
            // Elements whose scalar call raises: NaN, and the invalid flag.
            // The others' inputs and values are gathered first: read in
            // place, an input may lie where these NaNs go (out= a view of
            // it a few elements behind).  (Not a trial: it runs again.)
            sides(w, f.mask(), n, part.own);
            add_part(w, part, w.picked[0], f.taken(), given.data(), nin, run, !apart);
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

// Whether the output shares a byte with any input.
inline bool output_over_inputs(char* const* args, const Py_intptr_t* steps, Py_intptr_t count,
                               std::size_t nin) {
    const auto [out_first, out_last] = extent(reinterpret_cast<std::uintptr_t>(args[nin]), steps[nin], count);
    for (std::size_t j = 0; j < nin; ++j) {
        const auto [first, last] = extent(reinterpret_cast<std::uintptr_t>(args[j]), steps[j], count);
        if (first < out_last && out_first < last) return true;
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
    const bool apart = !output_over_inputs(args, steps, count, nin);
    workspace.costly.clear();
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
        run_block<Body, N, In...>(workspace, args, steps, start, static_cast<int>(done), apart);
    }
    if (main_thread) signals::elements_since_look += done;
}

}  // namespace klimora::blocks

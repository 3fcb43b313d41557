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
#include <bit>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <limits>
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
            parameters[used[j]] = BlockFrame::elements(Num::Kind::np_float64, arrays[j]);
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
                if (r.v) std::copy(r.v, r.v + n, o);
                else std::fill(o, o + n, r.uniform.d);
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
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                if (f.mask()[q] != 0.0) {
                    element(out, out_step, position(q)) = std::numeric_limits<double>::quiet_NaN();
                }
            }
            std::feraiseexcept(FE_INVALID);
            sides(w, f.mask(), n);
            add_part(w, part, w.picked[0], f.taken(), arrays.data(), nin);
            break;
        }
    }
}

// NumPy's loop signature (PyUFuncGenericFunction).
template <class Body, std::size_t N, std::size_t... In>
void ufunc_loop(char** args, const Py_intptr_t* dimensions, const Py_intptr_t* steps, void*) {
    thread_local Workspace workspace;
    const Py_intptr_t count = dimensions[0];
    for (Py_intptr_t start = 0; start < count; start += block_size) {
        const int size = static_cast<int>(std::min<Py_intptr_t>(block_size, count - start));
        run_block<Body, N, In...>(workspace, args, steps, start, size);
    }
}

}  // namespace klimora::blocks

// The float64 loop that NumPy calls for a function's ufunc: the body run on
// blocks of elements (blocks.hpp), without the GIL.
#pragma once

#include "frame/blocks.hpp"

#include <algorithm>
#include <array>
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
    // The elements of the parts still to run, as positions in the block:
    // each part is a run of `positions`.
    struct Part {
        Path path;
        std::size_t begin, count;
    };
    std::vector<Part> parts;
    std::vector<int> positions;
};

inline double& element(char* base, Py_intptr_t step, Py_intptr_t i) {
    return *reinterpret_cast<double*>(base + i * step);
}

// Elements whose scalar call raises: NaN, and the invalid flag.
inline void fail(char* out, Py_intptr_t step, Py_intptr_t at) {
    element(out, step, at) = std::numeric_limits<double>::quiet_NaN();
    std::feraiseexcept(FE_INVALID);
}

template <class Body, std::size_t N, std::size_t... In>
void run_block(Workspace& w, char* const* args, const Py_intptr_t* steps, Py_intptr_t start,
               int size) {
    constexpr std::size_t nin = sizeof...(In);
    constexpr std::size_t used[] = {In...};
    char* const out = args[nin];
    const Py_intptr_t out_step = steps[nin];
    w.parts.clear();
    w.positions.resize(size);
    for (int i = 0; i < size; ++i) w.positions[i] = i;
    w.parts.push_back({Path{}, 0, static_cast<std::size_t>(size)});
    while (!w.parts.empty()) {
        const Workspace::Part part = w.parts.back();
        w.parts.pop_back();
        w.arena.reset();
        // Room for both halves of a split, so `at` stays valid.
        w.positions.reserve(w.positions.size() + part.count);
        const int* at = w.positions.data() + part.begin;
        const auto n = static_cast<std::ptrdiff_t>(part.count);
        BlockFrame f(w.arena, n, part.path);
        std::array<Lanes, N> parameters{};   // the ones the ufunc drops stay opaque
        for (std::size_t j = 0; j < nin; ++j) {
            double* v = f.fresh();
            for (std::ptrdiff_t q = 0; q < n; ++q) v[q] = element(args[j], steps[j], start + at[q]);
            parameters[used[j]] = BlockFrame::elements(Num::Kind::np_float64, v);
        }
        auto keep = [&](const double* mask, bool value, Path path) {
            const std::size_t begin = w.positions.size();
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                if ((mask[q] != 0.0) == value) w.positions.push_back(at[q]);
            }
            if (w.positions.size() > begin) w.parts.push_back({path, begin, w.positions.size() - begin});
        };
        try {
            const Lanes r = std::apply([&f](const auto&... p) { return Body::body(f, p...); }, parameters);
            if (r.kind() == Num::Kind::boolean || r.kind() == Num::Kind::table) throw Uncovered{};
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                element(out, out_step, start + at[q]) = r.v ? r.v[q] : r.uniform.d;
            }
        } catch (const Split& s) {
            keep(s.truth, false, s.path.with(false));
            keep(s.truth, true, s.path.with(true));
        } catch (const ElementErrors& e) {
            for (std::ptrdiff_t q = 0; q < n; ++q) {
                if (e.failed[q] != 0.0) fail(out, out_step, start + at[q]);
            }
            keep(e.failed, false, e.path);
        } catch (const Uncovered&) {
            for (std::ptrdiff_t q = 0; q < n; ++q) fail(out, out_step, start + at[q]);
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

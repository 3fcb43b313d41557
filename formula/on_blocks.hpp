// Evaluating formulas on blocks of float64 elements: the ufunc loops.
//
// A ufunc loop cuts its elements into blocks that stay in cache and runs the
// body once per block, every step a dense loop over the block's elements
// and every NumPy function one run of NumPy's own float64 loop.  Element i
// of the result is what the body gives on element i's NumPy float64 scalars.
//
// Where a condition divides a block (some elements take the branch, others
// not), the run stops there and the body runs on for each side, with the
// decisions so far fixed and the values computed so far carried over
// (ufunc_loop.hpp): first as a trial over all the elements, keeping its own
// elements' values only where no flag was raised, else on its own elements
// alone, gathered densely.  So every element's value and flags are those
// of the steps its own scalar call takes.  An element whose scalar call
// raises (int() of NaN, say) leaves the run with NaN and the invalid flag.
//
// Values are kinds as on the direct path (Num): a constant, or what is
// computed from constants alone, is one Num for every element; anything
// that depends on an element is a dense array of the block's elements.
#pragma once

#include "formula/on_doubles.hpp"
#include "formula/notation.hpp"
#include "formula/numpy_kernels.hpp"

#include <array>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace klimora {

struct Lanes {
    Num uniform;                 // the kind; the value too, when it serves every element
    const double* v = nullptr;   // one value per element, or null
    // Not gathered yet: element i's value is v[pick[i]], v being the
    // values of the run that this part's elements came from.
    const int* pick = nullptr;

    Num::Kind kind() const { return uniform.kind; }
};

namespace formula {
template <> struct is_value<Lanes> : std::true_type {};
}  // namespace formula

namespace blocks {

inline constexpr int block_size = 1024;

// Buffers of one block's elements, and lists of positions in it.  A run
// takes them from the top; a part still to run keeps its own below, and
// the top goes back to the part's mark when it runs.  Each buffer lies
// apart from the others (see numpy_kernels::run_kernel).
class Arena {
public:
    double* fresh() {
        if (used_ == buffers_.size()) {
            buffers_.push_back(std::make_unique<Buffer>());
        }
        return buffers_[used_++]->values;
    }
    int* fresh_positions() {
        if (lists_used_ == lists_.size()) {
            lists_.push_back(std::make_unique<int[]>(block_size));
        }
        return lists_[lists_used_++].get();
    }
    struct Mark {
        std::size_t buffers, lists;
    };
    Mark mark() const { return {used_, lists_used_}; }
    void reset(Mark mark) {
        used_ = mark.buffers;
        lists_used_ = mark.lists;
    }
    void reset() { reset(Mark{0, 0}); }

private:
    struct alignas(64) Buffer {
        double values[block_size];
        double gap[8];
    };
    std::vector<std::unique_ptr<Buffer>> buffers_;
    std::size_t used_ = 0;
    std::vector<std::unique_ptr<int[]>> lists_;
    std::size_t lists_used_ = 0;
};

// The decisions of the conditions met so far, in order (at most 32).
struct Path {
    std::uint32_t bits = 0;
    int length = 0;
    bool decision(int i) const { return (bits >> i) & 1u; }
    Path with(bool d) const { return {bits | (d ? 1u << length : 0u), length + 1}; }
};

// A statement's value, kept for the runs of a block's parts: statements
// are numbered in the order they start (a nested body's inside its
// caller's), `next` is the number after the last one it contains, and
// `decisions` the conditions decided inside it.
struct Saved {
    Lanes value;
    int next = 0;
    bool done = false;
    int decisions = 0;
};

// A nested function's value for its arguments, so that a second call with
// the same ones (the equation of time, twice in solar time) is not made
// again: it would give the same values and raise the same flags.  An
// argument is known by the parameter it is, by its value where it is one
// for all elements, or (within one run only) by its array.  Only calls that
// decide no condition are kept, and a call not made again still counts its
// statements, so that every run numbers its statements alike.
struct CallKey {
    static constexpr int most = 4;
    const void* callee = nullptr;
    int count = 0;
    std::array<int, most> parameter{};          // -1: a constant; -2: another array
    std::array<std::uint64_t, most> bits{};     // the constant, or the array's address
    std::array<std::uintptr_t, most> pick{};    // and where its elements are taken from
    std::array<Num::Kind, most> kind{};

    bool operator==(const CallKey&) const = default;
    bool lasts() const {   // holds in the runs of the parts too
        for (int i = 0; i < count; ++i) {
            if (parameter[i] == -2) return false;
        }
        return true;
    }
};

struct CallValue {
    CallKey key;
    Lanes value;
    int statements = 0;
};

// A NumPy function's values on a run's elements, by its arguments (each an
// array of the run, or one value for all): the body may call it again on
// the same (np.cos(np.radians(z)) twice in one formula), and gets the same
// values, having raised the same flags.
struct Computed {
    numpy_kernels::Ufunc ufunc{};
    std::array<const double*, 2> arrays{};
    std::array<std::uint64_t, 2> bits{};
    const double* values = nullptr;

    bool same_call(const Computed& o) const {
        return ufunc == o.ufunc && arrays == o.arrays && bits == o.bits;
    }
};

// Why a run stopped before the body's end.
enum class Stop {
    none,
    split,    // a condition divides the elements: `mask` holds its truth
    errors,   // some elements' scalar calls raise here: `mask` holds 1 for those
};

// A step the ufunc loops do not cover.  The bodies have none; the tests
// run every body over every kind of element to keep it so.
struct Uncovered {};

// A trial run over more elements than its own (ufunc_loop.hpp) gives up at
// a costly NumPy call: the part runs again on its own elements alone.
struct Abandoned {};

// The elements a run is for.  A trial runs over all the elements of the
// part it came from, `own` marking its own (1.0) among them; the others'
// values are computed and thrown away.
struct Own {
    const double* mask = nullptr;   // null: every element is the run's own
    std::ptrdiff_t count = 0;
    bool frugal = false;            // give up at a costly NumPy call

    bool is(std::ptrdiff_t i) const { return mask == nullptr || mask[i] != 0.0; }
};

// The loops over a block's elements are built for the widest vectors the
// machine has: IEEE arithmetic gives the same bits at any width (and no
// multiply-add is ever contracted).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
#define KLIMORA_WIDEST __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KLIMORA_WIDEST
#endif

// to[j] = from[pick[j]]
KLIMORA_WIDEST inline double* gather(double* to, const double* from, const int* pick, std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) to[j] = from[pick[j]];
    return to;
}

}  // namespace blocks

class BlockFrame {
public:
    // `calls` holds the calls carried into this run; `parameters`, the
    // values of the parameters the ufunc takes.
    BlockFrame(blocks::Arena& arena, std::ptrdiff_t n, blocks::Path known,
               const blocks::Saved* saved, std::size_t saved_count,
               std::vector<blocks::Saved>& record, std::vector<blocks::CallValue>& calls,
               const Lanes* parameters, std::size_t parameter_count,
               blocks::Own own = {})
        : arena_(arena), n_(n), known_(known), saved_(saved), saved_count_(saved_count),
          record_(record), calls_(calls), parameters_(parameters),
          parameter_count_(parameter_count), own_(own) {
        record_.clear();
        if (own_.mask == nullptr) own_.count = n;
    }

    template <std::size_t N>
    blocks::CallKey key_of(const void* callee, const std::array<Lanes, N>& args) const {
        static_assert(N <= blocks::CallKey::most);
        blocks::CallKey key;
        key.callee = callee;
        key.count = static_cast<int>(N);
        for (std::size_t i = 0; i < N; ++i) {
            key.kind[i] = args[i].kind();
            if (args[i].v == nullptr) {
                key.parameter[i] = -1;
                key.bits[i] = std::bit_cast<std::uint64_t>(args[i].uniform.d);
                continue;
            }
            key.parameter[i] = -2;
            key.bits[i] = reinterpret_cast<std::uintptr_t>(args[i].v);
            key.pick[i] = reinterpret_cast<std::uintptr_t>(args[i].pick);
            for (std::size_t j = 0; j < parameter_count_; ++j) {
                if (parameters_[j].v == args[i].v && parameters_[j].pick == args[i].pick) {
                    key.parameter[i] = static_cast<int>(j);
                    key.bits[i] = 0;
                    key.pick[i] = 0;
                }
            }
        }
        return key;
    }
    const blocks::CallValue* recall(const blocks::CallKey& key) {
        for (const blocks::CallValue& c : calls_) {
            if (c.key == key) {
                next_ += c.statements;
                return &c;
            }
        }
        return nullptr;
    }
    // Where a call starts: its first statement's number and the decisions so far.
    std::pair<int, int> mark() const { return {next_, depth_}; }
    void remember(const blocks::CallKey& key, const Lanes& value, std::pair<int, int> start) {
        if (stop_ == blocks::Stop::none && depth_ == start.second) {
            calls_.push_back({key, value, next_ - start.first});
        }
    }

    // A statement: its value from an earlier run of these elements, or
    // evaluated now and kept for the runs to come.
    template <class E>
    Lanes operator()(int, const E& expression) {
        const int k = next_++;
        if (static_cast<std::size_t>(k) < saved_count_ && saved_[k].done) {
            next_ = saved_[k].next;
            depth_ += saved_[k].decisions;
            keep(k, saved_[k]);
            return saved_[k].value;
        }
        const int depth = depth_;
        Lanes value = evaluate(*this, formula::node(expression));
        keep(k, {value, next_, true, depth_ - depth});
        return value;
    }

    // A decision fixed before this run is not evaluated again: its operands
    // were evaluated, on these very elements, in the run that divided them.
    // A condition that divides them stops the run: what the body does after
    // that is done on no elements at all.
    template <class E>
    bool test(int, const E& condition) {
        if (stop_ != blocks::Stop::none) return false;
        if (depth_ < known_.length) return known_.decision(depth_++);
        Lanes c = evaluate(*this, formula::node(condition));
        if (c.kind() != Num::Kind::boolean) throw blocks::Uncovered{};
        bool decision = c.uniform.d != 0.0;
        if (c.v != nullptr) {
            // Only the run's own elements decide.
            std::ptrdiff_t count = 0;
            if (own_.mask == nullptr) {
                for (std::ptrdiff_t i = 0; i < n_; ++i) count += c.v[i] != 0.0;
            } else {
                for (std::ptrdiff_t i = 0; i < n_; ++i) count += (c.v[i] != 0.0) & (own_.mask[i] != 0.0);
            }
            if (count != 0 && count != own_.count) {
                stop(blocks::Stop::split, c.v);
                return false;
            }
            decision = count != 0;
        }
        known_ = known_.with(decision);
        ++depth_;
        return decision;
    }

    // Stops the run if any of its own elements in `failed` (1 or 0 each)
    // is set.  The others run on with what the step gave them.
    void fail_elements(const double* failed) {
        if (stop_ != blocks::Stop::none) return;
        for (std::ptrdiff_t i = 0; i < n_; ++i) {
            if (failed[i] != 0.0 && own_.is(i)) {
                stop(blocks::Stop::errors, failed);
                return;
            }
        }
    }

    std::ptrdiff_t size() const { return n_; }
    double* fresh() { return arena_.fresh(); }

    // `x` with its values at hand: gathered now if they are not yet (once
    // in a run for each array and pick).
    Lanes ready(const Lanes& x) {
        if (x.pick == nullptr) return x;
        for (std::size_t i = 0; i < gathered_count_; ++i) {
            if (gathered_[i].from == x.v && gathered_[i].pick == x.pick) {
                return Lanes{x.uniform, gathered_[i].values, nullptr};
            }
        }
        double* values = blocks::gather(fresh(), x.v, x.pick, static_cast<std::size_t>(n_));
        if (gathered_count_ < gathered_.size()) gathered_[gathered_count_++] = {x.v, x.pick, values};
        return Lanes{x.uniform, values, nullptr};
    }
    // A trial gives up before a costly NumPy call.
    void costly_call() const {
        if (own_.frugal) throw blocks::Abandoned{};
    }

    // The values of a NumPy call made before in this run, or null.
    const double* computed(const blocks::Computed& call) const {
        for (std::size_t i = 0; i < computed_count_; ++i) {
            if (computed_[i].same_call(call)) return computed_[i].values;
        }
        return nullptr;
    }
    void keep_computed(const blocks::Computed& call) {
        if (computed_count_ < computed_.size()) computed_[computed_count_++] = call;
    }

    blocks::Stop stopped() const { return stop_; }
    const double* mask() const { return mask_; }
    std::ptrdiff_t elements_run() const { return elements_; }
    // The decisions taken before the run stopped.
    blocks::Path taken() const { return {known_.bits, depth_}; }

    static Lanes uniform(const Num& n) { return Lanes{n, nullptr}; }
    static Lanes elements(Num::Kind kind, const double* v) {
        Num n;
        n.kind = kind;
        return Lanes{n, v};
    }

private:
    void keep(int k, const blocks::Saved& s) {
        if (stop_ != blocks::Stop::none) return;
        if (record_.size() <= static_cast<std::size_t>(k)) record_.resize(k + 1);
        record_[k] = s;
    }

    void stop(blocks::Stop why, const double* mask) {
        stop_ = why;
        mask_ = mask;
        elements_ = n_;
        n_ = 0;
    }

    blocks::Arena& arena_;
    std::ptrdiff_t n_;
    std::ptrdiff_t elements_ = 0;
    blocks::Path known_;
    int depth_ = 0;
    const blocks::Saved* saved_;
    std::size_t saved_count_;
    std::vector<blocks::Saved>& record_;
    std::vector<blocks::CallValue>& calls_;
    const Lanes* parameters_;
    std::size_t parameter_count_;
    struct Gathered {
        const double* from;
        const int* pick;
        const double* values;
    };
    std::array<Gathered, 16> gathered_{};
    std::size_t gathered_count_ = 0;
    int next_ = 0;
    blocks::Stop stop_ = blocks::Stop::none;
    const double* mask_ = nullptr;
    blocks::Own own_;
    std::array<blocks::Computed, 16> computed_{};
    std::size_t computed_count_ = 0;
};

namespace blocks {

// The one Num of a constant, or what constants alone give, as the direct
// path computes it.  Anything the direct path would not compute (there is
// nothing of the kind in the bodies) is uncovered.
inline Num settled(DirectFrame& d, const Num& n) {
    if (d.failed()) throw Uncovered{};
    return n;
}

template <class Op>
KLIMORA_WIDEST void each_vv(const double* a, const double* b, double* r, std::ptrdiff_t n, Op op) {
    for (std::ptrdiff_t i = 0; i < n; ++i) r[i] = op(a[i], b[i]);
}
template <class Op>
KLIMORA_WIDEST void each_vu(const double* a, double y, double* r, std::ptrdiff_t n, Op op) {
    for (std::ptrdiff_t i = 0; i < n; ++i) r[i] = op(a[i], y);
}
template <class Op>
KLIMORA_WIDEST void each_uv(double x, const double* b, double* r, std::ptrdiff_t n, Op op) {
    for (std::ptrdiff_t i = 0; i < n; ++i) r[i] = op(x, b[i]);
}

// Values of `x` for every element: its own array, or the constant repeated.
inline const double* spread(BlockFrame& f, const Lanes& x) {
    if (x.v != nullptr) return x.v;
    double* v = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) v[i] = x.uniform.d;
    return v;
}

// r[i] = op(a[i], b[i]) with either side possibly one value for all.
template <class Op>
const double* each(BlockFrame& f, const Lanes& a, const Lanes& b, Op op) {
    double* r = f.fresh();
    if (a.v && b.v) each_vv(a.v, b.v, r, f.size(), op);
    else if (a.v) each_vu(a.v, b.uniform.d, r, f.size(), op);
    else each_uv(a.uniform.d, b.v, r, f.size(), op);
    return r;
}

// A comparison as NumPy's scalars make it: NaN compares false (unequal)
// and raises no flag.  GCC vectorises an ordered compare of doubles into a
// signalling one, which raises the invalid flag for NaN however the source
// guards it, so order is decided on the bits: for numbers other than NaN
// (and with -0.0 made +0.0), flipping the magnitude bits of negatives
// gives integers in the doubles' order.
inline bool is_nan(double x) {
    return (std::bit_cast<std::uint64_t>(x) & 0x7fffffffffffffffu) > 0x7ff0000000000000u;
}
inline std::int64_t order_key(double x) {
    const auto b = std::bit_cast<std::int64_t>(x + 0.0);
    return b ^ ((b >> 63) & 0x7fffffffffffffff);
}

template <formula::Op O>
inline bool compare(double p, double q) {
    using formula::Op;
    if constexpr (O == Op::eq) {
        return p == q;
    } else if constexpr (O == Op::ne) {
        return p != q;
    } else {
        if (is_nan(p) || is_nan(q)) return false;
        const std::int64_t x = order_key(p), y = order_key(q);
        if constexpr (O == Op::lt) return x < y;
        else if constexpr (O == Op::le) return x <= y;
        else if constexpr (O == Op::gt) return x > y;
        else return x >= y;
    }
}

// The kind of a + - * / on two kinds, as Python and NumPy scalars decide it.
template <formula::Op O>
Num::Kind arithmetic_kind(Num::Kind a, Num::Kind b) {
    using K = Num::Kind;
    Num x, y;
    x.kind = a;
    y.kind = b;
    if (!direct::is_numeric(x) || !direct::is_numeric(y)) throw Uncovered{};
    if (direct::is_numpy(x) || direct::is_numpy(y)) {
        if (direct::is_integer(x) && direct::is_integer(y) && O != formula::Op::div) throw Uncovered{};
        return K::np_float64;
    }
    if (a == K::py_int && b == K::py_int && O != formula::Op::div) return K::py_int;
    return K::py_float;
}

}  // namespace blocks

// ---- leaves ---------------------------------------------------------------

inline Lanes evaluate(BlockFrame& f, const formula::Local<Lanes>& x) { return f.ready(x.value); }

template <long long V>
Lanes evaluate(BlockFrame&, const formula::Int<V>&) {
    return BlockFrame::uniform(direct::whole(Num::Kind::py_int, static_cast<double>(V)));
}

template <double V>
Lanes evaluate(BlockFrame&, const formula::Float<V>&) {
    return BlockFrame::uniform(direct::number(Num::Kind::py_float, V));
}

inline Lanes evaluate(BlockFrame&, const formula::TrueObject&) {
    return BlockFrame::uniform(direct::boolean(true));
}

template <Text S>
Lanes evaluate(BlockFrame&, const formula::NumpyAttribute<S>&) {
    static_assert(std::string_view(S.chars) == "pi", "only np.pi is read as a value");
    return BlockFrame::uniform(direct::number(Num::Kind::py_float, numpy_kernels::pi()));
}

// ---- operators --------------------------------------------------------------

namespace blocks {

// Trees of + - * / and negation over float64 locals and Python constants:
// one loop computes each element's value through the whole tree, in
// registers, where one loop a node would stream each node's values through
// the cache.  Every node is the same IEEE operation on the same operands in
// either case, so the bits and the flags are the same.  A tree of constants
// alone is computed here as Python computes it, which it is for these
// constants: small exact ints (a kept int stays below 2^53), no division by
// a zero and no negated int 0 (that is 0, not -0.0).
template <class E> struct Arithmetic {   // any other node: a call, a comparison
    static constexpr bool pure = false, constant = false, integer = false;
    static constexpr int locals = 0;
    static constexpr double value = 0.0;
};
template <> struct Arithmetic<formula::Local<Lanes>> {
    static constexpr bool pure = true, constant = false, integer = false;
    static constexpr int locals = 1;
    static constexpr double value = 0.0;
};
template <long long V> struct Arithmetic<formula::Int<V>> {
    static constexpr bool pure = true, constant = true, integer = true;
    static constexpr int locals = 0;
    static constexpr double value = static_cast<double>(V);
};
template <double V> struct Arithmetic<formula::Float<V>> {
    static constexpr bool pure = true, constant = true, integer = false;
    static constexpr int locals = 0;
    static constexpr double value = V;
};
template <> struct Arithmetic<formula::NumpyAttribute<"pi">> {   // read at start-up
    static constexpr bool pure = true, constant = false, integer = false;
    static constexpr int locals = 0;
    static constexpr double value = 0.0;
};
template <formula::Op O, class L, class R> struct Arithmetic<formula::Binary<O, L, R>> {
    using A = Arithmetic<L>;
    using B = Arithmetic<R>;
    static constexpr bool operands = formula::is_arithmetic(O) && A::pure && B::pure;
    static constexpr bool constant = operands && A::constant && B::constant;
    static constexpr bool integer = constant && A::integer && B::integer && O != formula::Op::div;
    static constexpr double value = [] {
        if constexpr (!constant) {
            return 0.0;
        } else if constexpr (O == formula::Op::add) {
            return A::value + B::value;
        } else if constexpr (O == formula::Op::sub) {
            return A::value - B::value;
        } else if constexpr (O == formula::Op::mul) {
            return A::value * B::value;
        } else {
            return B::value == 0.0 ? 0.0 : A::value / B::value;
        }
    }();
    // A constant that raises no flag at run time: finite, and neither an
    // int beyond 2^53 nor a product or quotient that underflows.
    static constexpr bool quiet = !constant ||
        (value - value == 0.0 && !(O == formula::Op::div && B::value == 0.0) &&
         !(integer && (value > 9007199254740992.0 || value < -9007199254740992.0)) &&
         !((O == formula::Op::mul || O == formula::Op::div) &&
           (value < 2.2250738585072014e-308 && value > -2.2250738585072014e-308) &&
           A::value != 0.0));
    static constexpr bool pure = operands && quiet;
    static constexpr int locals = A::locals + B::locals;
};
template <class X> struct Arithmetic<formula::Negative<X>> {
    using A = Arithmetic<X>;
    static constexpr bool constant = A::pure && A::constant;
    static constexpr bool integer = constant && A::integer;
    static constexpr double value = constant ? -A::value : 0.0;
    static constexpr bool pure = A::pure && !(integer && A::value == 0.0);
    static constexpr int locals = A::locals;
};

template <class E> inline constexpr bool fusable = Arithmetic<E>::pure && Arithmetic<E>::locals > 0;

namespace checks {
using formula::Binary, formula::Float, formula::Int, formula::Local, formula::Negative, formula::Op;
using X = Local<Lanes>;
static_assert(fusable<Binary<Op::mul, X, Binary<Op::sub, Int<1>, Binary<Op::div, X, Int<8>>>>>);
static_assert(Arithmetic<Binary<Op::div, Int<1>, Int<3>>>::value == 1.0 / 3.0);
// Constants that would raise a flag, or that Python keeps apart from a double, are not fused.
static_assert(!fusable<Binary<Op::add, X, Binary<Op::mul, Float<1e-200>, Float<1e-200>>>>);
static_assert(!fusable<Binary<Op::add, X, Binary<Op::div, Int<1>, Int<0>>>>);
static_assert(!fusable<Binary<Op::add, X, Binary<Op::mul, Int<(1LL << 40)>, Int<(1LL << 20)>>>>);
static_assert(!fusable<Binary<Op::add, X, Negative<Int<0>>>>);
static_assert(!fusable<Binary<Op::lt, X, X>>);
}  // namespace checks

// The tree's locals, left to right.
template <std::size_t K, class E, std::size_t N>
void collect(const E& e, std::array<const Lanes*, N>& locals) {
    if constexpr (std::is_same_v<E, formula::Local<Lanes>>) {
        locals[K] = &e.value;
    } else if constexpr (requires { e.left; }) {
        collect<K>(e.left, locals);
        collect<K + Arithmetic<std::decay_t<decltype(e.left)>>::locals>(e.right, locals);
    } else if constexpr (requires { e.operand; }) {
        collect<K>(e.operand, locals);
    }
}

// Element i of the tree, its locals' values at `values` (local K first).
template <std::size_t K, class X, std::size_t N>
    requires(!Arithmetic<formula::Negative<X>>::constant)
double at(const formula::Negative<X>& e, const std::array<const double*, N>& values,
          double pi, std::ptrdiff_t i);
template <std::size_t K, std::size_t N>
inline double at(const formula::Local<Lanes>&, const std::array<const double*, N>& values,
                 double, std::ptrdiff_t i) {
    return values[K][i];
}
template <std::size_t K, std::size_t N>
inline double at(const formula::NumpyAttribute<"pi">&, const std::array<const double*, N>&,
                 double pi, std::ptrdiff_t) {
    return pi;
}
template <std::size_t K, class C, std::size_t N>
    requires Arithmetic<C>::constant
inline double at(const C&, const std::array<const double*, N>&, double, std::ptrdiff_t) {
    return Arithmetic<C>::value;
}
template <std::size_t K, formula::Op O, class L, class R, std::size_t N>
    requires(!Arithmetic<formula::Binary<O, L, R>>::constant)
inline double at(const formula::Binary<O, L, R>& e, const std::array<const double*, N>& values,
                 double pi, std::ptrdiff_t i) {
    return direct::ieee<O>(at<K>(e.left, values, pi, i),
                           at<K + Arithmetic<L>::locals>(e.right, values, pi, i));
}
template <std::size_t K, class X, std::size_t N>
    requires(!Arithmetic<formula::Negative<X>>::constant)
inline double at(const formula::Negative<X>& e, const std::array<const double*, N>& values,
                 double pi, std::ptrdiff_t i) {
    return -at<K>(e.operand, values, pi, i);   // float64: no int here, so no -0 to mend
}

template <class E, std::size_t N>
KLIMORA_WIDEST void each_element(const E& e, const std::array<const double*, N>& values,
                                 double pi, double* __restrict r, std::ptrdiff_t n) {
    for (std::ptrdiff_t i = 0; i < n; ++i) r[i] = at<0>(e, values, pi, i);
}

// The tree's values in one loop, or null where it is not one of float64
// values: a local of another kind (an int, a table), or none that varies.
template <class E>
const double* fused(BlockFrame& f, const E& e) {
    constexpr std::size_t N = Arithmetic<E>::locals;
    std::array<const Lanes*, N> locals{};
    collect<0>(e, locals);
    bool varies = false;
    for (const Lanes* x : locals) {
        if (x->kind() != Num::Kind::np_float64) return nullptr;
        varies = varies || x->v != nullptr;
    }
    if (!varies) return nullptr;
    std::array<const double*, N> values;
    for (std::size_t k = 0; k < N; ++k) values[k] = spread(f, f.ready(*locals[k]));
    double* r = f.fresh();
    each_element(e, values, numpy_kernels::pi(), r, f.size());
    return r;
}

}  // namespace blocks

template <formula::Op O, class L, class R>
Lanes evaluate(BlockFrame& f, const formula::Binary<O, L, R>& e) {
    using formula::Op;
    using K = Num::Kind;
    if constexpr (blocks::fusable<formula::Binary<O, L, R>>) {
        if (const double* r = blocks::fused(f, e)) return BlockFrame::elements(K::np_float64, r);
    }
    Lanes a = evaluate(f, e.left);
    Lanes b = evaluate(f, e.right);
    if (!a.v && !b.v) {
        DirectFrame d;
        return BlockFrame::uniform(blocks::settled(d, direct::binary<O>(d, a.uniform, b.uniform)));
    }
    if constexpr (formula::is_arithmetic(O)) {
        const K kind = blocks::arithmetic_kind<O>(a.kind(), b.kind());
        const double* r = blocks::each(f, a, b, [](double x, double y) { return direct::ieee<O>(x, y); });
        if (kind != K::np_float64) {
            // Python numbers: division by zero raises, and an int stays
            // exact (the bodies' ints are table indices).
            double* failed = f.fresh();
            const double* y = blocks::spread(f, b);
            for (std::ptrdiff_t i = 0; i < f.size(); ++i) {
                failed[i] = (O == Op::div && y[i] == 0.0) ||
                            (kind == K::py_int && !direct::exact_integer(r[i]));
            }
            f.fail_elements(failed);
            if (kind == K::py_int) {
                double* w = const_cast<double*>(r);
                for (std::ptrdiff_t i = 0; i < f.size(); ++i) w[i] += 0.0;   // no int is -0
            }
        }
        return BlockFrame::elements(kind, r);
    } else if constexpr (O == Op::bit_and) {
        if (a.kind() != K::boolean || b.kind() != K::boolean) throw blocks::Uncovered{};
        return BlockFrame::elements(K::boolean, blocks::each(f, a, b, [](double x, double y) {
            return (x != 0.0 && y != 0.0) ? 1.0 : 0.0;
        }));
    } else {
        Num x = a.uniform, y = b.uniform;
        if (!direct::is_numeric(x) || !direct::is_numeric(y)) throw blocks::Uncovered{};
        return BlockFrame::elements(K::boolean, blocks::each(f, a, b, [](double p, double q) {
            return blocks::compare<O>(p, q) ? 1.0 : 0.0;
        }));
    }
}

template <class X>
Lanes evaluate(BlockFrame& f, const formula::Negative<X>& e) {
    Lanes a = evaluate(f, e.operand);
    if (!a.v) {
        DirectFrame d;
        return BlockFrame::uniform(blocks::settled(d, direct::negative(d, a.uniform)));
    }
    if (!direct::is_numeric(a.uniform)) throw blocks::Uncovered{};
    const bool integer = direct::is_integer(a.uniform);
    double* r = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) r[i] = integer ? -a.v[i] + 0.0 : -a.v[i];
    return BlockFrame::elements(a.kind(), r);
}

// ---- NumPy calls ----------------------------------------------------------

template <double... V>
Lanes evaluate(BlockFrame&,
               const formula::Call<formula::NumpyAttribute<"array">, formula::List<formula::Float<V>...>>&) {
    static constexpr double values[] = {V...};
    Num n = direct::number(Num::Kind::table, sizeof...(V));
    n.ref = values;
    return BlockFrame::uniform(n);
}

template <Text S, class... A>
Lanes evaluate(BlockFrame& f, const formula::Call<formula::NumpyAttribute<S>, A...>& e) {
    constexpr auto ufunc = numpy_kernels::ufunc_named(S.chars);
    static_assert(ufunc.has_value(), "a NumPy function without a kernel");
    constexpr std::size_t N = sizeof...(A);
    std::array<Lanes, N> args = std::apply(
        [&f](const auto&... a) { return std::array<Lanes, N>{evaluate(f, a)...}; }, e.args);
    bool any_elements = false, all_integer = true;
    std::array<Num, N> numbers;
    for (std::size_t i = 0; i < N; ++i) {
        numbers[i] = args[i].uniform;
        if (!direct::is_numeric(numbers[i])) throw blocks::Uncovered{};
        any_elements = any_elements || args[i].v != nullptr;
        all_integer = all_integer && direct::is_integer(numbers[i]);
    }
    if (!any_elements) {
        // One value for all elements: the scalar call, on a clean slate of flags.
        DirectFrame d;
        Num r;
        {
            const direct::FlagsHeld held;
            r = direct::call<*ufunc>(d, numbers);
        }
        return BlockFrame::uniform(blocks::settled(d, r));
    }
    if (all_integer) throw blocks::Uncovered{};   // NumPy's integer loops
    blocks::Computed call;
    call.ufunc = *ufunc;
    for (std::size_t i = 0; i < std::min<std::size_t>(N, 2); ++i) {
        const Lanes& a = args[i == 0 ? 0 : N - 1];
        call.arrays[i] = a.v;
        call.bits[i] = a.v ? 0 : std::bit_cast<std::uint64_t>(a.uniform.d);
    }
    if (const double* known = f.computed(call)) return BlockFrame::elements(Num::Kind::np_float64, known);
    if constexpr (numpy_kernels::costly(*ufunc)) f.costly_call();
    double* out = f.fresh();
    const double* first = blocks::spread(f, args[0]);
    const double* second = N > 1 ? blocks::spread(f, args[N - 1]) : nullptr;
    numpy_kernels::run_block(*ufunc, first, second, out, f.size());
    call.values = out;
    f.keep_computed(call);
    return BlockFrame::elements(Num::Kind::np_float64, out);
}

// ---- subscription, int(), nested bodies -------------------------------------

template <class X, class Index>
Lanes evaluate(BlockFrame& f, const formula::Item<X, Index>& e) {
    Lanes table = evaluate(f, e.object);
    Lanes index = evaluate(f, e.index);
    if (table.v || table.kind() != Num::Kind::table || index.kind() != Num::Kind::py_int) {
        throw blocks::Uncovered{};
    }
    const double length = table.uniform.d;
    const double* at = blocks::spread(f, index);
    double* failed = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) {
        const double k = at[i] < 0 ? at[i] + length : at[i];
        failed[i] = !(blocks::compare<formula::Op::ge>(k, 0.0) &&
                      blocks::compare<formula::Op::lt>(k, length));   // IndexError
    }
    f.fail_elements(failed);
    double* r = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) {
        const double k = at[i] < 0 ? at[i] + length : at[i];
        // An element that failed is not the run's own: its value is thrown away.
        r[i] = failed[i] != 0.0 ? std::numeric_limits<double>::quiet_NaN()
                                : table.uniform.table()[static_cast<std::size_t>(k)];
    }
    return BlockFrame::elements(Num::Kind::np_float64, r);
}

template <class X>
Lanes evaluate(BlockFrame& f, const formula::Integer<X>& e) {
    Lanes x = evaluate(f, e.operand);
    if (!x.v) {
        Num whole_value = x.uniform;
        if (x.kind() != Num::Kind::py_int) {
            if (!std::isfinite(x.uniform.d)) throw blocks::Uncovered{};
            whole_value = direct::whole(Num::Kind::py_int, std::trunc(x.uniform.d));
        }
        return BlockFrame::uniform(whole_value);
    }
    if (x.kind() == Num::Kind::py_int) return x;
    if (x.kind() != Num::Kind::py_float && x.kind() != Num::Kind::np_float64) throw blocks::Uncovered{};
    // int() of NaN or an infinity raises; any finite value has an exact
    // integer part in a double.
    double* failed = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) failed[i] = !std::isfinite(x.v[i]);
    f.fail_elements(failed);
    double* r = f.fresh();
    for (std::ptrdiff_t i = 0; i < f.size(); ++i) r[i] = std::trunc(x.v[i]) + 0.0;
    return BlockFrame::elements(Num::Kind::py_int, r);
}

namespace blocks {
// An argument of a nested call: a local as it is, gathered or not (the
// call may be one made before), anything else evaluated.
template <class A>
Lanes argument(BlockFrame& f, const A& a) {
    if constexpr (std::is_same_v<A, formula::Local<Lanes>>) return a.value;
    else return evaluate(f, a);
}
}  // namespace blocks

template <class Nested, class... A>
Lanes evaluate(BlockFrame& f, const formula::NestedCall<Nested, A...>& e) {
    std::array<Lanes, sizeof...(A)> args = std::apply(
        [&f](const auto&... a) { return std::array<Lanes, sizeof...(A)>{blocks::argument(f, a)...}; },
        e.args);
    const blocks::CallKey key = f.key_of(&Nested::function, args);
    if (const blocks::CallValue* known = f.recall(key)) return f.ready(known->value);
    for (Lanes& a : args) a = f.ready(a);
    const auto start = f.mark();
    Lanes value = f.ready(std::apply([&f](const auto&... a) { return Nested::body(f, a...); }, args));
    f.remember(key, value, start);
    return value;
}

}  // namespace klimora

// The notation that function bodies are written in.
//
// A body writes each statement of its formula as a C++ expression over its
// locals, constants and NumPy attributes:
//
//     auto B = f(9, ((I<2> * np.pi) * (dayofyear - I<81>)) / I<364>);
//
// The operators here only build a small tree that mirrors the expression;
// nothing is evaluated while it is built.  The frame `f` then walks the tree
// in Python's order of evaluation (left operand before right, a callee before
// its arguments) and tags any failure with the line given.  C++ leaves the
// order of operand evaluation open; walking a tree that has no side effects
// while it is built takes that freedom away.
//
// Constants carry their Python kind: I<90> is the int 90, F<90.0> the float.
#pragma once

#include "frame/constants.hpp"
#include "frame/ref.hpp"

#include <tuple>
#include <type_traits>

namespace klimora::formula {

// Every node of a tree derives from Node<itself>: a base of its own type,
// so that an empty base never shares a type (and so an address) with its
// first member's base, and a tree of locals is no more than their addresses
// (no padding to copy when a tree is built from its subtrees).
template <class Self> struct Node {
    using node_tag = void;
};

// Types that a body holds its locals in (one per evaluation domain).
template <class T> struct is_value : std::false_type {};
template <> struct is_value<Ref> : std::true_type {};

template <class T> concept NodeType = requires { typename T::node_tag; };
template <class T> concept Operand = NodeType<T> || is_value<T>::value;

// A local or parameter of the body, by reference.
template <class V> struct Local : Node<Local<V>> { const V& value; };

template <long long V> struct Int : Node<Int<V>> { using constant = IntConstant<V>; };
template <double V> struct Float : Node<Float<V>> { using constant = FloatConstant<V>; };
struct TrueObject : Node<TrueObject> {};

template <long long V> inline constexpr Int<V> I{};
template <double V> inline constexpr Float<V> F{};
inline constexpr TrueObject True{};

template <class T>
constexpr auto node(const T& x) {
    if constexpr (NodeType<T>) return x;
    else return Local<T>{{}, x};
}
template <class T> using node_t = decltype(node(std::declval<const T&>()));

enum class Op { add, sub, mul, div, bit_and, lt, le, eq, ne, gt, ge };
constexpr bool is_arithmetic(Op o) { return o == Op::add || o == Op::sub || o == Op::mul || o == Op::div; }

template <Op O, class L, class R> struct Binary : Node<Binary<O, L, R>> {
    [[no_unique_address]] L left;
    [[no_unique_address]] R right;
};
template <class X> struct Negative : Node<Negative<X>> { [[no_unique_address]] X operand; };

#define KLIMORA_BINARY(sym, op)                                                  \
    template <Operand L, Operand R>                                              \
    constexpr auto operator sym(const L& l, const R& r) {                        \
        return Binary<Op::op, node_t<L>, node_t<R>>{{}, node(l), node(r)};       \
    }
KLIMORA_BINARY(+, add)
KLIMORA_BINARY(-, sub)
KLIMORA_BINARY(*, mul)
KLIMORA_BINARY(/, div)
KLIMORA_BINARY(&, bit_and)
KLIMORA_BINARY(<, lt)
KLIMORA_BINARY(<=, le)
KLIMORA_BINARY(==, eq)
KLIMORA_BINARY(>, gt)
KLIMORA_BINARY(>=, ge)
#undef KLIMORA_BINARY

template <Operand X>
constexpr auto operator-(const X& x) { return Negative<node_t<X>>{{}, node(x)}; }

// np.<name> as a value (np.pi), and np.<name>(args...) as a call.
template <class Fn, class... A> struct Call : Node<Call<Fn, A...>> {
    [[no_unique_address]] Fn callee;
    std::tuple<A...> args;
};

template <Text S>
struct NumpyAttribute : Node<NumpyAttribute<S>> {
    using name = Name<S>;
    template <Operand... A>
    constexpr auto operator()(const A&... a) const {
        return Call<NumpyAttribute, node_t<A>...>{{}, *this, {node(a)...}};
    }
};

// The module global `np`, read afresh at every use.
struct NumpyGlobal {
    using name = Name<"np">;
    NumpyAttribute<"pi"> pi;
    NumpyAttribute<"sin"> sin;
    NumpyAttribute<"cos"> cos;
    NumpyAttribute<"arcsin"> arcsin;
    NumpyAttribute<"arctan"> arctan;
    NumpyAttribute<"radians"> radians;
    NumpyAttribute<"degrees"> degrees;
    NumpyAttribute<"exp"> exp;
    NumpyAttribute<"power"> power;
    NumpyAttribute<"sqrt"> sqrt;
    NumpyAttribute<"maximum"> maximum;
    NumpyAttribute<"trunc"> trunc;
    NumpyAttribute<"mod"> mod;
    NumpyAttribute<"array"> array;
};
inline constexpr NumpyGlobal np{};

// A direct run of a nested function's body (no call through an object).
template <class Nested, class... A> struct NestedCall : Node<NestedCall<Nested, A...>> {
    std::tuple<A...> args;
};
template <class Nested, Operand... A>
constexpr auto nested(const A&... a) {
    return NestedCall<Nested, node_t<A>...>{{}, {node(a)...}};
}

// x[i]
template <class X, class Index> struct Item : Node<Item<X, Index>> {
    [[no_unique_address]] X object;
    [[no_unique_address]] Index index;
};
template <Operand X, Operand Index>
constexpr auto item(const X& x, const Index& i) {
    return Item<node_t<X>, node_t<Index>>{{}, node(x), node(i)};
}

// int(x), leaving an exact int as it is.
template <class X> struct Integer : Node<Integer<X>> { [[no_unique_address]] X operand; };
template <Operand X>
constexpr auto to_int(const X& x) { return Integer<node_t<X>>{{}, node(x)}; }

// A list display [a, b, ...].
template <class... E> struct List : Node<List<E...>> { std::tuple<E...> items; };
template <Operand... E>
constexpr auto list(const E&... e) { return List<node_t<E>...>{{}, {node(e)...}}; }

// A tree over locals and constants holds the locals' addresses and nothing
// else: building it from its subtrees copies no padding.
static_assert(sizeof(Binary<Op::add, Local<Ref>, Int<1>>) == sizeof(void*));
static_assert(sizeof(Call<NumpyAttribute<"sin">, Binary<Op::mul, Local<Ref>, Local<Ref>>>) ==
              2 * sizeof(void*));

}  // namespace klimora::formula

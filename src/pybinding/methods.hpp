#pragma once

// Typed methods, constructors and slots. A method is a C++ function of the class's value
// type and of its converted arguments:
//
//     PyObject* mkdir(PyFs& self, std::string_view path);
//
// and goes into the method table with its Python name and parameter names:
//
//     method<"mkdir", mkdir, "path">(kMkdirDoc),
//
// The adapter matches the arguments to the names (METH_FASTCALL | METH_KEYWORDS, or
// METH_NOARGS for a method without parameters), converts them in order by their C++
// types (see Arg below), and runs the function inside guarded(). There is no self check:
// the classes cannot be subclassed, so a method descriptor only ever passes its own type.
//
// A constructor is `PyObject* make(PyTypeObject* type, <arguments>)`, installed as
// `{Py_tp_new, constructor<"PyTerm", make, "fs">()}`; a slot taking only self is
// `{Py_tp_str, unary_slot<debug_text>()}`.
//
// Nothing here is noexcept except the slots that never wait: a forced unwind (gil.hpp)
// may leave through a method or a constructor.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/module_state.hpp"

namespace ovaline::pybinding {

// A name given as a template argument. A parameter name that starts with '*' is
// keyword-only (the star is not part of the name); such parameters come last.
template <std::size_t N> struct Name {
    char text[N];
    constexpr Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr bool keyword_only() const { return text[0] == '*'; }
    constexpr const char* name() const { return keyword_only() ? text + 1 : text; }
};

// How an argument of C++ type A is converted: `Stored` holds the converted value and
// `get` hands it to the function.
template <class A> struct Arg;

template <class A, bool (*Convert)(PyObject*, const char*, A&), bool Required = true>
struct PlainArg {
    static constexpr bool kRequired = Required;
    using Stored = A;
    static bool convert(const ModuleState&, PyObject* obj, const char* name, Stored& out) {
        return Convert(obj, name, out);
    }
    static A get(Stored& stored) { return stored; }
};

template <> struct Arg<std::string_view> : PlainArg<std::string_view, to_text> {};
template <> struct Arg<std::uint64_t> : PlainArg<std::uint64_t, to_u64> {};
template <>
struct Arg<std::span<const std::uint8_t>> : PlainArg<std::span<const std::uint8_t>, to_bytes> {};
template <> struct Arg<bool> : PlainArg<bool, to_bool> {};
template <>
struct Arg<std::optional<std::string_view>>
    : PlainArg<std::optional<std::string_view>, to_optional_text, false> {};
// A timeout in seconds; none for no limit.
template <>
struct Arg<std::optional<double>> : PlainArg<std::optional<double>, to_timeout, false> {};

// Any object, unconverted.
template <> struct Arg<PyObject*> {
    static constexpr bool kRequired = true;
    using Stored = PyObject*;
    static bool convert(const ModuleState&, PyObject* obj, const char*, Stored& out) {
        out = obj;
        return true;
    }
    static PyObject* get(Stored& stored) { return stored; }
};

// An instance of exactly the module's class for T.
template <class T> struct Arg<T&> {
    static constexpr bool kRequired = true;
    using Stored = T*;
    static bool convert(const ModuleState& state, PyObject* obj, const char* name, Stored& out) {
        PyObject* instance = nullptr;
        if (!to_instance(obj, name, state.type_of<T>(), instance)) {
            return false;
        }
        out = &value_of<T>(instance);
        return true;
    }
    static T& get(Stored& stored) { return *stored; }
};

// Unused when there are no arguments.
template <class... A, class F, std::size_t... I>
PyObject* convert_and_call([[maybe_unused]] const ModuleState& state,
                           [[maybe_unused]] std::span<const Param> params,
                           [[maybe_unused]] PyObject* const* raw, F& call,
                           std::index_sequence<I...>) {
    std::tuple<typename Arg<A>::Stored...> stored;
    if (!(Arg<A>::convert(state, raw[I], params[I].name, std::get<I>(stored)) && ...)) {
        return nullptr;
    }
    return call(Arg<A>::get(std::get<I>(stored))...);
}

// Converts `raw` in parameter order, stopping at the first failure, then calls
// `call(arguments...)`; null with the error set when a conversion fails.
template <class... A, class F>
PyObject* convert_and_call(const ModuleState& state, std::span<const Param> params,
                           PyObject* const* raw, F&& call) {
    return convert_and_call<A...>(state, params, raw, call, std::index_sequence_for<A...>{});
}

template <class F> struct Signature;

template <class T, class... A> struct Signature<PyObject* (*)(T&, A...)> {
    using Self = T;
    static constexpr std::size_t kArity = sizeof...(A);

    template <Name Function, auto F, Name... Params>
    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
        static_assert(sizeof...(Params) == kArity, "one name per parameter");
        static constexpr Param kParams[] = {
            {Params.name(), Arg<A>::kRequired, Params.keyword_only()}...};
        PyObject* raw[kArity];
        if (!match_fastcall(Function.text, kParams, args, nargs, kwnames, raw)) {
            return nullptr;
        }
        const ModuleState& state = state_of(self);
        return guarded(state, [&] {
            return convert_and_call<A...>(state, kParams, raw,
                                          [&](auto&&... a) { return F(value_of<T>(self), a...); });
        });
    }

    template <auto F> static PyObject* noargs(PyObject* self, PyObject*) {
        return guarded(state_of(self), [&] { return F(value_of<T>(self)); });
    }
};

template <class... A> struct Signature<PyObject* (*)(PyTypeObject*, A...)> {
    template <Name Function, auto F, Name... Params>
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        static_assert(sizeof...(Params) == sizeof...(A), "one name per parameter");
        static constexpr std::array<Param, sizeof...(A)> kParams{
            {{Params.name(), Arg<A>::kRequired, Params.keyword_only()}...}};
        std::array<PyObject*, sizeof...(A)> raw{};
        if (!match_tuple(Function.text, kParams, args, kwargs, raw)) {
            return nullptr;
        }
        const ModuleState& state = state_of_type(type);
        return guarded(state, [&] {
            return convert_and_call<A...>(state, kParams, raw.data(),
                                          [&](auto&&... a) { return F(type, a...); });
        });
    }
};

using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <Name Function, auto F, Name... Params> PyMethodDef method(const char* doc) {
    using S = Signature<decltype(F)>;
    if constexpr (S::kArity == 0) {
        return {Function.text, S::template noargs<F>, METH_NOARGS, doc};
    } else {
        FastcallKeywords call = S::template fastcall<Function, F, Params...>;
        return {Function.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                METH_FASTCALL | METH_KEYWORDS, doc};
    }
}

template <Name Class, auto F, Name... Params> void* constructor() {
    return reinterpret_cast<void*>(Signature<decltype(F)>::template tp_new<Class, F, Params...>);
}

template <auto F> PyObject* call_unary_slot(PyObject* self) noexcept {
    using T = typename Signature<decltype(F)>::Self;
    return guarded(state_of(self), [&] { return F(value_of<T>(self)); });
}

template <auto F> void* unary_slot() {
    return reinterpret_cast<void*>(call_unary_slot<F>);
}

template <auto F> PyObject* call_getter(PyObject* self, void*) noexcept {
    using T = typename Signature<decltype(F)>::Self;
    return guarded(state_of(self), [&] { return F(value_of<T>(self)); });
}

// A read-only attribute whose value is F(self).
template <Name Attribute, auto F> PyGetSetDef getter(const char* doc) {
    return {Attribute.text, call_getter<F>, nullptr, doc, nullptr};
}

// `with obj:` for a class whose `Close(self)` ends what it holds: __enter__ returns
// the object, __exit__ returns what Close returns (never true, so the exception that
// ended the block is never swallowed).
template <class T> PyObject* enter_block(T& self) {
    return Py_NewRef(object_of(self));
}

template <class T, PyObject* (*Close)(T&)>
PyObject* exit_block(T& self, PyObject* /*exc_type*/, PyObject* /*exc_value*/,
                     PyObject* /*traceback*/) {
    return Close(self);
}

template <class T> PyMethodDef enter_method(const char* doc) {
    return method<"__enter__", enter_block<T>>(doc);
}

template <class T, PyObject* (*Close)(T&)> PyMethodDef exit_method(const char* doc) {
    return method<"__exit__", exit_block<T, Close>, "exc_type", "exc_value", "traceback">(doc);
}

} // namespace ovaline::pybinding

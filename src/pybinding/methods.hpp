#pragma once

// Typed methods, constructors and slots. A method is a C++ function of the class's value
// type and of its converted arguments:
//
//     PyObject* mkdir(PyFs& self, std::string_view path);
//
// and goes into the method table with its Python name and parameter names:
//
//     method<"mkdir", mkdir, "path">(kMkdirDoc),
//     method<"makedirs", makedirs, "path", "*exist_ok=False">(kMakedirsDoc),
//
// A name starting with '*' is keyword-only; "=value" is the default used when the
// argument is left out. The docstring constants hold prose only: the text signature that
// inspect.signature reads ("makedirs($self, path, *, exist_ok=False)") is rendered from
// these names and the argument kinds, so it cannot drift from what the call accepts.
//
// The adapter matches the arguments to the names (METH_FASTCALL | METH_KEYWORDS, or
// METH_NOARGS for a method without parameters), converts them in order by their C++
// types (see Arg below), and runs the function inside guarded(). There is no self check:
// the classes cannot be subclassed, so a method descriptor only ever passes its own type.
//
// A constructor is `PyObject* make(PyTypeObject* type, <arguments>)`, described once as
// `using New = Constructor<"PyTerm", make, "fs">;` and installed with the slots
// `New::new_slot()` and `New::doc_slot(kClassDoc)`; a slot taking only self is
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
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "pybinding/args.hpp"
#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/module_state.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {

// A parameter name given as a template argument, written as Python writes it in a
// signature: a leading '*' makes it keyword-only (such parameters come last), and
// "=default" gives the value used when it is left out (a Python literal: True, False,
// None, an int or a double-quoted string).
template <std::size_t N> struct Name {
    char text[N];
    char ident[N]{};

    constexpr Name(const char (&literal)[N]) {
        std::copy_n(literal, N, text);
        std::size_t from = keyword_only() ? 1 : 0;
        for (std::size_t i = 0; from < N - 1 && text[from] != '='; ++i, ++from) {
            ident[i] = text[from];
        }
    }
    constexpr bool keyword_only() const { return text[0] == '*'; }
    constexpr const char* name() const { return ident; }
    // The default as written after '=', or empty when there is none.
    // A plain loop: under UBSan, GCC 12 cannot evaluate string_view::find at compile time.
    constexpr std::string_view default_text() const {
        for (std::size_t i = 0; i + 1 < N; ++i) {
            if (text[i] == '=') {
                return std::string_view(text + i + 1, N - 2 - i);
            }
        }
        return {};
    }
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

template <>
struct Arg<std::optional<std::uint64_t>>
    : PlainArg<std::optional<std::uint64_t>, to_optional_u64, false> {};

template <>
struct Arg<std::vector<std::string>> : PlainArg<std::vector<std::string>, to_path_list, false> {};

// A path; what __fspath__ returned lives as long as the call.
template <> struct Arg<Path> {
    static constexpr bool kRequired = true;
    struct Stored {
        Path path;
        PyRef keep;
    };
    static bool convert(const ModuleState&, PyObject* obj, const char* name, Stored& out) {
        PyObject* keep = nullptr;
        const bool converted = to_path(obj, name, out.path, keep);
        out.keep.reset(keep);
        return converted;
    }
    static Path get(Stored& stored) { return stored.path; }
};

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

// The parameters as matched (required unless the kind allows leaving them out or a
// default is written) and as shown in the text signature.
template <class... A> struct Parameters {
    template <Name... Params> static constexpr std::array<Param, sizeof...(A)> of() {
        return {{{Params.name(), Arg<A>::kRequired && Params.default_text().empty(),
                  Params.keyword_only(), Params.default_text()}...}};
    }
};

// The object a left-out parameter with a written default stands for, made once; it is
// kept for the life of the process, like the module's one set of classes. Null with the
// error set if it cannot be made.
template <Name P> PyObject* default_object() {
    static PyObject* value = nullptr;
    if (value == nullptr) {
        value = parse_default(P.default_text());
    }
    return value;
}

// Puts each written default where its parameter was left out.
template <Name... Params, std::size_t... I>
bool fill_defaults([[maybe_unused]] std::span<PyObject*> raw, std::index_sequence<I...>) {
    return ((raw[I] != nullptr || Params.default_text().empty() ||
             (raw[I] = default_object<Params>()) != nullptr) &&
            ...);
}

template <Name... Params> bool fill_defaults(std::span<PyObject*> raw) {
    return fill_defaults<Params...>(raw, std::make_index_sequence<sizeof...(Params)>{});
}

template <class F> struct Signature;

template <class T, class... A> struct Signature<PyObject* (*)(T&, A...)> {
    using Self = T;
    static constexpr std::size_t kArity = sizeof...(A);

    template <Name Function, auto F, Name... Params>
    static PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
        static_assert(sizeof...(Params) == kArity, "one name per parameter");
        static constexpr auto kParams = Parameters<A...>::template of<Params...>();
        PyObject* raw[kArity];
        if (!match_fastcall(Function.text, kParams, args, nargs, kwnames, raw) ||
            !fill_defaults<Params...>(raw)) {
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

    template <Name... Params> static std::string doc(const char* function, const char* prose) {
        static constexpr auto kParams = Parameters<A...>::template of<Params...>();
        return render_doc(function, "$self", kParams, prose);
    }
};

template <class... A> struct Signature<PyObject* (*)(PyTypeObject*, A...)> {
    template <Name Function, auto F, Name... Params>
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        static_assert(sizeof...(Params) == sizeof...(A), "one name per parameter");
        static constexpr auto kParams = Parameters<A...>::template of<Params...>();
        std::array<PyObject*, sizeof...(A)> raw{};
        if (!match_tuple(Function.text, kParams, args, kwargs, raw) ||
            !fill_defaults<Params...>(raw)) {
            return nullptr;
        }
        const ModuleState& state = state_of_type(type);
        return guarded(state, [&] {
            return convert_and_call<A...>(state, kParams, raw.data(),
                                          [&](auto&&... a) { return F(type, a...); });
        });
    }

    // A class method: called on the class with the fast-call convention.
    template <Name Function, auto F, Name... Params>
    static PyObject* class_fastcall(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
        static_assert(sizeof...(Params) == sizeof...(A), "one name per parameter");
        static constexpr auto kParams = Parameters<A...>::template of<Params...>();
        std::array<PyObject*, sizeof...(A)> raw{};
        if (!match_fastcall(Function.text, kParams, args, nargs, kwnames, raw) ||
            !fill_defaults<Params...>(raw)) {
            return nullptr;
        }
        auto* type = reinterpret_cast<PyTypeObject*>(cls);
        const ModuleState& state = state_of_type(type);
        return guarded(state, [&] {
            return convert_and_call<A...>(state, kParams, raw.data(),
                                          [&](auto&&... a) { return F(type, a...); });
        });
    }

    template <Name... Params>
    static std::string doc(const char* function, std::string_view self, const char* prose) {
        static constexpr auto kParams = Parameters<A...>::template of<Params...>();
        return render_doc(function, self, kParams, prose);
    }
};

using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A method whose docstring is its text signature, rendered from the names, followed by
// `prose`. `signature`, when given, is shown instead of the rendered one: only for a
// method whose published signature differs from its call.
template <Name Function, auto F, Name... Params>
PyMethodDef method(const char* prose, const char* signature = nullptr) {
    using S = Signature<decltype(F)>;
    static const std::string doc = signature == nullptr
                                       ? S::template doc<Params...>(Function.text, prose)
                                       : std::string(signature) + "\n--\n\n" + prose;
    if constexpr (S::kArity == 0) {
        return {Function.text, S::template noargs<F>, METH_NOARGS, doc.c_str()};
    } else {
        FastcallKeywords call = S::template fastcall<Function, F, Params...>;
        return {Function.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
                METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    }
}

// A method of the class itself, `PyObject* f(PyTypeObject* type, <arguments>)`, whose
// text signature starts with $type.
template <Name Function, auto F, Name... Params> PyMethodDef class_method(const char* prose) {
    using S = Signature<decltype(F)>;
    static const std::string doc = S::template doc<Params...>(Function.text, "$type", prose);
    FastcallKeywords call = S::template class_fastcall<Function, F, Params...>;
    return {Function.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call)),
            METH_CLASS | METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

// A class that Python constructs as Class(params): its Py_tp_new slot and its Py_tp_doc
// slot, the rendered signature followed by `prose`.
template <Name Class, auto F, Name... Params> struct Constructor {
    static PyType_Slot new_slot() {
        return {Py_tp_new, reinterpret_cast<void*>(
                               Signature<decltype(F)>::template tp_new<Class, F, Params...>)};
    }
    static PyType_Slot doc_slot(const char* prose) {
        static const std::string doc =
            Signature<decltype(F)>::template doc<Params...>(Class.text, "", prose);
        return {Py_tp_doc, const_cast<char*>(doc.c_str())};
    }
};

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

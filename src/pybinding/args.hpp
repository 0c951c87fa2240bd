#pragma once

// Argument matching and conversion, used by the method adapters of methods.hpp.
//
// Matching fills `out` with one object per parameter, in parameter order; a parameter
// marked optional that was not given is left as null, and every converter reads null as
// "left out" where the kind allows it. Every function returning false has set the
// Python error (TypeError, OverflowError, or an error of the conversion itself).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovaline::pybinding {

// Keyword-only parameters come after all the others.
struct Param {
    const char* name;
    bool required = true;
    bool keyword_only = false;
    // The default as written in the signature; empty when there is none.
    std::string_view default_text = {};
};

bool match_fastcall(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);
bool match_tuple(const char* function, std::span<const Param> params, PyObject* args,
                 PyObject* kwargs, std::span<PyObject*> out);

// The docstring `name(parameters)\n--\n\n` followed by `prose`, the form from which
// Python reads a text signature; the parameters start with `self` unless it is empty
// ("$self" for a method, "$type" for a class method). A parameter that may be left out
// shows its written default, or None.
std::string render_doc(std::string_view name, std::string_view self, std::span<const Param> params,
                       std::string_view prose);
// The object for a default written as a Python literal (True, False, None, an int or a
// double-quoted string without escapes): a new reference, or null with the error set.
PyObject* parse_default(std::string_view text);

// Converters, one per declared kind; `name` is the parameter's name for the message.
// text: str only, seen as UTF-8 for as long as the argument object lives.
bool to_text(PyObject* obj, const char* name, std::string_view& out);
// unsigned size or offset: an int (bool and other subclasses included) in
// 0 ..= 2**64 - 1; OverflowError outside that range. Other objects, even those with
// __index__, are a TypeError, so no conversion ever runs Python code.
bool to_u64(PyObject* obj, const char* name, std::uint64_t& out);
// byte string: bytes only, viewed in place.
bool to_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>& out);
// boolean: bool only.
bool to_bool(PyObject* obj, const char* name, bool& out);
// optional text: str, None, or left out (null).
bool to_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>& out);
// timeout in seconds: an int or float that is not negative and not NaN, or None or
// left out for no limit (none). ValueError for a negative or NaN number.
bool to_timeout(PyObject* obj, const char* name, std::optional<double>& out);
// A filesystem path: its UTF-8 text, and the object the caller gave, which a failure
// names as its file.
struct Path {
    std::string_view text;
    PyObject* given = nullptr;
};
// path: str, or an os.PathLike whose __fspath__ gives str; bytes either way are a
// TypeError. `keep` receives the new reference __fspath__ returned, if any, and must
// outlive every use of `out.text`.
bool to_path(PyObject* obj, const char* name, Path& out, PyObject*& keep);
// optional size: an int as for to_u64, None, or left out (none).
bool to_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);
// paths: None or left out (none), or a list or tuple of what `path` takes.
bool to_path_list(PyObject* obj, const char* name, std::vector<std::string>& out);
// An instance of exactly `type`, one of the module's classes.
bool to_instance(PyObject* obj, const char* name, PyTypeObject* type, PyObject*& out);

} // namespace ovaline::pybinding

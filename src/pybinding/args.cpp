#include "pybinding/args.hpp"

#include "pybinding/py_ref.hpp"

#include <algorithm>
#include <cstring>

namespace ovaline::pybinding {

namespace {

bool take_positional(const char* function, std::span<const Param> params, PyObject* const* args,
                     Py_ssize_t nargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    const auto count = static_cast<Py_ssize_t>(std::count_if(
        params.begin(), params.end(), [](const Param& p) { return !p.keyword_only; }));
    if (nargs > count) {
        if (count == 0) {
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes at most %zd positional argument%s (%zd given)", function,
                         count, count == 1 ? "" : "s", nargs);
        }
        return false;
    }
    std::copy(args, args + nargs, out.begin());
    return true;
}

bool take_keyword(const char* function, std::span<const Param> params, PyObject* key,
                  PyObject* value, std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
        return false;
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             function, params[i].name);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
    return false;
}

bool check_required(const char* function, std::span<const Param> params, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].required && out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                         params[i].name, i + 1);
            return false;
        }
    }
    return true;
}

bool wrong_kind(const char* name, const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %.200s", name, expected,
                 Py_TYPE(obj)->tp_name);
    return false;
}

} // namespace

std::string render_doc(std::string_view name, std::string_view self, std::span<const Param> params,
                       std::string_view prose) {
    std::string doc(name);
    doc.append("(").append(self);
    bool first = self.empty();
    bool stars = false;
    for (const Param& param : params) {
        doc += first ? "" : ", ";
        first = false;
        if (param.keyword_only && !stars) {
            doc += "*, ";
            stars = true;
        }
        doc += param.name;
        if (!param.default_text.empty()) {
            doc.append("=").append(param.default_text);
        } else if (!param.required) {
            doc += "=None";
        }
    }
    doc.append(")\n--\n\n").append(prose);
    return doc;
}

PyObject* parse_default(std::string_view text) {
    if (text == "None" || text == "True" || text == "False") {
        return Py_NewRef(text == "None" ? Py_None : text == "True" ? Py_True : Py_False);
    }
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    const std::string digits(text);
    return PyLong_FromString(digits.c_str(), nullptr, 10);
}

bool match_fastcall(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!take_positional(function, params, args, nargs, out)) {
        return false;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!take_keyword(function, params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                              out)) {
                return false;
            }
        }
    }
    return check_required(function, params, out);
}

bool match_tuple(const char* function, std::span<const Param> params, PyObject* args,
                 PyObject* kwargs, std::span<PyObject*> out) {
    if (!take_positional(function, params, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args),
                         out)) {
        return false;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!take_keyword(function, params, key, value, out)) {
                return false;
            }
        }
    }
    return check_required(function, params, out);
}

bool to_timeout(PyObject* obj, const char* name, std::optional<double>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj))) {
        return wrong_kind(name, "a number or None", obj);
    }
    double seconds = PyFloat_AsDouble(obj);
    if (seconds == -1.0 && PyErr_Occurred()) {
        return false;
    }
    if (!(seconds >= 0)) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative number", name);
        return false;
    }
    out = seconds;
    return true;
}

bool to_text(PyObject* obj, const char* name, std::string_view& out) {
    if (obj == nullptr || !PyUnicode_Check(obj)) {
        return wrong_kind(name, "str", obj == nullptr ? Py_None : obj);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) {
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
    if (obj == nullptr || !PyLong_Check(obj)) {
        return wrong_kind(name, "int", obj == nullptr ? Py_None : obj);
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Format(PyExc_OverflowError, "argument '%s' must be an int from 0 to 2**64 - 1",
                         name);
        }
        return false;
    }
    out = value;
    return true;
}

bool to_bytes(PyObject* obj, const char* name, std::span<const std::uint8_t>& out) {
    if (obj == nullptr || !PyBytes_Check(obj)) {
        return wrong_kind(name, "bytes", obj == nullptr ? Py_None : obj);
    }
    out =
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return true;
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
    if (obj == nullptr || !PyBool_Check(obj)) {
        return wrong_kind(name, "bool", obj == nullptr ? Py_None : obj);
    }
    out = obj == Py_True;
    return true;
}

bool to_optional_text(PyObject* obj, const char* name, std::optional<std::string_view>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!to_text(obj, name, text)) {
        return false;
    }
    out = text;
    return true;
}

bool to_path(PyObject* obj, const char* name, Path& out, PyObject*& keep) {
    keep = nullptr;
    PyObject* text = obj;
    if (obj != nullptr && !PyUnicode_Check(obj) && !PyBytes_Check(obj) &&
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__")) {
        keep = PyOS_FSPath(obj);
        if (keep == nullptr) {
            return false;
        }
        text = keep;
    }
    if (text != nullptr && !PyUnicode_Check(text)) {
        return wrong_kind(name, "str", text);
    }
    out.given = obj;
    return to_text(text, name, out.text);
}

bool to_path_list(PyObject* obj, const char* name, std::vector<std::string>& out) {
    out.clear();
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
        return wrong_kind(name, "list or tuple of paths", obj);
    }
    // A list may change while __fspath__ runs, so it is read from a tuple copy.
    PyRef items(PySequence_Tuple(obj));
    if (!items) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Path path;
        PyObject* keep = nullptr;
        const bool converted = to_path(PyTuple_GET_ITEM(items.get(), i), name, path, keep);
        PyRef kept(keep);
        if (!converted) {
            return false;
        }
        out.emplace_back(path.text);
    }
    return true;
}

bool to_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) {
        return true;
    }
    std::uint64_t value = 0;
    if (!to_u64(obj, name, value)) {
        return false;
    }
    out = value;
    return true;
}

bool to_instance(PyObject* obj, const char* name, PyTypeObject* type, PyObject*& out) {
    if (type == nullptr) {
        // The module's classes are gone once its state is cleared, as at interpreter exit.
        PyErr_Format(PyExc_RuntimeError,
                     "argument '%s' cannot be checked: the ovaline module has been cleared", name);
        return false;
    }
    if (obj == nullptr || !Py_IS_TYPE(obj, type)) {
        const char* dot = std::strrchr(type->tp_name, '.');
        return wrong_kind(name, dot == nullptr ? type->tp_name : dot + 1,
                          obj == nullptr ? Py_None : obj);
    }
    out = obj;
    return true;
}

} // namespace ovaline::pybinding

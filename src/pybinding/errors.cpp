#include "pybinding/errors.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {

PyObject* raise_message(std::string_view message) {
    PyObject* text = to_py_str(message);
    if (text != nullptr) {
        PyErr_SetObject(PyExc_ValueError, text);
        Py_DECREF(text);
    }
    return nullptr;
}

namespace {

using error::IoErrorKind;

// The module's filesystem exceptions. FsError is both OSError and ValueError, like
// io.UnsupportedOperation; each other class adds the OSError subclass of its kind.
enum class ErrorClass : std::size_t {
    FsError,
    FileNotFound,
    FileExists,
    NotADirectory,
    IsADirectory,
    Unsupported,
    Count,
};

struct ClassText {
    const char* name;
    const char* doc;
};

constexpr std::array<ClassText, static_cast<std::size_t>(ErrorClass::Count)> kClassTexts{{
    {"ovaline.FsError", "A filesystem failure: both ValueError and OSError, with errno set."},
    {"ovaline.FsFileNotFoundError", "The path or inode does not exist."},
    {"ovaline.FsFileExistsError", "Something of that name already exists."},
    {"ovaline.FsNotADirectoryError", "A directory was needed and something else was found."},
    {"ovaline.FsIsADirectoryError", "A file was needed and something else was found."},
    {"ovaline.FsUnsupportedOperation", "The handle's mode does not allow the operation."},
}};

// Made once per process, like the module and its classes, and never freed.
std::array<PyObject*, static_cast<std::size_t>(ErrorClass::Count)> error_classes{};

struct KindMapping {
    ErrorClass error_class;
    int error_number;
};

// Null for the kinds that stay plain ValueError, as io leaves a closed file or a bad
// mode: a handle that is closed, and a mode that is not understood.
std::optional<KindMapping> mapping_of(IoErrorKind kind) {
    switch (kind) {
    case IoErrorKind::InodeNotFound:
        return KindMapping{ErrorClass::FileNotFound, ENOENT};
    case IoErrorKind::NotADirectory:
        return KindMapping{ErrorClass::NotADirectory, ENOTDIR};
    case IoErrorKind::NotAFile:
        return KindMapping{ErrorClass::IsADirectory, EISDIR};
    case IoErrorKind::NotASymlink:
    case IoErrorKind::MoveIntoItself:
        return KindMapping{ErrorClass::FsError, EINVAL};
    case IoErrorKind::MaxRecursionDepthExceeded:
        return KindMapping{ErrorClass::FsError, ENAMETOOLONG};
    case IoErrorKind::ResourceAlreadyExists:
        return KindMapping{ErrorClass::FileExists, EEXIST};
    case IoErrorKind::DirectoryIsNotEmpty:
        return KindMapping{ErrorClass::FsError, ENOTEMPTY};
    case IoErrorKind::ResourceCurrentInUse:
        return KindMapping{ErrorClass::FsError, EBUSY};
    case IoErrorKind::OperationNotSupported:
        return KindMapping{ErrorClass::Unsupported, EBADF};
    case IoErrorKind::NoSpaceLeft:
        return KindMapping{ErrorClass::FsError, ENOSPC};
    case IoErrorKind::UnrecognizedFileMode:
    case IoErrorKind::InvalidFileDescriptor:
        break;
    }
    return std::nullopt;
}

PyObject* base_of(ErrorClass error_class) {
    switch (error_class) {
    case ErrorClass::FileNotFound:
        return PyExc_FileNotFoundError;
    case ErrorClass::FileExists:
        return PyExc_FileExistsError;
    case ErrorClass::NotADirectory:
        return PyExc_NotADirectoryError;
    case ErrorClass::IsADirectory:
        return PyExc_IsADirectoryError;
    default:
        return nullptr;
    }
}

// OSError's own str() would rewrite the message once errno or filename is set; these
// classes show the message alone, as ValueError always did.
bool make_error_classes() {
    PyRef io(PyImport_ImportModule("io"));
    PyRef unsupported(io ? PyObject_GetAttrString(io.get(), "UnsupportedOperation") : nullptr);
    PyRef plain_str(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
    PyRef dict(PyDict_New());
    if (!unsupported || !plain_str || !dict ||
        PyDict_SetItemString(dict.get(), "__str__", plain_str.get()) < 0) {
        return false;
    }
    for (std::size_t i = 0; i < error_classes.size(); ++i) {
        const auto error_class = static_cast<ErrorClass>(i);
        PyObject* fs_error = error_classes[0];
        PyRef bases(error_class == ErrorClass::FsError
                        ? PyTuple_Pack(2, PyExc_OSError, PyExc_ValueError)
                    : error_class == ErrorClass::Unsupported
                        ? PyTuple_Pack(2, fs_error, unsupported.get())
                        : PyTuple_Pack(2, fs_error, base_of(error_class)));
        if (!bases) {
            return false;
        }
        error_classes[i] =
            PyErr_NewExceptionWithDoc(kClassTexts[i].name, kClassTexts[i].doc, bases.get(),
                                      error_class == ErrorClass::FsError ? dict.get() : nullptr);
        if (error_classes[i] == nullptr) {
            return false;
        }
    }
    return true;
}

bool set_attribute(PyObject* error, const char* name, PyObject* value) {
    return value == nullptr || PyObject_SetAttrString(error, name, value) == 0;
}

} // namespace

bool add_io_error_classes(PyObject* module) {
    if (error_classes[0] == nullptr && !make_error_classes()) {
        return false;
    }
    for (std::size_t i = 0; i < error_classes.size(); ++i) {
        const char* name = std::strchr(kClassTexts[i].name, '.') + 1;
        if (!add_to_module(module, name, error_classes[i])) {
            return false;
        }
    }
    return true;
}

PyObject* raise_io_error(const error::IoError& err, PyObject* filename, PyObject* filename2) {
    const std::optional<KindMapping> mapping = mapping_of(err.kind());
    PyObject* error_class =
        mapping ? error_classes[static_cast<std::size_t>(mapping->error_class)] : nullptr;
    if (error_class == nullptr) {
        return raise_message(err.message());
    }
    PyRef message(to_py_str(err.message()));
    PyRef error(message ? PyObject_CallOneArg(error_class, message.get()) : nullptr);
    PyRef number(PyLong_FromLong(mapping->error_number));
    if (!error || !number || !set_attribute(error.get(), "errno", number.get()) ||
        !set_attribute(error.get(), "filename", filename) ||
        !set_attribute(error.get(), "filename2", filename2)) {
        return nullptr;
    }
    PyErr_SetObject(error_class, error.get());
    return nullptr;
}

PyObject* raise_internal(const ModuleState& state, const char* message) {
    // The module clears its state only once no instance is left to raise from; the
    // fallback keeps a late call from passing a null type.
    PyErr_SetString(state.internal_error != nullptr ? state.internal_error : PyExc_SystemError,
                    message);
    return nullptr;
}

PyObject* to_py_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void write_unraisable(PyObject* context) {
    PyErr_WriteUnraisable(context);
}

} // namespace ovaline::pybinding

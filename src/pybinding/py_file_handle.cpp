#include "pybinding/py_file_handle.hpp"

#include <unistd.h>

#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "pybinding/args.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/heap_type.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/whence.hpp"

namespace ovaline::pybinding {
namespace {

// Every method holds `mutex` for its whole use of `handle`.
struct PyFileHandleObject {
    PyObject_HEAD std::mutex mutex;
    fs::FileHandle handle;
};

constexpr char kClassDoc[] =
    "\n"
    "A simple wrapper around the FileHandle struct.\n"
    "\n"
    "This class is a simple wrapper around the FileHandle struct. It defines\n"
    "the basis for a file handle that can be used in Python. The file handle\n"
    "can be used to read and write data to a file.\n"
    "\n"
    "A file handle is always associated with a filesystem and an inode. The\n"
    "file handle can be used to read and write data to the file.\n";

constexpr char kIdDoc[] = "id($self)\n--\n\n"
                          "\n"
                          "Returns a string representation of the file handle.\n";

constexpr char kCloseDoc[] =
    "close($self)\n--\n\n"
    "\n"
    "Close the file handle.\n"
    "\n"
    "Notice that the pyobject still holds a reference to the file handle. However\n"
    "any subsequent read or write operation will fail.\n"
    "\n"
    "Small Note on garbage collection: The file handle will internally be closed\n"
    "HOWEVER it will still keep the file system and inode alive. Until the file\n"
    "handle is dropped.\n";

constexpr char kReadDoc[] =
    "read($self, buffer)\n--\n\n"
    "\n"
    "Read data from the file handle.\n"
    "\n"
    "This function reads data from the file handle. The function will return a\n"
    "byte array with the data that was read from the file. The function will\n"
    "return an error if the read operation failed.\n";

constexpr char kWriteDoc[] =
    "write($self, buffer)\n--\n\n"
    "\n"
    "Write data to the file handle.\n"
    "\n"
    "This function writes data to the file handle. The function will return the\n"
    "number of bytes that were written to the file. The function will return an\n"
    "error if the write operation failed.\n";

constexpr char kSeekDoc[] =
    "seek($self, offset, whence)\n--\n\n"
    "\n"
    "Seek a certain position in the file.\n"
    "\n"
    "This function seeks a certain position in the file. The function will return\n"
    "the new position in the file. The function will return an error if the seek\n"
    "operation failed.\n";

constexpr char kTellDoc[] =
    "tell($self)\n--\n\n"
    "\n"
    "Tell the current position in the file.\n"
    "\n"
    "This function returns the current position in the file. The function will\n"
    "return an error if the tell operation failed.\n";

constexpr char kEnterDoc[] = "__enter__($self)\n--\n\n"
                             "\n"
                             "Return the file handle itself.\n";

constexpr char kExitDoc[] = "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                            "\n"
                            "Close the file handle if it is still open.\n";

PyFileHandleObject& object_of(PyObject* self) {
    return *reinterpret_cast<PyFileHandleObject*>(self);
}

const error::IoError kInvalidDescriptor(error::IoErrorKind::InvalidFileDescriptor);

// Whence values are SEEK_SET 0, SEEK_CUR 1, SEEK_END 2; the handle counts Start,
// End, Current.
constexpr fs::SeekOrigin kOriginOfWhence[] = {fs::SeekOrigin::Start, fs::SeekOrigin::Current,
                                              fs::SeekOrigin::End};

void py_file_handle_dealloc(PyObject* self) {
    PyFileHandleObject& object = object_of(self);
    run_unraisable(reinterpret_cast<PyObject*>(Py_TYPE(self)), [&]() -> bool {
        if (!object.handle.id().has_value()) {
            return true;
        }
        const fs::IoResult<void> closed = object.handle.close();
        return closed || raise_io_error(closed.error()) != nullptr;
    });
    object.handle.~FileHandle();
    object.mutex.~mutex();
    free_instance(self);
}

PyObject* py_file_handle_id(PyObject* self, PyObject*) {
    if (!check_self(self, py_file_handle_type())) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<fs::InodeId> id;
        {
            std::lock_guard lock(object_of(self).mutex);
            id = object_of(self).handle.id();
        }
        if (!id) {
            return raise_io_error(kInvalidDescriptor);
        }
        return PyLong_FromUnsignedLongLong(*id);
    });
}

PyObject* close_handle(PyObject* self) {
    return guarded([&] {
        fs::IoResult<void> closed;
        {
            std::lock_guard lock(object_of(self).mutex);
            closed = object_of(self).handle.close();
        }
        return none_or_raise(closed);
    });
}

PyObject* py_file_handle_close(PyObject* self, PyObject*) {
    if (!check_self(self, py_file_handle_type())) {
        return nullptr;
    }
    return close_handle(self);
}

// Written with one write(2) straight to descriptor 1, past Python's sys.stdout.
void report_read(std::size_t count) {
    const std::string line = "Read " + std::to_string(count) + " bytes from file\n";
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
}

PyObject* py_file_handle_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr Param kParams[] = {{"buffer"}};
    PyObject* raw[1];
    std::uint64_t size = 0;
    if (!match_fastcall("read", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_file_handle_type()) || !to_u64(raw[0], "buffer", size)) {
        return nullptr;
    }
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "argument 'buffer' is too large to allocate");
        return nullptr;
    }
    // The buffer is the result itself, allocated in full before the file is consulted
    // and shrunk to the bytes read.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        return nullptr;
    }
    PyRef owned(bytes);
    std::memset(PyBytes_AS_STRING(bytes), 0, size);
    return guarded([&]() -> PyObject* {
        fs::IoResult<std::size_t> count;
        {
            std::lock_guard lock(object_of(self).mutex);
            count = object_of(self).handle.read(std::span<std::uint8_t>(
                reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)), size));
        }
        if (!count) {
            return raise_io_error(count.error());
        }
        report_read(*count);
        PyObject* result = owned.release();
        if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(*count)) < 0) {
            return nullptr;
        }
        return result;
    });
}

PyObject* py_file_handle_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static constexpr Param kParams[] = {{"buffer"}};
    PyObject* raw[1];
    std::span<const std::uint8_t> data;
    if (!match_fastcall("write", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_file_handle_type()) || !to_bytes(raw[0], "buffer", data)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        fs::IoResult<std::size_t> count;
        {
            std::lock_guard lock(object_of(self).mutex);
            count = object_of(self).handle.write(data);
        }
        if (!count) {
            return raise_io_error(count.error());
        }
        return PyLong_FromSize_t(*count);
    });
}

PyObject* py_file_handle_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr Param kParams[] = {{"offset"}, {"whence"}};
    PyObject* raw[2];
    std::uint64_t offset = 0;
    PyObject* whence = nullptr;
    if (!match_fastcall("seek", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_file_handle_type()) || !to_u64(raw[0], "offset", offset) ||
        !to_instance(raw[1], "whence", whence_type(), whence)) {
        return nullptr;
    }
    const fs::SeekOrigin origin = kOriginOfWhence[reinterpret_cast<WhenceObject*>(whence)->value];
    return guarded([&] {
        fs::IoResult<void> sought;
        {
            std::lock_guard lock(object_of(self).mutex);
            sought = object_of(self).handle.seek(origin, offset);
        }
        return none_or_raise(sought);
    });
}

PyObject* py_file_handle_tell(PyObject* self, PyObject*) {
    if (!check_self(self, py_file_handle_type())) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        std::optional<std::uint64_t> offset;
        {
            std::lock_guard lock(object_of(self).mutex);
            const fs::FileHandle& handle = object_of(self).handle;
            if (handle.id().has_value()) {
                offset = handle.offset();
            }
        }
        if (!offset) {
            return raise_io_error(kInvalidDescriptor);
        }
        return PyLong_FromUnsignedLongLong(*offset);
    });
}

PyObject* py_file_handle_str(PyObject* self) {
    return guarded([&] {
        std::string text;
        {
            std::lock_guard lock(object_of(self).mutex);
            text = object_of(self).handle.debug();
        }
        return to_py_str(text);
    });
}

PyObject* py_file_handle_enter(PyObject* self, PyObject*) {
    if (!check_self(self, py_file_handle_type())) {
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* py_file_handle_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static constexpr Param kParams[] = {{"exc_type"}, {"exc_value"}, {"traceback"}};
    PyObject* raw[3];
    if (!match_fastcall("__exit__", kParams, args, nargs, kwnames, raw) ||
        !check_self(self, py_file_handle_type())) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        fs::IoResult<void> closed;
        {
            std::lock_guard lock(object_of(self).mutex);
            fs::FileHandle& handle = object_of(self).handle;
            if (handle.id().has_value()) {
                closed = handle.close();
            }
        }
        if (!closed) {
            return raise_io_error(closed.error());
        }
        // Never swallows the exception that ended the block.
        Py_RETURN_FALSE;
    });
}

PyMethodDef kMethods[] = {
    {"id", py_file_handle_id, METH_NOARGS, kIdDoc},
    {"close", py_file_handle_close, METH_NOARGS, kCloseDoc},
    {"read", as_cfunction(py_file_handle_read), METH_FASTCALL | METH_KEYWORDS, kReadDoc},
    {"write", as_cfunction(py_file_handle_write), METH_FASTCALL | METH_KEYWORDS, kWriteDoc},
    {"seek", as_cfunction(py_file_handle_seek), METH_FASTCALL | METH_KEYWORDS, kSeekDoc},
    {"tell", py_file_handle_tell, METH_NOARGS, kTellDoc},
    {"__enter__", py_file_handle_enter, METH_NOARGS, kEnterDoc},
    {"__exit__", as_cfunction(py_file_handle_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py_file_handle_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(py_file_handle_str)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "ovaline.PyFileHandle",
    static_cast<int>(sizeof(PyFileHandleObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

} // namespace

PyTypeObject* py_file_handle_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = create_heap_type(kSpec);
    }
    return type;
}

PyObject* wrap_file_handle(fs::FileHandle handle) {
    PyTypeObject* type = py_file_handle_type();
    PyObject* self = type == nullptr ? nullptr : type->tp_alloc(type, 0);
    if (self == nullptr) {
        // Release the file lock now rather than whenever the handle is destroyed.
        (void)handle.close();
        return nullptr;
    }
    PyFileHandleObject& object = object_of(self);
    new (&object.mutex) std::mutex();
    new (&object.handle) fs::FileHandle(std::move(handle));
    return self;
}

} // namespace ovaline::pybinding

#include "pybinding/py_file_handle.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/methods.hpp"
#include "pybinding/py_ref.hpp"
#include "pybinding/whence.hpp"

namespace ovaline::pybinding {
namespace {

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

constexpr char kIdDoc[] = "\n"
                          "Returns a string representation of the file handle.\n";

constexpr char kCloseDoc[] =
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
    "\n"
    "Read data from the file handle.\n"
    "\n"
    "This function reads data from the file handle. The function will return a\n"
    "byte array with the data that was read from the file. The function will\n"
    "return an error if the read operation failed.\n";

constexpr char kWriteDoc[] =
    "\n"
    "Write data to the file handle.\n"
    "\n"
    "This function writes data to the file handle. The function will return the\n"
    "number of bytes that were written to the file. The function will return an\n"
    "error if the write operation failed.\n";

constexpr char kSeekDoc[] =
    "\n"
    "Seek a certain position in the file.\n"
    "\n"
    "This function seeks a certain position in the file. The function will return\n"
    "the new position in the file. The function will return an error if the seek\n"
    "operation failed.\n";

constexpr char kTellDoc[] =
    "\n"
    "Tell the current position in the file.\n"
    "\n"
    "This function returns the current position in the file. The function will\n"
    "return an error if the tell operation failed.\n";

constexpr char kEnterDoc[] = "\n"
                             "Return the file handle itself.\n";

constexpr char kExitDoc[] = "\n"
                            "Close the file handle if it is still open.\n";

const error::IoError kInvalidDescriptor(error::IoErrorKind::InvalidFileDescriptor);

// Whence values are SEEK_SET 0, SEEK_CUR 1, SEEK_END 2; the handle counts Start,
// End, Current.
constexpr fs::SeekOrigin kOriginOfWhence[] = {fs::SeekOrigin::Start, fs::SeekOrigin::Current,
                                              fs::SeekOrigin::End};

PyObject* id(PyFileHandle& self) {
    std::optional<fs::InodeId> id;
    {
        std::lock_guard lock(self.mutex);
        id = self.handle.id();
    }
    if (!id) {
        return raise_io_error(kInvalidDescriptor);
    }
    return PyLong_FromUnsignedLongLong(*id);
}

PyObject* close(PyFileHandle& self) {
    fs::IoResult<void> closed;
    {
        std::lock_guard lock(self.mutex);
        closed = self.handle.close();
    }
    return none_or_raise(closed);
}

// Written with one write(2) straight to descriptor 1, past Python's sys.stdout.
void report_read(std::size_t count) {
    const std::string line = "Read " + std::to_string(count) + " bytes from file\n";
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
}

// The bytes from the handle's offset to the end of the file; none when the handle is
// closed. No other handle writes while this one may read, and the caller holds this
// one's mutex, so the answer holds for the read that follows.
std::optional<std::uint64_t> bytes_remaining(const fs::FileHandle& handle) {
    const fs::IoResult<std::uint64_t> length = handle.size();
    if (!length) {
        return std::nullopt;
    }
    return *length - std::min(handle.offset(), *length);
}

PyObject* read(PyFileHandle& self, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "argument 'buffer' is too large to allocate");
        return nullptr;
    }
    PyRef bytes;
    fs::IoResult<std::size_t> count;
    {
        std::lock_guard lock(self.mutex);
        // The result holds at most what the file has left, so a request far past its
        // end costs no more than one that fits.
        const std::uint64_t wanted = std::min(size, bytes_remaining(self.handle).value_or(0));
        bytes = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
        if (bytes == nullptr) {
            return nullptr;
        }
        std::memset(PyBytes_AS_STRING(bytes.get()), 0, wanted);
        count = self.handle.read(std::span<std::uint8_t>(
            reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), wanted));
    }
    if (!count) {
        return raise_io_error(count.error());
    }
    report_read(*count);
    PyObject* result = bytes.release();
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(*count)) < 0) {
        return nullptr;
    }
    return result;
}

PyObject* write(PyFileHandle& self, std::span<const std::uint8_t> data) {
    fs::IoResult<std::size_t> count;
    {
        std::lock_guard lock(self.mutex);
        count = self.handle.write(data);
    }
    if (!count) {
        return raise_io_error(count.error());
    }
    return PyLong_FromSize_t(*count);
}

PyObject* seek(PyFileHandle& self, std::uint64_t offset, const Whence& whence) {
    fs::IoResult<void> sought;
    {
        std::lock_guard lock(self.mutex);
        sought = self.handle.seek(kOriginOfWhence[whence.value], offset);
    }
    return none_or_raise(sought);
}

PyObject* tell(PyFileHandle& self) {
    std::optional<std::uint64_t> offset;
    {
        std::lock_guard lock(self.mutex);
        if (self.handle.id().has_value()) {
            offset = self.handle.offset();
        }
    }
    if (!offset) {
        return raise_io_error(kInvalidDescriptor);
    }
    return PyLong_FromUnsignedLongLong(*offset);
}

PyObject* debug_text(PyFileHandle& self) {
    std::string text;
    {
        std::lock_guard lock(self.mutex);
        text = self.handle.debug();
    }
    return to_py_str(text);
}

// Where the file is now, which a rename may have changed since it was opened.
PyObject* repr(PyFileHandle& self) {
    std::lock_guard lock(self.mutex);
    const fs::FileHandle& handle = self.handle;
    const char* mode = handle.type().can_read() ? (handle.type().can_write() ? "rw" : "r")
                                                : (handle.type().can_write() ? "w" : "");
    if (!handle.id()) {
        return PyUnicode_FromFormat("<ovaline.PyFileHandle [closed] mode='%s'>", mode);
    }
    const fs::IoResult<std::string> path = handle.fs()->get_path_by_inode(*handle.id());
    if (!path) {
        return raise_io_error(path.error());
    }
    PyRef path_text(to_py_str(*path));
    if (path_text == nullptr) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<ovaline.PyFileHandle path=%R mode='%s' offset=%llu>",
                                path_text.get(), mode,
                                static_cast<unsigned long long>(handle.offset()));
}

// Leaving a `with` block closes the handle unless it was closed inside the block.
PyObject* close_if_open(PyFileHandle& self) {
    fs::IoResult<void> closed;
    {
        std::lock_guard lock(self.mutex);
        if (self.handle.id().has_value()) {
            closed = self.handle.close();
        }
    }
    if (!closed) {
        return raise_io_error(closed.error());
    }
    Py_RETURN_FALSE;
}

PyMethodDef kMethods[] = {
    method<"id", id>(kIdDoc),
    method<"close", close>(kCloseDoc),
    method<"read", read, "buffer">(kReadDoc),
    method<"write", write, "buffer">(kWriteDoc),
    method<"seek", seek, "offset", "whence">(kSeekDoc),
    method<"tell", tell>(kTellDoc),
    enter_method<PyFileHandle>(kEnterDoc),
    exit_method<PyFileHandle, close_if_open>(kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<PyFileHandle>()},
    {Py_tp_str, unary_slot<debug_text>()},
    {Py_tp_repr, unary_slot<repr>()},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

} // namespace

PyType_Spec py_file_handle_spec = box_spec<PyFileHandle>("ovaline.PyFileHandle", kSlots);

PyObject* wrap_file_handle(const ModuleState& state, fs::FileHandle handle) {
    PyObject* self = box_new<PyFileHandle>(state.type_of<PyFileHandle>(), std::move(handle));
    if (self == nullptr) {
        // Release the file lock now rather than whenever the handle is destroyed.
        (void)handle.close();
    }
    return self;
}

} // namespace ovaline::pybinding

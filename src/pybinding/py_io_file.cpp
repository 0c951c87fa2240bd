#include "pybinding/py_io_file.hpp"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <utility>

#include "pybinding/box.hpp"
#include "pybinding/errors.hpp"
#include "pybinding/py_ref.hpp"

namespace ovaline::pybinding {
namespace {

constexpr char kClassDoc[] =
    "\n"
    "A file of a PyFs as a raw binary stream (io.RawIOBase).\n"
    "\n"
    "Made by PyFs.open_io. It holds the file's lock like a PyFileHandle until it is\n"
    "closed, and never reports its reads on standard output.\n";

constexpr char kReadDoc[] = "\n"
                            "Read at most size bytes; all that is left when size is negative.\n";
constexpr char kReadallDoc[] = "\n"
                               "Read until the end of the file.\n";
constexpr char kReadintoDoc[] = "\n"
                                "Read into a writable bytes-like object; return the count.\n";
constexpr char kReadlineDoc[] = "\n"
                                "Read up to and including the next newline, at most size bytes.\n";
constexpr char kReadlinesDoc[] =
    "\n"
    "Read lines until the end, or until they total at least hint bytes.\n";
constexpr char kWriteDoc[] = "\n"
                             "Write a bytes-like object at the position; return the count.\n";
constexpr char kWritelinesDoc[] = "\n"
                                  "Write each bytes-like object of an iterable.\n";
constexpr char kSeekDoc[] = "\n"
                            "Move to offset from the start (0), the position (1) or the end\n"
                            "(2); return the new position. Positions past the end are allowed.\n";
constexpr char kTellDoc[] = "\n"
                            "Return the position.\n";
constexpr char kTruncateDoc[] =
    "\n"
    "Cut or zero-extend the file to size bytes (the position when None); return the\n"
    "size. The position does not move.\n";
constexpr char kFlushDoc[] = "\n"
                             "Nothing to do: writes reach the file at once.\n";
constexpr char kCloseDoc[] = "\n"
                             "Close the file and release its lock; closing again does nothing.\n";
constexpr char kReadableDoc[] = "\n"
                                "Whether the file was opened for reading.\n";
constexpr char kWritableDoc[] = "\n"
                                "Whether the file was opened for writing.\n";
constexpr char kSeekableDoc[] = "\n"
                                "Always true.\n";
constexpr char kFilenoDoc[] = "\n"
                              "Raise io.UnsupportedOperation: the file has no descriptor.\n";
constexpr char kIsattyDoc[] = "\n"
                              "Always false.\n";
constexpr char kEnterDoc[] = "\n"
                             "Return the file itself.\n";
constexpr char kExitDoc[] = "\n"
                            "Close the file.\n";
constexpr char kClosedDoc[] = "Whether the file is closed.";
constexpr char kNameDoc[] = "The path the file was opened with.";
constexpr char kModeDoc[] = "The mode, spelled as io.FileIO spells it.";

// Reads of a line grow from this many bytes, doubling up to the cap.
constexpr std::size_t kFirstLineChunk = 128;
constexpr std::size_t kLineChunkCap = 64 * 1024;

PyObject* raise_closed() {
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
    return nullptr;
}

PyObject* raise_unsupported(const char* message) {
    PyRef io(PyImport_ImportModule("io"));
    PyRef unsupported(io == nullptr ? nullptr
                                    : PyObject_GetAttrString(io.get(), "UnsupportedOperation"));
    if (unsupported != nullptr) {
        PyErr_SetString(unsupported.get(), message);
    }
    return nullptr;
}

enum class Need : std::uint8_t { Open, Read, Write };

// Whether the file is open and its mode allows `need`; false with the error set if not.
bool usable(const RawFile& self, Need need) {
    if (!self.handle.id()) {
        return raise_closed() != nullptr;
    }
    if (need == Need::Read && !self.handle.type().can_read()) {
        return raise_unsupported("File not open for reading") != nullptr;
    }
    if (need == Need::Write && !self.handle.type().can_write()) {
        return raise_unsupported("File not open for writing") != nullptr;
    }
    return true;
}

// A size as io takes one: an integer, or None or left out for `fallback`.
bool to_io_size(PyObject* obj, Py_ssize_t fallback, Py_ssize_t& out) {
    if (obj == nullptr || obj == Py_None) {
        out = fallback;
        return true;
    }
    if (!PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument should be integer or None, not '%.200s'",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    out = PyNumber_AsSsize_t(obj, PyExc_OverflowError);
    return !(out == -1 && PyErr_Occurred());
}

// The handle's own offset stays unused: Python's position may lie past the end of the
// file, so every read and write names its position.
fs::IoResult<std::size_t> read_at_position(RawFile& self, std::span<std::uint8_t> buffer) {
    auto count = self.handle.read_at(self.position, buffer);
    if (count) {
        self.position += *count;
    }
    return count;
}

fs::IoResult<std::size_t> write_at_position(RawFile& self, std::span<const std::uint8_t> bytes) {
    if (self.append) {
        auto length = self.handle.append(bytes);
        if (!length) {
            return std::unexpected(length.error());
        }
        self.position = *length;
        return bytes.size();
    }
    auto count = self.handle.write_at(self.position, bytes);
    if (count) {
        self.position += *count;
    }
    return count;
}

std::span<std::uint8_t> bytes_span(PyObject* bytes) {
    return {reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

// Reads up to `size` bytes into a new bytes object sized to what was read.
PyObject* read_bytes(RawFile& self, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        return PyErr_NoMemory();
    }
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (bytes == nullptr) {
        return nullptr;
    }
    const fs::IoResult<std::size_t> count = read_at_position(self, bytes_span(bytes.get()));
    if (!count) {
        return raise_os_error(count.error());
    }
    PyObject* result = bytes.release();
    if (*count != size && _PyBytes_Resize(&result, static_cast<Py_ssize_t>(*count)) < 0) {
        return nullptr;
    }
    return result;
}

PyObject* readall(RawFile& self) {
    if (!usable(self, Need::Read)) {
        return nullptr;
    }
    const fs::IoResult<std::uint64_t> length = self.handle.size();
    if (!length) {
        return raise_os_error(length.error());
    }
    return read_bytes(self, *length > self.position ? *length - self.position : 0);
}

PyObject* read(RawFile& self, OptionalObject size_arg) {
    Py_ssize_t size = 0;
    if (!to_io_size(size_arg.obj, -1, size)) {
        return nullptr;
    }
    if (size < 0) {
        return readall(self);
    }
    if (!usable(self, Need::Read)) {
        return nullptr;
    }
    return read_bytes(self, static_cast<std::uint64_t>(size));
}

// A contiguous view of a bytes-like object, released with the view.
class BufferView {
  public:
    BufferView(PyObject* obj, int flags) : ok_(PyObject_GetBuffer(obj, &view_, flags) == 0) {}
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (ok_) {
            PyBuffer_Release(&view_);
        }
    }
    bool ok() const { return ok_; }
    std::span<std::uint8_t> bytes() {
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

  private:
    Py_buffer view_{};
    bool ok_;
};

PyObject* readinto(RawFile& self, PyObject* buffer) {
    BufferView view(buffer, PyBUF_WRITABLE);
    if (!view.ok() || !usable(self, Need::Read)) {
        return nullptr;
    }
    const fs::IoResult<std::size_t> count = read_at_position(self, view.bytes());
    if (!count) {
        return raise_os_error(count.error());
    }
    return PyLong_FromSize_t(*count);
}

// The bytes from the position through the next newline, at most `limit` of them when
// `limit` is not negative.
fs::IoResult<std::string> read_line(RawFile& self, Py_ssize_t limit) {
    const std::size_t cap =
        limit < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(limit);
    std::string line;
    std::size_t chunk = kFirstLineChunk;
    while (line.size() < cap) {
        const std::size_t start = line.size();
        const std::size_t want = std::min(chunk, cap - start);
        line.resize(start + want);
        // Reading past the newline is harmless: the position records where the line ends.
        const fs::IoResult<std::size_t> count = self.handle.read_at(
            self.position + start,
            std::span(reinterpret_cast<std::uint8_t*>(line.data()) + start, want));
        if (!count) {
            return std::unexpected(count.error());
        }
        line.resize(start + *count);
        if (const std::size_t newline = line.find('\n', start); newline != std::string::npos) {
            line.resize(newline + 1);
            break;
        }
        if (*count < want) {
            break;
        }
        chunk = std::min(chunk * 2, kLineChunkCap);
    }
    self.position += line.size();
    return line;
}

PyObject* readline(RawFile& self, OptionalObject size_arg) {
    Py_ssize_t limit = 0;
    if (!to_io_size(size_arg.obj, -1, limit) || !usable(self, Need::Read)) {
        return nullptr;
    }
    const fs::IoResult<std::string> line = read_line(self, limit);
    if (!line) {
        return raise_os_error(line.error());
    }
    return PyBytes_FromStringAndSize(line->data(), static_cast<Py_ssize_t>(line->size()));
}

PyObject* readlines(RawFile& self, OptionalObject hint_arg) {
    Py_ssize_t hint = 0;
    if (!to_io_size(hint_arg.obj, -1, hint) || !usable(self, Need::Read)) {
        return nullptr;
    }
    PyRef lines(PyList_New(0));
    if (lines == nullptr) {
        return nullptr;
    }
    std::size_t total = 0;
    while (hint <= 0 || total < static_cast<std::size_t>(hint)) {
        const fs::IoResult<std::string> line = read_line(self, -1);
        if (!line) {
            return raise_os_error(line.error());
        }
        if (line->empty()) {
            break;
        }
        total += line->size();
        PyRef item(PyBytes_FromStringAndSize(line->data(), static_cast<Py_ssize_t>(line->size())));
        if (item == nullptr || PyList_Append(lines.get(), item.get()) < 0) {
            return nullptr;
        }
    }
    return lines.release();
}

PyObject* write(RawFile& self, PyObject* data) {
    BufferView view(data, PyBUF_SIMPLE);
    if (!view.ok() || !usable(self, Need::Write)) {
        return nullptr;
    }
    const fs::IoResult<std::size_t> count = write_at_position(self, view.bytes());
    if (!count) {
        return raise_os_error(count.error());
    }
    return PyLong_FromSize_t(*count);
}

PyObject* writelines(RawFile& self, PyObject* lines) {
    if (!usable(self, Need::Open)) {
        return nullptr;
    }
    PyRef iterator(PyObject_GetIter(lines));
    if (iterator == nullptr) {
        return nullptr;
    }
    while (PyRef line{PyIter_Next(iterator.get())}) {
        PyRef written(write(self, line.get()));
        if (written == nullptr) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* seek(RawFile& self, PyObject* offset_arg, OptionalObject whence_arg) {
    Py_ssize_t offset = 0;
    Py_ssize_t whence = 0;
    if (!to_io_size(offset_arg, 0, offset) || !to_io_size(whence_arg.obj, 0, whence) ||
        !usable(self, Need::Open)) {
        return nullptr;
    }
    std::uint64_t base = 0;
    switch (whence) {
    case SEEK_SET:
        break;
    case SEEK_CUR:
        base = self.position;
        break;
    case SEEK_END: {
        const fs::IoResult<std::uint64_t> length = self.handle.size();
        if (!length) {
            return raise_os_error(length.error());
        }
        base = *length;
        break;
    }
    default:
        PyErr_Format(PyExc_ValueError, "invalid whence (%zd, should be 0, 1 or 2)", whence);
        return nullptr;
    }
    // Positions stay within what Python's sizes can express.
    Py_ssize_t target = 0;
    if (__builtin_add_overflow(static_cast<Py_ssize_t>(base), offset, &target)) {
        PyErr_SetString(PyExc_OverflowError, "seek position out of range");
        return nullptr;
    }
    if (target < 0) {
        return raise_errno(EINVAL);
    }
    self.position = static_cast<std::uint64_t>(target);
    return PyLong_FromUnsignedLongLong(self.position);
}

PyObject* tell(RawFile& self) {
    if (!usable(self, Need::Open)) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(self.position);
}

PyObject* truncate(RawFile& self, OptionalObject size_arg) {
    Py_ssize_t size = 0;
    if (!usable(self, Need::Write) ||
        !to_io_size(size_arg.obj, static_cast<Py_ssize_t>(self.position), size)) {
        return nullptr;
    }
    if (size < 0) {
        PyErr_Format(PyExc_ValueError, "negative size value %zd", size);
        return nullptr;
    }
    if (auto cut = self.handle.truncate(static_cast<std::uint64_t>(size)); !cut) {
        return raise_os_error(cut.error());
    }
    return PyLong_FromSsize_t(size);
}

PyObject* flush(RawFile& self) {
    if (!usable(self, Need::Open)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* close(RawFile& self) {
    if (self.handle.id()) {
        if (auto closed = self.handle.close(); !closed) {
            return raise_os_error(closed.error());
        }
    }
    Py_RETURN_NONE;
}

PyObject* readable(RawFile& self) {
    return usable(self, Need::Open) ? PyBool_FromLong(self.handle.type().can_read()) : nullptr;
}

PyObject* writable(RawFile& self) {
    return usable(self, Need::Open) ? PyBool_FromLong(self.handle.type().can_write()) : nullptr;
}

PyObject* seekable(RawFile& self) {
    return usable(self, Need::Open) ? Py_NewRef(Py_True) : nullptr;
}

PyObject* fileno(RawFile&) {
    return raise_unsupported("fileno");
}

PyObject* isatty(RawFile& self) {
    return usable(self, Need::Open) ? Py_NewRef(Py_False) : nullptr;
}

PyObject* enter(RawFile& self) {
    return usable(self, Need::Open) ? Py_NewRef(object_of(self)) : nullptr;
}

PyObject* exit(RawFile& self, PyObject*, PyObject*, PyObject*) {
    return close(self);
}

PyObject* iter(RawFile& self) {
    return enter(self);
}

// Null without an error at the end of the file, which ends the iteration.
PyObject* next_line(RawFile& self) {
    PyObject* line = readline(self, {});
    if (line != nullptr && PyBytes_GET_SIZE(line) == 0) {
        Py_DECREF(line);
        return nullptr;
    }
    return line;
}

PyObject* closed(RawFile& self) {
    return PyBool_FromLong(!self.handle.id().has_value());
}

PyObject* name(RawFile& self) {
    return to_py_str(self.name);
}

PyObject* mode(RawFile& self) {
    return to_py_str(self.mode);
}

PyObject* repr(RawFile& self) {
    if (!self.handle.id()) {
        return PyUnicode_FromString("<ovaline.PyFs.RawFile [closed]>");
    }
    PyRef path(to_py_str(self.name));
    if (path == nullptr) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<ovaline.PyFs.RawFile name=%R mode='%s'>", path.get(),
                                self.mode.c_str());
}

PyMethodDef kMethods[] = {
    method<"read", read, "size=-1">(kReadDoc),
    method<"readall", readall>(kReadallDoc),
    method<"readinto", readinto, "buffer">(kReadintoDoc),
    method<"readline", readline, "size=-1">(kReadlineDoc),
    method<"readlines", readlines, "hint=-1">(kReadlinesDoc),
    method<"write", write, "b">(kWriteDoc),
    method<"writelines", writelines, "lines">(kWritelinesDoc),
    method<"seek", seek, "offset", "whence=0">(kSeekDoc),
    method<"tell", tell>(kTellDoc),
    method<"truncate", truncate, "size">(kTruncateDoc),
    method<"flush", flush>(kFlushDoc),
    method<"close", close>(kCloseDoc),
    method<"readable", readable>(kReadableDoc),
    method<"writable", writable>(kWritableDoc),
    method<"seekable", seekable>(kSeekableDoc),
    method<"fileno", fileno>(kFilenoDoc),
    method<"isatty", isatty>(kIsattyDoc),
    method<"__enter__", enter>(kEnterDoc),
    method<"__exit__", exit, "exc_type", "exc_value", "traceback">(kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetters[] = {
    getter<"closed", closed>(kClosedDoc),
    getter<"name", name>(kNameDoc),
    getter<"mode", mode>(kModeDoc),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, dealloc_slot<RawFile>()},
    {Py_tp_repr, unary_slot<repr>()},
    {Py_tp_iter, unary_slot<iter>()},
    {Py_tp_iternext, unary_slot<next_line>()},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {0, nullptr},
};

// What a mode string asks for, checked as the built-in open checks it.
struct OpenMode {
    bool read = false;
    bool write = false;
    bool append = false;
    bool create = false;
    bool update = false;
    bool binary = false;
    bool text = false;

    fs::FileHandleType type() const {
        return fs::FileHandleType((read || update ? fs::FileHandleType::READ : 0) |
                                  (read && !update ? 0 : fs::FileHandleType::WRITE));
    }
    // "r" needs the file to exist, "w" and "a" create it, "x" insists on creating it,
    // and "w" empties it.
    fs::OpenOptions options() const {
        return {.create = write || append || create, .exclusive = create, .truncate = write};
    }
    // The raw layer's mode, spelled as io.FileIO spells it.
    std::string raw_mode() const {
        const char* plus = update ? "+" : "";
        if (create) {
            return std::string("xb") + plus;
        }
        if (append) {
            return std::string("ab") + plus;
        }
        return update ? "rb+" : read ? "rb" : "wb";
    }
};

bool parse_mode(PyObject* obj, OpenMode& out) {
    std::string_view text = "r";
    if (obj != nullptr) {
        if (!PyUnicode_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "open_io() argument 'mode' must be str, not %.200s",
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (data == nullptr) {
            return false;
        }
        text = std::string_view(data, static_cast<std::size_t>(size));
    }
    bool* flags[] = {&out.append, &out.create, &out.read, &out.write,
                     &out.binary, &out.update, &out.text};
    constexpr std::string_view kLetters = "axrwb+t";
    for (char c : text) {
        const std::size_t at = kLetters.find(c);
        if (at == std::string_view::npos || *flags[at]) {
            PyErr_Format(PyExc_ValueError, "invalid mode: '%s'", std::string(text).c_str());
            return false;
        }
        *flags[at] = true;
    }
    if (out.read + out.write + out.append + out.create != 1) {
        PyErr_SetString(PyExc_ValueError, "must have exactly one of create/read/write/append mode");
        return false;
    }
    if (out.binary && out.text) {
        PyErr_SetString(PyExc_ValueError, "can't have text and binary mode at once");
        return false;
    }
    return true;
}

// An optional text argument: str, None, or left out.
bool optional_str(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None || PyUnicode_Check(obj)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "open_io() argument '%s' must be str or None, not %.200s", name,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool given(PyObject* obj) {
    return obj != nullptr && obj != Py_None;
}

// Everything the built-in open refuses before it touches a file, refused here before
// this one touches the PyFs, so a bad argument never creates or empties a file.
bool check_options(const OpenMode& mode, Py_ssize_t buffering, PyObject* encoding, PyObject* errors,
                   PyObject* newline) {
    if (!optional_str(encoding, "encoding") || !optional_str(errors, "errors") ||
        !optional_str(newline, "newline")) {
        return false;
    }
    if (mode.binary) {
        const char* refused = given(encoding)  ? "an encoding"
                              : given(errors)  ? "an errors"
                              : given(newline) ? "a newline"
                                               : nullptr;
        if (refused != nullptr) {
            PyErr_Format(PyExc_ValueError, "binary mode doesn't take %s argument", refused);
            return false;
        }
        return buffering != 1 || PyErr_WarnEx(PyExc_RuntimeWarning,
                                              "line buffering (buffering=1) isn't supported in "
                                              "binary mode, the default buffer size will be used",
                                              1) == 0;
    }
    if (buffering == 0) {
        PyErr_SetString(PyExc_ValueError, "can't have unbuffered text I/O");
        return false;
    }
    if (given(newline)) {
        const std::string_view text = PyUnicode_AsUTF8(newline);
        if (text != "" && text != "\n" && text != "\r" && text != "\r\n") {
            PyErr_Format(PyExc_ValueError, "illegal newline value: %R", newline);
            return false;
        }
    }
    if (given(encoding)) {
        PyRef codec(PyCodec_Encoder(PyUnicode_AsUTF8(encoding)));
        return codec != nullptr;
    }
    return true;
}

// The standard library's layers, looked up once with the class's registration rather
// than on every open; like the module's classes they are kept for the life of the process.
struct IoLayers {
    PyObject* buffered_reader = nullptr;
    PyObject* buffered_writer = nullptr;
    PyObject* buffered_random = nullptr;
    PyObject* text_wrapper = nullptr;
    PyObject* default_buffer_size = nullptr;
};
IoLayers io_layers;

// The buffered layer over `raw`, and the text layer over that unless the mode is binary.
PyObject* wrap_layers(PyObject* raw, const OpenMode& mode, PyObject* mode_text,
                      Py_ssize_t buffering, PyObject* encoding, PyObject* errors,
                      PyObject* newline) {
    PyObject* buffered_type = mode.update ? io_layers.buffered_random
                              : mode.read ? io_layers.buffered_reader
                                          : io_layers.buffered_writer;
    PyRef buffer_size(buffering > 1 ? PyLong_FromSsize_t(buffering)
                                    : Py_NewRef(io_layers.default_buffer_size));
    if (buffer_size == nullptr) {
        return nullptr;
    }
    PyObject* args[] = {raw, buffer_size.get()};
    PyRef buffered(PyObject_Vectorcall(buffered_type, args, 2, nullptr));
    if (buffered == nullptr || mode.binary) {
        return buffered.release();
    }
    PyRef utf8(PyUnicode_FromString("utf-8"));
    if (utf8 == nullptr) {
        return nullptr;
    }
    // Files here belong to no locale: text is UTF-8 unless the caller says otherwise.
    PyRef text(PyObject_CallFunctionObjArgs(
        io_layers.text_wrapper, buffered.get(), given(encoding) ? encoding : utf8.get(),
        errors == nullptr ? Py_None : errors, newline == nullptr ? Py_None : newline,
        buffering == 1 ? Py_True : Py_False, nullptr));
    if (text == nullptr || PyObject_SetAttrString(text.get(), "mode", mode_text) < 0) {
        return nullptr;
    }
    return text.release();
}

} // namespace

const char kOpenIoDoc[] =
    "\n"
    "Open a file of the filesystem as a Python file object.\n"
    "\n"
    "Takes the modes and options of the built-in open and returns what it would: a\n"
    "PyFs.RawFile (an io.RawIOBase) when buffering is 0, an io.BufferedReader,\n"
    "io.BufferedWriter or io.BufferedRandom in binary mode, otherwise an\n"
    "io.TextIOWrapper, whose encoding is UTF-8 unless one is given. The file holds its\n"
    "lock, shared for reading and exclusive for writing, until it is closed.\n";

PyType_Spec py_io_file_spec = box_spec<RawFile>("ovaline.PyFs.RawFile", kSlots);

bool register_raw_io(PyTypeObject* type) {
    PyRef io(PyImport_ImportModule("io"));
    if (io == nullptr) {
        return false;
    }
    if (io_layers.default_buffer_size == nullptr) {
        IoLayers found{PyObject_GetAttrString(io.get(), "BufferedReader"),
                       PyObject_GetAttrString(io.get(), "BufferedWriter"),
                       PyObject_GetAttrString(io.get(), "BufferedRandom"),
                       PyObject_GetAttrString(io.get(), "TextIOWrapper"),
                       PyObject_GetAttrString(io.get(), "DEFAULT_BUFFER_SIZE")};
        if (!found.buffered_reader || !found.buffered_writer || !found.buffered_random ||
            !found.text_wrapper || !found.default_buffer_size) {
            for (PyObject* layer :
                 {found.buffered_reader, found.buffered_writer, found.buffered_random,
                  found.text_wrapper, found.default_buffer_size}) {
                Py_XDECREF(layer);
            }
            return false;
        }
        io_layers = found;
    }
    PyRef raw_base(PyObject_GetAttrString(io.get(), "RawIOBase"));
    PyRef registered(raw_base == nullptr ? nullptr
                                         : PyObject_CallMethod(raw_base.get(), "register", "O",
                                                               reinterpret_cast<PyObject*>(type)));
    return registered != nullptr;
}

PyObject* open_io(PyFs& self, Path path, OptionalObject mode_arg, OptionalObject buffering_arg,
                  OptionalObject encoding, OptionalObject errors, OptionalObject newline) {
    OpenMode mode;
    Py_ssize_t buffering = 0;
    if (!parse_mode(mode_arg.obj, mode) || !to_io_size(buffering_arg.obj, -1, buffering) ||
        !check_options(mode, buffering, encoding.obj, errors.obj, newline.obj)) {
        return nullptr;
    }
    const std::optional<fs::PosixPath> checked =
        mode.options().create ? os_file_path(self, path) : os_path(self, path);
    if (!checked) {
        return nullptr;
    }
    fs::IoResult<fs::OpenedFile> opened =
        fs::FileSystem::open_with(self.fs, checked->path, mode.type(), mode.options());
    if (!opened) {
        return raise_os_error(opened.error(), path.given);
    }
    const ModuleState& state = state_of(object_of(self));
    PyRef raw(box_new<RawFile>(state.type_of<RawFile>(), std::move(opened->handle),
                               std::string(path.text), mode.raw_mode(), mode.append));
    if (raw == nullptr) {
        // Release the file lock now rather than whenever the handle is destroyed.
        (void)opened->handle.close();
        return nullptr;
    }
    RawFile& file = value_of<RawFile>(raw.get());
    if (mode.append) {
        // Where tell() starts; every write goes to the end whatever the position.
        const fs::IoResult<std::uint64_t> length = file.handle.size();
        if (!length) {
            return raise_os_error(length.error());
        }
        file.position = *length;
    }
    if (buffering == 0) {
        return raw.release();
    }
    PyRef mode_text(mode_arg.obj == nullptr ? PyUnicode_FromString("r") : Py_NewRef(mode_arg.obj));
    PyObject* layered = mode_text == nullptr
                            ? nullptr
                            : wrap_layers(raw.get(), mode, mode_text.get(), buffering, encoding.obj,
                                          errors.obj, newline.obj);
    if (layered == nullptr) {
        // The layers made so far close the file when they go; closing it now releases the
        // lock at once, and leaves the error that stopped us in place.
        (void)file.handle.close();
    }
    return layered;
}

} // namespace ovaline::pybinding

#include "pybinding/session_transfer.hpp"

#include <expected>
#include <string>

#include "pybinding/errors.hpp"
#include "pybinding/gil.hpp"
#include "pybinding/py_fs_trees.hpp"

namespace ovaline::pybinding {

const char kPushDoc[] =
    "Copy the directory `src` of `fs` and everything below it into the home.\n"
    "\n"
    "`dst` is a directory inside the home, relative to it or absolute, or None for\n"
    "the home itself; it must exist, and no name written may exist in it yet. The\n"
    "copies belong to the session's account, directories with mode 0700 and files\n"
    "with mode 0600. On failure everything written is removed again and OSError is\n"
    "raised.\n";

const char kPullDoc[] =
    "Copy the home, or the directory `src` inside it, into the directory `dst` of `fs`.\n"
    "\n"
    "Only directories and regular files that belong to the session's account are\n"
    "read, and no symbolic link is followed; anything else is refused with OSError\n"
    "naming its path. The whole tree is added in one step, or nothing is.\n";

namespace {

constexpr char kClosed[] = "The terminal session is closed";

// The host directory for `inside`: relative to the home or absolute below it, never
// stepping out through "..", or the home itself for none.
std::expected<std::string, std::string> path_in_home(const std::string& home,
                                                     std::optional<std::string_view> inside) {
    if (!inside) {
        return home;
    }
    std::string_view rest = *inside;
    if (rest.starts_with('/')) {
        if (rest != home && !(rest.starts_with(home) && rest[home.size()] == '/')) {
            return std::unexpected("Not inside the session's home: " + std::string(*inside));
        }
        rest.remove_prefix(home.size());
    }
    for (std::size_t start = 0; start <= rest.size();) {
        const std::size_t end = std::min(rest.find('/', start), rest.size());
        if (rest.substr(start, end - start) == "..") {
            return std::unexpected("Not inside the session's home: " + std::string(*inside));
        }
        start = end + 1;
    }
    return home + "/" + std::string(rest);
}

// Runs `transfer(path, uid)` on the host path for `inside` while the session stays
// open, without the interpreter lock.
template <class F>
PyObject* in_home(PyTerminalSession& self, std::optional<std::string_view> inside,
                  PyObject* fs_path, F&& transfer) {
    auto path = path_in_home(self.session->home(), inside);
    if (!path) {
        return raise_message(path.error());
    }
    bridge::TransferResult<void> done;
    bool open = false;
    without_gil([&] {
        open = self.session->while_open(
            [&](const std::string&, std::uint32_t uid) { done = transfer(*path, uid); });
    });
    if (!open) {
        return raise_message(kClosed);
    }
    if (!done) {
        return raise_transfer_error(done.error(), fs_path);
    }
    Py_RETURN_NONE;
}

} // namespace

PyObject* push(PyTerminalSession& self, PyFs& fs, Path src, std::optional<std::string_view> dst) {
    auto owner = bridge::owner_named(self.session->user());
    if (!owner) {
        return raise_message(owner.error());
    }
    return in_home(self, dst, src.given, [&](const std::string& path, std::uint32_t) {
        return bridge::export_tree(*fs.fs, src.text, path, *owner, false);
    });
}

PyObject* pull(PyTerminalSession& self, PyFs& fs, std::optional<std::string_view> src, Path dst) {
    return in_home(self, src, dst.given, [&](const std::string& path, std::uint32_t uid) {
        return bridge::import_tree(*fs.fs, path, dst.text, uid);
    });
}

} // namespace ovaline::pybinding

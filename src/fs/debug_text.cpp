#include "fs/debug_text.hpp"

#include <cstdint>
#include <string>

#include "error/printable.hpp"
#include "error/utf8.hpp"
#include "fs/file_system.hpp"

namespace ovaline::fs {

namespace {

void append_hex(std::string& out, std::uint32_t code_point) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[code_point & 0xf]);
        code_point >>= 4;
    } while (code_point != 0);
    out += "\\u{";
    out += digits;
    out += '}';
}

template <class T> void append_list(std::string& out, const std::vector<T>& values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) {
            out += ", ";
        }
        out += std::to_string(values[i]);
    }
    out += ']';
}

std::string kind_debug(const INodeKind& kind) {
    std::string out;
    if (const auto* file = std::get_if<File>(&kind)) {
        out += "File { data: FileData { data: ";
        append_list(out, file->data.data);
        out += " }, lock: FileLock { flag: ";
        out += std::to_string(file->lock.flag.load(std::memory_order_relaxed));
        out += " } }";
    } else if (const auto* dir = std::get_if<Directory>(&kind)) {
        std::vector<InodeId> ids;
        dir->for_each([&](const INode& child) { ids.push_back(child.id); });
        out += "Directory { children: ";
        append_list(out, ids);
        out += " }";
    } else {
        out += "Symlink { target: ";
        out += std::to_string(std::get<Symlink>(kind).target);
        out += " }";
    }
    return out;
}

} // namespace

std::string quote_name(std::string_view name) {
    std::string out = "\"";
    for (std::size_t pos = 0; pos < name.size();) {
        const Utf8Step step = decode_utf8(name, pos);
        if (!step.valid) {
            // Not UTF-8: shown as the replacement character.
            append_hex(out, 0xfffd);
            pos += step.length;
            continue;
        }
        const char32_t code_point = step.code_point;
        switch (code_point) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (is_printable(code_point)) {
                out.append(name.substr(pos, step.length));
            } else {
                append_hex(out, code_point);
            }
        }
        pos += step.length;
    }
    out += '"';
    return out;
}

std::string inode_debug(const INode& node) {
    std::string out = "INode { id: " + std::to_string(node.id) +
                      ", parent: " + std::to_string(node.parent) +
                      ", depth: " + std::to_string(node.depth) +
                      ", name: " + quote_name(node.name) + ", data: RwLock { data: ";
    if (node.lock.try_lock_shared()) {
        out += kind_debug(node.data);
        node.lock.unlock_shared();
    } else {
        out += "<locked>";
    }
    out += ", poisoned: false, .. } }";
    return out;
}

std::string FileSystem::debug_string() const {
    std::string out = "FileSystem { inodes: {";
    bool first = true;
    inodes_.for_each([&](const INodeGuard& node) {
        if (!first) {
            out += ", ";
        }
        first = false;
        out += std::to_string(node->id);
        out += ": ";
        out += inode_debug(*node);
    });
    out += "}, next_inode_id: ";
    out += std::to_string(next_inode_id());
    out += " }";
    return out;
}

} // namespace ovaline::fs

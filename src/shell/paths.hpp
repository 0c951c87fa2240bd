#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::shell {

// Paths in the shell mode have any number of components, relative to the current
// directory unless they begin with "/".

fs::IoResult<fs::InodeId> resolve_path(const terminal::TerminalContext& context,
                                       std::string_view path);

// mv and cp of whole entries (cp of directories only), as the core does them.
fs::IoResult<void> rename_path(const terminal::TerminalContext& context, std::string_view source,
                               std::string_view destination);
fs::IoResult<void> copy_tree(const terminal::TerminalContext& context, std::string_view source,
                             std::string_view destination);

// The failure text a Unix tool prints for a filesystem error.
std::string error_text(const fs::IoError& error);

// A file open for reading parts of it, so that a command pays only for what it reads.
class FileReader {
  public:
    // The reader, or the failure text.
    static std::expected<FileReader, std::string> open(const terminal::TerminalContext& context,
                                                       std::string_view path);
    std::uint64_t size() const { return size_; }
    // At most `size` bytes from `offset`, copied once.
    std::expected<std::string, std::string> read(std::uint64_t offset, std::size_t size) const;
    // Calls `visit` with the whole file in place, under its read lock, so `visit` must
    // not touch the filesystem.
    std::expected<void, std::string> view(const std::function<void(std::string_view)>& visit) const;

  private:
    FileReader(fs::FileHandle handle, std::uint64_t size)
        : handle_(std::move(handle)), size_(size) {}
    fs::FileHandle handle_;
    std::uint64_t size_;
};

// The whole of a file, or the failure text.
std::expected<std::string, std::string> read_file(const terminal::TerminalContext& context,
                                                  std::string_view path);

// Creates the file when missing. Without `append` its old contents go first.
std::expected<void, std::string> write_file(const terminal::TerminalContext& context,
                                            std::string_view path, std::string_view text,
                                            bool append);

// A new entry of the given kind at `path`.
fs::IoResult<fs::InodeId> create_at(const terminal::TerminalContext& context, std::string_view path,
                                    fs::INodeKind kind);

} // namespace ovaline::shell

#pragma once

#include <expected>
#include <string>
#include <string_view>

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

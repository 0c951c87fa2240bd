#pragma once

#include <string>
#include <string_view>

#include "fs/inode.hpp"

namespace ovaline::fs {

// A name as a quoted, escaped literal: quotes and backslashes escaped, \t \r \n \0 for
// those characters, \u{hex} for other control characters.
std::string quote_name(std::string_view name);

// The diagnostic text of one inode, read under its lock ("<locked>" while a writer has it).
std::string inode_debug(const INode& node);

} // namespace ovaline::fs

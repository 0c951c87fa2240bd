#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace ovaline::pool {

// Where every session's home directory lives.
inline constexpr const char* home_parent = "/tmp/tmp_user_home";

// Makes `parent`/`name` a fresh, empty directory owned by uid with group uid and
// returns its canonical path.
//
// The parent sits in a directory every local user can write to, so it is created if
// missing (mode 0755) and otherwise used only when it is a real directory of this
// process's effective user that nobody else may write to; anything else is refused
// before a thing is changed. Below it nothing is followed: the old home is removed,
// the new one made and re-owned relative to the parent's descriptor.
//
// A refused parent, a path without a canonical UTF-8 form and a failed change of owner
// are returned as errors; a directory that cannot be created or removed throws
// InternalError.
std::expected<std::string, std::string> prepare_home(const std::string& parent,
                                                     const std::string& name, std::uint32_t uid);

} // namespace ovaline::pool

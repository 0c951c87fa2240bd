#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace ovaline::pool {

// Removes every entry below the directory `root` that belongs to `uid`, with everything
// under it, so that nothing an account left there reaches its next user. The search
// follows no symbolic link, stays on root's filesystem, leaves out the directory `skip`
// (whatever it is reached by) and enters directories of others only down to a bounded
// depth; entries that even root may not look at are passed by. What is found is removed
// as a home is, with few descriptors however deep. A missing root, or one that is a
// symbolic link, has nothing to remove; uid 0 is refused. The error names the first
// entry that stayed.
std::expected<void, std::string> remove_account_entries(const std::string& root, std::uint32_t uid,
                                                        const std::string& skip);

// Clears what an account whose processes have all ended may have left on the host
// outside its home: its entries in /tmp, /var/tmp and /dev/shm (the homes below
// /tmp/tmp_user_home are left alone) and its keyrings. The error says what stayed.
std::expected<void, std::string> clear_account_leftovers(std::uint32_t uid);

} // namespace ovaline::pool

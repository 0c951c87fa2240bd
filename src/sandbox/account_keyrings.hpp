#pragma once

#include <cstdint>
#include <expected>

namespace ovaline::sandbox {

// Empties the user keyring and the user-session keyring of `uid`, which the kernel keeps
// for the uid whatever happens to its processes, so that the account's next user finds
// none of the keys its last one left. A keyring that does not exist is fine. Refuses uid
// 0. The error is the errno of the step that failed.
std::expected<void, int> clear_account_keyrings(std::uint32_t uid);

} // namespace ovaline::sandbox

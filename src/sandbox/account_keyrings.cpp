#include "sandbox/account_keyrings.hpp"

#include <cerrno>
#include <linux/keyctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/spawner.hpp"

namespace ovaline::sandbox {

std::expected<void, int> clear_account_keyrings(std::uint32_t uid) {
    if (uid == 0) {
        return std::unexpected(EPERM);
    }
    // The keyrings are looked up by the caller's uid, so a child takes the account's.
    // Raw system calls: the child of a threaded process may only make async-signal-safe
    // calls. It exits with the errno of the failed step, 0 on success.
    auto status = run_in_child([uid]() -> int {
        if (::syscall(SYS_setresuid, uid, uid, uid) != 0) {
            return errno;
        }
        for (long ring : {KEY_SPEC_USER_KEYRING, KEY_SPEC_USER_SESSION_KEYRING}) {
            // Not created by looking: an account that never had one has nothing to clear.
            long id = ::syscall(SYS_keyctl, KEYCTL_GET_KEYRING_ID, ring, 0);
            if (id < 0) {
                if (errno == ENOKEY) {
                    continue;
                }
                return errno;
            }
            if (::syscall(SYS_keyctl, KEYCTL_CLEAR, id) != 0) {
                return errno;
            }
        }
        return 0;
    });
    if (!status) {
        return std::unexpected(status.error());
    }
    if (*status != 0) {
        return std::unexpected(*status > 0 ? *status : EINTR);
    }
    return {};
}

} // namespace ovaline::sandbox

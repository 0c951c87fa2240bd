#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox/host_process.hpp"

namespace ovaline::pool {

// One throw-away account on the host.
struct UserAccount {
    std::uint32_t uid = 0;
    std::string name;

    friend bool operator==(const UserAccount&, const UserAccount&) = default;
};

// Marsaglia's xorshift128 on 32-bit words.
struct Xorshift128 {
    std::uint32_t x;
    std::uint32_t y;
    std::uint32_t z;
    std::uint32_t w;

    // The fixed seed: sixteen bytes 0x2A read as four little-endian words.
    static Xorshift128 seeded();
    std::uint32_t next();
};

// What the pool needs of the host: running `id` and `useradd`, and a place for its
// diagnostics. Tests put a fake here; the real one runs the host's programs and writes
// to the process's standard error.
struct UserPoolHost {
    std::function<std::expected<sandbox::ProgramResult, std::string>(
        const std::string& program, std::span<const std::string> args)>
        run;
    std::function<void(std::string_view line)> report;

    static UserPoolHost system();
};

// Hands out throw-away accounts, creating them with `useradd` on demand. Not locked on
// its own: every caller holds the mutex of the PoolHolder around it.
class UserPool {
  public:
    static constexpr std::size_t default_max_user = 256;

    UserPool();
    explicit UserPool(UserPoolHost host);

    // The uid of the account `name`, or none when `id` does not report one. Throws
    // InternalError when `id` cannot be started.
    std::optional<std::uint32_t> userid(const std::string& name);

    // An account for a new session, recorded in `user` until release_user gives it
    // back; none when the pool is full or no account could be created. Throws
    // InternalError when `id` or `useradd` cannot be started.
    std::optional<UserAccount> acquire_user();

    // Moves the first handed-out account with this uid back to the free list; an
    // unknown uid changes nothing.
    void release_user(std::uint32_t uid);

    // Forgets the first handed-out account with this uid without putting it on the free
    // list, so that the pool never hands it out again; an unknown uid changes nothing.
    void retire_user(std::uint32_t uid);

    const std::vector<UserAccount>& user() const { return user_; }
    const std::vector<UserAccount>& free_user() const { return free_user_; }
    std::size_t max_user() const { return max_user_; }

  private:
    std::optional<UserAccount> create_user();
    std::string next_name();

    UserPoolHost host_;
    std::vector<UserAccount> user_;
    std::vector<UserAccount> free_user_;
    std::size_t max_user_ = default_max_user;
    Xorshift128 rng_;
};

// The first line of `id -u` output as a uid: an optional "+" and decimal digits only,
// at most 4294967295; a carriage return before the line feed is dropped.
std::optional<std::uint32_t> parse_uid(std::string_view output);

} // namespace ovaline::pool

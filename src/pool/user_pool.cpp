#include "pool/user_pool.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "error/internal_error.hpp"
#include "error/utf8.hpp"

namespace ovaline::pool {

namespace {

constexpr std::string_view alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t name_length = 8;

void write_to_stderr(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

} // namespace

Xorshift128 Xorshift128::seeded() {
    unsigned char seed[16];
    std::memset(seed, 0x2A, sizeof seed);
    auto word = [&](int i) {
        return static_cast<std::uint32_t>(seed[4 * i]) |
               static_cast<std::uint32_t>(seed[4 * i + 1]) << 8 |
               static_cast<std::uint32_t>(seed[4 * i + 2]) << 16 |
               static_cast<std::uint32_t>(seed[4 * i + 3]) << 24;
    };
    return Xorshift128{word(0), word(1), word(2), word(3)};
}

std::uint32_t Xorshift128::next() {
    std::uint32_t t = x ^ (x << 11);
    x = y;
    y = z;
    z = w;
    w = w ^ (w >> 19) ^ t ^ (t >> 8);
    return w;
}

UserPoolHost UserPoolHost::system() {
    return UserPoolHost{sandbox::run_program, write_to_stderr};
}

UserPool::UserPool() : UserPool(UserPoolHost::system()) {}

UserPool::UserPool(UserPoolHost host) : host_(std::move(host)), rng_(Xorshift128::seeded()) {
    user_.reserve(default_max_user);
    free_user_.reserve(default_max_user);
}

std::optional<std::uint32_t> parse_uid(std::string_view output) {
    std::string_view line = output.substr(0, output.find('\n'));
    if (line.size() < output.size() && line.ends_with('\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with('+')) {
        line.remove_prefix(1);
    }
    if (line.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : line) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> UserPool::userid(const std::string& name) {
    const std::string args[] = {"-u", name};
    auto result = host_.run("id", args);
    if (!result) {
        throw InternalError("Failed to execute the command `id`: " + result.error());
    }
    if (result->exit_code != 0) {
        return std::nullopt;
    }
    if (!is_valid_utf8(result->out)) {
        host_.report("Failed to convert the result back to a valid utf-8 string");
        return std::nullopt;
    }
    return parse_uid(result->out);
}

std::string UserPool::next_name() {
    std::string name = "test_";
    for (std::size_t i = 0; i < name_length; ++i) {
        std::uint32_t value = rng_.next();
        // Outputs above this bound are dropped so that every character is equally likely.
        while (value > 0xF7FFFFFFu) {
            value = rng_.next();
        }
        name.push_back(alphabet[value >> 26]);
    }
    return name;
}

std::optional<UserAccount> UserPool::create_user() {
    std::string name = next_name();
    std::optional<std::uint32_t> uid = userid(name);
    if (!uid) {
        const std::string args[] = {name};
        auto result = host_.run("useradd", args);
        if (!result) {
            throw InternalError("Failed to execute the command `useradd`: " + result.error());
        }
        if (result->exit_code == 0) {
            uid = userid(name);
        } else {
            const std::string& reason = is_valid_utf8(result->err) ? result->err : std::string();
            host_.report("Failed to create the user account: " + reason);
        }
    }
    if (!uid) {
        return std::nullopt;
    }
    return UserAccount{*uid, std::move(name)};
}

std::optional<UserAccount> UserPool::acquire_user() {
    // The limit comes first, so a full pool never creates an account it cannot hand out.
    if (user_.size() >= max_user_) {
        return std::nullopt;
    }
    UserAccount account;
    if (free_user_.empty()) {
        auto created = create_user();
        if (!created) {
            return std::nullopt;
        }
        account = std::move(*created);
    } else {
        account = std::move(free_user_.back());
        free_user_.pop_back();
    }
    // Every handed-out account is recorded, reused or new, so its release always finds it.
    user_.push_back(account);
    return account;
}

void UserPool::release_user(std::uint32_t uid) {
    auto it = std::find_if(user_.begin(), user_.end(),
                           [&](const UserAccount& account) { return account.uid == uid; });
    if (it != user_.end()) {
        free_user_.push_back(std::move(*it));
        user_.erase(it);
    }
}

void UserPool::retire_user(std::uint32_t uid) {
    auto it = std::find_if(user_.begin(), user_.end(),
                           [&](const UserAccount& account) { return account.uid == uid; });
    if (it != user_.end()) {
        user_.erase(it);
    }
}

} // namespace ovaline::pool

#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "pool/host_process.hpp"
#include "pool/pool_holder.hpp"

namespace ovaline::pool {

// A real shell under a throw-away account of a pool, on three pipes.
class TerminalSession {
  public:
    enum class Stream { Output, Error };

    // Takes an account, gives it a fresh home below /tmp/tmp_user_home and starts
    // /bin/bash for it through `su`. Returns an error message for an ordinary failure
    // (the account then goes back to the pool); throws InternalError when the pool is
    // poisoned or no account, directory or `su` can be had.
    static std::expected<TerminalSession, std::string> create(std::shared_ptr<PoolHolder> pool);

    // The moved-from session counts as closed, so only one owner ever kills the shell.
    TerminalSession(TerminalSession&& other) noexcept;
    TerminalSession& operator=(TerminalSession&&) = delete;
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;
    // Closes the session; owners that must see a failure call close() first.
    ~TerminalSession();

    // Kills and reaps the shell and gives the account back; a closed session is left
    // alone. Throws InternalError when the kill fails or the pool is poisoned; the
    // session counts as closed either way.
    void close();

    // The canonical path of the session's home directory.
    const std::string& home() const { return home_; }

    // Writes all of `data` to the shell's standard input. Fails when closed.
    std::expected<void, std::string> write(std::span<const char> data);
    // One read of at most buffer.size() bytes from the chosen stream; waits for at least
    // one byte or the end of the stream. Fails when closed.
    std::expected<std::size_t, std::string> read(Stream stream, std::span<char> buffer);

  private:
    TerminalSession(std::string home, std::shared_ptr<PoolHolder> pool, RunningProgram child,
                    std::uint32_t uid);

    std::string home_;
    std::shared_ptr<PoolHolder> pool_;
    std::optional<RunningProgram> child_;
    std::uint32_t uid_;
};

} // namespace ovaline::pool

#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>

#include "pool/pool_holder.hpp"
#include "pool/terminal_session.hpp"

namespace ovaline::pool {

// Sessions of one shape (their options) made ahead of time by a thread of their own, so
// that asking for one costs no account search, home or su. A
// warm session is an ordinary open session of the pool: its account is held and locked
// host-wide, its home was made for it, and it is closed at the process's exit like any
// other.
class WarmSessions {
  public:
    // Keeps up to `count` sessions with `shape` ready; with 0 it starts no thread and
    // holds nothing.
    WarmSessions(std::shared_ptr<PoolHolder> pool, std::size_t count, SessionOptions shape = {});
    WarmSessions(const WarmSessions&) = delete;
    WarmSessions& operator=(const WarmSessions&) = delete;
    // Stops the thread and closes every session still waiting, giving their accounts
    // back. In a process forked from the maker, the thread and the shells are the
    // maker's and are left alone.
    ~WarmSessions();

    // A ready session whose shell still runs, or null when none is or `options` are not
    // the shape kept; the thread then makes another. Waits for a session the thread is
    // making.
    std::unique_ptr<TerminalSession> take(const SessionOptions& options);

  private:
    void run();

    const std::shared_ptr<PoolHolder> pool_;
    const std::size_t count_;
    const SessionOptions shape_;
    const pid_t owner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<TerminalSession>> ready_;
    // The thread is making a session.
    bool making_ = false;
    bool stopping_ = false;
    // Owned by pointer so that a forked copy can let go of a thread it does not have.
    std::unique_ptr<std::thread> thread_;
};

} // namespace ovaline::pool

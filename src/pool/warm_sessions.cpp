#include "pool/warm_sessions.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <sys/resource.h>
#include <unistd.h>

#include "pool/session_closer.hpp"

namespace ovaline::pool {

namespace {

// After a failed start the thread waits before the next, twice as long each time up to
// the longest, so a host that cannot make accounts is not asked again and again.
constexpr auto first_backoff = std::chrono::milliseconds(100);
constexpr auto longest_backoff = std::chrono::milliseconds(10000);

} // namespace

WarmSessions::WarmSessions(std::shared_ptr<PoolHolder> pool, std::size_t count,
                           SessionOptions shape)
    : pool_(std::move(pool)), count_(std::min(count, UserPool::default_max_user)),
      shape_(std::move(shape)), owner_(::getpid()) {
    if (count_ > 0) {
        thread_ = std::make_unique<std::thread>([this] { run(); });
    }
}

WarmSessions::~WarmSessions() {
    if (::getpid() != owner_) {
        // The thread is not in this process, and joining its copy would never return.
        (void)thread_.release();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_) {
        thread_->join();
    }
    for (auto& session : ready_) {
        try {
            session->close();
        } catch (const std::exception&) {
            // The uid-wide kill of the account's next session ends what this one left.
        }
    }
}

std::unique_ptr<TerminalSession> WarmSessions::take(const SessionOptions& options) {
    if (count_ == 0 || !(options == shape_) || ::getpid() != owner_) {
        return nullptr;
    }
    std::unique_ptr<TerminalSession> session;
    {
        std::unique_lock lock(mutex_);
        // A start under way ends sooner than a cold start would, so it is waited for.
        changed_.wait(lock, [&] { return !ready_.empty() || !making_ || stopping_; });
        while (!session && !ready_.empty()) {
            session = std::move(ready_.front());
            ready_.pop_front();
            // A shell that ended while it waited is no use to anyone.
            if (session->poll()) {
                close_in_background(std::move(session));
            }
        }
    }
    changed_.notify_all();
    return session;
}

void WarmSessions::run() {
    // Making sessions ahead is background work: a taker woken on the same core must not
    // wait behind it.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    auto backoff = first_backoff;
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || ready_.size() < count_; });
        if (stopping_) {
            return;
        }
        making_ = true;
        lock.unlock();
        std::unique_ptr<TerminalSession> made;
        try {
            auto created = TerminalSession::create(pool_, shape_);
            if (created) {
                made = std::move(*created);
            }
        } catch (const std::exception&) {
            // Counted as a failed start below; the session gave its account back.
        }
        lock.lock();
        making_ = false;
        changed_.notify_all();
        if (made) {
            ready_.push_back(std::move(made));
            backoff = first_backoff;
            continue;
        }
        changed_.wait_for(lock, backoff, [&] { return stopping_; });
        backoff = std::min<std::chrono::milliseconds>(backoff * 2, longest_backoff);
    }
}

} // namespace ovaline::pool

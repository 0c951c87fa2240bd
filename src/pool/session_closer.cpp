#include "pool/session_closer.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "pool/terminal_session.hpp"
#include "sandbox/per_process.hpp"

namespace ovaline::pool {

namespace {

// The sessions waiting to be closed, and the thread that closes them one by one.
class Queue {
  public:
    void push(std::unique_ptr<TerminalSession> session) {
        std::lock_guard lock(mutex_);
        if (!started_) {
            std::thread([this] { run(); }).detach();
            started_ = true;
        }
        queue_.push_back(std::move(session));
        changed_.notify_all();
    }

    void drain() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return queue_.empty() && !busy_; });
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            std::unique_ptr<TerminalSession> session = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            lock.unlock();
            try {
                session->close();
            } catch (...) {
                // Nobody is left to hear of it; the uid-wide kill of the account's next
                // session ends what this one left.
            }
            session.reset();
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<TerminalSession>> queue_;
    bool busy_ = false;
    bool started_ = false;
};

} // namespace

void close_in_background(std::unique_ptr<TerminalSession> session) {
    if (!session || !session->owned_here()) {
        return;
    }
    sandbox::per_process<Queue>().push(std::move(session));
}

void wait_for_background_closes() {
    sandbox::per_process<Queue>().drain();
}

} // namespace ovaline::pool

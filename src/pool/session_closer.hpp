#pragma once

#include <memory>

namespace ovaline::pool {

class TerminalSession;

// Closes and destroys `session` soon, on a thread of its own, so that dropping a session
// never waits for its shell to end. A session of another process (a forked copy) is
// destroyed at once: closing it ends nothing.
void close_in_background(std::unique_ptr<TerminalSession> session);

// Waits until every session handed to close_in_background so far is closed, so that
// their accounts are back in their pools.
void wait_for_background_closes();

} // namespace ovaline::pool

#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ovaline::terminal {

// Commands by name, for either mode: `Context` is what its commands work on, a
// CommandContext or one that extends it.
template <class Context> class CommandRegistry {
  public:
    // A command: its context and the words after its name; returns the exit status.
    using Handler = std::function<int(Context&, std::span<const std::string>)>;

    CommandRegistry() = default;
    CommandRegistry(std::initializer_list<std::pair<const std::string, Handler>> entries)
        : handlers_(entries) {}

    // Adds a command, or replaces the one of that name.
    void set(std::string name, Handler handler) {
        handlers_.insert_or_assign(std::move(name), std::move(handler));
    }

    // The command of that name, or null.
    const Handler* find(const std::string& name) const {
        const auto entry = handlers_.find(name);
        return entry == handlers_.end() ? nullptr : &entry->second;
    }

    bool empty() const { return handlers_.empty(); }

    // The names, in no particular order.
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        out.reserve(handlers_.size());
        for (const auto& entry : handlers_) {
            out.push_back(entry.first);
        }
        return out;
    }

  private:
    std::unordered_map<std::string, Handler> handlers_;
};

} // namespace ovaline::terminal

#include "terminal/simple_terminal.hpp"

#include <span>

#include "terminal/commands.hpp"
#include "terminal/word_split.hpp"

namespace ovaline::terminal {

CommandResult SimpleTerminal::run(std::string_view line) {
    auto words = split_words(line);
    if (!words) {
        return std::unexpected("The command was not correctly formatted");
    }
    if (words->empty()) {
        return std::string();
    }
    const auto* command = commands().find(words->front());
    if (command == nullptr) {
        return std::unexpected(words->front() + ": command not found");
    }
    CommandContext call(context_);
    if ((*command)(call, std::span<const std::string>(*words).subspan(1)) != 0) {
        return std::unexpected(std::move(call.err));
    }
    return std::move(call.out);
}

} // namespace ovaline::terminal

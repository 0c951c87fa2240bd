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
    const auto& table = commands();
    const auto entry = table.find(words->front());
    if (entry == table.end()) {
        return std::unexpected(words->front() + ": command not found");
    }
    return entry->second(context_, std::span<const std::string>(*words).subspan(1));
}

} // namespace ovaline::terminal

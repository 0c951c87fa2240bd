#include "shell/options.hpp"

namespace ovaline::shell {

std::expected<ShellOptions, std::string> parse_options(std::span<const std::string> words,
                                                       std::string_view letters) {
    ShellOptions parsed;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            parsed.operands.insert(parsed.operands.end(), words.begin() + i + 1, words.end());
            break;
        }
        if (word.starts_with("--")) {
            return std::unexpected("unrecognized option '" + word + "'");
        }
        // "-" alone is an operand: standard input.
        if (word.size() < 2 || word[0] != '-') {
            parsed.operands.push_back(word);
            continue;
        }
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char option = word[k];
            const std::size_t at = letters.find(option);
            if (option == ':' || at == std::string_view::npos) {
                return std::unexpected(std::string("invalid option -- '") + option + "'");
            }
            if (at + 1 < letters.size() && letters[at + 1] == ':') {
                if (k + 1 < word.size()) {
                    parsed.given[option] = word.substr(k + 1);
                } else if (i + 1 < words.size()) {
                    parsed.given[option] = words[++i];
                } else {
                    return std::unexpected(std::string("option requires an argument -- '") +
                                           option + "'");
                }
                break;
            }
            parsed.given[option] = "";
        }
    }
    return parsed;
}

bool wants_help(std::span<const std::string> words) {
    for (const auto& word : words) {
        if (word == "--") {
            return false;
        }
        if (word == "--help") {
            return true;
        }
    }
    return false;
}

} // namespace ovaline::shell

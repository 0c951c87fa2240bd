#include "terminal/word_split.hpp"

namespace ovaline::terminal {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash escapes only these.
bool escapable_in_double_quotes(char c) {
    return c == '$' || c == '`' || c == '"' || c == '\\';
}

} // namespace

std::optional<std::vector<std::string>> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::string word;
    // Quotes make a word even when nothing is inside them, so emptiness alone cannot
    // tell whether a word has begun.
    bool in_word = false;
    std::size_t i = 0;
    const std::size_t n = line.size();

    while (i < n) {
        const char c = line[i];
        if (is_blank(c)) {
            if (in_word) {
                words.push_back(std::move(word));
                word.clear();
                in_word = false;
            }
            ++i;
        } else if (c == '#' && !in_word) {
            // The newline that ends a comment also separates words, so stop before it.
            while (i < n && line[i] != '\n') {
                ++i;
            }
        } else if (c == '\\') {
            if (i + 1 == n) {
                return std::nullopt;
            }
            // A line continuation is removed entirely and does not begin a word.
            if (line[i + 1] != '\n') {
                word.push_back(line[i + 1]);
                in_word = true;
            }
            i += 2;
        } else if (c == '\'') {
            const std::size_t close = line.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            word.append(line.substr(i + 1, close - i - 1));
            in_word = true;
            i = close + 1;
        } else if (c == '"') {
            in_word = true;
            ++i;
            bool closed = false;
            while (i < n) {
                const char d = line[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\') {
                    if (i + 1 == n) {
                        return std::nullopt;
                    }
                    const char next = line[i + 1];
                    if (escapable_in_double_quotes(next)) {
                        word.push_back(next);
                    } else if (next != '\n') {
                        word.push_back('\\');
                        word.push_back(next);
                    }
                    i += 2;
                } else {
                    word.push_back(d);
                    ++i;
                }
            }
            if (!closed) {
                return std::nullopt;
            }
        } else {
            word.push_back(c);
            in_word = true;
            ++i;
        }
    }
    if (in_word) {
        words.push_back(std::move(word));
    }
    return words;
}

} // namespace ovaline::terminal

#include "fs/name_pattern.hpp"

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "error/utf8.hpp"

namespace ovaline::fs {

namespace {

// A byte that is not part of well-formed UTF-8 stands for itself, above every code
// point, so it matches only the same byte in the pattern.
constexpr char32_t kStrayByteBase = 0x110000;

// Pattern and name are compared as sequences of these units.
char32_t unit_at(std::string_view text, std::size_t pos, std::size_t& length) {
    const Utf8Step step = decode_utf8(text, pos);
    if (!step.valid) {
        length = 1;
        return kStrayByteBase + static_cast<unsigned char>(text[pos]);
    }
    length = step.length;
    return step.code_point;
}

// The position of the `]` that closes the set whose `[` is just before `pos`, if any.
// A `]` first in the set (after any negation mark) is a member, not the end.
std::optional<std::size_t> set_end(std::string_view pattern, std::size_t pos, bool escapes) {
    if (pos < pattern.size() && (pattern[pos] == '!' || pattern[pos] == '^')) {
        ++pos;
    }
    if (pos < pattern.size() && pattern[pos] == ']') {
        ++pos;
    }
    while (pos < pattern.size()) {
        if (escapes && pattern[pos] == '\\') {
            pos += 2;
        } else if (pattern[pos] == ']') {
            return pos;
        } else {
            ++pos;
        }
    }
    return std::nullopt;
}

struct CharSet {
    bool negated = false;
    // Inclusive ranges; a reversed range holds nothing.
    std::vector<std::pair<char32_t, char32_t>> ranges;

    bool contains(char32_t unit) const {
        bool found = false;
        for (const auto& [low, high] : ranges) {
            found = found || (low <= unit && unit <= high);
        }
        return found != negated;
    }
};

// Reads the members between `pos` and `end` (the closing `]`).
CharSet parse_set(std::string_view pattern, std::size_t pos, std::size_t end, bool escapes) {
    CharSet set;
    if (pattern[pos] == '!' || pattern[pos] == '^') {
        set.negated = true;
        ++pos;
    }
    auto member = [&] {
        if (escapes && pattern[pos] == '\\' && pos + 1 < end) {
            ++pos;
        }
        std::size_t length = 0;
        const char32_t unit = unit_at(pattern, pos, length);
        pos += length;
        return unit;
    };
    while (pos < end) {
        const char32_t low = member();
        // A `-` joins two members; first or last in the set it is a member itself.
        if (pos + 1 < end && pattern[pos] == '-') {
            ++pos;
            set.ranges.emplace_back(low, member());
        } else {
            set.ranges.emplace_back(low, low);
        }
    }
    return set;
}

struct Token {
    enum class Kind { Unit, AnyUnit, AnyRun, Set } kind;
    char32_t unit = 0;
    std::size_t set = 0; // index into the compiled pattern's sets
};

struct CompiledPattern {
    std::vector<Token> tokens;
    std::vector<CharSet> sets;

    bool matches_one(const Token& token, char32_t unit) const {
        switch (token.kind) {
        case Token::Kind::Unit:
            return token.unit == unit;
        case Token::Kind::Set:
            return sets[token.set].contains(unit);
        default:
            return true;
        }
    }
};

CompiledPattern compile(std::string_view pattern, bool escapes) {
    CompiledPattern compiled;
    for (std::size_t pos = 0; pos < pattern.size();) {
        const char c = pattern[pos];
        if (c == '*') {
            // A run of stars is one star.
            if (compiled.tokens.empty() || compiled.tokens.back().kind != Token::Kind::AnyRun) {
                compiled.tokens.push_back({Token::Kind::AnyRun});
            }
            ++pos;
            continue;
        }
        if (c == '?') {
            compiled.tokens.push_back({Token::Kind::AnyUnit});
            ++pos;
            continue;
        }
        if (c == '[') {
            if (const auto end = set_end(pattern, pos + 1, escapes)) {
                compiled.tokens.push_back({Token::Kind::Set, 0, compiled.sets.size()});
                compiled.sets.push_back(parse_set(pattern, pos + 1, *end, escapes));
                pos = *end + 1;
                continue;
            }
        }
        if (escapes && c == '\\' && pos + 1 < pattern.size()) {
            ++pos;
        }
        std::size_t length = 0;
        compiled.tokens.push_back({Token::Kind::Unit, unit_at(pattern, pos, length)});
        pos += length;
    }
    return compiled;
}

} // namespace

bool name_matches(std::string_view pattern, std::string_view name, bool escapes) {
    const CompiledPattern compiled = compile(pattern, escapes);
    std::vector<char32_t> units;
    for (std::size_t pos = 0; pos < name.size();) {
        std::size_t length = 0;
        units.push_back(unit_at(name, pos, length));
        pos += length;
    }
    // Every token but a star takes exactly one unit, so only the latest star ever needs
    // to take more: on a mismatch it absorbs one more unit and the rest is retried.
    // That bounds the work by pattern length times name length, whatever the stars.
    const auto& tokens = compiled.tokens;
    std::size_t t = 0;
    std::size_t u = 0;
    std::optional<std::pair<std::size_t, std::size_t>> star; // token after it, unit it took up to
    while (u < units.size()) {
        if (t < tokens.size() && tokens[t].kind == Token::Kind::AnyRun) {
            star.emplace(++t, u);
        } else if (t < tokens.size() && compiled.matches_one(tokens[t], units[u])) {
            ++t;
            ++u;
        } else if (star) {
            t = star->first;
            u = ++star->second;
        } else {
            return false;
        }
    }
    while (t < tokens.size() && tokens[t].kind == Token::Kind::AnyRun) {
        ++t;
    }
    return t == tokens.size();
}

bool has_wildcards(std::string_view pattern, bool escapes) {
    for (std::size_t pos = 0; pos < pattern.size(); ++pos) {
        const char c = pattern[pos];
        if (escapes && c == '\\') {
            ++pos;
        } else if (c == '*' || c == '?' || (c == '[' && set_end(pattern, pos + 1, escapes))) {
            return true;
        }
    }
    return false;
}

} // namespace ovaline::fs

#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ovaline::shell {

// Where each group of a match lies in the text; npos for a group that took no part.
using MatchGroups = std::vector<std::pair<std::size_t, std::size_t>>;

// A POSIX regular expression as sed and awk read it, matched by PCRE2 over UTF-8 text.
// The whole subject is one string: "." and bracket expressions match a newline too, and
// ^ and $ are its ends, as they are for a pattern space holding several lines.
class Regex {
  public:
    enum class Syntax {
        Basic,    // BRE with the usual extensions: \+ \? \| \n \t \< \> \b \w \s
        Extended, // ERE
        Awk,      // ERE where a backslash escapes inside a bracket expression too
    };

    static std::expected<Regex, std::string> compile(std::string_view pattern, Syntax syntax,
                                                     bool ignore_case = false);

    // The first match at or after `from`, searched within the whole of `text` so that
    // anchors and word edges see what lies before `from`. With `not_empty_at_start` an
    // empty match at `from` itself does not count.
    bool search(std::string_view text, std::size_t from, MatchGroups& groups,
                bool not_empty_at_start = false) const;
    bool matches(std::string_view text) const;
    // The number of capturing groups.
    std::size_t groups() const { return groups_; }

  private:
    struct Compiled;
    std::shared_ptr<Compiled> compiled_;
    std::size_t groups_ = 0;
};

// Calls `use(start, end, groups)` for each match of a global substitution in order: an
// empty match right after the previous match does not count, so "b*" over "abc" matches
// before "a", at "b" and at the end. `use` returns false to stop.
template <class Use> void for_each_match(const Regex& regex, std::string_view text, Use&& use) {
    MatchGroups groups;
    std::size_t pos = 0;
    bool after_match = false;
    while (pos <= text.size() && regex.search(text, pos, groups, after_match)) {
        const auto [start, end] = groups[0];
        if (!use(start, end, groups)) {
            return;
        }
        if (end > start) {
            pos = end;
            after_match = true;
            continue;
        }
        if (end >= text.size()) {
            return;
        }
        // Past the character at an empty match, whole: UTF-8 continuation bytes too.
        pos = end + 1;
        while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) {
            ++pos;
        }
        after_match = false;
    }
}

} // namespace ovaline::shell

#include "shell/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace ovaline::shell {

namespace {

// The PCRE2 form of a POSIX pattern. In the basic syntax ( ) { } | + ? are literal and
// their backslashed forms are operators, and ^ and $ anchor only at the ends of the
// pattern or of a group or alternative.
std::string translate(std::string_view pattern, Regex::Syntax syntax) {
    const bool basic = syntax == Regex::Syntax::Basic;
    std::string out;
    bool in_bracket = false;
    std::size_t bracket_start = 0;
    // Whether the next character begins an expression: an anchor may stand there, and
    // a "*" there is literal.
    bool at_start = true;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (in_bracket) {
            // "]" first in the set (after "[" or "[^") belongs to it.
            const bool first = i == bracket_start;
            if (c == ']' && !first) {
                in_bracket = false;
                out.push_back(c);
            } else if (c == '[' && i + 1 < pattern.size() &&
                       (pattern[i + 1] == ':' || pattern[i + 1] == '.' || pattern[i + 1] == '=')) {
                const char kind = pattern[i + 1];
                const std::size_t close = pattern.find(std::string{kind, ']'}, i + 2);
                if (close == std::string_view::npos) {
                    out += "\\[";
                } else if (kind == ':') {
                    out.append(pattern.substr(i, close + 2 - i));
                    i = close + 1;
                } else {
                    // A collating element or equivalence class of one character is it.
                    for (char member : pattern.substr(i + 2, close - i - 2)) {
                        out += '\\';
                        out += member;
                    }
                    i = close + 1;
                }
            } else if (c == '\\' && syntax == Regex::Syntax::Awk && i + 1 < pattern.size()) {
                out.push_back(c);
                out.push_back(pattern[++i]);
            } else {
                if (c == '\\' || c == '[') {
                    out.push_back('\\');
                }
                out.push_back(c);
            }
            continue;
        }
        const bool was_start = at_start;
        at_start = false;
        if (c == '[') {
            in_bracket = true;
            out.push_back(c);
            bracket_start = i + 1;
            if (bracket_start < pattern.size() && pattern[bracket_start] == '^') {
                out.push_back('^');
                ++bracket_start;
                ++i;
            }
            continue;
        }
        if (c == '\\' && i + 1 < pattern.size()) {
            const char next = pattern[++i];
            if (basic && (next == '(' || next == '|')) {
                out.push_back(next);
                at_start = true;
            } else if (basic && std::string_view("){}+?").find(next) != std::string_view::npos) {
                out.push_back(next);
            } else if (next == '<') {
                out += "\\b(?=\\w)";
            } else if (next == '>') {
                out += "\\b(?<=\\w)";
            } else if (next == '`') {
                out += "\\A";
            } else if (next == '\'') {
                out += "\\z";
            } else if (next >= '1' && next <= '9') {
                out += "\\g{";
                out.push_back(next);
                out += "}";
            } else if (next == 'n') {
                out += "\\n";
            } else if (next == 't') {
                out += "\\t";
            } else if (std::string_view("bBwWsS").find(next) != std::string_view::npos) {
                out.push_back('\\');
                out.push_back(next);
            } else if ((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                       (next >= '0' && next <= '9')) {
                // An escape without a meaning here stands for the character itself.
                out.push_back(next);
            } else {
                out.push_back('\\');
                out.push_back(next);
            }
            continue;
        }
        if (basic) {
            if (std::string_view("(){}|+?").find(c) != std::string_view::npos) {
                out.push_back('\\');
                out.push_back(c);
                continue;
            }
            if (c == '^' && !was_start) {
                out += "\\^";
                continue;
            }
            if (c == '$') {
                const std::string_view rest = pattern.substr(i + 1);
                if (!rest.empty() && !rest.starts_with("\\)") && !rest.starts_with("\\|")) {
                    out += "\\$";
                    continue;
                }
            }
        } else if (c == '(' || c == '|') {
            at_start = true;
        } else if (c == '{' && was_start) {
            out += "\\{";
            continue;
        }
        if (c == '^') {
            at_start = true;
            out.push_back(c);
            continue;
        }
        if (c == '*' && was_start) {
            out += "\\*";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

struct CodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

} // namespace

struct Regex::Compiled {
    std::unique_ptr<pcre2_code, CodeDeleter> code;
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> data;
};

std::expected<Regex, std::string> Regex::compile(std::string_view pattern, Syntax syntax,
                                                 bool ignore_case) {
    const std::string translated = translate(pattern, syntax);
    const std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF | PCRE2_DOTALL |
                                  PCRE2_DOLLAR_ENDONLY | (ignore_case ? PCRE2_CASELESS : 0);
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.data()),
                                     translated.size(), options, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof(message));
        return std::unexpected(std::string(reinterpret_cast<const char*>(message)));
    }
    // Without JIT support matching still works, only slower.
    (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    Regex regex;
    regex.compiled_ = std::make_shared<Compiled>();
    regex.compiled_->code.reset(code);
    regex.compiled_->data.reset(pcre2_match_data_create_from_pattern(code, nullptr));
    std::uint32_t count = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &count);
    regex.groups_ = count;
    return regex;
}

bool Regex::search(std::string_view text, std::size_t from, MatchGroups& groups,
                   bool not_empty_at_start) const {
    pcre2_match_data* data = compiled_->data.get();
    const int rc =
        pcre2_match(compiled_->code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                    from, not_empty_at_start ? PCRE2_NOTEMPTY_ATSTART : 0, data, nullptr);
    if (rc < 0) {
        return false;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    groups.assign(groups_ + 1, {std::string_view::npos, std::string_view::npos});
    for (std::size_t i = 0; i < groups.size() && i < static_cast<std::size_t>(rc); ++i) {
        if (ovector[2 * i] != PCRE2_UNSET) {
            groups[i] = {ovector[2 * i], ovector[2 * i + 1]};
        }
    }
    return true;
}

bool Regex::matches(std::string_view text) const {
    MatchGroups groups;
    return search(text, 0, groups);
}

} // namespace ovaline::shell

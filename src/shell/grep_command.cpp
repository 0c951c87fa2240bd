#include "shell/grep_command.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "error/utf8.hpp"
#include "shell/commands.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

// A POSIX basic or extended regular expression in PCRE2's syntax. In the basic syntax
// ( ) { } | + ? are literal and their backslashed forms are operators; a bracket
// expression takes backslashes literally in both.
std::string translate(std::string_view pattern, bool extended) {
    std::string out;
    bool in_bracket = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (in_bracket) {
            // "]" right after "[" or "[^" belongs to the set.
            const bool opens =
                pattern[i - 1] == '[' || (pattern[i - 1] == '^' && i >= 2 && pattern[i - 2] == '[');
            if (c == ']' && !opens) {
                in_bracket = false;
            } else if (c == '[' && i + 1 < pattern.size() && pattern[i + 1] == ':') {
                const std::size_t close = pattern.find(":]", i + 2);
                if (close != std::string_view::npos) {
                    out.append(pattern.substr(i, close + 2 - i));
                    i = close + 1;
                    continue;
                }
            }
            if (c == '\\' || (c == '[' && !opens)) {
                out.push_back('\\');
            }
            out.push_back(c);
            continue;
        }
        if (c == '[') {
            in_bracket = true;
            out.push_back(c);
            continue;
        }
        if (c == '\\' && i + 1 < pattern.size()) {
            const char next = pattern[++i];
            if (next == '<') {
                out += "\\b(?=\\w)";
            } else if (next == '>') {
                out += "\\b(?<=\\w)";
            } else if (!extended &&
                       std::string_view("(){}|+?").find(next) != std::string_view::npos) {
                out.push_back(next);
            } else {
                out.push_back('\\');
                out.push_back(next);
            }
            continue;
        }
        if (!extended && std::string_view("(){}|+?").find(c) != std::string_view::npos) {
            out.push_back('\\');
            out.push_back(c);
            continue;
        }
        // A leading "*" is literal.
        if (c == '*' && (out.empty() || out == "^" || out.ends_with("(") || out.ends_with("|"))) {
            out += "\\*";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

// Every character that is not a letter or digit quoted.
std::string quote_literal(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 &&
            static_cast<unsigned char>(c) < 0x80) {
            out.push_back('\\');
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

class Matcher {
  public:
    // `edges` is "w" to match whole words only, "x" whole lines, or empty.
    static std::expected<Matcher, std::string> compile(std::string_view patterns, bool extended,
                                                       bool fixed, bool ignore_case,
                                                       std::string_view edges) {
        // Each line of the pattern is an alternative.
        std::string combined;
        std::size_t start = 0;
        while (start <= patterns.size()) {
            std::size_t end = patterns.find('\n', start);
            if (end == std::string_view::npos) {
                end = patterns.size();
            }
            const std::string_view one = patterns.substr(start, end - start);
            combined += (combined.empty() ? "(?:" : "|(?:") +
                        (fixed ? quote_literal(one) : translate(one, extended)) + ")";
            start = end + 1;
        }
        if (edges == "w") {
            combined = "(?<!\\w)(?:" + combined + ")(?!\\w)";
        } else if (edges == "x") {
            combined = "^(?:" + combined + ")$";
        }
        // Character classes, \w and \b know letters beyond ASCII, as in a UTF-8 locale.
        const std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF |
                                      PCRE2_MULTILINE | (ignore_case ? PCRE2_CASELESS : 0);
        int error = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(combined.data()),
                                         combined.size(), options, &error, &offset, nullptr);
        if (code == nullptr) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(error, message, sizeof(message));
            return std::unexpected(std::string(reinterpret_cast<const char*>(message)));
        }
        // Without JIT support matching still works, only slower.
        Matcher matcher;
        matcher.jit_ = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0;
        matcher.code_.reset(code);
        matcher.data_.reset(pcre2_match_data_create_from_pattern(code, nullptr));
        return matcher;
    }

    // The start and end of the first match at or after `from`, if any.
    std::optional<std::pair<std::size_t, std::size_t>> find(std::string_view text,
                                                            std::size_t from) const {
        // The JIT's own entry skips the checks that a call per line would repeat.
        const auto match = jit_ ? pcre2_jit_match : pcre2_match;
        const int rc = match(code_.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                             from, 0, data_.get(), nullptr);
        if (rc < 0) {
            return std::nullopt;
        }
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data_.get());
        return std::pair<std::size_t, std::size_t>(ovector[0], ovector[1]);
    }

    // Calls `use(line, number)` for each selected line in order until it returns false;
    // `number` is 0 unless `numbered`, since counting lines is a pass over the whole text.
    template <class Use>
    void select(std::string_view text, bool invert, bool numbered, Use&& use) const {
        if (invert) {
            std::uint64_t number = 0;
            for (auto line : split_lines(text)) {
                ++number;
                if (!find(line, 0) && !use(line, number)) {
                    return;
                }
            }
            return;
        }
        // One search over the whole text finds the next candidate line, which is then
        // checked on its own, since a match may run across a line break.
        std::size_t pos = 0;
        std::size_t counted_to = 0;
        std::uint64_t number = 1;
        while (pos < text.size()) {
            const auto hit = find(text, pos);
            if (!hit || hit->first >= text.size()) {
                return;
            }
            // `pos` starts a line, so the line's start is the last newline between.
            const void* newline = memrchr(text.data() + pos, '\n', hit->first - pos);
            const std::size_t line_start =
                newline == nullptr ? pos : static_cast<const char*>(newline) - text.data() + 1;
            std::size_t line_end = text.find('\n', hit->first);
            if (line_end == std::string_view::npos) {
                line_end = text.size();
            }
            const std::string_view line = text.substr(line_start, line_end - line_start);
            if (numbered) {
                number += std::count(text.begin() + counted_to, text.begin() + line_start, '\n');
                counted_to = line_start;
            }
            // A match that stays within its line matches that line alone too: the
            // line's edges are edges for ^, $ and word boundaries either way.
            if ((hit->second <= line_end || find(line, 0)) && !use(line, numbered ? number : 0)) {
                return;
            }
            pos = line_end + 1;
        }
    }

  private:
    std::unique_ptr<pcre2_code, CodeDeleter> code_;
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> data_;
    bool jit_ = false;
};

// A text with NUL bytes or broken UTF-8 is binary: GNU grep reports its first selected
// line instead of printing any.
bool is_binary(std::string_view text) {
    // Plain ASCII without NUL, the usual case, is told apart in one vectorised pass.
    unsigned char outside = 0;
    for (const char c : text) {
        outside |= static_cast<unsigned char>(static_cast<unsigned char>(c) - 1) >= 0x7F ? 1 : 0;
    }
    return outside != 0 && (text.find('\0') != std::string_view::npos || !is_valid_utf8(text));
}

void report_binary(CommandContext& context, const std::string& label, std::uint64_t selected) {
    if (selected == 1) {
        context.error("grep", label + ": binary file matches");
    }
}

bool is_directory(const TerminalContext& context, const std::string& path) {
    auto id = resolve_path(context, path);
    auto is_dir = id ? context.filesystem->is_directory_raw(*id) : fs::IoResult<bool>(false);
    return is_dir && *is_dir;
}

// The files under a directory operand, in name order, directories walked depth first.
void collect_files(const TerminalContext& context, const std::string& path,
                   std::vector<std::string>& files) {
    auto id = resolve_path(context, path);
    if (!id) {
        return;
    }
    auto listing = context.filesystem->ls_raw(*id);
    if (!listing) {
        return;
    }
    std::vector<std::pair<std::string, bool>> entries;
    for (const auto& name : listing->files) {
        entries.emplace_back(name, false);
    }
    for (const auto& name : listing->directories) {
        entries.emplace_back(name, true);
    }
    std::ranges::sort(entries);
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    for (const auto& [name, is_dir] : entries) {
        if (is_dir) {
            collect_files(context, prefix + name, files);
        } else {
            files.push_back(prefix + name);
        }
    }
}

} // namespace

std::string posix_regex_to_pcre(std::string_view pattern, bool extended) {
    return translate(pattern, extended);
}

int cmd_grep(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "grep", words, "ivnclrEFqowxm:", 2);
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "grep", "missing pattern", 2);
    }
    if (options->has('E') && options->has('F')) {
        context.error("grep", "conflicting matchers specified");
        return 2;
    }
    // At most this many selected lines of each input; none at all for 0.
    std::uint64_t most = UINT64_MAX;
    if (options->has('m')) {
        const std::string& text = options->given['m'];
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), most);
        if (ec != std::errc() || end != text.data() + text.size()) {
            context.error("grep", "invalid max count");
            return 2;
        }
    }
    auto matcher = Matcher::compile(options->operands[0], options->has('E'), options->has('F'),
                                    options->has('i'),
                                    options->has('x') ? "x" : (options->has('w') ? "w" : ""));
    if (!matcher) {
        context.error("grep", matcher.error());
        return 2;
    }
    const bool recursive = options->has('r');
    std::vector<std::string> operands(options->operands.begin() + 1, options->operands.end());
    bool show_names = operands.size() > 1;
    // Without operands, -r searches the current directory and names files relative to it.
    bool strip_dot = false;
    if (operands.empty() && recursive) {
        operands.push_back(".");
        strip_dot = true;
    }
    std::vector<std::string> inputs;
    for (const auto& operand : operands) {
        // Without -r a directory is an input that cannot be read.
        if (recursive && is_directory(context.terminal, operand)) {
            show_names = true;
            std::vector<std::string> files;
            collect_files(context.terminal, operand, files);
            for (auto& file : files) {
                inputs.push_back(strip_dot ? file.substr(2) : std::move(file));
            }
            continue;
        }
        inputs.push_back(operand);
    }
    if (operands.empty()) {
        inputs.push_back("-");
    }

    const bool invert = options->has('v');
    const bool count = options->has('c');
    const bool names_only = options->has('l');
    const bool numbers = options->has('n');
    const bool quiet = options->has('q');
    const bool only_matching = options->has('o');
    bool any = false;
    bool error = false;
    for (const auto& input : inputs) {
        // GNU grep counts a directory it cannot read as holding no lines.
        if (count && input != "-" && is_directory(context.terminal, input)) {
            context.write((show_names ? input + ":" : "") + "0\n");
        }
        const std::span<const std::string> one(&input, 1);
        const bool read = read_inputs(
            context, "grep", operands.empty() ? std::span<const std::string>() : one,
            [&](const std::string&, std::string_view text) {
                const std::string label = input == "-" ? "(standard input)" : input;
                const std::string prefix = show_names ? label + ":" : "";
                std::uint64_t selected = 0;
                const bool binary = is_binary(text);
                if (most == 0) {
                    text = {};
                }
                matcher->select(
                    text, invert, numbers, [&](std::string_view line, std::uint64_t number) {
                        ++selected;
                        if (count || names_only || quiet) {
                            return selected < most && !quiet;
                        }
                        if (binary) {
                            report_binary(context, label, selected);
                            return selected < most;
                        }
                        std::string head = prefix;
                        if (numbers) {
                            head += std::to_string(number) + ":";
                        }
                        if (!only_matching) {
                            context.write(head);
                            context.write(line);
                            context.write("\n");
                            return selected < most;
                        }
                        // -o prints each non-empty match on a line of its own;
                        // an inverted selection has none to print.
                        for (std::size_t at = 0; !invert && at <= line.size();) {
                            const auto hit = matcher->find(line, at);
                            if (!hit) {
                                break;
                            }
                            if (hit->second == hit->first) {
                                at = hit->second + 1;
                                continue;
                            }
                            context.write(head);
                            context.write(line.substr(hit->first, hit->second - hit->first));
                            context.write("\n");
                            at = hit->second;
                        }
                        return selected < most;
                    });
                any = any || selected > 0;
                if (quiet) {
                    return;
                }
                if (names_only) {
                    if (selected > 0) {
                        context.write(label + "\n");
                    }
                } else if (count) {
                    context.write(prefix + std::to_string(selected) + "\n");
                }
            },
            {}, true);
        error = error || !read;
        if (context.overflow || (quiet && any)) {
            break;
        }
    }
    // A quiet search that found a line succeeds even when an input could not be read.
    if (quiet && any) {
        return 0;
    }
    return error ? 2 : (any ? 0 : 1);
}

} // namespace ovaline::shell

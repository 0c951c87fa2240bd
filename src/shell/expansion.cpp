#include <algorithm>
#include <charconv>
#include <iterator>
#include <span>

#include "fs/glob.hpp"
#include "fs/name_pattern.hpp"
#include "shell/arithmetic.hpp"
#include "shell/interpreter.hpp"

namespace ovaline::shell {

namespace {

bool is_glob_char(char c) {
    return c == '*' || c == '?' || c == '[';
}

bool is_unquoted_char(const WordPart& part, char c) {
    return part.kind == WordPart::Kind::Text && !part.quoted && part.text.size() == 1 &&
           part.text[0] == c;
}

void append_part(std::vector<WordPart>& parts, WordPart part) {
    if (part.kind == WordPart::Kind::Text && !parts.empty() &&
        parts.back().kind == WordPart::Kind::Text && parts.back().quoted == part.quoted) {
        parts.back().text += part.text;
    } else {
        parts.push_back(std::move(part));
    }
}

std::optional<long long> to_integer(std::string_view text) {
    long long value = 0;
    const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || begin == end) {
        return std::nullopt;
    }
    return value;
}

// The words of {X..Y} or {X..Y..STEP}, for integers or single letters.
std::optional<std::vector<std::string>> sequence(std::string_view inner) {
    const std::size_t dots = inner.find("..");
    if (dots == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view first = inner.substr(0, dots);
    std::string_view last = inner.substr(dots + 2);
    long long step = 1;
    if (const std::size_t more = last.find(".."); more != std::string_view::npos) {
        const auto parsed = to_integer(last.substr(more + 2));
        if (!parsed) {
            return std::nullopt;
        }
        step = *parsed == 0 ? 1 : (*parsed < 0 ? -*parsed : *parsed);
        last = last.substr(0, more);
    }
    std::vector<std::string> out;
    const auto a = to_integer(first);
    const auto b = to_integer(last);
    if (a && b) {
        // A leading zero pads every number to the wider end's width.
        const auto padded = [](std::string_view s) {
            const std::string_view digits = s.substr(s.starts_with('-') ? 1 : 0);
            return digits.size() > 1 && digits[0] == '0';
        };
        const std::size_t width =
            padded(first) || padded(last) ? std::max(first.size(), last.size()) : 0;
        const long long direction = *a <= *b ? 1 : -1;
        for (long long v = *a; direction > 0 ? v <= *b : v >= *b; v += direction * step) {
            std::string text = std::to_string(v < 0 ? -v : v);
            const std::size_t digits = width - (v < 0 ? 1 : 0);
            if (width > 0 && text.size() < digits) {
                text.insert(0, digits - text.size(), '0');
            }
            out.push_back((v < 0 ? "-" : "") + text);
            if (out.size() > 1000000) {
                return std::nullopt;
            }
        }
        return out;
    }
    if (first.size() == 1 && last.size() == 1 &&
        std::isalpha(static_cast<unsigned char>(first[0])) &&
        std::isalpha(static_cast<unsigned char>(last[0]))) {
        const int direction = first[0] <= last[0] ? 1 : -1;
        for (int c = first[0]; direction > 0 ? c <= last[0] : c >= last[0];
             c += direction * static_cast<int>(step)) {
            out.emplace_back(1, static_cast<char>(c));
        }
        return out;
    }
    return std::nullopt;
}

using Units = std::vector<WordPart>;

void brace_expand_units(const Units& units, std::vector<Units>& out) {
    for (std::size_t a = 0; a < units.size(); ++a) {
        if (!is_unquoted_char(units[a], '{')) {
            continue;
        }
        int depth = 0;
        std::vector<std::size_t> commas;
        std::size_t b = a;
        for (std::size_t k = a + 1; k < units.size(); ++k) {
            if (is_unquoted_char(units[k], '{')) {
                ++depth;
            } else if (is_unquoted_char(units[k], '}')) {
                if (depth == 0) {
                    b = k;
                    break;
                }
                --depth;
            } else if (depth == 0 && is_unquoted_char(units[k], ',')) {
                commas.push_back(k);
            }
        }
        if (b == a) {
            continue;
        }
        std::vector<Units> alternatives;
        if (!commas.empty()) {
            std::size_t start = a + 1;
            commas.push_back(b);
            for (std::size_t comma : commas) {
                alternatives.emplace_back(units.begin() + static_cast<std::ptrdiff_t>(start),
                                          units.begin() + static_cast<std::ptrdiff_t>(comma));
                start = comma + 1;
            }
        } else {
            std::string inner;
            for (std::size_t k = a + 1; k < b; ++k) {
                if (units[k].kind != WordPart::Kind::Text || units[k].quoted) {
                    inner.clear();
                    break;
                }
                inner += units[k].text;
            }
            const auto items = sequence(inner);
            if (!items) {
                continue;
            }
            for (const std::string& item : *items) {
                alternatives.push_back({WordPart{WordPart::Kind::Text, item, false, {}, {}, {}}});
            }
        }
        for (Units& alternative : alternatives) {
            Units combined(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(a));
            combined.insert(combined.end(), std::make_move_iterator(alternative.begin()),
                            std::make_move_iterator(alternative.end()));
            combined.insert(combined.end(), units.begin() + static_cast<std::ptrdiff_t>(b) + 1,
                            units.end());
            brace_expand_units(combined, out);
        }
        return;
    }
    out.push_back(units);
}

bool has_braces(const Word& word) {
    return std::ranges::any_of(word.parts, [](const WordPart& part) {
        return part.kind == WordPart::Kind::Text && !part.quoted &&
               part.text.find('{') != std::string::npos;
    });
}

// {a,b} and {1..3}: one word becomes several, before any other expansion.
std::vector<Word> brace_expand(const Word& word) {
    Units units;
    for (const WordPart& part : word.parts) {
        if (part.kind == WordPart::Kind::Text && !part.quoted) {
            for (char c : part.text) {
                units.push_back({WordPart::Kind::Text, std::string(1, c), false, {}, {}, {}});
            }
        } else {
            units.push_back(part);
        }
    }
    std::vector<Units> expanded;
    brace_expand_units(units, expanded);
    std::vector<Word> out;
    for (Units& one : expanded) {
        Word w;
        for (WordPart& part : one) {
            append_part(w.parts, std::move(part));
        }
        out.push_back(std::move(w));
    }
    return out;
}

// "$@" alone (with quotes around it) gives no word at all when there are no
// positional parameters.
bool only_quoted_at(const Word& word) {
    bool at = false;
    for (const WordPart& part : word.parts) {
        if (part.kind == WordPart::Kind::Parameter && part.quoted && part.text == "@" &&
            part.op.empty()) {
            at = true;
        } else if (part.kind != WordPart::Kind::Text || !part.text.empty()) {
            return false;
        }
    }
    return at;
}

std::size_t utf8_length(std::string_view text) {
    return static_cast<std::size_t>(std::ranges::count_if(
        text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

} // namespace

// Words being built: each character remembers whether it was quoted.
struct Interpreter::Fields {
    struct Field {
        std::string text;
        std::string quoted;
        bool glob = false;
        bool exists = false;
    };
    std::vector<Field> list = std::vector<Field>(1);
    std::string ifs = " \t\n";
    // Unquoted expansions are split at IFS characters.
    bool split = true;
    bool pending_break = false;
    // The pending break came from a delimiter that is not a blank.
    bool hard_break = false;

    Field& current() {
        if (pending_break) {
            list.emplace_back();
            pending_break = false;
        }
        return list.back();
    }
    void add(char c, bool quoted) {
        Field& field = current();
        field.text.push_back(c);
        field.quoted.push_back(quoted ? 1 : 0);
        field.glob = field.glob || (!quoted && is_glob_char(c));
        field.exists = true;
    }
    void add_text(std::string_view text, bool quoted) {
        if (quoted) {
            current().exists = true;
        }
        for (char c : text) {
            add(c, quoted);
        }
    }
    void add_value(std::string_view text, bool quoted) {
        if (quoted || !split) {
            add_text(text, quoted);
            return;
        }
        // IFS blanks around a delimiter that is not a blank belong to it; two such
        // delimiters in a row hold an empty field between them.
        for (char c : text) {
            if (ifs.find(c) == std::string::npos) {
                add(c, false);
                hard_break = false;
            } else if (c == ' ' || c == '\t' || c == '\n') {
                if (list.back().exists && !pending_break) {
                    pending_break = true;
                    hard_break = false;
                }
            } else if (pending_break && hard_break) {
                list.emplace_back().exists = true;
            } else {
                list.back().exists = true;
                pending_break = true;
                hard_break = true;
            }
        }
    }
    void next_field() {
        if (split) {
            pending_break = true;
        } else {
            add(' ', true);
        }
    }
    std::string joined() const {
        std::string out;
        for (const Field& field : list) {
            out += field.text;
        }
        return out;
    }
};

std::optional<std::string> Interpreter::parameter(const std::string& name) {
    const char c = name[0];
    if (name.size() == 1 && !std::isalpha(static_cast<unsigned char>(c)) && c != '_') {
        switch (c) {
        case '?':
            return std::to_string(state_.last_status);
        case '#':
            return std::to_string(state_.positional.size());
        case '0':
            return std::string("sh");
        case '$':
            return std::string("1");
        case '-':
            return std::string(state_.errexit ? "e" : "") + (state_.nounset ? "u" : "");
        case '@':
        case '*': {
            std::string out;
            for (const std::string& item : state_.positional) {
                out += (out.empty() && &item == &state_.positional.front() ? "" : " ") + item;
            }
            return out;
        }
        default:
            break;
        }
    }
    if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
        const std::size_t index = std::stoul(name.substr(0, 9));
        if (index == 0) {
            return std::string("sh");
        }
        if (index <= state_.positional.size()) {
            return state_.positional[index - 1];
        }
        return std::nullopt;
    }
    const auto found = state_.variables.find(name);
    if (found == state_.variables.end()) {
        // The current directory is known before any cd sets PWD.
        if (name == "PWD") {
            auto path = state_.context.filesystem->get_path_by_inode(state_.context.current_dir);
            return path ? std::optional<std::string>(std::move(*path)) : std::nullopt;
        }
        return std::nullopt;
    }
    return found->second;
}

void Interpreter::fail_expansion(std::string message, int status, Flow flow) {
    if (flow_ != Flow::Normal) {
        return;
    }
    print_error(current_, message + "\n");
    flow_ = flow;
    flow_status_ = status;
}

std::optional<std::int64_t> Interpreter::arithmetic(std::string_view expression) {
    const ArithmeticVariables variables{
        [this](const std::string& name) { return parameter(name); },
        [this](const std::string& name, const std::string& value) { set_variable(name, value); },
    };
    auto value = evaluate_arithmetic(expression, variables);
    if (!value) {
        fail_expansion(value.error(), 1, Flow::Abort);
        return std::nullopt;
    }
    return *value;
}

std::string Interpreter::substitute(const Script& script) {
    std::string out;
    const Streams io{&out, current_.err, current_.in};
    if (!enter(io)) {
        return out;
    }
    const Streams saved = current_;
    const int status = run_subshell(script, io);
    current_ = saved;
    --nesting_;
    substitution_status_ = status;
    state_.last_status = status;
    while (out.ends_with('\n')) {
        out.pop_back();
    }
    return out;
}

void Interpreter::expand_into(const Word& word, Fields& fields, bool quoted_context) {
    for (const WordPart& part : word.parts) {
        if (flow_ != Flow::Normal) {
            return;
        }
        const bool quoted = part.quoted || quoted_context;
        switch (part.kind) {
        case WordPart::Kind::Text:
            // A leading unquoted ~ is $HOME, or the root where cd alone goes without it.
            if (!quoted && &part == &word.parts.front() && part.text.starts_with('~') &&
                (part.text.size() == 1 || part.text[1] == '/')) {
                const std::string home = parameter("HOME").value_or("/");
                std::string_view rest = std::string_view(part.text).substr(1);
                if (home.ends_with('/') && rest.starts_with('/')) {
                    rest.remove_prefix(1);
                }
                fields.add_text(home, true);
                fields.add_text(rest, false);
                break;
            }
            fields.add_text(part.text, quoted);
            break;
        case WordPart::Kind::Parameter:
            expand_parameter(part, fields, quoted);
            break;
        case WordPart::Kind::Command:
            fields.add_value(substitute(*part.script), quoted);
            break;
        case WordPart::Kind::Arithmetic: {
            const auto value = arithmetic(expand_value(part.args[0]));
            if (value) {
                fields.add_value(std::to_string(*value), quoted);
            }
            break;
        }
        }
    }
}

void Interpreter::expand_parameter(const WordPart& part, Fields& fields, bool quoted) {
    const std::string& name = part.text;
    const std::string& op = part.op;
    if ((name == "@" || name == "*") && op.empty()) {
        const auto& items = state_.positional;
        if (quoted && name == "*") {
            const auto ifs = parameter("IFS");
            const std::string separator = !ifs ? " " : ifs->substr(0, 1);
            std::string joined;
            for (std::size_t k = 0; k < items.size(); ++k) {
                joined += (k > 0 ? separator : "") + items[k];
            }
            fields.add_text(joined, true);
            return;
        }
        for (std::size_t k = 0; k < items.size(); ++k) {
            if (k > 0) {
                fields.next_field();
            }
            fields.add_value(items[k], quoted);
        }
        return;
    }
    const std::optional<std::string> value = parameter(name);
    const bool is_special = !std::isalpha(static_cast<unsigned char>(name[0])) && name[0] != '_' &&
                            std::isdigit(static_cast<unsigned char>(name[0])) == 0;
    const bool tests_unset = op == ":-" || op == "-" || op == ":=" || op == "=" || op == ":+" ||
                             op == "+" || op == ":?" || op == "?";
    if (!value && state_.nounset && !tests_unset && !is_special) {
        fail_expansion(name + ": unbound variable", 127, Flow::Exit);
        return;
    }
    const std::string text = value.value_or("");
    if (op.empty()) {
        fields.add_value(text, quoted);
        return;
    }
    if (op == "len") {
        fields.add_value(std::to_string(name == "@" || name == "*" ? state_.positional.size()
                                                                   : utf8_length(text)),
                         quoted);
        return;
    }
    const bool missing = !value || (op.starts_with(':') && text.empty());
    if (op == ":-" || op == "-") {
        if (missing) {
            expand_into(part.args[0], fields, quoted);
        } else {
            fields.add_value(text, quoted);
        }
        return;
    }
    if (op == ":=" || op == "=") {
        if (!missing) {
            fields.add_value(text, quoted);
            return;
        }
        if (!is_name(name)) {
            fail_expansion("$" + name + ": cannot assign in this way", 1, Flow::Abort);
            return;
        }
        std::string assigned = expand_value(part.args[0]);
        set_variable(name, assigned);
        fields.add_value(assigned, quoted);
        return;
    }
    if (op == ":+" || op == "+") {
        if (!missing) {
            expand_into(part.args[0], fields, quoted);
        } else if (quoted) {
            fields.add_text("", true);
        }
        return;
    }
    if (op == ":?" || op == "?") {
        if (!missing) {
            fields.add_value(text, quoted);
            return;
        }
        const std::string message = expand_value(part.args[0]);
        fail_expansion(name + ": " + (message.empty() ? "parameter null or not set" : message), 127,
                       Flow::Exit);
        return;
    }
    if (op == "%" || op == "%%" || op == "#" || op == "##") {
        const std::string pattern = expand_pattern(part.args[0]);
        const bool longest = op.size() == 2;
        const bool suffix = op[0] == '%';
        const std::size_t n = text.size();
        std::string result = text;
        for (std::size_t step = 0; step <= n; ++step) {
            const std::string_view view(text);
            if (suffix) {
                // Suffixes from the shortest, or from the longest.
                const std::size_t k = longest ? step : n - step;
                if (fs::name_matches(pattern, view.substr(k), true)) {
                    result = text.substr(0, k);
                    break;
                }
            } else {
                const std::size_t length = longest ? n - step : step;
                if (fs::name_matches(pattern, view.substr(0, length), true)) {
                    result = text.substr(length);
                    break;
                }
            }
        }
        fields.add_value(result, quoted);
        return;
    }
    if (op.starts_with('/')) {
        const std::string pattern = expand_pattern(part.args[0]);
        const std::string replacement = part.args.size() > 1 ? expand_value(part.args[1]) : "";
        if (pattern.empty()) {
            fields.add_value(text, quoted);
            return;
        }
        const std::size_t n = text.size();
        // The longest match starting at k (ending at the end for /%).
        const auto match_at = [&](std::size_t k) -> std::optional<std::size_t> {
            for (std::size_t end = n + 1; end-- > k;) {
                if (op == "/%" && end != n) {
                    break;
                }
                if (fs::name_matches(pattern, std::string_view(text).substr(k, end - k), true)) {
                    return end;
                }
            }
            return std::nullopt;
        };
        std::string result;
        bool done = false;
        for (std::size_t k = 0; k <= n;) {
            if (!done && (op != "/#" || k == 0)) {
                if (const auto end = match_at(k); end && *end > k) {
                    result += replacement;
                    k = *end;
                    done = op != "//";
                    continue;
                }
            }
            if (k < n) {
                result.push_back(text[k]);
            }
            ++k;
        }
        fields.add_value(result, quoted);
        return;
    }
    if (op == ":") {
        const auto offset = arithmetic(expand_value(part.args[0]));
        if (!offset) {
            return;
        }
        const auto size = static_cast<std::int64_t>(text.size());
        std::int64_t start =
            *offset < 0 ? std::max<std::int64_t>(0, size + *offset) : std::min(*offset, size);
        std::int64_t length = size - start;
        if (part.args.size() > 1) {
            const auto given = arithmetic(expand_value(part.args[1]));
            if (!given) {
                return;
            }
            length = *given < 0 ? std::max<std::int64_t>(0, size + *given - start)
                                : std::min(*given, size - start);
        }
        fields.add_value(
            text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length)), quoted);
        return;
    }
    // ^^ ,, ^ ,: case changes, of every letter or the first.
    std::string result = text;
    const bool upper = op[0] == '^';
    for (std::size_t k = 0; k < result.size() && (op.size() == 2 || k == 0); ++k) {
        const auto c = static_cast<unsigned char>(result[k]);
        result[k] = static_cast<char>(upper ? std::toupper(c) : std::tolower(c));
    }
    fields.add_value(result, quoted);
}

std::vector<std::string> Interpreter::expand_words(const std::vector<Word>& words) {
    std::vector<std::string> out;
    const auto ifs = parameter("IFS");
    for (const Word& written : words) {
        // Most words have no braces, and are not copied.
        const std::vector<Word> expanded =
            has_braces(written) ? brace_expand(written) : std::vector<Word>();
        for (const Word& word : has_braces(written) ? std::span<const Word>(expanded)
                                                    : std::span<const Word>(&written, 1)) {
            if (only_quoted_at(word) && state_.positional.empty()) {
                continue;
            }
            Fields fields;
            fields.ifs = ifs.value_or(" \t\n");
            expand_into(word, fields, false);
            if (flow_ != Flow::Normal) {
                return out;
            }
            if (!fields.list.back().exists) {
                fields.list.pop_back();
            }
            for (Fields::Field& field : fields.list) {
                if (field.glob) {
                    std::string pattern;
                    for (std::size_t k = 0; k < field.text.size(); ++k) {
                        const char c = field.text[k];
                        if (field.quoted[k] != 0 && (is_glob_char(c) || c == '\\' || c == ']')) {
                            pattern.push_back('\\');
                        }
                        pattern.push_back(c);
                    }
                    // `**` is `*`, as in bash by default.
                    auto matches = fs::glob(
                        *state_.context.filesystem, pattern,
                        {.dir = state_.context.current_dir, .escapes = true, .recursive = false});
                    if (!matches.empty()) {
                        out.insert(out.end(), std::make_move_iterator(matches.begin()),
                                   std::make_move_iterator(matches.end()));
                        continue;
                    }
                }
                out.push_back(std::move(field.text));
            }
        }
    }
    return out;
}

std::string Interpreter::expand_value(const Word& word) {
    Fields fields;
    fields.split = false;
    expand_into(word, fields, false);
    return fields.joined();
}

std::string Interpreter::expand_pattern(const Word& word) {
    Fields fields;
    fields.split = false;
    expand_into(word, fields, false);
    std::string pattern;
    for (const auto& field : fields.list) {
        for (std::size_t k = 0; k < field.text.size(); ++k) {
            const char c = field.text[k];
            if (field.quoted[k] != 0 && (is_glob_char(c) || c == '\\' || c == ']')) {
                pattern.push_back('\\');
            }
            pattern.push_back(c);
        }
    }
    return pattern;
}

std::string Interpreter::expand_regex(const Word& word) {
    Fields fields;
    fields.split = false;
    expand_into(word, fields, false);
    std::string regex;
    for (const auto& field : fields.list) {
        for (std::size_t k = 0; k < field.text.size(); ++k) {
            const char c = field.text[k];
            if (field.quoted[k] != 0 && std::isalnum(static_cast<unsigned char>(c)) == 0 &&
                static_cast<unsigned char>(c) < 0x80) {
                regex.push_back('\\');
            }
            regex.push_back(c);
        }
    }
    return regex;
}

} // namespace ovaline::shell

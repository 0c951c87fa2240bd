#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <charconv>
#include <unordered_set>

#include "fs/name_pattern.hpp"
#include "shell/commands.hpp"
#include "shell/grep_command.hpp"
#include "shell/interpreter.hpp"
#include "shell/paths.hpp"
#include "shell/test_command.hpp"

namespace ovaline::shell {

namespace {

std::optional<int> small_integer(std::string_view text) {
    int value = 0;
    const char* begin = text.data() + (text.starts_with('+') ? 1 : 0);
    const auto [end, ec] = std::from_chars(begin, text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The built-ins that work on the interpreter, as `command -v` knows them.
constexpr std::string_view kBuiltins[] = {
    ":",        "exit",  "return", "break", "continue", "shift",  "local", "declare", "typeset",
    "readonly", "unset", "let",    "set",   "read",     "source", ".",     "eval",    "command"};

// Built-ins this shell leaves out on purpose.
constexpr std::string_view kUnsupported[] = {"trap",   "wait", "jobs",   "bg",     "fg",
                                             "disown", "exec", "coproc", "suspend"};

// Whether `text` matches the extended regular expression, with the captures.
std::expected<std::vector<std::string>, std::string> regex_match(const std::string& regex,
                                                                 const std::string& text) {
    const std::string pcre = posix_regex_to_pcre(regex, true);
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pcre.data()), pcre.size(),
                                     PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(error, message, sizeof(message));
        return std::unexpected(std::string(reinterpret_cast<const char*>(message)));
    }
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0,
                               data, nullptr);
    std::vector<std::string> captures;
    if (rc > 0) {
        const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
        for (int k = 0; k < rc; ++k) {
            const PCRE2_SIZE start = ovector[2 * k];
            captures.push_back(start == PCRE2_UNSET
                                   ? std::string()
                                   : text.substr(start, ovector[2 * k + 1] - start));
        }
    }
    pcre2_match_data_free(data);
    pcre2_code_free(code);
    return captures;
}

} // namespace

void Interpreter::set_variable(const std::string& name, std::string value) {
    // A value doubling itself in a loop would take all memory before any time limit.
    if (value.size() > shell_.limits_.max_output) {
        stop(1, name + ": value longer than the output limit of " +
                    std::to_string(shell_.limits_.max_output) + " bytes\n");
        return;
    }
    state_.variables[name] = std::move(value);
}

void Interpreter::unset_variable(const std::string& name) {
    state_.variables.erase(name);
}

std::optional<int> Interpreter::evaluate_arithmetic_command(const Word& word, Streams io) {
    const Streams saved = current_;
    current_ = io;
    const std::string text = expand_value(word);
    std::optional<int> status;
    if (flow_ == Flow::Normal) {
        if (const auto value = arithmetic(text)) {
            status = *value != 0 ? 0 : 1;
        }
    }
    current_ = saved;
    return status;
}

std::optional<int> Interpreter::run_builtin(std::span<const std::string> words, Streams io) {
    const std::string& name = words[0];
    // One lookup turns away the other commands, which are most.
    static const std::unordered_set<std::string_view> kNames = [] {
        std::unordered_set<std::string_view> names(std::begin(kBuiltins), std::end(kBuiltins));
        names.insert(std::begin(kUnsupported), std::end(kUnsupported));
        return names;
    }();
    if (!kNames.contains(name)) {
        return std::nullopt;
    }
    const auto args = words.subspan(1);
    const auto count_arg = [&](int fallback) -> std::optional<int> {
        if (args.empty()) {
            return fallback;
        }
        const auto value = small_integer(args[0]);
        if (!value) {
            print_error(io, name + ": " + args[0] + ": numeric argument required\n");
        }
        return value;
    };
    if (name == ":") {
        return 0;
    }
    if (name == "exit" || name == "return") {
        if (name == "return" && function_depth_ == 0) {
            print_error(io, "return: can only `return' from a function or sourced script\n");
            return 2;
        }
        const auto status = count_arg(state_.last_status);
        flow_ = name == "exit" ? Flow::Exit : Flow::Return;
        flow_status_ = status ? (*status & 0xFF) : 2;
        return flow_status_;
    }
    if (name == "break" || name == "continue") {
        const auto levels = count_arg(1);
        if (!levels || *levels < 1) {
            if (levels) {
                print_error(io, name + ": " + args[0] + ": loop count out of range\n");
            }
            return 1;
        }
        if (loop_depth_ == 0) {
            print_error(io, name + ": only meaningful in a `for', `while', or `until' loop\n");
            return 0;
        }
        flow_ = name == "break" ? Flow::Break : Flow::Continue;
        flow_count_ = std::min(*levels, loop_depth_);
        return 0;
    }
    if (name == "shift") {
        const auto count = count_arg(1);
        if (!count || *count < 0 || static_cast<std::size_t>(*count) > state_.positional.size()) {
            return 1;
        }
        state_.positional.erase(state_.positional.begin(), state_.positional.begin() + *count);
        return 0;
    }
    if (name == "local" || name == "declare" || name == "typeset" || name == "readonly") {
        if (name == "local" && function_depth_ == 0) {
            print_error(io, "local: can only be used in a function\n");
            return 1;
        }
        return builtin_local(words, io);
    }
    if (name == "unset") {
        bool functions = false;
        for (const std::string& arg : args) {
            if (arg == "-f" || arg == "-v") {
                functions = arg == "-f";
            } else if (functions) {
                state_.functions.erase(arg);
            } else {
                unset_variable(arg);
            }
        }
        return 0;
    }
    if (name == "let") {
        int status = 1;
        for (const std::string& arg : args) {
            const auto value = arithmetic(arg);
            if (!value) {
                return 1;
            }
            status = *value != 0 ? 0 : 1;
        }
        return status;
    }
    if (name == "set") {
        return builtin_set(args, io);
    }
    if (name == "read") {
        return builtin_read(args, io);
    }
    if (name == "source" || name == ".") {
        return builtin_source(args, io);
    }
    if (name == "eval") {
        return builtin_eval(args, io);
    }
    if (name == "command" && args.empty()) {
        return 0;
    }
    if (name == "command") {
        if (args[0] == "-v" || args[0] == "-V") {
            int status = 0;
            for (const std::string& command : args.subspan(1)) {
                const bool known = state_.functions.contains(command) ||
                                   shell_.registered_.find(command) != nullptr ||
                                   commands().find(command) != nullptr ||
                                   std::ranges::find(kBuiltins, command) != std::end(kBuiltins);
                if (known) {
                    deliver(command + "\n", io.out);
                } else {
                    status = 1;
                }
            }
            return status;
        }
        // Functions are skipped.
        if (const auto* registered = shell_.registered_.find(args[0])) {
            return call_table(*registered, args, io);
        }
        if (auto status = run_builtin(args, io)) {
            return status;
        }
        if (const auto* builtin = commands().find(args[0])) {
            return call_table(*builtin, args, io);
        }
        print_error(io, args[0] + ": command not found\n");
        return 127;
    }
    for (std::string_view unsupported : kUnsupported) {
        if (name == unsupported) {
            print_error(io, name + ": not supported in this shell (see help)\n");
            return 2;
        }
    }
    return std::nullopt;
}

int Interpreter::builtin_local(std::span<const std::string> words, Streams io) {
    const bool is_local = words[0] == "local" || function_depth_ > 0;
    int status = 0;
    for (const std::string& arg : words.subspan(1)) {
        if (arg.starts_with('-') || arg.starts_with('+')) {
            if (arg.find_first_of("aA") != std::string::npos) {
                print_error(io, words[0] + ": arrays are not supported in this shell\n");
                return 2;
            }
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (!is_name(name)) {
            print_error(io, words[0] + ": `" + arg + "': not a valid identifier\n");
            status = 1;
            continue;
        }
        if (is_local && !locals_.empty()) {
            auto& frame = locals_.back();
            const bool saved =
                std::ranges::any_of(frame, [&](const auto& s) { return s.first == name; });
            if (!saved) {
                frame.emplace_back(name, parameter(name));
            }
            if (eq == std::string::npos) {
                unset_variable(name);
            }
        }
        if (eq != std::string::npos) {
            set_variable(name, arg.substr(eq + 1));
        }
    }
    return status;
}

int Interpreter::builtin_set(std::span<const std::string> args, Streams io) {
    if (args.empty()) {
        std::string text;
        for (const auto& [name, value] : state_.variables) {
            text += name + "='" + value + "'\n";
        }
        deliver(text, io.out);
        return 0;
    }
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (arg == "--" || arg == "-") {
            state_.positional.assign(args.begin() + static_cast<std::ptrdiff_t>(k) + 1, args.end());
            return 0;
        }
        if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '+')) {
            state_.positional.assign(args.begin() + static_cast<std::ptrdiff_t>(k), args.end());
            return 0;
        }
        const bool on = arg[0] == '-';
        for (std::size_t c = 1; c < arg.size(); ++c) {
            std::string option;
            switch (arg[c]) {
            case 'e':
                option = "errexit";
                break;
            case 'u':
                option = "nounset";
                break;
            case 'x':
                option = "xtrace";
                break;
            case 'o':
                if (k + 1 >= args.size()) {
                    print_error(io, "set: -o: option requires an argument\n");
                    return 2;
                }
                option = args[++k];
                break;
            default:
                print_error(io, std::string("set: -") + arg[c] +
                                    ": not supported in this shell (see help)\n");
                return 2;
            }
            if (option == "errexit") {
                state_.errexit = on;
            } else if (option == "nounset") {
                state_.nounset = on;
            } else if (option == "pipefail") {
                state_.pipefail = on;
            } else if (option == "xtrace") {
                state_.xtrace = on;
            } else {
                print_error(io, "set: " + option + ": invalid option name\n");
                return 2;
            }
        }
    }
    return 0;
}

int Interpreter::builtin_read(std::span<const std::string> args, Streams io) {
    bool raw = false;
    char delimiter = '\n';
    std::optional<std::size_t> count;
    std::vector<std::string> names;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (!names.empty() || arg.size() < 2 || arg[0] != '-') {
            names.push_back(arg);
            continue;
        }
        for (std::size_t c = 1; c < arg.size(); ++c) {
            const char flag = arg[c];
            if (flag == 'r' || flag == 's') {
                raw = raw || flag == 'r';
                continue;
            }
            if (std::string_view("dnNpt").find(flag) == std::string_view::npos) {
                print_error(io, std::string("read: -") + flag + ": invalid option\n");
                return 2;
            }
            std::string value = arg.substr(c + 1);
            if (value.empty()) {
                if (k + 1 >= args.size()) {
                    print_error(io,
                                std::string("read: -") + flag + ": option requires an argument\n");
                    return 2;
                }
                value = args[++k];
            }
            if (flag == 'd') {
                delimiter = value.empty() ? '\0' : value[0];
            } else if (flag == 'n' || flag == 'N') {
                count = small_integer(value).value_or(0);
            }
            break;
        }
    }
    if (names.empty()) {
        names.emplace_back("REPLY");
    }
    for (const std::string& name : names) {
        if (!is_name(name)) {
            print_error(io, "read: `" + name + "': not a valid identifier\n");
            return 1;
        }
    }
    Input& input = *io.in;
    if (input.directory) {
        print_error(io, "read: read error: 0: Is a directory\n");
        return 1;
    }
    // The line, with backslash escapes undone unless -r.
    std::string line;
    std::string escaped;
    bool found = false;
    const std::string_view rest = input.rest();
    std::size_t k = 0;
    for (; k < rest.size(); ++k) {
        if (count && line.size() >= *count) {
            found = true;
            break;
        }
        const char c = rest[k];
        if (c == delimiter) {
            found = true;
            ++k;
            break;
        }
        if (c == '\\' && !raw && k + 1 < rest.size()) {
            ++k;
            if (rest[k] != '\n') {
                line.push_back(rest[k]);
                escaped.push_back(1);
            }
            continue;
        }
        line.push_back(c);
        escaped.push_back(0);
    }
    input.pos += k;
    const std::string ifs = parameter("IFS").value_or(" \t\n");
    const auto is_ifs = [&](std::size_t at) {
        return escaped[at] == 0 && ifs.find(line[at]) != std::string::npos;
    };
    const auto is_ifs_blank = [&](std::size_t at) {
        return is_ifs(at) && (line[at] == ' ' || line[at] == '\t' || line[at] == '\n');
    };
    std::size_t pos = 0;
    while (pos < line.size() && is_ifs_blank(pos)) {
        ++pos;
    }
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (n + 1 == names.size()) {
            std::size_t end = line.size();
            while (end > pos && is_ifs_blank(end - 1)) {
                --end;
            }
            set_variable(names[n], line.substr(pos, end - pos));
            break;
        }
        const std::size_t start = pos;
        while (pos < line.size() && !is_ifs(pos)) {
            ++pos;
        }
        set_variable(names[n], line.substr(start, pos - start));
        // One delimiter, with the blanks around it.
        while (pos < line.size() && is_ifs_blank(pos)) {
            ++pos;
        }
        if (pos < line.size() && is_ifs(pos) && !is_ifs_blank(pos)) {
            ++pos;
            while (pos < line.size() && is_ifs_blank(pos)) {
                ++pos;
            }
        }
    }
    return found ? 0 : 1;
}

int Interpreter::run_text(std::string_view text, Streams io) {
    auto script = parse_shell_line(text);
    if (!script) {
        print_error(io, script.error().message + "\n");
        return script.error().status;
    }
    if (!enter(io)) {
        return 1;
    }
    const int status = run_script(*script, io);
    --nesting_;
    return status;
}

int Interpreter::builtin_eval(std::span<const std::string> args, Streams io) {
    std::string text;
    for (const std::string& arg : args) {
        text += (text.empty() ? "" : " ") + arg;
    }
    return run_text(text, io);
}

int Interpreter::builtin_source(std::span<const std::string> args, Streams io) {
    if (args.empty()) {
        print_error(io, "source: filename argument required\n");
        return 2;
    }
    auto text = read_file(state_.context, args[0]);
    if (!text) {
        print_error(io, args[0] + ": " + text.error() + "\n");
        return 1;
    }
    std::optional<std::vector<std::string>> saved;
    if (args.size() > 1) {
        saved = std::exchange(state_.positional,
                              std::vector<std::string>(args.begin() + 1, args.end()));
    }
    ++function_depth_;
    int status = run_text(*text, io);
    --function_depth_;
    if (flow_ == Flow::Return) {
        flow_ = Flow::Normal;
        status = flow_status_;
    }
    if (saved) {
        state_.positional = std::move(*saved);
    }
    return status;
}

namespace {

// [[ ... ]] read over its tokens: || below && below ! below a primary. Operands are
// expanded only when their value counts.
class ConditionParser {
  public:
    using Expand = std::function<std::string(const Word&, char)>;

    ConditionParser(const std::vector<ConditionToken>& tokens, const TerminalContext& context,
                    Expand expand, std::function<void(std::vector<std::string>)> captures)
        : t_(tokens), context_(context), expand_(std::move(expand)),
          captures_(std::move(captures)) {}

    std::expected<bool, std::string> run() {
        const bool value = disjunction(true);
        if (error_.empty() && i_ < t_.size()) {
            error_ = "syntax error in conditional expression near `" + t_[i_].raw + "'";
        }
        if (!error_.empty()) {
            return std::unexpected(error_);
        }
        return value;
    }

  private:
    bool at_op(std::string_view op) const { return i_ < t_.size() && t_[i_].op == op; }
    bool is_word(std::size_t k) const { return k < t_.size() && t_[k].op.empty(); }

    bool disjunction(bool live) {
        bool value = conjunction(live);
        while (error_.empty() && at_op("||")) {
            ++i_;
            const bool right = conjunction(live && !value);
            value = value || right;
        }
        return value;
    }

    bool conjunction(bool live) {
        bool value = negation(live);
        while (error_.empty() && at_op("&&")) {
            ++i_;
            const bool right = negation(live && value);
            value = value && right;
        }
        return value;
    }

    bool negation(bool live) {
        bool negated = false;
        while (at_op("!")) {
            ++i_;
            negated = !negated;
        }
        return primary(live) != negated;
    }

    bool primary(bool live) {
        if (at_op("(")) {
            // Nesting takes stack; the parser bounds it already, this keeps it so.
            if (++depth_ > 256) {
                error_ = "conditional expression nested too deeply";
                return false;
            }
            ++i_;
            const bool value = disjunction(live);
            --depth_;
            if (!at_op(")")) {
                error_ = "syntax error in conditional expression: expected `)'";
                return false;
            }
            ++i_;
            return value;
        }
        if (!is_word(i_)) {
            error_ = "syntax error in conditional expression";
            return false;
        }
        const ConditionToken& first = t_[i_];
        if (is_word(i_ + 1) && is_word(i_ + 2) &&
            (is_binary_test(t_[i_ + 1].raw) || t_[i_ + 1].raw == "=~")) {
            const std::string op = t_[i_ + 1].raw;
            const ConditionToken& second = t_[i_ + 2];
            i_ += 3;
            if (!live) {
                return false;
            }
            const std::string left = expand_(first.word, 'v');
            if (op == "==" || op == "=" || op == "!=") {
                const bool match = fs::name_matches(expand_(second.word, 'p'), left, true);
                return match == (op != "!=");
            }
            if (op == "=~") {
                auto captures = regex_match(expand_(second.word, 'r'), left);
                if (!captures) {
                    error_ = captures.error();
                    return false;
                }
                const bool matched = !captures->empty();
                captures_(std::move(*captures));
                return matched;
            }
            const std::string right = expand_(second.word, 'v');
            if (op.size() == 3 && op[0] == '-' && op != "-nt" && op != "-ot" && op != "-ef") {
                auto a = expand_arithmetic(left);
                auto b = expand_arithmetic(right);
                auto result = binary_test(op, a, b);
                if (!result) {
                    error_ = result.error();
                    return false;
                }
                return *result;
            }
            return binary_test(op, left, right).value_or(false);
        }
        if (is_unary_test(first.raw) && is_word(i_ + 1)) {
            i_ += 2;
            return live && unary_test(context_, first.raw, expand_(t_[i_ - 1].word, 'v'));
        }
        ++i_;
        return live && !expand_(first.word, 'v').empty();
    }

    // Integer operands of [[ ]] are arithmetic expressions.
    std::string expand_arithmetic(const std::string& text) {
        Word word;
        word.parts.push_back({WordPart::Kind::Text, text, false, {}, {}, {}});
        return expand_(word, 'a');
    }

    const std::vector<ConditionToken>& t_;
    const TerminalContext& context_;
    Expand expand_;
    std::function<void(std::vector<std::string>)> captures_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::string error_;
};

} // namespace

int Interpreter::evaluate_condition(const std::vector<ConditionToken>& tokens, Streams io) {
    const Streams saved = current_;
    current_ = io;
    ConditionParser parser(
        tokens, state_.context,
        [this](const Word& word, char how) -> std::string {
            if (how == 'p') {
                return expand_pattern(word);
            }
            if (how == 'r') {
                return expand_regex(word);
            }
            if (how == 'a') {
                return std::to_string(arithmetic(expand_value(word)).value_or(0));
            }
            return expand_value(word);
        },
        [this](std::vector<std::string> captures) {
            for (auto it = state_.variables.begin(); it != state_.variables.end();) {
                it = it->first.starts_with("BASH_REMATCH") ? state_.variables.erase(it)
                                                           : std::next(it);
            }
            for (std::size_t k = 0; k < captures.size(); ++k) {
                set_variable("BASH_REMATCH[" + std::to_string(k) + "]", captures[k]);
            }
            if (!captures.empty()) {
                set_variable("BASH_REMATCH", captures[0]);
            }
        });
    auto result = parser.run();
    current_ = saved;
    if (flow_ != Flow::Normal) {
        return flow_status_;
    }
    if (!result) {
        print_error(io, result.error() + "\n");
        return 2;
    }
    return *result ? 0 : 1;
}

} // namespace ovaline::shell

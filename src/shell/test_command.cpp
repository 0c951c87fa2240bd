#include "shell/test_command.hpp"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>

#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

std::optional<std::int64_t> integer(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Parentheses nest no deeper, so that the stack stays small.
constexpr int kMaxDepth = 256;

// The expression grammar of test: -o below -a below ! below a primary.
class TestParser {
  public:
    TestParser(const TerminalContext& context, std::span<const std::string> args)
        : context_(context), args_(args) {}

    std::expected<bool, std::string> run() {
        if (args_.empty()) {
            return false;
        }
        const bool value = disjunction();
        if (error_.empty() && i_ < args_.size()) {
            error_ = args_[i_] + ": unexpected argument";
        }
        if (!error_.empty()) {
            return std::unexpected(error_);
        }
        return value;
    }

  private:
    bool at(std::string_view word) const { return i_ < args_.size() && args_[i_] == word; }

    bool disjunction() {
        bool value = conjunction();
        while (error_.empty() && at("-o")) {
            ++i_;
            value = conjunction() || value;
        }
        return value;
    }

    bool conjunction() {
        bool value = negation();
        while (error_.empty() && at("-a")) {
            ++i_;
            value = negation() && value;
        }
        return value;
    }

    bool negation() {
        // "!" alone is a string; before an operand it negates.
        bool negated = false;
        while (at("!") && i_ + 1 < args_.size()) {
            ++i_;
            negated = !negated;
        }
        return primary() != negated;
    }

    bool primary() {
        if (i_ >= args_.size()) {
            error_ = "argument expected";
            return false;
        }
        const std::string& word = args_[i_];
        if (i_ + 2 < args_.size() && is_binary_test(args_[i_ + 1])) {
            i_ += 3;
            auto result = binary_test(args_[i_ - 2], word, args_[i_ - 1]);
            if (!result) {
                error_ = result.error();
                return false;
            }
            return *result;
        }
        if (word == "(" && i_ + 1 < args_.size()) {
            if (++depth_ > kMaxDepth) {
                error_ = "expression nested too deeply";
                return false;
            }
            ++i_;
            const bool value = disjunction();
            --depth_;
            if (!at(")")) {
                error_ = "missing `)'";
                return false;
            }
            ++i_;
            return value;
        }
        if (is_unary_test(word) && i_ + 1 < args_.size()) {
            i_ += 2;
            return unary_test(context_, word, args_[i_ - 1]);
        }
        ++i_;
        return !word.empty();
    }

    const TerminalContext& context_;
    std::span<const std::string> args_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::string error_;
};

int run_test(ShellContext& context, std::string_view name, std::span<const std::string> args) {
    auto result = TestParser(context.terminal, args).run();
    if (!result) {
        context.error(name, result.error());
        return 2;
    }
    return *result ? 0 : 1;
}

} // namespace

bool is_unary_test(std::string_view op) {
    return op.size() == 2 && op[0] == '-' &&
           std::string_view("efdsrwxzhLnpSbcgukOGNt").find(op[1]) != std::string_view::npos;
}

bool unary_test(const TerminalContext& context, std::string_view op, const std::string& operand) {
    const char test = op[1];
    if (test == 'z') {
        return operand.empty();
    }
    if (test == 'n') {
        return !operand.empty();
    }
    if (test == 't' || test == 'h' || test == 'L' || test == 'p' || test == 'S' || test == 'b' ||
        test == 'c' || test == 'g' || test == 'u' || test == 'k') {
        return false;
    }
    if (operand == "/dev/null" || operand == "/dev/stdin" || operand == "/dev/stdout" ||
        operand == "/dev/stderr") {
        return test == 'e' || test == 'r' || test == 'w';
    }
    const auto id = resolve_path(context, operand);
    if (!id) {
        return false;
    }
    const auto is_dir = context.filesystem->is_directory_raw(*id);
    if (!is_dir) {
        return false;
    }
    switch (test) {
    case 'f':
        return !*is_dir;
    case 'd':
        return *is_dir;
    case 'x':
        return *is_dir;
    case 's': {
        if (*is_dir) {
            return true;
        }
        const auto text = read_file(context, operand);
        return text && !text->empty();
    }
    default:
        return true;
    }
}

bool is_binary_test(std::string_view op) {
    static constexpr std::string_view kOps[] = {"=",   "==",  "!=",  "<",   ">",   "-eq", "-ne",
                                                "-lt", "-le", "-gt", "-ge", "-nt", "-ot", "-ef"};
    for (std::string_view known : kOps) {
        if (op == known) {
            return true;
        }
    }
    return false;
}

std::expected<bool, std::string> binary_test(std::string_view op, const std::string& left,
                                             const std::string& right) {
    if (op == "=" || op == "==") {
        return left == right;
    }
    if (op == "!=") {
        return left != right;
    }
    if (op == "<") {
        return left < right;
    }
    if (op == ">") {
        return left > right;
    }
    if (op == "-nt" || op == "-ot" || op == "-ef") {
        return false;
    }
    const auto a = integer(left);
    if (!a) {
        return std::unexpected(left + ": integer expression expected");
    }
    const auto b = integer(right);
    if (!b) {
        return std::unexpected(right + ": integer expression expected");
    }
    if (op == "-eq")
        return *a == *b;
    if (op == "-ne")
        return *a != *b;
    if (op == "-lt")
        return *a < *b;
    if (op == "-le")
        return *a <= *b;
    if (op == "-gt")
        return *a > *b;
    return *a >= *b;
}

int cmd_test(ShellContext& context, std::span<const std::string> words) {
    return run_test(context, "test", words);
}

int cmd_bracket(ShellContext& context, std::span<const std::string> words) {
    if (words.empty() || words.back() != "]") {
        context.error("[", "missing `]'");
        return 2;
    }
    return run_test(context, "[", words.first(words.size() - 1));
}

} // namespace ovaline::shell

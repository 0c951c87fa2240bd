#include "shell/arithmetic.hpp"

#include <cctype>

namespace ovaline::shell {

namespace {

bool is_name_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// A variable's value nests another expression, parentheses a subexpression; deeper
// than this is a loop or a stack at risk.
constexpr int kMaxDepth = 256;

class Evaluator {
  public:
    Evaluator(std::string_view text, const ArithmeticVariables& variables, int nesting)
        : s_(text), variables_(variables), nesting_(nesting) {}

    std::expected<std::int64_t, std::string> run() {
        skip();
        if (i_ >= s_.size()) {
            return 0;
        }
        const std::int64_t value = comma(true);
        skip();
        if (!error_.empty()) {
            return std::unexpected(error_);
        }
        if (i_ < s_.size()) {
            return std::unexpected(std::string(s_) +
                                   ": syntax error in expression (error token is \"" +
                                   std::string(s_.substr(i_)) + "\")");
        }
        return value;
    }

  private:
    void skip() {
        while (i_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[i_])) != 0) {
            ++i_;
        }
    }

    bool take(std::string_view op) {
        skip();
        if (!s_.substr(i_).starts_with(op)) {
            return false;
        }
        i_ += op.size();
        return true;
    }

    // An operator that is not the start of a longer one (`&` but not `&&` or `&=`).
    bool take_exactly(std::string_view op, std::string_view not_followed_by) {
        skip();
        if (!s_.substr(i_).starts_with(op)) {
            return false;
        }
        const char next = i_ + op.size() < s_.size() ? s_[i_ + op.size()] : '\0';
        if (next != '\0' && not_followed_by.find(next) != std::string_view::npos) {
            return false;
        }
        i_ += op.size();
        return true;
    }

    void fail(std::string message) {
        if (error_.empty()) {
            error_ = std::string(s_) + ": " + std::move(message);
        }
        i_ = s_.size();
    }

    std::int64_t comma(bool live) {
        std::int64_t value = assignment(live);
        while (error_.empty() && take(",")) {
            value = assignment(live);
        }
        return value;
    }

    std::int64_t assignment(bool live) {
        skip();
        const std::size_t start = i_;
        if (i_ < s_.size() && is_name_start(s_[i_])) {
            std::size_t k = i_;
            while (k < s_.size() && is_name_char(s_[k])) {
                ++k;
            }
            const std::string name(s_.substr(i_, k - i_));
            i_ = k;
            skip();
            static constexpr std::string_view kOps[] = {
                "<<=", ">>=", "**=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "="};
            for (std::string_view op : kOps) {
                if (s_.substr(i_).starts_with(op) &&
                    !(op == "=" && s_.substr(i_).starts_with("=="))) {
                    i_ += op.size();
                    const std::int64_t right = assignment(live);
                    if (!live || !error_.empty()) {
                        return right;
                    }
                    std::int64_t value = right;
                    if (op != "=") {
                        value = binary(op.substr(0, op.size() - 1), variable(name), right);
                    }
                    variables_.set(name, std::to_string(value));
                    return value;
                }
            }
            i_ = start;
        }
        return conditional(live);
    }

    std::int64_t conditional(bool live) {
        const std::int64_t test = logical_or(live);
        if (!take("?")) {
            return test;
        }
        const std::int64_t yes = comma(live && test != 0);
        if (!take(":")) {
            fail("syntax error: `:' expected for conditional expression");
            return 0;
        }
        const std::int64_t no = conditional(live && test == 0);
        return test != 0 ? yes : no;
    }

    std::int64_t logical_or(bool live) {
        std::int64_t value = logical_and(live);
        while (error_.empty() && take("||")) {
            const std::int64_t right = logical_and(live && value == 0);
            value = (value != 0 || right != 0) ? 1 : 0;
        }
        return value;
    }

    std::int64_t logical_and(bool live) {
        std::int64_t value = bitwise(live, 0);
        while (error_.empty() && take("&&")) {
            const std::int64_t right = bitwise(live && value != 0, 0);
            value = (value != 0 && right != 0) ? 1 : 0;
        }
        return value;
    }

    // Levels of left-associative binary operators, loosest first.
    std::int64_t bitwise(bool live, int level) {
        struct Level {
            std::string_view ops[4];
            std::string_view not_followed_by;
        };
        static constexpr Level kLevels[] = {
            {{"|"}, "|="},
            {{"^"}, "="},
            {{"&"}, "&="},
            {{"==", "!="}, ""},
            {{"<=", ">=", "<", ">"}, "<>="},
            {{"<<", ">>"}, "="},
            {{"+", "-"}, "+-="},
            {{"*", "/", "%"}, "*="},
        };
        if (level == static_cast<int>(std::size(kLevels))) {
            return power(live);
        }
        std::int64_t value = bitwise(live, level + 1);
        while (error_.empty()) {
            std::string_view matched;
            for (std::string_view op : kLevels[level].ops) {
                if (!op.empty() && take_exactly(op, kLevels[level].not_followed_by)) {
                    matched = op;
                    break;
                }
            }
            if (matched.empty()) {
                break;
            }
            const std::int64_t right = bitwise(live, level + 1);
            value = live ? binary(matched, value, right) : 0;
        }
        return value;
    }

    std::int64_t power(bool live) {
        const std::int64_t base = unary(live);
        if (!take_exactly("**", "=")) {
            return base;
        }
        const std::int64_t exponent = power(live);
        return live ? binary("**", base, exponent) : 0;
    }

    std::int64_t binary(std::string_view op, std::int64_t a, std::int64_t b) {
        const auto ua = static_cast<std::uint64_t>(a);
        const auto ub = static_cast<std::uint64_t>(b);
        if (op == "+")
            return static_cast<std::int64_t>(ua + ub);
        if (op == "-")
            return static_cast<std::int64_t>(ua - ub);
        if (op == "*")
            return static_cast<std::int64_t>(ua * ub);
        if (op == "/" || op == "%") {
            if (b == 0) {
                fail("division by 0");
                return 0;
            }
            if (b == -1) {
                return op == "/" ? static_cast<std::int64_t>(0 - ua) : 0;
            }
            return op == "/" ? a / b : a % b;
        }
        if (op == "**") {
            if (b < 0) {
                fail("exponent less than 0");
                return 0;
            }
            std::uint64_t result = 1;
            for (std::int64_t k = 0; k < b && k < 64 * 64; ++k) {
                result *= ua;
            }
            return static_cast<std::int64_t>(result);
        }
        if (op == "<<")
            return static_cast<std::int64_t>(ua << (ub & 63));
        if (op == ">>")
            return a >> (ub & 63);
        if (op == "&")
            return a & b;
        if (op == "|")
            return a | b;
        if (op == "^")
            return a ^ b;
        if (op == "==")
            return a == b;
        if (op == "!=")
            return a != b;
        if (op == "<")
            return a < b;
        if (op == "<=")
            return a <= b;
        if (op == ">")
            return a > b;
        if (op == ">=")
            return a >= b;
        return 0;
    }

    std::int64_t unary(bool live) {
        if (++nesting_ > kMaxDepth) {
            fail("expression nested too deeply");
            return 0;
        }
        struct Leave {
            int& nesting;
            ~Leave() { --nesting; }
        } leave{nesting_};
        skip();
        if (take("++") || take("--")) {
            const bool increment = s_[i_ - 1] == '+';
            skip();
            const std::string name = read_name();
            if (name.empty()) {
                fail("syntax error: operand expected");
                return 0;
            }
            const std::int64_t value = variable(name) + (increment ? 1 : -1);
            if (live) {
                variables_.set(name, std::to_string(value));
            }
            return value;
        }
        if (take_exactly("!", "=")) {
            return unary(live) == 0 ? 1 : 0;
        }
        if (take("~")) {
            return ~unary(live);
        }
        if (take_exactly("-", "-=")) {
            return static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(unary(live)));
        }
        if (take_exactly("+", "+=")) {
            return unary(live);
        }
        return postfix(live);
    }

    std::int64_t postfix(bool live) {
        skip();
        if (i_ < s_.size() && is_name_start(s_[i_])) {
            const std::string name = read_name();
            const std::int64_t value = variable(name);
            if (take("++") || take("--")) {
                if (live) {
                    variables_.set(name, std::to_string(value + (s_[i_ - 1] == '+' ? 1 : -1)));
                }
            }
            return value;
        }
        return primary(live);
    }

    std::int64_t primary(bool live) {
        skip();
        if (take("(")) {
            if (++nesting_ > kMaxDepth) {
                fail("expression nested too deeply");
                return 0;
            }
            const std::int64_t value = comma(live);
            --nesting_;
            if (!take(")")) {
                fail("missing `)'");
            }
            return value;
        }
        if (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_])) != 0) {
            return number();
        }
        fail("syntax error: operand expected (error token is \"" + std::string(s_.substr(i_)) +
             "\")");
        return 0;
    }

    std::string read_name() {
        const std::size_t start = i_;
        while (i_ < s_.size() && is_name_char(s_[i_])) {
            ++i_;
        }
        return std::string(s_.substr(start, i_ - start));
    }

    std::int64_t number() {
        const std::size_t start = i_;
        while (i_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i_])) != 0 ||
                                  s_[i_] == '#' || s_[i_] == '_' || s_[i_] == '@')) {
            ++i_;
        }
        std::string_view digits = s_.substr(start, i_ - start);
        int base = 10;
        if (const std::size_t hash = digits.find('#'); hash != std::string_view::npos) {
            base = 0;
            for (char c : digits.substr(0, hash)) {
                if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
                    base = 0;
                    break;
                }
                base = base * 10 + (c - '0');
                if (base > 64) {
                    break;
                }
            }
            if (base < 2 || base > 64) {
                fail("invalid arithmetic base (error token is \"" + std::string(digits) + "\")");
                return 0;
            }
            digits = digits.substr(hash + 1);
        } else if (digits.size() > 1 && digits[0] == '0' &&
                   (digits[1] == 'x' || digits[1] == 'X')) {
            base = 16;
            digits = digits.substr(2);
        } else if (digits.size() > 1 && digits[0] == '0') {
            base = 8;
        }
        std::uint64_t value = 0;
        for (char c : digits) {
            int d = 0;
            if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
                d = c - '0';
            } else if (c >= 'a' && c <= 'z') {
                d = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'Z') {
                d = c - 'A' + (base <= 36 ? 10 : 36);
            } else if (c == '@') {
                d = 62;
            } else {
                d = 63;
            }
            if (d >= base) {
                fail("value too great for base (error token is \"" +
                     std::string(s_.substr(start, i_ - start)) + "\")");
                return 0;
            }
            value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        }
        return static_cast<std::int64_t>(value);
    }

    std::int64_t variable(const std::string& name) {
        const auto value = variables_.get(name);
        if (!value || value->empty()) {
            return 0;
        }
        if (nesting_ >= kMaxDepth) {
            fail("expression recursion level exceeded");
            return 0;
        }
        auto result = Evaluator(*value, variables_, nesting_ + 1).run();
        if (!result) {
            // The inner expression's message stands as it is.
            if (error_.empty()) {
                error_ = result.error();
            }
            i_ = s_.size();
            return 0;
        }
        return *result;
    }

    std::string_view s_;
    const ArithmeticVariables& variables_;
    // Parentheses, unary operators and variables' expressions open (here and in the
    // evaluators this one runs in), which take stack.
    int nesting_;
    std::size_t i_ = 0;
    std::string error_;
};

} // namespace

std::expected<std::int64_t, std::string> evaluate_arithmetic(std::string_view expression,
                                                             const ArithmeticVariables& variables) {
    return Evaluator(expression, variables, 0).run();
}

} // namespace ovaline::shell

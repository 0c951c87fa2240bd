#include "shell/awk_program.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "shell/escapes.hpp"

namespace ovaline::shell::awk {

double leading_number(std::string_view text, bool* whole) {
    std::size_t i = 0;
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    };
    while (i < text.size() && blank(text[i])) {
        ++i;
    }
    const std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const std::size_t digits_start = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool any_digit = i > digits_start;
    if (i < text.size() && text[i] == '.') {
        ++i;
        const std::size_t fraction = i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
            ++i;
        }
        any_digit = any_digit || i > fraction;
    }
    if (!any_digit) {
        if (whole != nullptr) {
            *whole = false;
        }
        return 0;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            ++j;
        }
        if (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) != 0) {
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])) != 0) {
                ++j;
            }
            i = j;
        }
    }
    const std::string number(text.substr(start, i - start));
    std::size_t rest = i;
    while (rest < text.size() && blank(text[rest])) {
        ++rest;
    }
    if (whole != nullptr) {
        *whole = rest == text.size();
    }
    return std::strtod(number.c_str(), nullptr);
}

Value Value::input(std::string text) {
    bool whole = false;
    const double number = leading_number(text, &whole);
    return {whole ? Kind::StrNum : Kind::String, number, std::move(text)};
}

namespace {

// ---- Tokens ----

enum class Tok { End, Newline, Number, String, Regex, Name, FuncName, Builtin, Keyword, Punct };

struct Token {
    Tok type = Tok::End;
    std::string text;
    double number = 0;
    std::size_t line = 1;
};

constexpr std::array<std::string_view, 17> kKeywords = {
    "BEGIN", "END",      "function", "func",     "if",   "else",   "while",  "for", "do",
    "break", "continue", "next",     "nextfile", "exit", "return", "delete", "in"};
constexpr std::array<std::string_view, 22> kBuiltins = {
    "length",  "substr",  "index", "split", "sub",    "gsub",  "match", "sprintf",
    "tolower", "toupper", "int",   "sqrt",  "exp",    "log",   "sin",   "cos",
    "atan2",   "rand",    "srand", "close", "fflush", "system"};
constexpr std::array<std::string_view, 2> kOutputs = {"print", "printf"};

// The characters of a string or regex literal's escape, appended to `out`.
std::size_t read_escape(std::string_view text, std::size_t i, std::string& out) {
    const char c = text[i];
    if (c >= '0' && c <= '7') {
        int value = 0;
        std::size_t digits = 0;
        while (digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7') {
            value = value * 8 + (text[i++] - '0');
            ++digits;
        }
        out.push_back(static_cast<char>(value));
        return i;
    }
    if (const auto control = control_escape(c)) {
        out.push_back(*control);
    } else {
        switch (c) {
        case '\\':
            out.push_back('\\');
            break;
        case '"':
            out.push_back('"');
            break;
        case '/':
            out.push_back('/');
            break;
        default:
            out.push_back('\\');
            out.push_back(c);
        }
    }
    return i + 1;
}

std::vector<Token> tokenize(std::string_view source) {
    std::vector<Token> tokens;
    std::size_t line = 1;
    // A "/" begins a regex unless it follows something that ends an operand.
    auto operand_ended = [&]() {
        if (tokens.empty()) {
            return false;
        }
        const Token& last = tokens.back();
        switch (last.type) {
        case Tok::Number:
        case Tok::String:
        case Tok::Name:
        case Tok::Regex:
            return true;
        case Tok::Builtin:
            return true;
        case Tok::Punct:
            return last.text == ")" || last.text == "]" || last.text == "$" || last.text == "++" ||
                   last.text == "--";
        default:
            return false;
        }
    };
    std::size_t i = 0;
    while (i < source.size()) {
        const char c = source[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '\\' && i + 1 < source.size() && source[i + 1] == '\n') {
            i += 2;
            ++line;
            continue;
        }
        if (c == '#') {
            while (i < source.size() && source[i] != '\n') {
                ++i;
            }
            continue;
        }
        Token token;
        token.line = line;
        if (c == '\n') {
            ++line;
            ++i;
            token.type = Tok::Newline;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0 ||
                   (c == '.' && i + 1 < source.size() &&
                    std::isdigit(static_cast<unsigned char>(source[i + 1])) != 0)) {
            std::size_t end = i;
            while (end < source.size() &&
                   (std::isdigit(static_cast<unsigned char>(source[end])) != 0 ||
                    source[end] == '.')) {
                ++end;
            }
            if (end < source.size() && (source[end] == 'e' || source[end] == 'E')) {
                std::size_t exponent = end + 1;
                if (exponent < source.size() &&
                    (source[exponent] == '+' || source[exponent] == '-')) {
                    ++exponent;
                }
                if (exponent < source.size() &&
                    std::isdigit(static_cast<unsigned char>(source[exponent])) != 0) {
                    end = exponent;
                    while (end < source.size() &&
                           std::isdigit(static_cast<unsigned char>(source[end])) != 0) {
                        ++end;
                    }
                }
            }
            token.type = Tok::Number;
            token.text = std::string(source.substr(i, end - i));
            token.number = std::strtod(token.text.c_str(), nullptr);
            i = end;
        } else if (std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_') {
            std::size_t end = i;
            while (end < source.size() &&
                   (std::isalnum(static_cast<unsigned char>(source[end])) != 0 ||
                    source[end] == '_')) {
                ++end;
            }
            token.text = std::string(source.substr(i, end - i));
            i = end;
            if (std::ranges::find(kKeywords, token.text) != kKeywords.end() ||
                std::ranges::find(kOutputs, token.text) != kOutputs.end() ||
                token.text == "getline") {
                token.type = Tok::Keyword;
            } else if (std::ranges::find(kBuiltins, token.text) != kBuiltins.end()) {
                token.type = Tok::Builtin;
            } else {
                token.type = i < source.size() && source[i] == '(' ? Tok::FuncName : Tok::Name;
            }
        } else if (c == '"') {
            ++i;
            while (i < source.size() && source[i] != '"') {
                if (source[i] == '\n') {
                    throw AwkError("newline in string");
                }
                if (source[i] == '\\' && i + 1 < source.size()) {
                    if (source[i + 1] == '\n') {
                        i += 2;
                        continue;
                    }
                    i = read_escape(source, i + 1, token.text);
                } else {
                    token.text.push_back(source[i++]);
                }
            }
            if (i == source.size()) {
                throw AwkError("unterminated string");
            }
            ++i;
            token.type = Tok::String;
        } else if (c == '/' && !operand_ended()) {
            ++i;
            bool bracket = false;
            while (i < source.size() && (source[i] != '/' || bracket)) {
                if (source[i] == '\n') {
                    throw AwkError("newline in regex");
                }
                if (source[i] == '\\' && i + 1 < source.size()) {
                    // "\/" is a slash; other escapes are the regex's own.
                    if (source[i + 1] != '/') {
                        token.text.push_back('\\');
                    }
                    token.text.push_back(source[i + 1]);
                    i += 2;
                    continue;
                }
                if (source[i] == '[' && !bracket) {
                    bracket = true;
                    token.text.push_back(source[i++]);
                    if (i < source.size() && source[i] == '^') {
                        token.text.push_back(source[i++]);
                    }
                    if (i < source.size() && source[i] == ']') {
                        token.text.push_back(source[i++]);
                    }
                    continue;
                }
                if (source[i] == '[' && i + 1 < source.size() && source[i + 1] == ':') {
                    const std::size_t close = source.find(":]", i + 2);
                    if (close != std::string_view::npos) {
                        token.text.append(source.substr(i, close + 2 - i));
                        i = close + 2;
                        continue;
                    }
                }
                if (source[i] == ']') {
                    bracket = false;
                }
                token.text.push_back(source[i++]);
            }
            if (i == source.size()) {
                throw AwkError("unterminated regexp");
            }
            ++i;
            token.type = Tok::Regex;
        } else {
            // The longest operator that starts here.
            static constexpr std::array<std::string_view, 18> kOperators = {
                "**=", "+=", "-=", "*=", "/=", "%=", "^=", "==", "<=",
                ">=",  "!=", "++", "--", "&&", "||", ">>", "!~", "**"};
            token.type = Tok::Punct;
            for (const std::string_view op : kOperators) {
                if (source.substr(i).starts_with(op)) {
                    token.text = std::string(op);
                    break;
                }
            }
            if (token.text.empty()) {
                if (std::string_view("{}()[];,+-*/%^!><|?:~$=").find(c) == std::string_view::npos) {
                    throw AwkError(std::string("invalid char '") + c + "' in expression");
                }
                token.text = std::string(1, c);
            }
            i += token.text.size();
            if (token.text == "**") {
                token.text = "^";
            } else if (token.text == "**=") {
                token.text = "^=";
            }
        }
        tokens.push_back(std::move(token));
    }
    tokens.push_back(Token{Tok::End, "", 0, line});
    return tokens;
}

NodePtr make(Op op, std::string text = {}) {
    auto node = std::make_unique<Node>();
    node->op = op;
    node->text = std::move(text);
    return node;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {
        for (const auto name : kSpecialNames) {
            global(std::string(name));
        }
    }

    Program parse() {
        skip_terminators();
        while (peek().type != Tok::End) {
            item();
            skip_terminators();
        }
        for (const auto& function : program_.functions) {
            if (!function.defined) {
                throw AwkError("function `" + function.name + "' called but never defined");
            }
        }
        return std::move(program_);
    }

    std::size_t global(const std::string& name) {
        const auto found = std::ranges::find(program_.globals, name);
        if (found != program_.globals.end()) {
            return static_cast<std::size_t>(found - program_.globals.begin());
        }
        program_.globals.push_back(name);
        return program_.globals.size() - 1;
    }

  private:
    const Token& peek(std::size_t ahead = 0) const {
        return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
    }
    bool is(std::string_view text, std::size_t ahead = 0) const {
        const Token& token = peek(ahead);
        return (token.type == Tok::Punct || token.type == Tok::Keyword) && token.text == text;
    }
    bool accept(std::string_view text) {
        if (is(text)) {
            ++pos_;
            return true;
        }
        return false;
    }
    [[noreturn]] void fail() const {
        const Token& token = peek();
        throw AwkError(
            "syntax error at source line " + std::to_string(token.line) +
            (token.type == Tok::End
                 ? ": unexpected end of program"
                 : ": near `" + (token.type == Tok::Newline ? std::string("newline") : token.text) +
                       "'"));
    }
    void expect(std::string_view text) {
        if (!accept(text)) {
            fail();
        }
    }
    void skip_newlines() {
        while (peek().type == Tok::Newline) {
            ++pos_;
        }
    }
    void skip_terminators() {
        while (peek().type == Tok::Newline || is(";")) {
            ++pos_;
        }
    }

    std::size_t function_index(const std::string& name) {
        for (std::size_t i = 0; i < program_.functions.size(); ++i) {
            if (program_.functions[i].name == name) {
                return i;
            }
        }
        program_.functions.push_back(Function{name, 0, nullptr, false});
        return program_.functions.size() - 1;
    }

    void item() {
        Item item;
        if (accept("BEGIN") || (is("END") && (++pos_, true))) {
            item.kind = tokens_[pos_ - 1].text == "BEGIN" ? Item::Kind::Begin : Item::Kind::End;
            skip_newlines();
            if (!is("{")) {
                fail();
            }
            item.action = block();
            program_.items.push_back(std::move(item));
            return;
        }
        if (accept("function") || accept("func")) {
            const Token& name = peek();
            if (name.type != Tok::Name && name.type != Tok::FuncName) {
                fail();
            }
            ++pos_;
            const std::size_t index = function_index(name.text);
            if (program_.functions[index].defined) {
                throw AwkError("function `" + name.text + "' previously defined");
            }
            expect("(");
            locals_.clear();
            while (!is(")")) {
                if (peek().type != Tok::Name) {
                    fail();
                }
                locals_.push_back(peek().text);
                ++pos_;
                if (!accept(",")) {
                    break;
                }
                skip_newlines();
            }
            expect(")");
            skip_newlines();
            in_function_ = true;
            program_.functions[index].params = locals_.size();
            program_.functions[index].body = block();
            program_.functions[index].defined = true;
            in_function_ = false;
            locals_.clear();
            return;
        }
        if (!is("{")) {
            item.first = expression();
            if (accept(",")) {
                skip_newlines();
                item.second = expression();
            }
        }
        if (is("{")) {
            item.action = block();
        }
        program_.items.push_back(std::move(item));
    }

    NodePtr block() {
        expect("{");
        auto node = make(Op::Block);
        skip_terminators();
        while (!is("}")) {
            node->kids.push_back(statement());
            skip_terminators();
        }
        expect("}");
        return node;
    }

    // The end of a simple statement: ";", a newline, or a "}" that stays.
    void end_simple() {
        if (is(";") || peek().type == Tok::Newline) {
            ++pos_;
            return;
        }
        if (!is("}") && peek().type != Tok::End) {
            fail();
        }
    }

    // A statement body after if/while/for: newlines may come first.
    NodePtr body() {
        skip_newlines();
        if (accept(";")) {
            return make(Op::Block);
        }
        return statement();
    }

    NodePtr statement() {
        const Depth guard(depth_);
        if (is("{")) {
            return block();
        }
        if (accept("if")) {
            auto node = make(Op::If);
            expect("(");
            node->kids.push_back(expression());
            expect(")");
            node->kids.push_back(body());
            // "else" may follow after newlines and a ";".
            const std::size_t saved = pos_;
            skip_terminators();
            if (accept("else")) {
                node->kids.push_back(body());
            } else {
                pos_ = saved;
            }
            return node;
        }
        if (accept("while")) {
            auto node = make(Op::While);
            expect("(");
            node->kids.push_back(expression());
            expect(")");
            if (is(";")) {
                ++pos_;
                node->kids.push_back(make(Op::Block));
                return node;
            }
            node->kids.push_back(body());
            return node;
        }
        if (accept("do")) {
            auto node = make(Op::Do);
            node->kids.push_back(body());
            skip_terminators();
            expect("while");
            expect("(");
            node->kids.push_back(expression());
            expect(")");
            end_simple();
            return node;
        }
        if (accept("for")) {
            expect("(");
            if ((peek().type == Tok::Name && is("in", 1) && peek(2).type == Tok::Name &&
                 is(")", 3)) ||
                (is("(") && peek(1).type == Tok::Name && is(")", 2) && is("in", 3))) {
                const bool parenthesised = accept("(");
                auto node = make(Op::ForIn);
                node->kids.push_back(variable(peek().text));
                ++pos_;
                if (parenthesised) {
                    expect(")");
                }
                expect("in");
                node->kids.push_back(variable(peek().text));
                ++pos_;
                expect(")");
                node->kids.push_back(body());
                return node;
            }
            auto node = make(Op::For);
            node->kids.push_back(is(";") ? make(Op::Block) : simple_statement());
            expect(";");
            skip_newlines();
            node->kids.push_back(is(";") ? make(Op::Number) : expression());
            if (node->kids.back()->op == Op::Number) {
                node->kids.back()->number = 1;
            }
            expect(";");
            skip_newlines();
            node->kids.push_back(is(")") ? make(Op::Block) : simple_statement());
            expect(")");
            node->kids.push_back(body());
            return node;
        }
        if (accept(";")) {
            return make(Op::Block);
        }
        auto node = simple_statement();
        end_simple();
        return node;
    }

    NodePtr simple_statement() {
        if (is("print") || is("printf")) {
            auto node = make(peek().text == "print" ? Op::Print : Op::Printf);
            ++pos_;
            if (!is(";") && !is("}") && !is(">") && !is(">>") && !is("|") &&
                peek().type != Tok::Newline && peek().type != Tok::End) {
                // "print (a, b)" is the list in parentheses.
                const std::size_t saved = pos_;
                bool grouped = false;
                if (accept("(")) {
                    std::vector<NodePtr> list;
                    list.push_back(expression());
                    while (accept(",")) {
                        skip_newlines();
                        list.push_back(expression());
                    }
                    if (accept(")") && (is(";") || is("}") || is(">") || is(">>") || is("|") ||
                                        peek().type == Tok::Newline || peek().type == Tok::End)) {
                        node->kids = std::move(list);
                        grouped = true;
                    } else {
                        pos_ = saved;
                    }
                }
                if (!grouped) {
                    no_greater_ = true;
                    node->kids.push_back(expression());
                    while (accept(",")) {
                        skip_newlines();
                        node->kids.push_back(expression());
                    }
                    no_greater_ = false;
                }
            }
            if (node->op == Op::Printf && node->kids.empty()) {
                fail();
            }
            if (is(">") || is(">>") || is("|")) {
                node->redirect = peek().text;
                ++pos_;
                no_greater_ = true;
                node->kids.push_back(concatenation());
                no_greater_ = false;
            }
            return node;
        }
        if (accept("next")) {
            return make(Op::Next);
        }
        if (accept("nextfile")) {
            return make(Op::NextFile);
        }
        if (accept("break")) {
            return make(Op::Break);
        }
        if (accept("continue")) {
            return make(Op::Continue);
        }
        if (accept("exit") || accept("return")) {
            auto node = make(tokens_[pos_ - 1].text == "exit" ? Op::Exit : Op::Return);
            if (node->op == Op::Return && !in_function_) {
                throw AwkError("`return' used outside function context");
            }
            if (!is(";") && !is("}") && peek().type != Tok::Newline && peek().type != Tok::End) {
                node->kids.push_back(expression());
            }
            return node;
        }
        if (accept("delete")) {
            auto node = make(Op::Delete);
            if (peek().type != Tok::Name) {
                fail();
            }
            node->kids.push_back(variable(peek().text));
            ++pos_;
            if (accept("[")) {
                node->kids.push_back(subscript());
            }
            return node;
        }
        auto node = make(Op::Expression);
        node->kids.push_back(expression());
        return node;
    }

    NodePtr variable(const std::string& name) {
        const auto local = std::ranges::find(locals_, name);
        if (local != locals_.end()) {
            auto node = make(Op::Local, name);
            node->index = static_cast<std::size_t>(local - locals_.begin());
            return node;
        }
        auto node = make(Op::Global, name);
        node->index = global(name);
        return node;
    }

    // The subscript after "[": expressions joined by SUBSEP; the "]" is read.
    NodePtr subscript() {
        auto node = make(Op::Concat, "subsep");
        node->kids.push_back(expression());
        while (accept(",")) {
            skip_newlines();
            node->kids.push_back(expression());
        }
        expect("]");
        return node;
    }

    static bool is_lvalue(const Node& node) {
        return node.op == Op::Global || node.op == Op::Local || node.op == Op::Field ||
               node.op == Op::Index;
    }

    // Counts how deep the parser has recursed while it lives: a program nested past
    // reason is refused rather than allowed to exhaust the stack.
    struct Depth {
        explicit Depth(std::size_t& depth) : depth(depth) {
            if (++depth > 256) {
                throw AwkError("expression nested too deeply");
            }
        }
        ~Depth() { --depth; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
        std::size_t& depth;
    };

    NodePtr expression() {
        const Depth guard(depth_);
        auto left = ternary();
        static constexpr std::array<std::string_view, 7> kAssign = {
            "=", "+=", "-=", "*=", "/=", "%=", "^="};
        for (const auto op : kAssign) {
            if (is(op) && is_lvalue(*left)) {
                ++pos_;
                skip_newlines();
                auto node = make(Op::Assign, std::string(op));
                node->kids.push_back(std::move(left));
                node->kids.push_back(expression());
                return node;
            }
        }
        return left;
    }

    NodePtr ternary() {
        auto condition = logical_or();
        if (!accept("?")) {
            return condition;
        }
        skip_newlines();
        auto node = make(Op::Conditional);
        node->kids.push_back(std::move(condition));
        node->kids.push_back(expression());
        skip_newlines();
        expect(":");
        skip_newlines();
        node->kids.push_back(expression());
        return node;
    }

    NodePtr logical_or() {
        auto left = logical_and();
        while (accept("||")) {
            skip_newlines();
            auto node = make(Op::Or);
            node->kids.push_back(std::move(left));
            node->kids.push_back(logical_and());
            left = std::move(node);
        }
        return left;
    }

    NodePtr logical_and() {
        auto left = membership();
        while (accept("&&")) {
            skip_newlines();
            auto node = make(Op::And);
            node->kids.push_back(std::move(left));
            node->kids.push_back(membership());
            left = std::move(node);
        }
        return left;
    }

    NodePtr membership() {
        auto left = matching();
        while (is("in") && peek(1).type == Tok::Name) {
            ++pos_;
            auto node = make(Op::In);
            // "(a, b) in arr" tests the joined key.
            if (left->op == Op::Group && left->kids.size() > 1) {
                auto key = make(Op::Concat, "subsep");
                key->kids = std::move(left->kids);
                node->kids.push_back(std::move(key));
            } else {
                node->kids.push_back(std::move(left));
            }
            node->kids.push_back(variable(peek().text));
            ++pos_;
            left = std::move(node);
        }
        return left;
    }

    NodePtr matching() {
        auto left = comparison();
        while (is("~") || is("!~")) {
            auto node = make(Op::Match, peek().text);
            ++pos_;
            node->kids.push_back(std::move(left));
            node->kids.push_back(comparison());
            left = std::move(node);
        }
        return left;
    }

    NodePtr comparison() {
        auto left = concatenation();
        // "command | getline [var]" reads the command's output.
        while (is("|") && is("getline", 1)) {
            pos_ += 2;
            auto node = make(Op::Getline);
            if (peek().type == Tok::Name || is("$")) {
                node->text = "var";
                node->kids.push_back(primary());
            }
            node->redirect = "|";
            node->kids.push_back(std::move(left));
            left = std::move(node);
        }
        static constexpr std::array<std::string_view, 6> kCompare = {
            "<", "<=", "==", "!=", ">=", ">"};
        for (const auto op : kCompare) {
            if (is(op) && !(no_greater_ && op == ">")) {
                ++pos_;
                auto node = make(Op::Compare, std::string(op));
                node->kids.push_back(std::move(left));
                node->kids.push_back(concatenation());
                return node;
            }
        }
        return left;
    }

    // Whether the next token can begin an operand of a concatenation.
    bool starts_operand() const {
        const Token& token = peek();
        switch (token.type) {
        case Tok::Number:
        case Tok::String:
        case Tok::Regex:
        case Tok::Name:
        case Tok::FuncName:
        case Tok::Builtin:
            return true;
        case Tok::Punct:
            return token.text == "$" || token.text == "!" || token.text == "(" ||
                   token.text == "-" || token.text == "+" || token.text == "++" ||
                   token.text == "--";
        default:
            return false;
        }
    }

    NodePtr concatenation() {
        auto left = additive();
        while (starts_operand() && !is("in")) {
            auto node = make(Op::Concat);
            node->kids.push_back(std::move(left));
            node->kids.push_back(additive());
            left = std::move(node);
        }
        return left;
    }

    NodePtr additive() {
        auto left = multiplicative();
        while (is("+") || is("-")) {
            auto node = make(Op::Arith, peek().text);
            ++pos_;
            node->kids.push_back(std::move(left));
            node->kids.push_back(multiplicative());
            left = std::move(node);
        }
        return left;
    }

    NodePtr multiplicative() {
        auto left = unary();
        while (is("*") || is("/") || is("%")) {
            auto node = make(Op::Arith, peek().text);
            ++pos_;
            node->kids.push_back(std::move(left));
            node->kids.push_back(unary());
            left = std::move(node);
        }
        return left;
    }

    NodePtr unary() {
        const Depth guard(depth_);
        if (is("!") || is("-") || is("+")) {
            const std::string op = peek().text;
            ++pos_;
            auto node = make(op == "!" ? Op::Not : op == "-" ? Op::Negate : Op::Plus);
            node->kids.push_back(unary());
            return node;
        }
        return power();
    }

    NodePtr power() {
        auto left = postfix();
        if (accept("^")) {
            auto node = make(Op::Arith, "^");
            node->kids.push_back(std::move(left));
            // Right-associative, and binds tighter than a unary minus on its left only.
            node->kids.push_back(is("-") || is("+") || is("!") ? unary() : power());
            return node;
        }
        return left;
    }

    NodePtr postfix() {
        if (is("++") || is("--")) {
            auto node = make(Op::PreIncrement, peek().text);
            ++pos_;
            auto target = postfix();
            if (!is_lvalue(*target)) {
                fail();
            }
            node->kids.push_back(std::move(target));
            return node;
        }
        auto operand = primary();
        if (is_lvalue(*operand) && (is("++") || is("--"))) {
            auto node = make(Op::PostIncrement, peek().text);
            ++pos_;
            node->kids.push_back(std::move(operand));
            return node;
        }
        return operand;
    }

    NodePtr primary() {
        const Token token = peek();
        switch (token.type) {
        case Tok::Number: {
            ++pos_;
            auto node = make(Op::Number);
            node->number = token.number;
            return node;
        }
        case Tok::String:
            ++pos_;
            return make(Op::String, token.text);
        case Tok::Regex: {
            ++pos_;
            auto node = make(Op::Regex, token.text);
            node->index = regex(token.text);
            return node;
        }
        case Tok::Name: {
            ++pos_;
            if (accept("[")) {
                auto node = make(Op::Index);
                node->kids.push_back(variable(token.text));
                node->kids.push_back(subscript());
                return node;
            }
            return variable(token.text);
        }
        case Tok::FuncName: {
            ++pos_;
            auto node = make(Op::Call, token.text);
            node->index = function_index(token.text);
            expect("(");
            skip_newlines();
            while (!is(")")) {
                node->kids.push_back(expression());
                skip_newlines();
                if (!accept(",")) {
                    break;
                }
                skip_newlines();
            }
            expect(")");
            return node;
        }
        case Tok::Builtin: {
            ++pos_;
            auto node = make(Op::Builtin, token.text);
            if (accept("(")) {
                skip_newlines();
                while (!is(")")) {
                    node->kids.push_back(expression());
                    skip_newlines();
                    if (!accept(",")) {
                        break;
                    }
                    skip_newlines();
                }
                expect(")");
            } else if (token.text != "length") {
                fail();
            }
            return node;
        }
        case Tok::Keyword:
            if (token.text == "getline") {
                ++pos_;
                auto node = make(Op::Getline);
                if (peek().type == Tok::Name || is("$")) {
                    node->text = "var";
                    node->kids.push_back(primary());
                }
                if (accept("<")) {
                    node->redirect = "<";
                    node->kids.push_back(primary());
                }
                return node;
            }
            fail();
        case Tok::Punct:
            if (token.text == "$") {
                ++pos_;
                auto node = make(Op::Field);
                // "$NF++" increments the field; "$i++" too.
                if (is("++") || is("--")) {
                    node->kids.push_back(postfix());
                } else if (is("-") || is("!") || is("+")) {
                    node->kids.push_back(unary());
                } else {
                    node->kids.push_back(primary());
                }
                return node;
            }
            if (accept("(")) {
                const bool saved = no_greater_;
                no_greater_ = false;
                auto node = make(Op::Group);
                node->kids.push_back(expression());
                while (accept(",")) {
                    skip_newlines();
                    node->kids.push_back(expression());
                }
                expect(")");
                no_greater_ = saved;
                if (node->kids.size() > 1 && !is("in")) {
                    fail();
                }
                return node;
            }
            fail();
        default:
            fail();
        }
    }

    std::size_t regex(const std::string& pattern) {
        auto compiled = Regex::compile(pattern, Regex::Syntax::Awk);
        if (!compiled) {
            throw AwkError("regular expression /" + pattern + "/: " + compiled.error());
        }
        program_.regexes.push_back(std::move(*compiled));
        return program_.regexes.size() - 1;
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    Program program_;
    std::vector<std::string> locals_;
    bool in_function_ = false;
    // Within print's arguments, ">" redirects rather than compares.
    bool no_greater_ = false;
    std::size_t depth_ = 0;
};

} // namespace

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            i = read_escape(text, i + 1, out);
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

Program parse_program(std::string_view source) {
    return Parser(tokenize(source)).parse();
}

} // namespace ovaline::shell::awk

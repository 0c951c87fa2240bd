#include "shell/syntax.hpp"

#include <cctype>
#include <optional>

namespace ovaline::shell {

namespace {

constexpr const char* kNotFormatted = "The command was not correctly formatted";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_name_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool is_name(std::string_view text) {
    if (text.empty() || !is_name_start(text[0])) {
        return false;
    }
    for (char c : text) {
        if (!is_name_char(c)) {
            return false;
        }
    }
    return true;
}

struct Token {
    // Empty for a word.
    std::string op;
    Word word;
    // For a redirection operator: the descriptor it names.
    int fd = 1;
};

std::unexpected<ParseError> fail(std::string message, int status = 2) {
    return std::unexpected(ParseError{std::move(message), status});
}

std::unexpected<ParseError> unsupported(std::string_view what) {
    return fail(std::string(what) + " not supported in this shell (see help)");
}

// Splits a line into words and operators.
class Lexer {
  public:
    explicit Lexer(std::string_view line) : line_(line) {}

    std::expected<std::vector<Token>, ParseError> run() {
        while (i_ < line_.size()) {
            const char c = line_[i_];
            if (is_blank(c)) {
                end_word();
                ++i_;
            } else if (c == '\n') {
                end_word();
                tokens_.push_back(Token{"\n", {}, 1});
                ++i_;
            } else if (c == '#' && !in_word_) {
                while (i_ < line_.size() && line_[i_] != '\n') {
                    ++i_;
                }
            } else if (c == '\\') {
                if (i_ + 1 == line_.size()) {
                    return fail(kNotFormatted);
                }
                if (line_[i_ + 1] != '\n') {
                    add_text(std::string(1, line_[i_ + 1]), true);
                }
                i_ += 2;
            } else if (c == '\'') {
                const std::size_t close = line_.find('\'', i_ + 1);
                if (close == std::string_view::npos) {
                    return fail(kNotFormatted);
                }
                add_text(std::string(line_.substr(i_ + 1, close - i_ - 1)), true);
                i_ = close + 1;
            } else if (c == '"') {
                if (auto r = double_quoted(); !r) {
                    return std::unexpected(r.error());
                }
            } else if (c == '$') {
                if (auto r = dollar(false); !r) {
                    return std::unexpected(r.error());
                }
            } else if (c == '`') {
                return unsupported("command substitution is");
            } else if (c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' ||
                       c == ')') {
                if (auto r = operator_token(); !r) {
                    return std::unexpected(r.error());
                }
            } else {
                add_text(std::string(1, c), false);
                ++i_;
            }
        }
        end_word();
        return std::move(tokens_);
    }

  private:
    void add_text(std::string text, bool quoted) {
        in_word_ = true;
        if (quoted || text.empty()) {
            plain_ = false;
        }
        auto& parts = word_.parts;
        if (!parts.empty() && parts.back().kind == WordPart::Kind::Text &&
            parts.back().quoted == quoted) {
            parts.back().text += text;
        } else {
            parts.push_back({WordPart::Kind::Text, std::move(text), quoted});
        }
    }

    void add_variable(std::string name, bool quoted) {
        in_word_ = true;
        plain_ = false;
        word_.parts.push_back({WordPart::Kind::Variable, std::move(name), quoted});
    }

    void end_word() {
        if (in_word_) {
            tokens_.push_back(Token{"", std::move(word_), 1});
        }
        word_ = Word{};
        in_word_ = false;
        plain_ = true;
    }

    // The unquoted digits of the word being built, when it is nothing else: "2>" names
    // a descriptor, "a2>" does not.
    std::optional<int> descriptor_prefix() const {
        if (!in_word_ || !plain_ || word_.parts.size() != 1) {
            return std::nullopt;
        }
        const std::string& text = word_.parts[0].text;
        if (text == "1") {
            return 1;
        }
        if (text == "2") {
            return 2;
        }
        return std::nullopt;
    }

    // At a '$': a variable, or a plain dollar sign when no name follows.
    std::expected<void, ParseError> dollar(bool quoted) {
        const std::size_t n = line_.size();
        const char next = i_ + 1 < n ? line_[i_ + 1] : '\0';
        if (next == '(') {
            return unsupported("command substitution is");
        }
        if (next == '?' || std::isdigit(static_cast<unsigned char>(next)) != 0) {
            add_variable(std::string(1, next), quoted);
            i_ += 2;
            return {};
        }
        if (next == '{') {
            const std::size_t close = line_.find('}', i_ + 2);
            if (close == std::string_view::npos) {
                return fail(kNotFormatted);
            }
            const std::string_view name = line_.substr(i_ + 2, close - i_ - 2);
            if (name != "?" && !is_name(name)) {
                return fail("${" + std::string(name) + "}: bad substitution", 1);
            }
            add_variable(std::string(name), quoted);
            i_ = close + 1;
            return {};
        }
        if (is_name_start(next)) {
            std::size_t end = i_ + 1;
            while (end < n && is_name_char(line_[end])) {
                ++end;
            }
            add_variable(std::string(line_.substr(i_ + 1, end - i_ - 1)), quoted);
            i_ = end;
            return {};
        }
        add_text("$", quoted);
        ++i_;
        return {};
    }

    std::expected<void, ParseError> double_quoted() {
        // Quotes make a word even when nothing is inside them.
        add_text("", true);
        ++i_;
        const std::size_t n = line_.size();
        while (i_ < n) {
            const char d = line_[i_];
            if (d == '"') {
                ++i_;
                return {};
            }
            if (d == '\\') {
                if (i_ + 1 == n) {
                    return fail(kNotFormatted);
                }
                const char next = line_[i_ + 1];
                if (next == '$' || next == '`' || next == '"' || next == '\\') {
                    add_text(std::string(1, next), true);
                } else if (next != '\n') {
                    add_text(std::string{'\\', next}, true);
                }
                i_ += 2;
            } else if (d == '$') {
                if (auto r = dollar(true); !r) {
                    return r;
                }
            } else if (d == '`') {
                return unsupported("command substitution is");
            } else {
                add_text(std::string(1, d), true);
                ++i_;
            }
        }
        return fail(kNotFormatted);
    }

    std::expected<void, ParseError> operator_token() {
        const char c = line_[i_];
        const char next = i_ + 1 < line_.size() ? line_[i_ + 1] : '\0';
        const char after = i_ + 2 < line_.size() ? line_[i_ + 2] : '\0';
        if (c == '(' || c == ')') {
            return unsupported("subshells and grouping are");
        }
        if (c == '&' && next != '&') {
            return unsupported("background jobs are");
        }
        if (c == '>' || c == '<') {
            const auto fd = descriptor_prefix();
            if (fd) {
                word_ = Word{};
                in_word_ = false;
                plain_ = true;
            } else {
                end_word();
            }
            if (c == '<') {
                if (next == '<') {
                    return unsupported("here-documents are");
                }
                tokens_.push_back(Token{"<", {}, fd.value_or(0)});
                ++i_;
                return {};
            }
            if (next == '&') {
                if (after != '1' && after != '2') {
                    return unsupported("this descriptor duplication is");
                }
                tokens_.push_back(Token{std::string(">&") + after, {}, fd.value_or(1)});
                i_ += 3;
                return {};
            }
            if (next == '>') {
                tokens_.push_back(Token{">>", {}, fd.value_or(1)});
                i_ += 2;
                return {};
            }
            tokens_.push_back(Token{">", {}, fd.value_or(1)});
            ++i_;
            return {};
        }
        end_word();
        if ((c == '&' || c == '|') && next == c) {
            tokens_.push_back(Token{std::string(2, c), {}, 1});
            i_ += 2;
            return {};
        }
        tokens_.push_back(Token{std::string(1, c), {}, 1});
        ++i_;
        return {};
    }

    std::string_view line_;
    std::size_t i_ = 0;
    std::vector<Token> tokens_;
    Word word_;
    bool in_word_ = false;
    // Whether the word so far is unquoted literal text only.
    bool plain_ = true;
};

std::unexpected<ParseError> unexpected_token(const std::vector<Token>& tokens, std::size_t at) {
    if (at >= tokens.size()) {
        return fail("syntax error: unexpected end of line");
    }
    const std::string& op = tokens[at].op;
    return fail("syntax error near unexpected token `" + (op == "\n" ? "newline" : op) + "'");
}

// An unquoted NAME= at the start of the word.
std::optional<Assignment> as_assignment(const Word& word) {
    if (word.parts.empty() || word.parts[0].kind != WordPart::Kind::Text || word.parts[0].quoted) {
        return std::nullopt;
    }
    const std::string& head = word.parts[0].text;
    const std::size_t eq = head.find('=');
    if (eq == std::string::npos || eq == 0 || !is_name_start(head[0])) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < eq; ++k) {
        if (!is_name_char(head[k])) {
            return std::nullopt;
        }
    }
    Assignment assignment{head.substr(0, eq), {}};
    if (eq + 1 < head.size()) {
        assignment.value.parts.push_back({WordPart::Kind::Text, head.substr(eq + 1), false});
    }
    assignment.value.parts.insert(assignment.value.parts.end(), word.parts.begin() + 1,
                                  word.parts.end());
    return assignment;
}

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    std::expected<Script, ParseError> script() {
        Script script;
        while (true) {
            skip_newlines();
            if (i_ >= tokens_.size()) {
                return script;
            }
            auto list = and_or();
            if (!list) {
                return std::unexpected(list.error());
            }
            script.push_back(std::move(*list));
            if (i_ >= tokens_.size()) {
                return script;
            }
            if (!at_op(";") && !at_op("\n")) {
                return unexpected_token(tokens_, i_);
            }
            ++i_;
        }
    }

  private:
    bool at_op(std::string_view op) const { return i_ < tokens_.size() && tokens_[i_].op == op; }

    // Newlines may stand between lists and after && || and |.
    void skip_newlines() {
        while (at_op("\n")) {
            ++i_;
        }
    }

    std::expected<AndOrList, ParseError> and_or() {
        auto first = pipeline();
        if (!first) {
            return std::unexpected(first.error());
        }
        AndOrList list{std::move(*first), {}};
        while (at_op("&&") || at_op("||")) {
            const bool is_and = tokens_[i_].op == "&&";
            ++i_;
            skip_newlines();
            auto next = pipeline();
            if (!next) {
                return std::unexpected(next.error());
            }
            list.rest.emplace_back(is_and, std::move(*next));
        }
        return list;
    }

    std::expected<Pipeline, ParseError> pipeline() {
        Pipeline commands;
        while (true) {
            auto command = simple_command();
            if (!command) {
                return std::unexpected(command.error());
            }
            commands.push_back(std::move(*command));
            if (!at_op("|")) {
                return commands;
            }
            ++i_;
            skip_newlines();
        }
    }

    std::expected<SimpleCommand, ParseError> simple_command() {
        SimpleCommand command;
        bool any = false;
        while (i_ < tokens_.size()) {
            Token& token = tokens_[i_];
            if (token.op.empty()) {
                auto assignment =
                    command.words.empty() ? as_assignment(token.word) : std::optional<Assignment>();
                if (assignment) {
                    command.assignments.push_back(std::move(*assignment));
                } else {
                    command.words.push_back(std::move(token.word));
                }
                any = true;
                ++i_;
                continue;
            }
            if (token.op.starts_with(">&")) {
                // 1>&1 and 2>&2 change nothing.
                if (token.op[2] - '0' != token.fd) {
                    command.redirections.push_back(
                        {token.fd, Redirection::Kind::Duplicate, Word{}});
                }
                any = true;
                ++i_;
                continue;
            }
            if (token.op == ">" || token.op == ">>" || token.op == "<") {
                if (i_ + 1 >= tokens_.size()) {
                    return fail("syntax error near unexpected token `newline'");
                }
                if (!tokens_[i_ + 1].op.empty()) {
                    return unexpected_token(tokens_, i_ + 1);
                }
                const auto kind = token.op == ">"    ? Redirection::Kind::Output
                                  : token.op == ">>" ? Redirection::Kind::Append
                                                     : Redirection::Kind::Input;
                command.redirections.push_back({token.fd, kind, std::move(tokens_[i_ + 1].word)});
                any = true;
                i_ += 2;
                continue;
            }
            break;
        }
        if (!any) {
            return unexpected_token(tokens_, i_);
        }
        return command;
    }

    std::vector<Token> tokens_;
    std::size_t i_ = 0;
};

} // namespace

std::expected<Script, ParseError> parse_shell_line(std::string_view line) {
    auto tokens = Lexer(line).run();
    if (!tokens) {
        return std::unexpected(tokens.error());
    }
    return Parser(std::move(*tokens)).script();
}

} // namespace ovaline::shell

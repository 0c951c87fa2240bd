#include "shell/syntax.hpp"

#include <cctype>
#include <optional>

namespace ovaline::shell {

namespace {

constexpr const char* kNotFormatted = "The command was not correctly formatted";

// How deeply commands may nest, substitutions and here-documents included.
constexpr int kMaxNesting = 200;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_name_start(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Characters that end an unquoted word.
bool is_delimiter(char c) {
    return c == '\0' || is_blank(c) || c == '\n' ||
           std::string_view(";&|()<>").find(c) != std::string_view::npos;
}

void add_text(Word& word, std::string_view text, bool quoted) {
    auto& parts = word.parts;
    if (!parts.empty() && parts.back().kind == WordPart::Kind::Text &&
        parts.back().quoted == quoted) {
        parts.back().text += text;
    } else {
        parts.push_back({WordPart::Kind::Text, std::string(text), quoted, {}, {}, {}});
    }
}

// How a word is read: on a command line, inside [[ ]] (where < and > compare), as the
// regular expression after =~ (parentheses and bars belong to it), or as the text of
// a here-document or an arithmetic expression (only $, ` and \ are special).
enum class Mode { Normal, Condition, Regex, Embedded };

class Parser {
  public:
    explicit Parser(std::string_view text, int depth = 0) : s_(text), depth_(depth) {}

    std::expected<Script, ParseError> script() {
        Script script = parse_list();
        skip_blanks();
        if (!error_ && i_ < s_.size()) {
            const std::string op = peek_operator();
            fail_token(op.empty() ? peek_reserved() : op);
        }
        for (auto& pending : pending_) {
            *pending.body = Word{};
        }
        if (error_) {
            return std::unexpected(*error_);
        }
        return script;
    }

    // The whole text read as an embedded word (a here-document body or arithmetic).
    std::expected<Word, ParseError> embedded() {
        Word word = read_word(Mode::Embedded);
        if (error_) {
            return std::unexpected(*error_);
        }
        return word;
    }

  private:
    char at(std::size_t k) const { return k < s_.size() ? s_[k] : '\0'; }

    void fail(std::string message, int status = 2) {
        if (!error_) {
            error_ = ParseError{std::move(message), status};
        }
    }

    void fail_token(std::string_view token) {
        if (token.empty() || i_ >= s_.size()) {
            fail("syntax error: unexpected end of line");
        } else {
            fail("syntax error near unexpected token `" +
                 std::string(token == "\n" ? "newline" : token) + "'");
        }
    }

    void unsupported(std::string_view what) {
        fail(std::string(what) + " not supported in this shell (see help)");
    }

    // Blanks, escaped newlines and comments.
    void skip_blanks() {
        while (i_ < s_.size()) {
            if (is_blank(s_[i_])) {
                ++i_;
            } else if (s_[i_] == '\\' && at(i_ + 1) == '\n') {
                i_ += 2;
            } else if (s_[i_] == '#') {
                while (i_ < s_.size() && s_[i_] != '\n') {
                    ++i_;
                }
            } else {
                return;
            }
        }
    }

    // Newlines between commands; the here-documents of the line before follow each.
    void skip_newlines() {
        skip_blanks();
        while (at(i_) == '\n' && !error_) {
            ++i_;
            read_here_documents();
            skip_blanks();
        }
    }

    void read_here_documents() {
        for (auto& pending : pending_) {
            std::string text;
            while (i_ < s_.size()) {
                std::size_t end = s_.find('\n', i_);
                if (end == std::string_view::npos) {
                    end = s_.size();
                }
                std::string_view line = s_.substr(i_, end - i_);
                i_ = std::min(end + 1, s_.size());
                if (pending.strip_tabs) {
                    line.remove_prefix(std::min(line.find_first_not_of('\t'), line.size()));
                }
                if (line == pending.delimiter) {
                    break;
                }
                text.append(line);
                text.push_back('\n');
            }
            if (pending.quoted) {
                pending.body->parts = {{WordPart::Kind::Text, text, true, {}, {}, {}}};
            } else {
                auto body = Parser(text, depth_ + 1).embedded();
                if (!body) {
                    fail(body.error().message, body.error().status);
                    return;
                }
                *pending.body = std::move(*body);
            }
        }
        pending_.clear();
    }

    // The control operator at the cursor, or "".
    std::string peek_operator() const {
        static constexpr std::string_view kOperators[] = {";;&", ";;", ";&", "&&", "||", "|&",
                                                          ";",   "&",  "|",  "(",  ")",  "\n"};
        if (at(i_) == '&' && at(i_ + 1) == '>') {
            return "";
        }
        for (std::string_view op : kOperators) {
            if (s_.substr(i_).starts_with(op)) {
                return std::string(op);
            }
        }
        return "";
    }

    // The unquoted word at the cursor when it may be a reserved word, else "".
    std::string peek_reserved() const {
        std::size_t end = i_;
        while (end < s_.size() && !is_delimiter(s_[end]) &&
               (std::isalpha(static_cast<unsigned char>(s_[end])) != 0 ||
                std::string_view("{}[]!").find(s_[end]) != std::string_view::npos)) {
            ++end;
        }
        if (end == i_ || !is_delimiter(at(end))) {
            return "";
        }
        return std::string(s_.substr(i_, end - i_));
    }

    bool take_reserved(std::string_view word) {
        skip_blanks();
        if (peek_reserved() != word) {
            return false;
        }
        i_ += word.size();
        return true;
    }

    void expect_reserved(std::string_view word) {
        if (error_) {
            return;
        }
        skip_newlines();
        if (!take_reserved(word)) {
            const std::string op = peek_operator();
            fail_token(op.empty() ? peek_reserved() : op);
        }
    }

    bool take_operator(std::string_view op) {
        skip_blanks();
        if (peek_operator() != op) {
            return false;
        }
        i_ += op.size();
        return true;
    }

    bool at_terminator() const {
        static constexpr std::string_view kClosers[] = {"then", "elif", "else", "fi",
                                                        "do",   "done", "esac", "}"};
        const std::string op = peek_operator();
        if (op == ")" || op == ";;" || op == ";&" || op == ";;&") {
            return true;
        }
        const std::string word = peek_reserved();
        for (std::string_view closer : kClosers) {
            if (word == closer) {
                return true;
            }
        }
        return false;
    }

    Script parse_list() {
        Script script;
        while (!error_) {
            skip_newlines();
            if (i_ >= s_.size() || at_terminator()) {
                break;
            }
            script.lists.push_back(parse_and_or());
            skip_blanks();
            const std::string op = peek_operator();
            if (op == ";") {
                script.lists.back().continues_line = true;
                ++i_;
            } else if (op == "&") {
                unsupported("background jobs (&) are");
            } else if (op != "\n") {
                break;
            }
        }
        return script;
    }

    // A list that must hold at least one command, as in the body of a compound command.
    Script parse_body() {
        Script script = parse_list();
        if (!error_ && script.lists.empty()) {
            const std::string op = peek_operator();
            fail_token(op.empty() ? peek_reserved() : op);
        }
        return script;
    }

    AndOrList parse_and_or() {
        AndOrList list{parse_pipeline(), {}};
        while (!error_) {
            skip_blanks();
            const std::string op = peek_operator();
            if (op != "&&" && op != "||") {
                break;
            }
            i_ += 2;
            skip_newlines();
            list.rest.emplace_back(op == "&&", parse_pipeline());
        }
        return list;
    }

    Pipeline parse_pipeline() {
        Pipeline pipeline;
        while (take_reserved("!")) {
            pipeline.negate = !pipeline.negate;
        }
        while (!error_) {
            pipeline.commands.push_back(parse_command());
            skip_blanks();
            const std::string op = peek_operator();
            if (op == "|&") {
                pipeline.commands.back().redirections.push_back(
                    {2, Redirection::Kind::Duplicate, {}, 1, {}});
            } else if (op != "|") {
                break;
            }
            i_ += op.size();
            skip_newlines();
        }
        return pipeline;
    }

    Command parse_command() {
        skip_blanks();
        Command command;
        // Nesting takes stack; past this, a line is refused rather than a crash risked.
        if (++depth_ > kMaxNesting) {
            fail("syntax error: commands nested too deeply");
            return command;
        }
        struct Leave {
            int& depth;
            ~Leave() { --depth; }
        } leave{depth_};
        if (i_ >= s_.size()) {
            fail_token("");
            return command;
        }
        const std::string op = peek_operator();
        const std::string word = op.empty() ? peek_reserved() : "";
        if (op == "(") {
            if (at(i_ + 1) == '(' && parse_arithmetic_command(command)) {
            } else {
                ++i_;
                command.kind = Command::Kind::Subshell;
                command.bodies.push_back(parse_body());
                skip_newlines();
                if (!error_ && !take_operator(")")) {
                    fail_token(peek_operator());
                }
            }
        } else if (!op.empty()) {
            fail_token(op);
            return command;
        } else if (word == "if") {
            parse_if(command);
        } else if (word == "while" || word == "until") {
            i_ += word.size();
            command.kind = word == "while" ? Command::Kind::While : Command::Kind::Until;
            command.bodies.push_back(parse_body());
            expect_reserved("do");
            command.bodies.push_back(parse_body());
            expect_reserved("done");
        } else if (word == "for") {
            parse_for(command);
        } else if (word == "case") {
            parse_case(command);
        } else if (word == "{") {
            ++i_;
            command.kind = Command::Kind::Group;
            command.bodies.push_back(parse_body());
            expect_reserved("}");
        } else if (word == "[[") {
            parse_condition(command);
        } else if (word == "function") {
            i_ += word.size();
            skip_blanks();
            const std::size_t start = i_;
            word_at_cursor();
            std::string name(s_.substr(start, i_ - start));
            skip_blanks();
            if (at(i_) == '(') {
                ++i_;
                if (!take_operator(")")) {
                    fail_token(peek_operator());
                }
            }
            parse_function(command, std::move(name));
        } else if (word == "select" || word == "coproc") {
            unsupported(word + " is");
        } else if (word == "then" || word == "elif" || word == "else" || word == "fi" ||
                   word == "do" || word == "done" || word == "esac" || word == "}" ||
                   word == "in") {
            fail_token(word);
            return command;
        } else {
            parse_simple(command);
            return command;
        }
        parse_redirections(command);
        return command;
    }

    void parse_if(Command& command) {
        command.kind = Command::Kind::If;
        i_ += 2;
        command.bodies.push_back(parse_body());
        expect_reserved("then");
        command.bodies.push_back(parse_body());
        while (!error_) {
            skip_newlines();
            if (take_reserved("elif")) {
                command.bodies.push_back(parse_body());
                expect_reserved("then");
                command.bodies.push_back(parse_body());
            } else if (take_reserved("else")) {
                command.bodies.push_back(parse_body());
                expect_reserved("fi");
                return;
            } else {
                expect_reserved("fi");
                return;
            }
        }
    }

    void parse_for(Command& command) {
        command.kind = Command::Kind::For;
        i_ += 3;
        skip_blanks();
        if (at(i_) == '(' && at(i_ + 1) == '(') {
            parse_arithmetic_for(command);
        } else {
            const std::size_t start = i_;
            word_at_cursor();
            command.name = std::string(s_.substr(start, i_ - start));
            if (!error_ && !is_name(command.name)) {
                fail("`" + command.name + "': not a valid identifier", 1);
            }
            skip_newlines();
            if (take_reserved("in")) {
                command.has_list = true;
                while (!error_) {
                    skip_blanks();
                    if (at(i_) == '\n' || !peek_operator().empty() || i_ >= s_.size()) {
                        break;
                    }
                    command.words.push_back(word_at_cursor());
                }
            }
            skip_blanks();
            if (at(i_) == ';') {
                ++i_;
            }
        }
        expect_reserved("do");
        command.bodies.push_back(parse_body());
        expect_reserved("done");
    }

    // for ((init; test; step)): the three expressions are words[0..2], without a name.
    void parse_arithmetic_for(Command& command) {
        const std::size_t end = arithmetic_end(i_ + 2);
        if (end == std::string_view::npos) {
            fail("syntax error: unexpected end of line");
            return;
        }
        const std::string_view inner = s_.substr(i_ + 2, end - i_ - 2);
        i_ = end + 2;
        std::size_t start = 0;
        for (int k = 0; k < 3; ++k) {
            std::size_t stop = k < 2 ? inner.find(';', start) : inner.size();
            if (stop == std::string_view::npos) {
                fail("syntax error: arithmetic expression required");
                return;
            }
            command.words.push_back(embedded_word(inner.substr(start, stop - start)));
            start = stop + 1;
        }
        skip_newlines();
        if (at(i_) == ';') {
            ++i_;
        }
    }

    void parse_case(Command& command) {
        command.kind = Command::Kind::Case;
        i_ += 4;
        skip_blanks();
        command.words.push_back(word_at_cursor());
        expect_reserved("in");
        while (!error_) {
            skip_newlines();
            if (take_reserved("esac")) {
                return;
            }
            CaseItem item;
            take_operator("(");
            while (!error_) {
                skip_blanks();
                if (i_ >= s_.size() || !peek_operator().empty()) {
                    fail_token(peek_operator());
                    return;
                }
                item.patterns.push_back(word_at_cursor());
                if (!take_operator("|")) {
                    break;
                }
            }
            if (!error_ && !take_operator(")")) {
                fail_token(peek_operator());
                return;
            }
            item.body = parse_list();
            skip_newlines();
            if (take_operator(";;&")) {
                item.test_next = true;
            } else if (take_operator(";&")) {
                item.fall_through = true;
            } else if (!take_operator(";;") && peek_reserved() != "esac") {
                fail_token(peek_operator().empty() ? peek_reserved() : peek_operator());
            }
            command.items.push_back(std::move(item));
        }
    }

    void parse_condition(Command& command) {
        command.kind = Command::Kind::Conditional;
        i_ += 2;
        bool regex_next = false;
        while (!error_) {
            skip_newlines();
            if (i_ >= s_.size()) {
                fail_token("");
                return;
            }
            if (take_reserved("]]")) {
                break;
            }
            const std::string op = peek_operator();
            if (op == "&&" || op == "||" || op == "(" || op == ")") {
                i_ += op.size();
                command.condition.push_back({op, {}, op});
                continue;
            }
            if (!op.empty()) {
                fail_token(op);
                return;
            }
            const std::size_t start = i_;
            Word word = read_word(regex_next ? Mode::Regex : Mode::Condition);
            if (i_ == start) {
                fail_token(std::string(1, at(i_)));
                return;
            }
            std::string raw(s_.substr(start, i_ - start));
            regex_next = raw == "=~";
            command.condition.push_back({raw == "!" ? "!" : "", std::move(word), raw});
        }
        if (command.condition.empty()) {
            fail_token("]]");
        }
    }

    void parse_function(Command& command, std::string name) {
        command.kind = Command::Kind::Function;
        command.name = std::move(name);
        skip_newlines();
        Command body = parse_command();
        if (!error_ && body.kind == Command::Kind::Simple) {
            fail("syntax error: a function body must be a compound command such as { ...; }");
        }
        command.function_body = std::make_shared<const Command>(std::move(body));
    }

    // (( expression )), when the text up to a matching "))" makes one.
    bool parse_arithmetic_command(Command& command) {
        const std::size_t end = arithmetic_end(i_ + 2);
        if (end == std::string_view::npos) {
            return false;
        }
        command.kind = Command::Kind::Arithmetic;
        command.words.push_back(embedded_word(s_.substr(i_ + 2, end - i_ - 2)));
        i_ = end + 2;
        return true;
    }

    // The position of the "))" that closes an arithmetic text starting at `from`.
    std::size_t arithmetic_end(std::size_t from) const {
        int depth = 0;
        for (std::size_t k = from; k < s_.size(); ++k) {
            if (s_[k] == '(') {
                ++depth;
            } else if (s_[k] == ')') {
                if (depth == 0) {
                    return at(k + 1) == ')' ? k : std::string_view::npos;
                }
                --depth;
            }
        }
        return std::string_view::npos;
    }

    Word embedded_word(std::string_view text) {
        auto word = Parser(text, depth_ + 1).embedded();
        if (!word) {
            fail(word.error().message, word.error().status);
            return {};
        }
        return std::move(*word);
    }

    void parse_simple(Command& command) {
        bool any = false;
        while (!error_) {
            skip_blanks();
            if (i_ >= s_.size()) {
                break;
            }
            if (at_redirection()) {
                parse_redirection(command);
                any = true;
                continue;
            }
            if (!peek_operator().empty()) {
                break;
            }
            const std::size_t start = i_;
            Word word = word_at_cursor();
            const std::string_view raw = s_.substr(start, i_ - start);
            any = true;
            if (command.words.empty()) {
                if (auto assignment = as_assignment(word, raw)) {
                    if (at(i_) == '(') {
                        unsupported("arrays are");
                        return;
                    }
                    command.assignments.push_back(std::move(*assignment));
                    continue;
                }
                if (command.assignments.empty() && at_function_parens()) {
                    parse_function(command, std::string(raw));
                    return;
                }
            }
            command.words.push_back(std::move(word));
        }
        if (!any && !error_) {
            fail_token(peek_operator());
        }
    }

    // "()" after a command's first word makes it a function definition.
    bool at_function_parens() {
        std::size_t k = i_;
        while (is_blank(at(k))) {
            ++k;
        }
        if (at(k) != '(') {
            return false;
        }
        ++k;
        while (is_blank(at(k))) {
            ++k;
        }
        if (at(k) != ')') {
            return false;
        }
        i_ = k + 1;
        return true;
    }

    // An unquoted NAME= or NAME+= at the start of the word.
    static std::optional<Assignment> as_assignment(const Word& word, std::string_view raw) {
        std::size_t k = 0;
        if (!is_name_start(raw[0])) {
            return std::nullopt;
        }
        while (k < raw.size() && is_name_char(raw[k])) {
            ++k;
        }
        const bool append = raw.substr(k).starts_with("+=");
        if (!append && !raw.substr(k).starts_with("=")) {
            return std::nullopt;
        }
        Assignment assignment{std::string(raw.substr(0, k)), {}, append};
        const std::string& head = word.parts[0].text;
        const std::size_t skip = k + (append ? 2 : 1);
        if (skip < head.size()) {
            add_text(assignment.value, head.substr(skip), false);
        }
        assignment.value.parts.insert(assignment.value.parts.end(), word.parts.begin() + 1,
                                      word.parts.end());
        return assignment;
    }

    bool at_redirection() const {
        if (at(i_) == '&' && at(i_ + 1) == '>') {
            return true;
        }
        std::size_t k = i_;
        while (is_digit(at(k))) {
            ++k;
        }
        return at(k) == '<' || at(k) == '>';
    }

    void parse_redirection(Command& command) {
        Redirection redirection;
        std::size_t k = i_;
        while (is_digit(at(k))) {
            ++k;
        }
        const bool has_fd = k > i_;
        const int fd =
            has_fd ? std::stoi(std::string(s_.substr(i_, std::min<std::size_t>(k - i_, 4)))) : -1;
        i_ = k;
        using Kind = Redirection::Kind;
        const std::string_view rest = s_.substr(i_);
        std::size_t length = 1;
        if (rest.starts_with("&>>")) {
            redirection.kind = Kind::BothAppend;
            length = 3;
        } else if (rest.starts_with("&>")) {
            redirection.kind = Kind::Both;
            length = 2;
        } else if (rest.starts_with("<<<")) {
            redirection.kind = Kind::HereString;
            length = 3;
        } else if (rest.starts_with("<<")) {
            redirection.kind = Kind::HereDocument;
            length = rest.starts_with("<<-") ? 3 : 2;
        } else if (rest.starts_with("<&") || rest.starts_with(">&")) {
            redirection.kind = Kind::Duplicate;
            length = 2;
        } else if (rest.starts_with(">>")) {
            redirection.kind = Kind::Append;
            length = 2;
        } else if (rest.starts_with(">|")) {
            length = 2;
        } else if (rest.starts_with("<(") || rest.starts_with(">(")) {
            unsupported("process substitution is");
            return;
        } else if (rest.starts_with("<>")) {
            unsupported("opening for reading and writing (<>) is");
            return;
        } else if (rest[0] == '<') {
            redirection.kind = Kind::Input;
        }
        const bool input = rest[0] == '<';
        redirection.fd = has_fd ? fd : (input ? 0 : 1);
        const bool strip_tabs = rest.starts_with("<<-");
        i_ += length;
        skip_blanks();
        if (i_ >= s_.size() || at(i_) == '\n') {
            fail("syntax error near unexpected token `newline'");
            return;
        }
        if (const std::string op = peek_operator(); !op.empty() || at_redirection()) {
            fail_token(op.empty() ? std::string(1, at(i_)) : op);
            return;
        }
        const std::size_t start = i_;
        redirection.target = word_at_cursor();
        const std::string_view raw = s_.substr(start, i_ - start);
        if (redirection.kind == Kind::Duplicate) {
            if (raw == "-") {
                unsupported("closing a descriptor is");
                return;
            }
            if (raw.size() == 1 && is_digit(raw[0])) {
                redirection.source = raw[0] - '0';
            } else if (!input && !has_fd) {
                redirection.kind = Kind::Both;
            } else {
                fail(std::string(raw) + ": ambiguous redirect", 1);
                return;
            }
        }
        if (redirection.fd > 2 || redirection.source > 2) {
            unsupported("descriptors above 2 are");
            return;
        }
        if (redirection.kind == Kind::HereDocument) {
            std::string delimiter;
            bool quoted = false;
            for (const WordPart& part : redirection.target.parts) {
                delimiter += part.text;
                quoted = quoted || part.quoted;
            }
            redirection.body = std::make_shared<Word>();
            pending_.push_back({redirection.body, delimiter, quoted, strip_tabs});
        }
        command.redirections.push_back(std::move(redirection));
    }

    void parse_redirections(Command& command) {
        while (!error_) {
            skip_blanks();
            if (!at_redirection()) {
                return;
            }
            parse_redirection(command);
        }
    }

    // A word that must be there: an operator or the end instead is a syntax error.
    Word word_at_cursor() {
        const std::size_t start = i_;
        Word word = read_word(Mode::Normal);
        if (i_ == start && !error_) {
            const std::string op = peek_operator();
            fail_token(op.empty() ? std::string(1, at(i_)) : op);
        }
        return word;
    }

    Word read_word(Mode mode) {
        Word word;
        int depth = 0;
        while (i_ < s_.size() && !error_) {
            const char c = s_[i_];
            if (mode == Mode::Regex) {
                if (c == '(') {
                    ++depth;
                } else if (c == ')' && depth > 0) {
                    --depth;
                } else if (depth == 0 && (is_blank(c) || c == '\n')) {
                    break;
                }
                if (c == '(' || c == ')' || c == '|' || c == '<' || c == '>') {
                    add_text(word, std::string_view(&c, 1), false);
                    ++i_;
                    continue;
                }
            } else if (mode == Mode::Condition) {
                if (is_delimiter(c) && c != '<' && c != '>') {
                    break;
                }
            } else if (mode == Mode::Normal && is_delimiter(c)) {
                break;
            }
            if (c == '\\') {
                read_backslash(word, mode);
            } else if (c == '\'' && mode != Mode::Embedded) {
                const std::size_t close = s_.find('\'', i_ + 1);
                if (close == std::string_view::npos) {
                    fail(kNotFormatted);
                    break;
                }
                add_text(word, s_.substr(i_ + 1, close - i_ - 1), true);
                i_ = close + 1;
            } else if (c == '"' && mode != Mode::Embedded) {
                read_double_quoted(word);
            } else if (c == '$') {
                read_dollar(word, mode == Mode::Embedded);
            } else if (c == '`') {
                read_backquote(word, mode == Mode::Embedded);
            } else {
                add_text(word, std::string_view(&c, 1), mode == Mode::Embedded);
                ++i_;
            }
        }
        return word;
    }

    void read_backslash(Word& word, Mode mode) {
        const char next = at(i_ + 1);
        if (i_ + 1 >= s_.size()) {
            if (mode == Mode::Embedded) {
                add_text(word, "\\", true);
                ++i_;
                return;
            }
            fail(kNotFormatted);
            return;
        }
        i_ += 2;
        if (next == '\n') {
            return;
        }
        if (mode == Mode::Embedded && next != '$' && next != '`' && next != '\\') {
            add_text(word, std::string{'\\', next}, true);
            return;
        }
        add_text(word, std::string_view(&next, 1), true);
    }

    void read_double_quoted(Word& word) {
        // Quotes make a word even when nothing is inside them.
        add_text(word, "", true);
        ++i_;
        while (i_ < s_.size() && !error_) {
            const char d = s_[i_];
            if (d == '"') {
                ++i_;
                return;
            }
            if (d == '\\') {
                if (i_ + 1 == s_.size()) {
                    break;
                }
                const char next = s_[i_ + 1];
                if (next == '$' || next == '`' || next == '"' || next == '\\') {
                    add_text(word, std::string_view(&next, 1), true);
                } else if (next != '\n') {
                    add_text(word, std::string{'\\', next}, true);
                }
                i_ += 2;
            } else if (d == '$') {
                read_dollar(word, true);
            } else if (d == '`') {
                read_backquote(word, true);
            } else {
                add_text(word, std::string_view(&d, 1), true);
                ++i_;
            }
        }
        fail(kNotFormatted);
    }

    // At a '`': the command up to the next unescaped one.
    void read_backquote(Word& word, bool quoted) {
        std::string inner;
        std::size_t k = i_ + 1;
        while (k < s_.size() && s_[k] != '`') {
            if (s_[k] == '\\' && k + 1 < s_.size() &&
                std::string_view("$`\\").find(s_[k + 1]) != std::string_view::npos) {
                ++k;
            }
            inner.push_back(s_[k]);
            ++k;
        }
        if (k >= s_.size()) {
            fail(kNotFormatted);
            return;
        }
        i_ = k + 1;
        add_substitution(word, inner, quoted);
    }

    void add_substitution(Word& word, std::string_view text, bool quoted) {
        auto script = Parser(text, depth_ + 1).script();
        if (!script) {
            fail(script.error().message, script.error().status);
            return;
        }
        WordPart part{WordPart::Kind::Command, {}, quoted, {}, {}, {}};
        part.script = std::make_shared<const Script>(std::move(*script));
        word.parts.push_back(std::move(part));
    }

    // The position of the ')' that closes a command substitution whose text starts at
    // `k`, skipping quoted text and nested parentheses.
    std::size_t substitution_end(std::size_t k) const {
        int depth = 0;
        while (k < s_.size()) {
            const char c = s_[k];
            if (c == '\\') {
                k += 2;
                continue;
            }
            if (c == '\'') {
                k = s_.find('\'', k + 1);
                if (k == std::string_view::npos) {
                    return k;
                }
            } else if (c == '"') {
                ++k;
                while (k < s_.size() && s_[k] != '"') {
                    if (s_[k] == '\\') {
                        ++k;
                    } else if (s_[k] == '$' && at(k + 1) == '(') {
                        k = substitution_end(k + 2);
                        if (k == std::string_view::npos) {
                            return k;
                        }
                    }
                    ++k;
                }
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                if (depth == 0) {
                    return k;
                }
                --depth;
            }
            ++k;
        }
        return std::string_view::npos;
    }

    void read_dollar(Word& word, bool quoted) {
        const char next = at(i_ + 1);
        if (next == '(') {
            if (at(i_ + 2) == '(') {
                const std::size_t end = arithmetic_end(i_ + 3);
                if (end != std::string_view::npos) {
                    WordPart part{WordPart::Kind::Arithmetic, {}, quoted, {}, {}, {}};
                    part.args.push_back(embedded_word(s_.substr(i_ + 3, end - i_ - 3)));
                    word.parts.push_back(std::move(part));
                    i_ = end + 2;
                    return;
                }
            }
            const std::size_t end = substitution_end(i_ + 2);
            if (end == std::string_view::npos) {
                fail(kNotFormatted);
                return;
            }
            const std::string_view inner = s_.substr(i_ + 2, end - i_ - 2);
            i_ = end + 1;
            add_substitution(word, inner, quoted);
            return;
        }
        if (next == '{') {
            read_braced_parameter(word, quoted);
            return;
        }
        if (next == '\'' && !quoted) {
            read_ansi_c(word);
            return;
        }
        if (next == '"' && !quoted) {
            ++i_;
            read_double_quoted(word);
            return;
        }
        if (std::string_view("?#@*$!-").find(next) != std::string_view::npos && next != '\0') {
            word.parts.push_back(
                {WordPart::Kind::Parameter, std::string(1, next), quoted, {}, {}, {}});
            i_ += 2;
            return;
        }
        if (is_digit(next)) {
            word.parts.push_back(
                {WordPart::Kind::Parameter, std::string(1, next), quoted, {}, {}, {}});
            i_ += 2;
            return;
        }
        if (is_name_start(next)) {
            std::size_t end = i_ + 1;
            while (end < s_.size() && is_name_char(s_[end])) {
                ++end;
            }
            word.parts.push_back({WordPart::Kind::Parameter,
                                  std::string(s_.substr(i_ + 1, end - i_ - 1)),
                                  quoted,
                                  {},
                                  {},
                                  {}});
            i_ = end;
            return;
        }
        add_text(word, "$", quoted);
        ++i_;
    }

    // $'...': backslash escapes as C writes them.
    void read_ansi_c(Word& word) {
        std::string text;
        std::size_t k = i_ + 2;
        while (k < s_.size() && s_[k] != '\'') {
            if (s_[k] != '\\' || k + 1 >= s_.size()) {
                text.push_back(s_[k++]);
                continue;
            }
            const char e = s_[k + 1];
            k += 2;
            switch (e) {
            case 'n':
                text.push_back('\n');
                break;
            case 't':
                text.push_back('\t');
                break;
            case 'r':
                text.push_back('\r');
                break;
            case 'a':
                text.push_back('\a');
                break;
            case 'b':
                text.push_back('\b');
                break;
            case 'e':
            case 'E':
                text.push_back('\x1b');
                break;
            case 'f':
                text.push_back('\f');
                break;
            case 'v':
                text.push_back('\v');
                break;
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && std::isxdigit(static_cast<unsigned char>(at(k))) != 0) {
                    const char h = s_[k++];
                    value = value * 16 + (is_digit(h) ? h - '0' : (std::tolower(h) - 'a' + 10));
                    ++digits;
                }
                text.push_back(static_cast<char>(value));
                break;
            }
            case '0':
            case '1':
            case '2':
            case '3': {
                int value = e - '0';
                for (int digits = 0; digits < 2 && at(k) >= '0' && at(k) <= '7'; ++digits) {
                    value = value * 8 + (s_[k++] - '0');
                }
                text.push_back(static_cast<char>(value));
                break;
            }
            default:
                if (e != '\\' && e != '\'' && e != '"' && e != '?') {
                    text.push_back('\\');
                }
                text.push_back(e);
            }
        }
        if (k >= s_.size()) {
            fail(kNotFormatted);
            return;
        }
        add_text(word, text, true);
        i_ = k + 1;
    }

    void read_braced_parameter(Word& word, bool quoted) {
        std::size_t k = i_ + 2;
        WordPart part{WordPart::Kind::Parameter, {}, quoted, {}, {}, {}};
        if (at(k) == '#' && at(k + 1) != '}' &&
            (is_name_char(at(k + 1)) ||
             std::string_view("@*?#").find(at(k + 1)) != std::string_view::npos)) {
            part.op = "len";
            ++k;
        }
        const std::size_t start = k;
        if (is_name_start(at(k))) {
            while (is_name_char(at(k))) {
                ++k;
            }
        } else if (is_digit(at(k))) {
            while (is_digit(at(k))) {
                ++k;
            }
        } else if (std::string_view("?#@*$!-").find(at(k)) != std::string_view::npos &&
                   at(k) != '\0') {
            ++k;
        }
        part.text = std::string(s_.substr(start, k - start));
        // A subscript: [0] is the variable itself; arrays are not kept, but a match's
        // groups are, as BASH_REMATCH[N].
        if (is_name_start(at(start)) && at(k) == '[') {
            std::size_t close = k + 1;
            while (is_digit(at(close))) {
                ++close;
            }
            if (at(close) == ']' && close > k + 1) {
                const std::string_view index = s_.substr(k + 1, close - k - 1);
                if (index.find_first_not_of('0') != std::string_view::npos) {
                    part.text += "[" + std::string(index) + "]";
                }
                k = close + 1;
            }
        }
        i_ = k;
        const auto bad = [&] {
            const std::size_t close = s_.find('}', i_);
            fail("${" +
                     std::string(s_.substr(start - (part.op == "len" ? 1 : 0),
                                           (close == std::string_view::npos ? s_.size() : close) -
                                               start + (part.op == "len" ? 1 : 0))) +
                     "}: bad substitution",
                 1);
        };
        if (s_.find('}', i_) == std::string_view::npos) {
            fail(kNotFormatted);
            return;
        }
        if (part.text.empty()) {
            bad();
            return;
        }
        const char c = at(i_);
        if (c == '}') {
            ++i_;
            word.parts.push_back(std::move(part));
            return;
        }
        if (part.op == "len") {
            bad();
            return;
        }
        const std::string_view rest = s_.substr(i_);
        static constexpr std::string_view kOperators[] = {":-", ":=", ":+", ":?", "-", "=",  "+",
                                                          "?",  "%%", "%",  "##", "#", "//", "/#",
                                                          "/%", "/",  "^^", ",,", "^", ",",  ":"};
        for (std::string_view op : kOperators) {
            if (rest.starts_with(op)) {
                part.op = std::string(op);
                break;
            }
        }
        if (part.op.empty()) {
            bad();
            return;
        }
        i_ += part.op.size();
        // A pattern stays a pattern inside double quotes; only its own quotes quote it.
        const bool pattern = part.op.find_first_of("%#/^,") != std::string::npos;
        if (part.op.starts_with('/')) {
            part.args.push_back(read_operand(false, "/}"));
            if (at(i_) == '/') {
                ++i_;
                part.args.push_back(read_operand(quoted, "}"));
            }
        } else if (part.op == ":") {
            part.args.push_back(read_operand(quoted, ":}"));
            if (at(i_) == ':') {
                ++i_;
                part.args.push_back(read_operand(quoted, "}"));
            }
        } else {
            part.args.push_back(read_operand(quoted && !pattern, "}"));
        }
        if (at(i_) != '}') {
            fail(kNotFormatted);
            return;
        }
        ++i_;
        word.parts.push_back(std::move(part));
    }

    // The operand of a ${...} operator, up to an unquoted character of `stops` outside
    // nested braces.
    Word read_operand(bool quoted, std::string_view stops) {
        Word word;
        add_text(word, "", quoted);
        int depth = 0;
        while (i_ < s_.size() && !error_) {
            const char c = s_[i_];
            if (depth == 0 && stops.find(c) != std::string_view::npos) {
                break;
            }
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                --depth;
            }
            if (c == '\\') {
                const char next = at(i_ + 1);
                if (quoted && next != '$' && next != '`' && next != '"' && next != '\\' &&
                    next != '}') {
                    add_text(word, "\\", true);
                    ++i_;
                    continue;
                }
                read_backslash(word, Mode::Normal);
            } else if (c == '\'' && !quoted) {
                const std::size_t close = s_.find('\'', i_ + 1);
                if (close == std::string_view::npos) {
                    fail(kNotFormatted);
                    break;
                }
                add_text(word, s_.substr(i_ + 1, close - i_ - 1), true);
                i_ = close + 1;
            } else if (c == '"') {
                read_double_quoted(word);
            } else if (c == '$') {
                read_dollar(word, quoted);
            } else if (c == '`') {
                read_backquote(word, quoted);
            } else {
                add_text(word, std::string_view(&c, 1), quoted);
                ++i_;
            }
        }
        return word;
    }

    struct PendingHereDocument {
        std::shared_ptr<Word> body;
        std::string delimiter;
        bool quoted = false;
        bool strip_tabs = false;
    };

    std::string_view s_;
    int depth_;
    std::size_t i_ = 0;
    std::optional<ParseError> error_;
    std::vector<PendingHereDocument> pending_;
};

} // namespace

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

std::expected<Script, ParseError> parse_shell_line(std::string_view line) {
    return Parser(line).script();
}

} // namespace ovaline::shell

#include "shell/sed_command.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "shell/commands.hpp"
#include "shell/paths.hpp"
#include "shell/regex.hpp"

namespace ovaline::shell {

namespace {

struct Address {
    enum class Kind { None, Line, Last, Match, Step, Zero };
    Kind kind = Kind::None;
    std::uint64_t line = 0;
    std::uint64_t step = 0;
    // Into the script's regexes; -1 for the empty regex, which is the last one used.
    int regex = -1;
};

// What ends a range besides a second address of the usual kinds: "+N" or "~N".
enum class RangeEnd { Address, Count, Multiple };

struct ReplacementPart {
    enum class Kind { Text, Group, Case };
    Kind kind = Kind::Text;
    std::string text;
    // A group number, or for Case one of U L E u l.
    int value = 0;
};

struct Command {
    Address first;
    Address second;
    RangeEnd range_end = RangeEnd::Address;
    bool negated = false;
    char name = '\0';
    // s: its regex, replacement and flags.
    int regex = -1;
    std::vector<ReplacementPart> replacement;
    bool global = false;
    bool print = false;
    std::uint64_t occurrence = 1;
    // a i c text, b t T label, r w file name.
    std::string text;
    // {: the index after its }; b t T: the index jumped to.
    std::size_t jump = 0;
    // y: character pairs, UTF-8 aware.
    std::vector<std::pair<std::string, std::string>> map;
    int exit_status = 0;
    // l: the width its lines wrap at (0: no wrapping).
    std::size_t width = 70;
    // A range's state while the script runs.
    bool in_range = false;
    std::uint64_t range_last = 0;
};

struct Script {
    std::vector<Command> commands;
    std::vector<Regex> regexes;
};

class ScriptError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads the script text into commands: the GNU grammar, one-line a/i/c included.
class Parser {
  public:
    Parser(std::string_view text, bool extended) : text_(text), extended_(extended) {}

    Script parse() {
        std::vector<std::size_t> blocks;
        std::map<std::string, std::size_t> labels;
        while (true) {
            skip_separators();
            if (at_end()) {
                break;
            }
            if (peek() == '#') {
                while (!at_end() && peek() != '\n') {
                    ++pos_;
                }
                continue;
            }
            Command command;
            command.first = address();
            if (command.first.kind != Address::Kind::None && peek() == ',') {
                ++pos_;
                skip_blanks();
                if (peek() == '+' || peek() == '~') {
                    command.range_end = peek() == '+' ? RangeEnd::Count : RangeEnd::Multiple;
                    ++pos_;
                    command.second.kind = Address::Kind::Line;
                    command.second.line = number();
                } else {
                    command.second = address();
                    if (command.second.kind == Address::Kind::None) {
                        fail("unexpected `,'");
                    }
                }
            }
            if (command.first.kind == Address::Kind::Zero &&
                command.second.kind != Address::Kind::Match) {
                fail("invalid usage of line address 0");
            }
            skip_blanks();
            while (peek() == '!') {
                command.negated = true;
                ++pos_;
                skip_blanks();
            }
            if (at_end()) {
                fail("missing command");
            }
            command.name = text_[pos_++];
            const bool addressed = command.first.kind != Address::Kind::None;
            switch (command.name) {
            case '{':
                blocks.push_back(script_.commands.size());
                break;
            case '}':
                if (blocks.empty() || addressed) {
                    fail(addressed ? "} doesn't want any addresses" : "unexpected `}'");
                }
                script_.commands[blocks.back()].jump = script_.commands.size() + 1;
                blocks.pop_back();
                break;
            case '=':
            case 'd':
            case 'D':
            case 'g':
            case 'G':
            case 'h':
            case 'H':
            case 'n':
            case 'N':
            case 'p':
            case 'P':
            case 'x':
            case 'z':
                break;
            case 'l':
                skip_blanks();
                if (!at_end() && std::isdigit(static_cast<unsigned char>(peek())) != 0) {
                    command.width = number();
                }
                break;
            case 'q':
            case 'Q':
                if (command.second.kind != Address::Kind::None) {
                    fail("command only uses one address");
                }
                skip_blanks();
                if (!at_end() && std::isdigit(static_cast<unsigned char>(peek())) != 0) {
                    command.exit_status = static_cast<int>(number());
                }
                break;
            case 'a':
            case 'i':
            case 'c':
                command.text = text_argument();
                break;
            case ':':
                if (addressed) {
                    fail(": doesn't want any addresses");
                }
                command.text = label();
                if (command.text.empty()) {
                    fail("\":\" lacks a label");
                }
                labels[command.text] = script_.commands.size();
                break;
            case 'b':
            case 't':
            case 'T':
                command.text = label();
                break;
            case 'r':
            case 'w':
                command.text = file_name();
                break;
            case 's':
                substitution(command);
                break;
            case 'y':
                transliteration(command);
                break;
            default:
                --pos_;
                fail(std::string("unknown command: `") + command.name + "'");
            }
            const bool opens = command.name == '{';
            script_.commands.push_back(std::move(command));
            if (!opens) {
                end_of_command();
            }
        }
        if (!blocks.empty()) {
            fail("unmatched `{'");
        }
        for (Command& command : script_.commands) {
            if (command.name == 'b' || command.name == 't' || command.name == 'T') {
                if (command.text.empty()) {
                    command.jump = script_.commands.size();
                } else if (auto found = labels.find(command.text); found != labels.end()) {
                    command.jump = found->second;
                } else {
                    throw ScriptError("can't find label for jump to `" + command.text + "'");
                }
            }
        }
        return std::move(script_);
    }

  private:
    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }

    [[noreturn]] void fail(const std::string& message) const {
        throw ScriptError("-e expression #1, char " + std::to_string(pos_ + 1) + ": " + message);
    }

    void skip_blanks() {
        while (!at_end() && (peek() == ' ' || peek() == '\t')) {
            ++pos_;
        }
    }
    void skip_separators() {
        while (!at_end() &&
               (std::isspace(static_cast<unsigned char>(peek())) != 0 || peek() == ';')) {
            ++pos_;
        }
    }
    // After a command: blanks, then the end, a newline, ";", "}" or a comment.
    void end_of_command() {
        skip_blanks();
        if (at_end() || peek() == '\n' || peek() == ';' || peek() == '#') {
            return;
        }
        if (peek() == '}') {
            return;
        }
        fail(std::string("extra characters after command"));
    }

    std::uint64_t number() {
        std::uint64_t value = 0;
        const char* begin = text_.data() + pos_;
        const auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), value);
        if (ec != std::errc()) {
            fail("expected a number");
        }
        pos_ += static_cast<std::size_t>(end - begin);
        return value;
    }

    Address address() {
        Address address;
        const char c = peek();
        if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            address.line = number();
            address.kind = address.line == 0 ? Address::Kind::Zero : Address::Kind::Line;
            if (peek() == '~') {
                ++pos_;
                address.kind = Address::Kind::Step;
                address.step = number();
            }
        } else if (c == '$') {
            ++pos_;
            address.kind = Address::Kind::Last;
        } else if (c == '/' || c == '\\') {
            if (c == '\\') {
                ++pos_;
            }
            const char delimiter = text_[pos_++];
            std::string pattern = delimited(delimiter, true);
            bool ignore_case = false;
            while (peek() == 'I' || peek() == 'M') {
                ignore_case = ignore_case || peek() == 'I';
                ++pos_;
            }
            address.kind = Address::Kind::Match;
            address.regex = compile(pattern, ignore_case);
        }
        skip_blanks();
        return address;
    }

    // The text up to an unescaped `delimiter`; in a regex, "\delimiter" is the delimiter
    // and "\n" a newline, other escapes stay for the regex to read.
    std::string delimited(char delimiter, bool regex) {
        std::string out;
        while (true) {
            if (at_end() || (regex && peek() == '\n' && delimiter != '\n')) {
                fail(std::string("unterminated ") + (regex ? "address regex" : "`s' command"));
            }
            const char c = text_[pos_++];
            if (c == delimiter) {
                return out;
            }
            if (c == '\\' && !at_end()) {
                const char next = text_[pos_++];
                if (next == delimiter) {
                    out.push_back(next);
                } else if (next == 'n' && regex) {
                    out.push_back('\n');
                } else if (next == '\n' && regex) {
                    out.push_back('\n');
                } else {
                    out.push_back('\\');
                    out.push_back(next);
                }
                continue;
            }
            out.push_back(c);
        }
    }

    int compile(const std::string& pattern, bool ignore_case) {
        if (pattern.empty()) {
            return -1;
        }
        auto regex = Regex::compile(
            pattern, extended_ ? Regex::Syntax::Extended : Regex::Syntax::Basic, ignore_case);
        if (!regex) {
            fail(regex.error());
        }
        script_.regexes.push_back(std::move(*regex));
        return static_cast<int>(script_.regexes.size() - 1);
    }

    void substitution(Command& command) {
        if (at_end() || peek() == '\n' || peek() == '\\') {
            fail("unterminated `s' command");
        }
        const char delimiter = text_[pos_++];
        const std::string pattern = delimited(delimiter, true);
        const std::string replacement = delimited(delimiter, false);
        bool ignore_case = false;
        bool have_occurrence = false;
        while (!at_end()) {
            const char flag = peek();
            if (flag == 'g') {
                command.global = true;
            } else if (flag == 'p') {
                command.print = true;
            } else if (flag == 'i' || flag == 'I') {
                ignore_case = true;
            } else if (flag == 'm' || flag == 'M') {
                // Lines within the pattern space are not told apart.
            } else if (std::isdigit(static_cast<unsigned char>(flag)) != 0) {
                if (have_occurrence) {
                    fail("multiple number options to `s' command");
                }
                command.occurrence = number();
                if (command.occurrence == 0) {
                    fail("number option to `s' command may not be zero");
                }
                have_occurrence = true;
                continue;
            } else if (flag == 'w') {
                ++pos_;
                command.text = file_name();
                break;
            } else {
                break;
            }
            ++pos_;
        }
        command.regex = compile(pattern, ignore_case);
        command.replacement = replacement_parts(replacement);
    }

    std::vector<ReplacementPart> replacement_parts(std::string_view text) {
        std::vector<ReplacementPart> parts;
        auto literal = [&](std::string_view piece) {
            if (parts.empty() || parts.back().kind != ReplacementPart::Kind::Text) {
                parts.push_back({ReplacementPart::Kind::Text, "", 0});
            }
            parts.back().text += piece;
        };
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '&') {
                parts.push_back({ReplacementPart::Kind::Group, "", 0});
            } else if (c == '\\' && i + 1 < text.size()) {
                const char next = text[++i];
                if (next >= '0' && next <= '9') {
                    parts.push_back({ReplacementPart::Kind::Group, "", next - '0'});
                } else if (std::string_view("ULEul").find(next) != std::string_view::npos) {
                    parts.push_back({ReplacementPart::Kind::Case, "", next});
                } else if (next == 'n') {
                    literal("\n");
                } else if (next == 't') {
                    literal("\t");
                } else {
                    literal(std::string_view(&text[i], 1));
                }
            } else {
                literal(std::string_view(&text[i], 1));
            }
        }
        return parts;
    }

    // The characters of a y operand, one string per UTF-8 character.
    std::vector<std::string> characters(std::string_view text) {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size()) {
                const char next = text[++i];
                out.emplace_back(1, next == 'n' ? '\n' : next == 't' ? '\t' : next);
                continue;
            }
            std::size_t length = 1;
            while (i + length < text.size() &&
                   (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
                ++length;
            }
            out.emplace_back(text.substr(i, length));
            i += length - 1;
        }
        return out;
    }

    void transliteration(Command& command) {
        if (at_end() || peek() == '\n' || peek() == '\\') {
            fail("unterminated `y' command");
        }
        const char delimiter = text_[pos_++];
        const auto from = characters(delimited(delimiter, false));
        const auto to = characters(delimited(delimiter, false));
        if (from.size() != to.size()) {
            fail("strings for `y' command are different lengths");
        }
        for (std::size_t i = 0; i < from.size(); ++i) {
            command.map.emplace_back(from[i], to[i]);
        }
    }

    // a, i and c: "a\" and a newline then lines, each but the last ending in "\", or
    // GNU's one-line "a text". Backslashes escape the character after them.
    std::string text_argument() {
        skip_blanks();
        if (peek() == '\\') {
            ++pos_;
            if (peek() == '\n') {
                ++pos_;
            }
        }
        std::string out;
        while (!at_end() && peek() != '\n') {
            const char c = text_[pos_++];
            if (c == '\\' && !at_end()) {
                const char next = text_[pos_++];
                out.push_back(next == 't' ? '\t' : next == 'n' ? '\n' : next);
                continue;
            }
            out.push_back(c);
        }
        return out;
    }

    std::string label() {
        skip_blanks();
        std::string out;
        while (!at_end() && peek() != '\n' && peek() != ';' && peek() != ' ' && peek() != '\t' &&
               peek() != '}') {
            out.push_back(text_[pos_++]);
        }
        return out;
    }

    std::string file_name() {
        skip_blanks();
        std::string out;
        while (!at_end() && peek() != '\n') {
            out.push_back(text_[pos_++]);
        }
        if (out.empty()) {
            fail("missing filename in r/R/w/W commands");
        }
        return out;
    }

    std::string_view text_;
    bool extended_;
    std::size_t pos_ = 0;
    Script script_;
};

// The pattern space as l shows it: escapes for backslashes and control characters,
// octal for other bytes that are not printable ASCII, lines wrapped with a "\" before
// `width`, and "$" at the end.
std::string unambiguous(std::string_view text, std::size_t width) {
    std::string out;
    std::size_t column = 0;
    for (const char c : text) {
        std::string unit;
        const auto byte = static_cast<unsigned char>(c);
        const std::size_t escape = std::string_view("\\\a\b\f\n\r\t\v").find(c);
        if (escape != std::string_view::npos) {
            unit = std::string("\\") + "\\abfnrtv"[escape];
        } else if (byte >= 0x20 && byte < 0x7F) {
            unit = std::string(1, c);
        } else {
            std::array<char, 8> octal{};
            std::snprintf(octal.data(), octal.size(), "\\%03o", byte);
            unit = octal.data();
        }
        if (width > 0 && column + unit.size() > width - 1) {
            out += "\\\n";
            column = 0;
        }
        out += unit;
        column += unit.size();
    }
    return out + "$";
}

struct Line {
    std::string_view text;
    bool newline = true;
};

// Where the edited text goes: the output, or a file's new contents under -i. A line
// written without its newline (the input's last had none) gets it back if more follows.
struct Output {
    std::string text;
    bool missing_newline = false;
    // What ends a line: a newline, or with -z a NUL.
    char end = '\n';

    // Text as it is (appended text, a file's contents): it ends its own lines.
    void write_raw(std::string_view piece) {
        if (missing_newline) {
            text.push_back(end);
        }
        text += piece;
        missing_newline = !piece.empty() && piece.back() != '\n';
    }

    void write(std::string_view piece, bool newline = true) {
        if (missing_newline) {
            text.push_back(end);
        }
        text += piece;
        if (newline) {
            text.push_back(end);
        }
        missing_newline = !newline;
    }
};

// The run of a script over one stream of lines.
class Editor {
  public:
    Editor(ShellContext& context, Script& script, bool quiet)
        : context_(context), script_(script), quiet_(quiet) {}

    // Runs over `lines`; false once a q or Q ends everything. Line numbers and ranges
    // start again with each `lines`.
    bool run(const std::vector<Line>& lines, Output& output) {
        line_number_ = 0;
        for (Command& command : script_.commands) {
            command.in_range = false;
        }
        lines_ = &lines;
        output_ = &output;
        next_ = 0;
        while (next_ < lines.size()) {
            const Line& line = lines[next_++];
            space_ = line.text;
            newline_ = line.newline;
            ++line_number_;
            if (!cycle()) {
                return false;
            }
        }
        return true;
    }

    int status() const { return status_; }
    std::map<std::string, std::string>& written() { return written_; }

  private:
    bool last_line() const { return next_ >= lines_->size(); }

    const Regex* regex(int index) {
        if (index >= 0) {
            last_regex_ = index;
        }
        if (last_regex_ < 0) {
            throw ScriptError("no previous regular expression");
        }
        return &script_.regexes[static_cast<std::size_t>(last_regex_)];
    }

    bool matches(const Address& address) {
        switch (address.kind) {
        case Address::Kind::Line:
            return line_number_ == address.line;
        case Address::Kind::Last:
            return last_line();
        case Address::Kind::Match:
            return regex(address.regex)->matches(space_);
        case Address::Kind::Step:
            return address.step == 0 ? line_number_ == address.line
                                     : line_number_ >= address.line &&
                                           (line_number_ - address.line) % address.step == 0;
        case Address::Kind::Zero:
            return false;
        case Address::Kind::None:
            return true;
        }
        return false;
    }

    bool selects(Command& command) {
        bool selected = false;
        if (command.second.kind == Address::Kind::None) {
            selected = matches(command.first);
        } else if (command.in_range) {
            selected = true;
            switch (command.range_end) {
            case RangeEnd::Count:
            case RangeEnd::Multiple:
                command.in_range = line_number_ < command.range_last;
                break;
            case RangeEnd::Address:
                if (command.second.kind == Address::Kind::Line) {
                    command.in_range = line_number_ < command.second.line;
                } else {
                    command.in_range = !matches(command.second);
                }
            }
        } else if (matches(command.first) ||
                   (command.first.kind == Address::Kind::Zero && line_number_ == 1)) {
            selected = true;
            command.in_range = true;
            const std::uint64_t n = command.second.line;
            if (command.first.kind == Address::Kind::Zero) {
                command.in_range = !matches(command.second);
                // Line 1 may start a 0,/re/ range that a match on it also ends.
                selected = true;
            } else if (command.range_end == RangeEnd::Count) {
                command.range_last = line_number_ + n;
                command.in_range = n > 0;
            } else if (command.range_end == RangeEnd::Multiple) {
                command.range_last = n == 0 ? line_number_ : (line_number_ + n - 1) / n * n;
                command.in_range = command.range_last > line_number_;
            } else if (command.second.kind == Address::Kind::Line) {
                command.in_range = n > line_number_;
            } else if (command.second.kind == Address::Kind::Last) {
                command.in_range = !last_line();
            }
        }
        return selected != command.negated;
    }

    void flush_appends() {
        for (const auto& text : appends_) {
            output_->write_raw(text);
        }
        appends_.clear();
    }

    void write_space() { output_->write(space_, newline_ || !last_line()); }

    // One cycle: the script over the pattern space, then its output. False to quit.
    bool cycle() {
        bool substituted = false;
        std::size_t pc = 0;
        auto& commands = script_.commands;
        while (pc < commands.size()) {
            Command& command = commands[pc];
            if (command.name == '}' || command.name == ':') {
                ++pc;
                continue;
            }
            if (!selects(command)) {
                pc = command.name == '{' ? command.jump : pc + 1;
                continue;
            }
            ++pc;
            switch (command.name) {
            case '{':
                break;
            case '=':
                output_->write(std::to_string(line_number_));
                break;
            case 'a':
                // "$a\" alone appends nothing but the last line's missing newline.
                appends_.push_back(command.text.empty() ? "" : command.text + "\n");
                break;
            case 'i':
                output_->write(command.text);
                break;
            case 'c':
                // Within a range the text comes once, at its end.
                if (command.second.kind == Address::Kind::None || command.negated ||
                    !command.in_range) {
                    output_->write(command.text);
                }
                return end_cycle(false);
            case 'd':
                return end_cycle(false);
            case 'D': {
                const std::size_t newline = space_.find('\n');
                if (newline == std::string::npos) {
                    return end_cycle(false);
                }
                space_.erase(0, newline + 1);
                flush_appends();
                pc = 0;
                substituted = false;
                continue;
            }
            case 'g':
                space_ = hold_;
                break;
            case 'G':
                space_ += "\n" + hold_;
                break;
            case 'h':
                hold_ = space_;
                break;
            case 'H':
                hold_ += "\n" + space_;
                break;
            case 'x':
                std::swap(space_, hold_);
                break;
            case 'z':
                space_.clear();
                break;
            case 'l':
                output_->write(unambiguous(space_, command.width));
                break;
            case 'p':
                write_space();
                break;
            case 'P':
                output_->write(space_.substr(0, space_.find('\n')));
                break;
            case 'n':
                if (last_line()) {
                    return end_cycle(true);
                }
                if (!quiet_) {
                    write_space();
                }
                flush_appends();
                next_line(false);
                break;
            case 'N':
                if (last_line()) {
                    return end_cycle(true);
                }
                flush_appends();
                next_line(true);
                break;
            case 'q':
                status_ = command.exit_status;
                end_cycle(true);
                return false;
            case 'Q':
                status_ = command.exit_status;
                return false;
            case 'b':
                pc = command.jump;
                break;
            case 't':
            case 'T':
                if (substituted == (command.name == 't')) {
                    pc = command.jump;
                }
                substituted = false;
                break;
            case 'r':
                if (auto text = read_file(context_.terminal, command.text)) {
                    if (!text->empty()) {
                        appends_.push_back(*text);
                    }
                }
                break;
            case 'w':
                write_to(command.text, space_ + "\n");
                break;
            case 's':
                if (substitute(command)) {
                    substituted = true;
                    if (command.print) {
                        write_space();
                    }
                    if (!command.text.empty()) {
                        write_to(command.text, space_ + "\n");
                    }
                }
                break;
            case 'y':
                transliterate(command);
                break;
            default:
                break;
            }
        }
        return end_cycle(true);
    }

    bool end_cycle(bool print) {
        if (print && !quiet_) {
            write_space();
        }
        flush_appends();
        return true;
    }

    void next_line(bool append) {
        const Line& line = (*lines_)[next_++];
        ++line_number_;
        if (append) {
            space_ += "\n";
            space_ += line.text;
        } else {
            space_ = line.text;
        }
        newline_ = line.newline;
    }

    void write_to(const std::string& path, std::string_view text) {
        if (path == "/dev/stdout") {
            output_->write(text.substr(0, text.size() - 1));
        } else {
            written_[path] += text;
        }
    }

    bool substitute(const Command& command) {
        const Regex* pattern = regex(command.regex);
        std::string out;
        std::size_t copied = 0;
        std::uint64_t count = 0;
        bool any = false;
        for_each_match(*pattern, space_,
                       [&](std::size_t start, std::size_t end, const MatchGroups& groups) {
                           ++count;
                           if (count < command.occurrence) {
                               return true;
                           }
                           out.append(space_, copied, start - copied);
                           append_replacement(out, command.replacement, groups);
                           copied = end;
                           any = true;
                           return command.global;
                       });
        if (!any) {
            return false;
        }
        out.append(space_, copied);
        space_ = std::move(out);
        return true;
    }

    void append_replacement(std::string& out, const std::vector<ReplacementPart>& parts,
                            const MatchGroups& groups) {
        char mode = 'E';
        char once = '\0';
        auto add = [&](std::string_view piece) {
            for (char c : piece) {
                const auto byte = static_cast<unsigned char>(c);
                if (once != '\0' && byte < 0x80) {
                    c = static_cast<char>(once == 'u' ? std::toupper(byte) : std::tolower(byte));
                    once = '\0';
                } else if (mode == 'U') {
                    c = static_cast<char>(std::toupper(byte));
                } else if (mode == 'L') {
                    c = static_cast<char>(std::tolower(byte));
                }
                out.push_back(c);
            }
        };
        for (const auto& part : parts) {
            switch (part.kind) {
            case ReplacementPart::Kind::Text:
                add(part.text);
                break;
            case ReplacementPart::Kind::Group: {
                const auto index = static_cast<std::size_t>(part.value);
                if (index < groups.size() && groups[index].first != std::string::npos) {
                    add(std::string_view(space_).substr(
                        groups[index].first, groups[index].second - groups[index].first));
                }
                break;
            }
            case ReplacementPart::Kind::Case:
                if (part.value == 'u' || part.value == 'l') {
                    once = static_cast<char>(part.value);
                } else {
                    mode = static_cast<char>(part.value);
                    once = '\0';
                }
                break;
            }
        }
    }

    void transliterate(const Command& command) {
        std::string out;
        for (std::size_t i = 0; i < space_.size();) {
            std::size_t length = 1;
            while (i + length < space_.size() &&
                   (static_cast<unsigned char>(space_[i + length]) & 0xC0) == 0x80) {
                ++length;
            }
            const std::string_view character(space_.data() + i, length);
            const auto found = std::ranges::find_if(
                command.map, [&](const auto& pair) { return pair.first == character; });
            out += found == command.map.end() ? std::string(character) : found->second;
            i += length;
        }
        space_ = std::move(out);
    }

    ShellContext& context_;
    Script& script_;
    bool quiet_;
    const std::vector<Line>* lines_ = nullptr;
    Output* output_ = nullptr;
    std::size_t next_ = 0;
    std::uint64_t line_number_ = 0;
    std::string space_;
    std::string hold_;
    bool newline_ = true;
    int last_regex_ = -1;
    int status_ = 0;
    std::vector<std::string> appends_;
    std::map<std::string, std::string> written_;
};

std::vector<Line> lines_of(std::string_view text, char end) {
    std::vector<Line> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t stop = text.find(end, start);
        if (stop == std::string_view::npos) {
            stop = text.size();
        }
        lines.push_back({text.substr(start, stop - start), true});
        start = stop + 1;
    }
    if (!text.empty() && text.back() != end) {
        lines.back().newline = false;
    }
    return lines;
}

struct SedOptions {
    bool quiet = false;
    bool extended = false;
    bool in_place = false;
    bool separate = false;
    char end = '\n';
    std::string suffix;
    std::string script;
    bool have_script = false;
    std::vector<std::string> operands;
};

std::expected<SedOptions, std::string> parse_sed_options(ShellContext& context,
                                                         std::span<const std::string> words) {
    SedOptions options;
    auto add_script = [&](std::string_view text) {
        if (options.have_script) {
            options.script += "\n";
        }
        options.script += text;
        options.have_script = true;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            options.operands.insert(options.operands.end(), words.begin() + i + 1, words.end());
            break;
        }
        if (word.starts_with("--")) {
            const std::size_t eq = word.find('=');
            const std::string name = word.substr(2, eq == std::string::npos ? eq : eq - 2);
            if (name == "quiet" || name == "silent") {
                options.quiet = true;
            } else if (name == "regexp-extended") {
                options.extended = true;
            } else if (name == "null-data") {
                options.end = '\0';
            } else if (name == "separate") {
                options.separate = true;
            } else if (name == "in-place") {
                options.in_place = true;
                options.suffix = eq == std::string::npos ? "" : word.substr(eq + 1);
            } else if (name == "expression" && eq != std::string::npos) {
                add_script(word.substr(eq + 1));
            } else if (name == "expression" && i + 1 < words.size()) {
                add_script(words[++i]);
            } else {
                return std::unexpected("unrecognized option '" + word + "'");
            }
            continue;
        }
        if (word.size() < 2 || word[0] != '-') {
            options.operands.push_back(word);
            continue;
        }
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char option = word[k];
            if (option == 'n') {
                options.quiet = true;
            } else if (option == 'E' || option == 'r') {
                options.extended = true;
            } else if (option == 'z') {
                options.end = '\0';
            } else if (option == 's') {
                options.separate = true;
            } else if (option == 'i') {
                options.in_place = true;
                options.suffix = word.substr(k + 1);
                break;
            } else if (option == 'e' || option == 'f') {
                std::string value;
                if (k + 1 < word.size()) {
                    value = word.substr(k + 1);
                } else if (i + 1 < words.size()) {
                    value = words[++i];
                } else {
                    return std::unexpected(std::string("option requires an argument -- '") +
                                           option + "'");
                }
                if (option == 'f') {
                    auto text = read_file(context.terminal, value);
                    if (!text) {
                        return std::unexpected("couldn't open file " + value + ": " + text.error());
                    }
                    if (text->ends_with('\n')) {
                        text->pop_back();
                    }
                    add_script(*text);
                } else {
                    add_script(value);
                }
                break;
            } else {
                return std::unexpected(std::string("invalid option -- '") + option + "'");
            }
        }
    }
    if (!options.have_script) {
        if (options.operands.empty()) {
            return std::unexpected("no script specified");
        }
        options.script = options.operands.front();
        options.operands.erase(options.operands.begin());
        options.have_script = true;
    }
    return options;
}

} // namespace

int cmd_sed(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "sed", words)) {
        return 0;
    }
    auto options = parse_sed_options(context, words);
    if (!options) {
        return usage_error(context, "sed", options.error());
    }
    Script script;
    try {
        script = Parser(options->script, options->extended).parse();
    } catch (const ScriptError& error) {
        context.error("sed", error.what());
        return 1;
    }
    if (options->in_place && options->operands.empty()) {
        context.error("sed", "no input files");
        return 1;
    }
    std::vector<std::string> operands = options->operands;
    if (operands.empty()) {
        operands.emplace_back("-");
    }
    Editor editor(context, script, options->quiet);
    // Files named by w commands are emptied before anything runs.
    for (const auto& command : script.commands) {
        if ((command.name == 'w' || (command.name == 's' && !command.text.empty())) &&
            command.text != "/dev/stdout") {
            editor.written()[command.text];
        }
    }
    int status = 0;
    const bool each_file = options->in_place || options->separate;
    Output output;
    output.end = options->end;
    std::vector<std::string> texts;
    std::vector<std::string> names;
    for (const auto& operand : operands) {
        if (operand == "-") {
            texts.emplace_back(context.input);
            names.push_back(operand);
            continue;
        }
        auto text = read_file(context.terminal, operand);
        if (!text) {
            context.error("sed", "can't read " + operand + ": " + text.error());
            status = 2;
            continue;
        }
        texts.push_back(std::move(*text));
        names.push_back(operand);
    }
    try {
        if (each_file) {
            for (std::size_t i = 0; i < texts.size(); ++i) {
                Output own;
                own.end = options->end;
                const bool go_on =
                    editor.run(lines_of(texts[i], options->end), options->in_place ? own : output);
                if (options->in_place && names[i] != "-") {
                    const std::string backup = names[i] + options->suffix;
                    if (!options->suffix.empty()) {
                        if (auto kept = write_file(context.terminal, backup, texts[i], false);
                            !kept) {
                            context.error("sed", "couldn't keep " + backup + ": " + kept.error());
                            status = 4;
                        }
                    }
                    if (auto written = write_file(context.terminal, names[i], own.text, false);
                        !written) {
                        context.error("sed", "couldn't edit " + names[i] + ": " + written.error());
                        status = 4;
                    }
                }
                if (!go_on) {
                    break;
                }
            }
        } else {
            // All the inputs are one stream: a last line without a newline only ends it.
            std::string joined;
            for (const auto& text : texts) {
                joined += text;
                if (!text.empty() && text.back() != options->end && &text != &texts.back()) {
                    joined.push_back(options->end);
                }
            }
            editor.run(lines_of(joined, options->end), output);
        }
    } catch (const ScriptError& error) {
        context.write(output.text);
        context.error("sed", error.what());
        return 4;
    }
    context.write(output.text);
    for (const auto& [path, text] : editor.written()) {
        if (auto written = write_file(context.terminal, path, text, false); !written) {
            context.error("sed", "couldn't open file " + path + ": " + written.error());
            status = 4;
        }
    }
    return editor.status() != 0 ? editor.status() : status;
}

} // namespace ovaline::shell

#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace ovaline::shell {

// A piece of a word as written: literal text, or a variable to expand ($NAME, ${NAME},
// $?). Quoted pieces are neither split nor globbed.
struct WordPart {
    enum class Kind { Text, Variable };
    Kind kind = Kind::Text;
    std::string text;
    bool quoted = false;
};

struct Word {
    std::vector<WordPart> parts;
};

struct Redirection {
    // Duplicate sends `fd` where the other output stream goes (2>&1, 1>&2).
    enum class Kind { Output, Append, Input, Duplicate };
    int fd = 1;
    Kind kind = Kind::Output;
    // Unused for Duplicate.
    Word target;
};

struct Assignment {
    std::string name;
    Word value;
};

struct SimpleCommand {
    std::vector<Assignment> assignments;
    std::vector<Word> words;
    std::vector<Redirection> redirections;
};

using Pipeline = std::vector<SimpleCommand>;

// Pipelines joined by && and ||, run left to right.
struct AndOrList {
    Pipeline first;
    // true for &&, false for ||.
    std::vector<std::pair<bool, Pipeline>> rest;
};

// The lists of a line, separated by ';' or newlines.
using Script = std::vector<AndOrList>;

// A parse failure: the message and the exit status a shell gives it.
struct ParseError {
    std::string message;
    int status = 2;
};

// Parses one line of the shell mode. Quoting follows the default mode's word splitting;
// on top of it come the operators ; && || | > >> < 2> 2>> 2>&1, variables and
// assignments. Constructs the shell does not have (&, subshells, command substitution)
// are refused with a message saying so.
std::expected<Script, ParseError> parse_shell_line(std::string_view line);

} // namespace ovaline::shell

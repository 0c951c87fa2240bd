#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ovaline::shell {

struct WordPart;
struct Script;

struct Word {
    std::vector<WordPart> parts;
};

// A piece of a word as written. Quoted pieces are neither split nor globbed, and their
// wildcards match themselves.
struct WordPart {
    enum class Kind {
        Text,
        // A parameter: `text` names it (NAME, a digit string, ? # @ *), `op` says what
        // is done with it ("" plain, "len" for ${#x}, or the operator as written: ":-",
        // "-", ":=", "=", ":+", "+", ":?", "?", "%", "%%", "#", "##", "/", "//", "/#",
        // "/%", ":" for a substring, "^^", ",,", "^", ","), and `args` are its operands.
        Parameter,
        // $(...) or `...`.
        Command,
        // $((...)): args[0] is the expression before its expansion.
        Arithmetic,
    };
    Kind kind = Kind::Text;
    std::string text;
    bool quoted = false;
    std::string op;
    std::vector<Word> args;
    std::shared_ptr<const Script> script;
};

struct Redirection {
    enum class Kind {
        Output,
        Append,
        Input,
        // `fd` goes where descriptor `source` goes (2>&1, >&2, 0<&0).
        Duplicate,
        // Both output streams to the target (&> and >&file), or appended (&>>).
        Both,
        BothAppend,
        // <<, <<- and <<<: the text is `body` (filled once the lines after the command
        // are read) or, for <<<, the target followed by a newline.
        HereDocument,
        HereString,
    };
    int fd = 1;
    Kind kind = Kind::Output;
    Word target;
    int source = 1;
    std::shared_ptr<Word> body;
};

struct Assignment {
    std::string name;
    Word value;
    // NAME+=value.
    bool append = false;
};

struct Command;

struct Pipeline {
    // `! pipeline`.
    bool negate = false;
    std::vector<Command> commands;
};

// Pipelines joined by && and ||, run left to right.
struct AndOrList {
    Pipeline first;
    // true for &&, false for ||.
    std::vector<std::pair<bool, Pipeline>> rest;
    // Followed by ';' rather than the end of its line.
    bool continues_line = false;
};

// Lists separated by ';' or newlines.
struct Script {
    std::vector<AndOrList> lists;
};

struct CaseItem {
    std::vector<Word> patterns;
    Script body;
    // Ended by ;& (run the next body too) or ;;& (test the next patterns) instead of ;;.
    bool fall_through = false;
    bool test_next = false;
};

// One token of [[ ... ]]: an operator (&& || ! ( )) or a word.
struct ConditionToken {
    std::string op;
    Word word;
    // The word as written, so that operators such as -f or == are told from operands
    // that only expand to them.
    std::string raw;
};

struct Command {
    enum class Kind {
        Simple,
        // { list; }
        Group,
        // ( list )
        Subshell,
        // if c1; then b1; elif c2; then b2; else b3; fi: bodies c1 b1 c2 b2 [b3].
        If,
        // bodies: the condition, then the body.
        While,
        Until,
        // for name [in words]; do body; done
        For,
        // case words[0] in items esac
        Case,
        // name() body
        Function,
        // (( words[0] ))
        Arithmetic,
        // [[ condition ]]
        Conditional,
    };
    Kind kind = Kind::Simple;
    std::vector<Assignment> assignments;
    std::vector<Word> words;
    std::vector<Redirection> redirections;
    std::vector<Script> bodies;
    std::string name;
    // For: whether "in words" was written (else the positional parameters are walked).
    bool has_list = false;
    std::vector<CaseItem> items;
    std::vector<ConditionToken> condition;
    std::shared_ptr<const Command> function_body;
};

// A parse failure: the message and the exit status a shell gives it.
struct ParseError {
    std::string message;
    int status = 2;
};

// Parses the text of one line (which may hold newlines) of the shell mode. Constructs
// the shell does not have (&, process substitution, coprocesses, arrays) are refused
// with a message saying so.
std::expected<Script, ParseError> parse_shell_line(std::string_view line);

// Whether `text` can name a variable.
bool is_name(std::string_view text);

} // namespace ovaline::shell

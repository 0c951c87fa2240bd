#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/regex.hpp"

// The awk language as the shell mode's awk reads it: its values and the program tree.
namespace ovaline::shell::awk {

// A failure while reading or running a program.
struct AwkError : std::runtime_error {
    explicit AwkError(const std::string& message) : std::runtime_error(message) {}
};

// ---- Values ----

// A number, a string, or a string from input that looks like a number (compared as one),
// or nothing yet (both "" and 0).
struct Value {
    enum class Kind : std::uint8_t { Unset, Number, String, StrNum };
    Kind kind = Kind::Unset;
    double number = 0;
    std::string text;

    static Value of(double number) { return {Kind::Number, number, {}}; }
    static Value of(std::string text) { return {Kind::String, 0, std::move(text)}; }
    // Input text: a number when it reads wholly as one, blanks around it allowed.
    static Value input(std::string text);

    bool numeric() const { return kind != Kind::String; }
};

// The leading number of a text, as awk reads strings: blanks, a sign, digits, a point,
// an exponent; nothing numeric reads as 0. `whole` tells whether only blanks follow.
double leading_number(std::string_view text, bool* whole = nullptr);

// Escapes in a -v value or a command-line assignment, as in a string literal.
std::string unescape(std::string_view text);

// ---- The program ----

enum class Op {
    // Expressions.
    Number,
    String,
    Regex,
    Global,
    Local,
    Field,
    Index,
    Assign,
    Conditional,
    Or,
    And,
    In,
    Match,
    Compare,
    Concat,
    Arith,
    Negate,
    Plus,
    Not,
    PreIncrement,
    PostIncrement,
    Group,
    Builtin,
    Call,
    // Statements.
    Print,
    Printf,
    Expression,
    If,
    While,
    Do,
    For,
    ForIn,
    Block,
    Next,
    NextFile,
    Exit,
    Return,
    Break,
    Continue,
    Delete,
    Getline,
};

struct Node {
    Op op;
    // The operator (for Assign, Compare, Arith, Match), the builtin's name, or a literal.
    std::string text;
    double number = 0;
    // A variable's slot, a function's index, or a regex's index.
    std::size_t index = 0;
    std::vector<std::unique_ptr<Node>> kids;
    // Output redirection of print/printf: "", ">", ">>" or "|"; the target is the last kid.
    std::string redirect;
};

using NodePtr = std::unique_ptr<Node>;

struct Function {
    std::string name;
    std::size_t params = 0;
    NodePtr body;
    bool defined = false;
};

struct Item {
    enum class Kind { Begin, End, Main };
    Kind kind = Kind::Main;
    NodePtr first;
    NodePtr second;
    NodePtr action;
    bool in_range = false;
};

struct Program {
    std::vector<Item> items;
    std::vector<Function> functions;
    std::vector<std::string> globals;
    std::vector<Regex> regexes;
};

// Global variables the interpreter itself reads or sets, in their slots.
enum Special : std::size_t {
    kNF,
    kNR,
    kFNR,
    kFS,
    kOFS,
    kORS,
    kRS,
    kSUBSEP,
    kCONVFMT,
    kOFMT,
    kRSTART,
    kRLENGTH,
    kFILENAME,
    kENVIRON,
    kARGC,
    kARGV,
    kSpecials
};
constexpr std::array<std::string_view, kSpecials> kSpecialNames = {
    "NF",      "NR",   "FNR",    "FS",      "OFS",      "ORS",     "RS",   "SUBSEP",
    "CONVFMT", "OFMT", "RSTART", "RLENGTH", "FILENAME", "ENVIRON", "ARGC", "ARGV"};

// Reads a program's text into its tree; fails with AwkError.
Program parse_program(std::string_view source);

} // namespace ovaline::shell::awk

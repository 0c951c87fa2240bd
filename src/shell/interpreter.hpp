#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/shell_terminal.hpp"
#include "shell/syntax.hpp"

namespace ovaline::shell {

// A command's standard input: text and how much of it `read` took already. A
// redirection from a directory opens, but reading it fails.
struct Input {
    std::string text;
    std::size_t pos = 0;
    bool directory = false;

    std::string_view rest() const { return std::string_view(text).substr(pos); }
};

// Where a command's descriptors 0, 1 and 2 lead: the text it reads and the buffers its
// two output streams append to. Both outputs may share one buffer (2>&1).
struct Streams {
    std::string* out;
    std::string* err;
    Input* in;
};

// How control leaves the commands being run: normally, or unwinding to the loop, the
// function, the subshell or the line that stops it. Abort is an expansion error that
// ends the current top-level command; Stop is a bound or an interrupt and ends the line.
enum class Flow { Normal, Break, Continue, Return, Exit, Abort, Stop };

// What one pipeline stage may hand the next: past the output limit, so that a line
// may pass through more than it returns.
inline constexpr std::size_t kMaxPipe = std::size_t{1} << 30;

// The run of one line over a shell's state.
class Interpreter {
  public:
    Interpreter(ShellTerminal& shell, const std::function<bool()>& poll)
        : shell_(shell), state_(shell.state_), poll_(poll),
          start_(std::chrono::steady_clock::now()) {}

    ShellResult run(std::string_view line);

  private:
    struct FileSink;
    // The buffers that a command's redirections opened, written out when it ends.
    struct Redirected {
        std::vector<std::unique_ptr<FileSink>> files;
        std::unique_ptr<Input> input;
        Streams streams{};
    };

    // shell_terminal.cpp: running commands.
    int run_script(const Script& script, Streams io);
    int run_and_or(const AndOrList& list, Streams io);
    int run_pipeline(const Pipeline& pipeline, Streams io);
    int run_command(const Command& command, Streams io);
    int dispatch(const Command& command, Streams io);
    int run_compound(const Command& command, Streams io);
    int run_simple(const Command& command, Streams io);
    int run_loop(const Command& command, Streams io);
    int run_for(const Command& command, Streams io);
    int run_case(const Command& command, Streams io);
    int run_subshell(const Script& body, Streams io);
    int run_condition(const Script& script, Streams io);
    int call(std::span<const std::string> words, Streams io);
    int call_function(const std::shared_ptr<const Command>& body,
                      std::span<const std::string> words, Streams io);
    int call_table(const terminal::CommandRegistry<ShellContext>::Handler& handler,
                   std::span<const std::string> words, Streams io);
    // Whether the loop goes on after its body left with `flow_`; resets a break or
    // continue meant for it.
    bool loop_continues();
    bool open_redirections(const std::vector<Redirection>& redirections, Streams io,
                           Redirected& redirected);
    bool close_redirections(Redirected& redirected);
    void deliver(std::string_view text, std::string* to);
    // The bound of a buffer: the output limit for what the line returns, keeps in a
    // variable or writes to a file; a larger one between the stages of a pipeline,
    // which the caller never sees whole.
    std::size_t limit_of(const std::string* to) const;
    void over_limit(const std::string* to);
    bool tick();
    void stop(int status, std::string message);
    void print_error(Streams io, std::string_view text);
    // set -x: the words of a command about to run, on its error stream; with `value`,
    // the one word is the name of a variable being given it.
    void trace(std::span<const std::string> words, Streams io,
               std::optional<std::string_view> value = std::nullopt);
    // Enters one more level of nesting; false (with the line stopped) past the bound.
    bool enter(Streams io);

    // shell_builtins.cpp: the commands that work on the interpreter itself.
    std::optional<int> run_builtin(std::span<const std::string> words, Streams io);
    int builtin_read(std::span<const std::string> args, Streams io);
    int builtin_set(std::span<const std::string> args, Streams io);
    int builtin_local(std::span<const std::string> args, Streams io);
    int builtin_source(std::span<const std::string> args, Streams io);
    int builtin_eval(std::span<const std::string> args, Streams io);
    int run_text(std::string_view text, Streams io);
    int evaluate_condition(const std::vector<ConditionToken>& tokens, Streams io);

    // expansion.cpp.
    struct Fields;
    std::vector<std::string> expand_words(const std::vector<Word>& words);
    // A value: neither split nor globbed (assignments, here-documents, case subjects).
    std::string expand_value(const Word& word);
    // A pattern: quoted characters escaped with a backslash, the rest as written.
    std::string expand_pattern(const Word& word);
    // A regular expression: quoted characters match themselves.
    std::string expand_regex(const Word& word);
    void expand_into(const Word& word, Fields& fields, bool quoted_context);
    void expand_parameter(const WordPart& part, Fields& fields, bool quoted);
    std::optional<std::string> parameter(const std::string& name);
    std::string substitute(const Script& script);
    std::optional<std::int64_t> arithmetic(std::string_view expression);
    void fail_expansion(std::string message, int status, Flow flow);

    // Variables as commands see them; `local` keeps what a function's end restores.
    void set_variable(const std::string& name, std::string value);
    void unset_variable(const std::string& name);
    // (( expression )): 0 when it is not zero; nothing after an arithmetic error.
    std::optional<int> evaluate_arithmetic_command(const Word& word, Streams io);

    ShellTerminal& shell_;
    ShellState& state_;
    const std::function<bool()>& poll_;
    ShellResult result_;
    Input no_input_;
    Flow flow_ = Flow::Normal;
    // Levels a break or continue still has to leave; the status exit or return gives.
    int flow_count_ = 0;
    int flow_status_ = 0;
    int loop_depth_ = 0;
    int function_depth_ = 0;
    // Function calls, sourced files, evals and substitutions under way: each takes
    // stack, so there is a bound.
    int nesting_ = 0;
    // Inside an if or while test, or left of && and ||: set -e does not apply.
    int condition_depth_ = 0;
    // The status of the last command substitution, which an assignment alone returns.
    std::optional<int> substitution_status_;
    std::vector<std::vector<std::pair<std::string, std::optional<std::string>>>> locals_;
    std::uint64_t steps_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point next_poll_{};
    // The output buffers of the pipeline stages under way, innermost last.
    std::vector<const std::string*> pipes_;
    // Where /dev/null output goes; emptied after every command.
    std::string null_sink_;
    Streams current_{};
};

} // namespace ovaline::shell

#include "shell/shell_terminal.hpp"

#include <algorithm>

#include "fs/name_pattern.hpp"
#include "shell/commands.hpp"
#include "shell/interpreter.hpp"
#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

// How often the clock and the host's poll are consulted, in commands run.
constexpr std::uint64_t kCheckEvery = 256;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
// Function calls, sources, evals and substitutions inside one another.
constexpr int kMaxNesting = 200;

} // namespace

struct Interpreter::FileSink {
    std::string path;
    std::string buffer;
};

ShellResult Interpreter::run(std::string_view line) {
    auto script = parse_shell_line(line);
    if (!script) {
        result_.status = script.error().status;
        result_.err = script.error().message + "\n";
        state_.last_status = result_.status;
        return std::move(result_);
    }
    const Streams io{&result_.out, &result_.err, &no_input_};
    current_ = io;
    int status = 0;
    bool aborted = false;
    for (const AndOrList& list : script->lists) {
        // An expansion error ends the rest of its line.
        if (!aborted) {
            status = run_and_or(list, io);
        }
        if (flow_ == Flow::Abort) {
            flow_ = Flow::Normal;
            status = flow_status_;
            state_.last_status = status;
            aborted = true;
        }
        aborted = aborted && list.continues_line;
        if (flow_ != Flow::Normal) {
            break;
        }
    }
    if (flow_ == Flow::Exit || flow_ == Flow::Stop) {
        status = flow_status_;
    }
    result_.status = status;
    state_.last_status = status;
    return std::move(result_);
}

int Interpreter::run_script(const Script& script, Streams io) {
    int status = 0;
    for (const AndOrList& list : script.lists) {
        if (flow_ != Flow::Normal) {
            break;
        }
        status = run_and_or(list, io);
    }
    return status;
}

int Interpreter::run_and_or(const AndOrList& list, Streams io) {
    const bool tested = !list.rest.empty();
    condition_depth_ += tested ? 1 : 0;
    int status = run_pipeline(list.first, io);
    condition_depth_ -= tested ? 1 : 0;
    const Pipeline* last = &list.first;
    for (std::size_t k = 0; k < list.rest.size() && flow_ == Flow::Normal; ++k) {
        const auto& [is_and, pipeline] = list.rest[k];
        if ((status == 0) != is_and) {
            continue;
        }
        const bool final = k + 1 == list.rest.size();
        condition_depth_ += final ? 0 : 1;
        status = run_pipeline(pipeline, io);
        condition_depth_ -= final ? 0 : 1;
        last = &pipeline;
    }
    const bool ran_final = list.rest.empty() ? true : last == &list.rest.back().second;
    if (status != 0 && state_.errexit && condition_depth_ == 0 && ran_final && !last->negate &&
        flow_ == Flow::Normal) {
        flow_ = Flow::Exit;
        flow_status_ = status;
    }
    return status;
}

int Interpreter::run_pipeline(const Pipeline& pipeline, Streams io) {
    int status = 0;
    if (pipeline.negate) {
        ++condition_depth_;
    }
    if (pipeline.commands.size() == 1) {
        status = run_command(pipeline.commands[0], io);
    } else {
        // Each stage runs in a copy of the shell's state, as a subshell, one after the
        // other: the output of one is the input of the next.
        Input input;
        int failed = 0;
        for (std::size_t i = 0; i < pipeline.commands.size(); ++i) {
            const bool last = i + 1 == pipeline.commands.size();
            std::string output;
            const Streams stage{last ? io.out : &output, io.err, i == 0 ? io.in : &input};
            if (!last) {
                pipes_.push_back(&output);
            }
            ShellState saved = state_;
            const int saved_depth = loop_depth_;
            loop_depth_ = 0;
            status = run_command(pipeline.commands[i], stage);
            loop_depth_ = saved_depth;
            state_ = std::move(saved);
            if (!last) {
                pipes_.pop_back();
            }
            if (flow_ == Flow::Stop) {
                break;
            }
            if (flow_ == Flow::Exit || flow_ == Flow::Abort || flow_ == Flow::Return) {
                status = flow_status_;
            }
            flow_ = Flow::Normal;
            failed = status != 0 ? status : failed;
            input = Input{std::move(output), 0, false};
        }
        if (state_.pipefail) {
            status = failed;
        }
    }
    if (pipeline.negate) {
        --condition_depth_;
        status = status == 0 ? 1 : 0;
    }
    state_.last_status = status;
    return status;
}

int Interpreter::run_command(const Command& command, Streams io) {
    // Expansion errors and command substitutions inside use the command's streams.
    const Streams saved = current_;
    current_ = io;
    const int status = dispatch(command, io);
    current_ = saved;
    return status;
}

int Interpreter::dispatch(const Command& command, Streams io) {
    if (!tick()) {
        return flow_status_;
    }
    if (command.kind == Command::Kind::Simple) {
        return run_simple(command, io);
    }
    if (command.kind == Command::Kind::Function) {
        state_.functions[command.name] = command.function_body;
        return 0;
    }
    Redirected redirected;
    if (!open_redirections(command.redirections, io, redirected)) {
        return 1;
    }
    int status = run_compound(command, redirected.streams);
    if (!close_redirections(redirected)) {
        status = 1;
    }
    return status;
}

int Interpreter::run_compound(const Command& command, Streams io) {
    switch (command.kind) {
    case Command::Kind::Group:
        return run_script(command.bodies[0], io);
    case Command::Kind::Subshell:
        return run_subshell(command.bodies[0], io);
    case Command::Kind::If: {
        const auto& bodies = command.bodies;
        for (std::size_t k = 0; k + 1 < bodies.size(); k += 2) {
            const int test = run_condition(bodies[k], io);
            if (flow_ != Flow::Normal) {
                return test;
            }
            if (test == 0) {
                return run_script(bodies[k + 1], io);
            }
        }
        return bodies.size() % 2 == 1 ? run_script(bodies.back(), io) : 0;
    }
    case Command::Kind::While:
    case Command::Kind::Until:
        return run_loop(command, io);
    case Command::Kind::For:
        return run_for(command, io);
    case Command::Kind::Case:
        return run_case(command, io);
    case Command::Kind::Arithmetic:
        return evaluate_arithmetic_command(command.words[0], io).value_or(1);
    case Command::Kind::Conditional:
        return evaluate_condition(command.condition, io);
    case Command::Kind::Simple:
    case Command::Kind::Function:
        break;
    }
    return 0;
}

int Interpreter::run_condition(const Script& script, Streams io) {
    ++condition_depth_;
    const int status = run_script(script, io);
    --condition_depth_;
    return status;
}

bool Interpreter::loop_continues() {
    if (flow_ == Flow::Break || flow_ == Flow::Continue) {
        if (flow_count_ > 1) {
            --flow_count_;
            return false;
        }
        const bool go_on = flow_ == Flow::Continue;
        flow_ = Flow::Normal;
        return go_on;
    }
    return flow_ == Flow::Normal;
}

int Interpreter::run_loop(const Command& command, Streams io) {
    const bool until = command.kind == Command::Kind::Until;
    int status = 0;
    ++loop_depth_;
    while (true) {
        const int test = run_condition(command.bodies[0], io);
        if (flow_ != Flow::Normal) {
            if (!loop_continues()) {
                break;
            }
            continue;
        }
        if ((test == 0) == until) {
            break;
        }
        status = run_script(command.bodies[1], io);
        if (!loop_continues()) {
            break;
        }
        if (!tick()) {
            break;
        }
    }
    --loop_depth_;
    return status;
}

int Interpreter::run_for(const Command& command, Streams io) {
    int status = 0;
    ++loop_depth_;
    if (command.name.empty()) {
        // for ((init; test; step))
        evaluate_arithmetic_command(command.words[0], io);
        while (flow_ == Flow::Normal) {
            const auto test = evaluate_arithmetic_command(command.words[1], io);
            const bool empty_test = command.words[1].parts.empty();
            if (!test || (*test != 0 && !empty_test)) {
                break;
            }
            status = run_script(command.bodies[0], io);
            if (!loop_continues()) {
                break;
            }
            evaluate_arithmetic_command(command.words[2], io);
            if (!tick()) {
                break;
            }
        }
    } else {
        const std::vector<std::string> items =
            command.has_list ? expand_words(command.words) : state_.positional;
        for (const std::string& item : items) {
            if (flow_ != Flow::Normal) {
                break;
            }
            set_variable(command.name, item);
            status = run_script(command.bodies[0], io);
            if (!loop_continues()) {
                break;
            }
        }
    }
    --loop_depth_;
    return status;
}

int Interpreter::run_case(const Command& command, Streams io) {
    const std::string subject = expand_value(command.words[0]);
    int status = 0;
    bool run_next = false;
    for (const CaseItem& item : command.items) {
        if (flow_ != Flow::Normal) {
            break;
        }
        bool matched = run_next;
        for (std::size_t k = 0; k < item.patterns.size() && !matched; ++k) {
            matched = fs::name_matches(expand_pattern(item.patterns[k]), subject, true);
        }
        if (!matched) {
            continue;
        }
        status = run_script(item.body, io);
        run_next = item.fall_through;
        if (!item.fall_through && !item.test_next) {
            break;
        }
    }
    return status;
}

int Interpreter::run_subshell(const Script& body, Streams io) {
    ShellState saved = state_;
    const int saved_loops = loop_depth_;
    const int saved_functions = function_depth_;
    loop_depth_ = 0;
    function_depth_ = 0;
    int status = run_script(body, io);
    loop_depth_ = saved_loops;
    function_depth_ = saved_functions;
    state_ = std::move(saved);
    if (flow_ == Flow::Stop) {
        return flow_status_;
    }
    if (flow_ == Flow::Exit || flow_ == Flow::Abort || flow_ == Flow::Return) {
        status = flow_status_;
    }
    flow_ = Flow::Normal;
    return status;
}

int Interpreter::run_simple(const Command& command, Streams io) {
    substitution_status_.reset();
    const std::vector<std::string> words = expand_words(command.words);
    if (flow_ != Flow::Normal) {
        return flow_status_;
    }
    if (words.empty()) {
        for (const Assignment& assignment : command.assignments) {
            std::string value = expand_value(assignment.value);
            if (flow_ != Flow::Normal) {
                return flow_status_;
            }
            if (assignment.append) {
                value = parameter(assignment.name).value_or("") + value;
            }
            if (state_.xtrace) {
                trace(std::span(&assignment.name, 1), io, value);
            }
            set_variable(assignment.name, std::move(value));
        }
        Redirected redirected;
        if (!open_redirections(command.redirections, io, redirected)) {
            return 1;
        }
        return close_redirections(redirected) ? substitution_status_.value_or(0) : 1;
    }
    // Assignments before a command hold for that command only.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const Assignment& assignment : command.assignments) {
        std::string value = expand_value(assignment.value);
        if (flow_ != Flow::Normal) {
            return flow_status_;
        }
        saved.emplace_back(assignment.name, parameter(assignment.name));
        if (assignment.append) {
            value = saved.back().second.value_or("") + value;
        }
        state_.variables[assignment.name] = std::move(value);
    }
    if (state_.xtrace) {
        trace(words, io);
    }
    Redirected redirected;
    int status = 1;
    if (open_redirections(command.redirections, io, redirected)) {
        status = call(words, redirected.streams);
        if (!close_redirections(redirected)) {
            status = 1;
        }
    }
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
        if (it->second) {
            state_.variables[it->first] = std::move(*it->second);
        } else {
            state_.variables.erase(it->first);
        }
    }
    return status;
}

int Interpreter::call(std::span<const std::string> words, Streams io) {
    const std::string& name = words[0];
    if (const auto function = state_.functions.find(name); function != state_.functions.end()) {
        return call_function(function->second, words, io);
    }
    if (const auto* command = shell_.registered_.find(name)) {
        return call_table(*command, words, io);
    }
    if (auto status = run_builtin(words, io)) {
        return *status;
    }
    if (const auto* builtin = commands().find(name)) {
        return call_table(*builtin, words, io);
    }
    print_error(io, name + ": command not found\n");
    return 127;
}

int Interpreter::call_function(const std::shared_ptr<const Command>& body,
                               std::span<const std::string> words, Streams io) {
    if (!enter(io)) {
        return 1;
    }
    // The body stays alive even if it redefines itself.
    const std::shared_ptr<const Command> keep = body;
    std::vector<std::string> positional(words.begin() + 1, words.end());
    std::swap(positional, state_.positional);
    locals_.emplace_back();
    ++function_depth_;
    const int saved_loops = loop_depth_;
    loop_depth_ = 0;
    int status = run_command(*keep, io);
    loop_depth_ = saved_loops;
    --function_depth_;
    if (flow_ == Flow::Return) {
        flow_ = Flow::Normal;
        status = flow_status_;
    }
    auto& frame = locals_.back();
    for (auto it = frame.rbegin(); it != frame.rend(); ++it) {
        if (it->second) {
            state_.variables[it->first] = std::move(*it->second);
        } else {
            state_.variables.erase(it->first);
        }
    }
    locals_.pop_back();
    std::swap(positional, state_.positional);
    --nesting_;
    return status;
}

int Interpreter::call_table(const ShellCommands::Handler& handler,
                            std::span<const std::string> words, Streams io) {
    ShellContext call(state_.context, io.in->rest(), limit_of(io.out), state_.variables,
                      shell_.registered_);
    call.input_is_directory = io.in->directory;
    // Sharing one destination, the two streams keep the order they were written in.
    call.errors_to_output = io.out == io.err;
    int status = handler(call, words.subspan(1));
    if (call.used_input) {
        io.in->pos = io.in->text.size();
    }
    if (call.overflow) {
        over_limit(io.out);
        return 1;
    }
    if (call.stop_line) {
        stop(status, "");
    }
    // Into an empty buffer, such as a pipe's, the output moves rather than copies.
    if (io.out->empty()) {
        io.out->swap(call.out);
    }
    deliver(call.out, io.out);
    deliver(call.err, io.err);
    return status;
}

void Interpreter::deliver(std::string_view text, std::string* to) {
    to->append(text);
    if (to == &null_sink_) {
        null_sink_.clear();
    } else if (to->size() > limit_of(to) && flow_ != Flow::Stop) {
        over_limit(to);
    }
}

std::size_t Interpreter::limit_of(const std::string* to) const {
    return std::ranges::find(pipes_, to) == pipes_.end()
               ? shell_.limits_.max_output
               : std::max(shell_.limits_.max_output, kMaxPipe);
}

void Interpreter::over_limit(const std::string* to) {
    const bool pipe = std::ranges::find(pipes_, to) != pipes_.end();
    stop(1, std::string(pipe ? "pipe" : "output") + " limit of " + std::to_string(limit_of(to)) +
                " bytes exceeded\n");
}

void Interpreter::trace(std::span<const std::string> words, Streams io,
                        std::optional<std::string_view> value) {
    std::string line = "+";
    for (const std::string& written : words) {
        // An assignment reads NAME=VALUE, the value quoted as a word would be.
        const std::string word = value ? std::string(*value) : written;
        if (value) {
            line += " " + written + "=";
        }
        const bool plain =
            !word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                    "0123456789_./-+=:,%@") == std::string::npos;
        if (plain) {
            line += (value ? "" : " ") + word;
            continue;
        }
        // Quoted so that the trace reads back as the same words.
        line += value ? "'" : " '";
        for (char c : word) {
            line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        line += "'";
    }
    print_error(io, line + "\n");
}

void Interpreter::print_error(Streams io, std::string_view text) {
    deliver(text, io.err);
}

bool Interpreter::enter(Streams io) {
    if (nesting_ >= kMaxNesting) {
        print_error(io, "maximum nesting level exceeded (" + std::to_string(kMaxNesting) + ")\n");
        flow_ = Flow::Abort;
        flow_status_ = 1;
        return false;
    }
    ++nesting_;
    return true;
}

void Interpreter::stop(int status, std::string message) {
    flow_ = Flow::Stop;
    flow_status_ = status;
    result_.err += message;
}

bool Interpreter::tick() {
    if (flow_ == Flow::Stop) {
        return false;
    }
    ++steps_;
    const ShellLimits& limits = shell_.limits_;
    if (limits.max_steps && steps_ > *limits.max_steps) {
        stop(124,
             "stopped: the line ran more than " + std::to_string(*limits.max_steps) + " steps\n");
        return false;
    }
    if (steps_ % kCheckEvery != 0) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (limits.timeout && now - start_ > *limits.timeout) {
        stop(124, "stopped: the line ran past its time limit\n");
        return false;
    }
    if (poll_ && now >= next_poll_) {
        next_poll_ = now + kPollInterval;
        if (!poll_()) {
            stop(130, "");
            return false;
        }
    }
    return true;
}

bool Interpreter::open_redirections(const std::vector<Redirection>& redirections, Streams io,
                                    Redirected& redirected) {
    redirected.streams = io;
    Streams& streams = redirected.streams;
    std::optional<std::string> input_path;
    for (const Redirection& redirection : redirections) {
        using Kind = Redirection::Kind;
        if (redirection.kind == Kind::Duplicate) {
            if (redirection.fd == 0) {
                continue;
            }
            std::string* source = redirection.source == 1   ? streams.out
                                  : redirection.source == 2 ? streams.err
                                                            : nullptr;
            if (source != nullptr) {
                (redirection.fd == 1 ? streams.out : streams.err) = source;
            }
            continue;
        }
        if (redirection.kind == Kind::HereDocument || redirection.kind == Kind::HereString) {
            std::string text = expand_value(
                redirection.kind == Kind::HereDocument ? *redirection.body : redirection.target);
            if (redirection.kind == Kind::HereString) {
                text.push_back('\n');
            }
            redirected.input = std::make_unique<Input>(Input{std::move(text), 0, false});
            streams.in = redirected.input.get();
            input_path.reset();
            continue;
        }
        const std::vector<std::string> targets = expand_words({redirection.target});
        if (flow_ != Flow::Normal) {
            return false;
        }
        if (targets.size() != 1) {
            print_error(io, expand_value(redirection.target) + ": ambiguous redirect\n");
            return false;
        }
        const std::string& path = targets[0];
        if (redirection.kind == Kind::Input) {
            if (path == "/dev/stdin") {
                continue;
            }
            input_path = path;
            if (path != "/dev/null") {
                auto found = resolve_path(state_.context, path);
                if (!found) {
                    print_error(io, path + ": " + error_text(found.error()) + "\n");
                    return false;
                }
            }
            continue;
        }
        std::string* sink = nullptr;
        if (path == "/dev/null") {
            sink = &null_sink_;
        } else if (path == "/dev/stdout") {
            sink = streams.out;
        } else if (path == "/dev/stderr") {
            sink = streams.err;
        } else {
            const bool append =
                redirection.kind == Kind::Append || redirection.kind == Kind::BothAppend;
            // The file is created, or emptied, before the command runs.
            if (auto opened = write_file(state_.context, path, "", append); !opened) {
                print_error(io, path + ": " + opened.error() + "\n");
                return false;
            }
            redirected.files.push_back(std::make_unique<FileSink>(FileSink{path, {}}));
            sink = &redirected.files.back()->buffer;
        }
        if (redirection.kind == Kind::Both || redirection.kind == Kind::BothAppend) {
            streams.out = sink;
            streams.err = sink;
        } else {
            (redirection.fd == 2 ? streams.err : streams.out) = sink;
        }
    }
    // The input is read once every redirection is in place, as a file opened before a
    // later "> same" would see it emptied.
    if (input_path) {
        Input input;
        if (*input_path != "/dev/null") {
            auto id = resolve_path(state_.context, *input_path);
            auto is_dir = id ? state_.context.filesystem->is_directory_raw(*id)
                             : fs::IoResult<bool>(std::unexpected(id.error()));
            if (is_dir && *is_dir) {
                input.directory = true;
            } else {
                auto text = read_file(state_.context, *input_path);
                if (!text) {
                    print_error(io, *input_path + ": " + text.error() + "\n");
                    return false;
                }
                input.text = std::move(*text);
            }
        }
        redirected.input = std::make_unique<Input>(std::move(input));
        streams.in = redirected.input.get();
    }
    return true;
}

bool Interpreter::close_redirections(Redirected& redirected) {
    bool ok = true;
    for (const auto& file : redirected.files) {
        if (file->buffer.empty()) {
            continue;
        }
        if (auto written = write_file(state_.context, file->path, file->buffer, true); !written) {
            print_error(current_, file->path + ": " + written.error() + "\n");
            ok = false;
        }
    }
    null_sink_.clear();
    return ok;
}

ShellResult ShellTerminal::run(std::string_view line, const std::function<bool()>& poll) {
    return Interpreter(*this, poll).run(line);
}

bool ShellTerminal::valid_command_name(std::string_view name) {
    if (name.empty() || name.find('=') != std::string_view::npos) {
        return false;
    }
    for (char c : name) {
        if (std::string_view(" \t\n'\"\\$`;&|<>()#*?[]").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

} // namespace ovaline::shell

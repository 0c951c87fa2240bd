#include "shell/shell_terminal.hpp"

#include <array>
#include <optional>

#include "shell/commands.hpp"
#include "shell/expansion.hpp"
#include "shell/paths.hpp"
#include "shell/syntax.hpp"

namespace ovaline::shell {

namespace {

// Where an output stream of a command goes: a file, or (with no path) the line's own
// output (1) or error (2) stream.
struct Sink {
    int stream = 1;
    std::string path;
};

} // namespace

// The run of one line: its output so far and whether it was stopped.
class LineRun {
  public:
    explicit LineRun(ShellTerminal& shell) : shell_(shell) {}

    ShellResult run(std::string_view line) {
        auto script = parse_shell_line(line);
        if (!script) {
            result_.status = script.error().status;
            result_.err = script.error().message + "\n";
            shell_.last_status_ = result_.status;
            return std::move(result_);
        }
        for (const AndOrList& list : *script) {
            int status = run_pipeline(list.first);
            for (const auto& [is_and, pipeline] : list.rest) {
                if (stopped_) {
                    break;
                }
                if ((status == 0) == is_and) {
                    status = run_pipeline(pipeline);
                }
            }
            result_.status = status;
            if (stopped_) {
                break;
            }
        }
        return std::move(result_);
    }

  private:
    int run_pipeline(const Pipeline& pipeline) {
        int status = 0;
        if (pipeline.size() == 1) {
            status = run_command(pipeline[0], shell_.context_, shell_.variables_, "", result_.out);
        } else {
            // Each stage of a pipeline runs in a copy of the shell's state, so a cd or
            // an assignment inside it does not outlive it.
            std::string input;
            for (std::size_t i = 0; i < pipeline.size() && !stopped_; ++i) {
                TerminalContext context = shell_.context_;
                auto variables = shell_.variables_;
                std::string output;
                const bool last = i + 1 == pipeline.size();
                status = run_command(pipeline[i], context, variables, input,
                                     last ? result_.out : output);
                input = std::move(output);
            }
        }
        shell_.last_status_ = status;
        return status;
    }

    // Delivers a stream's text to where it goes; false when a file refused it.
    bool deliver(const Sink& sink, std::string_view text, std::string& out,
                 const TerminalContext& context) {
        if (sink.path.empty()) {
            (sink.stream == 1 ? out : result_.err).append(text);
            return true;
        }
        if (text.empty()) {
            return true;
        }
        auto written = write_file(context, sink.path, text, true);
        if (!written) {
            result_.err += sink.path + ": " + written.error() + "\n";
            return false;
        }
        return true;
    }

    int run_command(const SimpleCommand& command, TerminalContext& context,
                    std::map<std::string, std::string>& variables, std::string_view pipe_input,
                    std::string& out) {
        const Expansion expansion(context, variables, shell_.last_status_);
        const std::vector<std::string> words = expansion.words(command.words);

        std::array<Sink, 3> sinks{Sink{}, Sink{1, ""}, Sink{2, ""}};
        std::optional<std::string> input_path;
        for (const Redirection& redirection : command.redirections) {
            if (redirection.kind == Redirection::Kind::Duplicate) {
                sinks[redirection.fd] = sinks[3 - redirection.fd];
                continue;
            }
            std::vector<std::string> targets = expansion.words({redirection.target});
            if (targets.size() != 1) {
                result_.err += expansion.value(redirection.target) + ": ambiguous redirect\n";
                return 1;
            }
            const std::string& path = targets[0];
            if (redirection.kind == Redirection::Kind::Input) {
                if (auto found = resolve_path(context, path); !found) {
                    result_.err += path + ": " + error_text(found.error()) + "\n";
                    return 1;
                }
                input_path = path;
                continue;
            }
            // The file is created, or emptied, before the command runs.
            auto opened =
                write_file(context, path, "", redirection.kind == Redirection::Kind::Append);
            if (!opened) {
                result_.err += path + ": " + opened.error() + "\n";
                return 1;
            }
            sinks[redirection.fd] = Sink{redirection.fd, path};
        }

        if (words.empty()) {
            for (const Assignment& assignment : command.assignments) {
                variables[assignment.name] = expansion.value(assignment.value);
            }
            return 0;
        }

        // The input is read once every redirection is in place, as a file opened before
        // a later "> same" would see it emptied.
        std::string redirected_input;
        if (input_path) {
            auto text = read_file(context, *input_path);
            if (!text) {
                result_.err += *input_path + ": " + text.error() + "\n";
                return 1;
            }
            redirected_input = std::move(*text);
        }
        ShellContext call(context, input_path ? std::string_view(redirected_input) : pipe_input,
                          shell_.max_output_, variables, shell_.registered_);
        const std::span<const std::string> args = std::span(words).subspan(1);
        int status = 127;
        if (const auto* command = shell_.registered_.find(words[0])) {
            status = (*command)(call, args);
        } else if (const auto* builtin = commands().find(words[0])) {
            status = (*builtin)(call, args);
        } else {
            call.error(words[0], "command not found");
        }
        if (call.overflow) {
            return stop_for_limit();
        }
        if (call.stop_line) {
            stopped_ = true;
        }
        if (!deliver(sinks[1], call.out, out, context) ||
            !deliver(sinks[2], call.err, out, context)) {
            status = 1;
        }
        if (out.size() > shell_.max_output_ || result_.err.size() > shell_.max_output_) {
            return stop_for_limit();
        }
        return status;
    }

    int stop_for_limit() {
        stopped_ = true;
        result_.err +=
            "output limit of " + std::to_string(shell_.max_output_) + " bytes exceeded\n";
        result_.status = 1;
        return 1;
    }

    ShellTerminal& shell_;
    ShellResult result_;
    bool stopped_ = false;
};

ShellResult ShellTerminal::run(std::string_view line) {
    return LineRun(*this).run(line);
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

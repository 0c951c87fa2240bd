#include "shell/utility_commands.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <thread>

#include "shell/commands.hpp"
#include "shell/options.hpp"

namespace ovaline::shell {

int run_command(ShellContext& context, std::map<std::string, std::string>& variables,
                std::span<const std::string> command, std::string_view input) {
    const auto* handler = context.registered.find(command[0]);
    if (handler == nullptr) {
        handler = commands().find(command[0]);
    }
    if (handler == nullptr) {
        context.error(command[0], "command not found");
        return 127;
    }
    ShellContext call(context.terminal, input, context.limit - context.out.size(), variables,
                      context.registered);
    const int status = (*handler)(call, command.subspan(1));
    context.out += call.out;
    context.err += call.err;
    context.overflow = context.overflow || call.overflow;
    context.stop_line = context.stop_line || call.stop_line;
    return status;
}

namespace {

constexpr double kLongestSleep = 60;

// A trailing-slash-free path: "/" stays as it is.
std::string_view without_trailing_slashes(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    return path;
}

std::string base_name(std::string_view path, std::string_view suffix) {
    path = without_trailing_slashes(path);
    if (path == "/") {
        return "/";
    }
    const std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (!suffix.empty() && name.size() > suffix.size() && name.ends_with(suffix)) {
        name.remove_suffix(suffix.size());
    }
    return std::string(name);
}

std::string dir_name(std::string_view path) {
    path = without_trailing_slashes(path);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    return std::string(without_trailing_slashes(path.substr(0, slash == 0 ? 1 : slash)));
}

// A sleep interval: a number of seconds with an optional unit s, m, h or d.
std::optional<double> parse_interval(std::string_view text) {
    double factor = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 's':
            factor = 1;
            text.remove_suffix(1);
            break;
        case 'm':
            factor = 60;
            text.remove_suffix(1);
            break;
        case 'h':
            factor = 3600;
            text.remove_suffix(1);
            break;
        case 'd':
            factor = 86400;
            text.remove_suffix(1);
            break;
        default:
            break;
        }
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0 ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value * factor;
}

// The items of xargs' input: blank- or newline-separated words in which quotes and
// backslashes work as in the shell, or the lines alone when `whole_lines`.
std::expected<std::vector<std::string>, std::string> split_items(std::string_view input,
                                                                 bool whole_lines) {
    std::vector<std::string> items;
    std::string item;
    bool have_item = false;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char c = input[i];
        if (c == '\n' || (!whole_lines && (c == ' ' || c == '\t'))) {
            if (have_item) {
                items.push_back(std::move(item));
            }
            item.clear();
            have_item = false;
            continue;
        }
        if (whole_lines && !have_item && (c == ' ' || c == '\t')) {
            continue;
        }
        have_item = true;
        if (c == '\\' && i + 1 < input.size()) {
            item.push_back(input[++i]);
        } else if (c == '\'' || c == '"') {
            const std::size_t close = input.find(c, i + 1);
            const std::size_t newline = input.find('\n', i + 1);
            if (close == std::string_view::npos || newline < close) {
                return std::unexpected(std::string("unmatched ") +
                                       (c == '\'' ? "single" : "double") +
                                       " quote; by default quotes are special to xargs unless "
                                       "you use the -0 option");
            }
            item.append(input.substr(i + 1, close - i - 1));
            i = close;
        } else {
            item.push_back(c);
        }
    }
    if (have_item) {
        items.push_back(std::move(item));
    }
    return items;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    if (from.empty()) {
        return text;
    }
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

} // namespace

int cmd_basename(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "basename", words, "as:z");
    if (!options) {
        return options.error();
    }
    const auto& operands = options->operands;
    if (operands.empty()) {
        return usage_error(context, "basename", "missing operand");
    }
    const bool many = options->has('a') || options->has('s');
    if (!many && operands.size() > 2) {
        return usage_error(context, "basename", "extra operand '" + operands[2] + "'");
    }
    const char end = options->has('z') ? '\0' : '\n';
    const std::string suffix = options->has('s')
                                   ? options->given['s']
                                   : (!many && operands.size() == 2 ? operands[1] : "");
    for (std::size_t i = 0; i < (many ? operands.size() : 1); ++i) {
        context.write(base_name(operands[i], suffix) + end);
    }
    return 0;
}

int cmd_dirname(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "dirname", words, "z");
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "dirname", "missing operand");
    }
    const char end = options->has('z') ? '\0' : '\n';
    for (const auto& operand : options->operands) {
        context.write(dir_name(operand) + end);
    }
    return 0;
}

int cmd_env(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "env", words)) {
        return 0;
    }
    std::map<std::string, std::string> variables = context.variables;
    std::size_t i = 0;
    // Options, then NAME=VALUE words, then the command.
    for (; i < words.size() && words[i].size() > 1 && words[i][0] == '-'; ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word == "-i") {
            variables.clear();
        } else if (word.starts_with("-u")) {
            const std::string name =
                word.size() > 2 ? word.substr(2) : (i + 1 < words.size() ? words[++i] : "");
            if (name.empty()) {
                return usage_error(context, "env", "option requires an argument -- 'u'", 125);
            }
            variables.erase(name);
        } else {
            return usage_error(context, "env", "invalid option -- '" + word.substr(1, 1) + "'",
                               125);
        }
    }
    if (i < words.size() && words[i] == "-") {
        variables.clear();
        ++i;
    }
    for (; i < words.size() && words[i].find('=') != std::string::npos && words[i][0] != '='; ++i) {
        const std::size_t eq = words[i].find('=');
        variables[words[i].substr(0, eq)] = words[i].substr(eq + 1);
    }
    if (i == words.size()) {
        for (const auto& [name, value] : variables) {
            context.write(name + "=" + value + "\n");
        }
        return 0;
    }
    return run_command(context, variables, words.subspan(i), context.input);
}

int cmd_sleep(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "sleep", words, "");
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "sleep", "missing operand");
    }
    double seconds = 0;
    for (const auto& operand : options->operands) {
        auto interval = parse_interval(operand);
        if (!interval) {
            return usage_error(context, "sleep", "invalid time interval '" + operand + "'");
        }
        seconds += *interval;
    }
    // Nothing else of the shell runs meanwhile, so a wait is cut to a minute.
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, kLongestSleep)));
    return 0;
}

int cmd_xargs(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "xargs", words)) {
        return 0;
    }
    // The options end at the first operand: the rest is the command and its arguments.
    std::size_t start = 0;
    while (start < words.size() && words[start].size() > 1 && words[start][0] == '-' &&
           words[start] != "--") {
        const std::string& word = words[start];
        const bool takes_value = std::string_view("nIdLP").find(word[1]) != std::string_view::npos;
        start += takes_value && word.size() == 2 ? 2 : 1;
    }
    auto options = parse_options(words.subspan(0, std::min(start, words.size())), "0n:I:d:L:P:rt");
    if (!options) {
        return usage_error(context, "xargs", options.error());
    }
    if (start < words.size() && words[start] == "--") {
        ++start;
    }
    std::vector<std::string> command(words.begin() + std::min(start, words.size()), words.end());
    if (command.empty()) {
        command.emplace_back("echo");
    }
    // -n counts arguments, -L input lines; -P is taken, but the commands run in turn.
    std::size_t per_command = 0;
    for (const char option : {'n', 'L', 'P'}) {
        if (!options->has(option)) {
            continue;
        }
        const std::string& text = options->given[option];
        std::size_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() ||
            (value == 0 && option != 'P')) {
            context.error("xargs", "value " + text + " for -" + option +
                                       " option should be >= " + (option == 'P' ? "0" : "1"));
            return 1;
        }
        if (option != 'P') {
            per_command = value;
        }
    }
    const bool by_lines = options->has('L') && !options->has('n');
    const bool replacing = options->has('I');
    std::vector<std::string> items;
    if (options->has('0') || options->has('d')) {
        const std::string delimiter =
            options->has('0') ? std::string(1, '\0') : options->given['d'];
        const char separator = delimiter == "\\n" ? '\n' : delimiter == "\\t" ? '\t' : delimiter[0];
        std::string_view input = context.input;
        for (std::size_t at = 0; at < input.size();) {
            std::size_t end = input.find(separator, at);
            if (end == std::string_view::npos) {
                end = input.size();
            }
            items.emplace_back(input.substr(at, end - at));
            at = end + 1;
        }
    } else {
        auto split = split_items(context.input, replacing);
        if (!split) {
            context.error("xargs", split.error());
            return 1;
        }
        items = std::move(*split);
    }
    // With -L, how many items each input line gave; a line ending in a blank goes on in
    // the next one.
    std::vector<std::size_t> line_sizes;
    if (by_lines) {
        std::size_t size = 0;
        for (auto line : split_lines(context.input)) {
            auto words = split_items(line, false);
            size += words ? words->size() : 0;
            if (size > 0 && !line.ends_with(' ') && !line.ends_with('\t')) {
                line_sizes.push_back(size);
                size = 0;
            }
        }
        if (size > 0) {
            line_sizes.push_back(size);
        }
    }
    if (replacing) {
        per_command = 1;
    }
    if (items.empty() && (replacing || options->has('r'))) {
        return 0;
    }
    int status = 0;
    std::size_t at = 0;
    std::size_t next_line = 0;
    do {
        std::size_t count =
            per_command == 0 ? items.size() - at : std::min(per_command, items.size() - at);
        if (by_lines) {
            count = 0;
            for (std::size_t taken = 0; taken < per_command && next_line < line_sizes.size();
                 ++taken) {
                count += line_sizes[next_line++];
            }
        }
        std::vector<std::string> line;
        if (replacing) {
            for (const auto& word : command) {
                line.push_back(replace_all(word, options->given['I'], items[at]));
            }
        } else {
            line = command;
            line.insert(line.end(), items.begin() + at, items.begin() + at + count);
        }
        at += count;
        if (options->has('t')) {
            std::string trace;
            for (const auto& word : line) {
                trace += (trace.empty() ? "" : " ") + word;
            }
            context.err += trace + "\n";
        }
        const int result = run_command(context, context.variables, line, "");
        if (result == 127 || result == 255 || context.overflow || context.stop_line) {
            return result == 255 ? 124 : result == 127 ? 127 : 1;
        }
        if (result != 0) {
            status = 123;
        }
    } while (at < items.size());
    return status;
}

} // namespace ovaline::shell

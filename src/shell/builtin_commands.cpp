#include "shell/builtin_commands.hpp"

#include <algorithm>
#include <cctype>

#include "shell/commands.hpp"
#include "shell/paths.hpp"
#include "shell/printf_command.hpp"

namespace ovaline::shell {

int cmd_echo(ShellContext& context, std::span<const std::string> words) {
    // Leading words made only of n, e and E after a dash are options.
    bool newline = true;
    bool escapes = false;
    std::size_t first = 0;
    for (; first < words.size(); ++first) {
        const std::string& word = words[first];
        if (word.size() < 2 || word[0] != '-' ||
            word.find_first_not_of("neE", 1) != std::string::npos) {
            break;
        }
        for (char c : std::string_view(word).substr(1)) {
            newline = newline && c != 'n';
            escapes = c == 'e' || (escapes && c != 'E');
        }
    }
    std::string text;
    for (std::size_t i = first; i < words.size(); ++i) {
        if (i > first) {
            text += ' ';
        }
        if (escapes) {
            bool stopped = false;
            text += expand_escapes(words[i], stopped);
            if (stopped) {
                context.write(text);
                return 0;
            }
        } else {
            text += words[i];
        }
    }
    if (newline) {
        text += '\n';
    }
    context.write(text);
    return 0;
}

int cmd_true(ShellContext&, std::span<const std::string>) {
    return 0;
}

int cmd_false(ShellContext&, std::span<const std::string>) {
    return 1;
}

int cmd_pwd(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "pwd", words)) {
        return 0;
    }
    auto path = context.terminal.filesystem->get_path_by_inode(context.terminal.current_dir);
    if (!path) {
        context.error("pwd", error_text(path.error()));
        return 1;
    }
    context.write(*path + "\n");
    return 0;
}

int cmd_cd(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "cd", words)) {
        return 0;
    }
    if (words.size() > 1) {
        context.error("cd", "too many arguments");
        return 1;
    }
    const auto home = context.variables.find("HOME");
    std::string target =
        !words.empty() ? words[0] : (home != context.variables.end() ? home->second : "/");
    // "cd -" goes back to the directory before the last change, and prints it.
    const bool back = target == "-";
    if (back) {
        const auto old = context.variables.find("OLDPWD");
        if (old == context.variables.end()) {
            context.error("cd", "OLDPWD not set");
            return 1;
        }
        target = old->second;
    }
    auto id = resolve_path(context.terminal, target);
    fs::IoResult<bool> is_dir = id ? context.terminal.filesystem->is_directory_raw(*id)
                                   : fs::IoResult<bool>(std::unexpected(id.error()));
    if (!is_dir) {
        context.error("cd", target + ": " + error_text(is_dir.error()));
        return 1;
    }
    if (!*is_dir) {
        context.error("cd", target + ": Not a directory");
        return 1;
    }
    auto before = context.terminal.filesystem->get_path_by_inode(context.terminal.current_dir);
    context.terminal.current_dir = *id;
    if (before) {
        context.variables["OLDPWD"] = *before;
    }
    auto now = context.terminal.filesystem->get_path_by_inode(*id);
    if (now) {
        context.variables["PWD"] = *now;
        if (back) {
            context.write(*now + "\n");
        }
    }
    return 0;
}

int cmd_export(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "export", words)) {
        return 0;
    }
    if (words.empty()) {
        for (const auto& [name, value] : context.variables) {
            context.write("declare -x " + name + "=\"" + value + "\"\n");
        }
        return 0;
    }
    int status = 0;
    for (const auto& word : words) {
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const bool valid = !name.empty() &&
                           (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
                           std::ranges::all_of(name, [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                           });
        if (!valid) {
            context.error("export", "'" + word + "': not a valid identifier");
            status = 1;
            continue;
        }
        if (eq != std::string::npos) {
            context.variables[name] = word.substr(eq + 1);
        } else {
            context.variables.try_emplace(name);
        }
    }
    return status;
}

} // namespace ovaline::shell

#include "terminal/commands.hpp"

#include "terminal/builtin_commands.hpp"
#include "terminal/rm_command.hpp"

namespace ovaline::terminal {

const std::unordered_map<std::string, CommandHandler>& commands() {
    // A function-local static is built exactly once, even when threads race to it.
    static const std::unordered_map<std::string, CommandHandler> table{
        {"cd", cmd_cd},     {"ls", cmd_ls},       {"pwd", cmd_pwd},
        {"cat", cmd_cat},   {"mkdir", cmd_mkdir}, {"touch", cmd_touch},
        {"help", cmd_help}, {"rm", cmd_rm},       {"echo", cmd_echo},
    };
    return table;
}

} // namespace ovaline::terminal

#include "terminal/commands.hpp"

#include "terminal/builtin_commands.hpp"
#include "terminal/rm_command.hpp"

namespace ovaline::terminal {

const Commands& commands() {
    // A function-local static is built exactly once, even when threads race to it.
    static const Commands table{
        {"cd", cmd_cd},     {"ls", cmd_ls},       {"pwd", cmd_pwd},
        {"cat", cmd_cat},   {"mkdir", cmd_mkdir}, {"touch", cmd_touch},
        {"help", cmd_help}, {"rm", cmd_rm},       {"echo", cmd_echo},
    };
    return table;
}

int fail(CommandContext& context, std::string message) {
    context.err = std::move(message);
    return 1;
}

} // namespace ovaline::terminal

#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The tests that `test`, `[` and `[[ ]]` share.

// -e -f -d -s -r -w -x -z -n and the other one-operand tests.
bool is_unary_test(std::string_view op);
bool unary_test(const TerminalContext& context, std::string_view op, const std::string& operand);

// = == != < > and the integer comparisons -eq -ne -lt -le -gt -ge.
bool is_binary_test(std::string_view op);
// Fails with the message for an operand that is not an integer.
std::expected<bool, std::string> binary_test(std::string_view op, const std::string& left,
                                             const std::string& right);

// test EXPRESSION and [ EXPRESSION ]: 0 true, 1 false, 2 for a malformed expression.
int cmd_test(ShellContext& context, std::span<const std::string> words);
int cmd_bracket(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell

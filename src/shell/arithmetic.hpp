#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ovaline::shell {

// How an arithmetic expression reaches the shell's variables.
struct ArithmeticVariables {
    // The value of a variable, or nothing when unset.
    std::function<std::optional<std::string>(const std::string&)> get;
    std::function<void(const std::string&, const std::string&)> set;
};

// Evaluates a shell arithmetic expression (already expanded) in 64-bit integers:
// + - * / % ** << >> & | ^ ~ ! comparisons && || ?: , assignments (= += -= ...),
// ++ and --, numbers in bases 8, 10, 16 and BASE#DIGITS, and variables by bare name,
// whose values are expressions in turn. Fails with the message a shell prints.
std::expected<std::int64_t, std::string> evaluate_arithmetic(std::string_view expression,
                                                             const ArithmeticVariables& variables);

} // namespace ovaline::shell

#pragma once

#include <map>
#include <string>
#include <vector>

#include "shell/syntax.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::shell {

// The words of one command as it runs them: variables ($NAME, ${NAME}, $?) replaced,
// unquoted expansions split at blanks, and unquoted wildcards matched against the tree
// from the current directory.
class Expansion {
  public:
    Expansion(const terminal::TerminalContext& context,
              const std::map<std::string, std::string>& variables, int last_status)
        : context_(context), variables_(variables), last_status_(last_status) {}

    // The fields of every word in order; a glob without a match stays as written.
    std::vector<std::string> words(const std::vector<Word>& words) const;

    // A value (an assignment's, a redirection target as an error names it), neither split
    // nor globbed.
    std::string value(const Word& word) const;

  private:
    std::string variable(const std::string& name) const;

    const terminal::TerminalContext& context_;
    const std::map<std::string, std::string>& variables_;
    int last_status_;
};

} // namespace ovaline::shell

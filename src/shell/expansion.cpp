#include "shell/expansion.hpp"

#include <iterator>

#include "fs/glob.hpp"

namespace ovaline::shell {

namespace {

bool is_field_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool is_glob_char(char c) {
    return c == '*' || c == '?' || c == '[';
}

// One word after expansion, with its text as a glob pattern beside it (quoted
// characters escaped) and whether any unquoted wildcard calls for globbing.
struct Field {
    std::string text;
    std::string pattern;
    bool glob = false;
    // A quoted empty string is a word; an unquoted empty expansion is none.
    bool exists = false;

    void add(char c, bool quoted) {
        text.push_back(c);
        if (quoted && (is_glob_char(c) || c == '\\' || c == ']')) {
            pattern.push_back('\\');
        }
        pattern.push_back(c);
        glob = glob || (!quoted && is_glob_char(c));
        exists = true;
    }
};

} // namespace

std::string Expansion::variable(const std::string& name) const {
    if (name == "?") {
        return std::to_string(last_status_);
    }
    const auto found = variables_.find(name);
    return found == variables_.end() ? std::string() : found->second;
}

std::vector<std::string> Expansion::words(const std::vector<Word>& words) const {
    std::vector<std::string> out;
    for (const Word& word : words) {
        std::vector<Field> fields(1);
        for (const WordPart& part : word.parts) {
            const bool is_text = part.kind == WordPart::Kind::Text;
            const std::string value = is_text ? part.text : variable(part.text);
            if (is_text || part.quoted) {
                fields.back().exists = fields.back().exists || part.quoted;
                for (char c : value) {
                    fields.back().add(c, part.quoted);
                }
                continue;
            }
            for (char c : value) {
                if (!is_field_separator(c)) {
                    fields.back().add(c, false);
                } else if (fields.back().exists) {
                    fields.emplace_back();
                }
            }
        }
        if (!fields.back().exists) {
            fields.pop_back();
        }
        for (Field& field : fields) {
            if (field.glob) {
                // Quoted wildcards come escaped, and `**` is `*` as in bash by default.
                auto matches =
                    fs::glob(*context_.filesystem, field.pattern,
                             {.dir = context_.current_dir, .escapes = true, .recursive = false});
                if (!matches.empty()) {
                    out.insert(out.end(), std::make_move_iterator(matches.begin()),
                               std::make_move_iterator(matches.end()));
                    continue;
                }
            }
            out.push_back(std::move(field.text));
        }
    }
    return out;
}

std::string Expansion::value(const Word& word) const {
    std::string text;
    for (const WordPart& part : word.parts) {
        text += part.kind == WordPart::Kind::Text ? part.text : variable(part.text);
    }
    return text;
}

} // namespace ovaline::shell

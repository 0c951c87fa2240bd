#include "shell/text_commands.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>

#include "shell/commands.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

// A count as head and tail take it: digits, with an optional sign kept apart.
struct Count {
    std::uint64_t value = 0;
    char sign = '\0';
};

std::optional<Count> parse_count(std::string_view text) {
    Count count;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        count.sign = text[0];
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count.value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return count;
}

// "-5" is "-n 5" for head and tail.
std::vector<std::string> with_numeric_shorthand(std::span<const std::string> words) {
    std::vector<std::string> out;
    for (const auto& word : words) {
        const bool is_value = !out.empty() && (out.back() == "-n" || out.back() == "-c");
        if (!is_value && word.size() > 1 && word[0] == '-' &&
            std::all_of(word.begin() + 1, word.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            out.push_back("-n" + word.substr(1));
        } else {
            out.push_back(word);
        }
    }
    return out;
}

// The offset just past the first `n` lines (or the end).
std::size_t after_lines(std::string_view text, std::uint64_t n) {
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos) {
            return text.size();
        }
        at = newline + 1;
    }
    return at;
}

// The offset where the last `n` lines begin; a missing final newline still ends a line.
std::size_t last_lines(std::string_view text, std::uint64_t n) {
    std::size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n') {
        --end;
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::size_t newline = end == 0 ? std::string_view::npos : text.rfind('\n', end - 1);
        if (newline == std::string_view::npos) {
            return 0;
        }
        if (i + 1 == n) {
            return newline + 1;
        }
        end = newline;
    }
    return text.size();
}

std::string_view head_part(std::string_view text, Count count, bool bytes) {
    if (count.sign == '-') {
        const std::size_t end = bytes ? (count.value >= text.size() ? 0 : text.size() - count.value)
                                      : last_lines(text, count.value);
        return text.substr(0, count.value == 0 ? text.size() : end);
    }
    return text.substr(0, bytes ? std::min<std::uint64_t>(count.value, text.size())
                                : after_lines(text, count.value));
}

std::string_view tail_part(std::string_view text, Count count, bool bytes) {
    if (count.sign == '+') {
        // From the n-th line or byte on, counting from 1.
        const std::uint64_t skip = count.value == 0 ? 0 : count.value - 1;
        return text.substr(bytes ? std::min<std::uint64_t>(skip, text.size())
                                 : after_lines(text, skip));
    }
    if (count.value == 0) {
        return {};
    }
    return text.substr(bytes ? (count.value >= text.size() ? 0 : text.size() - count.value)
                             : last_lines(text, count.value));
}

// The part of a file that head or tail shows, read from the end that holds it: a
// window that doubles until it holds the lines asked for. Counts that need the whole
// file read it all.
std::expected<std::string, std::string> read_part(const FileReader& file, Count count, bool bytes,
                                                  bool tail) {
    const std::uint64_t size = file.size();
    if (bytes && !tail && count.sign != '-') {
        return file.read(0, std::min(count.value, size));
    }
    if (bytes && tail && count.sign != '+') {
        const std::uint64_t n = std::min(count.value, size);
        return file.read(size - n, n);
    }
    if ((!tail && count.sign == '-') || (tail && count.sign == '+')) {
        return file.read(0, size);
    }
    for (std::uint64_t window = 64 << 10;; window *= 2) {
        const std::uint64_t n = std::min(window, size);
        auto text = file.read(tail ? size - n : 0, n);
        if (!text || n == size) {
            return text;
        }
        const bool enough = tail ? last_lines(*text, count.value) > 0
                                 : std::uint64_t(std::ranges::count(*text, '\n')) >= count.value;
        if (enough) {
            return text;
        }
    }
}

// head and tail share their options, headers and errors; `take` picks the part.
int head_or_tail(ShellContext& context, std::span<const std::string> words,
                 std::string_view command, bool tail) {
    const auto take = tail ? tail_part : head_part;
    // "-5" is "-n5"; --help is left as it is.
    auto options = start_command(context, command, with_numeric_shorthand(words), "n:c:qv");
    if (!options) {
        return options.error();
    }
    const bool bytes = options->has('c');
    Count count{10, '\0'};
    if (bytes || options->has('n')) {
        const std::string& text = options->given[bytes ? 'c' : 'n'];
        auto parsed = parse_count(text);
        if (!parsed) {
            context.error(command, std::string("invalid number of ") + (bytes ? "bytes" : "lines") +
                                       ": '" + text + "'");
            return 1;
        }
        count = *parsed;
    }
    const bool headers = options->operands.size() > 1;
    bool first = true;
    const auto header = [&](const std::string& name) {
        if (headers) {
            context.write((first ? "==> " : "\n==> ") +
                          (name == "-" ? std::string("standard input") : name) + " <==\n");
        }
        first = false;
    };
    const auto use = [&](const std::string& name, std::string_view text) {
        header(name);
        context.write(take(text, count, bytes));
    };
    const auto directory = [&](const std::string& name) {
        // A directory opens, and only reading it fails.
        header(name);
        context.error(command, "error reading '" +
                                   (name == "-" ? std::string("standard input") : name) +
                                   "': Is a directory");
    };
    if (options->operands.empty()) {
        return read_inputs(context, command, {}, use, directory) ? 0 : 1;
    }
    bool ok = true;
    for (const std::string& operand : options->operands) {
        const bool special = operand == "-" || operand.starts_with("/dev/");
        auto file = special ? std::expected<FileReader, std::string>(std::unexpected(""))
                            : FileReader::open(context.terminal, operand);
        auto part = file ? read_part(*file, count, bytes, tail) : std::unexpected(file.error());
        if (part) {
            use(operand, *part);
        } else {
            // The standard input, and the errors, as every reading command has them.
            ok = read_inputs(context, command, std::span(&operand, 1), use, directory) && ok;
        }
        if (context.overflow) {
            return 1;
        }
    }
    return ok ? 0 : 1;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct Counts {
    std::uint64_t lines = 0;
    std::uint64_t words = 0;
    std::uint64_t bytes = 0;
};

Counts count_text(std::string_view text, bool words) {
    Counts counts;
    counts.bytes = text.size();
    if (!words) {
        // One pass that the library vectorises, rather than a test per character.
        counts.lines = std::ranges::count(text, '\n');
        return counts;
    }
    bool in_word = false;
    for (char c : text) {
        if (c == '\n') {
            ++counts.lines;
        }
        if (is_space(c)) {
            in_word = false;
        } else if (!in_word) {
            in_word = true;
            ++counts.words;
        }
    }
    return counts;
}

// The leading number of a line as sort -n reads it; lines without one count as zero.
double numeric_key(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
        ++i;
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(line.data() + i, line.data() + line.size(), value,
                                           std::chars_format::fixed);
    (void)end;
    return ec == std::errc() ? value : 0.0;
}

// A cut field list: ranges of 1-based field numbers; an open end is the maximum.
using FieldRanges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

std::optional<FieldRanges> parse_field_list(std::string_view list) {
    FieldRanges ranges;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) {
            comma = list.size();
        }
        const std::string_view item = list.substr(start, comma - start);
        const std::size_t dash = item.find('-');
        auto number = [](std::string_view text, std::uint64_t fallback) {
            std::uint64_t value = fallback;
            if (text.empty()) {
                return std::optional<std::uint64_t>(value);
            }
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec != std::errc() || end != text.data() + text.size() || value == 0) {
                return std::optional<std::uint64_t>();
            }
            return std::optional<std::uint64_t>(value);
        };
        if (item.empty() || item == "-") {
            return std::nullopt;
        }
        auto low = number(dash == std::string_view::npos ? item : item.substr(0, dash), 1);
        auto high =
            dash == std::string_view::npos ? low : number(item.substr(dash + 1), UINT64_MAX);
        if (!low || !high || *low > *high) {
            return std::nullopt;
        }
        ranges.emplace_back(*low, *high);
        start = comma + 1;
    }
    return ranges;
}

} // namespace

int cmd_cat(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "cat", words, "");
    if (!options) {
        return options.error();
    }
    const bool ok = read_inputs(
        context, "cat", options->operands,
        [&](const std::string&, std::string_view text) { context.write(text); }, {}, true);
    return ok ? 0 : 1;
}

int cmd_head(ShellContext& context, std::span<const std::string> words) {
    return head_or_tail(context, words, "head", false);
}

int cmd_tail(ShellContext& context, std::span<const std::string> words) {
    return head_or_tail(context, words, "tail", true);
}

int cmd_wc(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "wc", words, "lwc");
    if (!options) {
        return options.error();
    }
    bool lines = options->has('l');
    bool word_count = options->has('w');
    bool bytes = options->has('c');
    if (!lines && !word_count && !bytes) {
        lines = word_count = bytes = true;
    }
    std::vector<std::pair<std::string, Counts>> rows;
    bool from_stdin = false;
    const bool ok = read_inputs(
        context, "wc", options->operands,
        [&](const std::string& name, std::string_view text) {
            from_stdin = from_stdin || name == "-";
            rows.emplace_back(options->operands.empty() ? "" : name, count_text(text, word_count));
        },
        [&](const std::string& name) {
            // A directory counts as empty, after the error, and has no size to size
            // the columns by.
            from_stdin = true;
            context.error("wc", name == "-" ? "'standard input': Is a directory"
                                            : name + ": Is a directory");
            rows.emplace_back(options->operands.empty() ? "" : name, Counts{});
        },
        true);
    Counts total;
    for (const auto& row : rows) {
        total.lines += row.second.lines;
        total.words += row.second.words;
        total.bytes += row.second.bytes;
    }
    // A total follows whenever there were several operands, readable or not.
    const std::size_t inputs = std::max<std::size_t>(options->operands.size(), 1);
    if (inputs > 1) {
        rows.emplace_back("total", total);
    }
    // Columns are as wide as the total byte count, or 7 when the standard input is
    // among the inputs; one number for one input stands alone.
    const int columns = int(lines) + int(word_count) + int(bytes);
    std::size_t width = std::to_string(total.bytes).size();
    if (from_stdin) {
        width = 7;
    }
    if (columns == 1 && inputs == 1) {
        width = 1;
    }
    auto cell = [&](std::uint64_t value, bool first) {
        std::string text = std::to_string(value);
        std::string padded = first ? "" : " ";
        if (text.size() < width) {
            padded.append(width - text.size(), ' ');
        }
        return padded + text;
    };
    for (const auto& [name, counts] : rows) {
        std::string line;
        if (lines) {
            line += cell(counts.lines, line.empty());
        }
        if (word_count) {
            line += cell(counts.words, line.empty());
        }
        if (bytes) {
            line += cell(counts.bytes, line.empty());
        }
        if (!name.empty()) {
            line += " " + name;
        }
        context.write(line + "\n");
    }
    return ok ? 0 : 1;
}

int cmd_sort(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "sort", words, "rnu", 2);
    if (!options) {
        return options.error();
    }
    // Every input is read first: the lines point into texts that must stay put.
    std::vector<std::string> texts;
    const bool ok = read_inputs(
        context, "sort", options->operands,
        [&](const std::string&, std::string_view text) { texts.emplace_back(text); }, {}, true);
    // Nothing is sorted unless every input could be read.
    if (!ok) {
        return 2;
    }
    const bool numeric = options->has('n');
    const bool reverse = options->has('r');
    const bool unique = options->has('u');
    // Each line with its numeric key, parsed once rather than at every comparison.
    struct Line {
        double key;
        std::string_view text;
    };
    std::vector<Line> lines;
    for (const auto& text : texts) {
        for (auto line : split_lines(text)) {
            lines.push_back({numeric ? numeric_key(line) : 0.0, line});
        }
    }
    // With -u, lines whose keys compare equal are duplicates; otherwise the whole line
    // decides ties, as the last resort.
    auto key_order = [&](const Line& a, const Line& b) {
        if (numeric) {
            return a.key < b.key ? -1 : (a.key > b.key ? 1 : 0);
        }
        const int order = a.text.compare(b.text);
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    };
    auto less = [&](const Line& a, const Line& b) {
        int order = key_order(a, b);
        if (order == 0 && numeric && !unique) {
            order = a.text.compare(b.text);
        }
        return reverse ? order > 0 : order < 0;
    };
    // Lines equal under the order are equal bytes too, except for the kept duplicates
    // of -u, whose first must stay first.
    if (unique) {
        std::ranges::stable_sort(lines, less);
    } else {
        std::ranges::sort(lines, less);
    }
    const Line* previous = nullptr;
    for (const Line& line : lines) {
        if (unique && previous != nullptr && key_order(*previous, line) == 0) {
            continue;
        }
        previous = &line;
        if (!context.write(line.text) || !context.write("\n")) {
            break;
        }
    }
    return 0;
}

int cmd_uniq(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "uniq", words, "c");
    if (!options) {
        return options.error();
    }
    if (options->operands.size() > 1) {
        return usage_error(context, "uniq", "extra operand '" + options->operands[1] + "'");
    }
    const bool counts = options->has('c');
    const bool ok = read_inputs(
        context, "uniq", options->operands, [&](const std::string&, std::string_view text) {
            const auto lines = split_lines(text);
            for (std::size_t i = 0; i < lines.size();) {
                std::size_t j = i + 1;
                while (j < lines.size() && lines[j] == lines[i]) {
                    ++j;
                }
                if (counts) {
                    std::string number = std::to_string(j - i);
                    context.write(std::string(number.size() < 7 ? 7 - number.size() : 0, ' ') +
                                  number + " ");
                }
                context.write(lines[i]);
                context.write("\n");
                i = j;
            }
        });
    return ok ? 0 : 1;
}

int cmd_cut(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "cut", words, "d:f:");
    if (!options) {
        return options.error();
    }
    if (!options->has('f')) {
        return usage_error(context, "cut",
                           "you must specify a list of bytes, characters, or fields");
    }
    const std::string delimiter = options->has('d') ? options->given['d'] : "\t";
    if (delimiter.size() != 1) {
        return usage_error(context, "cut", "the delimiter must be a single character");
    }
    const auto ranges = parse_field_list(options->given['f']);
    if (!ranges) {
        return usage_error(context, "cut", "invalid field list '" + options->given['f'] + "'");
    }
    auto selected = [&](std::uint64_t field) {
        return std::ranges::any_of(*ranges, [&](const auto& range) {
            return range.first <= field && field <= range.second;
        });
    };
    const char separator = delimiter[0];
    const bool ok = read_inputs(
        context, "cut", options->operands, [&](const std::string&, std::string_view text) {
            for (auto line : split_lines(text)) {
                // A line without the delimiter passes whole.
                if (line.find(separator) == std::string_view::npos) {
                    context.write(line);
                    context.write("\n");
                    continue;
                }
                std::string out;
                bool any = false;
                std::uint64_t field = 1;
                std::size_t start = 0;
                while (true) {
                    const std::size_t end = line.find(separator, start);
                    const std::string_view piece =
                        line.substr(start, end == std::string_view::npos ? end : end - start);
                    if (selected(field)) {
                        if (any) {
                            out.push_back(separator);
                        }
                        out.append(piece);
                        any = true;
                    }
                    if (end == std::string_view::npos) {
                        break;
                    }
                    start = end + 1;
                    ++field;
                }
                context.write(out + "\n");
            }
        });
    return ok ? 0 : 1;
}

} // namespace ovaline::shell

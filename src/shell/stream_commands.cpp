#include "shell/stream_commands.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "shell/commands.hpp"
#include "shell/escapes.hpp"
#include "shell/options.hpp"

namespace ovaline::shell {

namespace {

// The length of the UTF-8 sequence that starts at `text[at]`, or 1 for a byte that does
// not start a whole one.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 1;
    if (at + length > text.size()) {
        return 1;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((static_cast<unsigned char>(text[at + k]) & 0xC0) != 0x80) {
            return 1;
        }
    }
    return length;
}

// The texts of the operands, or of the standard input, in order.
std::vector<std::string> read_all(ShellContext& context, std::string_view command,
                                  std::span<const std::string> operands, bool& ok) {
    std::vector<std::string> texts;
    ok = read_inputs(context, command, operands,
                     [&](const std::string&, std::string_view text) { texts.emplace_back(text); });
    return texts;
}

// Backslash escapes of tr's sets and paste's delimiter list.
std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        if (c >= '0' && c <= '7') {
            int value = 0;
            std::size_t digits = 0;
            while (digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7') {
                value = value * 8 + (text[i++] - '0');
                ++digits;
            }
            --i;
            out.push_back(static_cast<char>(value));
            continue;
        }
        out.push_back(control_escape(c).value_or(c));
    }
    return out;
}

// A tr set spelled out byte by byte: escapes, ranges, [:class:] and [c*n] expanded.
// Classes are noted so that [:upper:] and [:lower:] can pair up.
struct TrSet {
    std::string bytes;
    std::vector<std::pair<std::size_t, std::string>> classes;
};

bool in_class(std::string_view name, unsigned char c) {
    if (name == "alpha")
        return std::isalpha(c) != 0;
    if (name == "digit")
        return std::isdigit(c) != 0;
    if (name == "alnum")
        return std::isalnum(c) != 0;
    if (name == "upper")
        return std::isupper(c) != 0;
    if (name == "lower")
        return std::islower(c) != 0;
    if (name == "space")
        return std::isspace(c) != 0;
    if (name == "blank")
        return c == ' ' || c == '\t';
    if (name == "punct")
        return std::ispunct(c) != 0;
    if (name == "print")
        return std::isprint(c) != 0;
    if (name == "graph")
        return std::isgraph(c) != 0;
    if (name == "cntrl")
        return std::iscntrl(c) != 0;
    if (name == "xdigit")
        return std::isxdigit(c) != 0;
    return false;
}

constexpr std::array<std::string_view, 12> kClasses = {"alpha", "digit", "alnum", "upper",
                                                       "lower", "space", "blank", "punct",
                                                       "print", "graph", "cntrl", "xdigit"};

std::expected<TrSet, std::string> parse_tr_set(std::string_view written, std::size_t fill_to) {
    TrSet set;
    // Escapes first, with the positions of a literal "[" and "-" kept apart from escaped ones.
    std::vector<std::pair<char, bool>> chars;
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '\\' && i + 1 < written.size()) {
            std::size_t end = i + 2;
            if (written[i + 1] >= '0' && written[i + 1] <= '7') {
                while (end < written.size() && end < i + 4 && written[end] >= '0' &&
                       written[end] <= '7') {
                    ++end;
                }
            }
            chars.emplace_back(unescape(written.substr(i, end - i))[0], true);
            i = end - 1;
        } else {
            chars.emplace_back(written[i], false);
        }
    }
    auto literal = [&](std::size_t at, char c) {
        return at < chars.size() && chars[at].first == c && !chars[at].second;
    };
    for (std::size_t i = 0; i < chars.size(); ++i) {
        if (literal(i, '[') && literal(i + 1, ':')) {
            std::string name;
            std::size_t j = i + 2;
            while (j < chars.size() && !literal(j, ':')) {
                name.push_back(chars[j++].first);
            }
            if (literal(j + 1, ']')) {
                if (std::ranges::find(kClasses, name) == kClasses.end()) {
                    return std::unexpected("invalid character class '" + name + "'");
                }
                set.classes.emplace_back(set.bytes.size(), name);
                for (int c = 0; c < 256; ++c) {
                    if (in_class(name, static_cast<unsigned char>(c))) {
                        set.bytes.push_back(static_cast<char>(c));
                    }
                }
                i = j + 1;
                continue;
            }
        }
        if (literal(i, '[') && i + 2 < chars.size() && literal(i + 2, '*')) {
            // [c*n] repeats c n times; [c*] fills SET2 to SET1's length.
            std::size_t j = i + 3;
            std::string digits;
            while (j < chars.size() && !literal(j, ']')) {
                digits.push_back(chars[j++].first);
            }
            if (j < chars.size()) {
                std::size_t count = 0;
                if (digits.empty()) {
                    count = fill_to > set.bytes.size() ? fill_to - set.bytes.size() : 0;
                } else {
                    const int base = digits[0] == '0' ? 8 : 10;
                    const auto [end, ec] =
                        std::from_chars(digits.data(), digits.data() + digits.size(), count, base);
                    if (ec != std::errc() || end != digits.data() + digits.size()) {
                        return std::unexpected("invalid repeat count '" + digits +
                                               "' in [c*n] construct");
                    }
                }
                set.bytes.append(count, chars[i + 1].first);
                i = j;
                continue;
            }
        }
        if (i + 2 < chars.size() && literal(i + 1, '-')) {
            const auto low = static_cast<unsigned char>(chars[i].first);
            const auto high = static_cast<unsigned char>(chars[i + 2].first);
            if (low > high) {
                return std::unexpected(std::string("range-endpoints of '") + chars[i].first + "-" +
                                       chars[i + 2].first +
                                       "' are in reverse collating sequence order");
            }
            for (int c = low; c <= high; ++c) {
                set.bytes.push_back(static_cast<char>(c));
            }
            i += 2;
            continue;
        }
        set.bytes.push_back(chars[i].first);
    }
    return set;
}

// A number as seq reads it, with the digits it shows after the point.
struct SeqNumber {
    long double value = 0;
    int precision = 0;
    bool integral = true;
};

std::optional<SeqNumber> parse_seq_number(std::string_view text) {
    SeqNumber number;
    std::string copy(text);
    char* end = nullptr;
    number.value = std::strtold(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size() || std::isnan(number.value)) {
        return std::nullopt;
    }
    const std::size_t point = text.find('.');
    if (point != std::string_view::npos) {
        number.integral = false;
        number.precision = static_cast<int>(text.size() - point - 1);
    }
    if (text.find_first_of("eE") != std::string_view::npos) {
        number.integral = false;
    }
    return number;
}

// A seq format with its one directive (%e %f %g %a, either case, with flags, width and
// precision) made to take a long double; "%%" stays.
std::expected<std::string, std::string> long_double_format(std::string_view format) {
    std::string out;
    bool seen = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        out.push_back(format[i]);
        if (format[i] != '%') {
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out.push_back(format[++i]);
            continue;
        }
        std::size_t j = i + 1;
        while (j < format.size() &&
               std::string_view("-+ #0'123456789.").find(format[j]) != std::string_view::npos) {
            ++j;
        }
        if (j == format.size()) {
            return std::unexpected("format '" + std::string(format) + "' ends in %");
        }
        if (std::string_view("eEfFgGaA").find(format[j]) == std::string_view::npos) {
            return std::unexpected("format '" + std::string(format) + "' has unknown %" +
                                   format[j] + " directive");
        }
        if (seen) {
            return std::unexpected("format '" + std::string(format) +
                                   "' has too many % directives");
        }
        seen = true;
        out.append(format.substr(i + 1, j - i - 1));
        out.push_back('L');
        out.push_back(format[j]);
        i = j;
    }
    if (!seen) {
        return std::unexpected("format '" + std::string(format) + "' has no % directive");
    }
    return out;
}

} // namespace

int cmd_tac(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "tac", words, "");
    if (!options) {
        return options.error();
    }
    const bool ok = read_inputs(
        context, "tac", options->operands, [&](const std::string&, std::string_view text) {
            // Each line keeps its own newline, so a last line without one runs into the
            // line before it.
            std::vector<std::string_view> records;
            for (std::size_t start = 0; start < text.size();) {
                const std::size_t newline = text.find('\n', start);
                const std::size_t end =
                    newline == std::string_view::npos ? text.size() : newline + 1;
                records.push_back(text.substr(start, end - start));
                start = end;
            }
            for (auto it = records.rbegin(); it != records.rend(); ++it) {
                context.write(*it);
            }
        });
    return ok ? 0 : 1;
}

int cmd_rev(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "rev", words, "");
    if (!options) {
        return options.error();
    }
    const bool ok = read_inputs(
        context, "rev", options->operands, [&](const std::string&, std::string_view text) {
            std::size_t start = 0;
            while (start < text.size()) {
                std::size_t end = text.find('\n', start);
                const bool newline = end != std::string_view::npos;
                if (!newline) {
                    end = text.size();
                }
                std::vector<std::string_view> characters;
                for (std::size_t at = start; at < end;) {
                    const std::size_t length = utf8_length(text, at);
                    characters.push_back(text.substr(at, length));
                    at += length;
                }
                std::string line;
                for (auto it = characters.rbegin(); it != characters.rend(); ++it) {
                    line += *it;
                }
                if (newline) {
                    line.push_back('\n');
                }
                context.write(line);
                start = end + 1;
            }
        });
    return ok ? 0 : 1;
}

int cmd_nl(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "nl", words, "b:n:w:s:v:i:");
    if (!options) {
        return options.error();
    }
    const std::string style = options->has('b') ? options->given['b'] : "t";
    if (style != "a" && style != "t" && style != "n") {
        context.error("nl", "invalid body numbering style: '" + style + "'");
        return 1;
    }
    auto number_option = [&](char option, long fallback) -> std::optional<long> {
        if (!options->has(option)) {
            return fallback;
        }
        const std::string& text = options->given[option];
        long value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) {
            return std::nullopt;
        }
        return value;
    };
    const auto width = number_option('w', 6);
    const auto start = number_option('v', 1);
    const auto step = number_option('i', 1);
    if (!width || *width < 1 || !start || !step) {
        context.error("nl", "invalid number");
        return 1;
    }
    const std::string separator = options->has('s') ? options->given['s'] : "\t";
    // Numbers right-aligned (rn), left-aligned (ln) or right-aligned with zeros (rz).
    const std::string layout = options->has('n') ? options->given['n'] : "rn";
    if (layout != "rn" && layout != "ln" && layout != "rz") {
        context.error("nl", "invalid line numbering format: '" + layout + "'");
        return 1;
    }
    long number = *start;
    bool ok = true;
    const auto texts = read_all(context, "nl", options->operands, ok);
    for (const auto& text : texts) {
        for (auto line : split_lines(text)) {
            std::string out;
            if (style == "a" || (style == "t" && !line.empty())) {
                const std::string digits = std::to_string(number);
                const std::string fill(
                    digits.size() < static_cast<std::size_t>(*width) ? *width - digits.size() : 0,
                    layout == "rz" ? '0' : ' ');
                out += layout == "ln" ? digits + fill : fill + digits;
                out += separator;
                number += *step;
            } else {
                out.append(static_cast<std::size_t>(*width) + separator.size(), ' ');
            }
            out.append(line);
            out.push_back('\n');
            if (!context.write(out)) {
                return 1;
            }
        }
    }
    return ok ? 0 : 1;
}

int cmd_paste(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "paste", words, "sd:");
    if (!options) {
        return options.error();
    }
    const std::string list = options->has('d') ? unescape(options->given['d']) : "\t";
    // "\0" in the list is no delimiter at all; an empty list is one of those.
    std::vector<std::string> delimiters;
    if (options->has('d') && options->given['d'].empty()) {
        delimiters.emplace_back();
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        delimiters.emplace_back(list[i] == '\0' ? std::string() : std::string(1, list[i]));
    }
    std::vector<std::string> operands = options->operands;
    if (operands.empty()) {
        operands.emplace_back("-");
    }
    // The standard input named several times is shared out line by line.
    std::vector<std::vector<std::string_view>> columns;
    std::vector<std::string> texts;
    texts.reserve(operands.size());
    std::size_t stdin_reads = 0;
    std::vector<std::string_view> stdin_lines = split_lines(context.input);
    const std::size_t stdin_users = std::ranges::count(operands, std::string("-"));
    for (const auto& operand : operands) {
        if (operand == "-") {
            std::vector<std::string_view> lines;
            for (std::size_t i = stdin_reads; i < stdin_lines.size();
                 i += options->has('s') ? 1 : stdin_users) {
                lines.push_back(stdin_lines[i]);
            }
            if (options->has('s')) {
                stdin_lines.clear();
            }
            ++stdin_reads;
            columns.push_back(std::move(lines));
            continue;
        }
        const std::span<const std::string> one(&operand, 1);
        if (!read_inputs(context, "paste", one, [&](const std::string&, std::string_view text) {
                texts.emplace_back(text);
                columns.push_back(split_lines(texts.back()));
            })) {
            return 1;
        }
    }
    auto delimiter = [&](std::size_t i) { return delimiters[i % delimiters.size()]; };
    if (options->has('s')) {
        for (const auto& lines : columns) {
            std::string out;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                if (i > 0) {
                    out += delimiter(i - 1);
                }
                out.append(lines[i]);
            }
            if (!context.write(out + "\n")) {
                return 1;
            }
        }
        return 0;
    }
    std::size_t rows = 0;
    for (const auto& lines : columns) {
        rows = std::max(rows, lines.size());
    }
    for (std::size_t row = 0; row < rows; ++row) {
        std::string out;
        for (std::size_t column = 0; column < columns.size(); ++column) {
            if (column > 0) {
                out += delimiter(column - 1);
            }
            if (row < columns[column].size()) {
                out.append(columns[column][row]);
            }
        }
        if (!context.write(out + "\n")) {
            return 1;
        }
    }
    return 0;
}

int cmd_comm(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "comm", words, "123");
    if (!options) {
        return options.error();
    }
    if (options->operands.size() != 2) {
        return usage_error(context, "comm",
                           options->operands.size() < 2
                               ? "missing operand" +
                                     std::string(options->operands.empty()
                                                     ? ""
                                                     : " after '" + options->operands[0] + "'")
                               : "extra operand '" + options->operands[2] + "'");
    }
    std::array<std::string, 2> texts;
    for (int i = 0; i < 2; ++i) {
        const std::span<const std::string> one(&options->operands[i], 1);
        if (!read_inputs(context, "comm", one,
                         [&](const std::string&, std::string_view text) { texts[i] = text; })) {
            return 1;
        }
    }
    const std::array<std::vector<std::string_view>, 2> lines = {split_lines(texts[0]),
                                                                split_lines(texts[1])};
    const std::array<bool, 3> shown = {!options->has('1'), !options->has('2'), !options->has('3')};
    // Each column is indented by a tab for every shown column before it.
    auto emit = [&](int column, std::string_view line) {
        if (!shown[column]) {
            return;
        }
        std::string out;
        for (int before = 0; before < column; ++before) {
            if (shown[before]) {
                out.push_back('\t');
            }
        }
        out.append(line);
        out.push_back('\n');
        context.write(out);
    };
    std::array<std::size_t, 2> at = {0, 0};
    std::array<bool, 2> unsorted = {false, false};
    // An input out of order is reported once, and makes the status 1 at the end.
    auto advance = [&](int side) {
        const auto& own = lines[side];
        if (!unsorted[side] && at[side] + 1 < own.size() && own[at[side] + 1] < own[at[side]]) {
            unsorted[side] = true;
            context.error("comm", "file " + std::to_string(side + 1) + " is not in sorted order");
        }
        ++at[side];
    };
    while (at[0] < lines[0].size() || at[1] < lines[1].size()) {
        int order = 0;
        if (at[0] == lines[0].size()) {
            order = 1;
        } else if (at[1] == lines[1].size()) {
            order = -1;
        } else {
            const int compared = lines[0][at[0]].compare(lines[1][at[1]]);
            order = compared < 0 ? -1 : (compared > 0 ? 1 : 0);
        }
        if (order < 0) {
            emit(0, lines[0][at[0]]);
            advance(0);
        } else if (order > 0) {
            emit(1, lines[1][at[1]]);
            advance(1);
        } else {
            emit(2, lines[0][at[0]]);
            advance(0);
            advance(1);
        }
    }
    if (unsorted[0] || unsorted[1]) {
        context.error("comm", "input is not in sorted order");
        return 1;
    }
    return 0;
}

int cmd_tr(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "tr", words, "cCdst");
    if (!options) {
        return options.error();
    }
    const bool remove = options->has('d');
    const bool squeeze = options->has('s');
    const bool complement = options->has('c') || options->has('C');
    const auto& operands = options->operands;
    const std::size_t wanted = (remove && squeeze) || (!remove && !squeeze) ? 2 : 1;
    if (operands.size() < wanted || operands.empty()) {
        return usage_error(context, "tr",
                           operands.empty() ? "missing operand"
                                            : "missing operand after '" + operands.back() + "'");
    }
    if (operands.size() > 2 || (remove && !squeeze && operands.size() > 1)) {
        return usage_error(context, "tr", "extra operand '" + operands[wanted] + "'");
    }
    auto first = parse_tr_set(operands[0], 0);
    if (!first) {
        context.error("tr", first.error());
        return 1;
    }
    std::array<bool, 256> in_first{};
    for (char c : first->bytes) {
        in_first[static_cast<unsigned char>(c)] = true;
    }
    if (complement) {
        std::string bytes;
        for (int c = 0; c < 256; ++c) {
            if (!in_first[c]) {
                bytes.push_back(static_cast<char>(c));
            }
            in_first[c] = !in_first[c];
        }
        first->bytes = bytes;
        first->classes.clear();
    }
    std::array<int, 256> map{};
    for (int c = 0; c < 256; ++c) {
        map[c] = c;
    }
    std::array<bool, 256> squeezed{};
    if (operands.size() == 2) {
        auto second = parse_tr_set(operands[1], first->bytes.size());
        if (!second) {
            context.error("tr", second.error());
            return 1;
        }
        if (!remove) {
            if (second->bytes.empty()) {
                context.error("tr", "when not truncating set1, string2 must be non-empty");
                return 1;
            }
            // [:upper:] against [:lower:] (or the other way) pairs letters by case.
            for (const auto& [at, name] : second->classes) {
                if (name == "upper" || name == "lower") {
                    const bool paired = std::ranges::any_of(first->classes, [&](const auto& c) {
                        return c.first == at && (c.second == "upper" || c.second == "lower");
                    });
                    if (!paired) {
                        context.error("tr", "misaligned [:upper:] and/or [:lower:] construct");
                        return 1;
                    }
                }
            }
            std::string& target = second->bytes;
            // -t cuts SET1 down to SET2's length instead of stretching SET2.
            if (options->has('t') && first->bytes.size() > target.size()) {
                for (std::size_t i = target.size(); i < first->bytes.size(); ++i) {
                    in_first[static_cast<unsigned char>(first->bytes[i])] = false;
                }
                first->bytes.resize(target.size());
            }
            if (target.size() < first->bytes.size()) {
                target.append(first->bytes.size() - target.size(), target.back());
            }
            for (std::size_t i = 0; i < first->bytes.size(); ++i) {
                map[static_cast<unsigned char>(first->bytes[i])] =
                    static_cast<unsigned char>(target[i]);
            }
        }
        if (squeeze) {
            for (char c : second->bytes) {
                squeezed[static_cast<unsigned char>(c)] = true;
            }
        }
    } else if (squeeze) {
        squeezed = in_first;
    }
    std::string out;
    out.reserve(context.input.size());
    int last = -1;
    for (char c : context.input) {
        const auto byte = static_cast<unsigned char>(c);
        if (remove && in_first[byte]) {
            continue;
        }
        const int mapped = map[byte];
        if (squeeze && squeezed[mapped] && mapped == last) {
            continue;
        }
        last = mapped;
        out.push_back(static_cast<char>(mapped));
    }
    context.write(out);
    return 0;
}

int cmd_seq(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "seq", words)) {
        return 0;
    }
    // Negative numbers are operands, not options.
    std::vector<std::string> operands;
    std::string separator = "\n";
    std::optional<std::string> user_format;
    bool equal_width = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        const bool number =
            word.size() > 1 && word[0] == '-' &&
            (std::isdigit(static_cast<unsigned char>(word[1])) != 0 || word[1] == '.');
        if (number || word.size() < 2 || word[0] != '-' || !operands.empty()) {
            operands.push_back(word);
        } else if (word == "-w") {
            equal_width = true;
        } else if (word.starts_with("-s") || word.starts_with("-f")) {
            std::string value;
            if (word.size() > 2) {
                value = word.substr(2);
            } else if (i + 1 < words.size()) {
                value = words[++i];
            } else {
                return usage_error(context, "seq",
                                   "option requires an argument -- '" + word.substr(1, 1) + "'");
            }
            (word[1] == 's' ? separator : user_format.emplace()) = value;
        } else if (word == "--") {
            operands.insert(operands.end(), words.begin() + i + 1, words.end());
            break;
        } else {
            return usage_error(context, "seq", "invalid option -- '" + word.substr(1, 1) + "'");
        }
    }
    if (operands.empty() || operands.size() > 3) {
        return usage_error(context, "seq",
                           operands.empty() ? "missing operand"
                                            : "extra operand '" + operands[3] + "'");
    }
    std::vector<SeqNumber> numbers;
    for (const auto& operand : operands) {
        auto number = parse_seq_number(operand);
        if (!number) {
            return usage_error(context, "seq",
                               "invalid floating point argument: '" + operand + "'");
        }
        numbers.push_back(*number);
    }
    const SeqNumber first = numbers.size() > 1 ? numbers[0] : SeqNumber{1, 0, true};
    const SeqNumber step = numbers.size() == 3 ? numbers[1] : SeqNumber{1, 0, true};
    const SeqNumber last = numbers.back();
    if (step.value == 0) {
        return usage_error(context, "seq", "invalid Zero increment value: '" + operands[1] + "'");
    }
    // -f takes one floating-point directive, given a long double here.
    std::string directive;
    if (user_format) {
        if (equal_width) {
            return usage_error(context, "seq",
                               "format string may not be specified when printing equal width "
                               "strings");
        }
        auto checked = long_double_format(*user_format);
        if (!checked) {
            context.error("seq", checked.error());
            return 1;
        }
        directive = *checked;
    }
    // Shown with as many decimals as the first number or the step has.
    const int precision = std::max(first.precision, step.precision);
    auto format = [&](long double value) {
        std::array<char, 256> buffer{};
        if (user_format) {
            std::snprintf(buffer.data(), buffer.size(), directive.c_str(), value);
        } else if (first.integral && step.integral && last.integral) {
            std::snprintf(buffer.data(), buffer.size(), "%.0Lf", value);
        } else if (precision > 0 || (first.integral && step.integral)) {
            std::snprintf(buffer.data(), buffer.size(), "%.*Lf", precision, value);
        } else {
            std::snprintf(buffer.data(), buffer.size(), "%Lg", value);
        }
        std::string text(buffer.data());
        return text == "-0" ? std::string("0") : text;
    };
    std::size_t width = 0;
    if (equal_width) {
        width = std::max(format(first.value).size(), format(last.value).size());
    }
    const std::string last_text = format(last.value);
    std::string out;
    for (long long i = 0;; ++i) {
        const long double value = first.value + static_cast<long double>(i) * step.value;
        std::string text = format(value);
        const bool past = step.value > 0 ? value > last.value : value < last.value;
        // A value past the end by rounding alone still counts when it prints as the end.
        if (past && text != last_text) {
            break;
        }
        if (text.size() < width) {
            const bool negative = text[0] == '-';
            text.insert(negative ? 1 : 0, width - text.size(), '0');
        }
        if (i > 0) {
            out += separator;
        }
        out += text;
        if (!context.fits(out.size())) {
            return 1;
        }
        if (past) {
            break;
        }
    }
    if (!out.empty()) {
        context.write(out + "\n");
    }
    return 0;
}

} // namespace ovaline::shell

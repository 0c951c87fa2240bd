#include "shell/diff_command.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "shell/commands.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

// A line as diff compares it: its text, and whether a newline ended it (the last one
// of a file may lack it, and then differs from the same text with one).
struct DiffLine {
    std::string_view text;
    bool newline = true;
};

std::vector<DiffLine> diff_lines(std::string_view text) {
    std::vector<DiffLine> lines;
    for (auto line : split_lines(text)) {
        lines.push_back({line, true});
    }
    if (!text.empty() && text.back() != '\n') {
        lines.back().newline = false;
    }
    return lines;
}

// What -i, -b and -w leave of a line to compare.
std::string comparison_key(std::string_view line, bool ignore_case, bool ignore_space_change,
                           bool ignore_all_space) {
    std::string key;
    bool in_space = false;
    for (char c : line) {
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
        if (space && ignore_all_space) {
            continue;
        }
        if (space && ignore_space_change) {
            in_space = true;
            continue;
        }
        if (in_space) {
            key.push_back(' ');
            in_space = false;
        }
        key.push_back(ignore_case ? static_cast<char>(std::tolower(static_cast<unsigned char>(c)))
                                  : c);
    }
    return key;
}

// A run of changed lines: [a_start, a_end) of the first file replaced by
// [b_start, b_end) of the second.
struct Change {
    std::size_t a_start, a_end, b_start, b_end;
};

// A run of lines only deleted (or only inserted) among equal ones can stand at any of
// them: it moves down as far as it goes, then joins a change it reaches.
void slide_down(std::vector<Change>& changes, const std::vector<int>& a,
                const std::vector<int>& b) {
    for (std::size_t i = 0; i < changes.size(); ++i) {
        Change& change = changes[i];
        const std::size_t a_limit = i + 1 < changes.size() ? changes[i + 1].a_start : a.size();
        const std::size_t b_limit = i + 1 < changes.size() ? changes[i + 1].b_start : b.size();
        if (change.b_start == change.b_end) {
            while (change.a_end < a_limit && a[change.a_end] == a[change.a_start]) {
                ++change.a_start;
                ++change.a_end;
                ++change.b_start;
                ++change.b_end;
            }
        } else if (change.a_start == change.a_end) {
            while (change.b_end < b_limit && b[change.b_end] == b[change.b_start]) {
                ++change.a_start;
                ++change.a_end;
                ++change.b_start;
                ++change.b_end;
            }
        }
        if (i + 1 < changes.size() && change.a_end == changes[i + 1].a_start &&
            change.b_end == changes[i + 1].b_start) {
            changes[i + 1].a_start = change.a_start;
            changes[i + 1].b_start = change.b_start;
            changes.erase(changes.begin() + static_cast<std::ptrdiff_t>(i));
            --i;
        }
    }
}

// Past this many differences the shortest-script search gives up on a range: its time
// and memory grow with their square.
constexpr std::size_t kMaxEdits = 2000;

// Appends one change, joined to the last one when they touch.
void add_change(std::vector<Change>& changes, Change change) {
    if (change.a_start == change.a_end && change.b_start == change.b_end) {
        return;
    }
    if (!changes.empty() && changes.back().a_end == change.a_start &&
        changes.back().b_end == change.b_start) {
        changes.back().a_end = change.a_end;
        changes.back().b_end = change.b_end;
        return;
    }
    changes.push_back(change);
}

// The shortest edit script turning a[a_lo, a_hi) into b[b_lo, b_hi) (Myers' greedy
// search), appended to `changes`; false, with nothing appended, past kMaxEdits.
bool shortest_script(const std::vector<int>& a, std::size_t a_lo, std::size_t a_hi,
                     const std::vector<int>& b, std::size_t b_lo, std::size_t b_hi,
                     std::vector<Change>& changes) {
    const auto n = static_cast<long>(a_hi - a_lo);
    const auto m = static_cast<long>(b_hi - b_lo);
    auto at_a = [&](long i) { return a[a_lo + static_cast<std::size_t>(i)]; };
    auto at_b = [&](long j) { return b[b_lo + static_cast<std::size_t>(j)]; };
    // For each step d, the furthest x on each diagonal k = x - y, for k in [-d, d].
    std::vector<std::vector<long>> trace;
    long found = -1;
    for (long d = 0; d <= n + m && static_cast<std::size_t>(d) <= kMaxEdits; ++d) {
        std::vector<long> next(static_cast<std::size_t>(2 * d + 1), 0);
        for (long k = -d; k <= d; k += 2) {
            auto previous = [&](long diagonal) {
                return trace.back()[static_cast<std::size_t>(diagonal + d - 1)];
            };
            long x = 0;
            if (d > 0 && (k == -d || (k != d && previous(k - 1) < previous(k + 1)))) {
                x = previous(k + 1);
            } else if (d > 0) {
                x = previous(k - 1) + 1;
            }
            long y = x - k;
            while (x < n && y < m && at_a(x) == at_b(y)) {
                ++x;
                ++y;
            }
            next[static_cast<std::size_t>(k + d)] = x;
            if (x >= n && y >= m) {
                found = d;
                break;
            }
        }
        trace.push_back(std::move(next));
        if (found >= 0) {
            break;
        }
    }
    if (found < 0) {
        return false;
    }
    // Back from the end: each step is one deletion or insertion before a diagonal run.
    std::vector<Change> edits;
    long x = n;
    long y = m;
    for (long d = found; d > 0; --d) {
        const auto& before = trace[static_cast<std::size_t>(d - 1)];
        const long k = x - y;
        auto at = [&](long diagonal) { return before[static_cast<std::size_t>(diagonal + d - 1)]; };
        const bool down = k == -d || (k != d && at(k - 1) < at(k + 1));
        const long previous_k = down ? k + 1 : k - 1;
        const long previous_x = at(previous_k);
        const long previous_y = previous_x - previous_k;
        const std::size_t a_at = a_lo + static_cast<std::size_t>(previous_x);
        const std::size_t b_at = b_lo + static_cast<std::size_t>(previous_y);
        edits.push_back({a_at, a_at + (down ? 0 : 1), b_at, b_at + (down ? 1 : 0)});
        x = previous_x;
        y = previous_y;
    }
    for (auto it = edits.rbegin(); it != edits.rend(); ++it) {
        add_change(changes, *it);
    }
    return true;
}

// Pairs of lines that occur once in each range, as many as keep their order in both
// (a longest increasing run of their positions in b, in the order of a).
std::vector<std::pair<std::size_t, std::size_t>>
unique_anchors(const std::vector<int>& a, std::size_t a_lo, std::size_t a_hi,
               const std::vector<int>& b, std::size_t b_lo, std::size_t b_hi) {
    // For each line: its count and position in a, then in b.
    std::unordered_map<int, std::array<std::size_t, 4>> seen;
    for (std::size_t i = a_lo; i < a_hi; ++i) {
        auto& entry = seen[a[i]];
        ++entry[0];
        entry[1] = i;
    }
    for (std::size_t j = b_lo; j < b_hi; ++j) {
        auto& entry = seen[b[j]];
        ++entry[2];
        entry[3] = j;
    }
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (const auto& [line, entry] : seen) {
        if (entry[0] == 1 && entry[2] == 1) {
            pairs.emplace_back(entry[1], entry[3]);
        }
    }
    std::ranges::sort(pairs);
    // Patience: tails[k] is the pair ending the best run of length k + 1 found so far.
    std::vector<std::size_t> tails;
    std::vector<std::size_t> before(pairs.size(), SIZE_MAX);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto slot = std::ranges::lower_bound(tails, pairs[i].second, {},
                                                   [&](std::size_t t) { return pairs[t].second; });
        if (slot != tails.begin()) {
            before[i] = *(slot - 1);
        }
        if (slot == tails.end()) {
            tails.push_back(i);
        } else {
            *slot = i;
        }
    }
    std::vector<std::pair<std::size_t, std::size_t>> anchors;
    for (std::size_t i = tails.empty() ? SIZE_MAX : tails.back(); i != SIZE_MAX; i = before[i]) {
        anchors.push_back(pairs[i]);
    }
    std::ranges::reverse(anchors);
    return anchors;
}

// The changes turning a[a_lo, a_hi) into b[b_lo, b_hi), appended in order. Equal lines
// at both ends match first; a range too different for the shortest script is cut at
// lines unique to both sides, and what cannot be cut is one change.
void compare_range(const std::vector<int>& a, std::size_t a_lo, std::size_t a_hi,
                   const std::vector<int>& b, std::size_t b_lo, std::size_t b_hi,
                   std::vector<Change>& changes) {
    while (a_lo < a_hi && b_lo < b_hi && a[a_lo] == b[b_lo]) {
        ++a_lo;
        ++b_lo;
    }
    while (a_lo < a_hi && b_lo < b_hi && a[a_hi - 1] == b[b_hi - 1]) {
        --a_hi;
        --b_hi;
    }
    if (shortest_script(a, a_lo, a_hi, b, b_lo, b_hi, changes)) {
        return;
    }
    const auto anchors = unique_anchors(a, a_lo, a_hi, b, b_lo, b_hi);
    if (anchors.empty()) {
        add_change(changes, {a_lo, a_hi, b_lo, b_hi});
        return;
    }
    for (const auto& [i, j] : anchors) {
        compare_range(a, a_lo, i, b, b_lo, j, changes);
        a_lo = i + 1;
        b_lo = j + 1;
    }
    compare_range(a, a_lo, a_hi, b, b_lo, b_hi, changes);
}

std::vector<Change> compare(const std::vector<int>& a, const std::vector<int>& b) {
    std::vector<Change> changes;
    compare_range(a, 0, a.size(), b, 0, b.size(), changes);
    slide_down(changes, a, b);
    return changes;
}

class Printer {
  public:
    Printer(ShellContext& context, const std::vector<DiffLine>& a, const std::vector<DiffLine>& b)
        : context_(context), a_(a), b_(b) {}

    void line(char mark, const DiffLine& line, std::string_view lead = "") {
        std::string out(lead);
        out.push_back(mark);
        out.append(line.text);
        out.push_back('\n');
        if (!line.newline) {
            out += "\\ No newline at end of file\n";
        }
        context_.write(out);
    }

    void unified(const std::vector<Change>& changes, std::size_t context_lines) {
        std::size_t i = 0;
        while (i < changes.size()) {
            // Changes closer than twice the context share a hunk.
            std::size_t j = i;
            while (j + 1 < changes.size() &&
                   changes[j + 1].a_start - changes[j].a_end <= 2 * context_lines) {
                ++j;
            }
            const std::size_t a_from =
                changes[i].a_start - std::min(changes[i].a_start, context_lines);
            const std::size_t a_to = std::min(a_.size(), changes[j].a_end + context_lines);
            const std::size_t b_from = changes[i].b_start - (changes[i].a_start - a_from);
            const std::size_t b_to = changes[j].b_end + (a_to - changes[j].a_end);
            auto header = [](std::size_t from, std::size_t to) {
                const std::size_t count = to - from;
                if (count == 1) {
                    return std::to_string(from + 1);
                }
                return std::to_string(count == 0 ? from : from + 1) + "," + std::to_string(count);
            };
            context_.write("@@ -" + header(a_from, a_to) + " +" + header(b_from, b_to) + " @@\n");
            std::size_t a_at = a_from;
            for (std::size_t c = i; c <= j; ++c) {
                for (; a_at < changes[c].a_start; ++a_at) {
                    line(' ', a_[a_at]);
                }
                for (std::size_t k = changes[c].a_start; k < changes[c].a_end; ++k) {
                    line('-', a_[k]);
                }
                for (std::size_t k = changes[c].b_start; k < changes[c].b_end; ++k) {
                    line('+', b_[k]);
                }
                a_at = changes[c].a_end;
            }
            for (; a_at < a_to; ++a_at) {
                line(' ', a_[a_at]);
            }
            i = j + 1;
        }
    }

    void normal(const std::vector<Change>& changes) {
        for (const Change& change : changes) {
            const std::size_t a_count = change.a_end - change.a_start;
            const std::size_t b_count = change.b_end - change.b_start;
            const char kind = a_count == 0 ? 'a' : (b_count == 0 ? 'd' : 'c');
            auto span = [](std::size_t start, std::size_t count) {
                if (count == 0) {
                    return std::to_string(start);
                }
                if (count == 1) {
                    return std::to_string(start + 1);
                }
                return std::to_string(start + 1) + "," + std::to_string(start + count);
            };
            context_.write(span(change.a_start, a_count) + kind + span(change.b_start, b_count) +
                           "\n");
            for (std::size_t k = change.a_start; k < change.a_end; ++k) {
                line(' ', a_[k], "<");
            }
            if (kind == 'c') {
                context_.write("---\n");
            }
            for (std::size_t k = change.b_start; k < change.b_end; ++k) {
                line(' ', b_[k], ">");
            }
        }
    }

  private:
    ShellContext& context_;
    const std::vector<DiffLine>& a_;
    const std::vector<DiffLine>& b_;
};

} // namespace

int cmd_diff(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "diff", words, "uU:qsibwN", 2);
    if (!options) {
        return options.error();
    }
    const auto& operands = options->operands;
    if (operands.size() != 2) {
        return usage_error(context, "diff",
                           operands.size() < 2
                               ? "missing operand after '" +
                                     (operands.empty() ? std::string("diff") : operands.back()) +
                                     "'"
                               : "extra operand '" + operands[2] + "'",
                           2);
    }
    std::size_t context_lines = 3;
    if (options->has('U')) {
        const std::string& text = options->given['U'];
        const auto [end, ec] =
            std::from_chars(text.data(), text.data() + text.size(), context_lines);
        if (ec != std::errc() || end != text.data() + text.size()) {
            return usage_error(context, "diff", "invalid context length '" + text + "'", 2);
        }
    }
    const bool unified = options->has('u') || options->has('U');
    std::array<std::string, 2> texts;
    for (std::size_t i = 0; i < 2; ++i) {
        if (operands[i] == "-") {
            texts[i] = context.input;
            continue;
        }
        auto text = read_file(context.terminal, operands[i]);
        if (!text) {
            // -N reads a missing file as an empty one.
            if (options->has('N') && text.error() == "No such file or directory") {
                continue;
            }
            context.error("diff", operands[i] + ": " + text.error());
            return 2;
        }
        texts[i] = std::move(*text);
    }
    const std::vector<DiffLine> a = diff_lines(texts[0]);
    const std::vector<DiffLine> b = diff_lines(texts[1]);
    // Lines become numbers, equal numbers for lines that compare equal.
    std::map<std::pair<std::string, bool>, int> ids;
    auto ids_of = [&](const std::vector<DiffLine>& lines) {
        std::vector<int> out;
        out.reserve(lines.size());
        for (const auto& line : lines) {
            auto key = std::make_pair(
                comparison_key(line.text, options->has('i'), options->has('b'), options->has('w')),
                line.newline);
            out.push_back(
                ids.try_emplace(std::move(key), static_cast<int>(ids.size())).first->second);
        }
        return out;
    };
    const std::vector<int> a_ids = ids_of(a);
    const std::vector<int> b_ids = ids_of(b);
    const std::vector<Change> changes = compare(a_ids, b_ids);
    if (changes.empty()) {
        if (options->has('s')) {
            context.write("Files " + operands[0] + " and " + operands[1] + " are identical\n");
        }
        return 0;
    }
    if (options->has('q')) {
        context.write("Files " + operands[0] + " and " + operands[1] + " differ\n");
        return 1;
    }
    if (texts[0].find('\0') != std::string::npos || texts[1].find('\0') != std::string::npos) {
        context.write("Binary files " + operands[0] + " and " + operands[1] + " differ\n");
        return 1;
    }
    Printer printer(context, a, b);
    if (unified) {
        // The tree keeps no modification times: the headers show the epoch.
        constexpr std::string_view kTime = "\t1970-01-01 00:00:00.000000000 +0000\n";
        context.write("--- " + operands[0] + std::string(kTime) + "+++ " + operands[1] +
                      std::string(kTime));
        printer.unified(changes, context_lines);
    } else {
        printer.normal(changes);
    }
    return 1;
}

} // namespace ovaline::shell

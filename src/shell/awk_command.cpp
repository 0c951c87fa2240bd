#include "shell/awk_command.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cwctype>
#include <list>
#include <locale.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "shell/awk_program.hpp"
#include "shell/commands.hpp"
#include "shell/paths.hpp"
#include "shell/regex.hpp"
#include "shell/utility_commands.hpp"
#include "terminal/word_split.hpp"

namespace ovaline::shell {

namespace {

using namespace awk;

// A number as print (with OFMT) or a conversion to a string (with CONVFMT) shows it.
std::string format_number(double number, const std::string& format) {
    if (std::isnan(number)) {
        return std::signbit(number) ? "-nan" : "+nan";
    }
    if (std::isinf(number)) {
        return number < 0 ? "-inf" : "+inf";
    }
    std::array<char, 512> buffer{};
    // Whole numbers print as integers whatever the format.
    if (number == std::trunc(number)) {
        std::snprintf(buffer.data(), buffer.size(), "%.0f", number == 0 ? 0.0 : number);
    } else {
        std::snprintf(buffer.data(), buffer.size(), format.c_str(), number);
    }
    return buffer.data();
}

// ---- Arrays and variables ----

// An associative array that keeps its keys in the order they came.
class Array {
  public:
    Value* find(const std::string& key) {
        const auto found = index_.find(key);
        return found == index_.end() ? nullptr : &found->second->second;
    }
    Value& at(const std::string& key) {
        if (Value* value = find(key)) {
            return *value;
        }
        entries_.emplace_back(key, Value{});
        index_[key] = std::prev(entries_.end());
        return entries_.back().second;
    }
    void erase(const std::string& key) {
        const auto found = index_.find(key);
        if (found != index_.end()) {
            entries_.erase(found->second);
            index_.erase(found);
        }
    }
    void clear() {
        entries_.clear();
        index_.clear();
    }
    std::size_t size() const { return entries_.size(); }
    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        out.reserve(entries_.size());
        for (const auto& entry : entries_) {
            out.push_back(entry.first);
        }
        return out;
    }

  private:
    std::list<std::pair<std::string, Value>> entries_;
    std::unordered_map<std::string, std::list<std::pair<std::string, Value>>::iterator> index_;
};

// A variable: a scalar, or an array once used as one.
struct Cell {
    Value value;
    std::shared_ptr<Array> array;
};

// ---- Running ----

// How a statement ended: normally, or by a jump the enclosing ones act on.
enum class Flow { Normal, Break, Continue, Next, NextFile, Exit, Return };

std::size_t utf8_length(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// The byte offset of character `index` (from 0), or the size past the end.
std::size_t utf8_offset(std::string_view text, std::size_t index) {
    std::size_t at = 0;
    while (at < text.size() && index > 0) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
            ++at;
        }
        --index;
    }
    return at;
}

std::string utf8_encode(std::uint32_t code) {
    std::string out;
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return out;
}

// Upper or lower case, character by character: ASCII directly, the rest by the C.UTF-8
// locale's tables when there are any; bytes that are no UTF-8 stay as they are.
std::string change_case(std::string_view text, bool upper) {
    static const locale_t utf8 =
        newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(upper ? std::toupper(lead) : std::tolower(lead)));
            ++i;
            continue;
        }
        const std::size_t length = utf8_offset(text.substr(i), 1);
        std::uint32_t code = 0;
        if (length >= 2 && length <= 4 && utf8 != nullptr) {
            code = lead & (0xFF >> (length + 1));
            for (std::size_t k = 1; k < length; ++k) {
                code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
            }
            const auto changed =
                static_cast<std::uint32_t>(upper ? towupper_l(static_cast<wint_t>(code), utf8)
                                                 : towlower_l(static_cast<wint_t>(code), utf8));
            out += utf8_encode(changed);
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

// A string padded and cut by characters, as printf's %s and %c count them.
std::string pad_text(std::string_view text, std::string_view directive) {
    const bool left = directive.find('-') != std::string_view::npos;
    std::size_t at = 1;
    while (at < directive.size() &&
           std::string_view("-+ #0").find(directive[at]) != std::string_view::npos) {
        ++at;
    }
    const std::size_t point = directive.find('.');
    const std::size_t width = std::strtoul(
        std::string(directive.substr(at, point == std::string_view::npos ? std::string_view::npos
                                                                         : point - at))
            .c_str(),
        nullptr, 10);
    if (point != std::string_view::npos) {
        const std::size_t precision =
            std::strtoul(std::string(directive.substr(point + 1)).c_str(), nullptr, 10);
        text = text.substr(0, utf8_offset(text, precision));
    }
    const std::size_t length = utf8_length(text);
    std::string padding(width > length ? width - length : 0, ' ');
    return left ? std::string(text) + padding : padding + std::string(text);
}

class Interpreter {
  public:
    Interpreter(ShellContext& context, Program& program) : context_(context), program_(program) {
        globals_.resize(program.globals.size());
        set(kFS, Value::of(std::string(" ")));
        set(kOFS, Value::of(std::string(" ")));
        set(kORS, Value::of(std::string("\n")));
        set(kRS, Value::of(std::string("\n")));
        set(kSUBSEP, Value::of(std::string("\x1c")));
        set(kCONVFMT, Value::of(std::string("%.6g")));
        set(kOFMT, Value::of(std::string("%.6g")));
        set(kNR, Value::of(0.0));
        set(kFNR, Value::of(0.0));
        set(kNF, Value::of(0.0));
        set(kRSTART, Value::of(0.0));
        set(kRLENGTH, Value::of(-1.0));
        auto& environ = array_of(globals_[kENVIRON]);
        for (const auto& [name, value] : context.variables) {
            environ.at(name) = Value::input(value);
        }
    }

    std::size_t global_slot(const std::string& name) {
        const auto found = std::ranges::find(program_.globals, name);
        if (found == program_.globals.end()) {
            program_.globals.push_back(name);
            globals_.emplace_back();
            return globals_.size() - 1;
        }
        return static_cast<std::size_t>(found - program_.globals.begin());
    }

    // A NAME=VALUE assignment of -v or an operand; false when NAME is no name.
    bool assign_operand(std::string_view word) {
        const std::size_t eq = word.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            return false;
        }
        const std::string name(word.substr(0, eq));
        if (std::isalpha(static_cast<unsigned char>(name[0])) == 0 && name[0] != '_') {
            return false;
        }
        if (!std::ranges::all_of(name, [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
            })) {
            return false;
        }
        set(global_slot(name), Value::input(unescape(word.substr(eq + 1))));
        return true;
    }

    void set_arguments(const std::vector<std::string>& operands) {
        auto& argv = array_of(globals_[kARGV]);
        argv.at("0") = Value::of(std::string("awk"));
        for (std::size_t i = 0; i < operands.size(); ++i) {
            argv.at(std::to_string(i + 1)) = Value::input(operands[i]);
        }
        set(kARGC, Value::of(static_cast<double>(operands.size() + 1)));
    }

    // Runs BEGIN, the records of the inputs, then END; gives the exit status.
    int run() {
        bool exiting = run_items(Item::Kind::Begin) == Flow::Exit;
        const bool has_main = std::ranges::any_of(
            program_.items, [](const Item& item) { return item.kind != Item::Kind::Begin; });
        if (!exiting && has_main) {
            exiting = read_inputs();
        }
        if (!exiting || !exit_in_end_) {
            exit_in_end_ = true;
            run_items(Item::Kind::End);
        }
        flush_files();
        return status_;
    }

  private:
    // ---- Variables ----

    Value& scalar(Cell& cell) {
        if (cell.array) {
            throw AwkError("attempt to use array in a scalar context");
        }
        return cell.value;
    }
    Array& array_of(Cell& cell) {
        if (!cell.array) {
            if (cell.value.kind != Value::Kind::Unset) {
                throw AwkError("attempt to use scalar as array");
            }
            cell.array = std::make_shared<Array>();
        }
        return *cell.array;
    }
    Cell& cell(const Node& node) {
        if (node.op == Op::Local) {
            return frames_.back()[node.index];
        }
        return globals_[node.index];
    }
    void set(std::size_t slot, Value value) {
        globals_[slot].value = std::move(value);
        if (slot == kNF) {
            set_field_count(
                static_cast<std::size_t>(std::max(0.0, to_number(globals_[kNF].value))));
        }
    }
    const Value& special(std::size_t slot) const { return globals_[slot].value; }

    // ---- Conversions ----

    double to_number(const Value& value) const {
        switch (value.kind) {
        case Value::Kind::Number:
        case Value::Kind::StrNum:
            return value.number;
        case Value::Kind::String:
            return leading_number(value.text);
        case Value::Kind::Unset:
            return 0;
        }
        return 0;
    }
    std::string to_string(const Value& value, std::size_t format_slot = kCONVFMT) const {
        if (value.kind == Value::Kind::Number) {
            return format_number(value.number, to_string(special(format_slot)));
        }
        return value.text;
    }
    bool truth(const Value& value) const {
        switch (value.kind) {
        case Value::Kind::Number:
            return value.number != 0;
        case Value::Kind::StrNum:
            return value.number != 0;
        case Value::Kind::String:
            return !value.text.empty();
        case Value::Kind::Unset:
            return false;
        }
        return false;
    }

    // ---- Records and fields ----

    void set_record(std::string text) {
        record_ = std::move(text);
        split_record();
    }

    void split_record() {
        fields_.clear();
        split_text(record_, special(kFS), fields_, paragraph_mode());
        globals_[kNF].value = Value::of(static_cast<double>(fields_.size()));
    }

    bool paragraph_mode() const {
        return special(kRS).kind != Value::Kind::Number && to_string(special(kRS)).empty();
    }

    // Splits by a field separator the way FS works: " " is runs of blanks, one other
    // character is itself, anything longer a regex; empty splits into characters.
    void split_text(std::string_view text, const Value& separator, std::vector<std::string>& out,
                    bool newline_too = false) {
        const std::string fs = to_string(separator);
        if (fs == " ") {
            std::size_t i = 0;
            auto blank = [&](char c) { return c == ' ' || c == '\t' || c == '\n'; };
            while (true) {
                while (i < text.size() && blank(text[i])) {
                    ++i;
                }
                if (i == text.size()) {
                    return;
                }
                const std::size_t start = i;
                while (i < text.size() && !blank(text[i])) {
                    ++i;
                }
                out.emplace_back(text.substr(start, i - start));
            }
        }
        if (text.empty()) {
            return;
        }
        if (fs.empty()) {
            for (std::size_t i = 0; i < text.size();) {
                const std::size_t next = utf8_offset(text.substr(i), 1);
                out.emplace_back(text.substr(i, next));
                i += next;
            }
            return;
        }
        if (fs.size() == 1 && fs != "\\" && !newline_too) {
            std::size_t start = 0;
            while (true) {
                const std::size_t at = text.find(fs[0], start);
                out.emplace_back(
                    text.substr(start, at == std::string_view::npos ? at : at - start));
                if (at == std::string_view::npos) {
                    return;
                }
                start = at + 1;
            }
        }
        const Regex& regex =
            dynamic_regex(newline_too ? "(" + (fs.size() == 1 ? quote(fs) : fs) + ")|\n" : fs);
        std::size_t start = 0;
        MatchGroups groups;
        std::size_t from = 0;
        while (from <= text.size() && regex.search(text, from, groups)) {
            if (groups[0].second == groups[0].first) {
                from = groups[0].first + 1;
                continue;
            }
            out.emplace_back(text.substr(start, groups[0].first - start));
            start = from = groups[0].second;
        }
        out.emplace_back(text.substr(start));
    }

    static std::string quote(std::string_view text) {
        std::string out;
        for (char c : text) {
            if (std::string_view("\\^$.[]|()*+?{}/").find(c) != std::string_view::npos) {
                out.push_back('\\');
            }
            out.push_back(c);
        }
        return out;
    }

    void rebuild_record() {
        const std::string separator = to_string(special(kOFS));
        std::string out;
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            if (i > 0) {
                out += separator;
            }
            out += fields_[i];
        }
        record_ = std::move(out);
    }

    void set_field_count(std::size_t count) {
        fields_.resize(count);
        globals_[kNF].value = Value::of(static_cast<double>(count));
        rebuild_record();
    }

    Value field(double index) {
        if (index < 0) {
            throw AwkError("attempt to access field " +
                           std::to_string(static_cast<long long>(index)));
        }
        const auto at = static_cast<std::size_t>(index);
        if (at == 0) {
            return Value::input(record_);
        }
        return at <= fields_.size() ? Value::input(fields_[at - 1]) : Value{};
    }

    void set_field(double index, const Value& value) {
        if (index < 0) {
            throw AwkError("attempt to access field " +
                           std::to_string(static_cast<long long>(index)));
        }
        const auto at = static_cast<std::size_t>(index);
        if (at == 0) {
            set_record(to_string(value));
            return;
        }
        if (at > fields_.size()) {
            fields_.resize(at);
            globals_[kNF].value = Value::of(static_cast<double>(at));
        }
        fields_[at - 1] = to_string(value);
        rebuild_record();
    }

    // ---- Regexes ----

    const Regex& dynamic_regex(const std::string& pattern) {
        auto found = regex_cache_.find(pattern);
        if (found == regex_cache_.end()) {
            auto compiled = Regex::compile(pattern, Regex::Syntax::Awk);
            if (!compiled) {
                throw AwkError("regular expression /" + pattern + "/: " + compiled.error());
            }
            found = regex_cache_.emplace(pattern, std::move(*compiled)).first;
        }
        return found->second;
    }

    // The regex a match operand stands for: a literal, or a string read as one.
    const Regex& regex_of(const Node& node) {
        if (node.op == Op::Regex) {
            return program_.regexes[node.index];
        }
        return dynamic_regex(to_string(eval(node)));
    }

    // ---- Expressions ----

    std::string key(const Node& subscript) {
        std::string out;
        const std::string separator = to_string(special(kSUBSEP));
        for (std::size_t i = 0; i < subscript.kids.size(); ++i) {
            if (i > 0) {
                out += separator;
            }
            out += to_string(eval(*subscript.kids[i]));
        }
        return out;
    }

    // The storage of an lvalue other than a field.
    Value& place(const Node& node) {
        if (node.op == Op::Index) {
            Array& array = array_of(cell(*node.kids[0]));
            return array.at(key(*node.kids[1]));
        }
        return scalar(cell(node));
    }

    Value assign(const Node& target, Value value) {
        if (target.op == Op::Field) {
            const double index = to_number(eval(*target.kids[0]));
            set_field(index, value);
            return value;
        }
        if (target.op == Op::Global && target.index < kSpecials) {
            set(target.index, value);
            return value;
        }
        place(target) = value;
        return value;
    }

    Value current(const Node& target) {
        if (target.op == Op::Field) {
            return field(to_number(eval(*target.kids[0])));
        }
        return place(target);
    }

    double arithmetic(const std::string& op, double a, double b) {
        switch (op[0]) {
        case '+':
            return a + b;
        case '-':
            return a - b;
        case '*':
            return a * b;
        case '/':
            if (b == 0) {
                throw AwkError("division by zero");
            }
            return a / b;
        case '%':
            if (b == 0) {
                throw AwkError("division by zero in `%'");
            }
            return std::fmod(a, b);
        default:
            return std::pow(a, b);
        }
    }

    int compare(const Value& a, const Value& b) {
        if (a.numeric() && b.numeric()) {
            const double x = to_number(a);
            const double y = to_number(b);
            return x < y ? -1 : (x > y ? 1 : 0);
        }
        const int order = to_string(a).compare(to_string(b));
        return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }

    Value eval(const Node& node) {
        switch (node.op) {
        case Op::Number:
            return Value::of(node.number);
        case Op::String:
            return Value::of(node.text);
        case Op::Regex:
            return Value::of(program_.regexes[node.index].matches(record_) ? 1.0 : 0.0);
        case Op::Global:
        case Op::Local:
            return scalar(cell(node));
        case Op::Field:
            return field(to_number(eval(*node.kids[0])));
        case Op::Index:
            return place(node);
        case Op::Group:
            return eval(*node.kids[0]);
        case Op::Assign: {
            if (node.text == "=") {
                return assign(*node.kids[0], eval(*node.kids[1]));
            }
            const double right = to_number(eval(*node.kids[1]));
            const double left = to_number(current(*node.kids[0]));
            return assign(*node.kids[0],
                          Value::of(arithmetic(node.text.substr(0, 1), left, right)));
        }
        case Op::Conditional:
            return truth(eval(*node.kids[0])) ? eval(*node.kids[1]) : eval(*node.kids[2]);
        case Op::Or:
            return Value::of(truth(eval(*node.kids[0])) || truth(eval(*node.kids[1])) ? 1.0 : 0.0);
        case Op::And:
            return Value::of(truth(eval(*node.kids[0])) && truth(eval(*node.kids[1])) ? 1.0 : 0.0);
        case Op::In: {
            const std::string wanted =
                node.kids[0]->op == Op::Concat && node.kids[0]->text == "subsep"
                    ? key(*node.kids[0])
                    : to_string(eval(*node.kids[0]));
            return Value::of(array_of(cell(*node.kids[1])).find(wanted) != nullptr ? 1.0 : 0.0);
        }
        case Op::Match: {
            const std::string text = to_string(eval(*node.kids[0]));
            const bool matched = regex_of(*node.kids[1]).matches(text);
            return Value::of(matched != (node.text == "!~") ? 1.0 : 0.0);
        }
        case Op::Compare: {
            const Value a = eval(*node.kids[0]);
            const Value b = eval(*node.kids[1]);
            const int order = compare(a, b);
            const std::string& op = node.text;
            const bool result = op == "<"    ? order < 0
                                : op == "<=" ? order <= 0
                                : op == "==" ? order == 0
                                : op == "!=" ? order != 0
                                : op == ">=" ? order >= 0
                                             : order > 0;
            return Value::of(result ? 1.0 : 0.0);
        }
        case Op::Concat: {
            if (node.text == "subsep") {
                return Value::of(key(node));
            }
            std::string left = to_string(eval(*node.kids[0]));
            return Value::of(left + to_string(eval(*node.kids[1])));
        }
        case Op::Arith: {
            const double a = to_number(eval(*node.kids[0]));
            return Value::of(arithmetic(node.text, a, to_number(eval(*node.kids[1]))));
        }
        case Op::Negate:
            return Value::of(-to_number(eval(*node.kids[0])));
        case Op::Plus:
            return Value::of(to_number(eval(*node.kids[0])));
        case Op::Not:
            return Value::of(truth(eval(*node.kids[0])) ? 0.0 : 1.0);
        case Op::PreIncrement:
        case Op::PostIncrement: {
            const double before = to_number(current(*node.kids[0]));
            const double after = before + (node.text == "++" ? 1 : -1);
            assign(*node.kids[0], Value::of(after));
            return Value::of(node.op == Op::PreIncrement ? after : before);
        }
        case Op::Builtin:
            return builtin(node);
        case Op::Call:
            return call(node);
        case Op::Getline:
            return get_line(node);
        default:
            throw AwkError("not an expression");
        }
    }

    // ---- Functions ----

    Value call(const Node& node) {
        const Function& function = program_.functions[node.index];
        if (node.kids.size() > function.params) {
            throw AwkError("function `" + function.name +
                           "' called with more arguments than declared");
        }
        if (frames_.size() > 1000) {
            throw AwkError("function call nesting too deep");
        }
        std::vector<Cell> frame(function.params);
        // Unset names passed in may become arrays inside: those are handed back after.
        std::vector<std::pair<std::size_t, Cell*>> unset;
        for (std::size_t i = 0; i < node.kids.size(); ++i) {
            const Node& argument = *node.kids[i];
            // Arrays go by reference.
            if (argument.op == Op::Global || argument.op == Op::Local) {
                Cell& source = cell(argument);
                if (source.array) {
                    frame[i].array = source.array;
                    continue;
                }
                if (source.value.kind == Value::Kind::Unset) {
                    unset.emplace_back(i, &source);
                    continue;
                }
            }
            frame[i].value = eval(argument);
        }
        frames_.push_back(std::move(frame));
        return_value_ = Value{};
        const Flow flow = execute(*function.body);
        for (const auto& [i, source] : unset) {
            if (frames_.back()[i].array) {
                source->array = frames_.back()[i].array;
            }
        }
        frames_.pop_back();
        if (flow == Flow::Exit || flow == Flow::Next || flow == Flow::NextFile) {
            pending_ = flow;
        }
        Value result = std::move(return_value_);
        return_value_ = Value{};
        return result;
    }

    // ---- Built-ins ----

    Value builtin(const Node& node) {
        const std::string& name = node.text;
        const auto& args = node.kids;
        auto arg_count = [&](std::size_t low, std::size_t high) {
            if (args.size() < low || args.size() > high) {
                throw AwkError(name + ": called with " + std::to_string(args.size()) +
                               " arguments");
            }
        };
        auto number = [&](std::size_t i) { return to_number(eval(*args[i])); };
        auto text = [&](std::size_t i) { return to_string(eval(*args[i])); };
        if (name == "length") {
            arg_count(0, 1);
            if (args.empty()) {
                return Value::of(static_cast<double>(utf8_length(record_)));
            }
            if ((args[0]->op == Op::Global || args[0]->op == Op::Local) && cell(*args[0]).array) {
                return Value::of(static_cast<double>(cell(*args[0]).array->size()));
            }
            return Value::of(static_cast<double>(utf8_length(text(0))));
        }
        if (name == "substr") {
            arg_count(2, 3);
            const std::string whole = text(0);
            const double length = static_cast<double>(utf8_length(whole));
            // Positions truncate; one before 1 counts as 1, keeping the length.
            double start = std::trunc(number(1));
            double count = args.size() == 3 ? std::trunc(number(2)) : length;
            if (std::isnan(start) || std::isnan(count) || count <= 0) {
                return Value::of(std::string());
            }
            start = std::max(start, 1.0);
            if (start > length) {
                return Value::of(std::string());
            }
            count = std::min(count, length - start + 1);
            const std::size_t from = utf8_offset(whole, static_cast<std::size_t>(start - 1));
            const std::size_t to = from + utf8_offset(std::string_view(whole).substr(from),
                                                      static_cast<std::size_t>(count));
            return Value::of(whole.substr(from, to - from));
        }
        if (name == "index") {
            arg_count(2, 2);
            const std::string haystack = text(0);
            const std::size_t at = haystack.find(text(1));
            return Value::of(at == std::string::npos
                                 ? 0.0
                                 : static_cast<double>(
                                       utf8_length(std::string_view(haystack).substr(0, at)) + 1));
        }
        if (name == "split") {
            arg_count(2, 3);
            const std::string source = text(0);
            if (args[1]->op != Op::Global && args[1]->op != Op::Local) {
                throw AwkError("split: second argument is not an array");
            }
            Array& array = array_of(cell(*args[1]));
            std::vector<std::string> pieces;
            if (args.size() == 3 && args[2]->op == Op::Regex) {
                split_by_regex(source, program_.regexes[args[2]->index], pieces);
            } else {
                split_text(source, args.size() == 3 ? eval(*args[2]) : special(kFS), pieces);
            }
            array.clear();
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                array.at(std::to_string(i + 1)) = Value::input(pieces[i]);
            }
            return Value::of(static_cast<double>(pieces.size()));
        }
        if (name == "sub" || name == "gsub") {
            arg_count(2, 3);
            return Value::of(static_cast<double>(substitute(node, name == "gsub")));
        }
        if (name == "match") {
            arg_count(2, 2);
            const std::string subject = text(0);
            const Regex& regex = regex_of(*args[1]);
            MatchGroups groups;
            double start = 0;
            double length = -1;
            if (regex.search(subject, 0, groups)) {
                start = static_cast<double>(
                    utf8_length(std::string_view(subject).substr(0, groups[0].first)) + 1);
                length = static_cast<double>(utf8_length(std::string_view(subject).substr(
                    groups[0].first, groups[0].second - groups[0].first)));
            }
            globals_[kRSTART].value = Value::of(start);
            globals_[kRLENGTH].value = Value::of(length);
            return Value::of(start);
        }
        if (name == "sprintf") {
            if (args.empty()) {
                throw AwkError("sprintf: no format");
            }
            std::vector<Value> values;
            for (const auto& arg : args) {
                values.push_back(eval(*arg));
            }
            return Value::of(format(values));
        }
        if (name == "tolower" || name == "toupper") {
            arg_count(1, 1);
            return Value::of(change_case(text(0), name == "toupper"));
        }
        if (name == "int") {
            arg_count(1, 1);
            return Value::of(std::trunc(number(0)));
        }
        if (name == "sqrt" || name == "exp" || name == "log" || name == "sin" || name == "cos") {
            arg_count(1, 1);
            const double x = number(0);
            return Value::of(name == "sqrt"  ? std::sqrt(x)
                             : name == "exp" ? std::exp(x)
                             : name == "log" ? std::log(x)
                             : name == "sin" ? std::sin(x)
                                             : std::cos(x));
        }
        if (name == "atan2") {
            arg_count(2, 2);
            return Value::of(std::atan2(number(0), number(1)));
        }
        if (name == "rand") {
            arg_count(0, 0);
            random_ = random_ * 6364136223846793005ULL + 1442695040888963407ULL;
            return Value::of(static_cast<double>(random_ >> 11) / 9007199254740992.0);
        }
        if (name == "srand") {
            arg_count(0, 1);
            const double previous = seed_;
            seed_ = args.empty() ? 0 : number(0);
            random_ = static_cast<std::uint64_t>(seed_);
            return Value::of(previous);
        }
        if (name == "close") {
            arg_count(1, 1);
            const std::string path = text(0);
            readers_.erase(path);
            if (const auto found = pipes_.find(path); found != pipes_.end()) {
                const std::string input = std::move(found->second);
                pipes_.erase(found);
                return Value::of(static_cast<double>(run(path, input)));
            }
            const auto found = files_.find(path);
            if (found == files_.end()) {
                return Value::of(-1.0);
            }
            write_out(path, found->second);
            files_.erase(found);
            return Value::of(0.0);
        }
        if (name == "system") {
            arg_count(1, 1);
            return Value::of(static_cast<double>(run(text(0), "")));
        }
        if (name == "fflush") {
            return Value::of(0.0);
        }
        throw AwkError(name + " is not supported");
    }

    void split_by_regex(std::string_view text, const Regex& regex, std::vector<std::string>& out) {
        if (text.empty()) {
            return;
        }
        std::size_t start = 0;
        for_each_match(regex, text, [&](std::size_t from, std::size_t to, const MatchGroups&) {
            if (to > from) {
                out.emplace_back(text.substr(start, from - start));
                start = to;
            }
            return true;
        });
        out.emplace_back(text.substr(start));
    }

    std::size_t substitute(const Node& node, bool global) {
        const Regex& regex = regex_of(*node.kids[0]);
        const std::string replacement = to_string(eval(*node.kids[1]));
        const Node* target = node.kids.size() == 3 ? node.kids[2].get() : nullptr;
        if (target != nullptr && target->op != Op::Global && target->op != Op::Local &&
            target->op != Op::Field && target->op != Op::Index) {
            throw AwkError(node.text + ": third argument is not a changeable value");
        }
        const std::string subject = target == nullptr ? record_ : to_string(current(*target));
        std::string out;
        std::size_t copied = 0;
        std::size_t count = 0;
        for_each_match(regex, subject, [&](std::size_t from, std::size_t to, const MatchGroups&) {
            out.append(subject, copied, from - copied);
            // "&" is the match; "\&" a literal "&" and "\\" a backslash.
            for (std::size_t i = 0; i < replacement.size(); ++i) {
                const char c = replacement[i];
                if (c == '\\' && i + 1 < replacement.size() &&
                    (replacement[i + 1] == '&' || replacement[i + 1] == '\\')) {
                    out.push_back(replacement[++i]);
                } else if (c == '&') {
                    out.append(subject, from, to - from);
                } else {
                    out.push_back(c);
                }
            }
            copied = to;
            ++count;
            return global;
        });
        if (count == 0) {
            return 0;
        }
        out.append(subject, copied);
        if (target == nullptr) {
            set_record(std::move(out));
        } else {
            assign(*target, Value::of(std::move(out)));
        }
        return count;
    }

    // printf's format over its arguments (the format is values[0]).
    std::string format(const std::vector<Value>& values) {
        const std::string layout = to_string(values[0]);
        std::string out;
        std::size_t next = 1;
        auto take = [&]() -> Value {
            if (next >= values.size()) {
                throw AwkError("not enough arguments to satisfy format string");
            }
            return values[next++];
        };
        for (std::size_t i = 0; i < layout.size(); ++i) {
            if (layout[i] != '%') {
                out.push_back(layout[i]);
                continue;
            }
            if (i + 1 < layout.size() && layout[i + 1] == '%') {
                out.push_back('%');
                ++i;
                continue;
            }
            std::string directive = "%";
            std::size_t j = i + 1;
            while (j < layout.size() &&
                   std::string_view("-+ #0").find(layout[j]) != std::string_view::npos) {
                directive.push_back(layout[j++]);
            }
            auto digits = [&]() {
                if (j < layout.size() && layout[j] == '*') {
                    directive += std::to_string(static_cast<long long>(to_number(take())));
                    ++j;
                    return;
                }
                while (j < layout.size() &&
                       std::isdigit(static_cast<unsigned char>(layout[j])) != 0) {
                    directive.push_back(layout[j++]);
                }
            };
            digits();
            if (j < layout.size() && layout[j] == '.') {
                directive.push_back(layout[j++]);
                digits();
            }
            if (j >= layout.size()) {
                out += layout.substr(i);
                break;
            }
            const char conversion = layout[j];
            i = j;
            std::array<char, 1024> buffer{};
            switch (conversion) {
            case 'd':
            case 'i': {
                const double value = to_number(take());
                if (std::fabs(value) < 9.2e18) {
                    std::snprintf(buffer.data(), buffer.size(), (directive + "lld").c_str(),
                                  static_cast<long long>(value));
                } else {
                    std::snprintf(buffer.data(), buffer.size(), (directive + ".0f").c_str(), value);
                }
                break;
            }
            case 'o':
            case 'x':
            case 'X':
            case 'u': {
                const double value = to_number(take());
                std::snprintf(buffer.data(), buffer.size(), (directive + "ll" + conversion).c_str(),
                              static_cast<unsigned long long>(static_cast<long long>(value)));
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                std::snprintf(buffer.data(), buffer.size(), (directive + conversion).c_str(),
                              to_number(take()));
                break;
            case 'c': {
                const Value value = take();
                std::string character;
                if (value.kind == Value::Kind::Number) {
                    character = utf8_encode(static_cast<std::uint32_t>(value.number));
                } else {
                    const std::string whole = to_string(value);
                    character = whole.substr(0, utf8_offset(whole, 1));
                }
                out += pad_text(character, directive.substr(0, directive.find('.')));
                continue;
            }
            case 's':
                out += pad_text(to_string(take()), directive);
                continue;
            default:
                out += directive;
                out.push_back(conversion);
                continue;
            }
            out += buffer.data();
        }
        return out;
    }

    // ---- Statements ----

    Flow execute(const Node& node) {
        const Flow flow = execute_one(node);
        if (pending_ != Flow::Normal) {
            return pending_;
        }
        return flow;
    }

    Flow execute_one(const Node& node) {
        switch (node.op) {
        case Op::Block:
            for (const auto& kid : node.kids) {
                const Flow flow = execute(*kid);
                if (flow != Flow::Normal) {
                    return flow;
                }
            }
            return Flow::Normal;
        case Op::Expression:
            eval(*node.kids[0]);
            return Flow::Normal;
        case Op::Print:
        case Op::Printf:
            output(node);
            return Flow::Normal;
        case Op::If:
            if (truth(eval(*node.kids[0]))) {
                return execute(*node.kids[1]);
            }
            return node.kids.size() > 2 ? execute(*node.kids[2]) : Flow::Normal;
        case Op::While:
        case Op::Do:
        case Op::For: {
            const bool is_for = node.op == Op::For;
            const bool is_do = node.op == Op::Do;
            const Node& condition = *node.kids[is_for ? 1 : (is_do ? 1 : 0)];
            const Node& body = *node.kids[is_for ? 3 : 0 + (is_do ? 0 : 1)];
            if (is_for) {
                execute(*node.kids[0]);
            }
            bool first = true;
            while ((is_do && first) || truth(eval(condition))) {
                first = false;
                const Flow flow = execute(body);
                if (flow == Flow::Break) {
                    break;
                }
                if (flow != Flow::Normal && flow != Flow::Continue) {
                    return flow;
                }
                if (is_for) {
                    execute(*node.kids[2]);
                }
            }
            return Flow::Normal;
        }
        case Op::ForIn: {
            Array& array = array_of(cell(*node.kids[1]));
            // The keys as they were when the loop began; deleted ones are skipped.
            const std::shared_ptr<Array> keep = cell(*node.kids[1]).array;
            for (const auto& key : array.keys()) {
                if (keep->find(key) == nullptr) {
                    continue;
                }
                assign(*node.kids[0], Value::input(key));
                const Flow flow = execute(*node.kids[2]);
                if (flow == Flow::Break) {
                    break;
                }
                if (flow != Flow::Normal && flow != Flow::Continue) {
                    return flow;
                }
            }
            return Flow::Normal;
        }
        case Op::Next:
            if (in_begin_end_) {
                throw AwkError("`next' used in BEGIN or END action");
            }
            return Flow::Next;
        case Op::NextFile:
            return Flow::NextFile;
        case Op::Break:
            return Flow::Break;
        case Op::Continue:
            return Flow::Continue;
        case Op::Exit:
            if (!node.kids.empty()) {
                status_ = static_cast<int>(to_number(eval(*node.kids[0]))) & 0xFF;
            }
            pending_ = Flow::Exit;
            return Flow::Exit;
        case Op::Return:
            return_value_ = node.kids.empty() ? Value{} : eval(*node.kids[0]);
            return Flow::Return;
        case Op::Delete: {
            Array& array = array_of(cell(*node.kids[0]));
            if (node.kids.size() == 1) {
                array.clear();
            } else {
                array.erase(key(*node.kids[1]));
            }
            return Flow::Normal;
        }
        default:
            eval(node);
            return Flow::Normal;
        }
    }

    void output(const Node& node) {
        const std::size_t count = node.kids.size() - (node.redirect.empty() ? 0 : 1);
        std::string text;
        if (node.op == Op::Print) {
            if (count == 0) {
                text = record_;
            }
            const std::string separator = to_string(special(kOFS));
            for (std::size_t i = 0; i < count; ++i) {
                if (i > 0) {
                    text += separator;
                }
                text += to_string(eval(*node.kids[i]), kOFMT);
            }
            text += to_string(special(kORS));
        } else {
            std::vector<Value> values;
            for (std::size_t i = 0; i < count; ++i) {
                values.push_back(eval(*node.kids[i]));
            }
            text = format(values);
        }
        if (node.redirect.empty()) {
            write(text);
            return;
        }
        if (node.redirect == "|") {
            pipes_[to_string(eval(*node.kids.back()))] += text;
            return;
        }
        const std::string path = to_string(eval(*node.kids.back()));
        if (path == "/dev/stdout" || path == "-") {
            write(text);
        } else if (path == "/dev/stderr") {
            context_.err += text;
        } else {
            auto [entry, opened] = files_.try_emplace(path);
            if (opened && node.redirect == ">") {
                truncated_.push_back(path);
            }
            entry->second += text;
        }
    }

    void write(std::string_view text) {
        if (!context_.write(text)) {
            throw AwkError("output limit reached");
        }
    }

    // Files written by ">" start empty at their first write; ">>" adds to them.
    void write_out(const std::string& path, const std::string& text) {
        const bool fresh = std::ranges::find(truncated_, path) != truncated_.end();
        std::erase(truncated_, path);
        if (auto written = write_file(context_.terminal, path, text, !fresh); !written) {
            context_.error("awk", path + ": " + written.error());
            status_ = 2;
        }
    }

    void flush_files() {
        for (const auto& [path, text] : files_) {
            write_out(path, text);
        }
        files_.clear();
        for (const auto& [command, text] : pipes_) {
            run(command, text);
        }
        pipes_.clear();
    }

    // Runs a command line of one shell-mode command with its words quoted as in the
    // shell; its output goes to `out`, or to awk's own. Gives its exit status.
    int run(const std::string& line, std::string_view input, std::string* out = nullptr) {
        auto words = terminal::split_words(line);
        static constexpr std::array<std::string_view, 9> kOperators = {"|", "||", "&&", ";",   "&",
                                                                       ">", ">>", "<",  "2>&1"};
        if (!words || words->empty() || std::ranges::any_of(*words, [](const std::string& word) {
                return std::ranges::find(kOperators, word) != kOperators.end();
            })) {
            throw AwkError("cannot run `" + line + "': awk runs one command without operators");
        }
        if (out == nullptr) {
            return run_command(context_, context_.variables, *words, input);
        }
        ShellContext call(context_.terminal, "", context_.limit, context_.variables,
                          context_.registered);
        const int status = run_command(call, context_.variables, *words, input);
        *out = std::move(call.out);
        context_.err += call.err;
        return status;
    }

    // ---- The main loop ----

    Flow run_items(Item::Kind kind) {
        in_begin_end_ = true;
        for (const Item& item : program_.items) {
            if (item.kind != kind) {
                continue;
            }
            const Flow flow = execute(*item.action);
            if (flow == Flow::Exit) {
                pending_ = Flow::Normal;
                in_begin_end_ = false;
                return flow;
            }
        }
        in_begin_end_ = false;
        return Flow::Normal;
    }

    bool selected(Item& item) {
        if (!item.first) {
            return true;
        }
        if (!item.second) {
            return truth(eval(*item.first));
        }
        if (item.in_range) {
            item.in_range = !truth(eval(*item.second));
            return true;
        }
        if (truth(eval(*item.first))) {
            item.in_range = !truth(eval(*item.second));
            return true;
        }
        return false;
    }

    // Runs the main items over one record; the flow that ends it.
    Flow record(std::string text) {
        set_record(std::move(text));
        for (Item& item : program_.items) {
            if (item.kind != Item::Kind::Main) {
                continue;
            }
            const bool chosen = selected(item);
            if (pending_ != Flow::Normal) {
                const Flow flow = pending_;
                pending_ = Flow::Normal;
                return flow;
            }
            if (!chosen) {
                continue;
            }
            if (!item.action) {
                write(record_ + to_string(special(kORS)));
                continue;
            }
            const Flow flow = execute(*item.action);
            pending_ = Flow::Normal;
            if (flow == Flow::Next || flow == Flow::NextFile || flow == Flow::Exit) {
                return flow;
            }
        }
        return Flow::Normal;
    }

    // Splits an input into records by RS: a newline, another character, a regex, or
    // blank lines (RS empty).
    std::vector<std::string> records(std::string_view text) {
        std::vector<std::string> out;
        const std::string separator = to_string(special(kRS));
        if (separator.empty()) {
            std::size_t i = 0;
            while (i < text.size() && text[i] == '\n') {
                ++i;
            }
            while (i < text.size()) {
                std::size_t end = text.find("\n\n", i);
                if (end == std::string_view::npos) {
                    end = text.size();
                }
                std::string_view piece = text.substr(i, end - i);
                while (piece.ends_with('\n')) {
                    piece.remove_suffix(1);
                }
                out.emplace_back(piece);
                i = end;
                while (i < text.size() && text[i] == '\n') {
                    ++i;
                }
            }
            return out;
        }
        if (separator.size() == 1) {
            std::size_t start = 0;
            while (start < text.size()) {
                std::size_t end = text.find(separator[0], start);
                if (end == std::string_view::npos) {
                    end = text.size();
                }
                out.emplace_back(text.substr(start, end - start));
                start = end + 1;
            }
            return out;
        }
        std::vector<std::string> pieces;
        split_by_regex(text, dynamic_regex(separator), pieces);
        if (!pieces.empty() && pieces.back().empty()) {
            pieces.pop_back();
        }
        return pieces;
    }

    // The next record of the inputs, moving on through the operands (and carrying out
    // their assignments) as each runs out; false after the last. The standard input is
    // read when no operand names a file.
    bool next_record(std::string& out) {
        while (next_record_ >= records_.size()) {
            if (!open_next_input()) {
                return false;
            }
        }
        out = std::move(records_[next_record_++]);
        globals_[kNR].value = Value::of(to_number(special(kNR)) + 1);
        globals_[kFNR].value = Value::of(to_number(special(kFNR)) + 1);
        return true;
    }

    bool open_next_input() {
        Array& argv = array_of(globals_[kARGV]);
        const auto argc = static_cast<std::size_t>(to_number(special(kARGC)));
        while (next_operand_ < argc) {
            const Value* operand = argv.find(std::to_string(next_operand_++));
            const std::string name = operand == nullptr ? "" : to_string(*operand);
            if (name.empty() || assign_operand(name)) {
                continue;
            }
            std::string text;
            if (name == "-" || name == "/dev/stdin") {
                text = std::string(context_.input);
            } else {
                auto read = read_file(context_.terminal, name);
                if (!read) {
                    throw AwkError("cannot open file `" + name + "' for reading: " + read.error());
                }
                text = std::move(*read);
            }
            start_input(name, text);
            return true;
        }
        if (read_any_) {
            return false;
        }
        start_input("", context_.input);
        return true;
    }

    void start_input(const std::string& name, std::string_view text) {
        read_any_ = true;
        globals_[kFILENAME].value = Value::of(name);
        globals_[kFNR].value = Value::of(0.0);
        records_ = records(text);
        next_record_ = 0;
    }

    // The main items over every record; true when exit ended them.
    bool read_inputs() {
        std::string text;
        while (next_record(text)) {
            const Flow flow = record(std::move(text));
            if (flow == Flow::Exit) {
                return true;
            }
            if (flow == Flow::NextFile) {
                next_record_ = records_.size();
            }
        }
        return false;
    }

    // getline, getline VAR, and either from a file with "< FILE": 1 for a record, 0 at
    // the end, -1 for a file that cannot be read.
    Value get_line(const Node& node) {
        std::string text;
        if (!node.redirect.empty()) {
            const std::string path = to_string(eval(*node.kids.back()));
            auto found = readers_.find(path);
            if (found == readers_.end()) {
                std::expected<std::string, std::string> read = std::string(context_.input);
                if (node.redirect == "|") {
                    run(path, "", &*read);
                } else if (path != "-" && path != "/dev/stdin") {
                    read = read_file(context_.terminal, path);
                }
                if (!read) {
                    return Value::of(-1.0);
                }
                found =
                    readers_.emplace(path, std::make_pair(records(*read), std::size_t{0})).first;
            }
            auto& [lines, next] = found->second;
            if (next >= lines.size()) {
                return Value::of(0.0);
            }
            text = std::move(lines[next++]);
        } else if (!next_record(text)) {
            return Value::of(0.0);
        }
        if (node.text == "var") {
            assign(*node.kids[0], Value::input(std::move(text)));
        } else {
            set_record(std::move(text));
        }
        return Value::of(1.0);
    }

    ShellContext& context_;
    Program& program_;
    std::vector<Cell> globals_;
    std::vector<std::vector<Cell>> frames_;
    std::string record_;
    std::vector<std::string> fields_;
    std::map<std::string, Regex> regex_cache_;
    std::map<std::string, std::string> files_;
    // The inputs: the records of the current one, and the next ARGV entry to open.
    std::vector<std::string> records_;
    std::size_t next_record_ = 0;
    std::size_t next_operand_ = 1;
    bool read_any_ = false;
    // Text printed to commands, which run when closed or at the end.
    std::map<std::string, std::string> pipes_;
    // Files read by "getline < FILE" and commands by "command | getline": their records
    // and the next one.
    std::map<std::string, std::pair<std::vector<std::string>, std::size_t>> readers_;
    std::vector<std::string> truncated_;
    Value return_value_;
    Flow pending_ = Flow::Normal;
    bool in_begin_end_ = false;
    bool exit_in_end_ = false;
    int status_ = 0;
    std::uint64_t random_ = 0;
    double seed_ = 0;
};

} // namespace

int cmd_awk(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "awk", words)) {
        return 0;
    }
    std::vector<std::string> assignments;
    std::string separator;
    bool have_separator = false;
    std::string source;
    bool have_source = false;
    std::size_t i = 0;
    for (; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            break;
        }
        const char option = word[1];
        if (option != 'F' && option != 'v' && option != 'f') {
            return usage_error(context, "awk", "invalid option -- '" + word.substr(1, 1) + "'", 2);
        }
        std::string value;
        if (word.size() > 2) {
            value = word.substr(2);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        } else {
            return usage_error(context, "awk",
                               std::string("option requires an argument -- '") + option + "'", 2);
        }
        if (option == 'F') {
            separator = value;
            have_separator = true;
        } else if (option == 'v') {
            assignments.push_back(value);
        } else {
            auto text = read_file(context.terminal, value);
            if (!text) {
                context.error("awk", "can't open source file `" + value +
                                         "' for reading: " + text.error());
                return 2;
            }
            source += *text + "\n";
            have_source = true;
        }
    }
    if (!have_source) {
        if (i == words.size()) {
            return usage_error(context, "awk", "no program given", 2);
        }
        source = words[i++];
    }
    const std::vector<std::string> operands(words.begin() + static_cast<std::ptrdiff_t>(i),
                                            words.end());
    Program program;
    try {
        program = parse_program(source);
    } catch (const AwkError& error) {
        context.error("awk", error.what());
        return 1;
    }
    try {
        Interpreter interpreter(context, program);
        if (have_separator) {
            // "-F t" is a tab, as is "-F '\t'".
            interpreter.assign_operand("FS=" + (separator == "t" ? std::string("\t") : separator));
        }
        for (const auto& assignment : assignments) {
            if (!interpreter.assign_operand(assignment)) {
                context.error("awk",
                              "`" + assignment + "' argument to `-v' not in `var=value' form");
                return 2;
            }
        }
        interpreter.set_arguments(operands);
        return interpreter.run();
    } catch (const AwkError& error) {
        context.error("awk", error.what());
        return 2;
    }
}

} // namespace ovaline::shell

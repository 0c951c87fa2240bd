#include "shell/printf_command.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "shell/escapes.hpp"
#include "shell/syntax.hpp"

namespace ovaline::shell {

namespace {

int digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

// Reads up to `max` digits of `base` at `k`.
int read_number(std::string_view text, std::size_t& k, int base, int max) {
    int value = 0;
    for (int n = 0; n < max && k < text.size() && digit_value(text[k]) < base; ++n, ++k) {
        value = value * base + digit_value(text[k]);
    }
    return value;
}

// The text as a shell word that reads back as itself: backslashes before the
// characters a shell would take as syntax.
std::string shell_quoted(std::string_view text) {
    if (text.empty()) {
        return "''";
    }
    std::string out;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 &&
            std::string_view("_./-+,:=@%^").find(c) == std::string_view::npos &&
            static_cast<unsigned char>(c) < 0x80) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

class Formatter {
  public:
    Formatter(ShellContext& context, std::span<const std::string> args)
        : context_(context), args_(args) {}

    std::string run(std::string_view format) {
        do {
            const std::size_t before = next_;
            one_pass(format);
            if (stopped_ || next_ == before) {
                break;
            }
        } while (next_ < args_.size());
        return std::move(out_);
    }

    bool failed() const { return failed_; }

  private:
    std::string_view next_arg(bool& present) {
        present = next_ < args_.size();
        return present ? std::string_view(args_[next_++]) : std::string_view();
    }

    std::int64_t integer_arg() {
        bool present = false;
        const std::string_view arg = next_arg(present);
        if (arg.empty()) {
            return 0;
        }
        if (arg[0] == '\'' || arg[0] == '"') {
            return arg.size() > 1 ? static_cast<unsigned char>(arg[1]) : 0;
        }
        const std::string text(arg);
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (end == text.c_str() || *end != '\0' || errno != 0) {
            context_.error("printf", text + ": invalid number");
            failed_ = true;
        }
        return value;
    }

    double float_arg() {
        bool present = false;
        const std::string text(next_arg(present));
        if (text.empty()) {
            return 0;
        }
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0') {
            context_.error("printf", text + ": invalid number");
            failed_ = true;
        }
        return value;
    }

    void one_pass(std::string_view format) {
        for (std::size_t k = 0; k < format.size() && !stopped_;) {
            const char c = format[k];
            if (c == '\\') {
                const std::size_t start = k;
                ++k;
                if (k < format.size()) {
                    ++k;
                    // \NNN (octal, without a leading 0) and \xHH run on.
                    if (format[k - 1] == 'x') {
                        read_number(format, k, 16, 2);
                    } else if (format[k - 1] >= '0' && format[k - 1] <= '7') {
                        read_number(format, k, 8, format[k - 1] == '0' ? 3 : 2);
                    }
                }
                bool stop = false;
                out_ += expand_escapes(format.substr(start, k - start), stop);
                continue;
            }
            if (c != '%') {
                out_.push_back(c);
                ++k;
                continue;
            }
            if (k + 1 < format.size() && format[k + 1] == '%') {
                out_.push_back('%');
                k += 2;
                continue;
            }
            std::size_t j = k + 1;
            std::string directive = "%";
            while (j < format.size() &&
                   std::string_view("-+ #0").find(format[j]) != std::string_view::npos) {
                directive.push_back(format[j++]);
            }
            const auto width_or_precision = [&] {
                if (j < format.size() && format[j] == '*') {
                    ++j;
                    directive += std::to_string(integer_arg());
                    return;
                }
                while (j < format.size() &&
                       std::isdigit(static_cast<unsigned char>(format[j])) != 0) {
                    directive.push_back(format[j++]);
                }
            };
            width_or_precision();
            if (j < format.size() && format[j] == '.') {
                directive.push_back(format[j++]);
                width_or_precision();
            }
            while (j < format.size() &&
                   std::string_view("hlLqjzt").find(format[j]) != std::string_view::npos) {
                ++j;
            }
            if (j >= format.size()) {
                std::string message = "`";
                message.append(format.substr(k));
                message.append("': missing format character");
                context_.error("printf", message);
                failed_ = true;
                stopped_ = true;
                return;
            }
            convert(format[j], directive);
            k = j + 1;
        }
    }

    void convert(char conversion, std::string directive) {
        char buffer[512];
        bool present = false;
        switch (conversion) {
        case 's':
        case 'b':
        case 'q': {
            std::string text(next_arg(present));
            if (conversion == 'b') {
                bool stop = false;
                text = expand_escapes(text, stop);
                stopped_ = stop;
            } else if (conversion == 'q') {
                text = shell_quoted(text);
            }
            directive += 's';
            // Widths count bytes, as the C library does.
            const int n = std::snprintf(nullptr, 0, directive.c_str(), text.c_str());
            std::string formatted(static_cast<std::size_t>(std::max(n, 0)), '\0');
            std::snprintf(formatted.data(), formatted.size() + 1, directive.c_str(), text.c_str());
            out_ += formatted;
            return;
        }
        case 'c': {
            const std::string_view text = next_arg(present);
            const std::string one = text.empty() ? std::string() : std::string(1, text[0]);
            directive += 's';
            std::snprintf(buffer, sizeof buffer, directive.c_str(), one.c_str());
            out_ += buffer;
            return;
        }
        case 'd':
        case 'i':
            directive += "lld";
            std::snprintf(buffer, sizeof buffer, directive.c_str(),
                          static_cast<long long>(integer_arg()));
            out_ += buffer;
            return;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            directive += "ll";
            directive.push_back(conversion);
            std::snprintf(buffer, sizeof buffer, directive.c_str(),
                          static_cast<unsigned long long>(integer_arg()));
            out_ += buffer;
            return;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            directive.push_back(conversion);
            std::snprintf(buffer, sizeof buffer, directive.c_str(), float_arg());
            out_ += buffer;
            return;
        default:
            context_.error("printf", std::string("%") + conversion + ": invalid format character");
            failed_ = true;
            stopped_ = true;
        }
    }

    ShellContext& context_;
    std::span<const std::string> args_;
    std::size_t next_ = 0;
    std::string out_;
    bool stopped_ = false;
    bool failed_ = false;
};

} // namespace

std::string expand_escapes(std::string_view text, bool& stopped) {
    std::string out;
    stopped = false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] != '\\' || k + 1 == text.size()) {
            out.push_back(text[k]);
            continue;
        }
        const char e = text[++k];
        if (const auto control = control_escape(e)) {
            out.push_back(*control);
        } else {
            switch (e) {
            case 'e':
            case 'E':
                out.push_back('\x1b');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case 'c':
                stopped = true;
                return out;
            case 'x': {
                std::size_t j = k + 1;
                const int value = read_number(text, j, 16, 2);
                if (j == k + 1) {
                    out += "\\x";
                } else {
                    out.push_back(static_cast<char>(value));
                }
                k = j - 1;
                break;
            }
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7': {
                // \0NNN, and \NNN without the zero.
                std::size_t j = e == '0' ? k + 1 : k;
                const int value = read_number(text, j, 8, 3);
                out.push_back(static_cast<char>(value));
                k = j - 1;
                break;
            }
            default:
                out.push_back('\\');
                out.push_back(e);
            }
        }
    }
    return out;
}

int cmd_printf(ShellContext& context, std::span<const std::string> words) {
    std::string variable;
    if (!words.empty() && words[0] == "-v") {
        if (words.size() < 2 || !is_name(words[1])) {
            context.error("printf", words.size() < 2
                                        ? "-v: option requires an argument"
                                        : "`" + words[1] + "': not a valid identifier");
            return 2;
        }
        variable = words[1];
        words = words.subspan(2);
    }
    if (!words.empty() && words[0] == "--") {
        words = words.subspan(1);
    }
    if (words.empty()) {
        context.error("printf", "usage: printf [-v var] format [arguments]");
        return 2;
    }
    Formatter formatter(context, words.subspan(1));
    std::string text = formatter.run(words[0]);
    if (!variable.empty()) {
        context.variables[variable] = std::move(text);
    } else {
        context.write(text);
    }
    return formatter.failed() ? 1 : 0;
}

} // namespace ovaline::shell

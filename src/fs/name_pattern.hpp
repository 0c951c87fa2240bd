#pragma once

#include <string_view>

namespace ovaline::fs {

// Whether `name` matches `pattern`: `*` any run, `?` one code point, `[...]` a set with
// ranges, `[!...]`/`[^...]` its complement; with `escapes`, a backslash makes the next
// character literal. Leading dots are the caller's rule.
bool name_matches(std::string_view pattern, std::string_view name, bool escapes = false);

// Whether the pattern holds an unescaped `*`, `?` or `[` that opens a set.
bool has_wildcards(std::string_view pattern, bool escapes = false);

} // namespace ovaline::fs

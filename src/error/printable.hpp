#pragma once

namespace ovaline {

// Whether a code point may be shown as itself in a quoted name: false for controls,
// format characters, line and paragraph separators, surrogates and code points that
// Unicode leaves unassigned, which are shown by number instead.
bool is_printable(char32_t code_point);

} // namespace ovaline

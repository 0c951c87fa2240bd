#pragma once

#include <cstddef>
#include <string_view>

namespace ovaline {

// One step of strict UTF-8 decoding: overlong forms, surrogates and values above
// U+10FFFF are malformed.
struct Utf8Step {
    char32_t code_point; // meaningful only when `valid`
    // The bytes consumed: the whole sequence, or for a malformed one the longest
    // prefix that could still have begun a well-formed sequence (at least one byte).
    std::size_t length;
    bool valid;
};

// Decodes the sequence that begins at `pos`, which must lie inside `text`.
Utf8Step decode_utf8(std::string_view text, std::size_t pos);

bool is_valid_utf8(std::string_view text);

} // namespace ovaline

import re
import sys
import unicodedata

import ovaline

# The Unicode version of the module's table of code points shown by number.
TABLE_UNICODE = "15.1.0"
SHOWN_BY_NUMBER = {"Cc", "Cf", "Zl", "Zp", "Cn"}
# Written with their own short escapes, or not allowed in a name.
SPECIAL = {"/", '"', "\\", "\t", "\r", "\n", "\0"}


def test_names_show_exactly_the_invisible_code_points_by_number():
    """Every code point in a name, checked against this Python's Unicode data. Code points
    this Python leaves unassigned are checked only when its Unicode version is the table's."""
    same_version = unicodedata.unidata_version == TABLE_UNICODE
    chars = [
        c
        for c in map(chr, range(sys.maxunicode + 1))
        if c not in SPECIAL
        and not 0xD800 <= ord(c) <= 0xDFFF
        and (same_version or unicodedata.category(c) != "Cn")
    ]
    names = ["".join(chars[i : i + 200]) for i in range(0, len(chars), 200)]
    fs = ovaline.PyFs()
    for name in names:
        fs.touch("/" + name)
    expected = {
        "".join(
            f"\\u{{{ord(c):x}}}" if unicodedata.category(c) in SHOWN_BY_NUMBER else c
            for c in name
        )
        for name in names
    }
    shown = set(re.findall(r'name: "([^"]+)"', str(fs)))
    assert shown == expected

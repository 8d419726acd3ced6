// The console program writes UTF-8; paths and the window's texts are
// UTF-16, the firmware version texts narrow bytes from the adapter.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "base/utf8_text.h"

namespace Vantri::Cli {

// UTF-16 to UTF-8 is the program's one conversion (base/utf8_text.h): an
// unpaired surrogate (a path can hold one: Windows file names are not
// checked UTF-16) becomes U+FFFD, so the output is always valid UTF-8.
using Vantri::Utf8;

// Each byte as its Latin-1 character, as the window shows a stray byte of a
// version text: the text keeps its length and stays valid UTF-8.
std::string Utf8FromNarrow(std::string_view text);

// For a line of a console: control characters, which could move the cursor
// or end the line early, become '?'.
std::string Printable(std::string_view utf8);

// A JSON string, quotes included: quote and backslash escaped, control
// characters as \u00XX, everything else left as its UTF-8 bytes.
std::string JsonQuoted(std::string_view utf8);

// The parts one after the other. Appending, rather than a literal added to a
// temporary string: GCC 12 at -O2 and above warns falsely (-Wrestrict, its
// bug 105329) about the insertion at the front that the latter makes.
std::string Joined(std::initializer_list<std::string_view> parts);

} // namespace Vantri::Cli

// Escaping of text and attribute values as the two XML back ends of the
// host write them: the lxml style (ASCII output, character references for
// everything above 127) and the ElementTree style (UTF-8 output).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvx {

// Appends `utf8` (valid UTF-8) as element text.
void escape_text(std::string& out, std::string_view utf8, bool lxml);
// Appends `utf8` (valid UTF-8) as an attribute value (without the quotes).
void escape_attribute(std::string& out, std::string_view utf8, bool lxml);
// Whether the text holds a character XML 1.0 cannot carry: a code point
// below 32 other than tab, line feed and carriage return.
bool has_control(std::string_view utf8) noexcept;
// Byte length of the first UTF-8 sequence of a non-empty text.
std::size_t first_char_size(std::string_view utf8) noexcept;

}  // namespace tvx

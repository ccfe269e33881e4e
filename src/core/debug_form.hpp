// The debug form of a text, as error messages show a name they quote.
#pragma once

#include <string>
#include <string_view>

namespace vorel::core {

// The text between double quotes, with `"` and `\` escaped, tab, newline, carriage return and NUL
// as \t \n \r \0, and every other control character as \u{hex}; all else is copied unchanged, so
// the quoted form of valid UTF-8 stays valid UTF-8.
std::string debug_form(std::string_view text);

// Appends one character of a text in its debug form, by the same escapes: the character itself in
// UTF-8 when it prints, else \u{hex}. An ASCII character prints from space to tilde; whether one
// beyond ASCII prints is the caller's judgement, `prints`.
void debug_char(std::string& out, char32_t c, bool prints);

}  // namespace vorel::core

// Text helpers every layer shares: the one escaped form of names and paths, and printf-style
// formatting into a std::string.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace quillon {

// The one escaped form of every name and path that is logged, printed by quillon-settings,
// shown by the panel or sent on the session bus (purgeNow's reply, the desktop notice).
// Written as \xHH (a backslash, "x", two lower-case hex digits) is each byte that is
//   - the backslash itself,
//   - a control character: below 0x20, 0x7f, or one of the two bytes of U+0080..U+009F,
//   - part of a sequence that is not UTF-8 as D-Bus takes it: a stray or missing continuation
//     byte, an overlong form, a surrogate, a code point beyond U+10FFFF or a noncharacter
//     (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF);
// every other character stays as it is. The result is valid UTF-8 without control
// characters, so it always fits a D-Bus string and one line, and it is reversible: each \xHH
// stands for the byte HH, every other character for itself ("caf\xe9" is Latin-1 "café",
// "a\x5cb" is "a\b").
std::string escapedText(std::string_view text);

// vsnprintf into a string of the length it needs.
std::string vformatted(const char *format, va_list args);

// printf-style formatting into a string; positional "%1$s" is allowed, so that a translated
// format may reorder its values.
std::string formattedC(const char *format, ...);
template <typename... Values>
std::string formatted(const std::string &format, Values... values) {
    return formattedC(format.c_str(), values...);
}

}  // namespace quillon

#include "base/text.h"

#include <cstdio>

namespace quillon {

namespace {

// The length of the well-formed UTF-8 character at the start of `text` that D-Bus (and
// sd-bus, which also refuses noncharacters) takes in a string and that is no C1 control
// character; 0 when there is none, so that each of its bytes is escaped on its own.
size_t acceptedCharacter(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    char32_t code;
    if (lead >= 0xc2 && lead <= 0xdf) length = 2, code = lead & 0x1f;
    else if (lead >= 0xe0 && lead <= 0xef) length = 3, code = lead & 0x0f;
    else if (lead >= 0xf0 && lead <= 0xf4) length = 4, code = lead & 0x07;
    else return 0;  // a continuation byte, 0xc0, 0xc1 or 0xf5..0xff never starts a character
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(i) & 0x3f);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    if ((code >= 0xfdd0 && code <= 0xfdef) || (code & 0xfffe) == 0xfffe) return 0;
    if (code <= 0x9f) return 0;  // C1 controls: a terminal may act on them
    return length;
}

}  // namespace

std::string escapedText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80) {
            if (const size_t length = acceptedCharacter(text.substr(at)); length > 0) {
                out.append(text.substr(at, length));
                at += length;
                continue;
            }
        } else if (byte >= 0x20 && byte != 0x7f && byte != '\\') {
            out += static_cast<char>(byte);
            at++;
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
        at++;
    }
    return out;
}

std::string vformatted(const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

std::string formattedC(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = vformatted(format, args);
    va_end(args);
    return out;
}

}  // namespace quillon

#include "cli/terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace {

void AppendByte(std::string& out, unsigned char b) {
    switch (b) {
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", b);
    out += hex;
}

// The length of the UTF-8 sequence of a printable character at `at`, 0 when
// there is none: bad, overlong or cut sequences, surrogates and C1 controls
// count as bytes to escape.
size_t PrintableSequence(const std::string& s, size_t at) {
    unsigned char lead = static_cast<unsigned char>(s[at]);
    size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > s.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char b = static_cast<unsigned char>(s[at + i]);
        if ((b & 0xC0) != 0x80) return 0;
        code = (code << 6) | (b & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0xA0, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string TerminalText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        size_t length = b >= 0x80 ? PrintableSequence(text, i) : 0;
        if (length == 0) {
            AppendByte(out, b);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
}

#include "TerminalText.h"

#include <cstdio>

#include "PackageWriter.h"

namespace {

// How code point c is shown, or empty when it is shown as it is.
std::string Escape(uint32_t c) {
    if (c == '\n') return "\\n";
    if (c == '\r') return "\\r";
    if (c == '\t') return "\\t";
    char text[12] = {};
    if (c < 0x20 || c == 0x7F) std::snprintf(text, sizeof text, "\\x%02x", static_cast<unsigned>(c));
    // C1 controls, separators and lone surrogates (which have no UTF-8 form).
    else if ((c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029 || (c >= 0xD800 && c < 0xE000))
        std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(c));
    return text;
}

}  // namespace

std::string Printable(const std::u16string& text, bool doubleBackslashes) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool pair = c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
        if (pair) {
            out += Utf16ToUtf8(text.substr(i++, 2));
        } else if (c == '\\') {
            out += doubleBackslashes ? "\\\\" : "\\";
        } else {
            const std::string escaped = Escape(c);
            out += escaped.empty() ? Utf16ToUtf8(std::u16string(1, c)) : escaped;
        }
    }
    return out;
}

std::string PrintableUtf8(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        uint32_t c = 0;
        if (!DecodeUtf8(text, i, c)) {
            char byte[8];
            std::snprintf(byte, sizeof byte, "\\x%02x", static_cast<unsigned char>(text[i++]));
            out += byte;
            continue;
        }
        const std::string escaped = Escape(c);
        out += escaped.empty() ? text.substr(start, i - start) : escaped;
    }
    return out;
}

void PrintLine(std::ostream& out, const std::string& line) { out << PrintableUtf8(line) << "\n"; }

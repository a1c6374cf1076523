// SPDX-License-Identifier: MIT
// Escaping of control characters for log lines.
#include "printable_text.h"

#include <cstdio>

std::string printable_text(const char* text)
{
    std::string shown;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c == 0x1B) {
            shown += "\\e";
        } else if (c < 0x20 || c == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            shown += code;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

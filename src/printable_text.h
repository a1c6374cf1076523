// SPDX-License-Identifier: MIT
// Text from outside (a file name) made safe to print inside one log line:
// control characters are shown escaped, so a name cannot end the line or
// forge another one. Everything else passes unchanged.
#ifndef OMBRIX_PRINTABLE_TEXT_H
#define OMBRIX_PRINTABLE_TEXT_H

#include <string>

// "\n", "\r", "\t", "\e" for their characters; "\xNN" for the other bytes below 32
// and for 127; a backslash stays a single backslash.
std::string printable_text(const char* text);

#endif

// SPDX-License-Identifier: MIT
// Where the colour listing goes. By default it shares standard output with
// every other line; quiet mode gives it standard output to itself. Which lines
// count as listing is left to their writers: only the listing uses this stream.
#ifndef OMBRIX_OUTPUT_STREAMS_H
#define OMBRIX_OUTPUT_STREAMS_H

#include <cstdio>

// The stream the colour listing is written to: stdout unless quiet mode began.
std::FILE* listing_stream();

// Quiet mode: the listing keeps descriptor 1 through a private stream, and the
// C stdout stream, which carries every other line, writes to /dev/null.
// Call before anything is written to stdout. False (with errno set) when a
// step failed; output is then left as it was.
bool begin_quiet_output();

#endif

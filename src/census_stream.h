// SPDX-License-Identifier: MIT
// Counting a PNG's colours while it decodes: each row libpng finishes goes to
// a census thread of the decoder's, so on a second core the census ends soon
// after the last row instead of starting then. Only non-interlaced RGB and
// RGBA PNGs large enough to pay for the thread are followed; the census
// counts every other picture after it is decoded.
#ifndef OMBRIX_CENSUS_STREAM_H
#define OMBRIX_CENSUS_STREAM_H

#include <cstddef>

// Counts the rows of the PNG in [data, data + size), if it is one to follow,
// as the next decode reads them. Call just before decoding those bytes.
void census_follow_png(const unsigned char* data, std::size_t size);
// Ends following (call when that decode returns, whatever its result). The
// census of the decoded picture then uses the rows counted, if they are its.
// True when every row was counted as it was decoded.
bool census_stop_following();

#endif

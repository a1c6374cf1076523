// SPDX-License-Identifier: MIT
// The decoder process: everything the forked child does with the picture.
// It reads the picture from a descriptor the tool opened, sets its CPU-time
// budget, confines itself, decodes, counts the colours and hands the list and
// the displayed part of the picture back. It never returns.
#ifndef OMBRIX_DECODER_H
#define OMBRIX_DECODER_H

#include <cstddef>
#include <cstdint>

// Where the decoder's descriptors are once it has set itself up.
struct decoder_descriptors {
    int picture; // the picture, open for reading (a file, a pipe or a FIFO)
    int file;    // the hand-over memory file
    int link;    // the decoder's end of the socket pair
};

// The CPU seconds a picture of size bytes may take to decode: a base for the
// libraries' own work, and more for every byte, since a byte of compressed
// data can expand to about a thousand bytes of pixels.
std::uint32_t decoder_budget_seconds(std::uint64_t size);

// Largest picture read from a pipe or FIFO, which must be held in memory whole.
constexpr std::uint64_t kLargestStreamedPicture = std::uint64_t{1} << 30;

[[noreturn]] void decoder_main(const char* path, decoder_descriptors fds, int parent);

#endif

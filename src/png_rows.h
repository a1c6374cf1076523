// SPDX-License-Identifier: MIT
// Following a PNG's rows while libpng decodes them. SDL_image reads a PNG's
// rows with one png_read_image call; this program supplies that function,
// which runs libpng's own with a row callback, so a listener learns of each
// row of a non-interlaced PNG as soon as it is complete. Leaves what is done
// with the rows to the listener.
#ifndef OMBRIX_PNG_ROWS_H
#define OMBRIX_PNG_ROWS_H

#include <cstdint>

struct png_row_listener {
    void* context;
    // libpng is about to decode the rows; the first row will be at first_row.
    void (*rows_begin)(void* context, const unsigned char* first_row);
    // Row y (0 first) of the picture is complete at row; rows arrive in order.
    void (*row_done)(void* context, std::uint32_t y, const unsigned char* row);
    // Decoding of the rows has stopped: all read (complete) or libpng failed.
    // The rows' memory may be freed once this returns, so a listener that
    // reads them elsewhere must have stopped reading by then.
    void (*rows_end)(void* context, bool complete);
};

// The listener for the next non-interlaced PNGs, or null for none. An
// interlaced PNG is decoded without one: its rows are complete only at the end.
void listen_to_png_rows(const png_row_listener* listener);

#endif

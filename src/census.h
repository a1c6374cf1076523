// SPDX-License-Identifier: MIT
// Colour census: the distinct colours of a picture, split from each pixel by
// the picture's format (or looked up in its palette), in the order a
// column-by-column scan first meets them, with their pixel counts; and the
// listing that prints them. Decoding the picture is elsewhere.
#ifndef OMBRIX_CENSUS_H
#define OMBRIX_CENSUS_H

#include <SDL.h>
#include <cstddef>
#include <cstdint>

struct pixel {
    pixel* next;
    std::uint8_t r;
    std::uint8_t g;
    std::uint8_t b;
    std::int32_t count;
};

extern SDL_Surface* image;
extern pixel* first;
extern pixel* last;
extern std::int32_t color_count;

// The census of image: census_lines for its size and pixel size, then census_count.
void pixify();
// Counts every pixel of picture into the list, printing nothing.
void census_count(SDL_Surface* picture);

// One colour of a census and its pixel count.
struct census_colour {
    std::uint8_t r, g, b, unused;
    std::uint32_t count;
};
// The census of picture as an array in list order, without building the
// list: *colours (freed by the caller) gets the entries, the result is their
// number. Prints nothing. The census table stays until the next census or
// census_release, so a process that ends soon after need not spend time
// giving it back first.
std::size_t census_colours(SDL_Surface* picture, census_colour** colours);

// Counting a picture's rows while they are decoded (census_stream.cpp feeds
// these from the decoder's thread of its own). census_colours then uses the
// counts if they were made from exactly its picture's rows, read with its
// layout, and counts the picture afresh otherwise.
struct census_row_layout {
    int w;
    int h;
    int bytes_per_pixel; // 3 or 4
    // Where each channel's byte sits in a pixel's raw (little-endian) value.
    unsigned red_shift;
    unsigned green_shift;
    unsigned blue_shift;
};
// Starts a census of rows of this layout; false when it cannot start.
bool census_rows_open(const census_row_layout& layout);
// Counts rows [y_begin, y_end), row y at rows[y]; false when memory ran out.
bool census_rows_count(const unsigned char* const* rows, int y_begin, int y_end);
// Ends the rows' census: complete when every row of rows was counted; rows
// must stay readable until the next census.
void census_rows_close(bool complete, const unsigned char* const* rows);

// Called when the list or the census table cannot get memory; it must not
// return. By default it prints the out-of-memory line on standard error and
// ends the process with status 255 after shutting SDL down.
extern void (*census_out_of_memory)();
constexpr int kOutOfMemoryStatus = 255;
// What a census prints besides the listing, fixed by the picture's size and
// pixel size: a warning line per pixel for 2- and 3-byte pixels (standard
// output) and a progress line per column (standard error).
void census_lines(int w, int h, int bytes_per_pixel);
// Appends a new entry for (r, g, b) with count 1.
void addpix(std::uint8_t r, std::uint8_t g, std::uint8_t b);
void pixspit();

// Faults in the tables a census of a picture of this many pixels counts in;
// census_count uses what is prepared and frees it. The benchmark uses it to
// time the counting apart from its page faults (faulting the tables in ahead,
// on a second core while the picture decodes, measured slower than letting
// the census fault in only the pages it touches).
void census_prepare(std::uint64_t pixels);

// Frees the list and the census table and zeroes first, last and color_count, so that
// one process can run several censuses (tests); the program never calls it.
void census_clear();
// Frees the census table (census_clear does this too).
void census_release();

#endif

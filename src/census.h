// Colour census: the distinct colours of a picture, split from each pixel by
// the picture's format (or looked up in its palette), in the order a
// column-by-column scan first meets them, with their pixel counts; and the
// listing that prints them. Decoding the picture is elsewhere.
#ifndef OMBRIX_CENSUS_H
#define OMBRIX_CENSUS_H

#include <SDL.h>
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

// Faults in the next part of the table the census counts in (a photograph's
// colours reach much of it); false once it is all in. Lets idle time take the
// page faults off the census.
bool census_prepare();

// Frees the list and the census table and zeroes first, last and color_count, so that
// one process can run several censuses (tests); the program never calls it.
void census_clear();
// Frees the census table (census_clear does this too).
void census_release();

#endif

// Colour census: reads every pixel of the picture column by column, splits it
// into red, green and blue by the picture's format (or its palette), keeps the
// distinct colours in first-seen order with their counts, and prints the list.
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

void pixify();
// Counts one pixel of (r, g, b) in the census table, appending the colour when
// it is new; pixify writes the totals into the entries when its scan ends.
void pixcompare(std::uint8_t r, std::uint8_t g, std::uint8_t b);
void addpix(std::uint8_t r, std::uint8_t g, std::uint8_t b);
void pixspit();

// Faults in the next part of the table the census counts in (a photograph's
// colours reach much of it); false once it is all in. Lets idle time, such as
// the wait for a picture to decode, take the page faults off the census.
bool census_prepare();

// Frees the list and the census table and zeroes first, last and color_count, so that
// one process can run several censuses (tests); the program never calls it.
void census_clear();

#endif

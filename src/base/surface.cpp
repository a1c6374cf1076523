// SPDX-License-Identifier: MIT
// The surface helper's one instance and its blit; get_pixel is inline in the
// header because it sits on the census's per-pixel path.
#include "base/surface.h"

class surface surface;

void surface::draw(SDL_Surface* source, SDL_Surface* destination, int x, int y)
{
    SDL_Rect where;
    where.x = static_cast<Sint16>(x);
    where.y = static_cast<Sint16>(y);
    where.w = 0;
    where.h = 0;
    if (SDL_UpperBlit(source, nullptr, destination, &where) != 0) {
        std::fputs("ERROR: Surface.Draw -> Unable to blit surface \n", stdout);
    }
}

// SPDX-License-Identifier: MIT
// The frame limiter's clock in the program: SDL's millisecond ticks and sleep.
#include "base/fps.h"

#include <SDL.h>

std::uint32_t fps_clock_ticks()
{
    return SDL_GetTicks();
}

void fps_clock_delay(std::uint32_t ms)
{
    SDL_Delay(ms);
}

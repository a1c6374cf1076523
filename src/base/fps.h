// SPDX-License-Identifier: MIT
// Frame limiter: holds a loop to 60 passes per second on a fixed grid counted
// from the start of each one-second statistics window, and publishes the pass
// count and work times of each closed window in fps_data. Reporting is elsewhere.
#ifndef OMBRIX_BASE_FPS_H
#define OMBRIX_BASE_FPS_H

#include <cstdint>

class fps {
public:
    float frame_ms;
    std::uint32_t window_start;
    std::int32_t frames;
    std::uint32_t min_ms;
    std::uint32_t max_ms;
    double total_ms;
    std::uint32_t last_tick;
    std::uint32_t now_tick;
    std::uint32_t target_tick;

    void init();
    // Waits out the rest of the pass; true when this call closed a window.
    bool limit();
};

struct fps_record {
    std::uint32_t min_ms;
    std::uint32_t max_ms;
    double avg_ms;
    std::int32_t frames;
};

extern class fps fps;
extern fps_record fps_data;

// The frame budget's bits: 16.666677 ms, one step above the float nearest 1000/60.
constexpr std::uint32_t kFrameBudgetBits = 0x4185555B;
constexpr std::uint32_t kWindowLengthMs = 1000;

// The limiter's clock. The program links the SDL one (SDL_GetTicks, SDL_Delay);
// tests link a clock they drive themselves.
std::uint32_t fps_clock_ticks();
void fps_clock_delay(std::uint32_t ms);

#endif

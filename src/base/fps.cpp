// SPDX-License-Identifier: MIT
// The frame limiter's state machine. Time comes only through fps_clock_ticks
// and fps_clock_delay, so the grid and the statistics can be driven by a test.
#include "base/fps.h"

#include <cstring>

class fps fps;
fps_record fps_data;

void fps::init()
{
    std::memcpy(&frame_ms, &kFrameBudgetBits, sizeof frame_ms);
    frames = 0;
    window_start = fps_clock_ticks();
}

bool fps::limit()
{
    ++frames;
    const double due = static_cast<double>(frames) * static_cast<double>(frame_ms);
    target_tick = window_start + static_cast<std::uint32_t>(static_cast<std::int64_t>(due));
    now_tick = fps_clock_ticks();

    const std::uint32_t work = now_tick - last_tick;
    total_ms += static_cast<double>(work);
    if (work <= min_ms) {
        min_ms = work;
    }
    if (static_cast<double>(work) >= static_cast<double>(frame_ms)) {
        max_ms = work;
    }

    // Compared through the signed difference so that the grid holds when the
    // 32-bit tick counter wraps between now and the target. SDL_Delay now and
    // then returns a tick early, which would end pass 60 at 999 ms and let a
    // 61st pass into the window: what is left is slept again.
    while (static_cast<std::int32_t>(target_tick - now_tick) > 0) {
        fps_clock_delay(target_tick - now_tick);
        now_tick = fps_clock_ticks();
    }
    last_tick = now_tick;

    if (now_tick - window_start > kWindowLengthMs - 1) {
        fps_data.frames = frames;
        fps_data.avg_ms = total_ms / frames;
        fps_data.min_ms = min_ms;
        fps_data.max_ms = max_ms;
        frames = 0;
        min_ms = kWindowLengthMs;
        max_ms = 0;
        total_ms = 0.0;
        window_start = fps_clock_ticks();
        return true;
    }
    return false;
}

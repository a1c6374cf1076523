// SPDX-License-Identifier: MIT
// The frame limiter driven by a clock the test owns: the pass grid, late passes,
// the window statistics and their quirks, the tick counter's wrap, and the two
// forms of the once-a-second report.
#include "Main_Loop.h"
#include "base/fps.h"
#include "base/sdl.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The test's clock: time moves only when a test advances it or the limiter sleeps.
std::uint32_t now_ms;
std::vector<std::uint32_t> sleeps;
int readings;
// How many of the next sleeps end a millisecond early, as SDL_Delay's do now
// and then (its tick count and its sleep are not the same clock).
int early_sleeps;

} // namespace

std::uint32_t fps_clock_ticks()
{
    ++readings;
    return now_ms;
}

void fps_clock_delay(std::uint32_t ms)
{
    sleeps.push_back(ms);
    if (early_sleeps > 0 && ms > 0) {
        --early_sleeps;
        now_ms += ms - 1;
    } else {
        now_ms += ms;
    }
}

namespace {

class LimiterTest : public testing::Test {
protected:
    // Program start: every field zero; then init at the given tick.
    void start_at(std::uint32_t tick)
    {
        std::memset(static_cast<void*>(&fps), 0, sizeof fps);
        std::memset(&fps_data, 0, sizeof fps_data);
        sleeps.clear();
        readings = 0;
        early_sleeps = 0;
        now_ms = tick;
        fps.init();
    }
    // One pass that works for work_ms before calling the limiter; returns
    // whether it closed a window.
    bool pass(std::uint32_t work_ms)
    {
        now_ms += work_ms;
        return fps.limit();
    }
    // Runs passes of work_ms until a window closes; returns how many it took.
    int finish_window(std::uint32_t work_ms)
    {
        for (int n = 1; n < 100000; ++n) {
            if (pass(work_ms)) {
                return n;
            }
        }
        ADD_FAILURE() << "the window never closed";
        return 0;
    }
};

} // namespace

TEST_F(LimiterTest, BudgetIsTheFloatWithBits4185555B)
{
    start_at(0);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &fps.frame_ms, sizeof bits);
    EXPECT_EQ(bits, 0x4185555Bu) << "frame budget bits, not those of 1000/60 (0x41855555)";
    EXPECT_EQ(fps.frames, 0) << "no pass counted yet";
}

TEST_F(LimiterTest, PassesEndOnAFixedGridAndSixtyCloseTheWindow)
{
    start_at(0);
    finish_window(2); // the first window is special; measure the second
    const std::uint32_t start = fps.window_start;
    std::vector<std::uint32_t> ends;
    bool closed = false;
    for (int n = 1; n <= 60 && !closed; ++n) {
        closed = pass(2);
        ends.push_back(fps.last_tick - start);
    }
    ASSERT_EQ(ends.size(), 60u) << "the window closes with pass 60, not before";
    EXPECT_TRUE(closed) << "pass 60 closes the window";
    const std::pair<int, std::uint32_t> grid[] = {{1, 16}, {2, 33}, {3, 50}, {4, 66}, {5, 83},
                                                  {6, 100}, {30, 500}, {59, 983}, {60, 1000}};
    for (const auto& g : grid) {
        EXPECT_EQ(ends[g.first - 1], g.second) << "end of pass " << g.first << " after the window's start";
    }
    EXPECT_EQ(fps_data.frames, 60) << "60 passes in a steady window";
    for (std::uint32_t s : sleeps) {
        EXPECT_GT(s, 0u) << "the limiter sleeps only for a positive time";
    }
}

TEST_F(LimiterTest, ASleepThatEndsEarlyIsFinishedBeforeThePassEnds)
{
    // Every sleep of the second window ends a millisecond short: each pass
    // still ends on its place of the grid, and pass 60 still closes the window
    // (it would otherwise end at 999 ms and a 61st pass would follow).
    start_at(0);
    finish_window(2);
    const std::uint32_t start = fps.window_start;
    early_sleeps = 1000;
    std::vector<std::uint32_t> ends;
    bool closed = false;
    for (int n = 1; n <= 61 && !closed; ++n) {
        closed = pass(2);
        ends.push_back(fps.last_tick - start);
    }
    EXPECT_TRUE(closed) << "the window closes";
    EXPECT_EQ(ends.size(), 60u) << "with pass 60, not 61";
    EXPECT_EQ(ends.front(), 16u) << "pass 1 ends at 16 ms";
    EXPECT_EQ(ends.back(), 1000u) << "pass 60 ends at 1000 ms";
    EXPECT_EQ(fps_data.frames, 60) << "60 passes reported";
}

TEST_F(LimiterTest, ALatePassDoesNotShiftTheGrid)
{
    start_at(0);
    finish_window(2);
    const std::uint32_t start = fps.window_start;
    pass(2);  // ends at 16
    pass(2);  // ends at 33
    pass(40); // late: 73, no wait
    EXPECT_EQ(fps.last_tick - start, 73u) << "a late pass does not wait";
    pass(2); // 75, still behind pass 4's target of 66
    EXPECT_EQ(fps.last_tick - start, 75u) << "behind schedule: no wait";
    pass(2); // back on the grid
    EXPECT_EQ(fps.last_tick - start, 83u) << "pass 5 ends on its grid point";
}

TEST_F(LimiterTest, StatisticsOfLaterWindows)
{
    struct window_case {
        const char* name;
        std::vector<std::uint32_t> works; // then 2 ms passes until the window closes
        std::uint32_t min, max;
    };
    const window_case cases[] = {
        {"every pass 10 ms", {}, 10, 0},
        {"40 ms then 17 ms: the latest wins", {40, 17}, 10, 17},
        {"exactly 16 ms does not count", {16}, 10, 0},
        {"17 ms counts", {17}, 10, 17},
    };
    for (const window_case& c : cases) {
        SCOPED_TRACE(c.name);
        start_at(0);
        finish_window(2);
        bool closed = false;
        for (std::uint32_t w : c.works) {
            closed = pass(w);
        }
        ASSERT_FALSE(closed);
        finish_window(10);
        EXPECT_EQ(fps_data.min_ms, c.min) << "Min";
        EXPECT_EQ(fps_data.max_ms, c.max) << "Max";
    }

    start_at(0);
    finish_window(2);
    finish_window(10);
    EXPECT_DOUBLE_EQ(fps_data.avg_ms, 10.0) << "Avg of 10 ms passes";
    EXPECT_EQ(fps_data.frames, 60) << "10 ms passes keep up";
}

TEST_F(LimiterTest, ASinglePassOverASecondReportsMinOfAThousand)
{
    start_at(0);
    finish_window(2);
    EXPECT_TRUE(pass(1500)) << "one long pass closes the window";
    EXPECT_EQ(fps_data.frames, 1) << "one pass";
    EXPECT_EQ(fps_data.min_ms, 1000u) << "Min keeps the value a window opens with";
    EXPECT_EQ(fps_data.max_ms, 1500u) << "Max is the long pass";
    EXPECT_DOUBLE_EQ(fps_data.avg_ms, 1500.0) << "Avg is the long pass";
}

TEST_F(LimiterTest, FirstWindowCarriesStartUpTime)
{
    // SDL started 300 ms before the limiter; the census takes 200 ms more.
    start_at(300);
    EXPECT_FALSE(pass(200)) << "500 ms after start: the first window is still open";
    EXPECT_EQ(fps.max_ms, 500u) << "the first pass's work is all the ticks so far";
    const int more = finish_window(3);
    EXPECT_EQ(fps_data.min_ms, 0u) << "the first report always shows Min:0ms";
    EXPECT_EQ(fps_data.max_ms, 500u) << "start-up time is the first window's maximum";
    EXPECT_GT(fps_data.avg_ms, 500.0 / (more + 1)) << "start-up time is in the first average";

    start_at(300);
    EXPECT_TRUE(pass(1200)) << "a first pass 1000 ms after init closes the window at once";
    EXPECT_EQ(fps_data.frames, 1) << "the first report shows 1 pass";
}

TEST_F(LimiterTest, GridHoldsWhenTheTickCounterWraps)
{
    // The second window starts 510 ms before the counter wraps, so pass 31's
    // target (516) lies past the wrap while its work ends just before it.
    start_at(0xFFFFFFFFu - 1509);
    finish_window(2);
    const std::uint32_t start = fps.window_start;
    ASSERT_EQ(start, 0xFFFFFFFFu - 509) << "the second window starts 510 ms before the wrap";
    int n = 0;
    bool closed = false;
    std::vector<std::uint32_t> ends;
    while (!closed && n < 100) {
        closed = pass(2);
        ends.push_back(fps.last_tick - start);
        ++n;
    }
    EXPECT_EQ(n, 60) << "60 passes across the wrap";
    ASSERT_GE(ends.size(), 60u);
    EXPECT_EQ(ends[29], 500u) << "pass 30 before the wrap";
    EXPECT_EQ(ends[30], 516u) << "pass 31 after the wrap still waits for its grid point";
    EXPECT_EQ(ends[59], 1000u) << "pass 60 closes the window on time";
}

TEST_F(LimiterTest, EachPassReadsTheClockAtMostTwice)
{
    start_at(0);
    finish_window(2);
    readings = 0;
    pass(2);
    EXPECT_LE(readings, 2) << "a pass that does not close a window reads now, and again after its sleep";
}

namespace {

class ReportTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
        sdl.screen = &screen_;
        fps_data.frames = 60;
        fps_data.min_ms = 2;
        fps_data.max_ms = 0;
        fps_data.avg_ms = 2.35;
    }
    void TearDown() override
    {
        sdl.screen = nullptr;
        SDL_Quit();
    }
    SDL_Surface screen_{};
};

} // namespace

TEST_F(ReportTest, WindowedSetsTheCaption)
{
    SDL_WM_SetCaption("Ombrix", nullptr);
    screen_.flags = 0;
    capture_output();
    fps_update();
    EXPECT_EQ(captured_stdout(), "") << "nothing printed when windowed";
    captured_stderr();
    char* caption = nullptr;
    char* icon = nullptr;
    SDL_WM_GetCaption(&caption, &icon);
    EXPECT_STREQ(caption, "Ombrix - 60/60 fps - Min:2ms Max:0ms Avg:2.350000ms") << "the caption";
}

TEST_F(ReportTest, FullScreenPrintsTheLineAndKeepsTheTitle)
{
    SDL_WM_SetCaption("Ombrix", nullptr);
    screen_.flags = SDL_FULLSCREEN;
    fps_data.frames = 2147483647;
    fps_data.min_ms = 4294967295u;
    fps_data.max_ms = 1000;
    capture_output();
    fps_update();
    const std::string out = captured_stdout();
    captured_stderr();
    EXPECT_EQ(out, "FPS:2147483647/60 fps - Min:-1ms Max:1000ms Avg:2.350000ms \n")
        << "the full-screen line, numbers printed as signed %i";
    char* caption = nullptr;
    SDL_WM_GetCaption(&caption, nullptr);
    EXPECT_STREQ(caption, "Ombrix") << "the caption keeps the plain title";
}

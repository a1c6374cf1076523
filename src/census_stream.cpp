// SPDX-License-Identifier: MIT
// The decoder's thread publishes finished rows in batches under a mutex; the
// census thread counts each batch into the census table and waits for the
// next. When libpng stops (done or failed) the census thread is joined before
// SDL_image can free the rows.
#include "census_stream.h"

#include "census.h"
#include "picture_limits.h"
#include "png_rows.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Smaller pictures are counted after decoding: a thread costs more than it saves.
constexpr std::uint64_t kFollowedPixels = std::uint64_t{1} << 18;
constexpr std::uint32_t kRowsPerBatch = 16;
constexpr std::uintptr_t kPageBytes = 4096;
constexpr unsigned kTrueColour = 2;
constexpr unsigned kTrueColourWithAlpha = 6;

// The layout SDL_image gives an RGB or RGBA PNG: 16-bit channels are cut to
// 8, and the bytes are red, green, blue (and alpha) in memory order. False
// for every other PNG, and for bytes that are none.
bool followed_layout(const unsigned char* data, std::size_t size, census_row_layout* layout)
{
    png_header png;
    if (!read_png_header(data, size, &png)) {
        return false;
    }
    // An interlaced PNG is never followed (png_rows.cpp asks libpng for its
    // passes); refusing it here only spares preparing for it.
    if (png.w < 1 || png.h < 1 || png.w > kLargestPictureWidth || png.h > kLargestPictureHeight
        || (png.bit_depth != 8 && png.bit_depth != 16) || png.interlaced
        || (png.colour_type != kTrueColour && png.colour_type != kTrueColourWithAlpha)
        || std::uint64_t{png.w} * png.h < kFollowedPixels) {
        return false;
    }
    *layout = census_row_layout{static_cast<int>(png.w), static_cast<int>(png.h),
                                png.colour_type == kTrueColour ? 3 : 4, 0, 8, 16};
    return true;
}

struct follower {
    int h = 0;
    std::size_t pixel_bytes = 0; // the decoded picture's rows, SDL's pitch apart
    const unsigned char* first_row = nullptr;
    std::vector<const unsigned char*> rows;
    bool unusable = false; // rows out of order, or no census thread
    bool started = false;
    std::thread counter;

    std::mutex lock;
    std::condition_variable more;
    int published = 0;      // rows the census thread may count
    bool ended = false;     // no more rows will be published
    bool abandoned = false; // libpng failed: stop counting
    bool failed = false;    // the census ran out of memory
    int counted = 0;
};
// Whether the last PNG followed had every row counted as it was decoded.
bool counted_while_decoding;

// Faults the decoded picture's memory in ahead of libpng, which would
// otherwise take a page fault for every 4 KiB of rows it writes (12,000 for
// a 12 MP photo) on the decoding thread. Populating leaves the contents as
// they are, so it may overlap rows libpng has written already; the memory is
// SDL_image's surface, and a range that reached past it would only fault in
// pages of this process's own heap. It stays a bounded distance ahead of the
// rows decoded, so a file that declares a huge picture and then stalls
// libpng does not get the whole picture's memory committed.
class row_populator {
public:
    explicit row_populator(const follower& f)
        : start_(reinterpret_cast<std::uintptr_t>(f.first_row)), bytes_(f.pixel_bytes),
          pitch_(f.h > 0 ? f.pixel_bytes / static_cast<std::size_t>(f.h) : 0)
    {
    }

    // Faults in everything up to the lookahead past the first rows rows.
    void ahead_of(int rows)
    {
        std::size_t target = static_cast<std::size_t>(rows) * pitch_ + kLookaheadBytes;
        if (target > bytes_) {
            target = bytes_;
        }
        if (target <= done_) {
            return;
        }
        const std::uintptr_t from = (start_ + done_) / kPageBytes * kPageBytes;
        const std::uintptr_t to = start_ + target;
        madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
        done_ = target;
    }

private:
    static constexpr std::size_t kLookaheadBytes = std::size_t{16} << 20;
    std::uintptr_t start_;
    std::size_t bytes_;
    std::size_t pitch_;
    std::size_t done_ = 0;
};

// The census thread: fault the picture's memory in ahead of libpng and count
// published rows in order until the rows end.
void count_published(follower* f)
{
    row_populator populator(*f);
    populator.ahead_of(0);
    int done = 0;
    for (;;) {
        int upto = 0;
        {
            std::unique_lock<std::mutex> hold(f->lock);
            f->more.wait(hold, [&] { return f->published > done || f->ended; });
            if (f->abandoned || f->published == done) {
                break;
            }
            upto = f->published;
        }
        populator.ahead_of(upto);
        if (!census_rows_count(f->rows.data(), done, upto)) {
            std::lock_guard<std::mutex> hold(f->lock);
            f->failed = true;
            return;
        }
        done = upto;
    }
    std::lock_guard<std::mutex> hold(f->lock);
    f->counted = done;
}

void publish(follower* f, int rows, bool ended, bool abandoned)
{
    {
        std::lock_guard<std::mutex> hold(f->lock);
        f->published = rows;
        f->ended = ended;
        f->abandoned = abandoned;
    }
    f->more.notify_one();
}

void on_rows_begin(void* context, const unsigned char* first_row)
{
    follower* f = static_cast<follower*>(context);
    if (f->started) {
        return;
    }
    f->first_row = first_row;
    try {
        f->counter = std::thread(count_published, f);
        f->started = true;
    } catch (const std::system_error&) {
        f->unusable = true;
    }
}

void on_row(void* context, std::uint32_t y, const unsigned char* row)
{
    follower* f = static_cast<follower*>(context);
    if (f->unusable || !f->started) {
        f->unusable = true;
        return;
    }
    if (y >= static_cast<std::uint32_t>(f->h)) {
        f->unusable = true;
        return;
    }
    f->rows[y] = row;
    const int done = static_cast<int>(y) + 1;
    if (done % kRowsPerBatch == 0 || done == f->h) {
        publish(f, done, false, false);
    }
}

void on_rows_end(void* context, bool complete)
{
    follower* f = static_cast<follower*>(context);
    if (f->started) {
        std::unique_lock<std::mutex> hold(f->lock);
        const int published = f->published;
        hold.unlock();
        publish(f, published, true, !complete || f->unusable);
        f->counter.join();
        f->started = false;
    }
    const bool all = complete && !f->unusable && !f->failed && f->counted == f->h;
    census_rows_close(all, f->rows.data());
    counted_while_decoding = all;
    listen_to_png_rows(nullptr);
}

follower followed;
const png_row_listener listener = {&followed, on_rows_begin, on_row, on_rows_end};

} // namespace

void census_follow_png(const unsigned char* data, std::size_t size)
{
    census_stop_following();
    counted_while_decoding = false;
    census_row_layout layout;
    if (!followed_layout(data, size, &layout)) {
        return;
    }
    followed.h = layout.h;
    // SDL's pitch: a row's bytes rounded up to a multiple of four.
    const std::size_t pitch = (static_cast<std::size_t>(layout.w) * layout.bytes_per_pixel + 3) / 4 * 4;
    followed.pixel_bytes = pitch * static_cast<std::size_t>(layout.h);
    followed.first_row = nullptr;
    followed.unusable = false;
    followed.started = false;
    followed.published = 0;
    followed.ended = false;
    followed.abandoned = false;
    followed.failed = false;
    followed.counted = 0;
    try {
        followed.rows.assign(static_cast<std::size_t>(layout.h), nullptr);
    } catch (const std::bad_alloc&) {
        return;
    }
    if (census_rows_open(layout)) {
        listen_to_png_rows(&listener);
    }
}

bool census_stop_following()
{
    listen_to_png_rows(nullptr);
    if (followed.started) {
        on_rows_end(&followed, false); // libpng ends every read it starts, so this is only a safeguard
    }
    return counted_while_decoding;
}

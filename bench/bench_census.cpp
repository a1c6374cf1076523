// SPDX-License-Identifier: MIT
// Times the colour census (pixify) on 12-megapixel pictures made in memory, with
// the census table faulted in beforehand (as a slow decode allows) and without,
// and the listing (pixspit) of a photograph's colours. The per_pixel counter is
// the time per pixel of the picture (per_colour: per listed colour), e.g. "7.5ns".
// Every list is checked against a slow reference before a time is reported.
#include "census.h"
#include "synthetic_pictures.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr int kPhotoNoise = 5; // +-5 per channel: about 300,000 colours over 12 MP
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;

// One line of the listing: a colour and its count.
struct listed {
    std::uint8_t r, g, b;
    std::int32_t count;
};

struct picture {
    SDL_Surface* surface = nullptr;
    std::size_t colours = 0;
    std::vector<listed> expected; // the listing, from the slow reference
};

// The listing worked out the plain way, independently of the census: scan
// column by column, look every colour up in a hash map, and keep the colours
// in the order first met with their counts.
std::vector<listed> reference_listing(int w, int h, const std::vector<synthetic::rgb>& px)
{
    std::vector<listed> list;
    std::unordered_map<std::uint32_t, std::size_t> where;
    for (int x = 0; x < w; ++x) {
        for (int y = 0; y < h; ++y) {
            const synthetic::rgb c = px[static_cast<std::size_t>(y) * w + x];
            const std::uint32_t key = static_cast<std::uint32_t>(c.r) << 16 | static_cast<std::uint32_t>(c.g) << 8 | c.b;
            const auto found = where.find(key);
            if (found == where.end()) {
                where.emplace(key, list.size());
                list.push_back({c.r, c.g, c.b, 1});
            } else {
                ++list[found->second].count;
            }
        }
    }
    return list;
}

// The pictures are made once, on first use, and kept for the whole run. The
// 32- and 24-bit photographs hold the same landscape.
const std::vector<synthetic::rgb>& landscape_pixels()
{
    static const std::vector<synthetic::rgb> px = [] {
        std::vector<synthetic::rgb> made;
        synthetic::landscape(kWidth, kHeight, kPhotoNoise, &made);
        return made;
    }();
    return px;
}

const std::vector<listed>& landscape_listing()
{
    static const std::vector<listed> list = reference_listing(kWidth, kHeight, landscape_pixels());
    return list;
}

const picture& photo32()
{
    static const picture p{synthetic::surface32(kWidth, kHeight, landscape_pixels()),
                           synthetic::distinct(landscape_pixels()), landscape_listing()};
    return p;
}

const picture& photo24()
{
    static const picture p{synthetic::surface24(kWidth, kHeight, landscape_pixels()),
                           synthetic::distinct(landscape_pixels()), landscape_listing()};
    return p;
}

const picture& poster32()
{
    static const picture p = [] {
        std::vector<synthetic::rgb> px;
        synthetic::poster16(kWidth, kHeight, &px);
        return picture{synthetic::surface32(kWidth, kHeight, px), synthetic::distinct(px),
                       reference_listing(kWidth, kHeight, px)};
    }();
    return p;
}

// Sends standard output and standard error to /dev/null for the life of the
// object (the census prints a progress line per column, and a warning per pixel
// for 24-bit pictures); the benchmark's own report is printed between runs.
class silenced {
public:
    silenced()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (saved_out_ < 0 || saved_err_ < 0 || null < 0) {
            std::perror("bench_census: cannot redirect output to /dev/null");
            std::abort();
        }
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~silenced()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
    }
    silenced(const silenced&) = delete;
    silenced& operator=(const silenced&) = delete;

private:
    int saved_out_ = -1;
    int saved_err_ = -1;
};

// Checks the census's list entry by entry against the reference: the same
// colours in the same order with the same counts.
bool list_equals_reference(const picture& p)
{
    std::size_t i = 0;
    for (const pixel* e = first; e != nullptr; e = e->next, ++i) {
        if (i >= p.expected.size()) {
            return false;
        }
        const listed& want = p.expected[i];
        if (e->r != want.r || e->g != want.g || e->b != want.b || e->count != want.count) {
            return false;
        }
    }
    return i == p.expected.size();
}

// Checks after a census that the list is whole: as many entries as colours
// made, counts adding up to the picture's pixels; with full set, also that it
// equals the reference entry by entry (once per benchmark: the walk is slow).
// A census that got it wrong must not be reported as a speed.
bool list_matches(const picture& p, benchmark::State& state, bool full = false)
{
    if (full && !list_equals_reference(p)) {
        state.SkipWithError("the census's list differs from the reference listing");
        return false;
    }
    long long pixels = 0;
    std::int32_t entries = 0;
    for (const pixel* e = first; e != nullptr; e = e->next) {
        pixels += e->count;
        ++entries;
    }
    if (pixels != static_cast<long long>(p.surface->w) * p.surface->h || entries != color_count
        || static_cast<std::size_t>(color_count) != p.colours) {
        state.SkipWithError("the census's list does not match the picture");
        return false;
    }
    return true;
}

// Whether the census table's pages are faulted in before the timed census.
enum class table { prefaulted, cold };

void run_census(benchmark::State& state, const picture& p, table pages)
{
    if (p.surface == nullptr) {
        state.SkipWithError("could not make the picture");
        return;
    }
    census_clear();
    image = p.surface;
    bool ok = true;
    bool compared = false;
    {
        silenced quiet;
        for (auto _ : state) {
            // Prefaulted: the counting alone; cold: with the page faults the
            // program's census takes as it goes.
            if (pages == table::prefaulted) {
                state.PauseTiming();
                census_prepare(static_cast<std::uint64_t>(p.surface->w) * static_cast<std::uint64_t>(p.surface->h));
                state.ResumeTiming();
            }
            first = nullptr;
            pixify();
            state.PauseTiming();
            ok = ok && list_matches(p, state, !compared);
            compared = true;
            census_clear();
            state.ResumeTiming();
        }
    }
    if (!ok) {
        return;
    }
    const double pixels = static_cast<double>(p.surface->w) * p.surface->h;
    state.counters["colours"] = static_cast<double>(p.colours);
    state.counters["per_pixel"] =
        benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(pixels));
}

void BM_census_photo_32bit(benchmark::State& state)
{
    run_census(state, photo32(), table::prefaulted);
}

void BM_census_photo_32bit_cold_table(benchmark::State& state)
{
    run_census(state, photo32(), table::cold);
}

void BM_census_16_colours_32bit(benchmark::State& state)
{
    run_census(state, poster32(), table::prefaulted);
}

void BM_census_16_colours_32bit_cold_table(benchmark::State& state)
{
    run_census(state, poster32(), table::cold);
}

void BM_census_photo_24bit_stdout_null(benchmark::State& state)
{
    run_census(state, photo24(), table::prefaulted);
}

// The listing of the photograph's colours, with standard output to /dev/null.
// Its time per iteration compares directly with the census of the same picture.
void BM_listing_photo_colours_stdout_null(benchmark::State& state)
{
    const picture& p = photo32();
    if (p.surface == nullptr) {
        state.SkipWithError("could not make the picture");
        return;
    }
    census_clear();
    image = p.surface;
    {
        silenced quiet;
        first = nullptr;
        pixify();
        if (!list_matches(p, state, true)) {
            census_clear();
            return;
        }
        for (auto _ : state) {
            pixspit();
        }
        std::fflush(stdout);
    }
    const double lines = static_cast<double>(color_count);
    const std::int64_t listed = color_count;
    const double pixels = static_cast<double>(p.surface->w) * p.surface->h;
    census_clear();
    state.counters["colours"] = lines;
    state.counters["per_colour"] =
        benchmark::Counter(lines, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["per_pixel"] =
        benchmark::Counter(pixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * listed);
}

BENCHMARK(BM_census_photo_32bit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_census_photo_32bit_cold_table)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_census_16_colours_32bit)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_census_16_colours_32bit_cold_table)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_census_photo_24bit_stdout_null)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_listing_photo_colours_stdout_null)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv)
{
    // As the program does when its output is not a terminal: a 1 MiB fully
    // buffered standard output, which is what makes a warning line per pixel
    // affordable. It must be set before anything is written.
    static char buffer[kOutputBufferSize];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    // Likewise a buffered standard error for the progress line of each column.
    static char error_buffer[1 << 16];
    std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::fflush(stdout);
    return 0;
}

// SPDX-License-Identifier: MIT
// The cost of the whole intake (the confined decoder process, its census and
// the hand-over of the colour list and an 800 x 600 crop) against SDL_image's
// decoding alone in this process, on a 4000 x 3000 photograph. BMP decodes
// fastest, so it shows the rest at its largest share: eight runs each.
// The 36 MB BMP is written to /tmp once and removed when the run ends.
#include "census.h"
#include "picture.h"
#include "synthetic_pictures.h"

#include <SDL_image.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

// The BMP's path once written, empty before (or when writing failed).
std::string photo_path;

// Writes the landscape once as a 24-bit BMP in the temporary folder.
const std::string& photo_file()
{
    if (photo_path.empty()) {
        std::vector<synthetic::rgb> colours;
        synthetic::landscape(kWidth, kHeight, 5, &colours);
        SDL_Surface* s = synthetic::surface24(kWidth, kHeight, colours);
        photo_path = "/tmp/ombrix-bench-intake-" + std::to_string(getpid()) + ".bmp";
        if (s == nullptr || SDL_SaveBMP(s, photo_path.c_str()) != 0) {
            std::remove(photo_path.c_str()); // a part-written file
            photo_path.clear();
        }
        SDL_FreeSurface(s);
    }
    return photo_path;
}

// Removes the BMP, if photo_file wrote one.
void remove_photo_file()
{
    if (!photo_path.empty()) {
        std::remove(photo_path.c_str());
        photo_path.clear();
    }
}

void BM_load_in_process(benchmark::State& state)
{
    const std::string& path = photo_file();
    for (auto _ : state) {
        SDL_Surface* s = IMG_Load(path.c_str());
        if (s == nullptr) {
            state.SkipWithError("IMG_Load failed");
            return;
        }
        benchmark::DoNotOptimize(s->pixels);
        SDL_FreeSurface(s);
    }
}

void BM_intake_through_decoder(benchmark::State& state)
{
    const std::string& path = photo_file();
    for (auto _ : state) {
        census_clear();
        picture_start(path.c_str());
        SDL_Surface* shown = nullptr;
        std::string why;
        int signal_number = 0;
        if (picture_finish(800, 600, true, &shown, &why, &signal_number) != intake_result::loaded) {
            state.SkipWithError(why.c_str());
            return;
        }
        benchmark::DoNotOptimize(first);
        SDL_FreeSurface(shown);
    }
    census_clear();
}

BENCHMARK(BM_load_in_process)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_intake_through_decoder)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_photo_file();
    return 0;
}

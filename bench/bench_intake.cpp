// The cost of decoding a picture in a child process and handing it over,
// against SDL_image's decoding in this process, on a 4000 x 3000 photograph.
// BMP decodes fastest, so it shows the hand-over at its largest share. The
// handed-over rows are kept, as the program keeps its picture: eight runs.
// The 36 MB BMP is written to /tmp once and removed when the run ends.
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

void BM_load_through_child(benchmark::State& state)
{
    const std::string& path = photo_file();
    for (auto _ : state) {
        std::string why;
        SDL_Surface* s = load_picture(path.c_str(), &why);
        if (s == nullptr) {
            state.SkipWithError(why.c_str());
            return;
        }
        // Read every page once, as the census will: the mapping faults them in.
        long sum = 0;
        const Uint8* p = static_cast<const Uint8*>(s->pixels);
        for (long i = 0; i < static_cast<long>(s->pitch) * s->h; i += 4096) {
            sum += p[i];
        }
        benchmark::DoNotOptimize(sum);
        SDL_FreeSurface(s);
    }
}

BENCHMARK(BM_load_in_process)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_load_through_child)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

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

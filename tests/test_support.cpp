// SPDX-License-Identifier: MIT
// Implementation of the shared test helpers.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <png.h>
#include <vector>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Headless video for every test, whatever driver the caller's environment
// names: the tests expect the dummy driver's behaviour.
const bool dummy_video = [] {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    return true;
}();

constexpr useconds_t kChildPollMicroseconds = 10000;

// An empty file in /tmp for a child's output stream; returns its descriptor
// and stores its name, or -1.
int output_file(std::string* name)
{
    char pattern[] = "/tmp/ombrix-test-output-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) {
        *name = pattern;
    }
    return fd;
}

// Reads and removes a file made by output_file.
std::string take_output(int fd, const std::string& name)
{
    close(fd);
    const std::string content = read_file(name);
    unlink(name.c_str());
    return content;
}
} // namespace

void capture_output()
{
    std::fflush(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

std::string captured_stdout()
{
    std::fflush(nullptr);
    return testing::internal::GetCapturedStdout();
}

std::string captured_stderr()
{
    std::fflush(nullptr);
    return testing::internal::GetCapturedStderr();
}

scratch_dir::scratch_dir()
{
    char here[4096];
    if (getcwd(here, sizeof here) != nullptr) {
        previous_ = here;
    }
    char pattern[] = "/tmp/ombrix-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        ADD_FAILURE() << "could not make a scratch directory";
        return;
    }
    path_ = made;
    if (chdir(path_.c_str()) != 0) {
        ADD_FAILURE() << "could not enter " << path_;
    }
}

scratch_dir::~scratch_dir()
{
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {
        ADD_FAILURE() << "could not return to " << previous_;
    }
    if (!path_.empty()) {
        const std::string command = "chmod -R u+w '" + path_ + "' && rm -rf '" + path_ + "'";
        if (std::system(command.c_str()) != 0) {
            ADD_FAILURE() << "could not remove " << path_;
        }
    }
}

void place_font()
{
    const std::string font = read_file(OMBRIX_FONT_PATH);
    ASSERT_GT(font.size(), 1000u) << "the bundled font at " << OMBRIX_FONT_PATH;
    write_file("Aaargh.ttf", font);
}

std::string read_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& name, const std::string& content)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& name)
{
    struct stat info;
    return stat(name.c_str(), &info) == 0;
}

child_run run_in_child(const std::function<void()>& body, int timeout_seconds)
{
    child_run run;
    std::string out_name, err_name;
    const int out_fd = output_file(&out_name);
    const int err_fd = output_file(&err_name);
    if (out_fd < 0 || err_fd < 0) {
        ADD_FAILURE() << "could not make the child's output files in /tmp";
        return run;
    }
    std::fflush(nullptr); // nothing buffered here is written twice
    const pid_t child = fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        take_output(out_fd, out_name);
        take_output(err_fd, err_name);
        return run;
    }
    if (child == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        body();
        std::fflush(nullptr);
        _exit(0);
    }

    int status = 0;
    pid_t ended = 0;
    const long polls = static_cast<long>(timeout_seconds) * 1000000L / kChildPollMicroseconds;
    for (long i = 0; i <= polls; ++i) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended != 0 && !(ended < 0 && errno == EINTR)) {
            break;
        }
        usleep(kChildPollMicroseconds);
    }
    if (ended < 0) {
        ADD_FAILURE() << "could not wait for the child";
    } else if (ended == 0) {
        run.timed_out = true;
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    if (ended < 0) {
        // neither exited nor signalled: the caller's checks fail
    } else if (WIFEXITED(status)) {
        run.exited = true;
        run.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.signal = WTERMSIG(status);
    }
    run.out = take_output(out_fd, out_name);
    run.err = take_output(err_fd, err_name);
    return run;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

namespace {

// Each channel value of pixel (x, y): about 4,000 colours in small blocks
// whose hash order differs between rows and columns, so the column-scan
// order and the row order of first sightings disagree.
unsigned channel_at(int x, int y, int channel)
{
    const unsigned block = static_cast<unsigned>(x / 3) * 2654435761u ^ static_cast<unsigned>(y / 2) * 40503u;
    const unsigned colour = block % 4093u;
    switch (channel) {
    case 0: return colour * 37u & 0xFF;
    case 1: return colour >> 4 & 0xFF;
    case 2: return (colour * 11u + static_cast<unsigned>(y)) & 0xFF;
    default: return static_cast<unsigned>(x + y) & 0xFF; // alpha varies and must not matter
    }
}

} // namespace

bool write_png(const std::string& path, const png_shape& shape)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        std::fclose(out);
        return false;
    }
    const int channels = shape.colour_type == PNG_COLOR_TYPE_RGBA ? 4 : shape.colour_type == PNG_COLOR_TYPE_RGB ? 3 : 1;
    const int bytes = shape.depth / 8;
    std::vector<png_byte> row(static_cast<std::size_t>(shape.w * channels * bytes));
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::fclose(out);
        return false;
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(shape.w), static_cast<png_uint_32>(shape.h), shape.depth,
                 shape.colour_type, shape.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color_16 key = {};
    if (shape.transparent_colour) {
        key.red = static_cast<png_uint_16>(channel_at(0, 0, 0));
        key.green = static_cast<png_uint_16>(channel_at(0, 0, 1));
        key.blue = static_cast<png_uint_16>(channel_at(0, 0, 2));
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    png_write_info(png, info);
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
        for (int y = 0; y < shape.h; ++y) {
            png_byte* p = row.data();
            for (int x = 0; x < shape.w; ++x) {
                for (int c = 0; c < channels; ++c) {
                    const unsigned v = channel_at(x, y, channels == 1 ? 0 : c);
                    for (int b = 0; b < bytes; ++b) {
                        *p++ = static_cast<png_byte>(v); // 16-bit samples: the same byte twice
                    }
                }
            }
            png_write_row(png, row.data());
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(out) == 0;
}

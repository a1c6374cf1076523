// Implementation of the shared test helpers.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Headless video for every test, whatever driver the caller's environment
// names: the tests expect the dummy driver's behaviour.
const bool dummy_video = [] {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    return true;
}();
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

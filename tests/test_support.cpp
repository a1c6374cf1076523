// SPDX-License-Identifier: MIT
// Implementation of the shared test helpers.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

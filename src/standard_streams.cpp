// SPDX-License-Identifier: MIT
// Keeps descriptors 0, 1 and 2 open and keeps account of write failures:
// standard output's and standard error's (the first reason of each is kept)
// and the files that steps report as unwritten.
#include "standard_streams.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// 0: no failure seen; otherwise the errno of the first one (EIO when a stream
// shows its error flag without a reason that could be caught).
int output_failure;
int error_failure;
bool unwritten_file;

void flush_and_note(std::FILE* stream, int* failure)
{
    errno = 0;
    const bool flushed = std::fflush(stream) == 0;
    const int reason = errno;
    if ((!flushed || std::ferror(stream) != 0) && *failure == 0) {
        *failure = reason != 0 ? reason : EIO;
    }
}

} // namespace

void open_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is this one, since those below it are open.
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0) {
            _exit(kUnwrittenStatus); // nowhere to report it: not even /dev/null opens
        }
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void note_unwritten_file()
{
    unwritten_file = true;
}

void flush_standard_output()
{
    flush_and_note(stdout, &output_failure);
}

void flush_standard_error()
{
    flush_and_note(stderr, &error_failure);
}

int finish_standard_streams(int status)
{
    flush_standard_output();
    flush_standard_error();
    if (output_failure != 0 && error_failure == 0) {
        std::fprintf(stderr, "ERROR:  Unable to write to standard output: %s \n", std::strerror(output_failure));
        flush_standard_error();
    }
    if (status != 0) {
        return status;
    }
    return (output_failure != 0 || error_failure != 0 || unwritten_file) ? kUnwrittenStatus : 0;
}

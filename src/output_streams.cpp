// SPDX-License-Identifier: MIT
// Quiet mode's split of standard output: a duplicate of descriptor 1 wrapped in
// its own stream for the listing, and /dev/null put in place as descriptor 1
// under the C stdout stream. The
// private stream is flushed by the process's ordinary exit, like stdout.
#include "output_streams.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
std::FILE* listing;
constexpr std::size_t kListingBufferSize = std::size_t{1} << 20;
} // namespace

std::FILE* listing_stream()
{
    return listing != nullptr ? listing : stdout;
}

bool begin_quiet_output()
{
    const int null_device = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_device < 0) {
        return false;
    }
    const int descriptor = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    std::FILE* stream = descriptor < 0 ? nullptr : fdopen(descriptor, "w");
    if (stream == nullptr) {
        if (descriptor >= 0) {
            close(descriptor);
        }
        close(null_device);
        return false;
    }
    // A listing of hundreds of thousands of lines: large writes into a pipe or
    // a file, the usual line buffering on a terminal.
    if (!isatty(descriptor)) {
        static char buffer[kListingBufferSize];
        std::setvbuf(stream, buffer, _IOFBF, sizeof buffer);
    }
    if (dup2(null_device, STDOUT_FILENO) < 0) {
        std::fclose(stream);
        close(null_device);
        return false;
    }
    close(null_device);
    listing = stream;
    return true;
}

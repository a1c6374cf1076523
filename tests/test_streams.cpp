// SPDX-License-Identifier: MIT
// Standard descriptors and the run's exit status, each case in a child process
// of its own (the bookkeeping lasts for the process): closed descriptors
// reopened on /dev/null, write failures of either stream, unwritten files.
#include "standard_streams.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ends the child with 0 when fd is open on the device at path, 1 otherwise.
[[noreturn]] void exit_with_whether_on(int fd, const char* path)
{
    struct stat on_fd, device;
    const bool same = fstat(fd, &on_fd) == 0 && stat(path, &device) == 0 && on_fd.st_rdev == device.st_rdev &&
                      S_ISCHR(on_fd.st_mode);
    _exit(same ? 0 : 1);
}

[[noreturn]] void exit_with_whether_on_dev_null(int fd)
{
    exit_with_whether_on(fd, "/dev/null");
}

void point_at(int fd, const char* path)
{
    const int opened = open(path, O_WRONLY);
    if (opened >= 0) {
        dup2(opened, fd);
        close(opened);
    }
}

} // namespace

TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull)
{
    for (int fd = 0; fd <= 2; ++fd) {
        SCOPED_TRACE(fd);
        EXPECT_EXIT(
            {
                close(fd);
                open_standard_descriptors();
                // The next file opened must not land on the standard descriptor.
                const int next = open("/dev/zero", O_RDONLY);
                if (next <= 2) {
                    _exit(2);
                }
                exit_with_whether_on_dev_null(fd);
            },
            testing::ExitedWithCode(0), "")
            << "descriptor " << fd << " reopened on /dev/null (1), or a later open took it (2)";
    }
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            open_standard_descriptors();
            for (int fd = 0; fd <= 2; ++fd) {
                struct stat info;
                if (fstat(fd, &info) != 0) {
                    _exit(1);
                }
            }
            exit_with_whether_on_dev_null(1);
        },
        testing::ExitedWithCode(0), "")
        << "all three closed: all three opened, standard output on /dev/null";
}

TEST(StandardDescriptors, OpenOnesAreLeftAlone)
{
    EXPECT_EXIT(
        {
            point_at(STDOUT_FILENO, "/dev/zero");
            open_standard_descriptors();
            exit_with_whether_on(STDOUT_FILENO, "/dev/zero");
        },
        testing::ExitedWithCode(0), "")
        << "an open standard output keeps what it points at";
}

TEST(RunStatus, WriteFailuresAndUnwrittenFilesEndWithStatusOne)
{
    // The death-test child's standard error is matched against the pattern.
    EXPECT_EXIT(
        {
            point_at(STDOUT_FILENO, "/dev/null");
            std::fputs("listing", stdout);
            std::exit(finish_standard_streams(0));
        },
        testing::ExitedWithCode(0), "^$")
        << "nothing failed: status 0, nothing on standard error";
    EXPECT_EXIT(
        {
            point_at(STDOUT_FILENO, "/dev/full");
            std::fputs("listing", stdout);
            std::exit(finish_standard_streams(0));
        },
        testing::ExitedWithCode(1), "^ERROR:  Unable to write to standard output: No space left on device \n$")
        << "standard output on a full device: one error line and status 1";
    EXPECT_EXIT(
        {
            point_at(STDOUT_FILENO, "/dev/full");
            std::fputs("listing", stdout);
            flush_standard_output(); // the failure is met mid-run, before the last flush
            std::fputs("more", stdout);
            std::exit(finish_standard_streams(0));
        },
        testing::ExitedWithCode(1), "^ERROR:  Unable to write to standard output: No space left on device \n$")
        << "a failure met mid-run is reported once, at the end";
    EXPECT_EXIT(
        {
            point_at(STDOUT_FILENO, "/dev/full");
            std::fputs("listing", stdout);
            std::exit(finish_standard_streams(-1));
        },
        testing::ExitedWithCode(255), "^ERROR:  Unable to write to standard output: No space left on device \n$")
        << "a run that already failed keeps its own status";
    EXPECT_EXIT(
        {
            point_at(STDERR_FILENO, "/dev/full");
            std::fputs("progress", stderr);
            std::exit(finish_standard_streams(0));
        },
        testing::ExitedWithCode(1), "")
        << "standard error on a full device: status 1";
    EXPECT_EXIT(
        {
            note_unwritten_file();
            std::exit(finish_standard_streams(0));
        },
        testing::ExitedWithCode(1), "^$")
        << "an unwritten file: status 1, its own line was printed where it failed";
}

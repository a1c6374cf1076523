// SPDX-License-Identifier: MIT
// The decoder's confinement, in forked processes: what it must stop ends the
// process with SIGSYS; what decoding and the hand-over need still works.
#include "confinement.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs action in a confined child; returns its wait status.
int status_of_confined(int (*action)(int readable, int memory_file), int readable, int memory_file)
{
    const pid_t child = fork();
    if (child == 0) {
        std::string why;
        if (!confine_decoder(&why)) {
            _exit(100);
        }
        _exit(action(readable, memory_file));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

int opens_a_file(int, int)
{
    return open("/etc/hostname", O_RDONLY) >= 0 ? 0 : 1;
}

int opens_a_socket(int, int)
{
    return socket(AF_INET, SOCK_STREAM, 0) >= 0 ? 0 : 1;
}

int runs_a_program(int, int)
{
    char* const args[] = {const_cast<char*>("/bin/true"), nullptr};
    execv("/bin/true", args);
    return 1;
}

int starts_a_process(int, int)
{
    const pid_t p = fork();
    if (p == 0) {
        _exit(0);
    }
    return p > 0 ? 0 : 1;
}

int signals_another_process(int, int)
{
    return kill(getppid(), 0) == 0 ? 0 : 1;
}

// Reads the given descriptor, allocates and fills 64 MiB, writes the memory file.
int decodes_and_hands_over(int readable, int memory_file)
{
    char byte = 0;
    if (read(readable, &byte, 1) != 1 || byte != 'x') {
        return 2;
    }
    const std::size_t size = std::size_t{64} << 20;
    char* block = static_cast<char*>(std::malloc(size));
    if (block == nullptr) {
        return 3;
    }
    std::memset(block, 7, size);
    const bool written = pwrite(memory_file, block, 4096, 0) == 4096;
    std::free(block);
    return written ? 0 : 4;
}

} // namespace

TEST(Confinement, StopsWhatADecoderNeverNeedsAndAllowsWhatItDoes)
{
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0) << "a pipe to read from";
    const int memory_file = memfd_create("confinement-test", MFD_CLOEXEC);
    ASSERT_GE(memory_file, 0) << "a memory file to write to";

    struct confinement_case {
        const char* name;
        int (*action)(int, int);
        bool stopped;
    };
    const confinement_case cases[] = {
        {"open a file", opens_a_file, true},
        {"open an internet socket", opens_a_socket, true},
        {"run a program", runs_a_program, true},
        {"start a process", starts_a_process, true},
        {"signal another process", signals_another_process, true},
        {"read, allocate and write the memory file", decodes_and_hands_over, false},
    };
    for (const confinement_case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(write(pipe_ends[1], "x", 1), 1);
        const int status = status_of_confined(c.action, pipe_ends[0], memory_file);
        ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 100) << "the kernel refused the filter";
        if (c.stopped) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == kConfinementSignal)
                << "expected the process ended by SIGSYS, got status " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "expected a clean exit after reading, allocating and writing, got status " << status;
        }
        char drain[16];
        fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
        while (read(pipe_ends[0], drain, sizeof drain) > 0) {
        }
        fcntl(pipe_ends[0], F_SETFL, 0);
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    close(memory_file);
}

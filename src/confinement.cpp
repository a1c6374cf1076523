// SPDX-License-Identifier: MIT
// The decoder's system-call filter, built with libseccomp. Everything not
// listed kills the process. A few calls that libraries make out of habit
// (stat of a path) fail with EPERM instead, since failing them is harmless.
#include "confinement.h"

#include <seccomp.h>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Calls the decoders, the allocator and the hand-over need, on any argument:
// they act only on memory or on descriptors the process already holds.
const int kAllowed[] = {
    SCMP_SYS(read), SCMP_SYS(pread64), SCMP_SYS(readv), SCMP_SYS(preadv), SCMP_SYS(lseek),
    SCMP_SYS(write), SCMP_SYS(pwrite64), SCMP_SYS(writev), SCMP_SYS(pwritev),
    SCMP_SYS(fstat), SCMP_SYS(ftruncate), SCMP_SYS(close), SCMP_SYS(fcntl),
    SCMP_SYS(sendto), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg), SCMP_SYS(recvmsg),
    SCMP_SYS(poll), SCMP_SYS(ppoll),
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise),
    SCMP_SYS(mprotect),
    SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_yield),
    SCMP_SYS(sched_getaffinity),
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getrandom), SCMP_SYS(sysinfo), SCMP_SYS(uname),
    SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep),
    SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack),
    SCMP_SYS(exit), SCMP_SYS(exit_group),
};

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers' runtime tests whether memory is readable by writing it into
// a pipe of its own (when a thread starts, for one): only in that build.
const int kSanitizerAllowed[] = {SCMP_SYS(pipe2), SCMP_SYS(pipe)};
#endif

// Calls that fail harmlessly: a path's status tells the decoder nothing it needs.
const int kRefused[] = {SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(stat), SCMP_SYS(lstat),
                        SCMP_SYS(clone3)};

// glibc keeps the first two real-time signals (32 and 33) for its threads.
constexpr int kFirstLibrarySignal = 32;
constexpr int kLastLibrarySignal = 33;

std::string failure(const char* what, int code)
{
    return std::string(what) + ": " + std::strerror(code < 0 ? -code : code);
}

} // namespace

bool confine_decoder(std::string* why)
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = failure("no_new_privs", errno);
        return false;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) {
        *why = "the system-call filter could not be set up";
        return false;
    }
    int rc = 0;
    for (int call : kAllowed) {
        if (rc == 0) {
            rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
        }
    }
#if defined(__SANITIZE_ADDRESS__)
    for (int call : kSanitizerAllowed) {
        if (rc == 0) {
            rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
        }
    }
#endif
    for (int call : kRefused) {
        if (rc == 0) {
            rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(call == SCMP_SYS(clone3) ? ENOSYS : EPERM), call, 0);
        }
    }
    // Threads, never processes: clone only with CLONE_THREAD.
    if (rc == 0) {
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                              SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
    }
    // The C library's own real-time signals, whose handlers it installs when
    // it starts the census's second thread; no other handler may change.
    for (int internal = kFirstLibrarySignal; internal <= kLastLibrarySignal; ++internal) {
        if (rc == 0) {
            rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(rt_sigaction), 1,
                                  SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(internal)));
        }
    }
    // Signals only to itself: abort() and a failed assertion still end it as a crash.
    const scmp_datum_t self = static_cast<scmp_datum_t>(getpid());
    if (rc == 0) {
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(kill), 1, SCMP_A0(SCMP_CMP_EQ, self));
    }
    if (rc == 0) {
        rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self));
    }
    if (rc == 0) {
        rc = seccomp_load(filter);
    }
    seccomp_release(filter);
    if (rc != 0) {
        *why = failure("the kernel refused the system-call filter", rc);
        return false;
    }
    return true;
}

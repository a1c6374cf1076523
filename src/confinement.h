// SPDX-License-Identifier: MIT
// Confines the decoder process before it reads a byte of the picture: no new
// privileges, and a system-call filter that allows memory, reading and writing
// the descriptors it already holds, threads, and ending. Opening files,
// sockets, running programs, new processes, tracing and signals to other
// processes end it with SIGSYS. Which descriptors it holds is the caller's job.
#ifndef OMBRIX_CONFINEMENT_H
#define OMBRIX_CONFINEMENT_H

#include <csignal>
#include <string>

// The signal a process receives when the filter stops it.
constexpr int kConfinementSignal = SIGSYS;

// Installs the filter on the calling process. False, with *why set, where the
// kernel refuses it (the process then runs unconfined).
bool confine_decoder(std::string* why);

#endif

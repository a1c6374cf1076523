// SPDX-License-Identifier: MIT
// The process's standard descriptors and the run's exit status: descriptors 0,
// 1 and 2 kept open, write failures of standard output and standard error (and
// of the files the run writes) remembered and turned into status 1 at the end.
// Says nothing about what is printed; the steps print their own lines.
#ifndef OMBRIX_STANDARD_STREAMS_H
#define OMBRIX_STANDARD_STREAMS_H

constexpr int kUnwrittenStatus = 1;

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so no file
// or connection opened later (the X connection) can take their place and
// receive what is meant for standard output. Call it before anything else.
void open_standard_descriptors();

// A file the run should have written was not written (its own error line is
// printed by the caller): the run ends with status 1.
void note_unwritten_file();

// Flush the stream now, remembering why a failed write or flush failed.
void flush_standard_output();
void flush_standard_error();

// Flushes both streams for the last time. When standard output could not be
// written, prints one ERROR: line saying why on standard error (when that still
// works). Returns the status the process should end with: status itself when
// it is not 0, else 1 after any write failure, else 0.
int finish_standard_streams(int status);

#endif

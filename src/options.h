// SPDX-License-Identifier: MIT
// Command-line options: parses the arguments before anything starts, and holds
// the choices in one global for the run. Running the choices is left to the
// run sequence; reading the picture is left to the intake.
#ifndef OMBRIX_OPTIONS_H
#define OMBRIX_OPTIONS_H

#include <cstdio>

struct run_options {
    bool quiet;                // -q: standard output carries only the listing
    bool no_window;            // -n: no video, no settings file, no window
    const char* chart_path;    // -o: null keeps the usual chart file
    const char* palette_path;  // -p: null writes no palette
    const char* picture;       // the first non-option argument; null if none
};

extern run_options options;

// Exit status of a usage error (an unknown option, a missing file name).
constexpr int kUsageStatus = 2;

// What parse_options asks the caller to do.
enum class parse_result {
    run,          // go on with the run described by options
    exit_success, // --help or --version was printed: end with status 0
    usage_error,  // one line went to errors: end with kUsageStatus
};

// Parses argv in POSIX order (options stop at the first non-option argument,
// "--" ends them) into options. Help and version text go to out, the one-line
// usage error to errors. Can be called more than once (tests do).
parse_result parse_options(int argc, char** argv, std::FILE* out, std::FILE* errors);

#endif

// SPDX-License-Identifier: MIT
// The option parser over getopt_long, the help text and the version line.
// Everything after the picture argument is ignored, as it always was.
#include "options.h"

#include "version.h"

#include <cstring>
#include <getopt.h>

run_options options;

namespace {

constexpr char kProgramName[] = "ombrix";
// A leading '+' stops at the first non-option argument whatever POSIXLY_CORRECT
// says; a leading ':' makes a missing option argument return ':' (quietly).
constexpr char kShortOptions[] = "+:hnqo:p:";
constexpr int kVersionOption = 256; // --version has no short form

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption},
    {"no-window", no_argument, nullptr, 'n'},
    {"quiet", no_argument, nullptr, 'q'},
    {"chart", required_argument, nullptr, 'o'},
    {"palette", required_argument, nullptr, 'p'},
    {nullptr, 0, nullptr, 0},
};

constexpr char kUsage[] =
    "Usage: ombrix [OPTION]... PICTURE\n"
    "Lists the colours of PICTURE, one line \"R G B | COUNT\" per colour, draws them\n"
    "as a chart (output.bmp) and shows the picture in a window until Escape.\n"
    "A PICTURE of - is read from standard input.\n"
    "\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "  -n, --no-window       no window: list, write the chart, and exit\n"
    "  -q, --quiet           standard output carries only the colour listing\n"
    "  -o, --chart FILE      write the chart to FILE instead of output.bmp\n"
    "  -p, --palette FILE    also write the colours to FILE as a GIMP palette\n"
    "  --                    end of options (for a picture whose name starts with -)\n"
    "\n"
    "Exit status: 0 done; 1 a file or stream could not be written; 2 usage error;\n"
    "255 no picture, the picture could not be loaded, or no memory for the colours;\n"
    "128 + N ended by signal N.\n";

// Names the option getopt_long just refused as the user typed it: a long
// option with its "--" (and without any "=VALUE"), a short one as "-c".
void print_refused(char** argv, const char* why, std::FILE* errors)
{
    const char* typed = argv[optind - 1];
    if (std::strncmp(typed, "--", 2) == 0) {
        const std::size_t length = std::strcspn(typed, "=");
        std::fprintf(errors, "%s: %s '%.*s' (try '%s --help')\n", kProgramName, why, static_cast<int>(length),
                     typed, kProgramName);
    } else {
        std::fprintf(errors, "%s: %s '-%c' (try '%s --help')\n", kProgramName, why, optopt, kProgramName);
    }
}

} // namespace

parse_result parse_options(int argc, char** argv, std::FILE* out, std::FILE* errors)
{
    options = run_options{};
    optind = 0; // 0, not 1: also resets getopt's state inside a cluster of short options
    opterr = 0; // the messages are ours, one line each

    for (;;) {
        const int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (c == -1) {
            break;
        }
        switch (c) {
        case 'h':
            std::fputs(kUsage, out);
            return parse_result::exit_success;
        case kVersionOption:
            std::fprintf(out, "%s %s\n", kProgramName, kVersion);
            return parse_result::exit_success;
        case 'n':
            options.no_window = true;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'o':
        case 'p':
            if (optarg[0] == '\0') {
                std::fprintf(errors, "%s: option '%s' needs a file name, got an empty one\n", kProgramName,
                             c == 'o' ? "--chart" : "--palette");
                return parse_result::usage_error;
            }
            (c == 'o' ? options.chart_path : options.palette_path) = optarg;
            break;
        case ':':
            print_refused(argv, "missing file name for option", errors);
            return parse_result::usage_error;
        default:
            print_refused(argv, "unknown option", errors);
            return parse_result::usage_error;
        }
    }
    if (options.chart_path != nullptr && options.palette_path != nullptr
        && std::strcmp(options.chart_path, options.palette_path) == 0) {
        std::fprintf(errors, "%s: the chart and the palette cannot both be written to '%s'\n", kProgramName,
                     options.chart_path);
        return parse_result::usage_error;
    }
    options.picture = optind < argc ? argv[optind] : nullptr;
    return parse_result::run;
}

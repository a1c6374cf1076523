// SPDX-License-Identifier: MIT
// Palette chart: draws the colour list as "output.bmp" (or the path in
// chart_path), one 25-pixel band per colour with its swatch and its numbers in
// white text. Never shown on screen.
#ifndef OMBRIX_CHART_H
#define OMBRIX_CHART_H

constexpr int kChartWidth = 185;
constexpr int kBandHeight = 25; // also the swatch's width and height
constexpr int kTextX = 25;
constexpr int kFontPoints = 16;
// SDL 1.2 rectangles hold rows up to 32767: band k can be placed while 25 k
// fits, so the chart holds at most 1311 bands.
constexpr int kMaxBands = 32767 / kBandHeight + 1;
constexpr const char kFontFile[] = "Aaargh.ttf";
constexpr const char kChartFile[] = "output.bmp";

// Where the chart is written; kChartFile unless the command line names another.
extern const char* chart_path;

void visual_pixspit();
// Prepares memory for the chart on a thread of its own, while the picture
// decodes and the tool has nothing else to do; visual_pixspit then draws a
// large chart on it instead of faulting new memory in. Optional.
void chart_prepare();

#endif

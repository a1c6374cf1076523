// SPDX-License-Identifier: MIT
// Offsets within the hand-over file, shared by the decoder and the tool.
#include "handover.h"

namespace {
constexpr std::size_t kAlign = 4096;

std::size_t round_up(std::size_t n)
{
    return (n + kAlign - 1) / kAlign * kAlign;
}
} // namespace

std::size_t handover_list_offset()
{
    return round_up(sizeof(handover_header));
}

std::size_t handover_crop_offset(std::uint64_t colour_count)
{
    return handover_list_offset() + round_up(static_cast<std::size_t>(colour_count) * sizeof(handover_colour));
}

std::size_t handover_crop_pitch(std::int32_t w, std::uint32_t bytes_per_pixel)
{
    return (static_cast<std::size_t>(w) * bytes_per_pixel + 3) / 4 * 4;
}

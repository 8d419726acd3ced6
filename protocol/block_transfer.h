// Block transfers: a buffer written 56 bytes a frame, the config area read a
// piece at a time, both with numbered frames and whole-percent progress.
#pragma once

#include <cstdint>
#include <span>

#include "base/command_frame.h"

namespace Vantri {

// Called when the whole percent of a transfer changes: (device index,
// percent 0-100, reserved 0). Runs on the worker thread; must not block.
using ProgressCallback = void (*)(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t reserved);

inline constexpr std::uint32_t kConfigAreaSize = 65536;
inline constexpr std::uint8_t kReadPieceCommand = 14;

// Sends `data` as frames of `command`, each carrying the block counter's
// value and then advancing it. Progress is (base + bytes sent) of `total`.
ResultRecord WriteBlock(std::uint32_t deviceIndex, std::uint8_t command, std::uint16_t& blockCounter,
                        const std::uint8_t* data, std::uint32_t length, ProgressCallback progress,
                        std::uint32_t baseOffset, std::uint32_t progressTotal);

// Reads the 65,536-byte config area of the device (the first, unless told
// another) with command 14.
ResultRecord ReadBlock(std::uint16_t& blockCounter, std::span<std::uint8_t, kConfigAreaSize> destination,
                       ProgressCallback progress, std::uint32_t deviceIndex = 0);

} // namespace Vantri

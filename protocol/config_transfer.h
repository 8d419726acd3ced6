// The adapter's three config stores moved whole: the config area read, the
// config area written together with the primary block region, and the
// overflow block region written. Each is a begin command, a block transfer
// and an end command carrying the block counter; all go to device 0.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/block_transfer.h"
#include "base/command_frame.h"

namespace Vantri {

inline constexpr std::uint8_t kConfigWriteBeginCommand = 4;
inline constexpr std::uint8_t kConfigWriteDataCommand = 5;
inline constexpr std::uint8_t kConfigWriteEndCommand = 6;
inline constexpr std::uint8_t kPrimaryBeginCommand = 7;
inline constexpr std::uint8_t kPrimaryDataCommand = 8;
inline constexpr std::uint8_t kPrimaryEndCommand = 9;
inline constexpr std::uint8_t kConfigReadBeginCommand = 13;
inline constexpr std::uint8_t kConfigReadEndCommand = 16;
inline constexpr std::uint8_t kOverflowBeginCommand = 27;
inline constexpr std::uint8_t kOverflowDataCommand = 28;
inline constexpr std::uint8_t kOverflowEndCommand = 29;

// The two block regions a restore rebuilds: 16 slots of 16,384 bytes, and
// 8 slots of 10,912 bytes packed from offset 0.
inline constexpr std::uint32_t kPrimaryRegionSize = 262144;
inline constexpr std::uint32_t kOverflowRegionSize = 131072;

// The config operations work on the first adapter, device 0, unless told
// another: the console program may be asked for the one at a given path.

// Reads the config area of the device into `destination`. After a failure
// the destination holds whatever pieces had arrived.
ResultRecord ReadConfigArea(std::span<std::uint8_t, kConfigAreaSize> destination, ProgressCallback progress,
                            std::uint32_t deviceIndex = 0);

// Writes `image` (commands 4, 5, 6) and then `primary` (7, 8, 9) to the
// device, on one percent scale: the image fills 0 to 20, the region 20 to 100.
ResultRecord WriteConfigRegions(std::span<const std::uint8_t, kConfigAreaSize> image,
                                std::span<const std::uint8_t, kPrimaryRegionSize> primary,
                                ProgressCallback progress = nullptr, std::uint32_t deviceIndex = 0);

// Writes `overflow` (commands 27, 28, 29) to the device, 0 to 100.
ResultRecord WriteOverflowRegion(std::span<const std::uint8_t, kOverflowRegionSize> overflow,
                                 ProgressCallback progress = nullptr, std::uint32_t deviceIndex = 0);

} // namespace Vantri

// Writing the carried firmware image to an adapter, and the two commands a
// factory reset sends before it.
#pragma once

#include <cstdint>

#include "protocol/block_transfer.h"
#include "base/command_frame.h"

namespace Vantri {

inline constexpr std::uint8_t kEraseConfigsCommand = 10;
inline constexpr std::uint8_t kEraseSettingsCommand = 11;
inline constexpr std::uint8_t kImageBeginCommand = 1;
inline constexpr std::uint8_t kImageDataCommand = 2;
inline constexpr std::uint8_t kImageEndCommand = 3;

// The argument of one flash worker: device index in bits 0 to 30, the
// factory-reset flag in bit 31.
using FlashJob = std::uint32_t;
inline constexpr FlashJob kFlashJobFactoryReset = 0x80000000u;
inline constexpr FlashJob kFlashJobIndexMask = 0x7FFFFFFFu;

constexpr FlashJob MakeFlashJob(std::uint32_t deviceIndex, bool factoryReset)
{
    return (deviceIndex & kFlashJobIndexMask) | (factoryReset ? kFlashJobFactoryReset : 0u);
}

constexpr std::uint32_t FlashJobDeviceIndex(FlashJob job)
{
    return job & kFlashJobIndexMask;
}

constexpr bool FlashJobIsFactoryReset(FlashJob job)
{
    return (job & kFlashJobFactoryReset) != 0;
}

// Returned, before anything is sent, when there is no image that can be sent
// whole: none at all, or one too large for the 16-bit block counter.
inline constexpr std::uint32_t kNoFirmwareImageCode = kCustomerCodeBit | 0x10;
inline constexpr char16_t kNoFirmwareImage[] = u"No usable firmware image";

// The largest image whose frames all carry distinct block counters (1 to
// 65,535) and whose end command still fits the counter.
inline constexpr std::uint32_t kMaxFirmwareSize = 65534u * kFrameDataSize;

} // namespace Vantri

// The carried image: the resource's read-only bytes and their count. Set on
// the main thread before any worker is queued, only read afterwards.
extern const std::uint8_t* g_firmwareImage;
extern std::uint32_t g_firmwareSize;

namespace Vantri {

bool FirmwareImageUsable();

// Writes the carried image to one adapter: begin, the pieces, end. Progress
// (percent of the image) goes to `progress` with this device index.
ResultRecord FlashFirmware(std::uint32_t deviceIndex, ProgressCallback progress);

// The device side of one flash worker: for a factory reset commands 10 and
// 11, then the image. The first failing command ends the job.
ResultRecord RunFlashJob(FlashJob job, ProgressCallback progress);

} // namespace Vantri

// The adapter's information pages, its firmware version and the rules that
// decide whether an adapter may be updated, backed up or restored.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/carried_firmware.h"
#include "base/command_frame.h"

namespace Vantri {

// Firmware dated up to and including this day has a config format that only
// a factory reset can bring forward.
inline constexpr std::uint32_t kLastOutdatedFirmwareDate = 20141114;

inline constexpr std::uint8_t kDeviceInfoCommand = 21;
inline constexpr std::uint32_t kFirmwareVersionSize = 24;

struct DeviceInfo {
    std::uint8_t page2Tail[16];
    std::uint8_t page3Head[4];
    std::uint8_t page3Body[24];
    std::uint8_t page2Head[4];
    char firmwareVersion[kFirmwareVersionSize];
};
static_assert(sizeof(DeviceInfo) == 72);

// Reads information pages 2 and 3 of a device: the first, unless told another.
ResultRecord ReadDeviceInfo(DeviceInfo& info, std::uint32_t deviceIndex = 0);

// The eight date digits at positions 5 to 12 of a version text, read as a
// decimal number the way strtol would. Positions beyond the text's storage
// read as its end.
std::uint32_t FirmwareDateNumber(std::span<const char> versionText);

// The version text for display: up to its terminator, at most 24 characters
// when the adapter sent none.
std::string_view FirmwareVersionText(const DeviceInfo& info);

enum class UpdateOutcome {
    TooOld,         // only a factory reset serves it; nothing is written
    UpgradeOffered, // ask to go from the adapter's version to the carried one
    UpToDate,       // same or newer than the carried firmware; no downgrade
};

UpdateOutcome UpdateRule(std::uint32_t adapterDate, std::uint32_t carriedDate);

// Backup and restore refuse firmware whose config format is out of date.
bool ConfigRuleAllows(std::uint32_t adapterDate);

} // namespace Vantri

// The config area as the adapter holds it and as a backup file stores it:
// 65,536 bytes, no header. Little-endian throughout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/block_transfer.h"

namespace Vantri {

inline constexpr std::size_t kConfigImageSize = kConfigAreaSize;

// Bytes 0 to 3,039 stay the adapter's own: zero in a backup file, replaced by
// the adapter's current bytes before a restore writes anything.
inline constexpr std::size_t kPreservedAreaSize = 3040;

// Unsigned 32-bit: the number of blocks a restore placed in the two regions.
inline constexpr std::size_t kBlockCountOffset = 3040;

// 24 entries of 2,580 bytes; the last ends exactly at the end of the image.
inline constexpr std::size_t kEntryTableOffset = 3616;
inline constexpr std::size_t kConfigEntrySize = 2580;
inline constexpr std::size_t kConfigEntryCount = 24;

// Fields within one entry.
inline constexpr std::size_t kEntryInUseOffset = 0;  // non-zero: in use; zero: this and every later entry free
inline constexpr std::size_t kEntryGameIdOffset = 50; // unsigned 16-bit
inline constexpr std::size_t kEntryKindOffset = 53;   // 0 to 3

static_assert(kEntryTableOffset + kConfigEntrySize * kConfigEntryCount == kConfigImageSize);

constexpr std::size_t ConfigEntryOffset(std::size_t entry)
{
    return kEntryTableOffset + kConfigEntrySize * entry;
}

} // namespace Vantri

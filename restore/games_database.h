// The games database as far as the conversion reads it, and a view of the
// downloaded body that refuses every read reaching past its end: every
// location in the body comes from the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace Vantri {

// Header: 10,332 bytes not interpreted, then recordCount.
inline constexpr std::size_t kRecordCountOffset = 10332;
inline constexpr std::size_t kRecordTableOffset = 10336;
inline constexpr std::size_t kMinDatabaseSize = kRecordTableOffset;

// GameRecord: unsigned 32-bit game id, 12 bytes not interpreted, then four
// unsigned 32-bit offsets of BlockPairs, for kind 0 to 3.
inline constexpr std::size_t kGameRecordSize = 32;
inline constexpr std::size_t kRecordGameIdOffset = 0;
inline constexpr std::size_t kRecordKindOffsetsOffset = 16;
inline constexpr std::uint32_t kKindCount = 4;

// BlockPair: offsets of the first and the second block.
inline constexpr std::size_t kBlockPairSize = 8;

// Block: 48 bytes not interpreted, then the data that goes to a region.
inline constexpr std::size_t kBlockDataOffset = 48;
inline constexpr std::size_t kBlockDataSize = 5456;

// An offset of 0 names no location; it never means byte 0.
inline constexpr std::uint32_t kNoLocation = 0;

class DatabaseView {
public:
    explicit DatabaseView(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t Size() const { return bytes_.size(); }

    // `count` bytes at `offset`, or nullopt when any of them lies outside.
    std::optional<std::span<const std::uint8_t>> Bytes(std::uint64_t offset, std::uint64_t count) const
    {
        if (offset > bytes_.size() || count > bytes_.size() - offset)
            return std::nullopt;
        return bytes_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
    }

    // Little-endian unsigned 32-bit at `offset`.
    std::optional<std::uint32_t> U32(std::uint64_t offset) const
    {
        const auto field = Bytes(offset, 4);
        if (!field)
            return std::nullopt;
        return static_cast<std::uint32_t>((*field)[0]) | static_cast<std::uint32_t>((*field)[1]) << 8 |
               static_cast<std::uint32_t>((*field)[2]) << 16 | static_cast<std::uint32_t>((*field)[3]) << 24;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

} // namespace Vantri

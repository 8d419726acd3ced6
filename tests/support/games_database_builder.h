// Writes games databases for tests and benchmarks: chosen records, ids,
// kinds and block contents, in the layout the conversion reads. Header only,
// for the native tests, the fuzz targets and the benchmarks alike;
// tests/support/make_games_database.py writes the same layout for the local
// update host.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "restore/games_database.h"

namespace VantriTest {

using BlockData = std::array<std::uint8_t, Vantri::kBlockDataSize>;

// Data that tells games, kinds and the two halves of a pair apart at every
// byte (make_games_database.py computes the same).
inline BlockData BlockPattern(std::uint32_t gameId, std::uint32_t kind, std::uint32_t half)
{
    BlockData data;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(gameId * 7 + kind * 31 + half * 101 + i + (i >> 8));
    return data;
}

class GamesDatabaseBuilder {
public:
    // `recordCount` records, all with id 0 and no locations, right after
    // the header; pairs and blocks are placed after them.
    explicit GamesDatabaseBuilder(std::uint32_t recordCount)
        : bytes_(Vantri::kRecordTableOffset + std::size_t{recordCount} * Vantri::kGameRecordSize)
    {
        Put(Vantri::kRecordCountOffset, recordCount);
        // The bytes the conversion does not interpret are not zero in a real
        // database either.
        for (std::size_t i = 0; i < Vantri::kRecordCountOffset; ++i)
            bytes_[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }

    void SetGameId(std::uint32_t record, std::uint32_t gameId) { Put(RecordOffset(record), gameId); }

    // Offset of a new block whose data is `data` (48 header bytes before it).
    std::uint32_t AddBlock(const BlockData& data)
    {
        const std::size_t offset = bytes_.size();
        bytes_.resize(offset + Vantri::kBlockDataOffset, 0xB1);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        return static_cast<std::uint32_t>(offset);
    }

    // Offset of a new BlockPair.
    std::uint32_t AddPair(std::uint32_t firstBlock, std::uint32_t secondBlock)
    {
        const std::size_t offset = bytes_.size();
        bytes_.resize(offset + Vantri::kBlockPairSize);
        Put(offset, firstBlock);
        Put(offset + 4, secondBlock);
        return static_cast<std::uint32_t>(offset);
    }

    void SetKind(std::uint32_t record, std::uint32_t kind, std::uint32_t pairOffset)
    {
        Put(RecordOffset(record) + Vantri::kRecordKindOffsetsOffset + 4 * kind, pairOffset);
    }

    // Record `record` carries `gameId`, and each of its four kinds a pair of
    // two blocks holding BlockPattern(patternId, kind, 0 and 1).
    void SetGame(std::uint32_t record, std::uint32_t gameId, std::uint32_t patternId)
    {
        SetGameId(record, gameId);
        for (std::uint32_t kind = 0; kind < Vantri::kKindCount; ++kind) {
            const std::uint32_t first = AddBlock(BlockPattern(patternId, kind, 0));
            const std::uint32_t second = AddBlock(BlockPattern(patternId, kind, 1));
            SetKind(record, kind, AddPair(first, second));
        }
    }
    void SetGame(std::uint32_t record, std::uint32_t gameId) { SetGame(record, gameId, gameId); }

    // Any field written raw, for databases that are wrong on purpose.
    void Put(std::size_t offset, std::uint32_t value)
    {
        if (bytes_.size() < offset + 4)
            bytes_.resize(offset + 4);
        for (std::size_t i = 0; i < 4; ++i)
            bytes_[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }

    static std::size_t RecordOffset(std::uint32_t record)
    {
        return Vantri::kRecordTableOffset + std::size_t{record} * Vantri::kGameRecordSize;
    }

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

} // namespace VantriTest

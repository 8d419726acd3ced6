#include "restore/conversion.h"

#include <cstring>
#include <optional>
#include <utility>

#include "restore/config_image.h"
#include "restore/games_database.h"
#include "restore/restore_buffers.h"

namespace Vantri {

namespace {

// Blocks placed below this go to the primary region, from it on to the
// overflow region: the counter decides, not the entry's index.
constexpr std::uint32_t kPrimaryBlockLimit = 32;
constexpr std::size_t kPrimarySlotSize = 16384;
constexpr std::size_t kPrimarySecondBlock = 8192;
constexpr std::size_t kOverflowSlotSize = 10912;
constexpr std::size_t kOverflowSecondBlock = 5456;

static_assert(kPrimarySlotSize * 16 == kPrimaryRegionSize);
static_assert(kOverflowSlotSize * 8 <= kOverflowRegionSize);
static_assert(kOverflowSecondBlock == kBlockDataSize);

struct BlockSources {
    std::span<const std::uint8_t> first;
    std::span<const std::uint8_t> second;
};

// The run's one database stays until the program ends. A second conversion
// never happens in a run; were it to, the first body would go with it.
void KeepDatabase(DownloadBody* database)
{
    if (g_gamesDatabase.get() != database)
        g_gamesDatabase.reset(database);
}

// The record table must lie inside the body as a whole before any entry is
// looked up: a count the body cannot hold is a broken download.
std::optional<std::uint32_t> RecordCount(const DatabaseView& database)
{
    const std::optional<std::uint32_t> count = database.U32(kRecordCountOffset);
    if (!count || !database.Bytes(kRecordTableOffset, std::uint64_t{*count} * kGameRecordSize))
        return std::nullopt;
    return count;
}

// The first record that carries `gameId`: a linear scan, lowest index wins.
std::optional<std::uint64_t> FindRecord(const DatabaseView& database, std::uint32_t recordCount,
                                        std::uint32_t gameId)
{
    for (std::uint32_t r = 0; r < recordCount; ++r) {
        const std::uint64_t record = kRecordTableOffset + std::uint64_t{kGameRecordSize} * r;
        if (database.U32(record + kRecordGameIdOffset) == gameId)
            return record;
    }
    return std::nullopt;
}

std::optional<std::span<const std::uint8_t>> BlockData(const DatabaseView& database, std::uint32_t blockOffset)
{
    if (blockOffset == kNoLocation)
        return std::nullopt;
    return database.Bytes(std::uint64_t{blockOffset} + kBlockDataOffset, kBlockDataSize);
}

// Nullopt when any location the record gives for `kind` is missing or
// reaches outside the body.
std::optional<BlockSources> FindBlocks(const DatabaseView& database, std::uint64_t record, std::uint32_t kind)
{
    const std::optional<std::uint32_t> pair = database.U32(record + kRecordKindOffsetsOffset + 4 * kind);
    if (!pair || *pair == kNoLocation)
        return std::nullopt;
    const std::optional<std::uint32_t> firstOffset = database.U32(*pair);
    const std::optional<std::uint32_t> secondOffset = database.U32(std::uint64_t{*pair} + 4);
    if (!firstOffset || !secondOffset)
        return std::nullopt;
    const auto first = BlockData(database, *firstOffset);
    const auto second = BlockData(database, *secondOffset);
    if (!first || !second)
        return std::nullopt;
    return BlockSources{*first, *second};
}

std::uint32_t EntryGameId(const std::uint8_t* entry)
{
    return static_cast<std::uint32_t>(entry[kEntryGameIdOffset]) |
           static_cast<std::uint32_t>(entry[kEntryGameIdOffset + 1]) << 8;
}

void WriteBlockCount(std::uint32_t count)
{
    for (std::size_t i = 0; i < 4; ++i)
        g_restoreImage[kBlockCountOffset + i] = static_cast<std::uint8_t>(count >> (8 * i));
}

} // namespace

ConversionOutcome ConvertConfigs(DownloadBody* database)
{
    KeepDatabase(database);
    const DatabaseView view(database ? database->Bytes() : std::span<const std::uint8_t>{});
    const std::optional<std::uint32_t> recordCount = RecordCount(view);
    if (!recordCount)
        return ConversionOutcome::BrokenDatabase;

    std::uint32_t blockCounter = 0;
    std::uint8_t* primary = g_primaryRegion;
    std::uint8_t* overflow = g_overflowRegion;
    for (std::size_t i = 0; i < kConfigEntryCount; ++i) {
        const std::uint8_t* entry = g_restoreImage + ConfigEntryOffset(i);
        // The first free entry ends the table, whatever the later ones hold.
        if (entry[kEntryInUseOffset] == 0)
            break;
        const std::optional<std::uint64_t> record = FindRecord(view, *recordCount, EntryGameId(entry));
        if (!record)
            return ConversionOutcome::MissingGame;
        const std::uint32_t kind = entry[kEntryKindOffset];
        if (kind >= kKindCount)
            return ConversionOutcome::InvalidKind;
        const std::optional<BlockSources> blocks = FindBlocks(view, *record, kind);
        if (!blocks)
            return ConversionOutcome::BrokenDatabase;

        if (blockCounter < kPrimaryBlockLimit) {
            std::memcpy(primary, blocks->first.data(), kBlockDataSize);
            std::memcpy(primary + kPrimarySecondBlock, blocks->second.data(), kBlockDataSize);
            primary += kPrimarySlotSize;
        } else {
            std::memcpy(overflow, blocks->first.data(), kBlockDataSize);
            std::memcpy(overflow + kOverflowSecondBlock, blocks->second.data(), kBlockDataSize);
            overflow += kOverflowSlotSize;
        }
        blockCounter += 2;
    }
    WriteBlockCount(blockCounter);
    return ConversionOutcome::Converted;
}

} // namespace Vantri

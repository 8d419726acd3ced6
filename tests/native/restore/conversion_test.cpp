// The conversion of a backup's entries against a games database: which
// record and kind supply the blocks, where they land, what blockCount
// becomes, and that a database pointing outside itself is refused without a
// read out of bounds (ASan watches every copy).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "restore/conversion.h"
#include "tests/native/restore/restore_fixture.h"
#include "tests/support/games_database_builder.h"

namespace VantriTest {
namespace {

using Vantri::ConversionOutcome;
using Vantri::kBlockDataSize;

// What one converted entry must have left in its slot.
struct Placed {
    std::size_t entry;
    BlockData first;
    BlockData second;
};

Placed Pattern(std::size_t entry, std::uint32_t patternId, std::uint32_t kind)
{
    return {entry, BlockPattern(patternId, kind, 0), BlockPattern(patternId, kind, 1)};
}

struct ConversionCase {
    std::string name;
    // Entries 0, 1, ... as given; the rest free.
    std::vector<BackupEntry> entries;
    std::function<std::optional<std::vector<std::uint8_t>>()> database; // nullopt: no body at all
    ConversionOutcome outcome;
    std::optional<std::uint32_t> blockCount; // nullopt: left as the backup had it
    std::vector<Placed> placed;              // every other region byte stays zero
};

std::ostream& operator<<(std::ostream& out, const ConversionCase& c)
{
    return out << c.name;
}

constexpr std::uint32_t kOldBlockCount = 0xDEADBEEF;

// Ids 100 + n in records stored in reverse, so that a scan that stops too
// early or starts at the wrong end is seen.
std::vector<std::uint8_t> GamesDatabase(std::uint32_t games)
{
    GamesDatabaseBuilder builder(games);
    for (std::uint32_t n = 0; n < games; ++n)
        builder.SetGame(games - 1 - n, 100 + n);
    return builder.Bytes();
}

std::vector<BackupEntry> Games(std::uint32_t count, std::uint16_t firstId = 100)
{
    std::vector<BackupEntry> entries;
    for (std::uint32_t i = 0; i < count; ++i)
        entries.push_back({1, static_cast<std::uint16_t>(firstId + i), static_cast<std::uint8_t>(i % 4)});
    return entries;
}

std::vector<Placed> GamesPlaced(std::uint32_t count)
{
    std::vector<Placed> placed;
    for (std::uint32_t i = 0; i < count; ++i)
        placed.push_back(Pattern(i, 100 + i, i % 4));
    return placed;
}

// One game (id 7) whose kind-0 pair the caller breaks.
std::vector<std::uint8_t> BrokenGame(const std::function<void(GamesDatabaseBuilder&)>& breakIt)
{
    GamesDatabaseBuilder builder(1);
    builder.SetGame(0, 7);
    breakIt(builder);
    return builder.Bytes();
}

std::uint32_t KindZeroPair(const std::vector<std::uint8_t>& bytes)
{
    const std::size_t at = GamesDatabaseBuilder::RecordOffset(0) + Vantri::kRecordKindOffsetsOffset;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::vector<ConversionCase> Cases()
{
    std::vector<ConversionCase> cases = {
        {"AllTwentyFourInUse", Games(24), [] { return GamesDatabase(24); }, ConversionOutcome::Converted, 48,
         GamesPlaced(24)},
        {"EntryZeroFreeEndsTheTableAtOnce",
         {{kFree, 100, 0}, {1, 101, 0}, {1, 999, 9}},
         [] { return GamesDatabase(2); },
         ConversionOutcome::Converted,
         0,
         {}},
        {"FiveInUseThenAFreeOneHidesAMissingId",
         [] {
             auto entries = Games(5);
             entries.push_back({kFree, 0, 0});
             entries.push_back({1, 999, 0});
             return entries;
         }(),
         [] { return GamesDatabase(5); }, ConversionOutcome::Converted, 10, GamesPlaced(5)},
        {"SeventeenInUseTheLastGoesToOverflowSlotZero", Games(17), [] { return GamesDatabase(17); },
         ConversionOutcome::Converted, 34, GamesPlaced(17)},
        {"KindTwoTakesTheThirdOffsetKindZeroTheFirst",
         {{1, 100, 2}, {1, 100, 0}, {1, 100, 3}, {1, 100, 1}},
         [] { return GamesDatabase(1); },
         ConversionOutcome::Converted,
         8,
         {Pattern(0, 100, 2), Pattern(1, 100, 0), Pattern(2, 100, 3), Pattern(3, 100, 1)}},
        {"DuplicateIdsTheLowerRecordWins",
         {{1, 7, 1}},
         [] {
             GamesDatabaseBuilder builder(10);
             builder.SetGame(3, 7, 33);
             builder.SetGame(9, 7, 99);
             builder.SetGame(5, 8, 55);
             return builder.Bytes();
         },
         ConversionOutcome::Converted,
         2,
         {Pattern(0, 33, 1)}},
        {"EqualBlockOffsetsFillBothHalvesAlike",
         {{1, 7, 0}},
         [] {
             GamesDatabaseBuilder builder(1);
             builder.SetGameId(0, 7);
             const std::uint32_t block = builder.AddBlock(BlockPattern(7, 0, 0));
             builder.SetKind(0, 0, builder.AddPair(block, block));
             return builder.Bytes();
         },
         ConversionOutcome::Converted,
         2,
         {{0, BlockPattern(7, 0, 0), BlockPattern(7, 0, 0)}}},
        {"MissingIdInEntryThreeKeepsTheCopiesOfZeroToTwo",
         {{1, 100, 0}, {1, 101, 1}, {1, 102, 2}, {1, 999, 0}, {1, 103, 3}},
         [] { return GamesDatabase(4); },
         ConversionOutcome::MissingGame,
         std::nullopt,
         GamesPlaced(3)},
        {"SixteenBitIdMatchesTheWidenedRecordOnly",
         {{1, 0x1234, 0}},
         [] {
             GamesDatabaseBuilder builder(3);
             builder.SetGame(0, 0x00011234, 1);
             builder.SetGame(1, 0x80001234, 2);
             builder.SetGame(2, 0x00001234, 3);
             return builder.Bytes();
         },
         ConversionOutcome::Converted,
         2,
         {Pattern(0, 3, 0)}},
        {"SixteenBitIdWithOnlyHighBitRecordsIsMissing",
         {{1, 0x1234, 0}},
         [] {
             GamesDatabaseBuilder builder(1);
             builder.SetGame(0, 0x00011234);
             return builder.Bytes();
         },
         ConversionOutcome::MissingGame,
         std::nullopt,
         {}},
        {"EmptyRecordTableFailsTheFirstEntry", {{1, 0, 0}}, [] { return GamesDatabase(0); },
         ConversionOutcome::MissingGame, std::nullopt, {}},
        {"AnyNonZeroInUseByteCounts", {{0x80, 100, 0}, {0xFF, 101, 1}}, [] { return GamesDatabase(2); },
         ConversionOutcome::Converted, 4, GamesPlaced(2)},
        {"ABlockEndingExactlyAtTheBodysEndIsRead",
         {{1, 7, 0}},
         [] {
             GamesDatabaseBuilder builder(1);
             builder.SetGameId(0, 7);
             const std::uint32_t pair = builder.AddPair(0, 0);
             builder.SetKind(0, 0, pair);
             builder.Put(pair, builder.AddBlock(BlockPattern(7, 0, 0)));
             builder.Put(pair + 4, builder.AddBlock(BlockPattern(7, 0, 1)));
             return builder.Bytes(); // the second block's data is the body's last byte
         },
         ConversionOutcome::Converted,
         2,
         {Pattern(0, 7, 0)}},

        // A kind above 3 is the backup's fault.
        {"KindFourIsAnInvalidBackup", {{1, 100, 0}, {1, 100, 4}}, [] { return GamesDatabase(1); },
         ConversionOutcome::InvalidKind, std::nullopt, {Pattern(0, 100, 0)}},
        {"KindTwoHundredFiftyFiveIsAnInvalidBackup", {{1, 100, 255}}, [] { return GamesDatabase(1); },
         ConversionOutcome::InvalidKind, std::nullopt, {}},

        // A database that reaches outside itself is the download's fault.
        {"NoDatabaseAtAll", {{kFree, 0, 0}}, []() -> std::optional<std::vector<std::uint8_t>> { return std::nullopt; },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"BodyOneByteShorterThanTheHeader", {{kFree, 0, 0}},
         [] { return std::vector<std::uint8_t>(Vantri::kMinDatabaseSize - 1); }, ConversionOutcome::BrokenDatabase,
         std::nullopt, {}},
        {"RecordCountOneMoreThanTheBodyHolds", {{kFree, 0, 0}},
         [] {
             GamesDatabaseBuilder builder(2);
             builder.Put(Vantri::kRecordCountOffset, 3);
             return builder.Bytes();
         },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"RecordCountNearFourBillion", {{1, 7, 0}},
         [] {
             GamesDatabaseBuilder builder(1);
             builder.SetGame(0, 7);
             builder.Put(Vantri::kRecordCountOffset, 0xFFFFFFFF);
             return builder.Bytes();
         },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"KindOffsetZero", {{1, 7, 0}},
         [] { return BrokenGame([](GamesDatabaseBuilder& b) { b.SetKind(0, 0, Vantri::kNoLocation); }); },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"KindOffsetPastTheEnd", {{1, 7, 0}},
         [] { return BrokenGame([](GamesDatabaseBuilder& b) { b.SetKind(0, 0, 0xFFFFFFF0); }); },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"BlockPairHalfPastTheEnd", {{1, 7, 0}},
         [] {
             return BrokenGame([](GamesDatabaseBuilder& b) {
                 b.SetKind(0, 0, static_cast<std::uint32_t>(b.Bytes().size() - 4));
             });
         },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"FirstBlockOffsetZero", {{1, 7, 0}},
         [] { return BrokenGame([](GamesDatabaseBuilder& b) { b.Put(KindZeroPair(b.Bytes()), 0); }); },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"SecondBlockOffsetZero", {{1, 7, 0}},
         [] { return BrokenGame([](GamesDatabaseBuilder& b) { b.Put(KindZeroPair(b.Bytes()) + 4, 0); }); },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"SecondBlockDataOneBytePastTheEnd", {{1, 7, 0}},
         [] {
             return BrokenGame([](GamesDatabaseBuilder& b) {
                 const auto size = static_cast<std::uint32_t>(b.Bytes().size());
                 b.Put(KindZeroPair(b.Bytes()) + 4, size - Vantri::kBlockDataOffset - kBlockDataSize + 1);
             });
         },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"BlockOffsetThatWrapsAround", {{1, 7, 0}},
         [] { return BrokenGame([](GamesDatabaseBuilder& b) { b.Put(KindZeroPair(b.Bytes()), 0xFFFFFFF0); }); },
         ConversionOutcome::BrokenDatabase, std::nullopt, {}},
        {"BrokenSecondEntryKeepsTheFirstOnesCopy", {{1, 8, 1}, {1, 7, 0}},
         [] {
             GamesDatabaseBuilder builder(2);
             builder.SetGame(0, 7);
             builder.SetGame(1, 8);
             builder.SetKind(0, 0, Vantri::kNoLocation);
             return builder.Bytes();
         },
         ConversionOutcome::BrokenDatabase, std::nullopt, {Pattern(0, 8, 1)}},
    };
    return cases;
}

class ConversionTest : public RestoreBuffersTest, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(ConversionTest, FillsTheRegionsAndBlockCountAsTheDatabaseSays)
{
    const ConversionCase& c = GetParam();
    for (std::size_t i = 0; i < c.entries.size(); ++i)
        PutEntry(g_restoreImage, i, c.entries[i]);
    for (std::size_t i = 0; i < 4; ++i)
        g_restoreImage[Vantri::kBlockCountOffset + i] = static_cast<std::uint8_t>(kOldBlockCount >> (8 * i));
    std::vector<std::uint8_t> imageBefore(g_restoreImage, g_restoreImage + Vantri::kConfigImageSize);

    const std::optional<std::vector<std::uint8_t>> bytes = c.database();
    Vantri::DownloadBody* database = bytes ? NewBody(*bytes) : nullptr;
    EXPECT_EQ(Vantri::ConvertConfigs(database), c.outcome);
    EXPECT_EQ(g_gamesDatabase.get(), database) << "the body is kept whatever the outcome";

    EXPECT_EQ(ImageBlockCount(), c.blockCount.value_or(kOldBlockCount));
    // Nothing else of the image changes, entries included.
    std::vector<std::uint8_t> imageAfter(g_restoreImage, g_restoreImage + Vantri::kConfigImageSize);
    for (std::size_t i = 0; i < 4; ++i)
        imageAfter[Vantri::kBlockCountOffset + i] = imageBefore[Vantri::kBlockCountOffset + i];
    EXPECT_TRUE(imageAfter == imageBefore);

    // Entries 0 to 15: primary slot e, second block at 8,192; entries 16 to
    // 23: overflow slot e - 16 of 10,912 bytes, packed.
    std::vector<std::uint8_t> primary(Vantri::kPrimaryRegionSize);
    std::vector<std::uint8_t> overflow(Vantri::kOverflowRegionSize);
    for (const Placed& p : c.placed) {
        std::uint8_t* slot = p.entry < 16 ? primary.data() + 16384 * p.entry : overflow.data() + 10912 * (p.entry - 16);
        const std::size_t second = p.entry < 16 ? 8192 : 5456;
        std::memcpy(slot, p.first.data(), kBlockDataSize);
        std::memcpy(slot + second, p.second.data(), kBlockDataSize);
    }
    for (std::size_t i = 0; i < primary.size(); ++i)
        ASSERT_EQ(g_primaryRegion[i], primary[i]) << "primary region byte " << i;
    for (std::size_t i = 0; i < overflow.size(); ++i)
        ASSERT_EQ(g_overflowRegion[i], overflow[i]) << "overflow region byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, ConversionTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// The seventeenth entry's blocks, checked at the offsets themselves rather
// than through a slot formula.
TEST_F(RestoreBuffersTest, EntrySixteenLandsAtOverflowOffsetsZeroAnd5456)
{
    for (std::size_t i = 0; i < 17; ++i)
        PutEntry(g_restoreImage, i, {1, static_cast<std::uint16_t>(100 + i), 3});
    ASSERT_EQ(Vantri::ConvertConfigs(NewBody(GamesDatabase(17))), ConversionOutcome::Converted);
    const BlockData first = BlockPattern(116, 3, 0);
    const BlockData second = BlockPattern(116, 3, 1);
    EXPECT_EQ(std::memcmp(g_overflowRegion, first.data(), kBlockDataSize), 0);
    EXPECT_EQ(std::memcmp(g_overflowRegion + 5456, second.data(), kBlockDataSize), 0);
    const BlockData last = BlockPattern(115, 3, 1);
    EXPECT_EQ(std::memcmp(g_primaryRegion + 15 * 16384 + 8192, last.data(), kBlockDataSize), 0);
    EXPECT_EQ(ImageBlockCount(), 34u);
}

} // namespace
} // namespace VantriTest

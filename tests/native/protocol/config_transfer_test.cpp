// The three config operations against the adapter model: the exact frame
// sequences, the end counters, the shared percent scale, device 0 only, and
// nothing sent after a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "protocol/config_transfer.h"
#include "restore/restore_buffers.h"
#include "tests/native/protocol/protocol_fixture.h"
#include "tests/support/result_record_print.h"

namespace {

using namespace ProtocolTest;
using Vantri::ResultRecord;
using VantriEmu::AdapterSettings;
using VantriEmu::Fault;

// Command and parameter of every frame sent, run-length coded for data
// frames whose counters climb by one: (command, first parameter, frames).
struct FrameRun {
    std::uint8_t command;
    std::uint16_t first;
    std::uint32_t frames;
    friend bool operator==(const FrameRun&, const FrameRun&) = default;
};

void PrintTo(const FrameRun& run, std::ostream* out)
{
    *out << "{" << int(run.command) << ", " << run.first << ", " << run.frames << "}";
}

std::vector<FrameRun> FrameRuns(const std::vector<Vantri::CommandFrame>& frames)
{
    std::vector<FrameRun> runs;
    for (const auto& frame : frames) {
        const std::uint16_t parameter = Vantri::FrameParameter(frame);
        if (!runs.empty() && runs.back().command == frame.command &&
            static_cast<std::uint16_t>(runs.back().first + runs.back().frames) == parameter) {
            ++runs.back().frames;
            continue;
        }
        runs.push_back({frame.command, parameter, 1});
    }
    return runs;
}

std::uint32_t LastPieceLength(const std::vector<Vantri::CommandFrame>& frames, std::uint8_t command)
{
    auto it = std::find_if(frames.rbegin(), frames.rend(), [&](const auto& f) { return f.command == command; });
    return it == frames.rend() ? 0 : it->length;
}

const std::vector<FrameRun> kWholeConfigWrite = {{4, 0, 1}, {5, 1, 1171}, {6, 1172, 1}, {7, 0, 1}, {8, 1, 4682}, {9, 4683, 1}};
const std::vector<FrameRun> kWholeOverflowWrite = {{27, 0, 1}, {28, 1, 2341}, {29, 2342, 1}};

class ConfigTransferTest : public BusTest {
protected:
    ConfigTransferTest()
    {
        const auto primary = Pattern(Vantri::kPrimaryRegionSize, 21);
        const auto overflow = Pattern(Vantri::kOverflowRegionSize, 22);
        std::copy(primary.begin(), primary.end(), g_primaryRegion);
        std::copy(overflow.begin(), overflow.end(), g_overflowRegion);
    }

    std::vector<std::uint8_t> image = Pattern(Vantri::kConfigImageSize, 20);
};

// --- ReadConfigArea ----------------------------------------------------------

struct PieceCase {
    std::uint8_t pieceSize;
    std::uint32_t reads;
};

void PrintTo(const PieceCase& c, std::ostream* out)
{
    *out << "pieces of " << int(c.pieceSize);
}

class ConfigReadPieces : public ConfigTransferTest, public ::testing::WithParamInterface<PieceCase> {};

// The adapter chooses the piece size; the reads, and with them the end
// counter (modulo 65,536), follow from it, and the area arrives whole.
TEST_P(ConfigReadPieces, ReadsTheWholeAreaAndEndsWithOnePlusTheReads)
{
    AdapterSettings settings;
    settings.pieceSize = GetParam().pieceSize;
    auto& model = Start(settings);
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize, 0xC3);

    ASSERT_EQ(Vantri::ReadConfigArea(std::span<std::uint8_t, Vantri::kConfigAreaSize>(area.data(), area.size()),
                                     ProgressLog::Record),
              Vantri::kResultOk);

    const std::uint32_t reads = GetParam().reads;
    const auto sent = Sent(model);
    ASSERT_EQ(sent.size(), reads + 2);
    EXPECT_EQ((std::pair{sent.front().command, Vantri::FrameParameter(sent.front())}), (std::pair{std::uint8_t{13}, std::uint16_t{0}}));
    EXPECT_EQ((std::pair{sent.back().command, Vantri::FrameParameter(sent.back())}),
              (std::pair{std::uint8_t{16}, static_cast<std::uint16_t>(1 + reads)}));
    EXPECT_EQ(model.Counts().framesOfCommand[14], reads);
    EXPECT_EQ(area, model.ConfigArea());
    EXPECT_EQ(ProgressLog::Percents(), Range(1, 100));
    EXPECT_EQ(model.Counts().configAreaReads, 1u);
    EXPECT_TRUE(model.Clean());
}

INSTANTIATE_TEST_SUITE_P(PieceSizes, ConfigReadPieces,
                         ::testing::Values(PieceCase{56, 1171}, PieceCase{55, 1192}, PieceCase{7, 9363},
                                           PieceCase{1, 65536}),
                         [](const auto& info) { return "Piece" + std::to_string(info.param.pieceSize); });

TEST_F(ConfigTransferTest, ReadCountersRunFrom1To1171)
{
    auto& model = Start();
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize);
    ASSERT_EQ(Vantri::ReadConfigArea(std::span<std::uint8_t, Vantri::kConfigAreaSize>(area.data(), area.size()),
                                     nullptr),
              Vantri::kResultOk);
    EXPECT_EQ(FrameRuns(Sent(model)), (std::vector<FrameRun>{{13, 0, 1}, {14, 1, 1171}, {16, 1172, 1}}));
}

struct ReadFailureCase {
    const char* name;
    Fault fault;
    const char16_t* message;
    std::vector<FrameRun> sent;
};

void PrintTo(const ReadFailureCase& c, std::ostream* out)
{
    *out << c.name;
}

class ConfigReadFailures : public ConfigTransferTest, public ::testing::WithParamInterface<ReadFailureCase> {};

// The failing frame's record comes back unchanged and nothing follows it.
TEST_P(ConfigReadFailures, StopAtTheFailingFrame)
{
    AdapterSettings settings;
    settings.faults = {GetParam().fault};
    auto& model = Start(settings);
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize);
    const ResultRecord record = Vantri::ReadConfigArea(
        std::span<std::uint8_t, Vantri::kConfigAreaSize>(area.data(), area.size()), nullptr);
    EXPECT_EQ(record, (ResultRecord{0x42, 0, 0, GetParam().message}));
    EXPECT_EQ(FrameRuns(Sent(model)), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ConfigReadFailures,
    ::testing::Values(
        ReadFailureCase{"Begin", Fault::Refuse(13, 1, 0x42), Vantri::kSendFailure, {{13, 0, 1}}},
        ReadFailureCase{"MidRead", Fault::Refuse(14, 600, 0x42), Vantri::kReceiveFailure, {{13, 0, 1}, {14, 1, 600}}},
        ReadFailureCase{"End", Fault::Refuse(16, 1, 0x42), Vantri::kSendFailure,
                        {{13, 0, 1}, {14, 1, 1171}, {16, 1172, 1}}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- WriteConfigRegions ------------------------------------------------------

TEST_F(ConfigTransferTest, ConfigRegionsGoAsTwoSequencesOnOnePercentScale)
{
    auto& model = Start();
    ASSERT_EQ(Vantri::WriteConfigRegions(std::span<const std::uint8_t, Vantri::kConfigImageSize>(image.data(),
                                                                                                image.size()),
                                         g_primaryRegion, ProgressLog::Record),
              Vantri::kResultOk);

    const auto sent = Sent(model);
    EXPECT_EQ(FrameRuns(sent), kWholeConfigWrite);
    EXPECT_EQ(LastPieceLength(sent, 5), 16u);
    EXPECT_EQ(LastPieceLength(sent, 8), 8u);

    // 1 to 20 over the config area, 20 again on the first primary frame,
    // then 21 to 100.
    std::vector<std::uint32_t> expected = Range(1, 20);
    const auto rest = Range(20, 100);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(ProgressLog::Percents(), expected);

    EXPECT_EQ(model.ConfigArea(), image);
    EXPECT_EQ(model.PrimaryRegion(), std::vector<std::uint8_t>(g_primaryRegion, g_primaryRegion + Vantri::kPrimaryRegionSize));
    EXPECT_TRUE(model.Clean());
}

struct WriteFailureCase {
    const char* name;
    Fault fault;
    std::vector<FrameRun> sent;
    std::uint32_t configAreaWrites;
};

void PrintTo(const WriteFailureCase& c, std::ostream* out)
{
    *out << c.name;
}

class ConfigWriteFailures : public ConfigTransferTest, public ::testing::WithParamInterface<WriteFailureCase> {};

TEST_P(ConfigWriteFailures, ReturnTheFailingRecordAndSendNothingAfter)
{
    AdapterSettings settings;
    Fault fault = GetParam().fault;
    fault.code = 0x4D;
    fault.detail1 = 3;
    fault.detail2 = 0x1234;
    settings.faults = {fault};
    auto& model = Start(settings);
    const ResultRecord record = Vantri::WriteConfigRegions(
        std::span<const std::uint8_t, Vantri::kConfigImageSize>(image.data(), image.size()), g_primaryRegion, nullptr);
    EXPECT_EQ(record, (ResultRecord{0x4D, 3, 0x1234, Vantri::kSendFailure}));
    EXPECT_EQ(FrameRuns(Sent(model)), GetParam().sent);
    EXPECT_EQ(model.Counts().configAreaWrites, GetParam().configAreaWrites);
    EXPECT_EQ(model.Counts().primaryWrites, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ConfigWriteFailures,
    ::testing::Values(
        WriteFailureCase{"Begin4", Fault::Refuse(4, 1, 0), {{4, 0, 1}}, 0},
        WriteFailureCase{"Piece5", Fault::Refuse(5, 300, 0), {{4, 0, 1}, {5, 1, 300}}, 0},
        WriteFailureCase{"End6", Fault::Refuse(6, 1, 0), {{4, 0, 1}, {5, 1, 1171}, {6, 1172, 1}}, 0},
        // The config area is written and ended; the primary region is not.
        WriteFailureCase{"Begin7", Fault::Refuse(7, 1, 0), {{4, 0, 1}, {5, 1, 1171}, {6, 1172, 1}, {7, 0, 1}}, 1},
        WriteFailureCase{"Piece8", Fault::Refuse(8, 4682, 0),
                         {{4, 0, 1}, {5, 1, 1171}, {6, 1172, 1}, {7, 0, 1}, {8, 1, 4682}}, 1},
        WriteFailureCase{"End9", Fault::Refuse(9, 1, 0), kWholeConfigWrite, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// --- WriteOverflowRegion -----------------------------------------------------

TEST_F(ConfigTransferTest, OverflowRegionGoesIn2341FramesEndingAt2342)
{
    auto& model = Start();
    ASSERT_EQ(Vantri::WriteOverflowRegion(g_overflowRegion, ProgressLog::Record), Vantri::kResultOk);
    const auto sent = Sent(model);
    EXPECT_EQ(FrameRuns(sent), kWholeOverflowWrite);
    EXPECT_EQ(LastPieceLength(sent, 28), 32u);
    EXPECT_EQ(ProgressLog::Percents(), Range(1, 100));
    EXPECT_EQ(model.OverflowRegion(),
              std::vector<std::uint8_t>(g_overflowRegion, g_overflowRegion + Vantri::kOverflowRegionSize));
    EXPECT_TRUE(model.Clean());
}

TEST_F(ConfigTransferTest, OverflowFailureMidWaySendsNoEnd)
{
    AdapterSettings settings;
    settings.faults = {Fault::ReadFailure(28, 1000, 1167)};
    auto& model = Start(settings);
    EXPECT_EQ(Vantri::WriteOverflowRegion(g_overflowRegion, ProgressLog::Record), Vantri::ReadTransportFailure(1167));
    EXPECT_EQ(FrameRuns(Sent(model)), (std::vector<FrameRun>{{27, 0, 1}, {28, 1, 1000}}));
    EXPECT_EQ(ProgressLog::Percents(), Range(1, 42)); // 999 pieces acknowledged: 55,944 of 131,072 bytes
    EXPECT_EQ(model.Counts().overflowWrites, 0u);
}

// --- Device 0 only -----------------------------------------------------------

TEST_F(ConfigTransferTest, AllThreeOperationsAddressDeviceZeroOnly)
{
    auto& first = bus_.Attach();
    AdapterSettings other;
    other.configSeed = 2;
    auto& second = bus_.Attach(other);
    const auto firstArea = first.ConfigArea();
    const auto secondArea = second.ConfigArea();
    ASSERT_NE(firstArea, secondArea);
    std::uint32_t count = 0;
    ASSERT_TRUE(bus_.EnumerateDevices(count));
    ASSERT_EQ(count, 2u);
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize);

    ASSERT_EQ(Vantri::ReadConfigArea(std::span<std::uint8_t, Vantri::kConfigAreaSize>(area.data(), area.size()),
                                     nullptr),
              Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteConfigRegions(
                  std::span<const std::uint8_t, Vantri::kConfigImageSize>(image.data(), image.size()), g_primaryRegion),
              Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteOverflowRegion(g_overflowRegion), Vantri::kResultOk);

    EXPECT_EQ(area, firstArea);
    EXPECT_EQ(second.ConfigArea(), secondArea);
    EXPECT_EQ(first.Counts().configAreaReads, 1u);
    EXPECT_EQ(first.Counts().configAreaWrites, 1u);
    EXPECT_EQ(first.Counts().overflowWrites, 1u);
    EXPECT_TRUE(Sent(second).empty());
}

} // namespace

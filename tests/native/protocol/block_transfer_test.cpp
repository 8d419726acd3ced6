// WriteBlock and ReadBlock against the adapter model: frame counts, block
// counters, progress sequences, failures part-way and pieces that overrun.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/block_transfer.h"
#include "protocol/exchange.h"
#include "tests/native/protocol/protocol_fixture.h"

namespace {

using namespace ProtocolTest;
using Vantri::ResultRecord;
using VantriEmu::AdapterSettings;
using VantriEmu::Fault;

class BlockTransferTest : public BusTest {};

std::vector<std::uint32_t> PieceLengths(const std::vector<Vantri::CommandFrame>& frames, std::uint8_t command)
{
    std::vector<std::uint32_t> lengths;
    for (const auto& frame : frames) {
        if (frame.command == command)
            lengths.push_back(frame.length);
    }
    return lengths;
}

TEST_F(BlockTransferTest, CarriedSizeImageGoesIn4599FramesAndEndsAt4600)
{
    auto& model = Start();
    const auto image = Pattern(kCarriedImageSize, 42);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 2, counter, image.data(), kCarriedImageSize, ProgressLog::Record, 0,
                                 kCarriedImageSize),
              Vantri::kResultOk);
    EXPECT_EQ(counter, 4600);
    ASSERT_EQ(Vantri::SendCommand(0, 3, counter, nullptr, 0), Vantri::kResultOk);

    EXPECT_EQ(model.ParametersOf(2), Counters(1, 4599));
    const auto lengths = PieceLengths(Sent(model), 2);
    ASSERT_EQ(lengths.size(), 4599u);
    EXPECT_EQ(lengths.back(), 48u);
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 56u), 4598);

    // 1 to 100, each once, never 0, all for device 0 with reserved 0.
    const auto calls = ProgressLog::Take();
    std::vector<std::uint32_t> percents;
    for (const auto& call : calls) {
        EXPECT_EQ(call.device, 0u);
        EXPECT_EQ(call.reserved, 0u);
        percents.push_back(call.percent);
    }
    EXPECT_EQ(percents, Range(1, 100));

    EXPECT_TRUE(model.ImageReceived());
    EXPECT_EQ(model.Image(), image);
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, PieceSizesAroundOneFrame)
{
    auto& model = Start();
    const auto data = Pattern(57, 5);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 2, counter, data.data(), 56, nullptr, 0, 56), Vantri::kResultOk);
    EXPECT_EQ(counter, 2);
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    counter = 1;
    ASSERT_EQ(Vantri::WriteBlock(0, 2, counter, data.data(), 57, nullptr, 0, 57), Vantri::kResultOk);
    EXPECT_EQ(counter, 3);
    ASSERT_EQ(Vantri::SendCommand(0, 3, counter, nullptr, 0), Vantri::kResultOk);

    EXPECT_EQ(PieceLengths(Sent(model), 2), (std::vector<std::uint32_t>{56, 56, 1}));
    EXPECT_EQ(model.Image(), data);
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, EmptyWriteSendsAndReportsNothing)
{
    auto& model = Start();
    std::uint16_t counter = 7;
    const std::uint8_t byte = 0;
    EXPECT_EQ(Vantri::WriteBlock(0, 2, counter, &byte, 0, ProgressLog::Record, 0, 100), Vantri::kResultOk);
    EXPECT_EQ(counter, 7);
    EXPECT_EQ(model.Counts().outputReports, 0u);
    EXPECT_TRUE(ProgressLog::Take().empty());
}

TEST_F(BlockTransferTest, SharedScaleReports20AgainOnTheSecondRegion)
{
    auto& model = Start();
    const auto config = Pattern(65536, 1);
    const auto primary = Pattern(262144, 2);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 4, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 5, counter, config.data(), 65536, ProgressLog::Record, 0, 327680),
              Vantri::kResultOk);
    EXPECT_EQ(counter, 1172);
    ASSERT_EQ(Vantri::SendCommand(0, 6, counter, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(ProgressLog::Percents(), Range(1, 20));

    counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 7, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 8, counter, primary.data(), 262144, ProgressLog::Record, 65536, 327680),
              Vantri::kResultOk);
    EXPECT_EQ(counter, 4683);
    ASSERT_EQ(Vantri::SendCommand(0, 9, counter, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(ProgressLog::Percents(), Range(20, 100));

    EXPECT_EQ(PieceLengths(Sent(model), 5).back(), 16u);
    EXPECT_EQ(PieceLengths(Sent(model), 8).back(), 8u);
    EXPECT_EQ(model.ConfigArea(), config);
    EXPECT_EQ(model.PrimaryRegion(), primary);
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, OverflowRegionEndsAt2342)
{
    auto& model = Start();
    const auto overflow = Pattern(131072, 3);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 27, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 28, counter, overflow.data(), 131072, nullptr, 0, 131072), Vantri::kResultOk);
    EXPECT_EQ(counter, 2342);
    ASSERT_EQ(Vantri::SendCommand(0, 29, counter, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(PieceLengths(Sent(model), 28).back(), 32u);
    EXPECT_EQ(model.OverflowRegion(), overflow);
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, FailureAtTheFifthFrameStopsCountingAndReporting)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(2, 5, 9, 1, 2)};
    auto& model = Start(settings);
    const auto data = Pattern(560, 4);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    const ResultRecord record = Vantri::WriteBlock(0, 2, counter, data.data(), 560, ProgressLog::Record, 0, 560);
    EXPECT_EQ(record.code, 9u);
    EXPECT_EQ(record.detail1, 1u);
    EXPECT_EQ(record.detail2, 2u);
    EXPECT_EQ(counter, 6);
    EXPECT_EQ(ProgressLog::Percents(), (std::vector<std::uint32_t>{10, 20, 30, 40}));
    EXPECT_EQ(model.Counts().framesOfCommand[2], 5u);
    EXPECT_FALSE(model.ImageReceived());
}

TEST_F(BlockTransferTest, TransportFailureMidWayIsPassedUpUnchanged)
{
    AdapterSettings settings;
    settings.faults = {Fault::ReadFailure(2, 3, 1167)};
    Start(settings);
    const auto data = Pattern(560, 4);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    const ResultRecord record = Vantri::WriteBlock(0, 2, counter, data.data(), 560, nullptr, 0, 560);
    EXPECT_EQ(record, Vantri::ReadTransportFailure(1167));
    EXPECT_EQ(counter, 4);
}

// Echoes everything; lets the counter run where the model would object.
class EchoLoader final : public Vantri::Loader {
public:
    ~EchoLoader() = default;
    bool EnumerateDevices(std::uint32_t& count) override { return count = 1, true; }
    void CloseDevice(std::uint32_t) override {}
    Vantri::ResultRecord WriteReport(std::uint32_t, const Vantri::CommandFrame& payload) override
    {
        last_ = payload;
        parameters.push_back(Vantri::FrameParameter(payload));
        return Vantri::kResultOk;
    }
    Vantri::ResultRecord ReadReport(std::uint32_t, Vantri::CommandFrame& destination, std::uint32_t) override
    {
        destination = last_;
        destination.command |= Vantri::kAcknowledgeBit;
        return Vantri::kResultOk;
    }
    std::vector<std::uint16_t> parameters;

private:
    Vantri::CommandFrame last_{};
};

TEST(BlockTransferCounter, WrapsModulo65536)
{
    EchoLoader loader;
    VantriTest::ScopedLoader bound(loader);
    const auto data = Pattern(150, 8);
    std::uint16_t counter = 0xFFFF;
    ASSERT_EQ(Vantri::WriteBlock(3, 2, counter, data.data(), 150, nullptr, 0, 150), Vantri::kResultOk);
    EXPECT_EQ(loader.parameters, (std::vector<std::uint16_t>{0xFFFF, 0, 1}));
    EXPECT_EQ(counter, 2);
}

TEST(BlockTransferProgress, ReportsCarryTheDeviceIndex)
{
    EchoLoader loader;
    VantriTest::ScopedLoader bound(loader);
    ProgressLog::Take();
    const auto data = Pattern(112, 8);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::WriteBlock(7, 2, counter, data.data(), 112, ProgressLog::Record, 0, 112), Vantri::kResultOk);
    const auto calls = ProgressLog::Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].device, 7u);
    EXPECT_EQ(calls[0].percent, 50u);
    EXPECT_EQ(calls[1].percent, 100u);
}

// --- ReadBlock ---------------------------------------------------------------

std::span<std::uint8_t, Vantri::kConfigAreaSize> Area(std::vector<std::uint8_t>& buffer)
{
    return std::span<std::uint8_t, Vantri::kConfigAreaSize>(buffer.data(), Vantri::kConfigAreaSize);
}

TEST_F(BlockTransferTest, ConfigAreaReadTakes1171RequestsEndingAt1172)
{
    auto& model = Start();
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize, 0);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::ReadBlock(counter, Area(area), ProgressLog::Record), Vantri::kResultOk);
    EXPECT_EQ(counter, 1172);
    ASSERT_EQ(Vantri::SendCommand(0, 16, counter, nullptr, 0), Vantri::kResultOk);

    EXPECT_EQ(model.ParametersOf(14), Counters(1, 1171));
    EXPECT_EQ(area, model.ConfigArea());
    EXPECT_EQ(ProgressLog::Percents(), Range(1, 100));
    EXPECT_EQ(model.Counts().configAreaReads, 1u);
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, ReadFollowsTheAdaptersPieceSize)
{
    AdapterSettings settings;
    settings.pieceSize = 50;
    auto& model = Start(settings);
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize, 0);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::ReadBlock(counter, Area(area), nullptr), Vantri::kResultOk);
    EXPECT_EQ(counter, 1 + 1311); // 1,310 pieces of 50 and one of 36
    ASSERT_EQ(Vantri::SendCommand(0, 16, counter, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(area, model.ConfigArea());
    EXPECT_TRUE(model.Clean());
}

TEST_F(BlockTransferTest, OverrunningLastPieceStopsAtTheEndOfTheArea)
{
    AdapterSettings settings;
    // The last piece claims 56 bytes where 16 remain: 40 bytes of filler.
    settings.faults = {Fault::AnswerLength(14, 1171, 56)};
    auto& model = Start(settings);
    std::vector<std::uint8_t> buffer(Vantri::kConfigAreaSize + 64, 0xC3);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::ReadBlock(counter, Area(buffer), nullptr), Vantri::kResultOk);
    EXPECT_EQ(counter, 1172);
    for (std::size_t i = Vantri::kConfigAreaSize; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xC3) << "written past the area at " << i;
    buffer.resize(Vantri::kConfigAreaSize);
    EXPECT_EQ(buffer, model.ConfigArea());
    EXPECT_EQ(Vantri::SendCommand(0, 16, counter, nullptr, 0), Vantri::kResultOk);
}

TEST_F(BlockTransferTest, OverrunWithTheAreaExactlySizedOnTheHeap)
{
    // ASan guards the end of this allocation.
    AdapterSettings settings;
    settings.pieceSize = 48; // 1,365 pieces of 48 and one of 16
    settings.faults = {Fault::AnswerLength(14, 1366, 56)};
    Start(settings);
    auto area = std::make_unique<std::uint8_t[]>(Vantri::kConfigAreaSize);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(Vantri::ReadBlock(counter, std::span<std::uint8_t, Vantri::kConfigAreaSize>(area.get(),
                                                                                          Vantri::kConfigAreaSize),
                                nullptr),
              Vantri::kResultOk);
    EXPECT_EQ(counter, 1367);
}

TEST_F(BlockTransferTest, ReadFailuresEndTheReadWithTheirRecord)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(14, 3, 4), Fault::AnswerLength(14, 5, 0), Fault::AnswerLength(14, 6, 60)};
    Start(settings);
    std::vector<std::uint8_t> area(Vantri::kConfigAreaSize, 0);

    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    const ResultRecord refused = Vantri::ReadBlock(counter, Area(area), nullptr);
    EXPECT_EQ(refused.code, 4u);
    EXPECT_EQ(std::u16string(refused.message), u"Receive failure");
    EXPECT_EQ(counter, 4);

    counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    const ResultRecord empty = Vantri::ReadBlock(counter, Area(area), nullptr);
    EXPECT_EQ(empty.code, 1u);
    EXPECT_EQ(std::u16string(empty.message), u"Receive size failure");
    EXPECT_EQ(counter, 3);

    counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    const ResultRecord oversized = Vantri::ReadBlock(counter, Area(area), nullptr);
    EXPECT_NE(oversized.code, 0u);
    EXPECT_EQ(std::u16string(oversized.message), u"Receive size failure");
    EXPECT_EQ(counter, 2);
}

} // namespace

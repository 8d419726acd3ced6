// The device side of a flash job against the adapter model: what is sent,
// in which order, to which adapter, and where a failure stops it.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/flashing.h"
#include "tests/native/protocol/protocol_fixture.h"

namespace {

using namespace ProtocolTest;
using Vantri::FlashJob;
using VantriEmu::Fault;

std::vector<std::uint8_t> CommandsSent(const VantriEmu::AdapterModel& adapter)
{
    std::vector<std::uint8_t> commands;
    for (const auto& entry : adapter.Transcript()) {
        if (entry.toAdapter)
            commands.push_back(entry.frame.command);
    }
    return commands;
}

class FlashingTest : public BusTest {
protected:
    FlashingTest()
    {
        g_firmwareImage = image.data();
        g_firmwareSize = static_cast<std::uint32_t>(image.size());
    }
    ~FlashingTest() override
    {
        g_firmwareImage = nullptr;
        g_firmwareSize = 0;
    }

    const std::vector<std::uint8_t> image = Pattern(kCarriedImageSize, 7);
};

TEST(FlashJobWord, CarriesTheIndexInBits0To30AndTheResetFlagInBit31)
{
    EXPECT_EQ(Vantri::MakeFlashJob(2, true), 0x80000002u);
    EXPECT_EQ(Vantri::MakeFlashJob(2, false), 2u);
    EXPECT_EQ(Vantri::MakeFlashJob(0x80000005u, false), 5u); // an index never sets the flag
    EXPECT_EQ(Vantri::FlashJobDeviceIndex(0x80000002u), 2u);
    EXPECT_TRUE(Vantri::FlashJobIsFactoryReset(0x80000002u));
    EXPECT_FALSE(Vantri::FlashJobIsFactoryReset(2u));
}

TEST_F(FlashingTest, FactoryResetOfIndex2SendsErasesThenTheWholeImageToThatAdapterOnly)
{
    bus_.Attach();
    bus_.Attach();
    auto& third = Start();

    const Vantri::ResultRecord result = Vantri::RunFlashJob(0x80000002u, ProgressLog::Record);
    EXPECT_EQ(result, Vantri::kResultOk);

    // Erase configs, erase settings, begin, 4,599 data frames, end. Filled
    // whole rather than grown: GCC 12 at -O3 takes an insert into a small
    // vector for an access out of bounds (-Warray-bounds).
    std::vector<std::uint8_t> expected(3 + 4599 + 1, Vantri::kImageDataCommand);
    expected[0] = Vantri::kEraseConfigsCommand;
    expected[1] = Vantri::kEraseSettingsCommand;
    expected[2] = Vantri::kImageBeginCommand;
    expected.back() = Vantri::kImageEndCommand;
    EXPECT_EQ(CommandsSent(third), expected);
    EXPECT_EQ(third.ParametersOf(2), Counters(1, 4599));
    EXPECT_EQ(third.ParametersOf(3), std::vector<std::uint16_t>{4600});
    EXPECT_EQ(third.Image(), image);
    EXPECT_TRUE(third.ConfigsErased());
    EXPECT_TRUE(third.SettingsErased());
    EXPECT_TRUE(third.Clean());
    EXPECT_EQ(bus_.Attached(0).Counts().outputReports, 0u);
    EXPECT_EQ(bus_.Attached(1).Counts().outputReports, 0u);

    // 1 to 100 percent, each once, all for index 2; the erases report nothing.
    std::vector<std::uint32_t> percents;
    for (const ProgressCall& call : ProgressLog::Take()) {
        EXPECT_EQ(call.device, 2u);
        EXPECT_EQ(call.reserved, 0u);
        percents.push_back(call.percent);
    }
    EXPECT_EQ(percents, Range(1, 100));
}

TEST_F(FlashingTest, UpdateJobSendsNoEraseCommands)
{
    bus_.Attach();
    bus_.Attach();
    VantriEmu::AdapterSettings older;
    older.version = "4.00.20150101";
    auto& third = Start(older);

    EXPECT_EQ(Vantri::RunFlashJob(2, nullptr), Vantri::kResultOk);
    const auto commands = CommandsSent(third);
    ASSERT_EQ(commands.size(), 4601u);
    EXPECT_EQ(commands.front(), 1);
    EXPECT_EQ(commands.back(), 3);
    EXPECT_EQ(third.Counts().framesOfCommand[10], 0u);
    EXPECT_EQ(third.Counts().framesOfCommand[11], 0u);
    EXPECT_FALSE(third.ConfigsErased());
    EXPECT_EQ(third.Image(), image);
}

TEST_F(FlashingTest, FirstFailingCommandEndsTheJobWithItsRecord)
{
    struct Case {
        const char* name;
        FlashJob job;
        Fault fault;
        std::vector<std::uint8_t> sent; // commands that reached the adapter, in order
    };
    std::vector<std::uint8_t> fiveData{1, 2, 2, 2, 2, 2};
    const Case cases[] = {
        {"command 10", 0x80000000u, Fault::Refuse(10, 1, 0x21), {10}},
        {"command 11", 0x80000000u, Fault::Refuse(11, 1, 0x22), {10, 11}},
        {"begin", 0u, Fault::Refuse(1, 1, 0x23), {1}},
        {"fifth data frame", 0u, Fault::Refuse(2, 5, 0x24), fiveData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressLog::Take();
        VantriEmu::EmulatedBus local;
        VantriEmu::AdapterSettings settings;
        settings.faults = {c.fault};
        auto& adapter = local.Attach(settings);
        std::uint32_t count = 0;
        ASSERT_TRUE(local.EnumerateDevices(count));
        VantriTest::ScopedLoader localBound{local};

        const Vantri::ResultRecord result = Vantri::RunFlashJob(c.job, ProgressLog::Record);
        EXPECT_EQ(result.code, c.fault.code);
        EXPECT_EQ(CommandsSent(adapter), c.sent);
        EXPECT_FALSE(adapter.ImageReceived());
        // The fifth frame fails before 1% of the image is through.
        EXPECT_TRUE(ProgressLog::Take().empty());
    }
}

TEST_F(FlashingTest, NothingIsSentWithoutAnImageThatCanBeSentWhole)
{
    auto& adapter = Start();

    g_firmwareImage = nullptr;
    g_firmwareSize = 0;
    EXPECT_EQ(Vantri::RunFlashJob(0x80000000u, nullptr).code, Vantri::kNoFirmwareImageCode);
    EXPECT_EQ(Vantri::FlashFirmware(0, nullptr).code, Vantri::kNoFirmwareImageCode);

    // Beyond 65,534 frames the 16-bit block counter would wrap.
    g_firmwareImage = image.data();
    g_firmwareSize = Vantri::kMaxFirmwareSize + 1;
    EXPECT_EQ(Vantri::RunFlashJob(0u, nullptr).code, Vantri::kNoFirmwareImageCode);

    EXPECT_EQ(adapter.Counts().outputReports, 0u);
}

TEST_F(FlashingTest, ImageOfOddSizeEndsWithItsShortPieceAndCounter)
{
    auto& adapter = Start();
    const std::vector<std::uint8_t> small = Pattern(57, 8);
    g_firmwareImage = small.data();
    g_firmwareSize = 57;

    EXPECT_EQ(Vantri::FlashFirmware(0, ProgressLog::Record), Vantri::kResultOk);
    EXPECT_EQ(adapter.ParametersOf(2), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(adapter.ParametersOf(3), std::vector<std::uint16_t>{3});
    EXPECT_EQ(adapter.Image(), small);
    const auto calls = ProgressLog::Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].device, 0u);
    EXPECT_EQ(calls[1].device, 0u);
    EXPECT_EQ(calls[0].percent, 98u);
    EXPECT_EQ(calls[1].percent, 100u);
}

} // namespace

// The device side of a flash job against the adapter model: what is sent,
// in which order, to which adapter, and where a failure stops it.
#include <gtest/gtest.h>

#include <mutex>
#include <numeric>
#include <vector>

#include "emulator/model/emulated_bus.h"
#include "protocol/flashing.h"
#include "tests/native/app/app_fixture.h"
#include "tests/support/loader_switch.h"

namespace VantriTest {
namespace {

using Vantri::FlashJob;
using VantriEmu::Fault;

std::mutex s_progressMutex;
std::vector<std::pair<std::uint32_t, std::uint32_t>> s_progress;

void RecordProgress(std::uint32_t index, std::uint32_t percent, std::uint32_t reserved)
{
    EXPECT_EQ(reserved, 0u);
    std::lock_guard lock(s_progressMutex);
    s_progress.emplace_back(index, percent);
}

std::vector<std::uint8_t> CommandsSent(const VantriEmu::AdapterModel& adapter)
{
    std::vector<std::uint8_t> commands;
    for (const auto& entry : adapter.Transcript()) {
        if (entry.toAdapter)
            commands.push_back(entry.frame.command);
    }
    return commands;
}

class FlashingTest : public ::testing::Test {
protected:
    FlashingTest()
    {
        s_progress.clear();
        g_firmwareImage = image.data();
        g_firmwareSize = static_cast<std::uint32_t>(image.size());
    }
    ~FlashingTest() override
    {
        g_firmwareImage = nullptr;
        g_firmwareSize = 0;
    }

    void Enumerate(std::uint32_t expected)
    {
        std::uint32_t count = 0;
        ASSERT_TRUE(bus.EnumerateDevices(count));
        ASSERT_EQ(count, expected);
    }

    const std::vector<std::uint8_t> image = TestImage();
    VantriEmu::EmulatedBus bus;
    ScopedLoader bound{bus};
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
    bus.Attach();
    bus.Attach();
    auto& third = bus.Attach();
    Enumerate(3);

    const Vantri::ResultRecord result = Vantri::RunFlashJob(0x80000002u, RecordProgress);
    EXPECT_EQ(result, Vantri::kResultOk);

    std::vector<std::uint8_t> expected{10, 11, 1};
    expected.insert(expected.end(), 4599, 2);
    expected.push_back(3);
    EXPECT_EQ(CommandsSent(third), expected);
    std::vector<std::uint16_t> counters(4599);
    std::iota(counters.begin(), counters.end(), std::uint16_t{1});
    EXPECT_EQ(third.ParametersOf(2), counters);
    EXPECT_EQ(third.ParametersOf(3), std::vector<std::uint16_t>{4600});
    EXPECT_EQ(third.Image(), image);
    EXPECT_TRUE(third.ConfigsErased());
    EXPECT_TRUE(third.SettingsErased());
    EXPECT_TRUE(third.Clean());
    EXPECT_EQ(bus.Attached(0).Counts().outputReports, 0u);
    EXPECT_EQ(bus.Attached(1).Counts().outputReports, 0u);

    // 1 to 100 percent, each once, all for index 2; the erases report nothing.
    ASSERT_EQ(s_progress.size(), 100u);
    for (std::uint32_t i = 0; i < 100; ++i)
        EXPECT_EQ(s_progress[i], std::make_pair(2u, i + 1)) << i;
}

TEST_F(FlashingTest, UpdateJobSendsNoEraseCommands)
{
    bus.Attach();
    bus.Attach();
    auto& third = bus.Attach(AdapterWithVersion("4.00.20150101"));
    Enumerate(3);

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
        s_progress.clear();
        VantriEmu::EmulatedBus local;
        VantriEmu::AdapterSettings settings;
        settings.faults = {c.fault};
        auto& adapter = local.Attach(settings);
        std::uint32_t count = 0;
        local.EnumerateDevices(count);
        ScopedLoader localBound{local};

        const Vantri::ResultRecord result = Vantri::RunFlashJob(c.job, RecordProgress);
        EXPECT_EQ(result.code, c.fault.code);
        EXPECT_EQ(CommandsSent(adapter), c.sent);
        EXPECT_FALSE(adapter.ImageReceived());
        // The fifth frame fails before 1% of the image is through.
        EXPECT_TRUE(s_progress.empty());
    }
}

TEST_F(FlashingTest, NothingIsSentWithoutAnImageThatCanBeSentWhole)
{
    auto& adapter = bus.Attach();
    Enumerate(1);

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
    auto& adapter = bus.Attach();
    Enumerate(1);
    const std::vector<std::uint8_t> small = TestImage(57);
    g_firmwareImage = small.data();
    g_firmwareSize = 57;

    EXPECT_EQ(Vantri::FlashFirmware(0, RecordProgress), Vantri::kResultOk);
    EXPECT_EQ(adapter.ParametersOf(2), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(adapter.ParametersOf(3), std::vector<std::uint16_t>{3});
    EXPECT_EQ(adapter.Image(), small);
    EXPECT_EQ(s_progress, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 98}, {0, 100}}));
}

} // namespace
} // namespace VantriTest

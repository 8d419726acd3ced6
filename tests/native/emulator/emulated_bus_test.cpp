// The emulated bus as a loader: numbering, closing, skipped adapters, and
// adapters driven from many threads at once.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include <unistd.h>

#include "emulator/model/emulated_bus.h"
#include "emulator/model/state_dump.h"
#include "protocol/block_transfer.h"
#include "protocol/exchange.h"
#include "tests/support/loader_switch.h"

namespace {

using namespace VantriEmu;

Vantri::CommandFrame Erase()
{
    Vantri::CommandFrame frame{};
    frame.command = 10;
    return frame;
}

TEST(EmulatedBus, NoAdapterMeansCountZero)
{
    EmulatedBus bus;
    std::uint32_t count = 99;
    EXPECT_TRUE(bus.EnumerateDevices(count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.WriteReport(0, Erase()), Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle));
}

TEST(EmulatedBus, IndicesFollowAttachOrderSkippingHeldAndVanishedAdapters)
{
    EmulatedBus bus;
    auto& first = bus.Attach();
    AdapterSettings held;
    held.heldOpenElsewhere = true;
    bus.Attach(held);
    AdapterSettings gone;
    gone.faults = {Fault::Vanish(kAnyCommand, 1)};
    auto& vanishing = bus.Attach(gone);
    auto& last = bus.Attach();

    std::uint32_t count = 0;
    ASSERT_TRUE(bus.EnumerateDevices(count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(&bus.Device(0), &first);
    EXPECT_EQ(&bus.Device(1), &vanishing);
    EXPECT_EQ(&bus.Device(2), &last);

    EXPECT_EQ(bus.WriteReport(1, Erase()).code, Vantri::kErrorDeviceNotConnected);
    ASSERT_TRUE(bus.EnumerateDevices(count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(&bus.Device(1), &last);
    EXPECT_EQ(bus.Enumerations(), 2u);
}

TEST(EmulatedBus, AtMost256AreKept)
{
    EmulatedBus bus(300);
    std::uint32_t count = 0;
    ASSERT_TRUE(bus.EnumerateDevices(count));
    EXPECT_EQ(count, 256u);
}

TEST(EmulatedBus, FailedListGivesFalseAndZero)
{
    EmulatedBus bus(2);
    bus.FailEnumeration(true);
    std::uint32_t count = 5;
    EXPECT_FALSE(bus.EnumerateDevices(count));
    EXPECT_EQ(count, 0u);
}

TEST(EmulatedBus, ClosedSlotRefusesReportsAndLeavesOthersAlone)
{
    EmulatedBus bus(2);
    std::uint32_t count = 0;
    ASSERT_TRUE(bus.EnumerateDevices(count));
    ASSERT_EQ(bus.WriteReport(0, Erase()), Vantri::kResultOk);
    bus.CloseDevice(0);
    bus.CloseDevice(0);
    EXPECT_FALSE(bus.IsOpen(0));
    EXPECT_EQ(bus.CloseCalls(0), 2u);
    Vantri::CommandFrame answer{};
    answer.command = 0x42;
    EXPECT_EQ(bus.ReadReport(0, answer, 10000), Vantri::ReadTransportFailure(Vantri::kErrorInvalidHandle));
    EXPECT_EQ(answer.command, 0x42); // untouched
    EXPECT_EQ(bus.WriteReport(0, Erase()), Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle));
    EXPECT_TRUE(bus.IsOpen(1));
    EXPECT_EQ(bus.WriteReport(1, Erase()), Vantri::kResultOk);
    EXPECT_EQ(bus.ReadReport(1, answer, 10000), Vantri::kResultOk);
    EXPECT_EQ(answer.command, 10 | 0x80);
    bus.CloseDevice(5000); // out of the table: nothing happens
}

TEST(EmulatedBus, EachWorkerFlashesItsOwnAdapter)
{
    constexpr std::uint32_t kAdapters = 16;
    EmulatedBus bus(kAdapters);
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    ASSERT_TRUE(bus.EnumerateDevices(count));
    ASSERT_EQ(count, kAdapters);

    std::vector<std::vector<std::uint8_t>> images;
    for (std::uint32_t i = 0; i < kAdapters; ++i)
        images.emplace_back(5000 + i * 13, static_cast<std::uint8_t>(i + 1));
    std::vector<std::uint32_t> codes(kAdapters, 0xFFFFFFFF);
    {
        std::vector<std::jthread> workers;
        for (std::uint32_t i = 0; i < kAdapters; ++i) {
            workers.emplace_back([&, i] {
                std::uint16_t counter = 1;
                Vantri::ResultRecord r = Vantri::SendCommand(i, 1, 0, nullptr, 0);
                if (r.code == 0)
                    r = Vantri::WriteBlock(i, 2, counter, images[i].data(), static_cast<std::uint32_t>(images[i].size()),
                                           nullptr, 0, static_cast<std::uint32_t>(images[i].size()));
                if (r.code == 0)
                    r = Vantri::SendCommand(i, 3, counter, nullptr, 0);
                codes[i] = r.code;
            });
        }
    }
    for (std::uint32_t i = 0; i < kAdapters; ++i) {
        EXPECT_EQ(codes[i], 0u);
        EXPECT_EQ(bus.Device(i).Image(), images[i]);
        EXPECT_TRUE(bus.Device(i).Clean());
    }
}

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StateDump, WritesStoredStateAndTranscript)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vantri-dump-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);

    EmulatedBus bus(1);
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    ASSERT_TRUE(bus.EnumerateDevices(count));
    const std::vector<std::uint8_t> image(300, 0x5C);
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::WriteBlock(0, 2, counter, image.data(), 300, nullptr, 0, 300), Vantri::kResultOk);
    ASSERT_EQ(Vantri::SendCommand(0, 3, counter, nullptr, 0), Vantri::kResultOk);
    Vantri::SendCommand(0, 12, 0, nullptr, 0); // one violation

    std::string error;
    ASSERT_TRUE(DumpAdapterState(bus.Device(0), folder / "adapter0", error)) << error;
    const auto dir = folder / "adapter0";
    EXPECT_EQ(ReadBytes(dir / "image.bin"), image);
    EXPECT_EQ(ReadBytes(dir / "config.bin"), bus.Device(0).ConfigArea());
    EXPECT_EQ(ReadBytes(dir / "primary.bin").size(), kPrimaryRegionSize);
    EXPECT_EQ(ReadBytes(dir / "overflow.bin").size(), kOverflowRegionSize);
    const std::string state = ReadText(dir / "state.txt");
    EXPECT_NE(state.find("image_received=1\n"), std::string::npos) << state;
    EXPECT_NE(state.find("image_size=300\n"), std::string::npos) << state;
    EXPECT_NE(state.find("violations=1\n"), std::string::npos) << state;
    EXPECT_NE(state.find("violation=9 12 0 0x31 unknown command\n"), std::string::npos) << state;

    const std::string transcript = ReadText(dir / "transcript.txt");
    EXPECT_EQ(std::count(transcript.begin(), transcript.end(), '\n'), 2 * 9);
    EXPECT_EQ(transcript.substr(0, 2 + 23), "> 01 00 00 00 00 00 00 00");
    const auto answerLine = transcript.find("< 81 00 00");
    EXPECT_EQ(answerLine, transcript.find('\n') + 1);

    // No image, no image file.
    EmulatedBus fresh(1);
    ASSERT_TRUE(DumpAdapterState(fresh.Attached(0), folder / "adapter1", error)) << error;
    EXPECT_FALSE(std::filesystem::exists(folder / "adapter1" / "image.bin"));
    EXPECT_NE(ReadText(folder / "adapter1" / "state.txt").find("image_received=0\n"), std::string::npos);
    std::filesystem::remove_all(folder);
}

} // namespace

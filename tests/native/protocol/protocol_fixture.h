// Shared by the protocol tests: one emulated bus bound to g_loader per test,
// and a log of progress reports.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "emulator/model/emulated_bus.h"
#include "tests/support/loader_switch.h"

namespace ProtocolTest {

struct ProgressCall {
    std::uint32_t device;
    std::uint32_t percent;
    std::uint32_t reserved;
};

// ProgressCallback is a plain function, so what it records must be global.
class ProgressLog {
public:
    static void Record(std::uint32_t device, std::uint32_t percent, std::uint32_t reserved)
    {
        std::lock_guard lock(Mutex());
        Calls().push_back({device, percent, reserved});
    }
    static std::vector<ProgressCall> Take()
    {
        std::lock_guard lock(Mutex());
        std::vector<ProgressCall> calls;
        calls.swap(Calls());
        return calls;
    }
    static std::vector<std::uint32_t> Percents()
    {
        std::vector<std::uint32_t> percents;
        for (const ProgressCall& call : Take())
            percents.push_back(call.percent);
        return percents;
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<ProgressCall>& Calls()
    {
        static std::vector<ProgressCall> calls;
        return calls;
    }
};

// The size of the image the program carries.
inline constexpr std::uint32_t kCarriedImageSize = 257536;

inline std::vector<std::uint16_t> Counters(std::uint32_t first, std::uint32_t last)
{
    std::vector<std::uint16_t> values;
    for (std::uint32_t v = first; v <= last; ++v)
        values.push_back(static_cast<std::uint16_t>(v));
    return values;
}

inline std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t last)
{
    std::vector<std::uint32_t> values;
    for (std::uint32_t v = first; v <= last; ++v)
        values.push_back(v);
    return values;
}

inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed * 747796405u + 2891336453u;
    for (auto& b : bytes) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

inline const std::uint8_t* Bytes(const Vantri::CommandFrame& frame)
{
    return reinterpret_cast<const std::uint8_t*>(&frame);
}

class BusTest : public ::testing::Test {
protected:
    // One adapter with these settings, enumerated as device 0 and bound.
    VantriEmu::AdapterModel& Start(const VantriEmu::AdapterSettings& settings = {})
    {
        VantriEmu::AdapterModel& model = bus_.Attach(settings);
        std::uint32_t count = 0;
        EXPECT_TRUE(bus_.EnumerateDevices(count));
        ProgressLog::Take();
        return model;
    }

    // The frames the adapter was sent, in order.
    std::vector<Vantri::CommandFrame> Sent(const VantriEmu::AdapterModel& model) const
    {
        std::vector<Vantri::CommandFrame> frames;
        for (const auto& entry : model.Transcript()) {
            if (entry.toAdapter)
                frames.push_back(entry.frame);
        }
        return frames;
    }

    VantriEmu::EmulatedBus bus_;
    VantriTest::ScopedLoader bound_{bus_};
};

// Wraps another loader and counts the calls that pass through it.
class CountingLoader final : public Vantri::Loader {
public:
    explicit CountingLoader(Vantri::Loader& inner) : inner_(inner) {}
    ~CountingLoader() = default;
    bool EnumerateDevices(std::uint32_t& count) override { return inner_.EnumerateDevices(count); }
    void CloseDevice(std::uint32_t index) override { inner_.CloseDevice(index); }
    Vantri::ResultRecord WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload) override
    {
        ++writes;
        lastIndex = index;
        return inner_.WriteReport(index, payload);
    }
    Vantri::ResultRecord ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                    std::uint32_t timeoutMs) override
    {
        ++reads;
        lastIndex = index;
        return inner_.ReadReport(index, destination, timeoutMs);
    }
    int writes = 0;
    int reads = 0;
    std::uint32_t lastIndex = 0xFFFFFFFF;

private:
    Vantri::Loader& inner_;
};

} // namespace ProtocolTest

// The protocol core against the in-process adapter model, with the model's
// transcript off: CPU time and heap allocations per exchange.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/bm_alloc_counter.h"
#include "emulator/model/emulated_bus.h"
#include "protocol/block_transfer.h"
#include "protocol/config_transfer.h"
#include "protocol/exchange.h"
#include "tests/support/loader_switch.h"

namespace {

constexpr std::uint32_t kCarriedImageSize = 257536;
constexpr std::uint32_t kImageFrames = 4599;

VantriEmu::AdapterSettings QuietAdapter()
{
    VantriEmu::AdapterSettings settings;
    settings.recordTranscript = false;
    return settings;
}

std::vector<std::uint8_t> CarriedSizeImage()
{
    std::vector<std::uint8_t> image(kCarriedImageSize);
    std::uint32_t state = 0x2387;
    for (auto& b : image) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return image;
}

bool FlashOnce(const std::vector<std::uint8_t>& image)
{
    std::uint16_t counter = 1;
    if (Vantri::SendCommand(0, 1, 0, nullptr, 0).code != 0)
        return false;
    if (Vantri::WriteBlock(0, 2, counter, image.data(), kCarriedImageSize, nullptr, 0, kCarriedImageSize).code != 0)
        return false;
    return Vantri::SendCommand(0, 3, counter, nullptr, 0).code == 0;
}

void BM_Exchange(benchmark::State& state)
{
    VantriEmu::EmulatedBus bus(1, QuietAdapter());
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    bus.EnumerateDevices(count);

    const std::uint64_t allocationsBefore = VantriBench::AllocationCount();
    // A begin command: echoed, and cheap for the model, so the time is the
    // exchange's own.
    for (auto _ : state) {
        Vantri::ResultRecord result = Vantri::SendCommand(0, 1, 0, nullptr, 0);
        benchmark::DoNotOptimize(result);
        if (result.code != 0)
            state.SkipWithError("exchange failed");
    }
    const auto allocations = static_cast<double>(VantriBench::AllocationCount() - allocationsBefore);
    state.counters["allocs_per_exchange"] = allocations / static_cast<double>(state.iterations());
    state.counters["exchanges"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Exchange);

void BM_WriteImage(benchmark::State& state)
{
    VantriEmu::EmulatedBus bus(1, QuietAdapter());
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    bus.EnumerateDevices(count);
    const std::vector<std::uint8_t> image = CarriedSizeImage();
    // The model sizes its buffers on the first transfer; later ones reuse
    // them.
    if (!FlashOnce(image)) {
        state.SkipWithError("warm-up flash failed");
        return;
    }

    const std::uint64_t allocationsBefore = VantriBench::AllocationCount();
    for (auto _ : state) {
        if (!FlashOnce(image))
            state.SkipWithError("flash failed");
    }
    const auto allocations = static_cast<double>(VantriBench::AllocationCount() - allocationsBefore);
    const double frames = static_cast<double>(state.iterations()) * (kImageFrames + 2);
    state.counters["allocs_per_frame"] = allocations / frames;
    state.counters["frames"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["clean"] = bus.Device(0).Clean() && bus.Device(0).Image() == image ? 1 : 0;
}
BENCHMARK(BM_WriteImage)->Unit(benchmark::kMillisecond);

// The config area read's own cost, without the frame clock (the time
// against the clock is BM_ReadConfigArea's).
void BM_ConfigAreaReadCpu(benchmark::State& state)
{
    VantriEmu::EmulatedBus bus(1, QuietAdapter());
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    bus.EnumerateDevices(count);
    static std::uint8_t area[Vantri::kConfigAreaSize];

    const std::uint64_t allocationsBefore = VantriBench::AllocationCount();
    for (auto _ : state) {
        if (Vantri::ReadConfigArea(area, nullptr).code != 0)
            state.SkipWithError("read failed");
    }
    const auto allocations = static_cast<double>(VantriBench::AllocationCount() - allocationsBefore);
    const double frames = static_cast<double>(state.iterations()) * (1171 + 2);
    state.counters["allocs_per_frame"] = allocations / frames;
    state.counters["frames"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConfigAreaReadCpu)->Unit(benchmark::kMillisecond);

} // namespace

// Wall time of the three config operations against one in-process adapter
// model that keeps the 1 ms USB frame clock: each exchange costs 2 ms (the
// report leaves at a frame, the answer comes a frame later), so an
// operation can be no faster than 2 ms times its exchanges. Reported:
// wall_over_floor, the wall time over that floor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/model/emulated_bus.h"
#include "protocol/config_transfer.h"
#include "restore/restore_buffers.h"
#include "tests/support/loader_switch.h"

namespace {

constexpr double kExchangeSeconds = 0.002;
// Begin, the frames (56 bytes each, the last one shorter), end.
constexpr std::uint32_t kReadExchanges = 1 + 1171 + 1;
constexpr std::uint32_t kConfigRegionsExchanges = (1 + 1171 + 1) + (1 + 4682 + 1);
constexpr std::uint32_t kOverflowExchanges = 1 + 2341 + 1;

using Operation = Vantri::ResultRecord (*)();

std::uint8_t s_area[Vantri::kConfigImageSize];

Vantri::ResultRecord ReadArea()
{
    return Vantri::ReadConfigArea(s_area, nullptr);
}

Vantri::ResultRecord WriteRegions()
{
    return Vantri::WriteConfigRegions(s_area, g_primaryRegion);
}

Vantri::ResultRecord WriteOverflow()
{
    return Vantri::WriteOverflowRegion(g_overflowRegion);
}

void FrameClocked(benchmark::State& state, Operation operation, std::uint32_t exchanges)
{
    VantriEmu::AdapterSettings settings;
    settings.frameClock = true;
    settings.recordTranscript = false;
    VantriEmu::EmulatedBus bus(1, settings);
    VantriTest::ScopedLoader bound(bus);
    std::uint32_t count = 0;
    bus.EnumerateDevices(count);

    double wallTotal = 0;
    bool allOk = true;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        allOk = operation().code == 0 && allOk;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(wall.count());
        wallTotal += wall.count();
    }
    const double floor = exchanges * kExchangeSeconds;
    state.counters["wall_over_floor"] = wallTotal / static_cast<double>(state.iterations()) / floor;
    state.counters["floor_s"] = floor;
    state.counters["exchanges"] = exchanges;
    state.counters["clean"] = bus.Device(0).Clean() ? 1 : 0;
    if (!allOk)
        state.SkipWithError("the operation failed");
}

void BM_ReadConfigArea(benchmark::State& state)
{
    FrameClocked(state, ReadArea, kReadExchanges);
}

void BM_WriteConfigRegions(benchmark::State& state)
{
    FrameClocked(state, WriteRegions, kConfigRegionsExchanges);
}

void BM_WriteOverflowRegion(benchmark::State& state)
{
    FrameClocked(state, WriteOverflow, kOverflowExchanges);
}

} // namespace

BENCHMARK(BM_ReadConfigArea)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteConfigRegions)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteOverflowRegion)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

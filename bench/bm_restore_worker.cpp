// Wall time of the restore worker's whole device part (the config area read,
// then the image with the primary region, then the overflow region) against
// an adapter model keeping the 1 ms USB frame clock. Each exchange costs
// 2 ms, so the part can be no faster than 9,373 exchanges x 2 ms = 18.746 s:
// 1,173 for the read (13, 1,171 x 14, 16), 5,857 for the image and the
// primary region (4, 1,171 x 5, 6, 7, 4,682 x 8, 9) and 2,343 for the
// overflow region (27, 2,341 x 28, 29). Reported: wall time over that floor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/restore_workflow.h"
#include "emulator/model/emulated_bus.h"
#include "restore/restore_buffers.h"
#include "tests/support/loader_switch.h"

namespace {

constexpr std::uint32_t kReadExchanges = 1 + 1171 + 1;
constexpr std::uint32_t kConfigRegionsExchanges = 1 + 1171 + 1 + 1 + 4682 + 1;
constexpr std::uint32_t kOverflowExchanges = 1 + 2341 + 1;
constexpr std::uint32_t kRestoreExchanges = kReadExchanges + kConfigRegionsExchanges + kOverflowExchanges;
static_assert(kRestoreExchanges == 9373);
constexpr std::chrono::duration<double> kFloor = kRestoreExchanges * std::chrono::milliseconds(2);

void Fill(std::uint8_t* bytes, std::size_t size, std::uint32_t seed)
{
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = static_cast<std::uint8_t>(seed >> 24);
    }
}

void BM_Restore(benchmark::State& state)
{
    VantriEmu::AdapterSettings settings;
    settings.frameClock = true;
    settings.recordTranscript = false;
    double wallTotal = 0;
    bool allRestored = true;

    for (auto _ : state) {
        state.PauseTiming();
        VantriEmu::EmulatedBus bus(1, settings);
        VantriTest::ScopedLoader bound{bus};
        std::uint32_t count = 0;
        bus.EnumerateDevices(count);
        Fill(g_restoreImage, sizeof g_restoreImage, 1);
        Fill(g_primaryRegion, sizeof g_primaryRegion, 2);
        Fill(g_overflowRegion, sizeof g_overflowRegion, 3);
        const std::vector<std::uint8_t> before = bus.Attached(0).ConfigArea();
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        const bool succeeded = Vantri::RestoreToAdapter().code == 0;
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(wall.count());
        wallTotal += wall.count();

        // The adapter's own first 3,040 bytes, the image's after them, and
        // both regions byte for byte.
        std::vector<std::uint8_t> expected(g_restoreImage, g_restoreImage + sizeof g_restoreImage);
        std::memcpy(expected.data(), before.data(), Vantri::kPreservedAreaSize);
        auto& adapter = bus.Attached(0);
        allRestored = allRestored && succeeded && adapter.ConfigArea() == expected &&
                      adapter.PrimaryRegion() == std::vector<std::uint8_t>(g_primaryRegion, std::end(g_primaryRegion)) &&
                      adapter.OverflowRegion() ==
                          std::vector<std::uint8_t>(g_overflowRegion, std::end(g_overflowRegion)) &&
                      adapter.Clean();
    }

    state.counters["wall_over_floor"] = wallTotal / static_cast<double>(state.iterations()) / kFloor.count();
    state.counters["floor_s"] = kFloor.count();
    state.counters["exchanges"] = kRestoreExchanges;
    if (!allRestored)
        state.SkipWithError("the adapter does not hold what the restore wrote, or a transfer failed");
}

} // namespace

// About 19 s an iteration: on request only, never in the quick run.
BENCHMARK(BM_Restore)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

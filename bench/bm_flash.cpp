// Wall time of a whole firmware update of N adapters at once, through the
// real workflow (click, question, one worker per adapter, final box), with
// every adapter model keeping a 1 ms USB frame clock: each exchange costs
// 2 ms (the report leaves at a frame, the answer comes a frame later), so a
// run can be no faster than 2 ms per exchange on its longest path, whatever
// N is. Reported: wall time / that floor, and CPU time per exchange.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/flash_workflow.h"
#include "emulator/model/emulated_bus.h"
#include "resources/resource.h"
#include "tests/native/engine/scripted_window.h"
#include "tests/support/loader_switch.h"

namespace {

using namespace std::chrono_literals;

// 499 frames: the floor is about 1 s, so a run of all three N stays short.
// The ratio, not the absolute time, is what the benchmark is for.
constexpr std::uint32_t kQuickImageSize = 499 * 56;
// The image the program carries: 4,599 frames, a floor of 9.206 s.
constexpr std::uint32_t kCarriedImageSize = 257536;

constexpr auto kExchangeCost = 2ms;
// The update reads information pages 2 and 3 of the first adapter before
// any worker starts: two exchanges on the path before the image.
constexpr std::uint32_t kInfoExchanges = 2;

std::uint32_t ImageExchanges(std::uint32_t imageSize)
{
    return 1 + (imageSize + 55) / 56 + 1; // begin, the pieces, end
}

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void FlashLatency(benchmark::State& state, std::uint32_t imageSize)
{
    const auto adapters = static_cast<std::uint32_t>(state.range(0));
    const std::vector<std::uint8_t> image(imageSize, 0x5A);
    VantriEmu::AdapterSettings settings;
    settings.version = "4.00.20150101";
    settings.frameClock = true;
    settings.recordTranscript = false;

    const std::uint32_t pathExchanges = kInfoExchanges + ImageExchanges(imageSize);
    const std::chrono::duration<double> floor = pathExchanges * kExchangeCost;
    double wallTotal = 0;
    double cpuTotal = 0;
    std::uint64_t exchangesTotal = 0;
    bool allFlashed = true;

    for (auto _ : state) {
        state.PauseTiming();
        Vantri::ResetRun();
        VantriEmu::EmulatedBus bus(adapters, settings);
        VantriTest::ScopedLoader bound{bus};
        VantriTest::EventLog log;
        VantriTest::ScriptedWindow window{log, image};
        window.AnswerQuestions({VantriTest::BoxAnswer::Yes});
        state.ResumeTiming();

        const double cpuStart = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        window.Click(IDC_UPDATE_FIRMWARE);
        const bool ended = window.RunProgram(10min);
        const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
        const double cpu = ProcessCpuSeconds() - cpuStart;

        state.SetIterationTime(wall.count());
        wallTotal += wall.count();
        cpuTotal += cpu;
        exchangesTotal += kInfoExchanges + std::uint64_t{adapters} * ImageExchanges(imageSize);
        const auto boxes = window.Boxes();
        const bool succeeded = ended && boxes.size() == 2 && boxes[1].caption == u"Flash Complete";
        for (std::uint32_t i = 0; i < adapters && succeeded; ++i)
            allFlashed = allFlashed && bus.Attached(i).Image() == image;
        allFlashed = allFlashed && succeeded;
    }

    const double iterations = static_cast<double>(state.iterations());
    state.counters["wall_over_floor"] = wallTotal / iterations / floor.count();
    state.counters["floor_s"] = floor.count();
    state.counters["cpu_us_per_exchange"] = cpuTotal * 1e6 / static_cast<double>(exchangesTotal);
    state.counters["image_bytes"] = imageSize;
    if (!allFlashed)
        state.SkipWithError("not every adapter ended with the image, or no success box");
}

void BM_FlashLatency(benchmark::State& state)
{
    FlashLatency(state, kQuickImageSize);
}

void BM_FlashLatencyCarriedImage(benchmark::State& state)
{
    FlashLatency(state, kCarriedImageSize);
}

} // namespace

BENCHMARK(BM_FlashLatency)->Arg(1)->Arg(16)->Arg(256)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlashLatencyCarriedImage)
    ->Arg(1)
    ->Arg(256)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

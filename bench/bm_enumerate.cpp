// The HID search against the scripted bus: how a pass grows with the
// interfaces present. The scripted pause returns at once, so only the work
// of the search and of the bus's calls is timed.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "loader/windows_loader.h"
#include "tests/support/native/scripted_hid_bus.h"

namespace {

constexpr int kAdaptersPresent = 4;

std::u16string NumberedPath(const char* kind, int n)
{
    const std::string text = std::string("\\\\?\\hid#") + kind + "#" + std::to_string(n) + "&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    return {text.begin(), text.end()};
}

// The adapters spread among the others, as a real bus would list them.
std::vector<VantriTest::ScriptedInterface> Bus(int others)
{
    std::vector<VantriTest::ScriptedInterface> interfaces;
    for (int i = 0; i < others; ++i)
        interfaces.push_back(VantriTest::OtherHid(NumberedPath("other", i)));
    for (int a = 0; a < kAdaptersPresent; ++a) {
        const std::size_t at = interfaces.size() * static_cast<std::size_t>(a) / kAdaptersPresent;
        interfaces.insert(interfaces.begin() + static_cast<std::ptrdiff_t>(at), VantriTest::Adapter(NumberedPath("vid_2387&pid_0003", a)));
    }
    return interfaces;
}

void BM_Enumerate(benchmark::State& state)
{
    const int others = static_cast<int>(state.range(0));
    VantriTest::ScriptedHidBus bus;
    bus.SetInterfaces(Bus(others));
    // 137 KB of device table: off the stack.
    const auto loader = std::make_unique<Vantri::WindowsLoader>(VantriTest::ScriptedHidBus::Platform());

    std::uint32_t count = 0;
    for (auto _ : state) {
        loader->EnumerateDevices(count);
        for (std::uint32_t i = 0; i < count; ++i)
            loader->CloseDevice(i);
        benchmark::DoNotOptimize(count);
    }
    if (count != kAdaptersPresent)
        state.SkipWithError("the search did not find the adapters");

    const double passes = bus.ListRequests();
    state.counters["interfaces"] = others + kAdaptersPresent;
    state.counters["passes_per_search"] = passes / static_cast<double>(state.iterations());
    // Seconds per pass: the rate of passes, inverted.
    state.counters["pass_time"] = benchmark::Counter(passes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Enumerate)->Arg(0)->Arg(8)->Arg(64);

} // namespace

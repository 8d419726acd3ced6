// The restore's two loops over bytes: the conversion of 24 entries against a
// database of 2,000 records (ids found near the end of the table), beside a
// plain memcpy of the same 48 blocks timed in the same run; and the
// download's read loop over a scripted 16 MiB response in 8 KiB reads, with
// its progress posts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/window_messages.h"
#include "bench/bm_alloc_counter.h"
#include "restore/config_image.h"
#include "restore/conversion.h"
#include "restore/download.h"
#include "restore/games_database.h"
#include "restore/restore_buffers.h"
#include "tests/native/engine/scripted_window.h"
#include "tests/support/games_database_builder.h"
#include "tests/support/native/scripted_http_session.h"

namespace {

constexpr std::uint32_t kRecords = 2000;
constexpr std::size_t kEntries = Vantri::kConfigEntryCount;
constexpr std::size_t kBlocks = 2 * kEntries;

using Clock = std::chrono::steady_clock;

// Records 0 to 1,999 carry ids 5,000 + r; the entries name the last 24.
Vantri::DownloadBody* LargeDatabase()
{
    VantriTest::GamesDatabaseBuilder builder(kRecords);
    for (std::uint32_t r = 0; r < kRecords; ++r) {
        if (r >= kRecords - kEntries)
            builder.SetGame(r, 5000 + r);
        else
            builder.SetGameId(r, 5000 + r);
    }
    auto* body = new Vantri::DownloadBody{};
    body->size = builder.Bytes().size();
    body->bytes = std::make_unique<std::uint8_t[]>(body->size);
    std::memcpy(body->bytes.get(), builder.Bytes().data(), body->size);
    return body;
}

void FillEntries()
{
    std::memset(g_restoreImage, 0, sizeof g_restoreImage);
    for (std::size_t i = 0; i < kEntries; ++i) {
        std::uint8_t* entry = g_restoreImage + Vantri::ConfigEntryOffset(i);
        const std::uint32_t id = 5000 + kRecords - kEntries + static_cast<std::uint32_t>(i);
        entry[Vantri::kEntryInUseOffset] = 1;
        entry[Vantri::kEntryGameIdOffset] = static_cast<std::uint8_t>(id);
        entry[Vantri::kEntryGameIdOffset + 1] = static_cast<std::uint8_t>(id >> 8);
        entry[Vantri::kEntryKindOffset] = static_cast<std::uint8_t>(i % 4);
    }
}

// The 48 sources the conversion copies from and the 48 places it copies to,
// for the memcpy that does nothing but the copies.
struct Copy {
    const std::uint8_t* from;
    std::uint8_t* to;
};

std::vector<Copy> SameCopies(const Vantri::DownloadBody& database)
{
    const Vantri::DatabaseView view(database.Bytes());
    std::vector<Copy> copies;
    for (std::size_t i = 0; i < kEntries; ++i) {
        const std::uint64_t record = Vantri::kRecordTableOffset + Vantri::kGameRecordSize * (kRecords - kEntries + i);
        const std::uint32_t pair = *view.U32(record + Vantri::kRecordKindOffsetsOffset + 4 * (i % 4));
        std::uint8_t* slot = i < 16 ? g_primaryRegion + 16384 * i : g_overflowRegion + 10912 * (i - 16);
        const std::size_t second = i < 16 ? 8192 : 5456;
        copies.push_back({database.bytes.get() + *view.U32(pair) + Vantri::kBlockDataOffset, slot});
        copies.push_back({database.bytes.get() + *view.U32(pair + 4) + Vantri::kBlockDataOffset, slot + second});
    }
    return copies;
}

void BM_ConvertConfigs(benchmark::State& state)
{
    Vantri::DownloadBody* database = LargeDatabase();
    FillEntries();
    const std::vector<Copy> copies = SameCopies(*database);

    const std::uint64_t allocationsBefore = VantriBench::AllocationCount();
    const auto convertStart = Clock::now();
    for (auto _ : state) {
        if (Vantri::ConvertConfigs(database) != Vantri::ConversionOutcome::Converted)
            state.SkipWithError("conversion failed");
        benchmark::ClobberMemory();
    }
    const double convertNs = std::chrono::duration<double, std::nano>(Clock::now() - convertStart).count();
    const auto allocations = static_cast<double>(VantriBench::AllocationCount() - allocationsBefore);

    // The same number of rounds of nothing but the 48 copies, right after.
    const auto copyStart = Clock::now();
    for (benchmark::IterationCount n = 0; n < state.iterations(); ++n) {
        for (const Copy& copy : copies)
            std::memcpy(copy.to, copy.from, Vantri::kBlockDataSize);
        benchmark::ClobberMemory();
    }
    const double copyNs = std::chrono::duration<double, std::nano>(Clock::now() - copyStart).count();

    const auto rounds = static_cast<double>(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBlocks * Vantri::kBlockDataSize));
    state.counters["ns_per_entry"] = convertNs / rounds / kEntries;
    state.counters["memcpy_ns_per_entry"] = copyNs / rounds / kEntries;
    state.counters["over_memcpy"] = convertNs / copyNs;
    state.counters["allocs_per_conversion"] = allocations / rounds;
    // g_gamesDatabase keeps the body, as in the program.
}
BENCHMARK(BM_ConvertConfigs);

void BM_DownloadLoop(benchmark::State& state)
{
    constexpr std::size_t kBodySize = 16 * 1024 * 1024;
    constexpr std::uint32_t kReadSize = 8 * 1024;
    VantriTest::ScriptedHttpSession http;
    std::vector<std::uint8_t> served(kBodySize);
    for (std::size_t i = 0; i < served.size(); ++i)
        served[i] = static_cast<std::uint8_t>(i * 31 + (i >> 13));
    http.Serve(u"/db", VantriTest::OkResponse(std::move(served), {kReadSize}));
    VantriTest::EventLog log;
    VantriTest::ScriptedWindow window{log};
    const Vantri::HttpPlatform& table = VantriTest::ScriptedHttpSession::Platform();

    Vantri::DownloadBody body;
    body.size = kBodySize;
    body.bytes = std::make_unique<std::uint8_t[]>(kBodySize);
    std::size_t posts = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const Vantri::HttpHandle session =
            table.Open(Vantri::kDownloadAgent, Vantri::HttpAccess::Direct, nullptr);
        const Vantri::HttpHandle connection = table.Connect(session, u"host", 80);
        const Vantri::HttpHandle request = table.OpenRequest(connection, u"GET", u"/db");
        table.SendRequest(request);
        state.ResumeTiming();

        if (Vantri::ReceiveBody(table, request, 1, window.MainWindow(), body) != Vantri::DownloadOutcome::Received)
            state.SkipWithError("read loop failed");

        state.PauseTiming();
        for (Vantri::HttpHandle handle : {request, connection, session})
            table.CloseHandle(handle);
        posts += kBodySize / kReadSize;
        window.RunUntil([&] { return window.PostsDelivered() == posts; });
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBodySize));
    state.counters["reads"] =
        benchmark::Counter(static_cast<double>(state.iterations() * (kBodySize / kReadSize)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DownloadLoop)->Unit(benchmark::kMillisecond);

} // namespace

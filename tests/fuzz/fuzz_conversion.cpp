// The conversion over any backup entries and any database bytes. Input: one
// byte n (entries, mod 25), n entries of 4 bytes (inUse, gameId low, high,
// kind), then the database from its recordCount on; the 10,332 bytes before
// it are never interpreted and are filled in here, so that short inputs
// reach the records. The first byte's multiple of 25 picks a variant: 1
// converts with no body at all, 8 or more a second time with the same body,
// which must be kept, not released, and give the same result.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "restore/config_image.h"
#include "restore/conversion.h"
#include "restore/games_database.h"
#include "restore/restore_buffers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t entries = std::min<std::size_t>(data[0] % 25, (size - 1) / 4);
    std::memset(g_restoreImage, 0, sizeof g_restoreImage);
    std::memset(g_primaryRegion, 0, sizeof g_primaryRegion);
    std::memset(g_overflowRegion, 0, sizeof g_overflowRegion);
    const std::uint8_t* entry = data + 1;
    std::size_t leading = 0; // in-use entries before the first free one
    bool freeSeen = false;
    for (std::size_t i = 0; i < entries; ++i, entry += 4) {
        std::uint8_t* at = g_restoreImage + Vantri::ConfigEntryOffset(i);
        at[Vantri::kEntryInUseOffset] = entry[0];
        at[Vantri::kEntryGameIdOffset] = entry[1];
        at[Vantri::kEntryGameIdOffset + 1] = entry[2];
        at[Vantri::kEntryKindOffset] = entry[3];
        freeSeen = freeSeen || entry[0] == 0;
        leading += freeSeen ? 0 : 1;
    }
    const std::uint32_t oldCount = 0xA5A5A5A5;
    std::memcpy(g_restoreImage + Vantri::kBlockCountOffset, &oldCount, 4);
    std::uint32_t count = 0;

    if (data[0] / 25 == 1) {
        const bool broken = Vantri::ConvertConfigs(nullptr) == Vantri::ConversionOutcome::BrokenDatabase;
        std::memcpy(&count, g_restoreImage + Vantri::kBlockCountOffset, 4);
        if (!broken || g_gamesDatabase || count != oldCount)
            __builtin_trap();
        return 0;
    }

    const std::size_t tail = size - 1 - 4 * entries;
    auto* body = new Vantri::DownloadBody{};
    body->size = Vantri::kRecordCountOffset + tail;
    body->bytes.reset(new std::uint8_t[body->size]);
    std::memset(body->bytes.get(), 0x5A, Vantri::kRecordCountOffset);
    std::memcpy(body->bytes.get() + Vantri::kRecordCountOffset, entry, tail);

    // The conversion keeps the body (and releases the previous run's).
    const Vantri::ConversionOutcome outcome = Vantri::ConvertConfigs(body);
    std::memcpy(&count, g_restoreImage + Vantri::kBlockCountOffset, 4);
    if (g_gamesDatabase.get() != body)
        __builtin_trap();
    if (outcome == Vantri::ConversionOutcome::Converted ? count != 2 * leading : count != oldCount)
        __builtin_trap();
    if (body->size < Vantri::kMinDatabaseSize && outcome != Vantri::ConversionOutcome::BrokenDatabase)
        __builtin_trap();
    if (data[0] / 25 >= 8) {
        std::uint32_t again = 0;
        const bool same = Vantri::ConvertConfigs(body) == outcome;
        std::memcpy(&again, g_restoreImage + Vantri::kBlockCountOffset, 4);
        if (!same || again != count || g_gamesDatabase.get() != body)
            __builtin_trap();
    }
    return 0;
}

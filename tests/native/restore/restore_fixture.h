// Shared by the restore tests: backup images with chosen entries, bodies as
// the download hands them over, and the restore's buffers reset per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "restore/config_image.h"
#include "restore/download_body.h"
#include "restore/restore_buffers.h"

namespace VantriTest {

inline constexpr std::uint8_t kFree = 0;

// One entry of a backup: in use (any non-zero byte), its game id and kind.
struct BackupEntry {
    std::uint8_t inUse = 1;
    std::uint16_t gameId = 0;
    std::uint8_t kind = 0;
};

inline void PutEntry(std::uint8_t* image, std::size_t index, const BackupEntry& entry)
{
    std::uint8_t* at = image + Vantri::ConfigEntryOffset(index);
    at[Vantri::kEntryInUseOffset] = entry.inUse;
    at[Vantri::kEntryGameIdOffset] = static_cast<std::uint8_t>(entry.gameId);
    at[Vantri::kEntryGameIdOffset + 1] = static_cast<std::uint8_t>(entry.gameId >> 8);
    at[Vantri::kEntryKindOffset] = entry.kind;
}

inline std::uint32_t ImageBlockCount()
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(g_restoreImage[Vantri::kBlockCountOffset + i]) << (8 * i);
    return value;
}

// A body as the download worker hands it over: on the heap, owned by the
// receiver.
inline Vantri::DownloadBody* NewBody(const std::vector<std::uint8_t>& bytes)
{
    auto* body = new Vantri::DownloadBody{};
    body->size = bytes.size();
    body->bytes = std::make_unique<std::uint8_t[]>(bytes.size());
    if (!bytes.empty())
        std::memcpy(body->bytes.get(), bytes.data(), bytes.size());
    return body;
}

// The restore's buffers as a restore finds them after reading a backup:
// zero regions, and an image whose bytes outside the entries' three fields
// are not zero, since the conversion must leave them alone.
class RestoreBuffersTest : public ::testing::Test {
protected:
    RestoreBuffersTest()
    {
        for (std::size_t i = 0; i < Vantri::kConfigImageSize; ++i)
            g_restoreImage[i] = static_cast<std::uint8_t>(i * 3 + 1);
        for (std::size_t e = 0; e < Vantri::kConfigEntryCount; ++e)
            g_restoreImage[Vantri::ConfigEntryOffset(e) + Vantri::kEntryInUseOffset] = kFree;
        std::memset(g_primaryRegion, 0, sizeof g_primaryRegion);
        std::memset(g_overflowRegion, 0, sizeof g_overflowRegion);
    }
    ~RestoreBuffersTest() override
    {
        g_gamesDatabase.reset();
    }
};

} // namespace VantriTest

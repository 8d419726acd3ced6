// The buffers a restore works in: static, zero at program start, alive for
// the whole run (one operation per run). Filled on the main thread before the
// restore worker is queued; then the worker's alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "protocol/config_transfer.h"
#include "restore/config_image.h"
#include "restore/download_body.h"

namespace Vantri {

inline constexpr std::size_t kFileNameCapacity = 260;

} // namespace Vantri

extern std::uint8_t g_restoreImage[Vantri::kConfigImageSize];
extern std::uint8_t g_restoreReadBuffer[Vantri::kConfigImageSize];
extern std::uint8_t g_primaryRegion[Vantri::kPrimaryRegionSize];
extern std::uint8_t g_overflowRegion[Vantri::kOverflowRegionSize];
extern char16_t g_restoreFileName[Vantri::kFileNameCapacity];
// The games database the conversion worked on; kept until the program ends.
extern std::unique_ptr<Vantri::DownloadBody> g_gamesDatabase;

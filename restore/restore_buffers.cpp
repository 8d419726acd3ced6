#include "restore/restore_buffers.h"

std::uint8_t g_restoreImage[Vantri::kConfigImageSize];
std::uint8_t g_restoreReadBuffer[Vantri::kConfigImageSize];
std::uint8_t g_primaryRegion[Vantri::kPrimaryRegionSize];
std::uint8_t g_overflowRegion[Vantri::kOverflowRegionSize];
char16_t g_restoreFileName[Vantri::kFileNameCapacity];
std::unique_ptr<Vantri::DownloadBody> g_gamesDatabase;

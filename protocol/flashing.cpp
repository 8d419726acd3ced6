#include "protocol/flashing.h"

#include "protocol/exchange.h"

const std::uint8_t* g_firmwareImage = nullptr;
std::uint32_t g_firmwareSize = 0;

namespace Vantri {

// A build without the image, or with an image the block counter cannot
// number, must not end in a "successful" flash of nothing: the adapter would
// be left without firmware while the user is told it was updated.
bool FirmwareImageUsable()
{
    return g_firmwareImage != nullptr && g_firmwareSize != 0 && g_firmwareSize <= kMaxFirmwareSize;
}

ResultRecord FlashFirmware(std::uint32_t deviceIndex, ProgressCallback progress)
{
    if (!FirmwareImageUsable())
        return {kNoFirmwareImageCode, g_firmwareSize, 0, kNoFirmwareImage};

    std::uint16_t blockCounter = 1;
    if (ResultRecord result = SendCommand(deviceIndex, kImageBeginCommand, 0, nullptr, 0); result.code != 0)
        return result;
    if (ResultRecord result = WriteBlock(deviceIndex, kImageDataCommand, blockCounter, g_firmwareImage,
                                         g_firmwareSize, progress, 0, g_firmwareSize);
        result.code != 0)
        return result;
    return SendCommand(deviceIndex, kImageEndCommand, blockCounter, nullptr, 0);
}

ResultRecord RunFlashJob(FlashJob job, ProgressCallback progress)
{
    // Checked before the erase commands too: a factory reset that erased the
    // configs and then had nothing to write would leave the adapter worse off.
    if (!FirmwareImageUsable())
        return {kNoFirmwareImageCode, g_firmwareSize, 0, kNoFirmwareImage};

    const std::uint32_t deviceIndex = FlashJobDeviceIndex(job);
    if (FlashJobIsFactoryReset(job)) {
        if (ResultRecord result = SendCommand(deviceIndex, kEraseConfigsCommand, 0, nullptr, 0); result.code != 0)
            return result;
        if (ResultRecord result = SendCommand(deviceIndex, kEraseSettingsCommand, 0, nullptr, 0); result.code != 0)
            return result;
    }
    return FlashFirmware(deviceIndex, progress);
}

} // namespace Vantri

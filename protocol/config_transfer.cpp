#include "protocol/config_transfer.h"

#include "protocol/exchange.h"

namespace Vantri {

namespace {

// The config area and the primary block region share one percent scale.
constexpr std::uint32_t kConfigRegionsTotal = kConfigAreaSize + kPrimaryRegionSize;

ResultRecord Begin(std::uint32_t device, std::uint8_t command)
{
    return SendCommand(device, command, 0, nullptr, 0);
}

ResultRecord End(std::uint32_t device, std::uint8_t command, std::uint16_t blockCounter)
{
    return SendCommand(device, command, blockCounter, nullptr, 0);
}

// One begin/data/end sequence with its own block counter from 1. No end
// command follows a failed transfer.
ResultRecord WriteSequence(std::uint32_t device, std::uint8_t begin, std::uint8_t data, std::uint8_t end,
                           const std::uint8_t* bytes, std::uint32_t length, ProgressCallback progress,
                           std::uint32_t baseOffset, std::uint32_t progressTotal)
{
    std::uint16_t blockCounter = 1;
    if (ResultRecord result = Begin(device, begin); result.code != 0)
        return result;
    if (ResultRecord result =
            WriteBlock(device, data, blockCounter, bytes, length, progress, baseOffset, progressTotal);
        result.code != 0)
        return result;
    return End(device, end, blockCounter);
}

} // namespace

ResultRecord ReadConfigArea(std::span<std::uint8_t, kConfigAreaSize> destination, ProgressCallback progress,
                            std::uint32_t deviceIndex)
{
    std::uint16_t blockCounter = 1;
    if (ResultRecord result = Begin(deviceIndex, kConfigReadBeginCommand); result.code != 0)
        return result;
    if (ResultRecord result = ReadBlock(blockCounter, destination, progress, deviceIndex); result.code != 0)
        return result;
    return End(deviceIndex, kConfigReadEndCommand, blockCounter);
}

ResultRecord WriteConfigRegions(std::span<const std::uint8_t, kConfigAreaSize> image,
                                std::span<const std::uint8_t, kPrimaryRegionSize> primary, ProgressCallback progress,
                                std::uint32_t deviceIndex)
{
    if (ResultRecord result = WriteSequence(deviceIndex, kConfigWriteBeginCommand, kConfigWriteDataCommand,
                                            kConfigWriteEndCommand, image.data(), kConfigAreaSize, progress, 0,
                                            kConfigRegionsTotal);
        result.code != 0)
        return result;
    return WriteSequence(deviceIndex, kPrimaryBeginCommand, kPrimaryDataCommand, kPrimaryEndCommand, primary.data(),
                         kPrimaryRegionSize, progress, kConfigAreaSize, kConfigRegionsTotal);
}

ResultRecord WriteOverflowRegion(std::span<const std::uint8_t, kOverflowRegionSize> overflow,
                                 ProgressCallback progress, std::uint32_t deviceIndex)
{
    return WriteSequence(deviceIndex, kOverflowBeginCommand, kOverflowDataCommand, kOverflowEndCommand,
                         overflow.data(), kOverflowRegionSize, progress, 0, kOverflowRegionSize);
}

} // namespace Vantri

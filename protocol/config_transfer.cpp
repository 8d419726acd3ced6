#include "protocol/config_transfer.h"

#include "protocol/exchange.h"

namespace Vantri {

namespace {

constexpr std::uint32_t kDevice = 0;
// The config area and the primary block region share one percent scale.
constexpr std::uint32_t kConfigRegionsTotal = kConfigAreaSize + kPrimaryRegionSize;

ResultRecord Begin(std::uint8_t command)
{
    return SendCommand(kDevice, command, 0, nullptr, 0);
}

ResultRecord End(std::uint8_t command, std::uint16_t blockCounter)
{
    return SendCommand(kDevice, command, blockCounter, nullptr, 0);
}

// One begin/data/end sequence with its own block counter from 1. No end
// command follows a failed transfer.
ResultRecord WriteSequence(std::uint8_t begin, std::uint8_t data, std::uint8_t end, const std::uint8_t* bytes,
                           std::uint32_t length, ProgressCallback progress, std::uint32_t baseOffset,
                           std::uint32_t progressTotal)
{
    std::uint16_t blockCounter = 1;
    if (ResultRecord result = Begin(begin); result.code != 0)
        return result;
    if (ResultRecord result =
            WriteBlock(kDevice, data, blockCounter, bytes, length, progress, baseOffset, progressTotal);
        result.code != 0)
        return result;
    return End(end, blockCounter);
}

} // namespace

ResultRecord ReadConfigArea(std::span<std::uint8_t, kConfigAreaSize> destination, ProgressCallback progress)
{
    std::uint16_t blockCounter = 1;
    if (ResultRecord result = Begin(kConfigReadBeginCommand); result.code != 0)
        return result;
    if (ResultRecord result = ReadBlock(blockCounter, destination, progress); result.code != 0)
        return result;
    return End(kConfigReadEndCommand, blockCounter);
}

ResultRecord WriteConfigRegions(std::span<const std::uint8_t, kConfigAreaSize> image,
                                std::span<const std::uint8_t, kPrimaryRegionSize> primary, ProgressCallback progress)
{
    if (ResultRecord result = WriteSequence(kConfigWriteBeginCommand, kConfigWriteDataCommand,
                                            kConfigWriteEndCommand, image.data(), kConfigAreaSize, progress, 0,
                                            kConfigRegionsTotal);
        result.code != 0)
        return result;
    return WriteSequence(kPrimaryBeginCommand, kPrimaryDataCommand, kPrimaryEndCommand, primary.data(),
                         kPrimaryRegionSize, progress, kConfigAreaSize, kConfigRegionsTotal);
}

ResultRecord WriteOverflowRegion(std::span<const std::uint8_t, kOverflowRegionSize> overflow,
                                 ProgressCallback progress)
{
    return WriteSequence(kOverflowBeginCommand, kOverflowDataCommand, kOverflowEndCommand, overflow.data(),
                         kOverflowRegionSize, progress, 0, kOverflowRegionSize);
}

} // namespace Vantri

#include "protocol/device_info.h"

#include <cstring>

#include "protocol/exchange.h"
#include "protocol/numbers.h"

namespace Vantri {

namespace {

constexpr std::uint32_t kDateStart = 5;
constexpr std::uint32_t kDateDigits = 8;

} // namespace

ResultRecord ReadDeviceInfo(DeviceInfo& info, std::uint32_t deviceIndex)
{
    std::memset(&info, 0, sizeof info);
    std::uint8_t page[kFrameDataSize]{};
    std::uint32_t length = 0;

    if (ResultRecord result = ReceiveData(kDeviceInfoCommand, 0, 2, page, length, deviceIndex); result.code != 0)
        return result;
    std::memcpy(info.page2Head, page, 4);
    std::memcpy(info.firmwareVersion, page + 4, kFirmwareVersionSize);
    std::memcpy(info.page2Tail, page + 28, 16);

    // The staging area is not cleared again: bytes that page 3 does not send
    // keep what page 2 left there.
    if (ResultRecord result = ReceiveData(kDeviceInfoCommand, 0, 3, page, length, deviceIndex); result.code != 0)
        return result;
    std::memcpy(info.page3Head, page, 4);
    std::memcpy(info.page3Body, page + 4, 24);
    return kResultOk;
}

std::uint32_t FirmwareDateNumber(std::span<const char> versionText)
{
    char digits[kDateDigits + 1]{};
    for (std::uint32_t i = 0; i < kDateDigits && kDateStart + i < versionText.size(); ++i)
        digits[i] = versionText[kDateStart + i];

    // strtol's negative result, taken as an unsigned number.
    return static_cast<std::uint32_t>(DecimalValue(std::string_view(digits)));
}

std::string_view FirmwareVersionText(const DeviceInfo& info)
{
    const auto* end = static_cast<const char*>(std::memchr(info.firmwareVersion, 0, kFirmwareVersionSize));
    return {info.firmwareVersion, end ? static_cast<std::size_t>(end - info.firmwareVersion) : kFirmwareVersionSize};
}

UpdateOutcome UpdateRule(std::uint32_t adapterDate, std::uint32_t carriedDate)
{
    if (adapterDate <= kLastOutdatedFirmwareDate)
        return UpdateOutcome::TooOld;
    if (carriedDate > adapterDate)
        return UpdateOutcome::UpgradeOffered;
    return UpdateOutcome::UpToDate;
}

bool ConfigRuleAllows(std::uint32_t adapterDate)
{
    return adapterDate > kLastOutdatedFirmwareDate;
}

} // namespace Vantri

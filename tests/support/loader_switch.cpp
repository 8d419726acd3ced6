#include "tests/support/loader_switch.h"

namespace VantriTest {

namespace {
LoaderSwitch s_switch;
} // namespace

LoaderSwitch& Loaders()
{
    return s_switch;
}

// With nothing bound, every operation behaves like a machine with no
// adapter: nothing found, every report refused as on a closed slot.
bool LoaderSwitch::EnumerateDevices(std::uint32_t& count)
{
    if (!target_) {
        count = 0;
        return true;
    }
    return target_->EnumerateDevices(count);
}

void LoaderSwitch::CloseDevice(std::uint32_t index)
{
    if (target_)
        target_->CloseDevice(index);
}

Vantri::ResultRecord LoaderSwitch::WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload)
{
    return target_ ? target_->WriteReport(index, payload) : Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle);
}

Vantri::ResultRecord LoaderSwitch::ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                              std::uint32_t timeoutMs)
{
    return target_ ? target_->ReadReport(index, destination, timeoutMs)
                   : Vantri::ReadTransportFailure(Vantri::kErrorInvalidHandle);
}

} // namespace VantriTest

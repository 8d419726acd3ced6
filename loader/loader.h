// The loader: the only road from the rest of the program to an adapter.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/command_frame.h"

namespace Vantri {

inline constexpr std::uint32_t kMaxDevices = 256;
inline constexpr std::uint32_t kDevicePathChars = 260;

// A system file handle; null when the slot is empty or closed.
using DeviceHandle = void*;

struct DeviceSlot {
    char16_t path[kDevicePathChars]; // first character 0 when empty or closed
    DeviceHandle handle;
    std::uint32_t present;           // seen in the enumeration's current pass
};

// An interface with the adapter's ids and product string that the search
// passed over because its capabilities are not the adapter's 65-byte reports
// (both lengths 0: they could not be read). For the diagnostics log.
struct PassedOverInterface {
    char16_t path[kDevicePathChars];
    std::uint16_t inputBytes;
    std::uint16_t outputBytes;
};

// Interface paths name the same adapter whatever the case of their letters,
// as Windows compares them.
constexpr bool SameDevicePath(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    const auto folded = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (folded(a[i]) != folded(b[i]))
            return false;
    }
    return true;
}

// The look-alikes one search keeps for the log; more are passed over unnoted.
inline constexpr std::uint32_t kMaxPassedOver = 8;

// Four operations in front of the platform's HID stack. Everything above
// names an adapter only by its device index.
class Loader {
public:
    virtual bool EnumerateDevices(std::uint32_t& count) = 0;
    virtual void CloseDevice(std::uint32_t index) = 0;
    virtual ResultRecord WriteReport(std::uint32_t index, const CommandFrame& payload) = 0;
    // Waits at most `timeoutMs` for the answer; only the command layer knows
    // how long the command it answers may take (protocol/exchange.cpp).
    virtual ResultRecord ReadReport(std::uint32_t index, CommandFrame& destination, std::uint32_t timeoutMs) = 0;
    // The system's path of an adapter found by the last enumeration, for the
    // diagnostics log; empty where a loader has none.
    virtual std::u16string_view DevicePath(std::uint32_t) const { return {}; }
    // The look-alikes the last enumeration passed over, each once, in the
    // order first met; empty where a loader has none.
    virtual std::span<const PassedOverInterface> PassedOver() const { return {}; }

protected:
    // The one loader has static storage and is never destroyed through the
    // interface, so the interface has no virtual destructor.
    ~Loader() = default;
};

} // namespace Vantri

// The program's one loader. The Windows program binds it to its
// WindowsLoader; the native tests and benchmarks bind it to adapter models.
extern Vantri::Loader& g_loader;

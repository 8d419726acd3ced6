// The emulator process's interfaces and the handling of one connection of
// the wire protocol (docs/emulator.md).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/model/adapter_model.h"
#include "emulator/server/server_options.h"
#include "emulator/server/wire_format.h"

namespace VantriEmu {

// Every path the emulator presents has this many UTF-16 units
// (docs/emulator.md); the size of a LIST reply follows from it.
inline constexpr std::uint32_t kInterfacePathUnits = 77;
// As many interfaces as one LIST reply can carry; the options allow no more.
inline constexpr std::uint32_t kMaxInterfaces = static_cast<std::uint32_t>(
    (VantriWire::kMaxMessageSize - VantriWire::ListReplySize(0, 0)) / (2 + 2 * kInterfacePathUnits));
static_assert(VantriWire::ListReplySize(kMaxInterfaces, kInterfacePathUnits) <= VantriWire::kMaxMessageSize);

// One HID interface the emulator presents: an adapter (with its model) or
// some other device.
struct HidInterface {
    std::u16string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
    std::u16string product;
    // Report lengths with the id byte, as the interface's capabilities say.
    std::uint16_t inputReportBytes = 65;
    std::uint16_t outputReportBytes = 65;
    std::unique_ptr<AdapterModel> adapter; // null for other devices
    std::atomic<bool> open{false};
    bool flickers = false;                 // left out of every second LIST
    std::atomic<std::uint32_t> listings{0};
    std::atomic<std::uint32_t> opens{0};   // successful OPENs
    // Per command, when its first frame came in (microseconds on the clock
    // Wine's QueryPerformanceCounter reads, so that the Windows side's
    // times compare with it); 0: never.
    std::array<std::atomic<std::int64_t>, 128> firstFrameUs{};
    // Until then the adapter is not plugged in (--arrive-after).
    std::chrono::steady_clock::time_point arrivesAt{};

    bool Present() const
    {
        return (!adapter || !adapter->Vanished()) && std::chrono::steady_clock::now() >= arrivesAt;
    }
};

class EmulatorServer {
public:
    explicit EmulatorServer(const ServerOptions& options);

    // Serves one accepted connection until it ends; runs on its own thread.
    void Serve(int socket);
    // Writes every adapter's state to the state folder; false when there is
    // none or it cannot be written.
    bool Dump(std::string& error);

    const std::vector<std::unique_ptr<HidInterface>>& Interfaces() const { return interfaces_; }

private:
    class Connection;

    HidInterface* Find(const std::u16string& path) const;

    std::string stateDir_;
    std::vector<std::unique_ptr<HidInterface>> interfaces_; // list order
    std::vector<const HidInterface*> adapters_;             // adapter order
    std::mutex dumpMutex_;
};

std::u16string AdapterPath(std::uint32_t adapter);

} // namespace VantriEmu

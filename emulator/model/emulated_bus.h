// A loader over adapter models: what the tests, the benchmarks and the demo
// bind g_loader to in place of the Windows HID stack.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/model/adapter_model.h"
#include "loader/loader.h"

namespace VantriEmu {

// Attach models, then enumerate: device index i is the i-th attached model
// that is neither vanished nor held open by another program, as the Windows
// loader would number them. Reports on different indices run on different
// threads at once and meet no common lock; each goes straight to its
// adapter's model.
class EmulatedBus final : public Vantri::Loader {
public:
    EmulatedBus() = default;
    explicit EmulatedBus(std::uint32_t adapters, const AdapterSettings& settings = {});
    ~EmulatedBus() = default;
    EmulatedBus(const EmulatedBus&) = delete;
    EmulatedBus& operator=(const EmulatedBus&) = delete;

    // Plugs in one more adapter; takes effect at the next enumeration.
    AdapterModel& Attach(const AdapterSettings& settings = {});
    // The attached models in attach order (not device indices).
    AdapterModel& Attached(std::uint32_t n) { return *attached_.at(n); }
    std::uint32_t AttachedCount() const { return static_cast<std::uint32_t>(attached_.size()); }
    // The model behind a device index of the last enumeration.
    AdapterModel& Device(std::uint32_t index) { return *slots_.at(index).model; }

    // The platform's list of present interfaces cannot be had.
    void FailEnumeration(bool fail) { failEnumeration_ = fail; }

    bool IsOpen(std::uint32_t index) const;
    std::uint32_t CloseCalls(std::uint32_t index) const;
    std::uint32_t Enumerations() const { return enumerations_; }

    bool EnumerateDevices(std::uint32_t& count) override;
    void CloseDevice(std::uint32_t index) override;
    Vantri::ResultRecord WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload) override;
    Vantri::ResultRecord ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                    std::uint32_t timeoutMs) override;
    // A path of the Windows form, one per attached model (its attach number
    // in it), empty once the device is closed, as the Windows loader's.
    std::u16string_view DevicePath(std::uint32_t index) const override;
    static std::u16string PathOf(std::uint32_t attachNumber);

private:
    struct Slot {
        AdapterModel* model = nullptr;
        std::u16string path;
        std::atomic<bool> open{false};
        std::atomic<std::uint32_t> closeCalls{0};
    };

    AdapterModel* OpenModel(std::uint32_t index) const;

    std::vector<std::unique_ptr<AdapterModel>> attached_;
    std::array<Slot, Vantri::kMaxDevices> slots_{};
    std::uint32_t count_ = 0;
    std::uint32_t enumerations_ = 0;
    bool failEnumeration_ = false;
};

} // namespace VantriEmu

// The loader over the HID interfaces of the machine: finds the adapters,
// holds them open in the device table and moves 65-byte reports.
#pragma once

#include <cstdint>

#include "loader/hid_platform.h"
#include "loader/loader.h"

namespace Vantri {

inline constexpr std::uint16_t kAdapterVendorId = 0x2387;
inline constexpr std::uint16_t kAdapterProductId = 3;
inline constexpr char16_t kAdapterProductString[] = u"Vantri4";

inline constexpr std::uint32_t kEnumerationPasses = 3;
inline constexpr std::uint32_t kPassPauseMs = 25;

// Restarts after an adapter found earlier has gone; past this many the
// search ends as if no adapter were there.
inline constexpr std::uint32_t kMaxSearchRestarts = 5;

// Time limit of one report write. A read's limit comes with the read.
inline constexpr std::uint32_t kWriteTimeoutMs = 10000;

// The most input reports Windows holds for one handle (its buffer count
// ranges up to 512).
inline constexpr std::uint32_t kMaxWaitingReports = 512;

class WindowsLoader final : public Loader {
public:
    constexpr explicit WindowsLoader(const HidPlatform& platform, std::uint32_t writeTimeoutMs = kWriteTimeoutMs)
        : platform_(&platform), writeTimeoutMs_(writeTimeoutMs), slots_{}, passedOver_{}
    {
    }

    WindowsLoader(const WindowsLoader&) = delete;
    WindowsLoader& operator=(const WindowsLoader&) = delete;

    bool EnumerateDevices(std::uint32_t& count) override;
    void CloseDevice(std::uint32_t index) override;
    ResultRecord WriteReport(std::uint32_t index, const CommandFrame& payload) override;
    ResultRecord ReadReport(std::uint32_t index, CommandFrame& destination, std::uint32_t timeoutMs) override;
    std::u16string_view DevicePath(std::uint32_t index) const override
    {
        return index < kMaxDevices ? std::u16string_view(slots_[index].path) : std::u16string_view();
    }

    std::span<const PassedOverInterface> PassedOver() const override
    {
        return {passedOver_, passedOverCount_};
    }

    // Read-only view of one slot, for tests and diagnostics; null past the table.
    const DeviceSlot* Slot(std::uint32_t index) const { return index < kMaxDevices ? &slots_[index] : nullptr; }

private:
    enum class PassOutcome { Done, Restarted, ListUnavailable };

    PassOutcome RunPass(const HidGuid& hidClass, std::uint32_t& filled, std::uint32_t& passCounter);
    void ExamineMember(InterfaceList list, const HidInterfaceRecord& record, std::uint32_t& filled,
                       std::uint32_t& passCounter);
    bool MarkKnown(const char16_t* path, std::uint32_t filled);
    bool IsAdapter(const char16_t* path);
    void NotePassedOver(const char16_t* path, const HidReportLengths& lengths);
    void DropWaitingInput(PlatformHandle device) const;
    void CloseAll(std::uint32_t filled);
    void ClearTable();
    PlatformHandle SlotHandle(std::uint32_t index) const;

    const HidPlatform* platform_;
    std::uint32_t writeTimeoutMs_;
    DeviceSlot slots_[kMaxDevices];
    PassedOverInterface passedOver_[kMaxPassedOver];
    std::uint32_t passedOverCount_ = 0;
};

} // namespace Vantri

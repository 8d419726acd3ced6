// A scripted HID bus below the loader's platform table: the interfaces that
// each pass of a search sees, the reports each device answers with, and a
// record of every open, close, pause and transfer. Single-threaded; the bus
// most recently constructed is the one the table talks to.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "loader/hid_platform.h"

namespace VantriTest {

using HidReport = std::array<std::uint8_t, Vantri::kReportSize>;

struct ScriptedInterface {
    std::u16string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::u16string product;
    bool heldElsewhere = false; // another program has it open exclusively
    bool attributesFail = false;
    bool productFail = false;
    // Its capabilities' report lengths, id byte included; unreadable with
    // lengthsFail.
    std::uint16_t inputReportBytes = Vantri::kReportSize;
    std::uint16_t outputReportBytes = Vantri::kReportSize;
    bool lengthsFail = false;
    // Input reports it sends as it is opened, before anyone asks.
    std::vector<HidReport> unasked{};
};

// A qualifying adapter and a HID interface that is none.
ScriptedInterface Adapter(std::u16string path);
ScriptedInterface OtherHid(std::u16string path);

// What one transfer call reports: its error code and how much it moved.
struct TransferScript {
    std::uint32_t error = 0;
    std::uint32_t transferred = Vantri::kReportSize;
};

class ScriptedHidBus {
public:
    ScriptedHidBus();
    ~ScriptedHidBus();
    ScriptedHidBus(const ScriptedHidBus&) = delete;
    ScriptedHidBus& operator=(const ScriptedHidBus&) = delete;

    // The table whose calls land on the active bus.
    static const Vantri::HidPlatform& Platform();

    // Pass k of the search sees passes[k]; the last entry repeats for ever.
    void SetPasses(std::vector<std::vector<ScriptedInterface>> passes);
    void SetInterfaces(std::vector<ScriptedInterface> interfaces);
    // From the given list request on (0-based), the list cannot be had.
    void FailListFrom(std::uint32_t listRequest) { failListFrom_ = listRequest; }
    void FailHidServices() { hidServicesFail_ = true; }
    // Dropping a handle's waiting input is refused, as Wine's hid.dll does.
    void RefuseFlush() { flushRefused_ = true; }

    // Reports a device will answer with, in order. With none left a read
    // times out, as a silent adapter does.
    void QueueInput(std::u16string_view path, const HidReport& report);
    // Every later write or read on the device reports this instead.
    void ScriptWrites(std::u16string_view path, TransferScript script);
    void ScriptReads(std::u16string_view path, TransferScript script);

    std::uint32_t GuidRequests() const { return guidRequests_; }
    std::uint32_t ListRequests() const { return listRequests_; }
    std::uint32_t ListsOutstanding() const { return listsOutstanding_; }
    std::uint32_t Opens() const { return opens_; }
    std::uint32_t Closes() const { return closes_; }
    std::uint32_t BadCloses() const { return badCloses_; }
    std::uint32_t OpenHandles() const { return static_cast<std::uint32_t>(handles_.size()); }
    // Exclusive opens (refused ones included in the attempts) and their closes.
    std::uint32_t OpenAttemptsOf(std::u16string_view path) const;
    std::uint32_t OpensOf(std::u16string_view path) const;
    std::uint32_t ClosesOf(std::u16string_view path) const;
    bool IsOpen(std::u16string_view path) const;
    // Opens with no access, shared, and their closes.
    std::uint32_t QueriesOf(std::u16string_view path) const;
    std::uint32_t QueryClosesOf(std::u16string_view path) const;
    // What was read of a device (attributes, product string, report
    // lengths) through no-access handles, and how often any of them was
    // read through an exclusive handle instead.
    struct DescriptionReads {
        std::uint32_t attributes = 0;
        std::uint32_t product = 0;
        std::uint32_t lengths = 0;
        friend bool operator==(const DescriptionReads&, const DescriptionReads&) = default;
    };
    DescriptionReads QueryReadsOf(std::u16string_view path) const;
    std::uint32_t ReadsThroughExclusive() const { return readsThroughExclusive_; }
    std::uint32_t Sleeps() const { return sleeps_; }
    std::uint64_t SleptMs() const { return sleptMs_; }
    const std::vector<HidReport>& Written(std::u16string_view path) const;
    std::uint32_t LastTimeoutMs() const { return lastTimeoutMs_; }
    std::uint32_t Transfers() const { return transfers_; }

    // The class identifier the bus hands out as the HID class.
    static constexpr Vantri::HidGuid kHidClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

private:
    struct DeviceState {
        std::uint32_t attempts = 0;
        std::uint32_t opens = 0;
        std::uint32_t closes = 0;
        std::uint32_t queries = 0;
        std::uint32_t queryCloses = 0;
        DescriptionReads queryReads;
        bool open = false;
        std::deque<HidReport> inputs;
        std::vector<HidReport> written;
        bool scriptedWrites = false;
        bool scriptedReads = false;
        TransferScript writes;
        TransferScript reads;
    };
    struct OpenHandle {
        ScriptedInterface iface;
        bool exclusive;
    };

    struct Calls;
    friend struct Calls;

    const std::vector<ScriptedInterface>& PassInterfaces(std::uint32_t pass) const;
    const ScriptedInterface* PresentNow(std::u16string_view path) const;
    DeviceState& State(std::u16string_view path);
    // The device's state, or the state of one never scripted.
    const DeviceState& StateOf(std::u16string_view path) const;
    OpenHandle* FindHandle(Vantri::PlatformHandle handle);
    // The handle a description is read through, counted by its kind.
    const OpenHandle* DescribingHandle(Vantri::PlatformHandle handle, std::uint32_t DescriptionReads::*read);
    std::uint32_t Transfer(Vantri::PlatformHandle handle, bool write, std::uint8_t* report, std::uint32_t size,
                           std::uint32_t* transferred, std::uint32_t timeoutMs);

    ScriptedHidBus* previous_;
    std::vector<std::vector<ScriptedInterface>> passes_{{}};
    // Per pass, path -> position: an open costs the same however many
    // interfaces there are, so benchmarks time the search, not the bus.
    std::vector<std::unordered_map<std::u16string, std::size_t>> byPath_{{}};
    std::uint32_t failListFrom_ = UINT32_MAX;
    bool hidServicesFail_ = false;
    bool flushRefused_ = false;
    std::unordered_map<std::uintptr_t, std::uint32_t> lists_; // list -> the pass it was made for
    std::uint32_t currentPass_ = 0;
    std::unordered_map<std::u16string, DeviceState> devices_;
    std::unordered_map<std::uintptr_t, OpenHandle> handles_;
    std::uintptr_t nextHandle_ = 0x100; // handles and lists alike; never reused

    std::uint32_t guidRequests_ = 0;
    std::uint32_t listRequests_ = 0;
    std::uint32_t listsOutstanding_ = 0;
    std::uint32_t opens_ = 0;
    std::uint32_t closes_ = 0;
    std::uint32_t badCloses_ = 0;
    std::uint32_t sleeps_ = 0;
    std::uint64_t sleptMs_ = 0;
    std::uint32_t lastTimeoutMs_ = 0;
    std::uint32_t transfers_ = 0;
    std::uint32_t readsThroughExclusive_ = 0;
};

} // namespace VantriTest

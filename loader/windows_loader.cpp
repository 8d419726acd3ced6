#include "loader/windows_loader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base/unique_handle.h"

namespace Vantri {

namespace {

// Whole-text equality, UTF-16 unit by unit, case-sensitive.
bool SamePath(const char16_t* a, const char16_t* b)
{
    for (; *a == *b; ++a, ++b) {
        if (*a == 0)
            return true;
    }
    return false;
}

bool IsTerminated(const char16_t* text, std::uint32_t capacity)
{
    return std::find(text, text + capacity, u'\0') != text + capacity;
}

void CopyPath(char16_t (&destination)[kDevicePathChars], const char16_t* source)
{
    std::uint32_t i = 0;
    for (; i + 1 < kDevicePathChars && source[i] != 0; ++i)
        destination[i] = source[i];
    destination[i] = 0;
}

// "Vantri4" and nothing more: the terminator must follow at once, so a
// longer name that merely starts with it is not an adapter.
constexpr std::uint32_t kProductUnits = kProductStringBytes / sizeof(char16_t);
static_assert(std::size(kAdapterProductString) <= kProductUnits);

bool IsAdapterProduct(const char16_t (&product)[kProductUnits])
{
    // Compared with its terminator included.
    return std::equal(std::begin(kAdapterProductString), std::end(kAdapterProductString), product);
}

} // namespace

bool WindowsLoader::EnumerateDevices(std::uint32_t& count)
{
    count = 0;
    // A handle still open here is ours and exclusive: clearing it away
    // without closing would leak it and hide that adapter from this very
    // search, so close first.
    CloseAll(kMaxDevices);
    ClearTable();
    passedOverCount_ = 0;

    HidGuid hidClass{};
    if (!platform_->GetHidGuid(&hidClass))
        return false;

    std::uint32_t passCounter = kEnumerationPasses;
    std::uint32_t filled = 0;
    std::uint32_t restarts = 0;
    do {
        const PassOutcome outcome = RunPass(hidClass, filled, passCounter);
        if (outcome == PassOutcome::ListUnavailable) {
            // Later passes may already hold adapters open: a failed search
            // leaves nothing behind, so no adapter stays locked to us.
            CloseAll(filled);
            ClearTable();
            return false;
        }
        // The restart has already closed every handle and emptied the table.
        // An adapter unplugged or restarting into its loader mode costs one
        // restart, a hub that resets its ports one after another a few more.
        // One that keeps leaving and coming back (a loose cable, a failing
        // hub) would restart the search for ever on the window's thread;
        // ending it sends the user to check the connection instead.
        if (outcome == PassOutcome::Restarted && ++restarts > kMaxSearchRestarts)
            return true;
        platform_->Sleep(kPassPauseMs);
    } while (passCounter != 0);

    for (std::uint32_t i = 0; i < filled; ++i)
        DropWaitingInput(slots_[i].handle);

    count = filled;
    return true;
}

WindowsLoader::PassOutcome WindowsLoader::RunPass(const HidGuid& hidClass, std::uint32_t& filled,
                                                  std::uint32_t& passCounter)
{
    const UniqueHandle<InterfaceList> list(platform_->GetPresentInterfaces(&hidClass), platform_->DestroyInterfaceList);
    if (!list.Get())
        return PassOutcome::ListUnavailable;

    for (std::uint32_t i = 0; i < filled; ++i)
        slots_[i].present = 0;

    for (std::uint32_t member = 0;; ++member) {
        HidInterfaceRecord record{};
        if (!platform_->EnumInterface(list.Get(), &hidClass, member, &record))
            break;
        ExamineMember(list.Get(), record, filled, passCounter);
    }
    --passCounter;

    const bool someoneLeft = std::any_of(slots_, slots_ + filled, [](const DeviceSlot& s) { return s.present == 0; });
    if (someoneLeft) {
        // An adapter found earlier has gone (unplugged, or restarting into
        // another mode): the numbering is no longer trustworthy, so start
        // again from an empty table.
        CloseAll(filled);
        ClearTable();
        filled = 0;
        passCounter = kEnumerationPasses;
        return PassOutcome::Restarted;
    }
    return PassOutcome::Done;
}

void WindowsLoader::ExamineMember(InterfaceList list, const HidInterfaceRecord& record, std::uint32_t& filled,
                                  std::uint32_t& passCounter)
{
    char16_t path[kInterfacePathCapacity] = {};
    if (!platform_->GetInterfacePath(list, &record, path) || !IsTerminated(path, kInterfacePathCapacity))
        return;
    if (MarkKnown(path, filled))
        return;

    if (!IsAdapter(path))
        return;
    // Only an adapter is opened exclusively; one that another program holds
    // is refused here and skipped. Closed on every way out unless kept.
    UniqueHandle<PlatformHandle> device(platform_->OpenDevice(path), platform_->CloseDevice);
    if (!device.Get())
        return;
    if (filled == kMaxDevices)
        return;

    DeviceSlot& slot = slots_[filled];
    CopyPath(slot.path, path);
    slot.handle = device.Release();
    slot.present = 1;
    ++filled;
    passCounter = kEnumerationPasses;
}

bool WindowsLoader::MarkKnown(const char16_t* path, std::uint32_t filled)
{
    for (std::uint32_t i = 0; i < filled; ++i) {
        if (SamePath(slots_[i].path, path)) {
            slots_[i].present = 1;
            return true;
        }
    }
    return false;
}

// Looked at through a handle that takes nothing: an exclusive open of every
// interface would lock other programs out of their devices while we look,
// and is refused on keyboards and mice. An interface with the adapter's ids
// and name but other report sizes is not one: 65-byte reports would be
// refused by it, or cut.
bool WindowsLoader::IsAdapter(const char16_t* path)
{
    const UniqueHandle<PlatformHandle> query(platform_->OpenForQuery(path), platform_->CloseDevice);
    if (!query.Get())
        return false;
    HidAttributes attributes{};
    if (!platform_->GetAttributes(query.Get(), &attributes))
        return false;
    if (attributes.vendorId != kAdapterVendorId || attributes.productId != kAdapterProductId)
        return false;

    char16_t product[kProductUnits] = {};
    if (!platform_->GetProductString(query.Get(), product, kProductStringBytes) || !IsAdapterProduct(product))
        return false;

    HidReportLengths lengths{};
    if (!platform_->GetReportLengths(query.Get(), &lengths))
        lengths = {};
    if (lengths.input == kReportSize && lengths.output == kReportSize)
        return true;
    NotePassedOver(path, lengths);
    return false;
}

// Each look-alike once, though every pass meets it again.
void WindowsLoader::NotePassedOver(const char16_t* path, const HidReportLengths& lengths)
{
    for (std::uint32_t i = 0; i < passedOverCount_; ++i) {
        if (SamePath(passedOver_[i].path, path))
            return;
    }
    if (passedOverCount_ == kMaxPassedOver)
        return;
    PassedOverInterface& noted = passedOver_[passedOverCount_++];
    CopyPath(noted.path, path);
    noted.inputBytes = lengths.input;
    noted.outputBytes = lengths.output;
}

// The system keeps every input report a device sends after a handle is
// opened until a read takes it: one the device sent unasked while we looked
// at it would be read as the answer to our first request, and an answer to a
// request is recognised by its acknowledge bit alone. So every adapter's
// exchanges start from an empty queue. Wine's hid.dll refuses the flush
// (false, no error); there, take what is waiting with reads that do not wait.
void WindowsLoader::DropWaitingInput(PlatformHandle device) const
{
    if (platform_->FlushInput(device))
        return;
    std::uint8_t report[kReportSize];
    for (std::uint32_t i = 0; i < kMaxWaitingReports; ++i) {
        std::uint32_t transferred = 0;
        if (platform_->ReadBounded(device, report, kReportSize, &transferred, 0) != 0)
            return;
    }
}

void WindowsLoader::CloseAll(std::uint32_t filled)
{
    for (std::uint32_t i = 0; i < filled; ++i) {
        if (slots_[i].handle) {
            platform_->CloseDevice(slots_[i].handle);
            slots_[i].handle = nullptr;
        }
    }
}

void WindowsLoader::ClearTable()
{
    std::fill(std::begin(slots_), std::end(slots_), DeviceSlot{});
}

PlatformHandle WindowsLoader::SlotHandle(std::uint32_t index) const
{
    return index < kMaxDevices ? slots_[index].handle : nullptr;
}

void WindowsLoader::CloseDevice(std::uint32_t index)
{
    if (index >= kMaxDevices || !slots_[index].handle)
        return;
    platform_->CloseDevice(slots_[index].handle);
    slots_[index].handle = nullptr;
    slots_[index].path[0] = 0;
}

// A closed slot, or an index past the table, has no handle: the system
// would refuse a null handle with its invalid-handle error, so give that
// answer here without reading outside the table or calling down at all.
ResultRecord WindowsLoader::WriteReport(std::uint32_t index, const CommandFrame& payload)
{
    const PlatformHandle device = SlotHandle(index);
    if (!device)
        return WriteTransportFailure(kErrorInvalidHandle);

    std::uint8_t report[kReportSize] = {};
    std::memcpy(report + 1, &payload, sizeof payload);
    std::uint32_t transferred = 0;
    // The adapter takes an output report within a USB frame whatever it is
    // doing, so the limit only ends the wait on one that is gone or hung, in
    // a failure message instead of a window that waits for ever. The answer
    // to a command may take much longer, so reads bring their own limit.
    const std::uint32_t error = platform_->WriteBounded(device, report, kReportSize, &transferred, writeTimeoutMs_);
    if (error == 0 && transferred == kReportSize)
        return kResultOk;
    return WriteTransportFailure(error);
}

ResultRecord WindowsLoader::ReadReport(std::uint32_t index, CommandFrame& destination, std::uint32_t timeoutMs)
{
    const PlatformHandle device = SlotHandle(index);
    if (!device)
        return ReadTransportFailure(kErrorInvalidHandle);

    std::uint8_t report[kReportSize] = {};
    std::uint32_t transferred = 0;
    const std::uint32_t error = platform_->ReadBounded(device, report, kReportSize, &transferred, timeoutMs);
    if (error != 0 || transferred != kReportSize)
        return ReadTransportFailure(error);
    // Byte 0 is the report id, which the adapter's answers do not use.
    std::memcpy(&destination, report + 1, sizeof destination);
    return kResultOk;
}

} // namespace Vantri

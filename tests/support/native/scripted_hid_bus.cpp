#include "tests/support/native/scripted_hid_bus.h"

#include <algorithm>
#include <cstring>

#include "loader/windows_loader.h"
#include "base/command_frame.h"

namespace VantriTest {

namespace {

ScriptedHidBus* s_active = nullptr;

// ERROR_ACCESS_DENIED: a handle opened with no access moves no reports.
constexpr std::uint32_t kAccessDenied = 5;

template <typename T>
std::uintptr_t Key(T* pointer)
{
    return reinterpret_cast<std::uintptr_t>(pointer);
}

} // namespace

ScriptedInterface Adapter(std::u16string path)
{
    return {std::move(path), Vantri::kAdapterVendorId, Vantri::kAdapterProductId, u"Vantri4"};
}

ScriptedInterface OtherHid(std::u16string path)
{
    return {std::move(path), 0x046D, 0xC52B, u"USB Receiver"};
}

// The table's entries: plain functions that forward to the active bus and
// behave like a machine without HID services when there is none.
struct ScriptedHidBus::Calls {
    static bool GetHidGuid(Vantri::HidGuid* guid)
    {
        if (!s_active)
            return false;
        ++s_active->guidRequests_;
        if (s_active->hidServicesFail_)
            return false;
        *guid = kHidClass;
        return true;
    }

    static Vantri::InterfaceList GetPresentInterfaces(const Vantri::HidGuid* interfaceClass)
    {
        if (!s_active)
            return nullptr;
        ScriptedHidBus& bus = *s_active;
        const std::uint32_t pass = bus.listRequests_++;
        if (pass >= bus.failListFrom_ || *interfaceClass != kHidClass)
            return nullptr;
        bus.currentPass_ = pass;
        const std::uintptr_t list = bus.nextHandle_++;
        bus.lists_.emplace(list, pass);
        ++bus.listsOutstanding_;
        return reinterpret_cast<Vantri::InterfaceList>(list);
    }

    static bool EnumInterface(Vantri::InterfaceList list, const Vantri::HidGuid* interfaceClass,
                              std::uint32_t member, Vantri::HidInterfaceRecord* record)
    {
        if (!s_active || *interfaceClass != kHidClass)
            return false;
        const auto found = s_active->lists_.find(Key(list));
        if (found == s_active->lists_.end() || member >= s_active->PassInterfaces(found->second).size())
            return false;
        *record = {sizeof *record, *interfaceClass, 1, member};
        return true;
    }

    static bool GetInterfacePath(Vantri::InterfaceList list, const Vantri::HidInterfaceRecord* record,
                                 char16_t* path)
    {
        if (!s_active || record->size != sizeof *record)
            return false;
        const auto found = s_active->lists_.find(Key(list));
        if (found == s_active->lists_.end())
            return false;
        const auto& interfaces = s_active->PassInterfaces(found->second);
        if (record->reserved >= interfaces.size())
            return false;
        const std::u16string& text = interfaces[record->reserved].path;
        // Like the system's detail call: a path that does not fit with its
        // terminator is refused, not cut.
        if (text.size() + 1 > Vantri::kInterfacePathCapacity)
            return false;
        std::copy(text.begin(), text.end(), path);
        path[text.size()] = 0;
        return true;
    }

    static void DestroyInterfaceList(Vantri::InterfaceList list)
    {
        if (!s_active)
            return;
        if (s_active->lists_.erase(Key(list)) == 0) {
            ++s_active->badCloses_;
            return;
        }
        --s_active->listsOutstanding_;
    }

    static Vantri::PlatformHandle OpenDevice(const char16_t* path)
    {
        if (!s_active)
            return nullptr;
        ScriptedHidBus& bus = *s_active;
        const ScriptedInterface* iface = bus.PresentNow(path);
        if (!iface)
            return nullptr;
        DeviceState& state = bus.State(path);
        ++state.attempts;
        // Share mode 0 on both sides: whoever holds it open keeps it.
        if (iface->heldElsewhere || state.open)
            return nullptr;
        state.open = true;
        state.inputs.insert(state.inputs.end(), iface->unasked.begin(), iface->unasked.end());
        ++state.opens;
        ++bus.opens_;
        const std::uintptr_t handle = bus.nextHandle_++;
        bus.handles_.emplace(handle, OpenHandle{*iface, true});
        return reinterpret_cast<Vantri::PlatformHandle>(handle);
    }

    // No access and shared: granted whoever holds the device.
    static Vantri::PlatformHandle OpenForQuery(const char16_t* path)
    {
        if (!s_active)
            return nullptr;
        ScriptedHidBus& bus = *s_active;
        const ScriptedInterface* iface = bus.PresentNow(path);
        if (!iface)
            return nullptr;
        ++bus.State(path).queries;
        const std::uintptr_t handle = bus.nextHandle_++;
        bus.handles_.emplace(handle, OpenHandle{*iface, false});
        return reinterpret_cast<Vantri::PlatformHandle>(handle);
    }

    static bool GetAttributes(Vantri::PlatformHandle device, Vantri::HidAttributes* attributes)
    {
        const OpenHandle* handle = s_active ? s_active->DescribingHandle(device, &DescriptionReads::attributes) : nullptr;
        if (!handle || handle->iface.attributesFail)
            return false;
        *attributes = {handle->iface.vendorId, handle->iface.productId, 0x0100};
        return true;
    }

    static bool GetReportLengths(Vantri::PlatformHandle device, Vantri::HidReportLengths* lengths)
    {
        const OpenHandle* handle = s_active ? s_active->DescribingHandle(device, &DescriptionReads::lengths) : nullptr;
        if (!handle || handle->iface.lengthsFail)
            return false;
        *lengths = {handle->iface.inputReportBytes, handle->iface.outputReportBytes};
        return true;
    }

    static bool GetProductString(Vantri::PlatformHandle device, void* buffer, std::uint32_t bufferBytes)
    {
        const OpenHandle* handle = s_active ? s_active->DescribingHandle(device, &DescriptionReads::product) : nullptr;
        if (!handle || handle->iface.productFail)
            return false;
        // The system writes as much as fits and ends the text only if room
        // is left; a 32-character name fills the buffer without terminator.
        const std::u16string& text = handle->iface.product;
        const std::size_t units = std::min<std::size_t>(text.size() + 1, bufferBytes / sizeof(char16_t));
        std::u16string withEnd = text + u'\0';
        std::memcpy(buffer, withEnd.data(), units * sizeof(char16_t));
        return true;
    }

    static void CloseDevice(Vantri::PlatformHandle device)
    {
        if (!s_active)
            return;
        ScriptedHidBus& bus = *s_active;
        const auto found = bus.handles_.find(Key(device));
        if (found == bus.handles_.end()) {
            ++bus.badCloses_;
            return;
        }
        DeviceState& state = bus.State(found->second.iface.path);
        if (found->second.exclusive) {
            state.open = false;
            ++state.closes;
            ++bus.closes_;
        } else {
            ++state.queryCloses;
        }
        bus.handles_.erase(found);
    }

    static void Sleep(std::uint32_t milliseconds)
    {
        if (!s_active)
            return;
        ++s_active->sleeps_;
        s_active->sleptMs_ += milliseconds;
    }

    static bool FlushInput(Vantri::PlatformHandle device)
    {
        OpenHandle* handle = s_active ? s_active->FindHandle(device) : nullptr;
        if (!handle || s_active->flushRefused_)
            return false;
        s_active->State(handle->iface.path).inputs.clear();
        return true;
    }

    static std::uint32_t WriteBounded(Vantri::PlatformHandle device, const std::uint8_t* report, std::uint32_t size,
                                      std::uint32_t* transferred, std::uint32_t timeoutMs)
    {
        if (!s_active)
            return Vantri::kErrorInvalidHandle;
        return s_active->Transfer(device, true, const_cast<std::uint8_t*>(report), size, transferred, timeoutMs);
    }

    static std::uint32_t ReadBounded(Vantri::PlatformHandle device, std::uint8_t* report, std::uint32_t size,
                                     std::uint32_t* transferred, std::uint32_t timeoutMs)
    {
        if (!s_active)
            return Vantri::kErrorInvalidHandle;
        return s_active->Transfer(device, false, report, size, transferred, timeoutMs);
    }
};

ScriptedHidBus::ScriptedHidBus() : previous_(s_active)
{
    s_active = this;
}

ScriptedHidBus::~ScriptedHidBus()
{
    s_active = previous_;
}

const Vantri::HidPlatform& ScriptedHidBus::Platform()
{
    static constexpr Vantri::HidPlatform table{
        Calls::GetHidGuid,   Calls::GetPresentInterfaces, Calls::EnumInterface, Calls::GetInterfacePath,
        Calls::DestroyInterfaceList, Calls::OpenForQuery, Calls::OpenDevice,  Calls::GetAttributes,
        Calls::GetProductString, Calls::GetReportLengths, Calls::CloseDevice, Calls::Sleep,
        Calls::WriteBounded, Calls::ReadBounded,          Calls::FlushInput,
    };
    return table;
}

void ScriptedHidBus::SetPasses(std::vector<std::vector<ScriptedInterface>> passes)
{
    passes_ = passes.empty() ? std::vector<std::vector<ScriptedInterface>>{{}} : std::move(passes);
    byPath_.assign(passes_.size(), {});
    for (std::size_t pass = 0; pass < passes_.size(); ++pass) {
        for (std::size_t i = 0; i < passes_[pass].size(); ++i)
            byPath_[pass].emplace(passes_[pass][i].path, i);
    }
}

void ScriptedHidBus::SetInterfaces(std::vector<ScriptedInterface> interfaces)
{
    SetPasses({std::move(interfaces)});
}

void ScriptedHidBus::QueueInput(std::u16string_view path, const HidReport& report)
{
    State(path).inputs.push_back(report);
}

void ScriptedHidBus::ScriptWrites(std::u16string_view path, TransferScript script)
{
    DeviceState& state = State(path);
    state.scriptedWrites = true;
    state.writes = script;
}

void ScriptedHidBus::ScriptReads(std::u16string_view path, TransferScript script)
{
    DeviceState& state = State(path);
    state.scriptedReads = true;
    state.reads = script;
}

std::uint32_t ScriptedHidBus::OpenAttemptsOf(std::u16string_view path) const
{
    return StateOf(path).attempts;
}

std::uint32_t ScriptedHidBus::OpensOf(std::u16string_view path) const
{
    return StateOf(path).opens;
}

std::uint32_t ScriptedHidBus::ClosesOf(std::u16string_view path) const
{
    return StateOf(path).closes;
}

std::uint32_t ScriptedHidBus::QueriesOf(std::u16string_view path) const
{
    return StateOf(path).queries;
}

std::uint32_t ScriptedHidBus::QueryClosesOf(std::u16string_view path) const
{
    return StateOf(path).queryCloses;
}

ScriptedHidBus::DescriptionReads ScriptedHidBus::QueryReadsOf(std::u16string_view path) const
{
    return StateOf(path).queryReads;
}

const ScriptedHidBus::DeviceState& ScriptedHidBus::StateOf(std::u16string_view path) const
{
    static const DeviceState kNone{};
    const auto found = devices_.find(std::u16string(path));
    return found == devices_.end() ? kNone : found->second;
}

const ScriptedHidBus::OpenHandle* ScriptedHidBus::DescribingHandle(Vantri::PlatformHandle device,
                                                                    std::uint32_t DescriptionReads::*read)
{
    const OpenHandle* handle = FindHandle(device);
    if (!handle)
        return nullptr;
    if (handle->exclusive)
        ++readsThroughExclusive_;
    else
        ++(State(handle->iface.path).queryReads.*read);
    return handle;
}

bool ScriptedHidBus::IsOpen(std::u16string_view path) const
{
    const auto found = devices_.find(std::u16string(path));
    return found != devices_.end() && found->second.open;
}

const std::vector<HidReport>& ScriptedHidBus::Written(std::u16string_view path) const
{
    static const std::vector<HidReport> none;
    const auto found = devices_.find(std::u16string(path));
    return found == devices_.end() ? none : found->second.written;
}

const std::vector<ScriptedInterface>& ScriptedHidBus::PassInterfaces(std::uint32_t pass) const
{
    return passes_[std::min<std::size_t>(pass, passes_.size() - 1)];
}

const ScriptedInterface* ScriptedHidBus::PresentNow(std::u16string_view path) const
{
    const std::size_t pass = std::min<std::size_t>(currentPass_, passes_.size() - 1);
    const auto found = byPath_[pass].find(std::u16string(path));
    return found == byPath_[pass].end() ? nullptr : &passes_[pass][found->second];
}

ScriptedHidBus::DeviceState& ScriptedHidBus::State(std::u16string_view path)
{
    return devices_[std::u16string(path)];
}

ScriptedHidBus::OpenHandle* ScriptedHidBus::FindHandle(Vantri::PlatformHandle handle)
{
    const auto found = handles_.find(Key(handle));
    return found == handles_.end() ? nullptr : &found->second;
}

std::uint32_t ScriptedHidBus::Transfer(Vantri::PlatformHandle device, bool write, std::uint8_t* report,
                                       std::uint32_t size, std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    ++transfers_;
    lastTimeoutMs_ = timeoutMs;
    *transferred = 0;
    const OpenHandle* handle = FindHandle(device);
    if (!handle)
        return Vantri::kErrorInvalidHandle;
    if (!handle->exclusive)
        return kAccessDenied;
    const std::u16string path = handle->iface.path;
    if (!PresentNow(path))
        return Vantri::kErrorDeviceNotConnected;
    DeviceState& state = State(path);

    if (write) {
        if (state.scriptedWrites) {
            *transferred = std::min(state.writes.transferred, size);
            return state.writes.error;
        }
        HidReport copy{};
        std::memcpy(copy.data(), report, std::min<std::size_t>(size, copy.size()));
        state.written.push_back(copy);
        *transferred = size;
        return 0;
    }

    if (state.scriptedReads) {
        // Whatever a short read moved does land in the caller's buffer.
        const std::uint32_t moved = std::min(state.reads.transferred, size);
        std::memset(report, 0xEE, moved);
        *transferred = moved;
        return state.reads.error;
    }
    if (state.inputs.empty())
        return Vantri::kErrorTimeout;
    const HidReport next = state.inputs.front();
    state.inputs.pop_front();
    const std::uint32_t moved = std::min<std::uint32_t>(size, Vantri::kReportSize);
    std::memcpy(report, next.data(), moved);
    *transferred = moved;
    return 0;
}

} // namespace VantriTest

#include "emulator/model/emulated_bus.h"

namespace VantriEmu {

namespace {

Vantri::ResultRecord ToWriteRecord(ReportOutcome outcome)
{
    switch (outcome.status) {
    case ReportStatus::Ok: return Vantri::kResultOk;
    case ReportStatus::Failed: return Vantri::WriteTransportFailure(outcome.systemCode);
    // A short transfer leaves no system error: the loader's record carries
    // whatever GetLastError gives, 0 here.
    case ReportStatus::Short: return Vantri::WriteTransportFailure(0);
    case ReportStatus::TimedOut: return Vantri::WriteTransportFailure(Vantri::kErrorTimeout);
    }
    return Vantri::WriteTransportFailure(0);
}

Vantri::ResultRecord ToReadRecord(ReportOutcome outcome)
{
    switch (outcome.status) {
    case ReportStatus::Ok: return Vantri::kResultOk;
    case ReportStatus::Failed: return Vantri::ReadTransportFailure(outcome.systemCode);
    case ReportStatus::Short: return Vantri::ReadTransportFailure(0);
    // The Windows loader ends a read that gets no answer at its time limit.
    case ReportStatus::TimedOut: return Vantri::ReadTransportFailure(Vantri::kErrorTimeout);
    }
    return Vantri::ReadTransportFailure(0);
}

} // namespace

EmulatedBus::EmulatedBus(std::uint32_t adapters, const AdapterSettings& settings)
{
    for (std::uint32_t i = 0; i < adapters; ++i)
        Attach(settings);
}

AdapterModel& EmulatedBus::Attach(const AdapterSettings& settings)
{
    attached_.push_back(std::make_unique<AdapterModel>(settings));
    return *attached_.back();
}

bool EmulatedBus::EnumerateDevices(std::uint32_t& count)
{
    count = 0;
    ++enumerations_;
    for (Slot& slot : slots_) {
        slot.model = nullptr;
        slot.path.clear();
        slot.open.store(false);
        slot.closeCalls.store(0);
    }
    count_ = 0;
    if (failEnumeration_)
        return false;
    for (std::uint32_t n = 0; n < attached_.size(); ++n) {
        const auto& model = attached_[n];
        // Gone adapters are not listed; one that another program holds
        // cannot be opened exclusively and is skipped.
        if (model->Vanished() || model->HeldOpenElsewhere() || count_ == Vantri::kMaxDevices)
            continue;
        slots_[count_].model = model.get();
        slots_[count_].path = PathOf(n);
        slots_[count_].open.store(true);
        ++count_;
    }
    count = count_;
    return true;
}

std::u16string EmulatedBus::PathOf(std::uint32_t attachNumber)
{
    const std::string number = std::to_string(attachNumber);
    std::u16string path = u"\\\\?\\hid#vid_2387&pid_0003#emu&";
    path.append(number.begin(), number.end());
    return path + u"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

std::u16string_view EmulatedBus::DevicePath(std::uint32_t index) const
{
    if (index >= count_ || !slots_[index].open.load())
        return {};
    return slots_[index].path;
}

void EmulatedBus::CloseDevice(std::uint32_t index)
{
    if (index >= Vantri::kMaxDevices)
        return;
    slots_[index].closeCalls.fetch_add(1);
    slots_[index].open.store(false);
}

bool EmulatedBus::IsOpen(std::uint32_t index) const
{
    return index < Vantri::kMaxDevices && slots_[index].open.load();
}

std::uint32_t EmulatedBus::CloseCalls(std::uint32_t index) const
{
    return index < Vantri::kMaxDevices ? slots_[index].closeCalls.load() : 0;
}

// A closed or empty slot holds a null handle, which Windows refuses as an
// invalid handle.
AdapterModel* EmulatedBus::OpenModel(std::uint32_t index) const
{
    if (index >= Vantri::kMaxDevices || !slots_[index].open.load(std::memory_order_acquire))
        return nullptr;
    return slots_[index].model;
}

Vantri::ResultRecord EmulatedBus::WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload)
{
    AdapterModel* model = OpenModel(index);
    if (!model)
        return Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle);
    return ToWriteRecord(model->TakeOutputReport(payload));
}

// In-process the limit is never waited out: a read with no answer coming
// fails at once with the time-out code, as if the limit had passed, and an
// answer on its way (latency, frame clock, a delayed answer) is waited for.
Vantri::ResultRecord EmulatedBus::ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                             std::uint32_t /*timeoutMs*/)
{
    AdapterModel* model = OpenModel(index);
    if (!model)
        return Vantri::ReadTransportFailure(Vantri::kErrorInvalidHandle);
    return ToReadRecord(model->TakeInputReport(destination));
}

} // namespace VantriEmu

#include "emulator/server/emulator_server.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <time.h>
#include <unistd.h>

#include "emulator/model/state_dump.h"
#include "emulator/server/wire.h"

namespace VantriEmu {

namespace {

using namespace VantriWire;

constexpr std::uint16_t kAdapterVendor = 0x2387;
constexpr std::uint16_t kAdapterProduct = 3;
constexpr std::uint16_t kAdapterVersion = 0x0400;
// A look-alike's reports: the adapter's ids and name, another device.
constexpr std::uint16_t kLookAlikeReportBytes = 33;

// Interfaces that look more or less like an adapter, so that the search's
// filter has something to reject.
struct OtherDevice {
    std::uint16_t vendorId;
    std::uint16_t productId;
    const char16_t* product;
};
constexpr OtherDevice kOtherDevices[] = {
    {0x046D, 0xC077, u"USB Optical Mouse"},
    {kAdapterVendor, kAdapterProduct, u"VANTRI4"},
    {kAdapterVendor, kAdapterProduct, u"Vantri4 Pro"},
    {kAdapterVendor, 4, u"Vantri4"},
};

std::u16string Widen(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

std::u16string InterfacePath(std::uint16_t vendor, std::uint16_t product, int kind, std::uint32_t n)
{
    char path[128];
    std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x#8&emu&%d&%04u#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  vendor, product, kind, n);
    // Four digits hold every number the options allow, so the length, and
    // with it the size of a list, is fixed.
    static_assert(kMaxInterfaces <= 10000);
    return Widen(path);
}

std::vector<std::uint8_t> StatusReply(std::uint8_t type, std::uint32_t status)
{
    return Writer(type | kReplyBit).U32(status).Finish();
}

// Wine reads CLOCK_MONOTONIC_RAW for QueryPerformanceCounter; CLOCK_MONOTONIC
// runs apart from it by the clock's slewing since boot.
std::int64_t WineClockUs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// What the link saw of one adapter: how often it was opened and when each
// command's first frame came in.
bool DumpLinkState(const HidInterface& device, const std::filesystem::path& folder, std::string& error)
{
    std::string text = "opens=" + std::to_string(device.opens.load()) + "\n";
    text += "open=" + std::string(device.open.load() ? "1" : "0") + "\n";
    for (std::size_t command = 0; command < device.firstFrameUs.size(); ++command) {
        if (const std::int64_t at = device.firstFrameUs[command].load(); at != 0)
            text += "first_frame_us=" + std::to_string(command) + ":" + std::to_string(at) + "\n";
    }
    std::ofstream out(folder / "link.txt", std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        error = "cannot write " + (folder / "link.txt").string();
        return false;
    }
    return true;
}

} // namespace

std::u16string AdapterPath(std::uint32_t adapter)
{
    return InterfacePath(kAdapterVendor, kAdapterProduct, 0, adapter);
}

EmulatorServer::EmulatorServer(const ServerOptions& options) : stateDir_(options.stateDir)
{
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t m = 0; m < options.nonAdapters; ++m) {
        const OtherDevice& kind = kOtherDevices[m % std::size(kOtherDevices)];
        auto device = std::make_unique<HidInterface>();
        device->path = InterfacePath(kind.vendorId, kind.productId, 1, m);
        device->vendorId = kind.vendorId;
        device->productId = kind.productId;
        device->versionNumber = 0x0100;
        device->product = kind.product;
        interfaces_.push_back(std::move(device));
    }
    for (std::uint32_t k = 0; k < options.lookAlikes; ++k) {
        auto device = std::make_unique<HidInterface>();
        device->path = InterfacePath(kAdapterVendor, kAdapterProduct, 2, k);
        device->vendorId = kAdapterVendor;
        device->productId = kAdapterProduct;
        device->versionNumber = kAdapterVersion;
        device->product = u"Vantri4";
        device->inputReportBytes = kLookAlikeReportBytes;
        device->outputReportBytes = kLookAlikeReportBytes;
        interfaces_.push_back(std::move(device));
    }
    for (std::uint32_t i = 0; i < options.adapters; ++i) {
        auto device = std::make_unique<HidInterface>();
        device->path = AdapterPath(i);
        device->vendorId = kAdapterVendor;
        device->productId = kAdapterProduct;
        device->versionNumber = kAdapterVersion;
        device->product = u"Vantri4";
        device->adapter = std::make_unique<AdapterModel>(options.SettingsFor(i));
        device->flickers = std::find(options.flickering.begin(), options.flickering.end(), i) != options.flickering.end();
        device->arrivesAt = started + std::chrono::milliseconds(options.ArrivalFor(i));
        adapters_.push_back(device.get());
        interfaces_.push_back(std::move(device));
    }
}

HidInterface* EmulatorServer::Find(const std::u16string& path) const
{
    for (const auto& device : interfaces_) {
        if (device->path == path && device->Present())
            return device.get();
    }
    return nullptr;
}

bool EmulatorServer::Dump(std::string& error)
{
    if (stateDir_.empty()) {
        error = "no state folder";
        return false;
    }
    std::lock_guard lock(dumpMutex_);
    const std::filesystem::path folder(stateDir_);
    std::string summary = "adapters=" + std::to_string(adapters_.size()) + "\n";
    for (std::size_t i = 0; i < adapters_.size(); ++i) {
        const std::string name = "adapter" + std::to_string(i);
        const AdapterModel& adapter = *adapters_[i]->adapter;
        if (!DumpAdapterState(adapter, folder / name, error) || !DumpLinkState(*adapters_[i], folder / name, error))
            return false;
        summary += name + " image_received=" + (adapter.ImageReceived() ? "1" : "0") +
                   " violations=" + std::to_string(adapter.Violations().size()) + "\n";
    }
    // Written last and renamed into place: its presence means the dump is
    // complete.
    const auto partial = folder / "summary.txt.partial";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << summary;
        if (!out) {
            error = "cannot write " + partial.string();
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(partial, folder / "summary.txt", ec);
    if (ec) {
        error = "cannot write summary.txt: " + ec.message();
        return false;
    }
    return true;
}

// One connection: unbound until a successful OPEN or QUERY, then one handle.
class EmulatorServer::Connection {
public:
    Connection(EmulatorServer& server, int socket) : server_(server), socket_(socket) {}
    ~Connection()
    {
        if (bound_ && !queryOnly_)
            bound_->open.store(false);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Run()
    {
        while (ReceiveMessage(socket_, body_)) {
            Reader reader(body_);
            const std::uint8_t type = reader.U8();
            bool keepOpen = true;
            const std::vector<std::uint8_t> reply = Answer(type, reader, keepOpen);
            if (!SendAll(socket_, reply) || !keepOpen)
                return;
        }
    }

private:
    std::vector<std::uint8_t> Answer(std::uint8_t type, Reader& reader, bool& keepOpen)
    {
        const bool handleRequest = type == kAttributes || type == kProduct || type == kCaps || type == kWrite ||
                                   type == kRead || type == kClose;
        const bool controlRequest = type == kList || type == kOpen || type == kQuery || type == kDump;
        if (!handleRequest && !controlRequest)
            return StatusReply(type, kStatusInvalidFunction);
        if (handleRequest != (bound_ != nullptr))
            return StatusReply(type, kStatusInvalidHandle);
        switch (type) {
        case kList: return List();
        case kOpen: return Open(reader);
        case kQuery: return Query(reader);
        case kDump: return Dump();
        case kAttributes: return Attributes();
        case kProduct: return Product(reader);
        case kCaps: return Caps();
        case kWrite: return queryOnly_ ? TransferRefused(kWrite) : Write(reader);
        case kRead: return queryOnly_ ? TransferRefused(kRead) : Read(reader);
        default:
            keepOpen = false;
            if (!queryOnly_)
                bound_->open.store(false);
            bound_ = nullptr;
            return StatusReply(kClose, kStatusOk);
        }
    }

    std::vector<std::uint8_t> List()
    {
        std::vector<const HidInterface*> present;
        for (const auto& device : server_.interfaces_) {
            // A flickering adapter is listed, then not, then again: to a
            // search it leaves and comes back between every two passes.
            if (device->Present() && !(device->flickers && device->listings.fetch_add(1) % 2 == 1))
                present.push_back(device.get());
        }
        Writer reply(kList | kReplyBit);
        reply.U32(kStatusOk).U32(static_cast<std::uint32_t>(present.size()));
        for (const HidInterface* device : present)
            reply.Text(device->path);
        return reply.Finish();
    }

    std::vector<std::uint8_t> Open(Reader& reader)
    {
        const std::u16string path = reader.Text();
        if (!reader.ok())
            return StatusReply(kOpen, kStatusInvalidParameter);
        HidInterface* device = server_.Find(path);
        if (!device)
            return StatusReply(kOpen, kStatusFileNotFound);
        if (device->adapter && device->adapter->HeldOpenElsewhere())
            return StatusReply(kOpen, kStatusSharingViolation);
        bool expected = false;
        if (!device->open.compare_exchange_strong(expected, true))
            return StatusReply(kOpen, kStatusSharingViolation);
        bound_ = device;
        device->opens.fetch_add(1);
        return StatusReply(kOpen, kStatusOk);
    }

    // A handle opened with no access: it reads what describes the interface,
    // takes nothing from whoever holds it, and moves no reports.
    std::vector<std::uint8_t> Query(Reader& reader)
    {
        const std::u16string path = reader.Text();
        if (!reader.ok())
            return StatusReply(kQuery, kStatusInvalidParameter);
        HidInterface* device = server_.Find(path);
        if (!device)
            return StatusReply(kQuery, kStatusFileNotFound);
        bound_ = device;
        queryOnly_ = true;
        return StatusReply(kQuery, kStatusOk);
    }

    static std::vector<std::uint8_t> TransferRefused(std::uint8_t type)
    {
        return Writer(type | kReplyBit).U32(kStatusAccessDenied).U32(0).Finish();
    }

    std::vector<std::uint8_t> Caps()
    {
        if (Gone())
            return StatusReply(kCaps, kStatusDeviceNotConnected);
        return Writer(kCaps | kReplyBit)
            .U32(kStatusOk)
            .U16(bound_->inputReportBytes)
            .U16(bound_->outputReportBytes)
            .Finish();
    }

    std::vector<std::uint8_t> Dump()
    {
        std::string error;
        if (!server_.Dump(error)) {
            std::fprintf(stderr, "vantri_emulator: dump failed: %s\n", error.c_str());
            return StatusReply(kDump, kStatusPathNotFound);
        }
        return StatusReply(kDump, kStatusOk);
    }

    bool Gone() const { return bound_->adapter && bound_->adapter->Vanished(); }

    std::vector<std::uint8_t> Attributes()
    {
        if (Gone())
            return StatusReply(kAttributes, kStatusDeviceNotConnected);
        return Writer(kAttributes | kReplyBit)
            .U32(kStatusOk)
            .U16(bound_->vendorId)
            .U16(bound_->productId)
            .U16(bound_->versionNumber)
            .Finish();
    }

    std::vector<std::uint8_t> Product(Reader& reader)
    {
        const std::uint32_t bufferBytes = reader.U32();
        if (!reader.ok())
            return StatusReply(kProduct, kStatusInvalidParameter);
        if (Gone())
            return StatusReply(kProduct, kStatusDeviceNotConnected);
        std::vector<std::uint8_t> bytes;
        for (char16_t unit : bound_->product + u'\0') {
            bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        if (bytes.size() > bufferBytes)
            bytes.resize(bufferBytes);
        return Writer(kProduct | kReplyBit)
            .U32(kStatusOk)
            .U32(static_cast<std::uint32_t>(bytes.size()))
            .Bytes(bytes.data(), bytes.size())
            .Finish();
    }

    static std::vector<std::uint8_t> TransferReply(std::uint8_t type, ReportOutcome outcome, const std::uint8_t* report)
    {
        Writer reply(type | kReplyBit);
        switch (outcome.status) {
        case ReportStatus::Ok:
            reply.U32(kStatusOk).U32(kReportSize);
            if (report)
                reply.Bytes(report, kReportSize);
            break;
        case ReportStatus::Short:
            reply.U32(kStatusOk).U32(kReportSize - 1);
            if (report)
                reply.Bytes(report, kReportSize - 1);
            break;
        case ReportStatus::Failed:
            reply.U32(outcome.systemCode != 0 ? outcome.systemCode : kStatusInvalidFunction).U32(0);
            break;
        case ReportStatus::TimedOut:
            reply.U32(kStatusTimeout).U32(0);
            break;
        }
        return reply.Finish();
    }

    std::vector<std::uint8_t> Write(Reader& reader)
    {
        reader.U32(); // a write is taken within a frame: the time limit never bites
        const std::uint32_t size = reader.U32();
        const std::uint8_t* report = reader.Bytes(size);
        if (!reader.ok() || size != kReportSize || report[0] != 0)
            return Writer(kWrite | kReplyBit).U32(kStatusInvalidParameter).U32(0).Finish();
        if (!bound_->adapter)
            return Writer(kWrite | kReplyBit).U32(kStatusInvalidFunction).U32(0).Finish();
        CommandFrame frame;
        std::memcpy(&frame, report + 1, sizeof frame);
        if (frame.command < bound_->firstFrameUs.size()) {
            std::int64_t never = 0;
            bound_->firstFrameUs[frame.command].compare_exchange_strong(never, WineClockUs());
        }
        return TransferReply(kWrite, bound_->adapter->TakeOutputReport(frame), nullptr);
    }

    std::vector<std::uint8_t> Read(Reader& reader)
    {
        const std::uint32_t timeLimit = reader.U32();
        const std::uint32_t size = reader.U32();
        if (!reader.ok() || size != kReportSize)
            return Writer(kRead | kReplyBit).U32(kStatusInvalidParameter).U32(0).Finish();
        if (!bound_->adapter)
            return Writer(kRead | kReplyBit).U32(kStatusInvalidFunction).U32(0).Finish();
        // Without a limit the read waits as long as the process lives; the
        // model takes time_point::max() to mean "don't wait", so use a day.
        const auto limit = timeLimit == kNoTimeLimit ? std::chrono::milliseconds(std::chrono::hours(24))
                                                     : std::chrono::milliseconds(timeLimit);
        std::uint8_t report[kReportSize]{};
        CommandFrame answer{};
        const ReportOutcome outcome = bound_->adapter->TakeInputReport(answer, Clock::now() + limit);
        std::memcpy(report + 1, &answer, sizeof answer);
        return TransferReply(kRead, outcome, report);
    }

    EmulatorServer& server_;
    int socket_;
    HidInterface* bound_ = nullptr;
    bool queryOnly_ = false;
    std::vector<std::uint8_t> body_;
};

void EmulatorServer::Serve(int socket)
{
    {
        Connection connection(*this, socket);
        connection.Run();
    }
    ::close(socket);
}

} // namespace VantriEmu

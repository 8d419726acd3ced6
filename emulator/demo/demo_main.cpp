// Writes a carried-size firmware image to one emulated adapter through the
// protocol core, then checks what the adapter stored. Exit code 0 when the
// adapter holds the image byte for byte and the transfer was clean.
#include <cstdio>
#include <vector>

#include "emulator/model/emulated_bus.h"
#include "protocol/block_transfer.h"
#include "protocol/device_info.h"
#include "protocol/exchange.h"

namespace {

constexpr std::uint32_t kImageSize = 257536;

VantriEmu::EmulatedBus s_bus(1);

// Same image on every run, so a failure can be repeated.
std::vector<std::uint8_t> MakeImage()
{
    std::vector<std::uint8_t> image(kImageSize);
    std::uint32_t state = 20160918;
    for (auto& b : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<std::uint8_t>(state);
    }
    return image;
}

void PrintProgress(std::uint32_t device, std::uint32_t percent, std::uint32_t)
{
    if (percent % 10 == 0)
        std::printf("adapter %u: %u%%\n", device, percent);
}

bool Report(const char* step, const Vantri::ResultRecord& result)
{
    if (result.code == 0)
        return true;
    std::printf("%s failed: code %u, details %u %u\n", step, result.code, result.detail1, result.detail2);
    return false;
}

} // namespace

Vantri::Loader& g_loader = s_bus;

int main()
{
    std::uint32_t count = 0;
    if (!g_loader.EnumerateDevices(count) || count == 0) {
        std::printf("no adapter\n");
        return 1;
    }
    Vantri::DeviceInfo info{};
    if (!Report("reading the device information", Vantri::ReadDeviceInfo(info)))
        return 1;
    const std::string_view version = Vantri::FirmwareVersionText(info);
    std::printf("adapter 0 runs firmware %.*s\n", static_cast<int>(version.size()), version.data());

    const std::vector<std::uint8_t> image = MakeImage();
    std::printf("writing %u bytes\n", kImageSize);
    std::uint16_t counter = 1;
    if (!Report("command 1", Vantri::SendCommand(0, 1, 0, nullptr, 0)) ||
        !Report("image data", Vantri::WriteBlock(0, 2, counter, image.data(), kImageSize, PrintProgress, 0, kImageSize)) ||
        !Report("command 3", Vantri::SendCommand(0, 3, counter, nullptr, 0)))
        return 1;
    g_loader.CloseDevice(0);

    const VantriEmu::AdapterModel& adapter = s_bus.Attached(0);
    const bool stored = adapter.ImageReceived() && adapter.Image() == image;
    const bool clean = adapter.Clean();
    std::printf("end command carried %u; image stored intact: %s; transfer clean: %s\n", counter,
                stored ? "yes" : "no", clean ? "yes" : "no");
    for (const VantriEmu::Violation& v : adapter.Violations())
        std::printf("  violation at report %llu: command %u, %s\n", static_cast<unsigned long long>(v.report),
                    v.command, v.what.c_str());
    return stored && clean ? 0 : 1;
}

// The emulation build's loader, under Wine, against the native emulator
// process. Run through run_with_emulator.sh, which starts the emulator with
//   --adapters 4 --non-adapters 4 --held-open 1 --silent-at 2/1 --vanish-at 3/1
// so the list holds four interfaces that are not adapters (among them
// "VANTRI4", "Vantri4 Pro" and a product 4), then adapters 0 to 3: 1 held
// by another program, 2 never answering, 3 gone at its first report.
// ctest runs every test in a process and an emulator of its own.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/client/hid_platform_emu.h"
#include "emulator/server/wire_format.h"
#include "loader/windows_loader.h"
#include "protocol/block_transfer.h"
#include "protocol/device_info.h"
#include "protocol/exchange.h"

namespace {

using Vantri::kEmulatorHidPlatform;
using Vantri::WindowsLoader;

using Clock = std::chrono::steady_clock;

std::u16string AdapterPath(int n)
{
    char text[96];
    std::snprintf(text, sizeof text, "\\\\?\\hid#vid_2387&pid_0003#8&emu&0&%04d#{4d1e55b2-f16f-11cf-88cb-001111000030}", n);
    const std::string narrow(text);
    return {narrow.begin(), narrow.end()};
}

void CloseAll(Vantri::Loader& loader, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i)
        loader.CloseDevice(i);
}

// Changes the emulator's address for the life of the guard.
class ScopedAddress {
public:
    explicit ScopedAddress(const char* value)
    {
        char text[64] = {};
        const DWORD length = GetEnvironmentVariableA("VANTRI4_EMULATOR", text, sizeof text);
        had_ = length > 0 && length < sizeof text;
        previous_.assign(text, had_ ? length : 0);
        SetEnvironmentVariableA("VANTRI4_EMULATOR", value);
    }
    ~ScopedAddress() { SetEnvironmentVariableA("VANTRI4_EMULATOR", had_ ? previous_.c_str() : nullptr); }
    ScopedAddress(const ScopedAddress&) = delete;
    ScopedAddress& operator=(const ScopedAddress&) = delete;

private:
    bool had_ = false;
    std::string previous_;
};

// A stand-in for the emulator on a loopback port of its own: it answers the
// first request of the first connection with the reply it was given, then
// closes.
class CannedEmulator {
public:
    explicit CannedEmulator(std::vector<std::uint8_t> reply) : reply_(std::move(reply))
    {
        WSADATA data{};
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        address_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        thread_ = std::thread([this] { Serve(); });
    }
    ~CannedEmulator()
    {
        closesocket(listener_); // ends a pending accept()
        thread_.join();
        WSACleanup();
    }
    CannedEmulator(const CannedEmulator&) = delete;
    CannedEmulator& operator=(const CannedEmulator&) = delete;

    const char* Address() const { return address_.c_str(); }

private:
    static bool Receive(SOCKET s, char* data, int size)
    {
        while (size > 0) {
            const int got = recv(s, data, size, 0);
            if (got <= 0)
                return false;
            data += got;
            size -= got;
        }
        return true;
    }

    void Serve()
    {
        const SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        std::uint8_t head[4];
        std::vector<char> request;
        if (Receive(s, reinterpret_cast<char*>(head), 4)) {
            request.resize(head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<std::size_t>(head[3]) << 24));
            if (Receive(s, request.data(), static_cast<int>(request.size())))
                send(s, reinterpret_cast<const char*>(reply_.data()), static_cast<int>(reply_.size()), 0);
        }
        // A graceful close: the peer still reads the whole reply.
        shutdown(s, SD_SEND);
        closesocket(s);
    }

    std::vector<std::uint8_t> reply_;
    SOCKET listener_ = INVALID_SOCKET;
    std::string address_;
    std::thread thread_;
};

// The number of members a search sees, or -1 when the list cannot be had.
int ListedInterfaces()
{
    Vantri::HidGuid hidClass{};
    if (!kEmulatorHidPlatform.GetHidGuid(&hidClass))
        return -2;
    const Vantri::InterfaceList list = kEmulatorHidPlatform.GetPresentInterfaces(&hidClass);
    if (!list)
        return -1;
    int members = 0;
    Vantri::HidInterfaceRecord record{};
    char16_t path[Vantri::kInterfacePathCapacity];
    while (kEmulatorHidPlatform.EnumInterface(list, &hidClass, static_cast<std::uint32_t>(members), &record) &&
           kEmulatorHidPlatform.GetInterfacePath(list, &record, path))
        ++members;
    kEmulatorHidPlatform.DestroyInterfaceList(list);
    return members;
}

// The wire's one limit, from the emulation build's side: a LIST reply of
// exactly the limit is read whole, and one byte more is refused (the search
// then has no list rather than part of one). The reply is filled with the
// longest paths the loader takes, 508 of them, one of 2 units and a pad byte
// that the list does not use.
TEST(EmulatedLoader, AListReplyOfExactlyTheLimitIsTakenWholeAndOneByteMoreIsRefused)
{
    VantriWire::Writer atLimit(VantriWire::kList | VantriWire::kReplyBit);
    atLimit.U32(VantriWire::kStatusOk).U32(509);
    const std::u16string longest(VantriWire::kLongestPathUnits, u'p');
    for (int i = 0; i < 508; ++i)
        atLimit.Text(longest);
    atLimit.Text(u"ab").U8(0);
    std::vector<std::uint8_t> reply = atLimit.Finish();
    ASSERT_EQ(reply.size(), 4u + VantriWire::kMaxMessageSize);
    {
        CannedEmulator emulator(reply);
        ScopedAddress scoped(emulator.Address());
        EXPECT_EQ(ListedInterfaces(), 509);
    }

    VantriWire::Writer overLimit(VantriWire::kList | VantriWire::kReplyBit);
    overLimit.Bytes(reply.data() + 5, reply.size() - 5).U8(0);
    reply = overLimit.Finish();
    ASSERT_EQ(reply.size(), 4u + VantriWire::kMaxMessageSize + 1);
    {
        CannedEmulator emulator(reply);
        ScopedAddress scoped(emulator.Address());
        EXPECT_EQ(ListedInterfaces(), -1);
    }
}

TEST(EmulatedLoader, TheProgramsLoaderFindsTheFreeAdaptersOnly)
{
    std::uint32_t count = 0;
    ASSERT_TRUE(g_loader.EnumerateDevices(count));
    EXPECT_EQ(count, 3u);
    CloseAll(g_loader, count);
}

TEST(EmulatedLoader, AdaptersAreNumberedInListOrderSkippingTheHeldOne)
{
    const auto loader = std::make_unique<WindowsLoader>(kEmulatorHidPlatform);
    std::uint32_t count = 0;
    ASSERT_TRUE(loader->EnumerateDevices(count));
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::u16string(loader->Slot(0)->path), AdapterPath(0));
    EXPECT_EQ(std::u16string(loader->Slot(1)->path), AdapterPath(2));
    EXPECT_EQ(std::u16string(loader->Slot(2)->path), AdapterPath(3));
    EXPECT_EQ(loader->Slot(3)->handle, nullptr);
    CloseAll(*loader, count);
}

TEST(EmulatedLoader, TheProtocolCoreReadsTheFirstAdapterThroughTheProgramsLoader)
{
    std::uint32_t count = 0;
    ASSERT_TRUE(g_loader.EnumerateDevices(count));
    ASSERT_GE(count, 1u);

    Vantri::DeviceInfo info{};
    const Vantri::ResultRecord infoResult = Vantri::ReadDeviceInfo(info);
    ASSERT_EQ(infoResult.code, 0u);
    EXPECT_EQ(Vantri::FirmwareVersionText(info), "4.00.20160918");

    // The config area read, 1,173 exchanges in one go: the connection stays
    // in step throughout, and the model finds nothing to object to.
    static std::array<std::uint8_t, Vantri::kConfigAreaSize> area;
    std::uint16_t counter = 1;
    ASSERT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0).code, 0u);
    ASSERT_EQ(Vantri::ReadBlock(counter, area, nullptr).code, 0u);
    EXPECT_EQ(Vantri::SendCommand(0, 16, counter, nullptr, 0).code, 0u);
    CloseAll(g_loader, count);
}

TEST(EmulatedLoader, ASilentAdapterEndsInTheTimeOutCodeAtTheLimit)
{
    const auto loader = std::make_unique<WindowsLoader>(kEmulatorHidPlatform, 300);
    std::uint32_t count = 0;
    ASSERT_TRUE(loader->EnumerateDevices(count));
    ASSERT_EQ(count, 3u);

    Vantri::CommandFrame frame{};
    frame.command = 21;
    frame.status = 2;
    ASSERT_EQ(loader->WriteReport(1, frame).code, 0u);
    const Clock::time_point start = Clock::now();
    Vantri::CommandFrame answer{};
    const Vantri::ResultRecord read = loader->ReadReport(1, answer, 300);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(read.code, Vantri::kErrorTimeout);
    EXPECT_EQ(std::u16string(read.message), u"Read transport failure");
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 2000);
    CloseAll(*loader, count);
}

TEST(EmulatedLoader, AVanishedAdapterFailsItsReportsAndLeavesTheNextSearch)
{
    const auto loader = std::make_unique<WindowsLoader>(kEmulatorHidPlatform, 300);
    std::uint32_t count = 0;
    ASSERT_TRUE(loader->EnumerateDevices(count));
    ASSERT_EQ(count, 3u);

    const Vantri::ResultRecord written = loader->WriteReport(2, Vantri::CommandFrame{});
    EXPECT_EQ(written.code, Vantri::kErrorDeviceNotConnected);
    EXPECT_EQ(std::u16string(written.message), u"Write transport failure");

    ASSERT_TRUE(loader->EnumerateDevices(count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(std::u16string(loader->Slot(1)->path), AdapterPath(2));
    CloseAll(*loader, count);
}

TEST(EmulatedLoader, WithoutAUsableAddressTheSearchFailsCleanly)
{
    for (const char* address : {"", "localhost:5555", "10.1.2.3:5555", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:99999",
                                "127.0.0.1:55x"}) {
        ScopedAddress scoped(*address ? address : nullptr);
        std::uint32_t count = 9;
        EXPECT_FALSE(g_loader.EnumerateDevices(count)) << address;
        EXPECT_EQ(count, 0u) << address;
    }
}

TEST(EmulatedLoader, WithNoEmulatorListeningTheListCannotBeHad)
{
    ScopedAddress scoped("127.0.0.1:1");
    std::uint32_t count = 9;
    EXPECT_FALSE(g_loader.EnumerateDevices(count));
    EXPECT_EQ(count, 0u);
}

TEST(EmulatedLoader, AnEmulatorThatNeverAnswersCannotHangTheSearch)
{
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    // Connections are accepted by the system's backlog and then hear nothing.
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string target = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    ScopedAddress scoped(target.c_str());
    std::uint32_t count = 9;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(g_loader.EnumerateDevices(count));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(count, 0u);
    EXPECT_LT(elapsed, 15000);
    closesocket(listener);
    WSACleanup();
}

} // namespace

// The loader's Win32 binding on the real system (under Wine in CI): the
// search over the machine's own HID interfaces, the bounded transfers on
// overlapped handles, and the refusal of a planted hid.dll.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "loader/hid_platform_win.h"
#include "loader/windows_loader.h"
#include "tests/support/result_record_print.h"

namespace {

using Vantri::CommandFrame;
using Vantri::HidGuid;
using Vantri::HidPlatform;
using Vantri::InterfaceList;
using Vantri::kReportSize;
using Vantri::kWin32HidPlatform;
using Vantri::PlatformHandle;

using Clock = std::chrono::steady_clock;

constexpr HidGuid kHidClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::wstring ModuleDirectory(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// ---------------------------------------------------------------------------
// The search on this machine, counted through a table that forwards to the
// real one.

struct SearchCounts {
    int passes = 0;
    int interfaces = 0;
    int queries = 0;
    int opens = 0;
    int closes = 0;
    int sleeps = 0;
    unsigned sleptMs = 0;
};
SearchCounts g_counts;

InterfaceList CountedList(const HidGuid* interfaceClass)
{
    const InterfaceList list = kWin32HidPlatform.GetPresentInterfaces(interfaceClass);
    if (list)
        ++g_counts.passes;
    return list;
}

bool CountedEnum(InterfaceList list, const HidGuid* interfaceClass, std::uint32_t member, Vantri::HidInterfaceRecord* record)
{
    const bool found = kWin32HidPlatform.EnumInterface(list, interfaceClass, member, record);
    if (found)
        ++g_counts.interfaces;
    return found;
}

PlatformHandle CountedQuery(const char16_t* path)
{
    const PlatformHandle device = kWin32HidPlatform.OpenForQuery(path);
    if (device)
        ++g_counts.queries;
    return device;
}

PlatformHandle CountedOpen(const char16_t* path)
{
    const PlatformHandle device = kWin32HidPlatform.OpenDevice(path);
    if (device)
        ++g_counts.opens;
    return device;
}

void CountedClose(PlatformHandle device)
{
    ++g_counts.closes;
    kWin32HidPlatform.CloseDevice(device);
}

void CountedSleep(std::uint32_t milliseconds)
{
    ++g_counts.sleeps;
    g_counts.sleptMs += milliseconds;
    kWin32HidPlatform.Sleep(milliseconds);
}

HidPlatform CountingPlatform()
{
    HidPlatform platform = kWin32HidPlatform;
    platform.GetPresentInterfaces = CountedList;
    platform.EnumInterface = CountedEnum;
    platform.OpenForQuery = CountedQuery;
    platform.OpenDevice = CountedOpen;
    platform.CloseDevice = CountedClose;
    platform.Sleep = CountedSleep;
    return platform;
}

TEST(Win32Search, TheProgramsLoaderFindsNoAdapterAmongTheMachinesOwnInterfaces)
{
    std::uint32_t count = 99;
    EXPECT_TRUE(g_loader.EnumerateDevices(count));
    EXPECT_EQ(count, 0u);
}

TEST(Win32Search, ThreePassesExamineEveryInterfaceAndCloseWhatTheyOpen)
{
    g_counts = {};
    static const HidPlatform platform = CountingPlatform();
    Vantri::WindowsLoader loader{platform};

    const Clock::time_point start = Clock::now();
    std::uint32_t count = 99;
    ASSERT_TRUE(loader.EnumerateDevices(count));
    const long long elapsed = MillisecondsSince(start);

    EXPECT_EQ(count, 0u);
    EXPECT_EQ(g_counts.passes, 3);
    EXPECT_EQ(g_counts.sleeps, 3);
    EXPECT_EQ(g_counts.sleptMs, 75u);
    EXPECT_GE(elapsed, 70); // the system's timer may round a pause down a little
    // Every interface is looked at through a handle that takes nothing, and
    // none of them, being no adapter, is opened exclusively.
    EXPECT_EQ(g_counts.queries, g_counts.interfaces);
    EXPECT_EQ(g_counts.opens, 0);
    EXPECT_EQ(g_counts.queries + g_counts.opens, g_counts.closes);
    std::printf("HID interfaces seen per pass: %d, looked at in all: %d\n", g_counts.interfaces / 3, g_counts.queries);
}

TEST(Win32Search, TheHidClassIsTheSystemsOwn)
{
    HidGuid guid{};
    ASSERT_TRUE(kWin32HidPlatform.GetHidGuid(&guid));
    EXPECT_EQ(guid, kHidClass);
}

// ---------------------------------------------------------------------------
// hid.dll comes from System32 only.

TEST(Win32HidLibrary, APlantedHidDllBesideTheProgramIsAWorkingOne)
{
    // The control: without the restriction, the search order would pick the
    // file beside the program, and that file does answer. (ctest runs each
    // test in a process of its own; with hid.dll already loaded, a search
    // would only return that module.)
    if (GetModuleHandleW(L"hid.dll"))
        GTEST_SKIP() << "hid.dll is already loaded in this process";
    const HMODULE planted = LoadLibraryW(L"hid.dll");
    ASSERT_NE(planted, nullptr);
    const std::wstring plantedDirectory = Lower(ModuleDirectory(planted));
    const std::wstring programDirectory = Lower(ModuleDirectory(nullptr));
    if (plantedDirectory != programDirectory) {
        FreeLibrary(planted);
        GTEST_SKIP() << "this system does not search the program's folder first";
    }
    using GetGuid = void(__stdcall*)(GUID*);
    const auto getGuid = reinterpret_cast<GetGuid>(reinterpret_cast<void (*)()>(GetProcAddress(planted, "HidD_GetHidGuid")));
    ASSERT_NE(getGuid, nullptr);
    GUID answer{};
    getGuid(&answer);
    EXPECT_EQ(answer.Data1, 0x0BADF00Du);
    FreeLibrary(planted);
}

TEST(Win32HidLibrary, TheBindingLoadsHidDllFromSystem32Only)
{
    HidGuid guid{};
    ASSERT_TRUE(kWin32HidPlatform.GetHidGuid(&guid));
    EXPECT_EQ(guid, kHidClass);

    const HMODULE loaded = GetModuleHandleW(L"hid.dll");
    ASSERT_NE(loaded, nullptr);
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(Lower(ModuleDirectory(loaded)), Lower(std::wstring(system, length) + L"\\"));
}

// ---------------------------------------------------------------------------
// Bounded transfers, on a named pipe that stands in for an adapter: opened
// by the binding's own open (exclusive, overlapped), and silent unless the
// test writes to its other end.

class PipeDevice {
public:
    explicit PipeDevice(DWORD bufferSize = 4096)
    {
        static int serial = 0;
        name_ = L"\\\\.\\pipe\\vantri-loader-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++serial);
        server_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                   bufferSize, bufferSize, 0, nullptr);
    }
    ~PipeDevice()
    {
        if (server_ != INVALID_HANDLE_VALUE)
            CloseHandle(server_);
    }
    PipeDevice(const PipeDevice&) = delete;
    PipeDevice& operator=(const PipeDevice&) = delete;

    bool Created() const { return server_ != INVALID_HANDLE_VALUE; }
    std::u16string Path() const { return {name_.begin(), name_.end()}; }

    // What the adapter would send.
    bool Send(const void* bytes, DWORD size)
    {
        DWORD written = 0;
        return WriteFile(server_, bytes, size, &written, nullptr) && written == size;
    }
    bool Receive(void* bytes, DWORD size)
    {
        DWORD read = 0;
        return ReadFile(server_, bytes, size, &read, nullptr) && read == size;
    }
    void Unplug()
    {
        CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
    }

private:
    std::wstring name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
};

class OpenedPipe {
public:
    explicit OpenedPipe(const PipeDevice& pipe) : handle_(kWin32HidPlatform.OpenDevice(pipe.Path().c_str())) {}
    ~OpenedPipe()
    {
        if (handle_)
            kWin32HidPlatform.CloseDevice(handle_);
    }
    OpenedPipe(const OpenedPipe&) = delete;
    OpenedPipe& operator=(const OpenedPipe&) = delete;
    PlatformHandle Get() const { return handle_; }

private:
    PlatformHandle handle_;
};

TEST(Win32BoundedTransfer, ASilentDeviceTimesOutAndTheCancelledReadTakesNothing)
{
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Created());
    OpenedPipe device(pipe);
    ASSERT_NE(device.Get(), nullptr);

    std::uint8_t report[kReportSize];
    std::memset(report, 0xAB, sizeof report);
    std::uint32_t transferred = 77;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kWin32HidPlatform.ReadBounded(device.Get(), report, kReportSize, &transferred, 200), ERROR_TIMEOUT);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(transferred, 0u);
    for (std::uint8_t byte : report)
        ASSERT_EQ(byte, 0xAB);

    // The handle still works, and the report sent afterwards arrives whole:
    // the given-up read did not swallow any of it.
    std::uint8_t sent[kReportSize];
    for (std::uint32_t i = 0; i < kReportSize; ++i)
        sent[i] = static_cast<std::uint8_t>(i * 3);
    ASSERT_TRUE(pipe.Send(sent, sizeof sent));
    EXPECT_EQ(kWin32HidPlatform.ReadBounded(device.Get(), report, kReportSize, &transferred, 2000), 0u);
    EXPECT_EQ(transferred, kReportSize);
    EXPECT_EQ(std::memcmp(report, sent, sizeof sent), 0);
}

TEST(Win32BoundedTransfer, AWriteNobodyTakesTimesOut)
{
    // A small pipe buffer that nobody drains: sooner or later a write cannot
    // complete and must be given up.
    PipeDevice pipe(kReportSize);
    ASSERT_TRUE(pipe.Created());
    OpenedPipe device(pipe);
    ASSERT_NE(device.Get(), nullptr);

    std::uint8_t report[kReportSize] = {};
    std::uint32_t result = 0;
    int writes = 0;
    for (; writes < 4096 && result == 0; ++writes) {
        std::uint32_t transferred = 0;
        result = kWin32HidPlatform.WriteBounded(device.Get(), report, kReportSize, &transferred, 100);
        if (result == 0) {
            ASSERT_EQ(transferred, kReportSize);
        }
    }
    EXPECT_EQ(result, static_cast<std::uint32_t>(ERROR_TIMEOUT)) << "after " << writes << " writes";
}

// The process's open handles, counted by asking after each possible value
// (Wine answers GetProcessHandleCount with 0).
int OpenHandles()
{
    int count = 0;
    for (std::uintptr_t value = 4; value < 16384; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

// A thread's transfers wait on one event of its own: a read after a given-up
// read waits again for real (a stale signal would end it at once,
// unfinished), and once the thread has ended its transfers hold nothing.
TEST(Win32BoundedTransfer, AThreadsTransfersShareOneEventTheThreadsEndCloses)
{
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Created());
    OpenedPipe device(pipe);
    ASSERT_NE(device.Get(), nullptr);
    constexpr int kExchanges = 20;

    struct Run {
        std::uint32_t timedOut = 0, lastTransferred = 0;
        long long timedOutAfterMs = 0;
        int exchanges = 0, handlesBefore = 0, handlesAfter = 0;
    };
    auto run = [&] {
        Run r;
        r.handlesBefore = OpenHandles();
        std::thread worker([&] {
            std::uint8_t report[kReportSize] = {};
            std::uint32_t transferred = 0;
            auto exchange = [&] {
                report[0] = static_cast<std::uint8_t>(r.exchanges);
                return kWin32HidPlatform.WriteBounded(device.Get(), report, kReportSize, &transferred, 2000) == 0 &&
                       kWin32HidPlatform.ReadBounded(device.Get(), report, kReportSize, &r.lastTransferred, 2000) == 0 &&
                       report[0] == static_cast<std::uint8_t>(r.exchanges + 1) && ++r.exchanges;
            };
            for (int i = 0; i < kExchanges / 2 && exchange(); ++i) {
            }
            const Clock::time_point start = Clock::now();
            r.timedOut = kWin32HidPlatform.ReadBounded(device.Get(), report, kReportSize, &transferred, 150);
            r.timedOutAfterMs = MillisecondsSince(start);
            while (r.exchanges < kExchanges && exchange()) {
            }
        });
        // The other end answers each report with its first byte plus one.
        for (int i = 0; i < kExchanges; ++i) {
            std::uint8_t report[kReportSize];
            if (!pipe.Receive(report, sizeof report))
                break;
            ++report[0];
            if (!pipe.Send(report, sizeof report))
                break;
        }
        worker.join();
        r.handlesAfter = OpenHandles();
        return r;
    };
    // The first thread may leave what the system makes once per process;
    // the second is measured.
    run();
    const Run r = run();

    EXPECT_EQ(r.exchanges, kExchanges);
    EXPECT_EQ(r.lastTransferred, kReportSize);
    EXPECT_EQ(r.timedOut, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_GE(r.timedOutAfterMs, 100) << "a read after transfers ended before its limit";
    EXPECT_EQ(r.handlesAfter, r.handlesBefore) << "the thread's event outlived it";
}

TEST(Win32BoundedTransfer, ANullHandleIsTheSystemsInvalidHandle)
{
    std::uint8_t report[kReportSize] = {};
    std::uint32_t transferred = 0;
    EXPECT_EQ(kWin32HidPlatform.WriteBounded(nullptr, report, kReportSize, &transferred, 100), Vantri::kErrorInvalidHandle);
    EXPECT_EQ(kWin32HidPlatform.ReadBounded(nullptr, report, kReportSize, &transferred, 100), Vantri::kErrorInvalidHandle);
}

// ---------------------------------------------------------------------------
// The whole loader over the real open and transfers: a table whose search
// finds one "adapter", the pipe.

std::u16string g_pipePath;

bool OneGuid(HidGuid* guid)
{
    *guid = kHidClass;
    return true;
}
InterfaceList OneList(const HidGuid*)
{
    static int list;
    return &list;
}
bool OneMember(InterfaceList, const HidGuid*, std::uint32_t member, Vantri::HidInterfaceRecord* record)
{
    *record = {};
    return member == 0;
}
bool PipePath(InterfaceList, const Vantri::HidInterfaceRecord*, char16_t* path)
{
    std::memcpy(path, g_pipePath.c_str(), (g_pipePath.size() + 1) * sizeof(char16_t));
    return true;
}
void NoDestroy(InterfaceList) {}
bool AdapterAttributes(PlatformHandle, Vantri::HidAttributes* attributes)
{
    *attributes = {Vantri::kAdapterVendorId, Vantri::kAdapterProductId, 0};
    return true;
}
bool AdapterProduct(PlatformHandle, void* buffer, std::uint32_t)
{
    std::memcpy(buffer, Vantri::kAdapterProductString, sizeof Vantri::kAdapterProductString);
    return true;
}
void NoPause(std::uint32_t) {}
// A pipe takes one client: a second open for looking at it would take the
// instance the transfers need. Any handle the real close accepts will do.
PlatformHandle LookingHandle(const char16_t*)
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
bool AdapterReportLengths(PlatformHandle, Vantri::HidReportLengths* lengths)
{
    *lengths = {kReportSize, kReportSize};
    return true;
}

HidPlatform PipeAdapterPlatform()
{
    HidPlatform platform = kWin32HidPlatform;
    platform.GetHidGuid = OneGuid;
    platform.GetPresentInterfaces = OneList;
    platform.EnumInterface = OneMember;
    platform.GetInterfacePath = PipePath;
    platform.DestroyInterfaceList = NoDestroy;
    platform.OpenForQuery = LookingHandle;
    platform.GetAttributes = AdapterAttributes;
    platform.GetProductString = AdapterProduct;
    platform.GetReportLengths = AdapterReportLengths;
    platform.Sleep = NoPause;
    return platform;
}

CommandFrame NumberedFrame(std::uint8_t first)
{
    CommandFrame frame{};
    std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(&frame);
    for (std::uint32_t i = 0; i < sizeof frame; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return frame;
}

TEST(Win32Loader, ReportsTravelOverTheRealHandleWithinTheLimit)
{
    PipeDevice pipe;
    ASSERT_TRUE(pipe.Created());
    g_pipePath = pipe.Path();
    static const HidPlatform platform = PipeAdapterPlatform();
    Vantri::WindowsLoader loader{platform, 300};

    std::uint32_t count = 0;
    ASSERT_TRUE(loader.EnumerateDevices(count));
    ASSERT_EQ(count, 1u);

    const CommandFrame out = NumberedFrame(1);
    ASSERT_EQ(loader.WriteReport(0, out), Vantri::kResultOk);
    std::uint8_t received[kReportSize] = {};
    ASSERT_TRUE(pipe.Receive(received, sizeof received));
    EXPECT_EQ(received[0], 0);
    EXPECT_EQ(std::memcmp(received + 1, &out, sizeof out), 0);

    // Silent: the read gives up at the limit with the system's time-out code.
    const CommandFrame untouched = NumberedFrame(200);
    CommandFrame destination = untouched;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(loader.ReadReport(0, destination, 300), Vantri::ReadTransportFailure(Vantri::kErrorTimeout));
    EXPECT_GE(MillisecondsSince(start), 250);
    EXPECT_EQ(std::memcmp(&destination, &untouched, sizeof destination), 0);

    // Answering: byte 0 is ignored, the payload copied.
    std::uint8_t answer[kReportSize];
    answer[0] = 0x77;
    const CommandFrame in = NumberedFrame(50);
    std::memcpy(answer + 1, &in, sizeof in);
    ASSERT_TRUE(pipe.Send(answer, sizeof answer));
    ASSERT_EQ(loader.ReadReport(0, destination, 300), Vantri::kResultOk);
    EXPECT_EQ(std::memcmp(&destination, &in, sizeof in), 0);

    // A short answer is a failure even though the system call succeeded.
    ASSERT_TRUE(pipe.Send(answer, 10));
    EXPECT_EQ(loader.ReadReport(0, destination, 300), Vantri::ReadTransportFailure(Vantri::kErrorReadFault));

    // Unplugged: the failure carries the system's code, at once.
    pipe.Unplug();
    const Vantri::ResultRecord unplugged = loader.WriteReport(0, out);
    EXPECT_NE(unplugged.code, 0u);
    EXPECT_EQ(std::u16string(unplugged.message), u"Write transport failure");

    loader.CloseDevice(0);
    EXPECT_EQ(loader.WriteReport(0, out), Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle));
}

} // namespace

// Puts the emulator process's interfaces into a Wine prefix as HID devices
// under Wine's own HID class driver, keeps them in step with the emulator
// while a test runs, and takes them out again.
//
//   vantri_hid_devices.exe --port P --inf PATH [--unasked I]...
//
// Each member I of the emulator's interface list becomes the root device
// ROOT\VID_vvvv&PID_pppp\IIII, driven by vantri_hid_bridge.sys (which binds
// it to member I). Programs then find it with SetupDi as
// \\?\hid#vid_vvvv&pid_pppp#IIII#{4d1e55b2-...}, like a device on a PC.
// --unasked I: device I sends one report nobody asked for each time a program
// reads its product string.
//
// On stdout: "device I PATH" for each device once it is present, then
// "ready N". While it runs it watches the emulator's list: an adapter that
// leaves it (the model's vanish fault) is removed from the prefix at once,
// as unplugging would, and "removed I" is printed. Commands on stdin, one a
// line: "remove I" removes device I now. At the end of stdin every device is
// removed, "done" is printed and the program ends with 0. Devices last only
// while the prefix's server runs; leftovers of an earlier run are removed at
// the start.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/server/wire_format.h"

namespace {

constexpr wchar_t kHardwareId[] = L"VANTRI_TEST\\HID_BRIDGE\0";
constexpr wchar_t kSettingsKey[] = L"Software\\VantriTest\\HidBridge";
constexpr GUID kSystemClass{0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr GUID kHidClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
// Each look at the emulator's list is a handful of wineserver round trips,
// which a flash on the same server feels; 50 ms still removes a vanished
// adapter long before any time limit of the program's.
constexpr auto kWatchPeriod = std::chrono::milliseconds(50);

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

[[noreturn]] void Fail(const char* what, DWORD error = GetLastError())
{
    std::fprintf(stderr, "vantri_hid_devices: %s (error %lu)\n", what, error);
    std::exit(1);
}

// ---- the emulator's list -----------------------------------------------------

class Control {
public:
    explicit Control(std::uint16_t port)
    {
        WSADATA data{};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            Fail("WSAStartup");
        socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        if (socket_ == INVALID_SOCKET || connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("cannot reach the emulator", WSAGetLastError());
    }
    ~Control() { closesocket(socket_); }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // The paths of the interfaces present now; empty on a broken connection.
    bool List(std::vector<std::u16string>& paths)
    {
        VantriWire::Writer message(VantriWire::kList);
        const std::vector<std::uint8_t>& request = message.Finish();
        if (send(socket_, reinterpret_cast<const char*>(request.data()), static_cast<int>(request.size()), 0) !=
            static_cast<int>(request.size()))
            return false;
        std::uint8_t head[4];
        if (!Receive(head, 4))
            return false;
        const std::uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (std::uint32_t(head[3]) << 24);
        if (size == 0 || size > VantriWire::kMaxMessageSize)
            return false;
        std::vector<std::uint8_t> body(size);
        if (!Receive(body.data(), size))
            return false;
        VantriWire::Reader reader(body, 1);
        const std::uint32_t status = reader.U32();
        const std::uint32_t count = reader.U32();
        if (!reader.ok() || status != 0)
            return false;
        paths.clear();
        for (std::uint32_t i = 0; i < count && reader.ok(); ++i)
            paths.push_back(reader.Text());
        return reader.ok();
    }

private:
    bool Receive(std::uint8_t* data, std::uint32_t size)
    {
        for (std::uint32_t got = 0; got < size;) {
            const int n = recv(socket_, reinterpret_cast<char*>(data) + got, static_cast<int>(size - got), 0);
            if (n <= 0)
                return false;
            got += static_cast<std::uint32_t>(n);
        }
        return true;
    }

    SOCKET socket_ = INVALID_SOCKET;
};

// "vid_2387&pid_0003" out of an emulator path, upper-cased for a device id.
std::wstring VendorProduct(const std::u16string& path)
{
    const std::size_t at = path.find(u"vid_");
    if (at == std::u16string::npos || at + 17 > path.size())
        return L"VID_0000&PID_0000";
    std::wstring part(path.begin() + static_cast<std::ptrdiff_t>(at), path.begin() + static_cast<std::ptrdiff_t>(at + 17));
    for (wchar_t& c : part)
        c = static_cast<wchar_t>(towupper(c));
    return part;
}

// ---- devices -------------------------------------------------------------------

std::wstring Instance(const std::wstring& vendorProduct, unsigned member)
{
    wchar_t text[64];
    swprintf(text, 64, L"ROOT\\%ls\\%04u", vendorProduct.c_str(), member);
    return text;
}

void CreateDevice(const std::wstring& instance)
{
    const HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        Fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set, instance.c_str(), &kSystemClass, nullptr, nullptr, 0, &device))
        Fail("SetupDiCreateDeviceInfoW");
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kHardwareId), sizeof kHardwareId))
        Fail("SetupDiSetDeviceRegistryPropertyW");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        Fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
}

bool RemoveDevice(const std::wstring& instance)
{
    const HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const bool removed = SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &device) &&
                         SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

// Devices of ours left by an earlier run in this prefix.
void RemoveLeftovers()
{
    const HDEVINFO set = SetupDiGetClassDevsW(&kSystemClass, L"ROOT", nullptr, 0);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        wchar_t ids[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                              sizeof ids - sizeof(wchar_t), nullptr) &&
            std::wcscmp(ids, kHardwareId) == 0)
            SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The HID interface paths present now.
std::vector<std::wstring> HidPaths()
{
    std::vector<std::wstring> paths;
    const HDEVINFO set = SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kHidClass, i, &data); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            unsigned char bytes[1024];
        } buffer{};
        buffer.detail.cbSize = sizeof buffer.detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, &buffer.detail, sizeof buffer, nullptr, nullptr))
            paths.emplace_back(buffer.detail.DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

void WriteSettings(std::uint16_t port, const std::vector<unsigned>& unasked)
{
    HKEY key;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSettingsKey);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        Fail("cannot write the bridge's settings");
    const DWORD value = port;
    RegSetValueExW(key, L"Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    for (unsigned member : unasked) {
        wchar_t name[32];
        swprintf(name, 32, L"Unasked%04u", member);
        const DWORD on = 1;
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    }
    RegCloseKey(key);
}

struct Device {
    std::u16string emulatorPath;
    std::wstring instance;
    bool present = true;
};

std::mutex g_devicesLock;

void Remove(Device& device, unsigned member)
{
    if (!device.present)
        return;
    device.present = false;
    const bool removed = RemoveDevice(device.instance);
    Say("removed %u%s\n", member, removed ? "" : " (failed)");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::uint16_t port = 0;
    std::wstring inf;
    std::vector<unsigned> unasked;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--port")
            port = static_cast<std::uint16_t>(std::wcstoul(argv[i + 1], nullptr, 10));
        else if (option == L"--inf")
            inf = argv[i + 1];
        else if (option == L"--unasked")
            unasked.push_back(static_cast<unsigned>(std::wcstoul(argv[i + 1], nullptr, 10)));
        else
            Fail("usage: vantri_hid_devices.exe --port P --inf PATH [--unasked I]...", 0);
    }
    if (port == 0 || inf.empty())
        Fail("usage: vantri_hid_devices.exe --port P --inf PATH [--unasked I]...", 0);
    wchar_t infPath[MAX_PATH];
    if (!GetFullPathNameW(inf.c_str(), MAX_PATH, infPath, nullptr))
        Fail("the INF path");

    RemoveLeftovers();
    WriteSettings(port, unasked);
    Control control(port);
    std::vector<std::u16string> listed;
    if (!control.List(listed))
        Fail("the emulator's list", 0);

    std::vector<Device> devices;
    for (unsigned member = 0; member < listed.size(); ++member) {
        devices.push_back({listed[member], Instance(VendorProduct(listed[member]), member)});
        CreateDevice(devices.back().instance);
    }
    if (!devices.empty()) {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, infPath, INSTALLFLAG_FORCE, &reboot))
            Fail("UpdateDriverForPlugAndPlayDevicesW");
    }

    // Present once hidclass has made each device's interface.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<std::wstring> found(devices.size());
    for (std::size_t seen = 0; seen < devices.size();) {
        if (std::chrono::steady_clock::now() > deadline)
            Fail("the devices did not appear within 30 s", static_cast<DWORD>(seen));
        seen = 0;
        for (const std::wstring& path : HidPaths()) {
            for (unsigned member = 0; member < devices.size(); ++member) {
                wchar_t tail[16];
                swprintf(tail, 16, L"#%04u#", member);
                std::wstring prefix = L"\\\\?\\hid#" + devices[member].instance.substr(5, 17) + tail;
                for (wchar_t& c : prefix)
                    c = static_cast<wchar_t>(towlower(c));
                std::wstring lower = path;
                for (wchar_t& c : lower)
                    c = static_cast<wchar_t>(towlower(c));
                if (lower.rfind(prefix, 0) == 0 && found[member].empty())
                    found[member] = path;
            }
        }
        for (const std::wstring& path : found)
            seen += !path.empty();
        if (seen < devices.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (unsigned member = 0; member < devices.size(); ++member)
        Say("device %u %ls\n", member, found[member].c_str());
    Say("ready %u\n", static_cast<unsigned>(devices.size()));

    std::atomic<bool> ending{false};
    std::thread watcher([&] {
        std::vector<std::u16string> now;
        while (!ending.load()) {
            std::this_thread::sleep_for(kWatchPeriod);
            if (!control.List(now))
                break;
            std::lock_guard<std::mutex> hold(g_devicesLock);
            for (unsigned member = 0; member < devices.size(); ++member) {
                Device& device = devices[member];
                bool listedNow = false;
                for (const std::u16string& path : now)
                    listedNow = listedNow || path == device.emulatorPath;
                if (!listedNow)
                    Remove(device, member);
            }
        }
    });

    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        unsigned member = 0;
        if (std::sscanf(line, "remove %u", &member) == 1 && member < devices.size()) {
            std::lock_guard<std::mutex> hold(g_devicesLock);
            Remove(devices[member], member);
        }
    }
    ending = true;
    watcher.join();
    for (unsigned member = 0; member < devices.size(); ++member)
        Remove(devices[member], member);
    Say("done\n");
    return 0;
}

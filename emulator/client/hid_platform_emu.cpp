// The loader's platform table bound to the emulator process instead of the
// system's HID stack, over TCP on the loopback interface (wire protocol in
// docs/emulator.md). Only the emulation build contains it, and it is the
// only code of the program that reads the environment: VANTRI4_EMULATOR
// names the address, "127.0.0.1:PORT".
#include "emulator/client/hid_platform_emu.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emulator/server/wire_format.h"
#include "base/command_frame.h"

namespace Vantri {

namespace {

using VantriWire::kAttributes;
using VantriWire::kCaps;
using VantriWire::kClose;
using VantriWire::kList;
using VantriWire::kMaxMessageSize;
using VantriWire::kOpen;
using VantriWire::kProduct;
using VantriWire::kQuery;
using VantriWire::kRead;
using VantriWire::kReplyBit;
using VantriWire::kWrite;
using Message = VantriWire::Writer;

// The emulator answers a bounded request at its own limit; ours waits a
// little longer, so that only a hung or dead emulator trips it.
constexpr std::uint32_t kReplyMarginMs = 2000;
constexpr std::uint32_t kControlReplyMs = 5000;

// Every path the search can take fits in a list the emulator may send.
static_assert(VantriWire::kLongestPathUnits + 1 == kInterfacePathCapacity);

constexpr HidGuid kHidClass{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A reply's body (type and payload) and the reader of its fields, which
// begin past the type. The reader refers to the body, so a reply stays where
// it was made.
struct Reply {
    Reply() = default;
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;

    std::vector<std::uint8_t> body;
    VantriWire::Reader fields{body, 1};
};

// ---------------------------------------------------------------------------
// Connections.

bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// The emulator's address, read from the environment at every search so a
// test can point the program elsewhere. Only loopback addresses are
// accepted: the emulator never listens anywhere else.
bool EmulatorAddress(sockaddr_in& address)
{
    char text[64] = {};
    const DWORD length = GetEnvironmentVariableA("VANTRI4_EMULATOR", text, sizeof text);
    if (length == 0 || length >= sizeof text)
        return false;
    const std::string value(text, length);
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon + 1 == value.size())
        return false;
    const std::string host = value.substr(0, colon);
    const std::string portText = value.substr(colon + 1);
    if (portText.find_first_not_of("0123456789") != std::string::npos || portText.size() > 5)
        return false;
    const unsigned long port = std::strtoul(portText.c_str(), nullptr, 10);
    address = {};
    address.sin_family = AF_INET;
    if (port == 0 || port > 65535 || InetPtonA(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return false;
    address.sin_port = htons(static_cast<u_short>(port));
    return (ntohl(address.sin_addr.s_addr) >> 24) == 127;
}

// One TCP connection, closed by its owner.
class Connection {
public:
    Connection() = default;
    explicit Connection(SOCKET socket) : socket_(socket) {}
    ~Connection() { Reset(); }
    Connection(Connection&& other) noexcept
        : receiveLimitMs_(other.receiveLimitMs_), socket_(std::exchange(other.socket_, INVALID_SOCKET))
    {
    }
    Connection& operator=(Connection&& other) noexcept
    {
        if (this != &other) {
            Reset();
            socket_ = std::exchange(other.socket_, INVALID_SOCKET);
            receiveLimitMs_ = other.receiveLimitMs_;
        }
        return *this;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    static Connection To(const sockaddr_in& address)
    {
        const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET)
            return {};
        Connection connection(s);
        // Without it a 65-byte report waits for the peer's delayed
        // acknowledgement: tens of milliseconds an exchange.
        const BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return {};
        return connection;
    }

    bool Open() const { return socket_ != INVALID_SOCKET; }
    void Reset()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        socket_ = INVALID_SOCKET;
        receiveLimitMs_ = 0;
    }

    // One request, one reply of the matching type. False when the
    // connection failed or the reply did not come in time; the connection
    // is then out of step and closed.
    bool Exchange(Message& request, std::uint8_t type, Reply& reply, std::uint32_t replyWithinMs)
    {
        if (!Open())
            return false;
        const std::vector<std::uint8_t>& bytes = request.Finish();
        if (!SendAll(bytes.data(), bytes.size()) || !ReceiveReply(reply, replyWithinMs) || reply.body[0] != (type | kReplyBit)) {
            Reset();
            return false;
        }
        return true;
    }

private:
    bool SendAll(const std::uint8_t* data, std::size_t size)
    {
        // One send() in practice: the peer reads a message in one piece.
        while (size > 0) {
            const int sent = send(socket_, reinterpret_cast<const char*>(data), static_cast<int>(size), 0);
            if (sent <= 0)
                return false;
            data += sent;
            size -= static_cast<std::size_t>(sent);
        }
        return true;
    }

    // Blocking receives bounded by the socket's own time-out: one recv()
    // per reply in the usual case, which under Wine is much cheaper than a
    // select() before every read. The limit is set only when it changes.
    bool LimitReceives(std::uint32_t withinMs)
    {
        if (withinMs == receiveLimitMs_)
            return true;
        const DWORD limit = withinMs;
        if (setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit) != 0)
            return false;
        receiveLimitMs_ = withinMs;
        return true;
    }

    // Reads until `want` bytes of the reply are in; false when the peer
    // closed, failed, or let the limit pass (the socket is then unusable).
    bool Fill(Reply& reply, std::size_t want, ULONGLONG deadline)
    {
        std::size_t have = reply.body.size();
        reply.body.resize(want);
        while (have < want) {
            if (GetTickCount64() >= deadline)
                return false;
            const int got = recv(socket_, reinterpret_cast<char*>(reply.body.data() + have), static_cast<int>(want - have), 0);
            if (got <= 0)
                return false;
            have += static_cast<std::size_t>(got);
        }
        return true;
    }

    bool ReceiveReply(Reply& reply, std::uint32_t withinMs)
    {
        // The socket's limit applies to each recv(); the deadline bounds the
        // whole reply however it is split.
        const ULONGLONG deadline = GetTickCount64() + withinMs;
        if (!LimitReceives(withinMs))
            return false;
        reply.body.clear();
        if (!Fill(reply, 4, deadline))
            return false;
        const std::uint32_t size = reply.body[0] | (reply.body[1] << 8) | (reply.body[2] << 16) |
                                   (static_cast<std::uint32_t>(reply.body[3]) << 24);
        if (size < 5 || size > kMaxMessageSize) // type and status at least
            return false;
        if (!Fill(reply, 4 + size, deadline))
            return false;
        reply.body.erase(reply.body.begin(), reply.body.begin() + 4);
        return true;
    }

    std::uint32_t receiveLimitMs_ = 0; // 0: the system's default, no limit
    SOCKET socket_ = INVALID_SOCKET;
};

// The control connection for the lists. Searches run on one thread only
// (the window's), so it needs no lock.
Connection& Control()
{
    static Connection control;
    return control;
}

sockaddr_in s_address{};

// An open interface: a connection bound to it for good.
// A reply that went missing leaves the connection closed, and every later
// request on it fails as on an unplugged device.
struct EmulatedDevice {
    Connection connection;
};

EmulatedDevice* Device(PlatformHandle handle)
{
    return static_cast<EmulatedDevice*>(handle);
}

struct EmulatedList {
    std::vector<std::u16string> paths;
};

// ---------------------------------------------------------------------------
// The table's entries.

bool GetHidGuid(HidGuid* guid)
{
    sockaddr_in address{};
    if (!StartWinsock() || !EmulatorAddress(address))
        return false;
    if (std::memcmp(&address, &s_address, sizeof address) != 0) {
        Control().Reset();
        s_address = address;
    }
    *guid = kHidClass;
    return true;
}

InterfaceList GetPresentInterfaces(const HidGuid* interfaceClass)
{
    if (*interfaceClass != kHidClass)
        return nullptr;
    Connection& control = Control();
    if (!control.Open())
        control = Connection::To(s_address);
    Message request(kList);
    Reply reply;
    // A failed exchange closes the connection: the next search connects anew.
    if (!control.Exchange(request, kList, reply, kControlReplyMs) || reply.fields.U32() != 0)
        return nullptr;

    auto list = std::make_unique<EmulatedList>();
    const std::uint32_t count = reply.fields.U32();
    for (std::uint32_t i = 0; i < count && reply.fields.ok(); ++i) {
        const std::uint16_t units = reply.fields.U16();
        const std::uint8_t* text = reply.fields.Bytes(units * 2u);
        if (!text)
            break;
        std::u16string path(units, u'\0');
        for (std::uint16_t u = 0; u < units; ++u)
            path[u] = static_cast<char16_t>(text[2 * u] | (text[2 * u + 1] << 8));
        list->paths.push_back(std::move(path));
    }
    // A list cut short is no list: the search must not act on part of it.
    if (!reply.fields.ok())
        return nullptr;
    return list.release();
}

bool EnumInterface(InterfaceList list, const HidGuid* interfaceClass, std::uint32_t member, HidInterfaceRecord* record)
{
    const auto* emulated = static_cast<const EmulatedList*>(list);
    if (member >= emulated->paths.size())
        return false;
    *record = {sizeof *record, *interfaceClass, 0, member};
    return true;
}

bool GetInterfacePath(InterfaceList list, const HidInterfaceRecord* record, char16_t* path)
{
    const auto* emulated = static_cast<const EmulatedList*>(list);
    if (record->reserved >= emulated->paths.size())
        return false;
    const std::u16string& text = emulated->paths[record->reserved];
    // As the system's detail call: a path that does not fit is refused.
    if (text.size() + 1 > kInterfacePathCapacity)
        return false;
    std::copy(text.begin(), text.end(), path);
    path[text.size()] = 0;
    return true;
}

void DestroyInterfaceList(InterfaceList list)
{
    delete static_cast<EmulatedList*>(list);
}

// OPEN takes the interface for this connection alone; QUERY binds it only
// for reading what describes it, as a handle with no access does.
PlatformHandle OpenAs(std::uint8_t type, const char16_t* path)
{
    const std::size_t units = std::char_traits<char16_t>::length(path);
    Connection connection = Connection::To(s_address);
    Message request(type);
    request.U16(static_cast<std::uint16_t>(units));
    for (std::size_t i = 0; i < units; ++i)
        request.U16(static_cast<std::uint16_t>(path[i]));
    Reply reply;
    if (!connection.Exchange(request, type, reply, kControlReplyMs) || reply.fields.U32() != 0)
        return nullptr;
    return new EmulatedDevice{std::move(connection)};
}

PlatformHandle OpenForQuery(const char16_t* path)
{
    return OpenAs(kQuery, path);
}

PlatformHandle OpenDevice(const char16_t* path)
{
    return OpenAs(kOpen, path);
}

bool GetAttributes(PlatformHandle handle, HidAttributes* attributes)
{
    Message request(kAttributes);
    Reply reply;
    if (!Device(handle)->connection.Exchange(request, kAttributes, reply, kControlReplyMs) || reply.fields.U32() != 0)
        return false;
    const std::uint16_t vendor = reply.fields.U16();
    const std::uint16_t product = reply.fields.U16();
    const std::uint16_t version = reply.fields.U16();
    if (!reply.fields.ok())
        return false;
    *attributes = {vendor, product, version};
    return true;
}

bool GetProductString(PlatformHandle handle, void* buffer, std::uint32_t bufferBytes)
{
    Message request(kProduct);
    request.U32(bufferBytes);
    Reply reply;
    if (!Device(handle)->connection.Exchange(request, kProduct, reply, kControlReplyMs) || reply.fields.U32() != 0)
        return false;
    const std::uint32_t count = reply.fields.U32();
    const std::uint8_t* text = reply.fields.Bytes(count);
    if (!text || count > bufferBytes)
        return false;
    std::memcpy(buffer, text, count);
    return true;
}

bool GetReportLengths(PlatformHandle handle, HidReportLengths* lengths)
{
    Message request(kCaps);
    Reply reply;
    if (!Device(handle)->connection.Exchange(request, kCaps, reply, kControlReplyMs) || reply.fields.U32() != 0)
        return false;
    const std::uint16_t input = reply.fields.U16();
    const std::uint16_t output = reply.fields.U16();
    if (!reply.fields.ok())
        return false;
    *lengths = {input, output};
    return true;
}

void CloseDevice(PlatformHandle handle)
{
    EmulatedDevice* device = Device(handle);
    // Wait for the reply: the emulator then has released the interface, and
    // a search that opens it again at once finds it free.
    Message request(kClose);
    Reply reply;
    device->connection.Exchange(request, kClose, reply, kControlReplyMs);
    delete device;
}

void Pause(std::uint32_t milliseconds)
{
    ::Sleep(milliseconds);
}

std::uint32_t ReplyWithin(std::uint32_t timeoutMs)
{
    return timeoutMs > UINT32_MAX - kReplyMarginMs ? UINT32_MAX : timeoutMs + kReplyMarginMs;
}

std::uint32_t WriteBounded(PlatformHandle handle, const std::uint8_t* report, std::uint32_t size,
                           std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    *transferred = 0;
    EmulatedDevice* device = Device(handle);
    if (!handle)
        return kErrorInvalidHandle;
    Message request(kWrite);
    request.U32(timeoutMs).U32(size).Bytes(report, size);
    Reply reply;
    if (!device->connection.Exchange(request, kWrite, reply, ReplyWithin(timeoutMs)))
        return kErrorDeviceNotConnected;
    const std::uint32_t status = reply.fields.U32();
    const std::uint32_t moved = reply.fields.U32();
    if (!reply.fields.ok())
        return kErrorDeviceNotConnected;
    if (status == 0)
        *transferred = std::min(moved, size);
    return status;
}

std::uint32_t ReadBounded(PlatformHandle handle, std::uint8_t* report, std::uint32_t size,
                          std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    *transferred = 0;
    EmulatedDevice* device = Device(handle);
    if (!handle)
        return kErrorInvalidHandle;
    Message request(kRead);
    request.U32(timeoutMs).U32(size);
    Reply reply;
    if (!device->connection.Exchange(request, kRead, reply, ReplyWithin(timeoutMs)))
        return kErrorDeviceNotConnected;
    const std::uint32_t status = reply.fields.U32();
    const std::uint32_t moved = reply.fields.U32();
    if (!reply.fields.ok() || status != 0)
        return reply.fields.ok() ? status : kErrorDeviceNotConnected;
    const std::uint8_t* bytes = reply.fields.Bytes(moved);
    if (!bytes || moved > size)
        return kErrorDeviceNotConnected;
    std::memcpy(report, bytes, moved);
    *transferred = moved;
    return 0;
}

// The emulator's adapters speak only when spoken to: after a search nothing
// is waiting to be read, so there is nothing to drop.
bool FlushInput(PlatformHandle)
{
    return true;
}

} // namespace

const HidPlatform kEmulatorHidPlatform{
    GetHidGuid,    GetPresentInterfaces, EnumInterface,    GetInterfacePath, DestroyInterfaceList,
    OpenForQuery,  OpenDevice,           GetAttributes,    GetProductString, GetReportLengths,
    CloseDevice,   Pause,                WriteBounded,     ReadBounded,      FlushInput,
};

} // namespace Vantri

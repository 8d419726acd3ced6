/* The connection to the native emulator: a loopback TCP socket made with
 * Linux's own calls (linux_calls.h says why). A real Windows kernel would
 * never load this; it is a test device. */
#include "bridge_wire.h"

#include "linux_calls.h"

#include <string.h>

/* The largest message either end sends (the emulator's LIST reply limit). */
#define BRIDGE_MAX_MESSAGE 262144u

#define LINUX_AF_INET 2
#define LINUX_SOCK_STREAM 1
#define LINUX_SOCK_CLOEXEC 0x80000
#define LINUX_IPPROTO_TCP 6
#define LINUX_TCP_NODELAY 1
#define LINUX_MSG_NOSIGNAL 0x4000
#define LINUX_SHUT_RDWR 2

typedef struct LinuxAddress {
    uint16_t family;
    uint16_t port;     /* network order */
    uint32_t address;  /* network order */
    uint8_t zero[8];
} LinuxAddress;

/* A call that a signal to the thread (Wine uses them) cut short is made again. */
static int64_t Retried(int64_t number, int64_t a1, int64_t a2, int64_t a3, int64_t a4, int64_t a5, int64_t a6)
{
    int64_t result;
    do
        result = LinuxCall(number, a1, a2, a3, a4, a5, a6);
    while (result == -LINUX_EINTR);
    return result;
}

/* A connect a signal cut short goes on by itself: asked again it answers
 * "already" until it is done, then "connected". */
static int Connected(int64_t s, const LinuxAddress* address)
{
    int64_t result = LinuxCall(LINUX_CONNECT, s, (int64_t)(intptr_t)address, sizeof *address, 0, 0, 0);
    while (result == -LINUX_EINTR || result == -LINUX_EALREADY)
        result = LinuxCall(LINUX_CONNECT, s, (int64_t)(intptr_t)address, sizeof *address, 0, 0, 0);
    return result == 0 || result == -LINUX_EISCONN;
}

BridgeSocket BridgeConnect(uint16_t port)
{
    const int64_t s = LinuxCall(LINUX_SOCKET, LINUX_AF_INET, LINUX_SOCK_STREAM | LINUX_SOCK_CLOEXEC,
                                LINUX_IPPROTO_TCP, 0, 0, 0);
    if (s < 0)
        return BRIDGE_NO_SOCKET;
    LinuxAddress address;
    memset(&address, 0, sizeof address);
    address.family = LINUX_AF_INET;
    address.port = (uint16_t)((port >> 8) | (port << 8));
    address.address = 0x0100007Fu; /* 127.0.0.1 */
    /* Without it every exchange waits for the peer's delayed ACK. */
    int32_t on = 1;
    if (LinuxCall(LINUX_SETSOCKOPT, s, LINUX_IPPROTO_TCP, LINUX_TCP_NODELAY, (int64_t)(intptr_t)&on, sizeof on, 0) !=
            0 ||
        !Connected(s, &address)) {
        LinuxCall(LINUX_CLOSE, s, 0, 0, 0, 0, 0);
        return BRIDGE_NO_SOCKET;
    }
    return (BridgeSocket)s;
}

void BridgeShutdown(BridgeSocket connection)
{
    if (connection != BRIDGE_NO_SOCKET)
        LinuxCall(LINUX_SHUTDOWN, (int64_t)connection, LINUX_SHUT_RDWR, 0, 0, 0, 0);
}

void BridgeClose(BridgeSocket connection)
{
    if (connection != BRIDGE_NO_SOCKET) {
        BridgeShutdown(connection);
        LinuxCall(LINUX_CLOSE, (int64_t)connection, 0, 0, 0, 0, 0);
    }
}

static int ReceiveExactly(BridgeSocket s, uint8_t* data, uint32_t size)
{
    uint32_t got = 0;
    while (got < size) {
        const int64_t n = Retried(LINUX_RECVFROM, (int64_t)s, (int64_t)(intptr_t)(data + got), size - got, 0, 0, 0);
        if (n <= 0)
            return 0;
        got += (uint32_t)n;
    }
    return 1;
}

static uint32_t ReadU32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

static void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

uint32_t BridgeRequest(BridgeSocket connection, uint8_t type, const uint8_t* payload, uint32_t payloadSize,
                       uint8_t* reply, uint32_t replyCapacity, uint32_t* replySize)
{
    uint8_t message[5 + 600];
    if (payloadSize > sizeof message - 5)
        return BRIDGE_STATUS_BROKEN;
    PutU32(message, payloadSize + 1);
    message[4] = type;
    if (payloadSize)
        memcpy(message + 5, payload, payloadSize);
    /* One send per message: a request split in two costs a delayed ACK. */
    if (Retried(LINUX_SENDTO, (int64_t)connection, (int64_t)(intptr_t)message, payloadSize + 5, LINUX_MSG_NOSIGNAL,
                0, 0) != (int64_t)(payloadSize + 5))
        return BRIDGE_STATUS_BROKEN;

    uint8_t head[9];
    if (!ReceiveExactly(connection, head, sizeof head))
        return BRIDGE_STATUS_BROKEN;
    const uint32_t size = ReadU32(head);
    if (size < 5 || size > BRIDGE_MAX_MESSAGE || head[4] != (uint8_t)(type | 0x80))
        return BRIDGE_STATUS_BROKEN;
    const uint32_t status = ReadU32(head + 5);
    uint32_t remaining = size - 5, kept = 0;
    while (remaining) {
        uint8_t scrap[512];
        uint8_t* into = kept < replyCapacity ? reply + kept : scrap;
        uint32_t room = kept < replyCapacity ? replyCapacity - kept : sizeof scrap;
        const uint32_t step = remaining < room ? remaining : room;
        if (!ReceiveExactly(connection, into, step))
            return BRIDGE_STATUS_BROKEN;
        if (into != scrap)
            kept += step;
        remaining -= step;
    }
    if (replySize)
        *replySize = kept;
    return status;
}
uint32_t BridgeOpenMember(BridgeSocket connection, uint32_t index)
{
    /* A LIST reply is large only with hundreds of interfaces; walk it in a
     * buffer of its own rather than on a driver thread's stack. Devices
     * start one at a time (on the thread that serves Plug and Play), so one
     * buffer serves them all. */
    static uint8_t list[BRIDGE_MAX_MESSAGE];
    uint32_t size = 0;
    uint32_t status = BridgeRequest(connection, BRIDGE_LIST, NULL, 0, list, sizeof list, &size);
    uint8_t path[2 + 2 * 300];
    uint32_t pathBytes = 0;
    if (status == 0) {
        status = BRIDGE_STATUS_BROKEN;
        uint32_t at = 4;
        const uint32_t count = size >= 4 ? ReadU32(list) : 0;
        for (uint32_t member = 0; member < count && at + 2 <= size; ++member) {
            const uint32_t units = list[at] | (list[at + 1] << 8);
            if (at + 2 + 2 * units > size)
                break;
            if (member == index && units <= 300) {
                pathBytes = 2 + 2 * units;
                memcpy(path, list + at, pathBytes);
                status = 0;
                break;
            }
            at += 2 + 2 * units;
        }
    }
    if (status != 0)
        return status;
    return BridgeRequest(connection, BRIDGE_OPEN, path, pathBytes, NULL, 0, NULL);
}

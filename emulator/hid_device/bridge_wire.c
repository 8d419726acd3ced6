/* Winsock inside winedevice.exe: the driver runs in an ordinary Wine process,
 * so a loopback connection to the native emulator is just a socket. A real
 * Windows kernel would never load this; it is a test device. */
#include "bridge_wire.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

/* The largest message either end sends (the emulator's LIST reply limit). */
#define BRIDGE_MAX_MESSAGE 262144u

int BridgeStartup(void)
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

BridgeSocket BridgeConnect(uint16_t port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return BRIDGE_NO_SOCKET;
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    /* Without it every exchange waits for the peer's delayed ACK. */
    int on = 1;
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on) != 0 ||
        connect(s, (const struct sockaddr*)&address, sizeof address) != 0) {
        closesocket(s);
        return BRIDGE_NO_SOCKET;
    }
    return (BridgeSocket)s;
}

void BridgeShutdown(BridgeSocket connection)
{
    if (connection != BRIDGE_NO_SOCKET)
        shutdown((SOCKET)connection, SD_BOTH);
}

void BridgeClose(BridgeSocket connection)
{
    if (connection != BRIDGE_NO_SOCKET) {
        shutdown((SOCKET)connection, SD_BOTH);
        closesocket((SOCKET)connection);
    }
}

static int ReceiveExactly(SOCKET s, uint8_t* data, uint32_t size)
{
    uint32_t got = 0;
    while (got < size) {
        const int n = recv(s, (char*)data + got, (int)(size - got), 0);
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
    const SOCKET s = (SOCKET)connection;
    uint8_t message[5 + 600];
    if (payloadSize > sizeof message - 5)
        return BRIDGE_STATUS_BROKEN;
    PutU32(message, payloadSize + 1);
    message[4] = type;
    if (payloadSize)
        memcpy(message + 5, payload, payloadSize);
    /* One send() per message: a request split in two costs a delayed ACK. */
    if (send(s, (const char*)message, (int)(payloadSize + 5), 0) != (int)(payloadSize + 5))
        return BRIDGE_STATUS_BROKEN;

    uint8_t head[9];
    if (!ReceiveExactly(s, head, sizeof head))
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
        if (!ReceiveExactly(s, into, step))
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

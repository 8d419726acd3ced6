/* The virtual HID device's side of the emulator's wire protocol
 * (docs/emulator.md): one TCP connection per device, bound to one emulated
 * interface, carrying one request at a time. Plain C types only, so that the
 * driver's kernel headers and the Linux calls never meet in one file. */
#pragma once

#include <stdint.h>

typedef uintptr_t BridgeSocket;
#define BRIDGE_NO_SOCKET ((BridgeSocket)~(uintptr_t)0)

enum {
    BRIDGE_LIST = 0x01,
    BRIDGE_OPEN = 0x02,
    BRIDGE_ATTRIBUTES = 0x03,
    BRIDGE_PRODUCT = 0x04,
    BRIDGE_WRITE = 0x05,
    BRIDGE_READ = 0x06,
    BRIDGE_CLOSE = 0x07,
    BRIDGE_CAPS = 0x0A,
};

/* Statuses beyond 0 that the bridge acts on. */
#define BRIDGE_STATUS_DEVICE_NOT_CONNECTED 1167u
#define BRIDGE_STATUS_TIMEOUT 1460u
/* The connection itself failed: no reply. */
#define BRIDGE_STATUS_BROKEN 0xFFFFFFFFu

/* A connection to 127.0.0.1:port with TCP_NODELAY, or BRIDGE_NO_SOCKET. */
BridgeSocket BridgeConnect(uint16_t port);
/* Ends any request in progress on another thread, then closes. */
void BridgeClose(BridgeSocket connection);
/* Ends a request blocked on another thread without closing. */
void BridgeShutdown(BridgeSocket connection);

/* One request and its reply. `reply` receives the reply's payload after its
 * status (at most `replyCapacity` bytes; the rest is read and dropped).
 * Returns the reply's status, or BRIDGE_STATUS_BROKEN. */
uint32_t BridgeRequest(BridgeSocket connection, uint8_t type, const uint8_t* payload, uint32_t payloadSize,
                       uint8_t* reply, uint32_t replyCapacity, uint32_t* replySize);

/* Binds the connection to member `index` of the emulator's interface list. */
uint32_t BridgeOpenMember(BridgeSocket connection, uint32_t index);

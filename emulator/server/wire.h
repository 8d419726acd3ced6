// Sending and receiving whole messages of the emulator's wire protocol over
// POSIX sockets: the emulator process and the native tests that speak to it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

#include "emulator/server/wire_format.h"

namespace VantriWire {

// One send() in the normal case; the loop only covers a partial send.
inline bool SendAll(int socket, const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

inline bool ReceiveExactly(int socket, std::uint8_t* data, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(socket, data + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The body of the next message: its type byte and payload. False at the end
// of the connection or on a size outside 1 to kMaxMessageSize.
inline bool ReceiveMessage(int socket, std::vector<std::uint8_t>& body)
{
    std::uint8_t head[4];
    if (!ReceiveExactly(socket, head, 4))
        return false;
    const std::uint32_t size = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<std::uint32_t>(head[3]) << 24);
    if (size == 0 || size > kMaxMessageSize)
        return false;
    body.resize(size);
    return ReceiveExactly(socket, body.data(), size);
}

} // namespace VantriWire

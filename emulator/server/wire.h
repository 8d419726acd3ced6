// Messages of the emulator's wire protocol (docs/emulator.md): a 4-byte
// little-endian size, a type byte, a payload. Used by the emulator process and
// by the native tests that speak to it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

namespace VantriWire {

enum MessageType : std::uint8_t {
    kList = 0x01,
    kOpen = 0x02,
    kAttributes = 0x03,
    kProduct = 0x04,
    kWrite = 0x05,
    kRead = 0x06,
    kClose = 0x07,
    kDump = 0x08,
};
inline constexpr std::uint8_t kReplyBit = 0x80;
inline constexpr std::uint32_t kMaxMessageSize = 4096;
inline constexpr std::uint32_t kReportSize = 65;
inline constexpr std::uint32_t kNoTimeLimit = 0xFFFFFFFF;

// Windows error codes the protocol carries as statuses.
inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusInvalidFunction = 1;
inline constexpr std::uint32_t kStatusFileNotFound = 2;
inline constexpr std::uint32_t kStatusPathNotFound = 3;
inline constexpr std::uint32_t kStatusInvalidHandle = 6;
inline constexpr std::uint32_t kStatusSharingViolation = 32;
inline constexpr std::uint32_t kStatusInvalidParameter = 87;
inline constexpr std::uint32_t kStatusDeviceNotConnected = 1167;
inline constexpr std::uint32_t kStatusTimeout = 1460;

// Builds one message; Finish() fills in the size and hands the bytes over.
class Writer {
public:
    explicit Writer(std::uint8_t type)
    {
        bytes_.reserve(80);
        U32(0);
        U8(type);
    }
    Writer& U8(std::uint8_t v)
    {
        bytes_.push_back(v);
        return *this;
    }
    Writer& U16(std::uint16_t v) { return U8(static_cast<std::uint8_t>(v)).U8(static_cast<std::uint8_t>(v >> 8)); }
    Writer& U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v)).U16(static_cast<std::uint16_t>(v >> 16)); }
    Writer& Bytes(const std::uint8_t* data, std::size_t size)
    {
        bytes_.insert(bytes_.end(), data, data + size);
        return *this;
    }
    Writer& Text(const std::u16string& text)
    {
        U16(static_cast<std::uint16_t>(text.size()));
        for (char16_t unit : text)
            U16(static_cast<std::uint16_t>(unit));
        return *this;
    }
    const std::vector<std::uint8_t>& Finish()
    {
        const auto size = static_cast<std::uint32_t>(bytes_.size() - 4);
        for (int i = 0; i < 4; ++i)
            bytes_[i] = static_cast<std::uint8_t>(size >> (8 * i));
        return bytes_;
    }

private:
    std::vector<std::uint8_t> bytes_;
};

// Reads the fields of one message body (type and payload). A read past the
// end yields zeros and clears ok().
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& body) : body_(body) {}
    bool ok() const { return ok_; }
    std::size_t Remaining() const { return body_.size() - pos_; }
    std::uint8_t U8()
    {
        if (pos_ >= body_.size()) {
            ok_ = false;
            return 0;
        }
        return body_[pos_++];
    }
    std::uint16_t U16()
    {
        const std::uint16_t low = U8();
        return static_cast<std::uint16_t>(low | (U8() << 8));
    }
    std::uint32_t U32()
    {
        const std::uint32_t low = U16();
        return low | (static_cast<std::uint32_t>(U16()) << 16);
    }
    const std::uint8_t* Bytes(std::size_t size)
    {
        if (Remaining() < size) {
            ok_ = false;
            pos_ = body_.size();
            return nullptr;
        }
        const std::uint8_t* p = body_.data() + pos_;
        pos_ += size;
        return p;
    }
    std::u16string Text()
    {
        const std::uint16_t units = U16();
        std::u16string text;
        if (Remaining() < units * 2u) {
            ok_ = false;
            return text;
        }
        for (std::uint16_t i = 0; i < units; ++i)
            text.push_back(static_cast<char16_t>(U16()));
        return text;
    }

private:
    const std::vector<std::uint8_t>& body_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

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

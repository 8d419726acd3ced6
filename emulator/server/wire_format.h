// Messages of the emulator's wire protocol (docs/emulator.md): a 4-byte
// little-endian size, a type byte, a payload. Portable: the emulator process,
// its native tests and the emulation build's loader on Windows all use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    kQuery = 0x09,
    kCaps = 0x0A,
};
inline constexpr std::uint8_t kReplyBit = 0x80;

// Bytes of a LIST reply's body: type, status, count, then per interface its
// length and its UTF-16 units.
constexpr std::uint64_t ListReplySize(std::uint64_t interfaces, std::uint64_t pathUnits)
{
    return 1 + 4 + 4 + interfaces * (2 + 2 * pathUnits);
}

// The longest path the loader takes (its 520-byte detail buffer holds 257
// units and the terminator).
inline constexpr std::uint32_t kLongestPathUnits = 257;

// The largest message body (type and payload) either end sends or accepts.
// A LIST reply is the only large message: the device table holds 256
// adapters, a machine has other HID interfaces besides, and a real path runs
// to 80-130 units. The limit holds 256 adapters and 64 other interfaces even
// with the longest path the loader takes, so any list the program can act on
// fits; the emulator refuses options whose list would not.
inline constexpr std::uint32_t kMaxMessageSize = 262144;
static_assert(ListReplySize(256 + 64, kLongestPathUnits) <= kMaxMessageSize);
inline constexpr std::uint32_t kReportSize = 65;
inline constexpr std::uint32_t kNoTimeLimit = 0xFFFFFFFF;

// Windows error codes the protocol carries as statuses.
inline constexpr std::uint32_t kStatusOk = 0;
inline constexpr std::uint32_t kStatusInvalidFunction = 1;
inline constexpr std::uint32_t kStatusFileNotFound = 2;
inline constexpr std::uint32_t kStatusPathNotFound = 3;
inline constexpr std::uint32_t kStatusAccessDenied = 5;
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
    // `start`: where the fields begin (1 to skip the type byte).
    explicit Reader(const std::vector<std::uint8_t>& body, std::size_t start = 0) : body_(body), pos_(start) {}
    bool ok() const { return ok_; }
    std::size_t Remaining() const { return body_.size() > pos_ ? body_.size() - pos_ : 0; }
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
    std::size_t pos_;
    bool ok_ = true;
};

} // namespace VantriWire

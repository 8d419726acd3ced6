// The 64-byte command frame and the result record that every device
// operation returns.
#pragma once

#include <cstdint>

namespace Vantri {

inline constexpr std::uint32_t kFrameSize = 64;
inline constexpr std::uint32_t kFrameDataSize = 56;
inline constexpr std::uint8_t kAcknowledgeBit = 0x80;

// One frame of one HID report, in either direction. Multi-byte fields are
// little-endian byte pairs, so the struct has no padding and no alignment
// needs: its bytes are the wire bytes.
struct CommandFrame {
    std::uint8_t command;       // bit 7: acknowledge, set in a positive answer
    std::uint8_t parameter[2];  // block counter or command parameter
    std::uint8_t status;        // argument byte of a request; failure code of a refusal
    std::uint8_t detail1;
    std::uint8_t detail2[2];
    std::uint8_t length;        // number of data bytes, 0 to 56
    std::uint8_t data[kFrameDataSize];
};
static_assert(sizeof(CommandFrame) == kFrameSize);

// Outcome of a device operation. All zero is success; callers look only at
// `code`. `message` names the kind of failure and is never freed.
struct ResultRecord {
    std::uint32_t code;
    std::uint32_t detail1;
    std::uint32_t detail2;
    const char16_t* message;

    friend bool operator==(const ResultRecord&, const ResultRecord&) = default;
};

inline constexpr ResultRecord kResultOk{};

// Codes of our own making carry bit 29, the bit Windows reserves for
// application-defined codes, so they never collide with a system error code.
inline constexpr std::uint32_t kCustomerCodeBit = 0x20000000;
// An acknowledged answer that is not the echo of the frame sent.
inline constexpr std::uint32_t kEchoMismatchCode = kCustomerCodeBit | 1;
// A refusal whose failure byte is 0: still a refusal.
inline constexpr std::uint32_t kRefusedWithoutCode = kCustomerCodeBit | 2;
// An acknowledged answer without data, or with more than a frame holds.
inline constexpr std::uint32_t kReceiveSizeCode = 1;

// Arrays, not pointers to literals: an inline array has one address in the
// whole program, so records built in different files compare equal.
inline constexpr char16_t kWriteTransportFailure[] = u"Write transport failure";
inline constexpr char16_t kReadTransportFailure[] = u"Read transport failure";
inline constexpr char16_t kSendFailure[] = u"Send failure";
inline constexpr char16_t kSendEchoFailure[] = u"Send echo failure";
inline constexpr char16_t kReceiveFailure[] = u"Receive failure";
inline constexpr char16_t kReceiveSizeFailure[] = u"Receive size failure";

// Windows error codes that the portable code needs by value. They are the
// system's own numbers (winerror.h), kept here so the core has no
// <windows.h>.
inline constexpr std::uint32_t kErrorInvalidHandle = 6;         // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kErrorWriteFault = 29;           // ERROR_WRITE_FAULT
inline constexpr std::uint32_t kErrorReadFault = 30;            // ERROR_READ_FAULT
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167; // ERROR_DEVICE_NOT_CONNECTED
inline constexpr std::uint32_t kErrorTimeout = 1460;            // ERROR_TIMEOUT

// Transport failure records. A call that "succeeded" but moved fewer bytes
// than a whole report leaves no system error behind; such a record must still
// fail, so a zero code becomes the matching fault code.
constexpr ResultRecord WriteTransportFailure(std::uint32_t systemCode)
{
    return {systemCode != 0 ? systemCode : kErrorWriteFault, 0, 0, kWriteTransportFailure};
}

constexpr ResultRecord ReadTransportFailure(std::uint32_t systemCode)
{
    return {systemCode != 0 ? systemCode : kErrorReadFault, 0, 0, kReadTransportFailure};
}

constexpr std::uint16_t FrameParameter(const CommandFrame& frame)
{
    return static_cast<std::uint16_t>(frame.parameter[0] | (frame.parameter[1] << 8));
}

constexpr void SetFrameParameter(CommandFrame& frame, std::uint16_t value)
{
    frame.parameter[0] = static_cast<std::uint8_t>(value & 0xFF);
    frame.parameter[1] = static_cast<std::uint8_t>(value >> 8);
}

} // namespace Vantri

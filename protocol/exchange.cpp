#include "protocol/exchange.h"

#include <algorithm>
#include <cstring>

#include "loader/loader.h"

namespace Vantri {

namespace {

CommandFrame BuildFrame(std::uint8_t command, std::uint16_t parameter)
{
    CommandFrame frame{};
    frame.command = command;
    SetFrameParameter(frame, parameter);
    return frame;
}

bool IsPositive(const CommandFrame& answer)
{
    return (answer.command & kAcknowledgeBit) != 0;
}

} // namespace

ResultRecord SendCommand(std::uint32_t deviceIndex, std::uint8_t command, std::uint16_t parameter,
                         const std::uint8_t* data, std::uint8_t length)
{
    CommandFrame sent = BuildFrame(command, parameter);
    const std::uint8_t dataLength = data ? std::min<std::uint8_t>(length, kFrameDataSize) : 0;
    sent.length = dataLength;
    if (dataLength != 0)
        std::memcpy(sent.data, data, dataLength);

    if (ResultRecord result = g_loader.WriteReport(deviceIndex, sent); result.code != 0)
        return result;
    CommandFrame answer{};
    if (ResultRecord result = g_loader.ReadReport(deviceIndex, answer); result.code != 0)
        return result;

    if (!IsPositive(answer)) {
        // A refusal is a refusal even when the adapter leaves its failure
        // byte at 0; only the device's own non-zero code is passed on as is.
        const std::uint32_t code = answer.status != 0 ? answer.status : kRefusedWithoutCode;
        const std::uint32_t detail2 = answer.detail2[0] | (answer.detail2[1] << 8);
        return {code, answer.detail1, detail2, kSendFailure};
    }
    answer.command &= static_cast<std::uint8_t>(~kAcknowledgeBit);
    if (std::memcmp(&answer, &sent, sizeof sent) == 0)
        return kResultOk;
    // The adapter acknowledged something other than what was sent: the
    // operation must stop, so the record carries a code of its own.
    return {kEchoMismatchCode, 0, 0, kSendEchoFailure};
}

ResultRecord ReceiveData(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument,
                         std::span<std::uint8_t, kFrameDataSize> destination, std::uint32_t& dataLength)
{
    dataLength = 0;
    CommandFrame frame = BuildFrame(command, parameter);
    frame.status = argument;

    if (ResultRecord result = g_loader.WriteReport(0, frame); result.code != 0)
        return result;
    if (ResultRecord result = g_loader.ReadReport(0, frame); result.code != 0)
        return result;

    if (!IsPositive(frame)) {
        const std::uint32_t code = frame.status != 0 ? frame.status : kRefusedWithoutCode;
        return {code, 0, 0, kReceiveFailure};
    }
    const std::uint32_t n = frame.length;
    if (n == 0)
        return {kReceiveSizeCode, 0, 0, kReceiveSizeFailure};
    // A frame holds at most 56 data bytes: a larger count is a broken answer,
    // never a reason to copy past the frame or the destination.
    if (n > kFrameDataSize)
        return {kReceiveSizeCode, n, 0, kReceiveSizeFailure};
    std::memcpy(destination.data(), frame.data, n);
    dataLength = n;
    return kResultOk;
}

} // namespace Vantri

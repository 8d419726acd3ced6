#include "protocol/exchange.h"

#include <algorithm>
#include <cstring>

#include "loader/loader.h"
#include "protocol/block_transfer.h"
#include "protocol/config_transfer.h"
#include "protocol/device_info.h"
#include "protocol/flashing.h"

namespace Vantri {

namespace {

// How long the adapter may take to answer each command: the one place that
// decides it. Data and read frames and the information pages are answered
// as soon as the adapter takes them; 10 s is ample and still ends a silent
// adapter in its failure box. A begin, end or erase may first make the
// adapter erase or commit flash, which can take far longer (a HID bootloader
// host we studied waits up to 45 s for the block that triggers its erase); a
// limit that cut such an answer short would leave the adapter half written
// while it was still working, so those wait 60 s.
constexpr std::uint32_t kFrameAnswerMs = 10000;
constexpr std::uint32_t kFlashAnswerMs = 60000;

struct AnswerTimeLimit {
    std::uint8_t command;
    std::uint32_t ms;
};

constexpr AnswerTimeLimit kAnswerTimeLimits[] = {
    {kImageBeginCommand, kFlashAnswerMs},
    {kImageDataCommand, kFrameAnswerMs},
    {kImageEndCommand, kFlashAnswerMs},
    {kConfigWriteBeginCommand, kFlashAnswerMs},
    {kConfigWriteDataCommand, kFrameAnswerMs},
    {kConfigWriteEndCommand, kFlashAnswerMs},
    {kPrimaryBeginCommand, kFlashAnswerMs},
    {kPrimaryDataCommand, kFrameAnswerMs},
    {kPrimaryEndCommand, kFlashAnswerMs},
    {kEraseConfigsCommand, kFlashAnswerMs},
    {kEraseSettingsCommand, kFlashAnswerMs},
    {kConfigReadBeginCommand, kFlashAnswerMs},
    {kReadPieceCommand, kFrameAnswerMs},
    {kConfigReadEndCommand, kFlashAnswerMs},
    {kDeviceInfoCommand, kFrameAnswerMs},
    {kOverflowBeginCommand, kFlashAnswerMs},
    {kOverflowDataCommand, kFrameAnswerMs},
    {kOverflowEndCommand, kFlashAnswerMs},
};

thread_local std::uint8_t t_lastCommand = 0;

bool IsPositive(const CommandFrame& answer)
{
    return (answer.command & kAcknowledgeBit) != 0;
}

// One frame out and its answer back, on one device, within the time the
// command's answer may take.
ResultRecord Exchange(std::uint32_t deviceIndex, const CommandFrame& sent, CommandFrame& answer)
{
    t_lastCommand = sent.command;
    if (ResultRecord result = g_loader.WriteReport(deviceIndex, sent); result.code != 0)
        return result;
    return g_loader.ReadReport(deviceIndex, answer, AnswerTimeLimitMs(sent.command));
}

} // namespace

// A command we never send has no entry; it would be answered at once.
std::uint32_t AnswerTimeLimitMs(std::uint8_t command)
{
    for (const AnswerTimeLimit& limit : kAnswerTimeLimits) {
        if (limit.command == command)
            return limit.ms;
    }
    return kFrameAnswerMs;
}

CommandFrame EncodeCommand(std::uint8_t command, std::uint16_t parameter, const std::uint8_t* data,
                           std::uint8_t length)
{
    CommandFrame frame{};
    frame.command = command;
    SetFrameParameter(frame, parameter);
    frame.length = data ? std::min<std::uint8_t>(length, kFrameDataSize) : 0;
    if (frame.length != 0)
        std::memcpy(frame.data, data, frame.length);
    return frame;
}

CommandFrame EncodeRequest(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument)
{
    CommandFrame frame = EncodeCommand(command, parameter, nullptr, 0);
    frame.status = argument;
    return frame;
}

ResultRecord DecodeCommandAnswer(const CommandFrame& sent, const CommandFrame& answer)
{
    if (!IsPositive(answer)) {
        // A refusal is a refusal even when the adapter leaves its failure
        // byte at 0; only the device's own non-zero code is passed on as is.
        const std::uint32_t code = answer.status != 0 ? answer.status : kRefusedWithoutCode;
        const std::uint32_t detail2 = answer.detail2[0] | (answer.detail2[1] << 8);
        return {code, answer.detail1, detail2, kSendFailure};
    }
    CommandFrame echo = answer;
    echo.command &= static_cast<std::uint8_t>(~kAcknowledgeBit);
    if (std::memcmp(&echo, &sent, sizeof sent) == 0)
        return kResultOk;
    // The adapter acknowledged something other than what was sent: the
    // operation must stop, so the record carries a code of its own.
    return {kEchoMismatchCode, 0, 0, kSendEchoFailure};
}

ResultRecord DecodeRequestAnswer(const CommandFrame& answer, std::span<std::uint8_t, kFrameDataSize> destination,
                                 std::uint32_t& dataLength)
{
    dataLength = 0;
    if (!IsPositive(answer)) {
        const std::uint32_t code = answer.status != 0 ? answer.status : kRefusedWithoutCode;
        return {code, 0, 0, kReceiveFailure};
    }
    const std::uint32_t n = answer.length;
    if (n == 0)
        return {kReceiveSizeCode, 0, 0, kReceiveSizeFailure};
    // A frame holds at most 56 data bytes: a larger count is a broken answer,
    // never a reason to copy past the frame or the destination.
    if (n > kFrameDataSize)
        return {kReceiveSizeCode, n, 0, kReceiveSizeFailure};
    std::memcpy(destination.data(), answer.data, n);
    dataLength = n;
    return kResultOk;
}

std::uint8_t LastCommandOnThisThread()
{
    return t_lastCommand;
}

void ForgetLastCommandOnThisThread()
{
    t_lastCommand = 0;
}

ResultRecord SendCommand(std::uint32_t deviceIndex, std::uint8_t command, std::uint16_t parameter,
                         const std::uint8_t* data, std::uint8_t length)
{
    const CommandFrame sent = EncodeCommand(command, parameter, data, length);
    CommandFrame answer{};
    if (ResultRecord result = Exchange(deviceIndex, sent, answer); result.code != 0)
        return result;
    return DecodeCommandAnswer(sent, answer);
}

ResultRecord ReceiveData(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument,
                         std::span<std::uint8_t, kFrameDataSize> destination, std::uint32_t& dataLength,
                         std::uint32_t deviceIndex)
{
    dataLength = 0;
    CommandFrame answer{};
    if (ResultRecord result = Exchange(deviceIndex, EncodeRequest(command, parameter, argument), answer); result.code != 0)
        return result;
    return DecodeRequestAnswer(answer, destination, dataLength);
}

} // namespace Vantri

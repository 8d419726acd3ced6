// The two exchanges on which every device operation is built: one frame
// out, one frame back.
#pragma once

#include <cstdint>
#include <span>

#include "base/command_frame.h"

namespace Vantri {

// How long the answer to `command` may take, in milliseconds (the table and
// its reasons are in exchange.cpp).
std::uint32_t AnswerTimeLimitMs(std::uint8_t command);

// Sends a command with up to 56 data bytes to one device and requires the
// device to echo it back with the acknowledge bit set. A length above 56 is
// cut to 56.
ResultRecord SendCommand(std::uint32_t deviceIndex, std::uint8_t command, std::uint16_t parameter,
                         const std::uint8_t* data, std::uint8_t length);

// Sends a request to a device (the first, unless told another) and takes
// the data bytes of its answer.
ResultRecord ReceiveData(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument,
                         std::span<std::uint8_t, kFrameDataSize> destination, std::uint32_t& dataLength,
                         std::uint32_t deviceIndex = 0);

// The command of the last exchange this thread started, 0 before any. A
// record does not name the command it failed at; a worker reads this after
// a failure to tell the diagnostics log.
std::uint8_t LastCommandOnThisThread();

// Back to 0: a worker starts with this, as a pool thread may have run
// another work item's exchanges before.
void ForgetLastCommandOnThisThread();

// The frames of the two exchanges apart from the I/O: what goes out, and
// what an answer means, judged from its bytes alone.
CommandFrame EncodeCommand(std::uint8_t command, std::uint16_t parameter, const std::uint8_t* data,
                           std::uint8_t length);
CommandFrame EncodeRequest(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument);
ResultRecord DecodeCommandAnswer(const CommandFrame& sent, const CommandFrame& answer);
// Copies the answer's data to `destination` only when the answer is good.
ResultRecord DecodeRequestAnswer(const CommandFrame& answer, std::span<std::uint8_t, kFrameDataSize> destination,
                                 std::uint32_t& dataLength);

} // namespace Vantri

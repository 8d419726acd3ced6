#include "protocol/block_transfer.h"

#include <algorithm>
#include <cstring>

#include "protocol/exchange.h"
#include "protocol/numbers.h"

namespace Vantri {

ResultRecord WriteBlock(std::uint32_t deviceIndex, std::uint8_t command, std::uint16_t& blockCounter,
                        const std::uint8_t* data, std::uint32_t length, ProgressCallback progress,
                        std::uint32_t baseOffset, std::uint32_t progressTotal)
{
    std::uint32_t sent = 0;
    // Starts as the base offset itself (a byte count), so that a transfer
    // that continues a shared scale reports on its first piece.
    std::uint32_t lastReported = baseOffset;
    while (sent < length) {
        const auto piece = static_cast<std::uint8_t>(std::min(kFrameDataSize, length - sent));
        const std::uint16_t frameCounter = blockCounter++;
        ResultRecord result = SendCommand(deviceIndex, command, frameCounter, data + sent, piece);
        if (result.code != 0)
            return result;
        sent += piece;
        const std::uint32_t percent = WholePercent(std::uint64_t{baseOffset} + sent, progressTotal);
        if (percent != lastReported) {
            if (progress)
                progress(deviceIndex, percent, 0);
            lastReported = percent;
        }
    }
    return kResultOk;
}

ResultRecord ReadBlock(std::uint16_t& blockCounter, std::span<std::uint8_t, kConfigAreaSize> destination,
                       ProgressCallback progress, std::uint32_t deviceIndex)
{
    std::uint32_t received = 0;
    std::uint32_t lastReported = 0;
    std::uint8_t piece[kFrameDataSize];
    while (received < kConfigAreaSize) {
        const std::uint16_t frameCounter = blockCounter++;
        std::uint32_t pieceLength = 0;
        ResultRecord result = ReceiveData(kReadPieceCommand, frameCounter, 0, piece, pieceLength, deviceIndex);
        if (result.code != 0)
            return result;
        // The adapter chooses the piece sizes; a piece that runs past the end
        // of the area is cut to fit and the rest of it dropped.
        const std::uint32_t fits = std::min(pieceLength, kConfigAreaSize - received);
        std::memcpy(destination.data() + received, piece, fits);
        received += fits;
        const std::uint32_t percent = WholePercent(received, kConfigAreaSize);
        if (percent != lastReported) {
            if (progress)
                progress(deviceIndex, percent, 0);
            lastReported = percent;
        }
    }
    return kResultOk;
}

} // namespace Vantri

#include "emulator/model/adapter_model.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace VantriEmu {

namespace {

using namespace std::chrono_literals;

constexpr std::uint8_t kAck = Vantri::kAcknowledgeBit;
constexpr std::uint32_t kPieceMax = Vantri::kFrameDataSize;
constexpr std::uint32_t kDataOffset = 8;
// What an answer that claims more bytes than the adapter had carries after
// the real ones: recognisable, so a test can see it was never stored.
constexpr std::uint8_t kPadByte = 0xEE;
constexpr std::uint32_t kVersionBytes = 24;

std::uint8_t* FrameBytes(CommandFrame& frame)
{
    return reinterpret_cast<std::uint8_t*>(&frame);
}

const std::uint8_t* FrameBytes(const CommandFrame& frame)
{
    return reinterpret_cast<const std::uint8_t*>(&frame);
}

bool AllZero(const CommandFrame& frame, std::uint32_t from)
{
    const std::uint8_t* bytes = FrameBytes(frame);
    return std::all_of(bytes + from, bytes + Vantri::kFrameSize, [](std::uint8_t b) { return b == 0; });
}

// A fixed, seed-dependent fill, so that a backup read from an untouched
// adapter has content a test can predict.
void FillPattern(std::vector<std::uint8_t>& bytes, std::uint32_t seed)
{
    if (seed == 0) {
        std::fill(bytes.begin(), bytes.end(), kErasedByte);
        return;
    }
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<std::uint8_t>(state);
    }
}

} // namespace

AdapterModel::AdapterModel(AdapterSettings settings)
    : settings_(std::move(settings)), config_(kConfigAreaSize)
{
    settings_.pieceSize = static_cast<std::uint8_t>(std::clamp<std::uint32_t>(settings_.pieceSize, 1, kPieceMax));
    settings_.page2Length = static_cast<std::uint8_t>(std::min<std::uint32_t>(settings_.page2Length, kPieceMax));
    settings_.page3Length = static_cast<std::uint8_t>(std::min<std::uint32_t>(settings_.page3Length, kPieceMax));
    FillPattern(config_, settings_.configSeed);
    std::copy_n(settings_.configArea.begin(), std::min<std::size_t>(settings_.configArea.size(), kConfigAreaSize),
                config_.begin());
}

// With the frame clock on, the host's report leaves at the next 1 ms USB
// frame; the caller sleeps until then, holding no lock, so hundreds of
// adapters on their own threads keep their own time.
Clock::time_point AdapterModel::TakeTime()
{
    if (settings_.frameClock) {
        const auto boundary = std::chrono::ceil<std::chrono::milliseconds>(Clock::now());
        std::this_thread::sleep_until(boundary);
        return boundary;
    }
    if (settings_.latency.count() > 0)
        return Clock::now();
    return Clock::time_point::min();
}

const Fault* AdapterModel::FaultFor(std::uint8_t command, std::uint32_t occurrenceOfCommand,
                                    std::uint64_t report) const
{
    for (const Fault& fault : settings_.faults) {
        const bool hit = fault.command == kAnyCommand ? fault.occurrence == report
                                                      : fault.command == command && fault.occurrence == occurrenceOfCommand;
        if (hit)
            return &fault;
    }
    return nullptr;
}

ReportOutcome AdapterModel::TakeOutputReport(const CommandFrame& frame)
{
    const Clock::time_point takenAt = TakeTime();
    std::lock_guard lock(mutex_);
    const std::uint64_t report = ++counts_.outputReports;
    const std::uint8_t command = frame.command;
    std::uint32_t occurrence = 0;
    if (command < counts_.framesOfCommand.size())
        occurrence = ++counts_.framesOfCommand[command];

    if (vanished_)
        return {ReportStatus::Failed, Vantri::kErrorDeviceNotConnected};
    const Fault* fault = FaultFor(command, occurrence, report);
    const FaultKind kind = fault ? fault->kind : FaultKind::Refuse;
    if (fault && kind == FaultKind::Vanish) {
        vanished_ = true;
        return {ReportStatus::Failed, Vantri::kErrorDeviceNotConnected};
    }
    if (fault && kind == FaultKind::WriteFailure)
        return {ReportStatus::Failed, fault->code};
    if (fault && kind == FaultKind::WriteShort)
        return {ReportStatus::Short, 0};

    if (settings_.recordTranscript)
        transcript_.push_back({true, frame});
    if (fault && kind == FaultKind::Silence)
        silent_ = true;
    if (silent_)
        return {};

    CommandFrame answer{};
    if (fault && kind == FaultKind::Refuse) {
        // An injected refusal: the adapter turned the frame down before it
        // looked at it, so nothing changes, and it is no protocol breach.
        answer.command = static_cast<std::uint8_t>(command & ~kAck);
        answer.parameter[0] = frame.parameter[0];
        answer.parameter[1] = frame.parameter[1];
        answer.status = static_cast<std::uint8_t>(fault->code);
        answer.detail1 = fault->detail1;
        answer.detail2[0] = static_cast<std::uint8_t>(fault->detail2 & 0xFF);
        answer.detail2[1] = static_cast<std::uint8_t>(fault->detail2 >> 8);
        ++counts_.refusals;
    } else {
        Process(frame, answer);
    }
    if (fault && kind == FaultKind::BadEcho && (answer.command & kAck) != 0)
        FrameBytes(answer)[Vantri::kFrameSize - 1] ^= 0x01;
    if (fault && kind == FaultKind::AnswerLength) {
        const std::uint32_t claimed = std::min<std::uint32_t>(fault->code, kPieceMax);
        for (std::uint32_t i = answer.length; i < claimed; ++i)
            answer.data[i] = kPadByte;
        answer.length = static_cast<std::uint8_t>(fault->code);
    }

    ReportOutcome outcome{};
    if (fault && kind == FaultKind::ReadFailure)
        outcome = {ReportStatus::Failed, fault->code};
    if (fault && kind == FaultKind::ReadShort)
        outcome = {ReportStatus::Short, 0};

    Clock::time_point readyAt = takenAt;
    if (settings_.frameClock)
        readyAt += 1ms;
    if (settings_.latency.count() > 0)
        readyAt += settings_.latency;
    if (fault && kind == FaultKind::AnswerDelay)
        readyAt = std::max(readyAt, Clock::now()) + std::chrono::milliseconds(fault->code);
    Queue(answer, readyAt, outcome, fault && kind == FaultKind::Hold);
    return {};
}

void AdapterModel::Queue(const CommandFrame& answer, Clock::time_point readyAt, ReportOutcome outcome, bool held)
{
    // A full input buffer drops its oldest report, as the HID class driver
    // does.
    if (queueSize_ == kQueueDepth) {
        queueHead_ = (queueHead_ + 1) % kQueueDepth;
        --queueSize_;
    }
    queue_[(queueHead_ + queueSize_) % kQueueDepth] = {answer, readyAt, outcome, held};
    ++queueSize_;
}

ReportOutcome AdapterModel::TakeInputReport(CommandFrame& answer, Clock::time_point deadline)
{
    std::unique_lock lock(mutex_);
    if (vanished_)
        return {ReportStatus::Failed, Vantri::kErrorDeviceNotConnected};
    if (queueSize_ == 0) {
        lock.unlock();
        if (deadline != Clock::time_point::max())
            std::this_thread::sleep_until(deadline);
        return {ReportStatus::TimedOut, Vantri::kErrorTimeout};
    }
    if (queue_[queueHead_].held && !WaitForRelease(lock, deadline))
        return {ReportStatus::TimedOut, Vantri::kErrorTimeout};
    const Clock::time_point readyAt = queue_[queueHead_].readyAt;
    if (readyAt != Clock::time_point::min() && readyAt > Clock::now()) {
        lock.unlock();
        if (readyAt > deadline) {
            // Not in time: the answer stays queued for a later read.
            std::this_thread::sleep_until(deadline);
            return {ReportStatus::TimedOut, Vantri::kErrorTimeout};
        }
        std::this_thread::sleep_until(readyAt);
        lock.lock();
        if (vanished_)
            return {ReportStatus::Failed, Vantri::kErrorDeviceNotConnected};
        if (queueSize_ == 0)
            return {ReportStatus::TimedOut, Vantri::kErrorTimeout};
    }
    const Pending& pending = queue_[queueHead_];
    queueHead_ = (queueHead_ + 1) % kQueueDepth;
    --queueSize_;
    if (pending.outcome.status != ReportStatus::Ok)
        return pending.outcome;
    answer = pending.frame;
    ++counts_.answersRead;
    if (settings_.recordTranscript)
        transcript_.push_back({false, answer});
    return {};
}

// A held answer is an adapter that has not finished yet: in-process (no
// deadline) its reader waits for the release however long that takes, so a
// test decides when the adapter is done instead of guessing with a latency;
// with a deadline it times out like any late answer and stays queued.
bool AdapterModel::WaitForRelease(std::unique_lock<std::mutex>& lock, Clock::time_point deadline)
{
    const auto released = [this] { return queueSize_ == 0 || !queue_[queueHead_].held; };
    if (deadline == Clock::time_point::max()) {
        released_.wait(lock, released);
        return true;
    }
    return released_.wait_until(lock, deadline, released);
}

// Holds not reached yet are disarmed too: a test releases when it has seen
// what it wanted, whether or not the worker got as far as the hold.
void AdapterModel::ReleaseHeldAnswers()
{
    {
        std::lock_guard lock(mutex_);
        for (Pending& pending : queue_)
            pending.held = false;
        std::erase_if(settings_.faults, [](const Fault& fault) { return fault.kind == FaultKind::Hold; });
    }
    released_.notify_all();
}

void AdapterModel::Process(const CommandFrame& frame, CommandFrame& answer)
{
    switch (frame.command) {
    case 1: return Begin(frame, answer, Sequence::Image);
    case 2: return Data(frame, answer, Sequence::Image);
    case 3: return End(frame, answer, Sequence::Image);
    case 4: return Begin(frame, answer, Sequence::ConfigWrite);
    case 5: return Data(frame, answer, Sequence::ConfigWrite);
    case 6: return End(frame, answer, Sequence::ConfigWrite);
    case 7: return Begin(frame, answer, Sequence::Primary);
    case 8: return Data(frame, answer, Sequence::Primary);
    case 9: return End(frame, answer, Sequence::Primary);
    case 27: return Begin(frame, answer, Sequence::Overflow);
    case 28: return Data(frame, answer, Sequence::Overflow);
    case 29: return End(frame, answer, Sequence::Overflow);
    case 13: return Begin(frame, answer, Sequence::ConfigRead);
    case 14: return ReadPiece(frame, answer);
    case 16: return End(frame, answer, Sequence::ConfigRead);
    case 10: return Erase(frame, answer, false);
    case 11: return Erase(frame, answer, true);
    case 21: return InfoPage(frame, answer);
    default: return Refuse(frame, answer, kRefuseUnknownCommand, 0, "unknown command");
    }
}

// A breach ends whatever sequence was open: nothing of it is committed, and
// its further frames are refused as out of sequence.
void AdapterModel::Refuse(const CommandFrame& frame, CommandFrame& answer, std::uint8_t code,
                          std::uint16_t expected, const char* what)
{
    answer = CommandFrame{};
    answer.command = static_cast<std::uint8_t>(frame.command & ~kAck);
    answer.parameter[0] = frame.parameter[0];
    answer.parameter[1] = frame.parameter[1];
    answer.status = code;
    answer.detail1 = frame.command;
    answer.detail2[0] = static_cast<std::uint8_t>(expected & 0xFF);
    answer.detail2[1] = static_cast<std::uint8_t>(expected >> 8);
    violations_.push_back({counts_.outputReports, frame.command, Vantri::FrameParameter(frame), code, what});
    ++counts_.refusals;
    open_ = Sequence::None;
}

void AdapterModel::Begin(const CommandFrame& frame, CommandFrame& answer, Sequence sequence)
{
    if (!AllZero(frame, 1))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "begin with a parameter or data");
    // A begin while another sequence is open starts over: that is what a
    // second run after a failed transfer does.
    open_ = sequence;
    nextCounter_ = 1;
    framesInSequence_ = 0;
    shortPieceSeen_ = false;
    readOffset_ = 0;
    staging_.clear();
    answer = frame;
    answer.command |= kAck;
}

void AdapterModel::Data(const CommandFrame& frame, CommandFrame& answer, Sequence sequence)
{
    if (open_ != sequence)
        return Refuse(frame, answer, kRefuseOutOfSequence, 0, "data before begin");
    if (Vantri::FrameParameter(frame) != nextCounter_)
        return Refuse(frame, answer, kRefuseCounterGap, nextCounter_, "block counter out of order");
    if (frame.status != 0 || frame.detail1 != 0 || frame.detail2[0] != 0 || frame.detail2[1] != 0)
        return Refuse(frame, answer, kRefuseBadFrame, 0, "data frame with bytes 3-6 not zero");
    const std::uint32_t length = frame.length;
    if (length == 0 || length > kPieceMax)
        return Refuse(frame, answer, kRefuseBadLength, 0, "piece length 0 or above 56");
    if (!AllZero(frame, kDataOffset + length))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "bytes after the piece not zero");
    if (shortPieceSeen_)
        return Refuse(frame, answer, kRefuseBadLength, 0, "piece after a short piece");
    std::uint32_t capacity = settings_.maxImageSize;
    if (sequence == Sequence::ConfigWrite)
        capacity = kConfigAreaSize;
    else if (sequence == Sequence::Primary)
        capacity = kPrimaryRegionSize;
    else if (sequence == Sequence::Overflow)
        capacity = kOverflowRegionSize;
    if (staging_.size() + length > capacity)
        return Refuse(frame, answer, kRefuseBadLength, 0, "data past the end of the region");

    staging_.insert(staging_.end(), frame.data, frame.data + length);
    ++nextCounter_;
    ++framesInSequence_;
    shortPieceSeen_ = length < kPieceMax;
    answer = frame;
    answer.command |= kAck;
}

void AdapterModel::End(const CommandFrame& frame, CommandFrame& answer, Sequence sequence)
{
    if (open_ != sequence)
        return Refuse(frame, answer, kRefuseOutOfSequence, 0, "end without begin");
    if (!AllZero(frame, 3))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "end with data");
    const auto expected = static_cast<std::uint16_t>(1 + framesInSequence_);
    if (Vantri::FrameParameter(frame) != expected)
        return Refuse(frame, answer, kRefuseBadEnd, expected, "end parameter is not 1 + frames");

    const auto size = static_cast<std::uint32_t>(staging_.size());
    bool sizeOk = false;
    switch (sequence) {
    case Sequence::Image: sizeOk = size > 0 && size <= settings_.maxImageSize; break;
    case Sequence::ConfigWrite: sizeOk = size == kConfigAreaSize; break;
    case Sequence::Primary: sizeOk = size == kPrimaryRegionSize; break;
    case Sequence::Overflow: sizeOk = size == kOverflowRegionSize; break;
    case Sequence::ConfigRead: sizeOk = readOffset_ == kConfigAreaSize; break;
    case Sequence::None: break;
    }
    if (!sizeOk)
        return Refuse(frame, answer, kRefuseWrongSize, 0, "region not complete or too large");
    Commit(sequence);
    open_ = Sequence::None;
    answer = frame;
    answer.command |= kAck;
}

// Only an end that closes a clean sequence makes the data the adapter's.
void AdapterModel::Commit(Sequence sequence)
{
    switch (sequence) {
    case Sequence::Image:
        image_.assign(staging_.begin(), staging_.end());
        imageReceived_ = true;
        ++counts_.imagesReceived;
        break;
    case Sequence::ConfigWrite:
        config_.assign(staging_.begin(), staging_.end());
        ++counts_.configAreaWrites;
        break;
    case Sequence::Primary:
        primary_.assign(staging_.begin(), staging_.end());
        ++counts_.primaryWrites;
        break;
    case Sequence::Overflow:
        overflow_.assign(staging_.begin(), staging_.end());
        ++counts_.overflowWrites;
        break;
    case Sequence::ConfigRead:
        ++counts_.configAreaReads;
        break;
    case Sequence::None:
        break;
    }
}

// Command 10 erases the configs: the config area behind the global
// settings and both block regions. Command 11 erases the global settings at
// the head of the config area.
void AdapterModel::Erase(const CommandFrame& frame, CommandFrame& answer, bool globalSettings)
{
    if (!AllZero(frame, 1))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "erase with a parameter or data");
    if (globalSettings) {
        std::fill(config_.begin(), config_.begin() + kGlobalSettingsSize, kErasedByte);
        settingsErased_ = true;
    } else {
        std::fill(config_.begin() + kGlobalSettingsSize, config_.end(), kErasedByte);
        primary_.clear();
        overflow_.clear();
        configsErased_ = true;
    }
    answer = frame;
    answer.command |= kAck;
}

void AdapterModel::InfoPage(const CommandFrame& frame, CommandFrame& answer)
{
    if (Vantri::FrameParameter(frame) != 0 || !AllZero(frame, 4))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "information request with bytes 1-2 or 4-63 set");
    const std::uint8_t page = frame.status;
    if (page != 2 && page != 3)
        return Refuse(frame, answer, kRefuseBadFrame, 0, "no such information page");

    std::uint8_t bytes[kPieceMax]{};
    bytes[0] = 'V';
    bytes[1] = '4';
    bytes[2] = page;
    if (page == 2) {
        const std::size_t n = std::min<std::size_t>(settings_.version.size(), kVersionBytes);
        std::memcpy(bytes + 4, settings_.version.data(), n);
        for (std::uint8_t i = 0; i < 16; ++i)
            bytes[28 + i] = static_cast<std::uint8_t>(0xA0 + i); // serial number
    } else {
        static constexpr char kBody[] = "Vantri4 loader";
        std::memcpy(bytes + 4, kBody, sizeof kBody - 1);
    }
    const std::uint8_t length = page == 2 ? settings_.page2Length : settings_.page3Length;
    answer = CommandFrame{};
    answer.command = static_cast<std::uint8_t>(frame.command | kAck);
    answer.parameter[0] = frame.parameter[0];
    answer.parameter[1] = frame.parameter[1];
    answer.status = page;
    answer.length = length;
    std::memcpy(answer.data, bytes, length);
}

void AdapterModel::ReadPiece(const CommandFrame& frame, CommandFrame& answer)
{
    if (open_ != Sequence::ConfigRead)
        return Refuse(frame, answer, kRefuseOutOfSequence, 0, "read before begin");
    if (Vantri::FrameParameter(frame) != nextCounter_)
        return Refuse(frame, answer, kRefuseCounterGap, nextCounter_, "block counter out of order");
    if (!AllZero(frame, 3))
        return Refuse(frame, answer, kRefuseBadFrame, 0, "read request with bytes 3-63 set");
    if (readOffset_ >= kConfigAreaSize)
        return Refuse(frame, answer, kRefuseBadLength, 0, "read past the end of the config area");

    const std::uint32_t n = std::min<std::uint32_t>(settings_.pieceSize, kConfigAreaSize - readOffset_);
    answer = CommandFrame{};
    answer.command = static_cast<std::uint8_t>(frame.command | kAck);
    answer.parameter[0] = frame.parameter[0];
    answer.parameter[1] = frame.parameter[1];
    answer.length = static_cast<std::uint8_t>(n);
    std::memcpy(answer.data, config_.data() + readOffset_, n);
    readOffset_ += n;
    ++nextCounter_;
    ++framesInSequence_;
}

void AdapterModel::ArmFault(const Fault& fault)
{
    std::lock_guard lock(mutex_);
    settings_.faults.push_back(fault);
}

bool AdapterModel::Vanished() const
{
    std::lock_guard lock(mutex_);
    return vanished_;
}

bool AdapterModel::ImageReceived() const
{
    std::lock_guard lock(mutex_);
    return imageReceived_;
}

std::vector<std::uint8_t> AdapterModel::Image() const
{
    std::lock_guard lock(mutex_);
    return image_;
}

std::vector<std::uint8_t> AdapterModel::ConfigArea() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

// A region never written, or erased, reads as erased flash.
std::vector<std::uint8_t> AdapterModel::PrimaryRegion() const
{
    std::lock_guard lock(mutex_);
    return primary_.empty() ? std::vector<std::uint8_t>(kPrimaryRegionSize, kErasedByte) : primary_;
}

std::vector<std::uint8_t> AdapterModel::OverflowRegion() const
{
    std::lock_guard lock(mutex_);
    return overflow_.empty() ? std::vector<std::uint8_t>(kOverflowRegionSize, kErasedByte) : overflow_;
}

bool AdapterModel::ConfigsErased() const
{
    std::lock_guard lock(mutex_);
    return configsErased_;
}

bool AdapterModel::SettingsErased() const
{
    std::lock_guard lock(mutex_);
    return settingsErased_;
}

std::vector<Violation> AdapterModel::Violations() const
{
    std::lock_guard lock(mutex_);
    return violations_;
}

bool AdapterModel::Clean() const
{
    std::lock_guard lock(mutex_);
    return violations_.empty();
}

std::vector<TranscriptEntry> AdapterModel::Transcript() const
{
    std::lock_guard lock(mutex_);
    return transcript_;
}

ModelCounts AdapterModel::Counts() const
{
    std::lock_guard lock(mutex_);
    return counts_;
}

std::vector<std::uint16_t> AdapterModel::ParametersOf(std::uint8_t command) const
{
    std::lock_guard lock(mutex_);
    std::vector<std::uint16_t> parameters;
    for (const TranscriptEntry& entry : transcript_) {
        if (entry.toAdapter && entry.frame.command == command)
            parameters.push_back(Vantri::FrameParameter(entry.frame));
    }
    return parameters;
}

void AdapterModel::SetConfigArea(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(mutex_);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), kConfigAreaSize), config_.begin());
}

} // namespace VantriEmu

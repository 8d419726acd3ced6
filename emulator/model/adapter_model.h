// A model of one adapter's side of the protocol: it takes 64-byte output
// frames, answers them as the adapter would, keeps what the command
// sequences write and notes every breach of the protocol it is spoken to.
// It knows nothing of how the frames travel, so the same model serves the
// in-process bus of the tests and the emulator process behind a socket.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/command_frame.h"

namespace VantriEmu {

using Vantri::CommandFrame;
using Clock = std::chrono::steady_clock;

inline constexpr std::uint32_t kConfigAreaSize = 65536;
inline constexpr std::uint32_t kPrimaryRegionSize = 262144;
inline constexpr std::uint32_t kOverflowRegionSize = 131072;
// The largest image the adapter's flash takes; the carried one is 257,536.
inline constexpr std::uint32_t kDefaultMaxImageSize = 262144;
// The first bytes of the config area hold the adapter's global settings;
// configs follow them.
inline constexpr std::uint32_t kGlobalSettingsSize = 3040;
inline constexpr char kDefaultVersion[] = "4.00.20160918";
// Value of erased flash.
inline constexpr std::uint8_t kErasedByte = 0xFF;

// Failure codes (answer byte 3) with which the model refuses a frame that
// breaks the protocol. Byte 4 carries the command, bytes 5-6 the value the
// model expected where there is one.
enum RefusalCode : std::uint8_t {
    kRefuseUnknownCommand = 0x31, // not a command of the adapter
    kRefuseOutOfSequence = 0x32,  // data, read or end without its begin
    kRefuseCounterGap = 0x33,     // block counter not the next one
    kRefuseBadLength = 0x34,      // piece length 0, above 56, or past the region
    kRefuseBadEnd = 0x35,         // end parameter not 1 + frames
    kRefuseWrongSize = 0x36,      // region not exactly its size at the end
    kRefuseBadFrame = 0x37,       // bytes that must be zero are not, or a bad argument
};

// What happens to one chosen frame.
enum class FaultKind : std::uint8_t {
    Refuse,       // negative answer with `code` in byte 3 (0 allowed), details 4-6
    BadEcho,      // frame processed, answer differs from the echo in byte 63
    AnswerLength, // positive answer with byte 7 = `code`; data past the area is 0xEE
    WriteFailure, // the output report fails with system code `code`
    WriteShort,   // the output report moves fewer than 65 bytes, no system code
    ReadFailure,  // frame processed; its answer's read fails with system code `code`
    ReadShort,    // frame processed; its answer's read moves fewer than 65 bytes
    Silence,      // from this frame on the adapter takes reports and never answers
    Vanish,       // from this frame on every report fails: device not connected
    AnswerDelay,  // frame processed; its answer is ready `code` ms later (a slow erase)
    Hold,         // frame processed; its answer waits for ReleaseHeldAnswers()
};

inline constexpr std::uint16_t kAnyCommand = 0xFFFF;

// A fault fires on the `occurrence`-th output frame (1-based, counted since the
// model was made) of `command`, or of any command with kAnyCommand.
struct Fault {
    FaultKind kind = FaultKind::Refuse;
    std::uint16_t command = kAnyCommand;
    std::uint32_t occurrence = 1;
    std::uint32_t code = 0;
    std::uint8_t detail1 = 0;
    std::uint16_t detail2 = 0;

    static Fault Refuse(std::uint16_t command, std::uint32_t k, std::uint8_t code, std::uint8_t detail1 = 0,
                        std::uint16_t detail2 = 0)
    {
        return {FaultKind::Refuse, command, k, code, detail1, detail2};
    }
    static Fault BadEcho(std::uint16_t command, std::uint32_t k) { return {FaultKind::BadEcho, command, k}; }
    static Fault AnswerLength(std::uint16_t command, std::uint32_t k, std::uint8_t length)
    {
        return {FaultKind::AnswerLength, command, k, length};
    }
    static Fault WriteFailure(std::uint16_t command, std::uint32_t k, std::uint32_t systemCode)
    {
        return {FaultKind::WriteFailure, command, k, systemCode};
    }
    static Fault WriteShort(std::uint16_t command, std::uint32_t k) { return {FaultKind::WriteShort, command, k}; }
    static Fault ReadFailure(std::uint16_t command, std::uint32_t k, std::uint32_t systemCode)
    {
        return {FaultKind::ReadFailure, command, k, systemCode};
    }
    static Fault ReadShort(std::uint16_t command, std::uint32_t k) { return {FaultKind::ReadShort, command, k}; }
    static Fault Silence(std::uint16_t command, std::uint32_t k) { return {FaultKind::Silence, command, k}; }
    static Fault Vanish(std::uint16_t command, std::uint32_t k) { return {FaultKind::Vanish, command, k}; }
    static Fault AnswerDelay(std::uint16_t command, std::uint32_t k, std::uint32_t milliseconds)
    {
        return {FaultKind::AnswerDelay, command, k, milliseconds};
    }
    static Fault Hold(std::uint16_t command, std::uint32_t k) { return {FaultKind::Hold, command, k}; }
};

struct AdapterSettings {
    std::string version = kDefaultVersion; // page 2 bytes 4-27; cut to 24 bytes
    std::uint8_t pieceSize = 56;           // command 14 piece; the last piece is what remains
    std::uint8_t page2Length = 56;         // data bytes of the page 2 answer
    std::uint8_t page3Length = 56;
    std::uint32_t maxImageSize = kDefaultMaxImageSize;
    std::uint32_t configSeed = 1;          // initial config area pattern; 0 = erased
    std::vector<std::uint8_t> configArea;  // initial config area from byte 0, over the pattern
    bool recordTranscript = true;          // keep every frame each way
    bool frameClock = false;               // 1 ms USB frames: an exchange costs 2 ms
    std::chrono::microseconds latency{0};  // added before each answer is ready
    bool heldOpenElsewhere = false;        // another program holds it: open refused
    std::vector<Fault> faults;
};

// The transport's view of one report.
enum class ReportStatus : std::uint8_t {
    Ok,
    Failed,  // failed with `systemCode`
    Short,   // moved fewer than 65 bytes; no system code
    TimedOut // no answer within the reader's time limit
};

struct ReportOutcome {
    ReportStatus status = ReportStatus::Ok;
    std::uint32_t systemCode = 0;
};

struct Violation {
    std::uint64_t report;  // 1-based number of the output report
    std::uint8_t command;
    std::uint16_t parameter;
    std::uint8_t code;     // RefusalCode it was refused with
    std::string what;
};

struct TranscriptEntry {
    bool toAdapter;        // true: output report; false: answer read
    CommandFrame frame;
};

struct ModelCounts {
    std::uint64_t outputReports = 0; // writes that reached the adapter or failed at it
    std::uint64_t answersRead = 0;   // answers delivered to a reader
    std::uint64_t refusals = 0;      // negative answers sent, injected ones included
    std::uint32_t imagesReceived = 0;
    std::uint32_t configAreaWrites = 0;
    std::uint32_t configAreaReads = 0;
    std::uint32_t primaryWrites = 0;
    std::uint32_t overflowWrites = 0;
    std::array<std::uint32_t, 128> framesOfCommand{}; // output frames per command number
};

class AdapterModel {
public:
    explicit AdapterModel(AdapterSettings settings = {});
    AdapterModel(const AdapterModel&) = delete;
    AdapterModel& operator=(const AdapterModel&) = delete;

    // The transport-neutral core: one output frame in, its answer queued.
    // Waits for the frame clock's next boundary when that is on.
    ReportOutcome TakeOutputReport(const CommandFrame& frame);
    // The next answer. Waits until it is ready, but not past `deadline`;
    // with nothing to answer it returns TimedOut at once when the deadline is
    // Clock::time_point::max() (in-process: the loader's time limit is taken
    // as passed) and otherwise at the deadline.
    ReportOutcome TakeInputReport(CommandFrame& answer, Clock::time_point deadline = Clock::time_point::max());

    void ArmFault(const Fault& fault);
    // Lets the answers that Hold faults keep back go to their reader, and
    // disarms the Hold faults that have not fired yet.
    void ReleaseHeldAnswers();
    const AdapterSettings& Settings() const { return settings_; }
    bool HeldOpenElsewhere() const { return settings_.heldOpenElsewhere; }
    bool Vanished() const;

    // Observations; each returns a copy taken under the adapter's lock.
    bool ImageReceived() const;
    std::vector<std::uint8_t> Image() const;
    std::vector<std::uint8_t> ConfigArea() const;
    std::vector<std::uint8_t> PrimaryRegion() const;
    std::vector<std::uint8_t> OverflowRegion() const;
    bool ConfigsErased() const;
    bool SettingsErased() const;
    std::vector<Violation> Violations() const;
    bool Clean() const; // no violation so far
    std::vector<TranscriptEntry> Transcript() const;
    ModelCounts Counts() const;
    // Parameters of the output frames of one command, in order (from the
    // transcript; empty when it is off).
    std::vector<std::uint16_t> ParametersOf(std::uint8_t command) const;

    void SetConfigArea(std::span<const std::uint8_t> bytes); // up to 65,536 bytes from 0

private:
    enum class Sequence : std::uint8_t { None, Image, ConfigWrite, Primary, Overflow, ConfigRead };
    struct Pending {
        CommandFrame frame;
        Clock::time_point readyAt;
        ReportOutcome outcome;
        bool held = false;
    };
    static constexpr std::uint32_t kQueueDepth = 32; // a HID input buffer's default

    Clock::time_point TakeTime();
    const Fault* FaultFor(std::uint8_t command, std::uint32_t occurrenceOfCommand, std::uint64_t report) const;
    void Process(const CommandFrame& frame, CommandFrame& answer);
    void Refuse(const CommandFrame& frame, CommandFrame& answer, std::uint8_t code, std::uint16_t expected,
                const char* what);
    void Begin(const CommandFrame& frame, CommandFrame& answer, Sequence sequence);
    void Data(const CommandFrame& frame, CommandFrame& answer, Sequence sequence);
    void End(const CommandFrame& frame, CommandFrame& answer, Sequence sequence);
    void Erase(const CommandFrame& frame, CommandFrame& answer, bool globalSettings);
    void InfoPage(const CommandFrame& frame, CommandFrame& answer);
    void ReadPiece(const CommandFrame& frame, CommandFrame& answer);
    void Commit(Sequence sequence);
    void Queue(const CommandFrame& answer, Clock::time_point readyAt, ReportOutcome outcome, bool held);
    bool WaitForRelease(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);
    bool CheckZeroTail(const CommandFrame& frame, std::uint32_t from, CommandFrame& answer);

    AdapterSettings settings_;
    mutable std::mutex mutex_; // one per adapter: different adapters never meet
    std::condition_variable released_;

    // Protocol state.
    Sequence open_ = Sequence::None;
    std::uint16_t nextCounter_ = 1;
    std::uint32_t framesInSequence_ = 0;
    bool shortPieceSeen_ = false;
    std::vector<std::uint8_t> staging_;
    std::uint32_t readOffset_ = 0;

    // Stored state.
    bool imageReceived_ = false;
    std::vector<std::uint8_t> image_;
    std::vector<std::uint8_t> config_;
    std::vector<std::uint8_t> primary_;
    std::vector<std::uint8_t> overflow_;
    bool configsErased_ = false;
    bool settingsErased_ = false;

    // Fault state.
    bool silent_ = false;
    bool vanished_ = false;

    std::array<Pending, kQueueDepth> queue_{};
    std::uint32_t queueHead_ = 0;
    std::uint32_t queueSize_ = 0;

    ModelCounts counts_;
    std::vector<Violation> violations_;
    std::vector<TranscriptEntry> transcript_;
};

} // namespace VantriEmu

// The adapter model on its own: it must catch the protocol faults it exists
// to catch, and its injected faults must do what the tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "emulator/model/adapter_model.h"

namespace {

using namespace VantriEmu;
using namespace std::chrono_literals;

CommandFrame Frame(std::uint8_t command, std::uint16_t parameter = 0, std::uint8_t length = 0, std::uint8_t fill = 0)
{
    CommandFrame frame{};
    frame.command = command;
    Vantri::SetFrameParameter(frame, parameter);
    frame.length = length;
    std::memset(frame.data, fill, std::min<std::size_t>(length, sizeof frame.data));
    return frame;
}

CommandFrame Request(std::uint8_t command, std::uint16_t parameter, std::uint8_t argument)
{
    CommandFrame frame = Frame(command, parameter);
    frame.status = argument;
    return frame;
}

struct Answer {
    ReportOutcome write;
    ReportOutcome read;
    CommandFrame frame{};
    bool positive() const { return (frame.command & Vantri::kAcknowledgeBit) != 0; }
};

Answer Exchange(AdapterModel& model, const CommandFrame& frame)
{
    Answer answer;
    answer.write = model.TakeOutputReport(frame);
    if (answer.write.status == ReportStatus::Ok)
        answer.read = model.TakeInputReport(answer.frame);
    return answer;
}

bool IsEcho(const Answer& answer, const CommandFrame& sent)
{
    CommandFrame expected = sent;
    expected.command |= Vantri::kAcknowledgeBit;
    return answer.read.status == ReportStatus::Ok && std::memcmp(&answer.frame, &expected, sizeof expected) == 0;
}

// Writes `size` bytes as 56-byte pieces of `data` with counters from 1.
void SendPieces(AdapterModel& model, std::uint8_t data, std::uint32_t size, std::uint8_t fill = 0x11)
{
    std::uint16_t counter = 1;
    for (std::uint32_t sent = 0; sent < size; sent += 56) {
        const auto piece = static_cast<std::uint8_t>(std::min<std::uint32_t>(56, size - sent));
        const CommandFrame frame = Frame(data, counter++, piece, fill);
        ASSERT_TRUE(IsEcho(Exchange(model, frame), frame)) << "piece " << counter - 1;
    }
}

// --- The protocol it checks --------------------------------------------------

TEST(AdapterModel, CleanSequencesAreEchoedAndCommitted)
{
    AdapterModel model;
    const CommandFrame begin = Frame(1);
    EXPECT_TRUE(IsEcho(Exchange(model, begin), begin));
    SendPieces(model, 2, 1000, 0x42);
    EXPECT_FALSE(model.ImageReceived()); // not before the end
    const CommandFrame end = Frame(3, 1 + 18);
    EXPECT_TRUE(IsEcho(Exchange(model, end), end));
    EXPECT_TRUE(model.ImageReceived());
    EXPECT_EQ(model.Image(), std::vector<std::uint8_t>(1000, 0x42));
    EXPECT_TRUE(model.Clean());
    EXPECT_EQ(model.Counts().imagesReceived, 1u);
}

TEST(AdapterModel, RefusesDataBeforeBegin)
{
    AdapterModel model;
    const Answer answer = Exchange(model, Frame(2, 1, 56));
    EXPECT_FALSE(answer.positive());
    EXPECT_EQ(answer.frame.status, kRefuseOutOfSequence);
    EXPECT_EQ(answer.frame.detail1, 2);
    ASSERT_EQ(model.Violations().size(), 1u);
    EXPECT_EQ(model.Violations()[0].command, 2);
    EXPECT_EQ(model.Violations()[0].report, 1u);
    EXPECT_FALSE(model.Clean());
}

TEST(AdapterModel, RefusesAGapInTheCountersAndDropsTheSequence)
{
    AdapterModel model;
    Exchange(model, Frame(1));
    Exchange(model, Frame(2, 1, 56));
    const Answer gap = Exchange(model, Frame(2, 3, 56));
    EXPECT_FALSE(gap.positive());
    EXPECT_EQ(gap.frame.status, kRefuseCounterGap);
    EXPECT_EQ(gap.frame.detail2[0], 2); // the counter it expected
    // The sequence is over: its end is out of sequence and nothing is kept.
    EXPECT_EQ(Exchange(model, Frame(3, 3)).frame.status, kRefuseOutOfSequence);
    EXPECT_FALSE(model.ImageReceived());
    EXPECT_EQ(model.Violations().size(), 2u);
}

TEST(AdapterModel, RefusesAWrongEndParameter)
{
    AdapterModel model;
    Exchange(model, Frame(1));
    SendPieces(model, 2, 112);
    const Answer end = Exchange(model, Frame(3, 2)); // two frames: the end is 3
    EXPECT_EQ(end.frame.status, kRefuseBadEnd);
    EXPECT_EQ(end.frame.detail2[0], 3);
    EXPECT_FALSE(model.ImageReceived());
}

TEST(AdapterModel, RegionsMustHaveExactlyTheirSize)
{
    AdapterModel model;
    const auto before = model.ConfigArea();
    Exchange(model, Frame(4));
    SendPieces(model, 5, 65536 - 56);
    EXPECT_EQ(Exchange(model, Frame(6, 1 + 1170)).frame.status, kRefuseWrongSize);
    EXPECT_EQ(model.ConfigArea(), before);

    // One piece too many for the primary region is refused as it comes.
    Exchange(model, Frame(7));
    SendPieces(model, 8, 262144);
    EXPECT_EQ(Exchange(model, Frame(8, 4683, 56)).frame.status, kRefuseBadLength);

    Exchange(model, Frame(27));
    SendPieces(model, 28, 131072);
    EXPECT_TRUE(IsEcho(Exchange(model, Frame(29, 2342)), Frame(29, 2342)));
    EXPECT_EQ(model.Counts().overflowWrites, 1u);
    EXPECT_EQ(model.Violations().size(), 2u);
}

TEST(AdapterModel, ImageMustBeNonEmptyAndWithinTheMaximum)
{
    AdapterSettings settings;
    settings.maxImageSize = 100;
    AdapterModel model(settings);
    Exchange(model, Frame(1));
    EXPECT_EQ(Exchange(model, Frame(3, 1)).frame.status, kRefuseWrongSize);
    Exchange(model, Frame(1));
    Exchange(model, Frame(2, 1, 56));
    EXPECT_EQ(Exchange(model, Frame(2, 2, 56)).frame.status, kRefuseBadLength);
    EXPECT_FALSE(model.ImageReceived());
}

TEST(AdapterModel, RefusesMalformedFrames)
{
    AdapterModel model;
    EXPECT_EQ(Exchange(model, Frame(12)).frame.status, kRefuseUnknownCommand);
    EXPECT_EQ(Exchange(model, Frame(0x81)).frame.status, kRefuseUnknownCommand);
    EXPECT_EQ(Exchange(model, Frame(1, 5)).frame.status, kRefuseBadFrame); // begin with a parameter
    Exchange(model, Frame(1));
    CommandFrame dirty = Frame(2, 1, 10);
    dirty.data[20] = 1; // behind the piece
    EXPECT_EQ(Exchange(model, dirty).frame.status, kRefuseBadFrame);
    Exchange(model, Frame(1));
    EXPECT_EQ(Exchange(model, Frame(2, 1, 57)).frame.status, kRefuseBadLength);
    Exchange(model, Frame(1));
    Exchange(model, Frame(2, 1, 10));
    EXPECT_EQ(Exchange(model, Frame(2, 2, 56)).frame.status, kRefuseBadLength); // after a short piece
    EXPECT_EQ(Exchange(model, Request(21, 0, 4)).frame.status, kRefuseBadFrame);
    EXPECT_EQ(Exchange(model, Request(14, 1, 0)).frame.status, kRefuseOutOfSequence);
    EXPECT_EQ(model.Violations().size(), 8u);
}

TEST(AdapterModel, ConfigAreaReadServesPiecesAndEndsAtTheArea)
{
    AdapterSettings settings;
    settings.pieceSize = 40;
    AdapterModel model(settings);
    const auto area = model.ConfigArea();
    Exchange(model, Frame(13));
    std::vector<std::uint8_t> read;
    std::uint16_t counter = 1;
    while (read.size() < 65536) {
        const Answer piece = Exchange(model, Request(14, counter++, 0));
        ASSERT_TRUE(piece.positive());
        ASSERT_EQ(piece.frame.length, std::min<std::size_t>(40, 65536 - read.size()));
        read.insert(read.end(), piece.frame.data, piece.frame.data + piece.frame.length);
    }
    EXPECT_EQ(read, area);
    EXPECT_EQ(Exchange(model, Request(14, counter, 0)).frame.status, kRefuseBadLength); // past the end
    Exchange(model, Frame(13));
    EXPECT_EQ(Exchange(model, Frame(16, 1)).frame.status, kRefuseWrongSize); // ended early
}

TEST(AdapterModel, EraseCommandsSplitConfigsFromGlobalSettings)
{
    AdapterModel model;
    Exchange(model, Frame(7));
    SendPieces(model, 8, 262144, 0x22);
    Exchange(model, Frame(9, 4683));
    const auto before = model.ConfigArea();

    EXPECT_TRUE(IsEcho(Exchange(model, Frame(10)), Frame(10)));
    auto after = model.ConfigArea();
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + kGlobalSettingsSize, before.begin()));
    EXPECT_TRUE(std::all_of(after.begin() + kGlobalSettingsSize, after.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(model.PrimaryRegion(), std::vector<std::uint8_t>(262144, 0xFF));
    EXPECT_TRUE(model.ConfigsErased());
    EXPECT_FALSE(model.SettingsErased());

    Exchange(model, Frame(11));
    after = model.ConfigArea();
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_TRUE(model.SettingsErased());
    EXPECT_TRUE(model.Clean());
}

TEST(AdapterModel, InformationPagesCarryTheConfiguredVersion)
{
    AdapterSettings settings;
    settings.version = "3.99.20150101";
    settings.page3Length = 10;
    AdapterModel model(settings);
    const Answer page2 = Exchange(model, Request(21, 0, 2));
    ASSERT_TRUE(page2.positive());
    EXPECT_EQ(page2.frame.length, 56);
    EXPECT_EQ(0, std::memcmp(page2.frame.data + 4, "3.99.20150101\0", 14));
    const Answer page3 = Exchange(model, Request(21, 0, 3));
    EXPECT_EQ(page3.frame.length, 10);
    EXPECT_EQ(page3.frame.data[10], 0); // nothing sent past the length
}

// --- Fault injection ---------------------------------------------------------

TEST(AdapterModelFaults, RefusalChangesNothingAndIsNoViolation)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(2, 2, 0, 7, 0x0102)};
    AdapterModel model(settings);
    Exchange(model, Frame(1));
    Exchange(model, Frame(2, 1, 56));
    const Answer refused = Exchange(model, Frame(2, 2, 56));
    EXPECT_FALSE(refused.positive());
    EXPECT_EQ(refused.frame.status, 0);
    EXPECT_EQ(refused.frame.detail1, 7);
    EXPECT_EQ(refused.frame.detail2[0], 0x02);
    EXPECT_EQ(refused.frame.detail2[1], 0x01);
    // The same counter again is accepted: the refused frame was not taken.
    EXPECT_TRUE(Exchange(model, Frame(2, 2, 56)).positive());
    EXPECT_TRUE(model.Clean());
    EXPECT_EQ(model.Counts().refusals, 1u);
}

TEST(AdapterModelFaults, BadEchoAndAnswerLengthAlterOnlyTheAnswer)
{
    AdapterSettings settings;
    settings.faults = {Fault::BadEcho(10, 1), Fault::AnswerLength(21, 1, 60), Fault::AnswerLength(21, 2, 0)};
    AdapterModel model(settings);
    const Answer echo = Exchange(model, Frame(10));
    EXPECT_TRUE(echo.positive());
    EXPECT_EQ(echo.frame.data[55], 0x01);
    EXPECT_TRUE(model.ConfigsErased()); // the frame itself was taken
    EXPECT_EQ(Exchange(model, Request(21, 0, 2)).frame.length, 60);
    EXPECT_EQ(Exchange(model, Request(21, 0, 2)).frame.length, 0);
}

TEST(AdapterModelFaults, TransportFaults)
{
    AdapterSettings settings;
    settings.faults = {Fault::WriteFailure(10, 1, 31), Fault::WriteShort(10, 2), Fault::ReadFailure(10, 3, 995),
                       Fault::ReadShort(10, 4)};
    AdapterModel model(settings);
    Answer a = Exchange(model, Frame(10));
    EXPECT_EQ(a.write.status, ReportStatus::Failed);
    EXPECT_EQ(a.write.systemCode, 31u);
    EXPECT_FALSE(model.ConfigsErased()); // a failed write never arrived
    EXPECT_EQ(Exchange(model, Frame(10)).write.status, ReportStatus::Short);
    a = Exchange(model, Frame(10));
    EXPECT_EQ(a.read.status, ReportStatus::Failed);
    EXPECT_EQ(a.read.systemCode, 995u);
    EXPECT_TRUE(model.ConfigsErased()); // the frame arrived; its answer was lost
    EXPECT_EQ(Exchange(model, Frame(10)).read.status, ReportStatus::Short);
    EXPECT_TRUE(IsEcho(Exchange(model, Frame(10)), Frame(10)));
}

TEST(AdapterModelFaults, SilenceEndsReadsAtTheTimeLimit)
{
    AdapterSettings settings;
    settings.faults = {Fault::Silence(kAnyCommand, 2)};
    AdapterModel model(settings);
    EXPECT_TRUE(Exchange(model, Frame(10)).positive());
    const Answer silent = Exchange(model, Frame(11));
    EXPECT_EQ(silent.write.status, ReportStatus::Ok);
    EXPECT_EQ(silent.read.status, ReportStatus::TimedOut);
    EXPECT_EQ(silent.read.systemCode, Vantri::kErrorTimeout);

    // With a real time limit the read lasts until it.
    model.TakeOutputReport(Frame(10));
    CommandFrame answer{};
    const auto start = Clock::now();
    EXPECT_EQ(model.TakeInputReport(answer, start + 30ms).status, ReportStatus::TimedOut);
    EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(AdapterModelFaults, VanishedAdapterFailsEverything)
{
    AdapterSettings settings;
    settings.faults = {Fault::Vanish(kAnyCommand, 3)};
    AdapterModel model(settings);
    Exchange(model, Frame(10));
    model.TakeOutputReport(Frame(11)); // its answer is never read
    const Answer gone = Exchange(model, Frame(10));
    EXPECT_EQ(gone.write.status, ReportStatus::Failed);
    EXPECT_EQ(gone.write.systemCode, Vantri::kErrorDeviceNotConnected);
    CommandFrame answer{};
    EXPECT_EQ(model.TakeInputReport(answer).systemCode, Vantri::kErrorDeviceNotConnected);
    EXPECT_TRUE(model.Vanished());
}

TEST(AdapterModelFaults, FaultsArmedLaterCountFromTheStart)
{
    AdapterModel model;
    Exchange(model, Frame(10));
    model.ArmFault(Fault::Refuse(10, 2, 0x55));
    EXPECT_EQ(Exchange(model, Frame(10)).frame.status, 0x55);
}

// --- Time -----------------------------------------------------------------------

TEST(AdapterModelTime, LatencyDelaysTheAnswerAndALateAnswerStaysQueued)
{
    AdapterSettings settings;
    settings.latency = 40ms;
    AdapterModel model(settings);
    const auto start = Clock::now();
    ASSERT_EQ(model.TakeOutputReport(Frame(10)).status, ReportStatus::Ok);
    CommandFrame answer{};
    EXPECT_EQ(model.TakeInputReport(answer, start + 5ms).status, ReportStatus::TimedOut);
    EXPECT_EQ(model.TakeInputReport(answer).status, ReportStatus::Ok);
    EXPECT_GE(Clock::now() - start, 40ms);
    EXPECT_EQ(answer.command, 10 | 0x80);
}

TEST(AdapterModelTime, HeldAnswerWaitsForItsReleaseAndALateOneStaysQueued)
{
    AdapterSettings settings;
    settings.faults = {Fault::Hold(10, 2)};
    AdapterModel model(settings);
    EXPECT_TRUE(Exchange(model, Frame(10)).positive()); // only the second is held
    ASSERT_EQ(model.TakeOutputReport(Frame(10)).status, ReportStatus::Ok);
    CommandFrame answer{};
    EXPECT_EQ(model.TakeInputReport(answer, Clock::now() + 5ms).status, ReportStatus::TimedOut);

    // Without a deadline the reader waits for the release, however late.
    std::atomic<bool> released{false};
    std::jthread releaser([&] {
        std::this_thread::sleep_for(20ms);
        released = true;
        model.ReleaseHeldAnswers();
    });
    EXPECT_EQ(model.TakeInputReport(answer).status, ReportStatus::Ok);
    EXPECT_TRUE(released);
    EXPECT_EQ(answer.command, 10 | 0x80);
}

TEST(AdapterModelTime, FrameClockCostsTwoMillisecondsAnExchange)
{
    AdapterSettings settings;
    settings.frameClock = true;
    AdapterModel model(settings);
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(Exchange(model, Frame(10)).positive());
    EXPECT_GE(Clock::now() - start, 19ms);
}

TEST(AdapterModelTime, FrameClocksOfManyAdaptersRunSideBySide)
{
    // 256 adapters, each on its own thread, 10 exchanges each: one after
    // the other that would be 5 s; side by side it is 20 ms plus thread
    // start-up. The bound only has to tell the two apart.
    constexpr int kAdapters = 256;
    constexpr int kExchanges = 10;
    AdapterSettings settings;
    settings.frameClock = true;
    settings.recordTranscript = false;
    std::vector<std::unique_ptr<AdapterModel>> models;
    for (int i = 0; i < kAdapters; ++i)
        models.push_back(std::make_unique<AdapterModel>(settings));
    std::vector<int> good(kAdapters, 0);
    const auto start = Clock::now();
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kAdapters; ++i) {
            threads.emplace_back([&, i] {
                for (int n = 0; n < kExchanges; ++n)
                    good[i] += Exchange(*models[i], Frame(10)).positive() ? 1 : 0;
            });
        }
    }
    const auto elapsed = Clock::now() - start;
    for (int i = 0; i < kAdapters; ++i)
        EXPECT_EQ(good[i], kExchanges) << "adapter " << i;
    EXPECT_LT(elapsed, 2500ms);
}

TEST(AdapterModel, TranscriptCanBeTurnedOff)
{
    AdapterSettings settings;
    settings.recordTranscript = false;
    AdapterModel model(settings);
    Exchange(model, Frame(10));
    EXPECT_TRUE(model.Transcript().empty());
    EXPECT_EQ(model.Counts().outputReports, 1u);
    EXPECT_EQ(model.Counts().answersRead, 1u);
}

} // namespace

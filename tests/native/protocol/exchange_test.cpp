// SendCommand and ReceiveData against the adapter model: what goes out byte
// for byte, and which record every kind of answer turns into.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/exchange.h"
#include "tests/native/protocol/protocol_fixture.h"

namespace {

using namespace ProtocolTest;
using Vantri::CommandFrame;
using Vantri::ResultRecord;
using VantriEmu::AdapterSettings;
using VantriEmu::Fault;

std::u16string Message(const ResultRecord& record)
{
    return record.message ? std::u16string(record.message) : std::u16string();
}

void ExpectRecord(const ResultRecord& record, std::uint32_t code, std::uint32_t detail1, std::uint32_t detail2,
                  const char16_t* message)
{
    EXPECT_EQ(record.code, code);
    EXPECT_EQ(record.detail1, detail1);
    EXPECT_EQ(record.detail2, detail2);
    EXPECT_EQ(Message(record), std::u16string(message));
}

// Codes the exchange makes up itself stand where the adapter's code would;
// a 0 there would read as success.
static_assert(Vantri::kRefusedWithoutCode != 0);
static_assert(Vantri::kEchoMismatchCode != 0);

class ExchangeTest : public BusTest {};

// --- What goes out ---------------------------------------------------------

TEST_F(ExchangeTest, CommandWithoutDataIsCommandAndParameterThenZeros)
{
    auto& model = Start();
    EXPECT_EQ(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kResultOk);
    EXPECT_EQ(Vantri::SendCommand(0, 13, 0, nullptr, 0), Vantri::kResultOk);
    // The parameter goes low byte first; the model refuses 7 with a
    // parameter, but the frame on the wire is what counts here.
    Vantri::SendCommand(0, 7, 0xA1B2, nullptr, 0);

    const auto sent = Sent(model);
    ASSERT_EQ(sent.size(), 3u);
    std::uint8_t expected[64]{};
    expected[0] = 10;
    EXPECT_EQ(0, std::memcmp(Bytes(sent[0]), expected, 64));
    expected[0] = 7;
    expected[1] = 0xB2;
    expected[2] = 0xA1;
    EXPECT_EQ(0, std::memcmp(Bytes(sent[2]), expected, 64));
}

TEST_F(ExchangeTest, CommandCarriesItsDataThenZerosToTheEnd)
{
    auto& model = Start();
    const auto data = Pattern(56, 3);
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::SendCommand(0, 2, 1, data.data(), 56), Vantri::kResultOk);
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(Vantri::SendCommand(0, 2, 1, data.data(), 10), Vantri::kResultOk);
    EXPECT_TRUE(model.Clean());

    const auto sent = Sent(model);
    ASSERT_EQ(sent.size(), 4u);
    const std::uint8_t head56[8] = {2, 1, 0, 0, 0, 0, 0, 56};
    EXPECT_EQ(0, std::memcmp(Bytes(sent[1]), head56, 8));
    EXPECT_EQ(0, std::memcmp(Bytes(sent[1]) + 8, data.data(), 56));

    const std::uint8_t head10[8] = {2, 1, 0, 0, 0, 0, 0, 10};
    EXPECT_EQ(0, std::memcmp(Bytes(sent[3]), head10, 8));
    EXPECT_EQ(0, std::memcmp(Bytes(sent[3]) + 8, data.data(), 10));
    for (int i = 18; i < 64; ++i)
        EXPECT_EQ(Bytes(sent[3])[i], 0) << "byte " << i;
}

TEST_F(ExchangeTest, RequestCarriesCommandParameterAndArgumentOnly)
{
    auto& model = Start();
    std::uint8_t page[56];
    std::uint32_t length = 99;
    EXPECT_EQ(Vantri::ReceiveData(21, 0, 3, page, length), Vantri::kResultOk);
    Vantri::ReceiveData(14, 0x0102, 0, page, length); // out of sequence: refused, but sent

    const auto sent = Sent(model);
    ASSERT_EQ(sent.size(), 2u);
    std::uint8_t expected[64]{};
    expected[0] = 21;
    expected[3] = 3;
    EXPECT_EQ(0, std::memcmp(Bytes(sent[0]), expected, 64));
    std::uint8_t expected14[64]{};
    expected14[0] = 14;
    expected14[1] = 0x02;
    expected14[2] = 0x01;
    EXPECT_EQ(0, std::memcmp(Bytes(sent[1]), expected14, 64));
}

// --- Every kind of outcome ---------------------------------------------------

TEST_F(ExchangeTest, SuccessIsAllZero)
{
    Start();
    const ResultRecord record = Vantri::SendCommand(0, 10, 0, nullptr, 0);
    ExpectRecord(record, 0, 0, 0, u"");
    EXPECT_EQ(record.message, nullptr);
}

TEST_F(ExchangeTest, TransportFailuresCarryTheSystemCode)
{
    AdapterSettings settings;
    settings.faults = {Fault::WriteFailure(10, 1, 31), Fault::ReadFailure(10, 2, 1167)};
    Start(settings);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), 31, 0, 0, u"Write transport failure");
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), 1167, 0, 0, u"Read transport failure");
}

TEST_F(ExchangeTest, ShortTransfersWithoutSystemCodeStillFail)
{
    AdapterSettings settings;
    settings.faults = {Fault::WriteShort(10, 1), Fault::ReadShort(10, 2), Fault::ReadShort(21, 1)};
    Start(settings);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kErrorWriteFault, 0, 0,
                 u"Write transport failure");
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kErrorReadFault, 0, 0,
                 u"Read transport failure");
    std::uint8_t page[56];
    std::uint32_t length = 7;
    ExpectRecord(Vantri::ReceiveData(21, 0, 2, page, length), Vantri::kErrorReadFault, 0, 0,
                 u"Read transport failure");
    EXPECT_EQ(length, 0u);
}

TEST_F(ExchangeTest, FailedWriteIsNotFollowedByARead)
{
    AdapterSettings settings;
    settings.faults = {Fault::WriteFailure(10, 1, 31), Fault::WriteFailure(21, 1, 31)};
    Start(settings);
    CountingLoader counting(bus_);
    VantriTest::ScopedLoader bound(counting);
    EXPECT_EQ(Vantri::SendCommand(0, 10, 0, nullptr, 0).code, 31u);
    std::uint8_t page[56];
    std::uint32_t length = 0;
    EXPECT_EQ(Vantri::ReceiveData(21, 0, 2, page, length).code, 31u);
    EXPECT_EQ(counting.writes, 2);
    EXPECT_EQ(counting.reads, 0);
}

TEST_F(ExchangeTest, RefusalOfACommandCarriesTheAdaptersCodeAndDetails)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(10, 1, 0x05, 0x02, 0x1234)};
    Start(settings);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), 5, 2, 0x1234, u"Send failure");
}

TEST_F(ExchangeTest, RefusalWithoutCodeStillFailsBothExchanges)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(10, 1, 0, 0x02, 0x1234), Fault::Refuse(21, 1, 0, 0x09, 0x0909)};
    Start(settings);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kRefusedWithoutCode, 2, 0x1234, u"Send failure");

    std::uint8_t page[56];
    std::uint32_t length = 5;
    ExpectRecord(Vantri::ReceiveData(21, 0, 2, page, length), Vantri::kRefusedWithoutCode, 0, 0, u"Receive failure");
    EXPECT_EQ(length, 0u);
}

TEST_F(ExchangeTest, RefusalOfARequestKeepsOnlyTheCode)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(21, 1, 0x07, 0x02, 0x1234)};
    Start(settings);
    std::uint8_t page[56];
    std::uint32_t length = 0;
    ExpectRecord(Vantri::ReceiveData(21, 0, 2, page, length), 7, 0, 0, u"Receive failure");
}

TEST_F(ExchangeTest, EchoMismatchStopsWithItsOwnCode)
{
    AdapterSettings settings;
    settings.faults = {Fault::BadEcho(2, 1)};
    auto& model = Start(settings);
    const auto data = Pattern(10, 1);
    ASSERT_EQ(Vantri::SendCommand(0, 1, 0, nullptr, 0), Vantri::kResultOk);
    // The model flips byte 63, one of the zeros behind the ten data bytes.
    ExpectRecord(Vantri::SendCommand(0, 2, 1, data.data(), 10), Vantri::kEchoMismatchCode, 0, 0, u"Send echo failure");
    EXPECT_TRUE(model.Clean());
}

// Answers every frame with its echo, one byte of it changed.
class AlteredEchoLoader final : public Vantri::Loader {
public:
    ~AlteredEchoLoader() = default;
    bool EnumerateDevices(std::uint32_t& count) override { return count = 1, true; }
    void CloseDevice(std::uint32_t) override {}
    Vantri::ResultRecord WriteReport(std::uint32_t, const CommandFrame& payload) override
    {
        last_ = payload;
        return Vantri::kResultOk;
    }
    Vantri::ResultRecord ReadReport(std::uint32_t, CommandFrame& destination, std::uint32_t) override
    {
        destination = last_;
        destination.command |= Vantri::kAcknowledgeBit;
        if (alter >= 0)
            reinterpret_cast<std::uint8_t*>(&destination)[alter] ^= mask;
        return Vantri::kResultOk;
    }
    int alter = -1;
    std::uint8_t mask = 0x01;

private:
    CommandFrame last_{};
};

TEST(ExchangeEcho, AnyByteThatDiffersFromTheSentFrameIsAnEchoFailure)
{
    AlteredEchoLoader loader;
    VantriTest::ScopedLoader bound(loader);
    const auto data = Pattern(10, 9);
    EXPECT_EQ(Vantri::SendCommand(0, 5, 0x0203, data.data(), 10), Vantri::kResultOk);
    for (int byte = 0; byte < 64; ++byte) {
        loader.alter = byte;
        // Byte 0's bit 7 is the acknowledge bit itself; change another bit.
        loader.mask = byte == 0 ? 0x01 : 0x80;
        EXPECT_EQ(Vantri::SendCommand(0, 5, 0x0203, data.data(), 10).code, Vantri::kEchoMismatchCode) << "byte " << byte;
    }
}

TEST_F(ExchangeTest, AnswerWithoutDataIsASizeFailure)
{
    AdapterSettings settings;
    settings.faults = {Fault::AnswerLength(21, 1, 0)};
    Start(settings);
    std::uint8_t page[56];
    std::uint32_t length = 12;
    ExpectRecord(Vantri::ReceiveData(21, 0, 2, page, length), 1, 0, 0, u"Receive size failure");
    EXPECT_EQ(length, 0u);
}

TEST_F(ExchangeTest, AnswerClaimingMoreThanAFrameHoldsCopiesNothing)
{
    AdapterSettings settings;
    settings.faults = {Fault::AnswerLength(21, 1, 57), Fault::AnswerLength(21, 2, 255)};
    Start(settings);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::uint8_t guarded[56 + 16];
        std::memset(guarded, 0x5A, sizeof guarded);
        std::span<std::uint8_t, 56> page(guarded, 56);
        std::uint32_t length = 12;
        const ResultRecord record = Vantri::ReceiveData(21, 0, 2, page, length);
        EXPECT_NE(record.code, 0u);
        EXPECT_EQ(Message(record), u"Receive size failure");
        EXPECT_EQ(length, 0u);
        for (std::uint8_t b : guarded)
            ASSERT_EQ(b, 0x5A);
    }
}

TEST_F(ExchangeTest, FullAnswerCopiesAll56Bytes)
{
    AdapterSettings settings;
    settings.version = "4.00.20160918";
    auto& model = Start(settings);
    std::uint8_t page[56];
    std::memset(page, 0x5A, sizeof page);
    std::uint32_t length = 0;
    ASSERT_EQ(Vantri::ReceiveData(21, 0, 2, page, length), Vantri::kResultOk);
    EXPECT_EQ(length, 56u);
    const auto transcript = model.Transcript();
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_FALSE(transcript[1].toAdapter);
    EXPECT_EQ(0, std::memcmp(page, Bytes(transcript[1].frame) + 8, 56));
    EXPECT_EQ(0, std::memcmp(page + 4, "4.00.20160918", 13));
}

TEST_F(ExchangeTest, SilentAdapterEndsInATimeOut)
{
    AdapterSettings settings;
    settings.faults = {Fault::Silence(VantriEmu::kAnyCommand, 2)};
    Start(settings);
    EXPECT_EQ(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kResultOk);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kErrorTimeout, 0, 0, u"Read transport failure");
    ExpectRecord(Vantri::SendCommand(0, 11, 0, nullptr, 0), Vantri::kErrorTimeout, 0, 0, u"Read transport failure");
}

TEST_F(ExchangeTest, VanishedAdapterFailsEveryLaterReport)
{
    AdapterSettings settings;
    settings.faults = {Fault::Vanish(11, 1)};
    Start(settings);
    EXPECT_EQ(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kResultOk);
    ExpectRecord(Vantri::SendCommand(0, 11, 0, nullptr, 0), Vantri::kErrorDeviceNotConnected, 0, 0,
                 u"Write transport failure");
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kErrorDeviceNotConnected, 0, 0,
                 u"Write transport failure");
}

TEST_F(ExchangeTest, SendCommandGoesToItsDeviceAndReceiveDataAlwaysToDeviceZero)
{
    auto& first = bus_.Attach();
    auto& second = bus_.Attach();
    std::uint32_t count = 0;
    ASSERT_TRUE(bus_.EnumerateDevices(count));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(Vantri::SendCommand(1, 10, 0, nullptr, 0), Vantri::kResultOk);
    std::uint8_t page[56];
    std::uint32_t length = 0;
    EXPECT_EQ(Vantri::ReceiveData(21, 0, 2, page, length), Vantri::kResultOk);
    EXPECT_EQ(first.Counts().framesOfCommand[10], 0u);
    EXPECT_EQ(second.Counts().framesOfCommand[10], 1u);
    EXPECT_EQ(first.Counts().framesOfCommand[21], 1u);
    EXPECT_EQ(second.Counts().framesOfCommand[21], 0u);
}

TEST_F(ExchangeTest, ClosedDeviceFailsWithInvalidHandle)
{
    Start();
    bus_.CloseDevice(0);
    ExpectRecord(Vantri::SendCommand(0, 10, 0, nullptr, 0), Vantri::kErrorInvalidHandle, 0, 0,
                 u"Write transport failure");
}

// --- Answers as they come off the wire ---------------------------------------

// A frame from its first bytes in hex; the rest zero.
CommandFrame Frame(const std::string& hex)
{
    CommandFrame frame{};
    auto* bytes = reinterpret_cast<std::uint8_t*>(&frame);
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 3)
        bytes[n++] = static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16));
    return frame;
}

struct CapturedAnswer {
    const char* name;
    const char* sent; // the command's frame; empty for a request
    const char* answer;
    ResultRecord record;
    std::uint32_t dataLength;
};

void PrintTo(const CapturedAnswer& c, std::ostream* out)
{
    *out << c.name;
}

class CapturedAnswers : public ::testing::TestWithParam<CapturedAnswer> {};

TEST_P(CapturedAnswers, DecodeToTheirRecord)
{
    const CapturedAnswer& c = GetParam();
    const CommandFrame answer = Frame(c.answer);
    std::uint8_t page[56];
    std::memset(page, 0x5A, sizeof page);
    std::uint32_t length = 99;
    const ResultRecord record = *c.sent ? Vantri::DecodeCommandAnswer(Frame(c.sent), answer)
                                        : Vantri::DecodeRequestAnswer(answer, page, length);
    EXPECT_EQ(record, c.record);
    if (!*c.sent) {
        EXPECT_EQ(length, c.dataLength);
        EXPECT_EQ(0, std::memcmp(page, answer.data, c.dataLength));
        for (std::size_t i = c.dataLength; i < sizeof page; ++i)
            ASSERT_EQ(page[i], 0x5A) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, CapturedAnswers,
    ::testing::Values(
        CapturedAnswer{"Echo", "02 01 00 00 00 00 00 03 aa bb cc", "82 01 00 00 00 00 00 03 aa bb cc", {}, 0},
        CapturedAnswer{"EchoWithAByteBehindTheData", "02 01 00 00 00 00 00 03 aa bb cc",
                       "82 01 00 00 00 00 00 03 aa bb cc 01", {Vantri::kEchoMismatchCode, 0, 0, Vantri::kSendEchoFailure}, 0},
        CapturedAnswer{"EchoWithoutAcknowledgeIsARefusal", "0a", "0a", {Vantri::kRefusedWithoutCode, 0, 0, Vantri::kSendFailure}, 0},
        CapturedAnswer{"Refusal", "0a", "0a 00 00 05 02 34 12", {5, 2, 0x1234, Vantri::kSendFailure}, 0},
        CapturedAnswer{"InformationPage", "", "95 00 00 00 00 00 00 04 34 2e 30 30", {}, 4},
        CapturedAnswer{"FullPiece", "", "8e 07 00 00 00 00 00 38 01 02 03", {}, 56},
        CapturedAnswer{"RequestRefused", "", "15 00 00 07 02 34 12", {7, 0, 0, Vantri::kReceiveFailure}, 0},
        CapturedAnswer{"RequestWithoutData", "", "95", {Vantri::kReceiveSizeCode, 0, 0, Vantri::kReceiveSizeFailure}, 0},
        CapturedAnswer{"RequestClaiming57Bytes", "", "95 00 00 00 00 00 00 39",
                       {Vantri::kReceiveSizeCode, 57, 0, Vantri::kReceiveSizeFailure}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

// ReadDeviceInfo against the adapter model, and the firmware rules applied
// to the versions adapters report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/device_info.h"
#include "tests/native/protocol/protocol_fixture.h"

namespace {

using namespace ProtocolTest;
using Vantri::DeviceInfo;
using Vantri::UpdateOutcome;
using VantriEmu::AdapterSettings;
using VantriEmu::Fault;

class DeviceInfoTest : public BusTest {
protected:
    DeviceInfo Read(const std::string& version)
    {
        AdapterSettings settings;
        settings.version = version;
        Start(settings);
        DeviceInfo info;
        std::memset(&info, 0x77, sizeof info);
        EXPECT_EQ(Vantri::ReadDeviceInfo(info), Vantri::kResultOk);
        return info;
    }
    UpdateOutcome Rule(const std::string& version)
    {
        const DeviceInfo info = Read(version);
        return Vantri::UpdateRule(Vantri::FirmwareDateNumber(info.firmwareVersion),
                                  Vantri::FirmwareDateNumber(Vantri::kCarriedFirmwareVersion));
    }
};

TEST_F(DeviceInfoTest, PagesLandInTheirFields)
{
    const DeviceInfo info = Read("4.00.20160918");
    EXPECT_EQ(Vantri::FirmwareVersionText(info), "4.00.20160918");
    EXPECT_EQ(info.firmwareVersion[13], '\0');
    // The model's page heads are 'V' '4' page 0; page 2 carries a serial
    // number A0..AF at bytes 28 to 43; page 3 a text at 4 onward.
    const std::uint8_t head2[4] = {'V', '4', 2, 0};
    const std::uint8_t head3[4] = {'V', '4', 3, 0};
    EXPECT_EQ(0, std::memcmp(info.page2Head, head2, 4));
    EXPECT_EQ(0, std::memcmp(info.page3Head, head3, 4));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(info.page2Tail[i], 0xA0 + i);
    EXPECT_EQ(0, std::memcmp(info.page3Body, "Vantri4 loader", 14));
}

TEST_F(DeviceInfoTest, AsksForPage2ThenPage3)
{
    auto& model = Start();
    DeviceInfo info{};
    ASSERT_EQ(Vantri::ReadDeviceInfo(info), Vantri::kResultOk);
    const auto sent = Sent(model);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].command, 21);
    EXPECT_EQ(sent[0].status, 2);
    EXPECT_EQ(sent[1].command, 21);
    EXPECT_EQ(sent[1].status, 3);
    EXPECT_TRUE(model.Clean());
}

TEST_F(DeviceInfoTest, LimitDayIsTooOld)
{
    EXPECT_EQ(Rule("4.00.20141114"), UpdateOutcome::TooOld);
}

TEST_F(DeviceInfoTest, DayAfterTheLimitIsServed)
{
    EXPECT_EQ(Rule("4.00.20141115"), UpdateOutcome::UpgradeOffered);
    EXPECT_TRUE(Vantri::ConfigRuleAllows(20141115));
    EXPECT_FALSE(Vantri::ConfigRuleAllows(20141114));
}

TEST_F(DeviceInfoTest, CarriedVersionIsUpToDate)
{
    EXPECT_EQ(Rule("4.00.20160918"), UpdateOutcome::UpToDate);
}

TEST_F(DeviceInfoTest, NewerVersionIsUpToDate)
{
    EXPECT_EQ(Rule("4.01.20170101"), UpdateOutcome::UpToDate);
}

TEST_F(DeviceInfoTest, OnlyTheDateCounts)
{
    EXPECT_EQ(Rule("3.99.20150101"), UpdateOutcome::UpgradeOffered);
}

TEST_F(DeviceInfoTest, Page2WithFourBytesLeavesAnEmptyVersion)
{
    AdapterSettings settings;
    settings.page2Length = 4;
    Start(settings);
    DeviceInfo info;
    std::memset(&info, 0x77, sizeof info);
    ASSERT_EQ(Vantri::ReadDeviceInfo(info), Vantri::kResultOk);
    EXPECT_EQ(Vantri::FirmwareVersionText(info), "");
    EXPECT_EQ(Vantri::FirmwareDateNumber(info.firmwareVersion), 0u);
    EXPECT_EQ(Vantri::UpdateRule(0, 20160918), UpdateOutcome::TooOld);
}

TEST_F(DeviceInfoTest, Page3FailureReturnsPage3sRecord)
{
    AdapterSettings settings;
    settings.faults = {Fault::Refuse(21, 2, 0x44)};
    Start(settings);
    DeviceInfo info{};
    const Vantri::ResultRecord record = Vantri::ReadDeviceInfo(info);
    EXPECT_EQ(record.code, 0x44u);
    EXPECT_EQ(std::u16string(record.message), u"Receive failure");
    // Page 2 has been taken before page 3 failed.
    EXPECT_EQ(Vantri::FirmwareVersionText(info), "4.00.20160918");
}

TEST_F(DeviceInfoTest, Page2FailureClearsTheRecordAndSkipsPage3)
{
    AdapterSettings settings;
    settings.faults = {Fault::ReadFailure(21, 1, 31)};
    auto& model = Start(settings);
    DeviceInfo info;
    std::memset(&info, 0x77, sizeof info);
    EXPECT_EQ(Vantri::ReadDeviceInfo(info), Vantri::ReadTransportFailure(31));
    const DeviceInfo zero{};
    EXPECT_EQ(0, std::memcmp(&info, &zero, sizeof info));
    EXPECT_EQ(model.Counts().framesOfCommand[21], 1u);
}

TEST_F(DeviceInfoTest, UnterminatedVersionDisplaysAs24Characters)
{
    const std::string version = "4.00.20160918-abcdefghij"; // exactly 24 bytes
    ASSERT_EQ(version.size(), 24u);
    const DeviceInfo info = Read(version);
    EXPECT_EQ(Vantri::FirmwareVersionText(info), version);
    EXPECT_EQ(Vantri::FirmwareDateNumber(info.firmwareVersion), 20160918u);
}

TEST(FirmwareDateNumber, ReadsLikeStrtol)
{
    EXPECT_EQ(Vantri::FirmwareDateNumber(Vantri::kCarriedFirmwareVersion), 20160918u);
    const char spaced[24] = "4.00.  201609";
    EXPECT_EQ(Vantri::FirmwareDateNumber(spaced), 201609u);
    const char letters[24] = "4.00.2016x918";
    EXPECT_EQ(Vantri::FirmwareDateNumber(letters), 2016u);
    const char none[24] = "4.00.abcdefgh";
    EXPECT_EQ(Vantri::FirmwareDateNumber(none), 0u);
    const char shortText[24] = "4.00";
    EXPECT_EQ(Vantri::FirmwareDateNumber(shortText), 0u);
    // Only eight digits are read, whatever follows.
    const char longer[24] = "4.00.201609189999";
    EXPECT_EQ(Vantri::FirmwareDateNumber(longer), 20160918u);
}

} // namespace

#include "loader/windows_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "tests/support/loader_switch.h"
#include "tests/support/result_record_print.h"
#include "tests/support/native/scripted_hid_bus.h"

namespace {

using Vantri::CommandFrame;
using Vantri::DeviceSlot;
using Vantri::kMaxDevices;
using Vantri::ResultRecord;
using Vantri::WindowsLoader;
using VantriTest::Adapter;
using VantriTest::HidReport;
using VantriTest::OtherHid;
using VantriTest::ScriptedHidBus;
using VantriTest::ScriptedInterface;

// The table must be ready before any code runs: constant initialisation is
// checked by the compiler here.
constexpr Vantri::HidPlatform kUnboundPlatform{};
constinit WindowsLoader s_constantLoader{kUnboundPlatform};

std::u16string AdapterPath(int n)
{
    std::string narrow = "\\\\?\\hid#vid_2387&pid_0003#" + std::to_string(n) + "&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    return {narrow.begin(), narrow.end()};
}

bool IsAllZero(const DeviceSlot& slot)
{
    const DeviceSlot zero{};
    return std::equal(std::begin(slot.path), std::end(slot.path), std::begin(zero.path)) && slot.handle == nullptr &&
           slot.present == 0;
}

class WindowsLoaderTest : public ::testing::Test {
protected:
    bool Enumerate() { return loader.EnumerateDevices(count); }

    std::u16string PathIn(std::uint32_t index) const { return loader.Slot(index)->path; }

    void ExpectSlotsEmptyFrom(std::uint32_t first) const
    {
        for (std::uint32_t i = first; i < kMaxDevices; ++i)
            ASSERT_TRUE(IsAllZero(*loader.Slot(i))) << "slot " << i;
    }

    // Everything the search opened is either in the table or closed again,
    // and closing the table leaves nothing open and nothing closed twice.
    void ExpectNothingLeaked()
    {
        for (std::uint32_t i = 0; i < kMaxDevices; ++i)
            loader.CloseDevice(i);
        EXPECT_EQ(bus.OpenHandles(), 0u);
        EXPECT_EQ(bus.Opens(), bus.Closes());
        EXPECT_EQ(bus.BadCloses(), 0u);
        EXPECT_EQ(bus.ListsOutstanding(), 0u);
    }

    ScriptedHidBus bus;
    WindowsLoader loader{ScriptedHidBus::Platform()};
    std::uint32_t count = 77;
};

TEST_F(WindowsLoaderTest, FreshLoaderHasAnEmptyTable)
{
    ExpectSlotsEmptyFrom(0);
    for (std::uint32_t i = 0; i < kMaxDevices; ++i)
        ASSERT_TRUE(IsAllZero(*s_constantLoader.Slot(i)));
}

TEST_F(WindowsLoaderTest, NoAdapterTakesThreePassesAndExaminesOthersEveryPass)
{
    bus.SetInterfaces({OtherHid(u"\\\\?\\hid#keyboard"), OtherHid(u"\\\\?\\hid#mouse")});

    ASSERT_TRUE(Enumerate());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.GuidRequests(), 1u);
    EXPECT_EQ(bus.ListRequests(), 3u);
    EXPECT_EQ(bus.Sleeps(), 3u);
    EXPECT_GE(bus.SleptMs(), 75u);
    // Looked at through a handle that takes nothing, never opened exclusively.
    for (const char16_t* path : {u"\\\\?\\hid#keyboard", u"\\\\?\\hid#mouse"}) {
        EXPECT_EQ(bus.QueriesOf(path), 3u);
        EXPECT_EQ(bus.QueryClosesOf(path), 3u);
        EXPECT_EQ(bus.OpenAttemptsOf(path), 0u);
    }
    ExpectSlotsEmptyFrom(0);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, AdaptersAreNumberedInDiscoveryOrderAndOpenedOnce)
{
    bus.SetInterfaces({OtherHid(u"kbd"), Adapter(AdapterPath(7)), Adapter(AdapterPath(2)), OtherHid(u"pad"),
                       Adapter(AdapterPath(5))});

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(PathIn(0), AdapterPath(7));
    EXPECT_EQ(PathIn(1), AdapterPath(2));
    EXPECT_EQ(PathIn(2), AdapterPath(5));
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_NE(loader.Slot(i)->handle, nullptr);
        EXPECT_EQ(loader.Slot(i)->present, 1u);
    }
    EXPECT_NE(loader.Slot(0)->handle, loader.Slot(1)->handle);
    EXPECT_NE(loader.Slot(1)->handle, loader.Slot(2)->handle);
    ExpectSlotsEmptyFrom(3);

    // Found in the first pass: two more passes confirm, and adapters already
    // held are only compared by path afterwards.
    EXPECT_EQ(bus.ListRequests(), 3u);
    EXPECT_EQ(bus.QueriesOf(AdapterPath(7)), 1u);
    EXPECT_EQ(bus.OpensOf(AdapterPath(7)), 1u);
    EXPECT_EQ(bus.QueriesOf(u"kbd"), 3u);
    EXPECT_EQ(bus.OpenAttemptsOf(u"kbd"), 0u);
    EXPECT_TRUE(bus.IsOpen(AdapterPath(2)));
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, OnlyTheExactIdentityIsKept)
{
    auto withProduct = [](std::u16string path, std::u16string product) {
        ScriptedInterface i = Adapter(std::move(path));
        i.product = std::move(product);
        return i;
    };
    auto withReports = [](std::u16string path, std::uint16_t input, std::uint16_t output) {
        ScriptedInterface i = Adapter(std::move(path));
        i.inputReportBytes = input;
        i.outputReportBytes = output;
        return i;
    };
    ScriptedInterface wrongVendor = Adapter(u"vendor");
    wrongVendor.vendorId = 0x2388;
    ScriptedInterface wrongProduct = Adapter(u"product");
    wrongProduct.productId = 4;
    ScriptedInterface noAttributes = Adapter(u"noattr");
    noAttributes.attributesFail = true;
    ScriptedInterface noString = Adapter(u"nostring");
    noString.productFail = true;
    ScriptedInterface noLengths = Adapter(u"nolengths");
    noLengths.lengthsFail = true;

    // The look-alikes: the adapter's ids and name, other reports (or none
    // that can be read). Each is passed over and noted once for the log.
    const std::vector<ScriptedInterface> lookAlikes{
        withReports(u"reports33", 33, 33),
        withReports(u"input33", 33, 65),
        withReports(u"output33", 65, 33),
        withReports(u"reports64", 64, 64),
        withReports(u"noOutput", 65, 0),
        noLengths,
    };
    std::vector<ScriptedInterface> rejected{
        withProduct(u"lower", u"vantri4"),
        withProduct(u"upper", u"VANTRI4"),
        withProduct(u"space", u"Vantri4 "),
        withProduct(u"longer", u"Vantri4 Pro"),
        withProduct(u"shorter", u"Vantri"),
        withProduct(u"empty", u""),
        // Fills the 32-unit buffer with no room for a terminator.
        withProduct(u"full", u"Vantri4" + std::u16string(25, u'x')),
        wrongVendor,
        wrongProduct,
        noAttributes,
        noString,
    };
    rejected.insert(rejected.end(), lookAlikes.begin(), lookAlikes.end());
    std::vector<ScriptedInterface> present = rejected;
    present.push_back(Adapter(u"real"));
    bus.SetInterfaces(present);

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(PathIn(0), u"real");
    // Only the match is opened exclusively; everything else is looked at in
    // every pass through a handle that takes nothing.
    for (const ScriptedInterface& i : rejected) {
        const std::string name(i.path.begin(), i.path.end());
        EXPECT_EQ(bus.QueriesOf(i.path), 3u) << name;
        EXPECT_EQ(bus.QueryClosesOf(i.path), 3u) << name;
        EXPECT_EQ(bus.OpenAttemptsOf(i.path), 0u) << name;
    }
    EXPECT_EQ(bus.OpenAttemptsOf(u"real"), 1u);
    // The no-access handle reads every attribute: the adapter's ids, its name
    // and its report lengths, once each in the pass that found it.
    EXPECT_EQ(bus.QueryReadsOf(u"real"), (ScriptedHidBus::DescriptionReads{1, 1, 1}));
    EXPECT_EQ(bus.QueryReadsOf(u"reports33"), (ScriptedHidBus::DescriptionReads{3, 3, 3}));
    EXPECT_EQ(bus.ReadsThroughExclusive(), 0u);

    const auto passedOver = loader.PassedOver();
    ASSERT_EQ(passedOver.size(), lookAlikes.size());
    for (std::size_t n = 0; n < lookAlikes.size(); ++n) {
        EXPECT_EQ(std::u16string(passedOver[n].path), lookAlikes[n].path);
        const bool known = !lookAlikes[n].lengthsFail;
        EXPECT_EQ(passedOver[n].inputBytes, known ? lookAlikes[n].inputReportBytes : 0u);
        EXPECT_EQ(passedOver[n].outputBytes, known ? lookAlikes[n].outputReportBytes : 0u);
    }
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, AdapterHeldByAnotherProgramIsSkippedWithoutRestart)
{
    ScriptedInterface held = Adapter(AdapterPath(1));
    held.heldElsewhere = true;
    bus.SetInterfaces({held, Adapter(AdapterPath(2))});

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(PathIn(0), AdapterPath(2));
    EXPECT_EQ(bus.OpenAttemptsOf(AdapterPath(1)), 3u);
    EXPECT_EQ(bus.ListRequests(), 3u);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, UnpluggedAdapterRestartsTheSearchFromAnEmptyTable)
{
    const auto a = Adapter(AdapterPath(1));
    const auto b = Adapter(AdapterPath(2));
    const auto c = Adapter(AdapterPath(3));
    bus.SetPasses({{a, b, c}, {b, c}});

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 2u);
    // Renumbered from 0: b was slot 1 before the restart.
    EXPECT_EQ(PathIn(0), AdapterPath(2));
    EXPECT_EQ(PathIn(1), AdapterPath(3));
    ExpectSlotsEmptyFrom(2);
    // Every handle was closed at the restart and the survivors opened anew;
    // then three passes, as after any search that starts over.
    EXPECT_EQ(bus.ClosesOf(AdapterPath(1)), 1u);
    EXPECT_EQ(bus.OpensOf(AdapterPath(2)), 2u);
    EXPECT_EQ(bus.ClosesOf(AdapterPath(2)), 1u);
    EXPECT_EQ(bus.ListRequests(), 5u);
    EXPECT_EQ(bus.Sleeps(), 5u);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, LosingTheOnlyAdapterStillSearchesThreeMorePasses)
{
    bus.SetPasses({{Adapter(AdapterPath(1))}, {}});

    ASSERT_TRUE(Enumerate());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.ListRequests(), 5u);
    ExpectSlotsEmptyFrom(0);
    ExpectNothingLeaked();
}

// Passes in which `flicker` is listed and missing by turns, `leaves` times,
// with `stays` listed throughout; then both for good.
std::vector<std::vector<ScriptedInterface>> LeavingAndComing(const ScriptedInterface& flicker,
                                                             const ScriptedInterface& stays, std::uint32_t leaves)
{
    std::vector<std::vector<ScriptedInterface>> passes;
    for (std::uint32_t i = 0; i < leaves; ++i) {
        passes.push_back({flicker, stays});
        passes.push_back({stays});
    }
    passes.push_back({flicker, stays});
    return passes;
}

TEST_F(WindowsLoaderTest, AnAdapterThatKeepsLeavingEndsTheSearchWithNoAdapterAfterTheLastRestart)
{
    const auto flicker = Adapter(AdapterPath(1));
    const auto stays = Adapter(AdapterPath(2));
    // Twenty departures: without a bound the search would restart twenty
    // times and then keep both.
    bus.SetPasses(LeavingAndComing(flicker, stays, 20));

    ASSERT_TRUE(Enumerate());
    EXPECT_EQ(count, 0u);
    // Each round is two passes: found, then missed, and the search restarts.
    EXPECT_EQ(bus.ListRequests(), 2 * (Vantri::kMaxSearchRestarts + 1));
    EXPECT_EQ(bus.OpensOf(AdapterPath(1)), Vantri::kMaxSearchRestarts + 1);
    EXPECT_EQ(bus.OpenHandles(), 0u);
    ExpectSlotsEmptyFrom(0);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, AsManyRestartsAsTheBoundAllowsStillFindTheAdapters)
{
    bus.SetPasses(LeavingAndComing(Adapter(AdapterPath(1)), Adapter(AdapterPath(2)), Vantri::kMaxSearchRestarts));

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(PathIn(0), AdapterPath(1));
    EXPECT_EQ(bus.ListRequests(), 2 * Vantri::kMaxSearchRestarts + 3);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, AdapterArrivingLateExtendsTheSearch)
{
    bus.SetPasses({{OtherHid(u"kbd")}, {OtherHid(u"kbd"), Adapter(AdapterPath(1))}});

    ASSERT_TRUE(Enumerate());
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(bus.ListRequests(), 4u);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, PathsBeyond257CharactersAreSkipped)
{
    const std::u16string longest = u"\\\\?\\hid#" + std::u16string(257 - 8, u'a');
    const std::u16string tooLong = u"\\\\?\\hid#" + std::u16string(258 - 8, u'b');
    ASSERT_EQ(longest.size(), 257u);
    bus.SetInterfaces({Adapter(tooLong), Adapter(longest)});

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(PathIn(0), longest);
    EXPECT_EQ(bus.QueriesOf(tooLong), 0u);
    EXPECT_EQ(bus.OpenAttemptsOf(tooLong), 0u);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, The257thAdapterIsOpenedAndClosedAgain)
{
    std::vector<ScriptedInterface> adapters;
    for (int i = 0; i <= 256; ++i)
        adapters.push_back(Adapter(AdapterPath(i)));
    bus.SetInterfaces(adapters);

    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 256u);
    for (std::uint32_t i = 0; i < kMaxDevices; ++i)
        ASSERT_EQ(PathIn(i), AdapterPath(static_cast<int>(i)));
    EXPECT_EQ(bus.OpensOf(AdapterPath(256)), 3u);
    EXPECT_EQ(bus.ClosesOf(AdapterPath(256)), 3u);
    EXPECT_EQ(bus.OpenHandles(), 256u);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, ListUnavailableAtOnceFailsWithNothingOpen)
{
    bus.SetInterfaces({Adapter(AdapterPath(1))});
    bus.FailListFrom(0);

    EXPECT_FALSE(Enumerate());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.Opens(), 0u);
    ExpectSlotsEmptyFrom(0);
}

TEST_F(WindowsLoaderTest, ListUnavailableInALaterPassClosesWhatEarlierPassesOpened)
{
    bus.SetInterfaces({Adapter(AdapterPath(1)), Adapter(AdapterPath(2))});
    bus.FailListFrom(1);

    EXPECT_FALSE(Enumerate());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.Opens(), 2u);
    EXPECT_EQ(bus.OpenHandles(), 0u);
    EXPECT_FALSE(bus.IsOpen(AdapterPath(1)));
    ExpectSlotsEmptyFrom(0);
    ExpectNothingLeaked();
}

TEST_F(WindowsLoaderTest, MissingHidServicesFailTheSearchCleanly)
{
    bus.SetInterfaces({Adapter(AdapterPath(1))});
    bus.FailHidServices();

    EXPECT_FALSE(Enumerate());
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bus.ListRequests(), 0u);
    EXPECT_EQ(bus.Opens(), 0u);
}

TEST_F(WindowsLoaderTest, SearchingAgainReleasesTheFirstSearchsHandles)
{
    bus.SetInterfaces({Adapter(AdapterPath(1)), Adapter(AdapterPath(2))});
    ASSERT_TRUE(Enumerate());
    ASSERT_EQ(count, 2u);

    // The handles are exclusive: were they kept, the adapters could not be
    // opened again and would seem absent.
    ASSERT_TRUE(Enumerate());
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bus.OpenHandles(), 2u);
    ExpectNothingLeaked();
}

// An adapter that speaks as it is opened, before anyone asks: a report shaped
// like the answer to information page 2. Whether the system drops what waits
// (Windows) or refuses to (Wine: the loader reads it away without waiting),
// the first request gets its own answer, not the one that was waiting.
TEST_F(WindowsLoaderTest, ReportsWaitingAfterTheOpenAreNotTakenForTheFirstAnswer)
{
    const auto answer = [](std::uint8_t fill) {
        HidReport report{};
        report[1] = 21 | Vantri::kAcknowledgeBit;
        report[8] = Vantri::kFrameDataSize;
        std::fill(report.begin() + 9, report.end(), fill);
        return report;
    };
    const struct {
        const char* what;
        bool flushRefused;
        std::size_t waiting;
    } rows[] = {
        {"dropped by the system", false, 1},
        {"flush refused", true, 1},
        {"flush refused, several waiting", true, 5},
    };
    for (const auto& row : rows) {
        ScriptedHidBus rowBus;
        ScriptedInterface adapter = Adapter(AdapterPath(0));
        adapter.unasked.assign(row.waiting, answer(0xAA));
        rowBus.SetInterfaces({adapter});
        if (row.flushRefused)
            rowBus.RefuseFlush();
        WindowsLoader rowLoader{ScriptedHidBus::Platform()};
        std::uint32_t found = 0;
        ASSERT_TRUE(rowLoader.EnumerateDevices(found)) << row.what;
        ASSERT_EQ(found, 1u) << row.what;
        // Read away only where the system would not drop them, and without
        // waiting: the last read finds nothing.
        EXPECT_EQ(rowBus.Transfers(), row.flushRefused ? row.waiting + 1 : 0u) << row.what;
        EXPECT_EQ(rowBus.LastTimeoutMs(), 0u) << row.what;

        rowBus.QueueInput(AdapterPath(0), answer(0x55));
        VantriTest::ScopedLoader bound(rowLoader);
        std::uint8_t data[Vantri::kFrameDataSize];
        std::uint32_t length = 0;
        ASSERT_EQ(Vantri::ReceiveData(21, 0, 2, data, length), Vantri::kResultOk) << row.what;
        ASSERT_EQ(length, Vantri::kFrameDataSize) << row.what;
        EXPECT_TRUE(std::all_of(std::begin(data), std::end(data), [](std::uint8_t b) { return b == 0x55; }))
            << row.what << ": the answer taken was the one waiting since the open";
        rowLoader.CloseDevice(0);
        EXPECT_EQ(rowBus.OpenHandles(), 0u) << row.what;
    }
}

class WindowsLoaderWithAdaptersTest : public WindowsLoaderTest {
protected:
    void SetUp() override
    {
        bus.SetInterfaces({Adapter(AdapterPath(0)), Adapter(AdapterPath(1))});
        ASSERT_TRUE(Enumerate());
        ASSERT_EQ(count, 2u);
    }
    void TearDown() override { ExpectNothingLeaked(); }

    static CommandFrame SampleFrame()
    {
        CommandFrame frame{};
        frame.command = 21;
        frame.length = 56;
        for (std::uint32_t i = 0; i < Vantri::kFrameDataSize; ++i)
            frame.data[i] = static_cast<std::uint8_t>(i + 1);
        return frame;
    }
};

TEST_F(WindowsLoaderWithAdaptersTest, CloseDeviceTwiceClosesOnce)
{
    const DeviceSlot before = *loader.Slot(0);
    loader.CloseDevice(0);
    loader.CloseDevice(0);

    EXPECT_EQ(bus.ClosesOf(AdapterPath(0)), 1u);
    EXPECT_EQ(bus.BadCloses(), 0u);
    const DeviceSlot& closed = *loader.Slot(0);
    EXPECT_EQ(closed.handle, nullptr);
    EXPECT_EQ(closed.path[0], 0);
    EXPECT_EQ(closed.path[1], before.path[1]);
    EXPECT_EQ(closed.present, 1u);
    EXPECT_TRUE(bus.IsOpen(AdapterPath(1)));
    EXPECT_EQ(PathIn(1), AdapterPath(1));
}

TEST_F(WindowsLoaderWithAdaptersTest, IndicesOutsideTheTableAreRefusedWithoutTouchingIt)
{
    for (std::uint32_t index : {kMaxDevices, kMaxDevices + 1, 0xFFFFFFFFu}) {
        loader.CloseDevice(index);
        CommandFrame destination = SampleFrame();
        EXPECT_EQ(loader.WriteReport(index, SampleFrame()), Vantri::WriteTransportFailure(Vantri::kErrorInvalidHandle));
        EXPECT_EQ(loader.ReadReport(index, destination, 10000),
                  Vantri::ReadTransportFailure(Vantri::kErrorInvalidHandle));
    }
    EXPECT_EQ(bus.Transfers(), 0u);
    EXPECT_EQ(bus.Closes(), 0u);
}

TEST_F(WindowsLoaderWithAdaptersTest, ReportsOnAClosedOrEmptySlotCarryTheInvalidHandleCode)
{
    loader.CloseDevice(0);
    for (std::uint32_t index : {0u, 2u, 255u}) {
        const ResultRecord written = loader.WriteReport(index, SampleFrame());
        EXPECT_EQ(written.code, Vantri::kErrorInvalidHandle);
        EXPECT_EQ(written.detail1, 0u);
        EXPECT_EQ(written.detail2, 0u);
        EXPECT_EQ(std::u16string(written.message), u"Write transport failure");

        const CommandFrame sample = SampleFrame();
        CommandFrame destination = sample;
        const ResultRecord read = loader.ReadReport(index, destination, 10000);
        EXPECT_EQ(read.code, Vantri::kErrorInvalidHandle);
        EXPECT_EQ(std::u16string(read.message), u"Read transport failure");
        EXPECT_EQ(std::memcmp(&destination, &sample, sizeof destination), 0);
    }
    // The neighbour is unaffected.
    EXPECT_EQ(loader.WriteReport(1, SampleFrame()), Vantri::kResultOk);
}

TEST_F(WindowsLoaderWithAdaptersTest, WriteSendsReportIdZeroThenThePayloadWithinTheTimeLimit)
{
    const CommandFrame frame = SampleFrame();
    ASSERT_EQ(loader.WriteReport(1, frame), Vantri::kResultOk);

    ASSERT_EQ(bus.Written(AdapterPath(1)).size(), 1u);
    EXPECT_TRUE(bus.Written(AdapterPath(0)).empty());
    const HidReport& report = bus.Written(AdapterPath(1)).front();
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(std::memcmp(report.data() + 1, &frame, sizeof frame), 0);
    EXPECT_EQ(bus.LastTimeoutMs(), Vantri::kWriteTimeoutMs);
}

TEST_F(WindowsLoaderWithAdaptersTest, ReadIgnoresTheReportIdAndCopiesThePayload)
{
    HidReport report{};
    report[0] = 0x5A;
    for (std::size_t i = 1; i < report.size(); ++i)
        report[i] = static_cast<std::uint8_t>(0xC0 + i);
    bus.QueueInput(AdapterPath(0), report);

    CommandFrame destination{};
    ASSERT_EQ(loader.ReadReport(0, destination, 4321), Vantri::kResultOk);
    EXPECT_EQ(std::memcmp(&destination, report.data() + 1, sizeof destination), 0);
    EXPECT_EQ(bus.LastTimeoutMs(), 4321u);
}

TEST_F(WindowsLoaderWithAdaptersTest, ShortTransfersThatSucceededStillFail)
{
    bus.ScriptWrites(AdapterPath(0), {0, 64});
    bus.ScriptReads(AdapterPath(0), {0, 10});

    EXPECT_EQ(loader.WriteReport(0, SampleFrame()), Vantri::WriteTransportFailure(Vantri::kErrorWriteFault));
    const CommandFrame sample = SampleFrame();
    CommandFrame destination = sample;
    EXPECT_EQ(loader.ReadReport(0, destination, 10000), Vantri::ReadTransportFailure(Vantri::kErrorReadFault));
    EXPECT_EQ(std::memcmp(&destination, &sample, sizeof destination), 0);
}

TEST_F(WindowsLoaderWithAdaptersTest, SystemErrorsAndTimeOutsArePassedUp)
{
    bus.ScriptWrites(AdapterPath(0), {Vantri::kErrorDeviceNotConnected, 0});
    EXPECT_EQ(loader.WriteReport(0, SampleFrame()), Vantri::WriteTransportFailure(Vantri::kErrorDeviceNotConnected));

    // Nothing queued: the adapter stays silent and the read's limit passes.
    const CommandFrame sample = SampleFrame();
    CommandFrame destination = sample;
    EXPECT_EQ(loader.ReadReport(1, destination, 10000), Vantri::ReadTransportFailure(Vantri::kErrorTimeout));
    EXPECT_EQ(std::memcmp(&destination, &sample, sizeof destination), 0);
}

TEST_F(WindowsLoaderWithAdaptersTest, AWriteLimitGivenAtConstructionReachesEveryWrite)
{
    WindowsLoader quick{ScriptedHidBus::Platform(), 250};
    // Its own search: release ours first, the handles are exclusive.
    loader.CloseDevice(0);
    loader.CloseDevice(1);
    std::uint32_t found = 0;
    ASSERT_TRUE(quick.EnumerateDevices(found));
    ASSERT_EQ(found, 2u);

    ASSERT_EQ(quick.WriteReport(0, SampleFrame()), Vantri::kResultOk);
    EXPECT_EQ(bus.LastTimeoutMs(), 250u);
    CommandFrame destination{};
    EXPECT_EQ(quick.ReadReport(0, destination, 750).code, Vantri::kErrorTimeout);
    EXPECT_EQ(bus.LastTimeoutMs(), 750u);
    quick.CloseDevice(0);
    quick.CloseDevice(1);
}

TEST_F(WindowsLoaderWithAdaptersTest, CarriesTheCommandLayersExchanges)
{
    VantriTest::ScopedLoader bound(loader);
    // The adapter's answer: the frame echoed with the acknowledge bit.
    CommandFrame echo{};
    echo.command = 1 | Vantri::kAcknowledgeBit;
    HidReport answer{};
    std::memcpy(answer.data() + 1, &echo, sizeof echo);
    bus.QueueInput(AdapterPath(1), answer);

    EXPECT_EQ(Vantri::SendCommand(1, 1, 0, nullptr, 0), Vantri::kResultOk);
    ASSERT_EQ(bus.Written(AdapterPath(1)).size(), 1u);
    EXPECT_EQ(bus.Written(AdapterPath(1)).front()[1], 1);
}

// The answer to each command waits as long as that command may take: the
// data and read frames and the information pages 10 s, every begin, end and
// erase (the adapter may erase or commit flash first) 60 s.
TEST_F(WindowsLoaderWithAdaptersTest, EachCommandsAnswerWaitsTheLimitOfItsKind)
{
    VantriTest::ScopedLoader bound(loader);
    constexpr std::uint32_t kFrame = 10000;
    constexpr std::uint32_t kFlash = 60000;
    const std::pair<std::uint8_t, std::uint32_t> sent[] = {
        {1, kFlash}, {2, kFrame},  {3, kFlash},  {4, kFlash},  {5, kFrame},  {6, kFlash},
        {7, kFlash}, {8, kFrame},  {9, kFlash},  {10, kFlash}, {11, kFlash}, {13, kFlash},
        {16, kFlash}, {27, kFlash}, {28, kFrame}, {29, kFlash},
    };
    // No answer queued: each read ends at once as a time-out, having been
    // asked to wait its limit.
    for (const auto& [command, limit] : sent) {
        EXPECT_EQ(Vantri::SendCommand(1, command, 1, nullptr, 0).code, Vantri::kErrorTimeout) << int{command};
        EXPECT_EQ(bus.LastTimeoutMs(), limit) << "command " << int{command};
    }
    const std::pair<std::uint8_t, std::uint8_t> requested[] = {{14, 0}, {21, 2}, {21, 3}};
    for (const auto& [command, argument] : requested) {
        std::uint8_t data[Vantri::kFrameDataSize];
        std::uint32_t length = 0;
        EXPECT_EQ(Vantri::ReceiveData(command, 1, argument, data, length).code, Vantri::kErrorTimeout);
        EXPECT_EQ(bus.LastTimeoutMs(), kFrame) << "command " << int{command};
    }
    EXPECT_EQ(bus.Written(AdapterPath(1)).size(), std::size(sent));
    EXPECT_EQ(bus.Written(AdapterPath(0)).size(), std::size(requested));
}

} // namespace

// The restore from the click to the program's exit: adapter models, the
// scripted window with its files, and a scripted update host serving the
// version file and a games database built for the case.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/restore_workflow.h"
#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "restore/config_image.h"
#include "restore/download.h"
#include "restore/restore_buffers.h"
#include "restore/update_host.h"
#include "tests/native/engine/app_fixture.h"
#include "tests/native/restore/restore_fixture.h"
#include "tests/support/games_database_builder.h"
#include "tests/support/native/scripted_http_session.h"

namespace VantriTest {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using VantriEmu::Fault;

const std::u16string kDomain = Vantri::kMakerDomain;
const std::u16string kNoAdapter =
    u"Failure connecting to Vantri4.\n\nPlease be sure your Vantri4 is connected to your PC without any devices "
    u"attached to it and it is displaying a solid blue light.";
const std::u16string kReadInfoFailed =
    u"There was an error reading your Vantri4. Please reconnect your Vantri4 and try again.";
const std::u16string kOutOfDate = u"Your Vantri4 can't be restored since it has firmware that is out-of-date.";
const std::u16string kQuestion = u"WARNING! Restoring will erase any existing configs on your Vantri4.\n\nContinue?";
const std::u16string kAccess = u"Unable to access specified file location for restore.";
const std::u16string kUnreadable = u"Unable to read backup at specified file location.";
const std::u16string kDownloadFailed =
    u"There was an error downloading required files from " + kDomain + u" which is preventing restore from completing.";
const std::u16string kInvalidBackup =
    u"Invalid config values were found in the backup.\n\nThe backup file looks invalid/corrupt.";
const std::u16string kDone =
    u"Your Vantri4 was successfully restored!\n\nOn next startup, your Vantri4 will take extra time to finalize "
    u"restored configs.\n\nIt is now safe to remove it from your PC.";
const std::u16string kFailed =
    u"There was an error restoring your Vantri4.\n\nPlease check the connection to your Vantri4 and try again.";
const std::string kDownloadingStatus = "text 1002 Downloading games database from " + Narrow(kDomain) + " ...\n";

const std::u16string kBackupPath = u"C:\\Backups\\mine.vtcb";
const std::u16string kDatabasePath = u"/Vantri4/GamesDB.bin";
// Games 200, 201, ... in the database; entry i of a backup names game 200 + i
// with kind i % 4.
constexpr std::uint16_t kFirstGame = 200;
constexpr std::uint32_t kGamesInDatabase = 24;

struct ExpectedBox {
    BoxKind kind;
    std::u16string caption;
    std::u16string text;
};

Bytes VersionFile(const std::u16string& host = Vantri::kUpdateHost)
{
    const std::string line = "http://" + Narrow(host) + Narrow(kDatabasePath) + "\n";
    return Bytes(line.begin(), line.end());
}

void PutU32(Bytes& bytes, std::size_t offset, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

Bytes Database()
{
    GamesDatabaseBuilder builder(kGamesInDatabase);
    for (std::uint32_t r = 0; r < kGamesInDatabase; ++r)
        builder.SetGame(r, kFirstGame + r);
    return builder.Bytes();
}

// A backup as the backup workflow writes it: zeros in the preserved area, a
// stale block count, bytes that mean nothing to the restore elsewhere, and
// `inUse` entries before the first free one.
Bytes Backup(std::size_t inUse)
{
    Bytes image(Vantri::kConfigImageSize);
    for (std::size_t i = Vantri::kPreservedAreaSize; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    for (std::size_t e = 0; e < Vantri::kConfigEntryCount; ++e) {
        const auto game = static_cast<std::uint16_t>(kFirstGame + e);
        PutEntry(image.data(), e, {static_cast<std::uint8_t>(e < inUse ? 1 : 0), game, static_cast<std::uint8_t>(e % 4)});
    }
    return image;
}

// What the adapter must hold after restoring `backup`: its own first 3,040
// bytes, the number of blocks placed, and the backup's bytes from 3,044 on.
Bytes ExpectedConfigArea(const Bytes& adapterBefore, const Bytes& backup, std::uint32_t blockCount)
{
    Bytes expected = backup;
    expected.resize(Vantri::kConfigImageSize);
    std::copy_n(adapterBefore.begin(), Vantri::kPreservedAreaSize, expected.begin());
    PutU32(expected, Vantri::kBlockCountOffset, blockCount);
    return expected;
}

// The two regions for entries 0 to inUse - 1 of Backup(): each entry's two
// blocks as the builder made them, in the slot that belongs to it.
std::pair<Bytes, Bytes> ExpectedRegions(std::size_t inUse)
{
    Bytes primary(Vantri::kPrimaryRegionSize);
    Bytes overflow(Vantri::kOverflowRegionSize);
    for (std::size_t e = 0; e < inUse; ++e) {
        const BlockData first = BlockPattern(kFirstGame + e, e % 4, 0);
        const BlockData second = BlockPattern(kFirstGame + e, e % 4, 1);
        if (e < 16) {
            std::copy(first.begin(), first.end(), primary.begin() + 16384 * e);
            std::copy(second.begin(), second.end(), primary.begin() + 16384 * e + 8192);
        } else {
            std::copy(first.begin(), first.end(), overflow.begin() + 10912 * (e - 16));
            std::copy(second.begin(), second.end(), overflow.begin() + 10912 * (e - 16) + 5456);
        }
    }
    return {primary, overflow};
}

// Everything a restore run needs, arranged before the click.
struct Arrangement {
    std::vector<VantriEmu::AdapterSettings> adapters{AdapterWithVersion("4.00.20141115")};
    std::vector<BoxAnswer> answers{BoxAnswer::Yes};
    std::vector<std::optional<std::u16string>> dialogs{kBackupPath};
    std::optional<Bytes> file = Backup(3); // nullopt: no file of the chosen name
    Bytes versionFile = VersionFile();
    Bytes database = Database();
    std::vector<std::uint32_t> databaseReads{4096};
    Bytes firmware; // the carried image, for runs that flash
};

// A run of the program with its own update host. The host outlives the
// program, whose download workers it serves.
struct RestoreRun {
    explicit RestoreRun(const Arrangement& setup) : run(setup.adapters, setup.answers, setup.firmware)
    {
        http.Serve(Vantri::kVersionFilePath, OkResponse(setup.versionFile));
        http.Serve(kDatabasePath, OkResponse(setup.database, setup.databaseReads));
        run.window.AnswerFileDialogs(setup.dialogs);
        if (setup.file)
            run.window.files.AddFile(kBackupPath, *setup.file);
        else
            run.window.files.AddFolder(u"C:\\Backups\\");
        Vantri::ResetRun();
    }
    ~RestoreRun() { Vantri::ResetRun(); }

    bool Click() { return run.Click(IDC_RESTORE_CONFIGS); }
    ScriptedWindow& Window() { return run.window; }
    VantriEmu::AdapterModel& Adapter(std::uint32_t n) { return run.Adapter(n); }

    ScriptedHttpSession http;
    ProgramRun run;
};

void ExpectBoxes(const std::vector<BoxRecord>& boxes, const std::vector<ExpectedBox>& expected)
{
    ASSERT_EQ(boxes.size(), expected.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(boxes[i].kind, expected[i].kind);
        EXPECT_EQ(boxes[i].caption, expected[i].caption);
        EXPECT_EQ(boxes[i].text, expected[i].text);
    }
}

bool HasEvent(const EventList& events, const std::string& event)
{
    return std::find(events.begin(), events.end(), event) != events.end();
}

std::size_t EventAt(const EventList& events, const std::string& event)
{
    return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
}

EventList Tail(const EventList& events, std::size_t n)
{
    return EventList(events.end() - static_cast<std::ptrdiff_t>(std::min(n, events.size())), events.end());
}

// The bar's positions split where it moves back: one run per transfer.
std::vector<std::vector<std::uint32_t>> ProgressRuns(const EventList& events)
{
    std::vector<std::vector<std::uint32_t>> runs;
    for (const std::string& event : events) {
        if (event.rfind("progress ", 0) != 0)
            continue;
        const auto position = static_cast<std::uint32_t>(std::stoul(event.substr(9)));
        if (runs.empty() || position < runs.back().back())
            runs.emplace_back();
        runs.back().push_back(position);
    }
    return runs;
}

bool NothingWritten(const VantriEmu::AdapterModel& adapter)
{
    const auto counts = adapter.Counts();
    return counts.framesOfCommand[4] == 0 && counts.framesOfCommand[7] == 0 && counts.framesOfCommand[27] == 0;
}

const ExpectedBox kQuestionBox{BoxKind::Question, u"Vantri4 Restore", kQuestion};

// --- Every way a restore ends without writing the adapter, and every way the
// worker fails ---

TEST(RestoreWorkflowTest, EveryFailureEndsWithItsBoxInItsOrder)
{
    // What is written when the worker fails: "read" none of the three
    // stores, "config" the config area and the primary region's begin,
    // "regions" the config area and the primary region whole.
    enum class Written { Nothing, AfterRead, ConfigArea, BothRegions };
    struct Row {
        const char* name;
        std::function<void(Arrangement&)> arrange;
        std::function<void(RestoreRun&)> before; // after the run is made, before the click
        std::vector<ExpectedBox> boxes;
        EventList tail;
        bool locked;
        std::size_t requests;
        Written written = Written::Nothing;
    };
    const ExpectedBox downloadBox{BoxKind::Error, u"Unable to restore Vantri4", kDownloadFailed};
    const ExpectedBox invalidBox{BoxKind::Error, u"Unable to restore Vantri4", kInvalidBackup};
    const ExpectedBox failedBox{BoxKind::Error, u"Unable to restore Vantri4", kFailed};
    const EventList closeBoxDestroy{"close 0", "box error Unable to restore Vantri4", "destroy", "quit 0"};
    auto nothing = [](RestoreRun&) {};
    // The records whole, the blocks they name cut off.
    auto truncated = [](Arrangement& s) { s.database.resize(GamesDatabaseBuilder::RecordOffset(kGamesInDatabase) + 100); };

    const Row rows[] = {
        {"no adapter", [](Arrangement& s) { s.adapters.clear(); }, nothing,
         {{BoxKind::Error, u"Unable to find Vantri4", kNoAdapter}},
         {"enumerate 0", "box error Unable to find Vantri4", "close 0", "destroy", "quit 0"}, false, 0},
        {"device information unreadable",
         [](Arrangement& s) { s.adapters[0].faults = {Fault::Refuse(21, 2, 0x05)}; }, nothing,
         {{BoxKind::Error, u"Unable to restore Vantri4", kReadInfoFailed}},
         {"enumerate 1", "box error Unable to restore Vantri4", "close 0", "destroy", "quit 0"}, false, 0},
        // The last date of the old config format: refused before any
        // question, with the buttons still enabled.
        {"firmware at the limit", [](Arrangement& s) { s.adapters[0].version = "4.00.20141114"; }, nothing,
         {{BoxKind::Information, u"Vantri4 Restore", kOutOfDate}},
         {"enumerate 1", "box information Vantri4 Restore", "close 0", "destroy", "quit 0"}, false, 0},
        {"No", [](Arrangement& s) { s.answers = {BoxAnswer::No}; }, nothing, {kQuestionBox},
         {"show 1001", "box question Vantri4 Restore", "close 0", "destroy", "quit 0"}, true, 0},
        // A question box the system could not show has not been agreed to.
        {"question box not shown", [](Arrangement& s) { s.answers = {BoxAnswer::None}; }, nothing, {kQuestionBox},
         {"show 1001", "box question Vantri4 Restore", "close 0", "destroy", "quit 0"}, true, 0},
        {"dialog cancelled", [](Arrangement& s) { s.dialogs = {std::nullopt}; }, nothing, {kQuestionBox},
         {"open dialog Choose Vantri4 Backup File to Restore", "dialog cancelled", "close 0", "destroy", "quit 0"},
         true, 0},
        {"file cannot be opened", [](Arrangement& s) { s.file = std::nullopt; }, nothing,
         {kQuestionBox, {BoxKind::Error, u"Restore Failed", kAccess}},
         {"file open C:\\Backups\\mine.vtcb failed 2", "box error Restore Failed", "close 0", "destroy", "quit 0"},
         true, 0},
        {"file cannot be read", [](Arrangement&) {},
         [](RestoreRun& r) { r.Window().files.Fail(ScriptedFiles::Call::Read); },
         {kQuestionBox, {BoxKind::Error, u"Restore Failed", kUnreadable}},
         {"file read 65536 failed", "file close", "box error Restore Failed", "close 0", "destroy", "quit 0"}, true,
         0},
        {"version file download fails", [](Arrangement&) {}, [](RestoreRun& r) { r.http.FailCall(HttpCall::Send, 0); },
         {kQuestionBox, downloadBox}, closeBoxDestroy, true, 1},
        {"database download fails", [](Arrangement&) {}, [](RestoreRun& r) { r.http.FailCall(HttpCall::Send, 1); },
         {kQuestionBox, downloadBox}, closeBoxDestroy, true, 2},
        // The version file names another host: no second request is made.
        {"version file without the update host", [](Arrangement& s) { s.versionFile = VersionFile(u"elsewhere.example"); },
         nothing, {kQuestionBox, downloadBox}, closeBoxDestroy, true, 1},
        // A bad download, not a bad backup: the same text as a failed one.
        {"truncated database", truncated, nothing, {kQuestionBox, downloadBox}, closeBoxDestroy, true, 2},
        {"record count past the end",
         [](Arrangement& s) {
             // One record more than the bytes after the header can hold.
             const auto fits = static_cast<std::uint32_t>((s.database.size() - Vantri::kRecordTableOffset) / 32);
             PutU32(s.database, Vantri::kRecordCountOffset, fits + 1);
         },
         nothing, {kQuestionBox, downloadBox}, closeBoxDestroy, true, 2},
        // A bad backup: the box, then the window, then the adapter.
        {"game missing from the database",
         [](Arrangement& s) { PutEntry(s.file->data(), 1, {1, 4000, 0}); }, nothing, {kQuestionBox, invalidBox},
         {"box error Unable to restore Vantri4", "destroy", "quit 0", "close 0"}, true, 2},
        {"kind 9", [](Arrangement& s) { PutEntry(s.file->data(), 2, {1, kFirstGame + 2, 9}); }, nothing,
         {kQuestionBox, invalidBox}, {"box error Unable to restore Vantri4", "destroy", "quit 0", "close 0"}, true, 2},
        // The worker's three transfers.
        {"config area read refused", [](Arrangement& s) { s.adapters[0].faults = {Fault::Refuse(14, 100, 0x09)}; },
         nothing, {kQuestionBox, failedBox}, closeBoxDestroy, true, 2, Written::AfterRead},
        {"primary region refused", [](Arrangement& s) { s.adapters[0].faults = {Fault::Refuse(8, 100, 0x09)}; }, nothing,
         {kQuestionBox, failedBox}, closeBoxDestroy, true, 2, Written::ConfigArea},
        {"overflow region refused", [](Arrangement& s) { s.adapters[0].faults = {Fault::Refuse(28, 5, 0x09)}; }, nothing,
         {kQuestionBox, failedBox}, closeBoxDestroy, true, 2, Written::BothRegions},
        // The pool refuses the worker (calls 0 and 1 were the downloads):
        // the failure box, not a window that waits for ever.
        {"restore worker not queued", [](Arrangement&) {}, [](RestoreRun& r) { r.Window().RefuseQueueCall(2); },
         {kQuestionBox, failedBox},
         {"queue refused 0", "close 0", "box error Unable to restore Vantri4", "destroy", "quit 0"}, true, 2},
    };

    // What the diagnostics log keeps of each, beyond the box: the failing
    // command and its codes, the download's address and status, the file.
    const std::string host = "http://" + Narrow(Vantri::kUpdateHost);
    const std::map<std::string, std::string> logged = {
        {"no adapter", "adapters found: 0"},
        {"device information unreadable", "information pages of adapter 0 failed: device 0, command 21, code 0x00000005"},
        {"firmware at the limit", "adapter 0 firmware: 4.00.20141114"},
        {"No", "question Vantri4 Restore: no"},
        {"dialog cancelled", "open dialog: cancelled"},
        {"file cannot be opened", "backup file C:\\Backups\\mine.vtcb: no access"},
        {"file cannot be read", "backup file C:\\Backups\\mine.vtcb: the read failed"},
        {"version file download fails",
         "download " + host + "/Manager/VersionV4V: the request could not be sent, system code 12030, status 0"},
        {"database download fails", "download " + host + Narrow(kDatabasePath) + ": the request could not be sent"},
        {"version file without the update host", "the version file names no games database on the update host"},
        {"truncated database", "conversion: a broken database"},
        {"game missing from the database", "conversion: a game the database lacks"},
        {"kind 9", "conversion: a kind above 3"},
        {"config area read refused", "restore write of adapter 0 failed: device 0, command 14, code 0x00000009"},
        {"primary region refused", "restore write of adapter 0 failed: device 0, command 8, code 0x00000009"},
        {"overflow region refused", "restore write of adapter 0 failed: device 0, command 28, code 0x00000009"},
        {"restore worker not queued", "restore write of adapter 0: not started"},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Arrangement setup;
        row.arrange(setup);
        RestoreRun run(setup);
        row.before(run);
        ASSERT_TRUE(run.Click()) << "the window never got its quit message";
        ScriptedWindow& window = run.Window();
        ExpectBoxes(window.Boxes(), row.boxes);
        if (const auto it = logged.find(row.name); it != logged.end()) {
            EXPECT_NE(window.LogFile().find(it->second), std::string::npos) << window.LogFile();
        }
        const EventList events = window.Events();
        EXPECT_EQ(Tail(events, row.tail.size()), row.tail);
        EXPECT_EQ(HasEvent(events, "disable 2"), row.locked);
        EXPECT_EQ(run.http.Requests().size(), row.requests);
        EXPECT_EQ(window.ControlText(IDC_STATUS).empty(), row.requests == 0);
        EXPECT_EQ(run.run.bus.CloseCalls(0), 1u);
        EXPECT_EQ(Vantri::RunningWorkers(), 0u);
        ExpectHeldOnlyWhileWorking(window, Vantri::SystemHold::SleepAndSessionEnd,
                                   HasEvent(events, "text 1002 Restoring ...\n"));
        if (setup.adapters.empty())
            continue;
        const auto& adapter = run.Adapter(0);
        const auto counts = adapter.Counts();
        EXPECT_TRUE(adapter.Clean());
        switch (row.written) {
        case Written::Nothing:
            // Nothing after the two information reads, if those.
            EXPECT_LE(counts.outputReports, 2u);
            break;
        case Written::AfterRead:
            EXPECT_TRUE(NothingWritten(adapter));
            EXPECT_EQ(counts.framesOfCommand[16], 0u);
            break;
        case Written::ConfigArea:
            EXPECT_EQ(counts.configAreaWrites, 1u);
            EXPECT_EQ(counts.framesOfCommand[9], 0u);
            EXPECT_EQ(counts.framesOfCommand[27], 0u);
            break;
        case Written::BothRegions:
            EXPECT_EQ(counts.configAreaWrites, 1u);
            EXPECT_EQ(counts.primaryWrites, 1u);
            EXPECT_EQ(counts.framesOfCommand[28], 5u);
            EXPECT_EQ(counts.framesOfCommand[29], 0u);
            break;
        }
    }
}

// --- Restores that write ---

TEST(RestoreWorkflowTest, AllTwentyFourEntriesReachTheFirstOfTwoAdaptersInOrder)
{
    Arrangement setup;
    setup.file = Backup(24);
    setup.adapters.push_back(AdapterWithVersion("4.00.20150101"));
    RestoreRun run(setup);
    const Bytes before = run.Adapter(0).ConfigArea();
    ASSERT_TRUE(run.Click());
    ScriptedWindow& window = run.Window();

    ExpectBoxes(window.Boxes(), {kQuestionBox, {BoxKind::Information, u"Restore Complete", kDone}});
    // The open dialog: its title, no proposed name, the whole buffer.
    ASSERT_EQ(window.FileDialogs().size(), 1u);
    EXPECT_FALSE(window.FileDialogs()[0].save);
    EXPECT_EQ(window.FileDialogs()[0].title, u"Choose Vantri4 Backup File to Restore");
    EXPECT_EQ(window.FileDialogs()[0].proposed, u"");
    EXPECT_EQ(window.FileDialogs()[0].capacity, 260u);

    // The adapter: its own settings area, the block count the conversion
    // gave, the backup's bytes after it, and both regions as the database's
    // records say.
    auto& adapter = run.Adapter(0);
    const auto [primary, overflow] = ExpectedRegions(24);
    EXPECT_EQ(adapter.ConfigArea(), ExpectedConfigArea(before, *setup.file, 48));
    EXPECT_EQ(adapter.PrimaryRegion(), primary);
    EXPECT_EQ(adapter.OverflowRegion(), overflow);
    EXPECT_TRUE(adapter.Clean());
    // The commands in their order: the information pages, the read, the
    // config area, the primary region, the overflow region.
    std::vector<std::uint8_t> commands;
    for (const auto& entry : adapter.Transcript()) {
        if (entry.toAdapter && (commands.empty() || commands.back() != entry.frame.command))
            commands.push_back(entry.frame.command);
    }
    EXPECT_EQ(commands, (std::vector<std::uint8_t>{21, 13, 14, 16, 4, 5, 6, 7, 8, 9, 27, 28, 29}));
    EXPECT_EQ(run.Adapter(1).Counts().outputReports, 0u);

    // The two downloads, one after the other, from the update host.
    const auto requests = run.http.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, Vantri::kVersionFilePath);
    EXPECT_EQ(requests[1].path, kDatabasePath);
    EXPECT_EQ(requests[1].host, Vantri::kUpdateHost);

    const EventList events = window.Events();
    // Locked before the question; the file read whole once chosen; the
    // downloading text before the first download is queued, "Restoring ..."
    // before the worker; the adapter closed before the success box, the
    // window destroyed after it.
    EXPECT_EQ(EventList(events.begin() + 1, events.begin() + 6), kLocked);
    EXPECT_LT(EventAt(events, "show 1001"), EventAt(events, "box question Vantri4 Restore"));
    EXPECT_LT(EventAt(events, "box question Vantri4 Restore"),
              EventAt(events, "open dialog Choose Vantri4 Backup File to Restore"));
    EXPECT_LT(EventAt(events, "file read 65536 got 65536"), EventAt(events, kDownloadingStatus));
    EXPECT_LT(EventAt(events, kDownloadingStatus), EventAt(events, "text 1002 Restoring ...\n"));
    EXPECT_LT(EventAt(events, "text 1002 Restoring ...\n"), EventAt(events, "queue 0"));
    EXPECT_EQ(Tail(events, 4), (EventList{"close 0", "box information Restore Complete", "destroy", "quit 0"}));
    EXPECT_EQ(run.run.bus.CloseCalls(0), 1u);
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"Restoring ...\n");

    // The bar runs from 0 to 100 five times: the version file, the database,
    // the read, the config area with the primary region, the overflow region.
    const auto runs = ProgressRuns(events);
    ASSERT_EQ(runs.size(), 5u);
    for (const auto& positions : runs) {
        EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
        EXPECT_EQ(positions.back(), 100u);
    }
    EXPECT_GT(runs[1].size(), 1u) << "the database was meant to arrive in several reads";
}

TEST(RestoreWorkflowTest, BackupsWithFewEntriesFillOnlyTheirSlotsAndKeepTheRestZero)
{
    // 3 entries in use; a file of 1,000 bytes (all of it preserved area, so
    // every entry is free); a longer file whose tail is ignored.
    Bytes longer = Backup(2);
    longer.resize(70000, 0xAB);
    struct Case {
        const char* name;
        Bytes file;
        std::size_t inUse;
    };
    const Case cases[] = {
        {"three entries", Backup(3), 3},
        {"1,000 bytes", Bytes(1000, 0x5C), 0},
        {"longer than an image", longer, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Arrangement setup;
        setup.file = c.file;
        RestoreRun run(setup);
        const Bytes before = run.Adapter(0).ConfigArea();
        ASSERT_TRUE(run.Click());
        ASSERT_EQ(run.Window().Boxes().size(), 2u);
        EXPECT_EQ(run.Window().Boxes()[1].caption, u"Restore Complete");
        auto& adapter = run.Adapter(0);
        const auto [primary, overflow] = ExpectedRegions(c.inUse);
        EXPECT_EQ(adapter.ConfigArea(),
                  ExpectedConfigArea(before, c.file, static_cast<std::uint32_t>(2 * c.inUse)));
        EXPECT_EQ(adapter.PrimaryRegion(), primary);
        EXPECT_EQ(adapter.OverflowRegion(), overflow);
    }
}

// --- The window's close box, and messages out of turn ---

TEST(RestoreWorkflowTest, ForgedFinalMessagesAndACloseRequestDuringTheWriteLeaveTheRunAsItWas)
{
    // The answer to the primary region's first frame is held: the worker is
    // at work from "Restoring ..." until the test releases it.
    Arrangement arrangement;
    arrangement.adapters[0].faults = {Fault::Hold(8, 1)};
    RestoreRun run(arrangement);
    ScriptedWindow& window = run.Window();

    window.Click(IDC_RESTORE_CONFIGS);
    ASSERT_TRUE(window.RunUntil([&] { return HasEvent(window.Events(), "text 1002 Restoring ...\n"); }, 20s));
    // Any program may post these: none is the worker's own, so none may
    // close the adapter under the worker, take a stray pointer for a body
    // or show an outcome.
    const std::size_t eventsBefore = window.Events().size();
    for (const PostedMessage& forged : std::initializer_list<PostedMessage>{
             {WM_RESTORE_DONE, 0, 0},
             {WM_RESTORE_FAILED, 0, 0},
             {WM_DOWNLOAD_FAILED, DOWNLOAD_TAG_VERSION, 0},
             {WM_DOWNLOAD_DONE, DOWNLOAD_TAG_DATABASE, 0x1234},
             {WM_DOWNLOAD_DONE, DOWNLOAD_TAG_VERSION, 4096},
         })
        window.Dispatch(forged);
    // Nor may the window go while the adapter is written.
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageClose, 0, 0));
    EXPECT_EQ(window.Events().size(), eventsBefore) << "a forged message or the close left a trace";
    EXPECT_EQ(Vantri::RunningWorkers(), 1u) << "the worker was meant to be still at work";

    run.Adapter(0).ReleaseHeldAnswers();
    ASSERT_TRUE(window.RunProgram(20s));
    const auto counts = run.Adapter(0).Counts();
    EXPECT_EQ(counts.primaryWrites, 1u);
    EXPECT_EQ(counts.overflowWrites, 1u);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].caption, u"Restore Complete");
    EXPECT_EQ(run.run.bus.CloseCalls(0), 1u);
}

TEST(RestoreWorkflowTest, TheDatabaseArrivingAfterTheAgreedEndOfTheSessionWritesNothing)
{
    RestoreRun run(Arrangement{});
    ScriptedWindow& window = run.Window();
    // Asked while the question is open, before anything is written: yes.
    window.OnBox([&](ScriptedWindow& w, const BoxRecord& box) {
        if (box.kind == BoxKind::Question) {
            EXPECT_EQ(w.AnswerToSessionEnd(true), 1);
        }
    });

    window.Click(IDC_RESTORE_CONFIGS);
    ASSERT_TRUE(window.RunProgram(20s));
    const auto counts = run.Adapter(0).Counts();
    EXPECT_EQ(counts.configAreaReads, 0u);
    EXPECT_EQ(counts.primaryWrites, 0u);
    EXPECT_EQ(counts.overflowWrites, 0u);
    EXPECT_TRUE(HasEvent(window.Events(), "text 1002 Restoring ...\n")) << "the database was meant to arrive";
    EXPECT_NE(window.LogFile().find("not started (the session is ending)"), std::string::npos) << window.LogFile();
}

// Any program may post a click to a disabled button. While a worker is at its
// adapter, no click may start anything: a second start would enumerate again,
// and enumerating closes every device handle under the worker. Nor may the
// session end while an adapter is written.
struct RunningCase {
    const char* name;
    int started;          // the button that started the run
    Fault keep;           // keeps the worker at its adapter until released
    std::string atWork;   // the status line once the worker is queued
    std::u16string doneCaption;
    Vantri::SystemHold hold; // what the worker holds the system off from
    std::uint32_t doneMessage; // the worker's done message; failed is the next number
};

void PrintTo(const RunningCase& c, std::ostream* os)
{
    *os << c.name;
}

class ClickDuringAWorkerTest : public ::testing::TestWithParam<RunningCase> {};

TEST_P(ClickDuringAWorkerTest, StartsNothingAndLeavesTheRunToEndAsItWould)
{
    const RunningCase& c = GetParam();
    const std::u16string saved = u"C:\\Backups\\saved.vtcb";
    Arrangement arrangement;
    arrangement.adapters[0].version = "4.00.20150101"; // offered the update, its configs may be touched
    arrangement.adapters[0].faults = {c.keep};
    arrangement.dialogs = {c.started == IDC_BACKUP_CONFIGS ? saved : kBackupPath};
    arrangement.firmware = TestImage();
    RestoreRun run(arrangement);
    ScriptedWindow& window = run.Window();

    EXPECT_EQ(window.AnswerToSessionEnd(), 1) << "idle";
    window.Click(c.started);
    ASSERT_TRUE(window.RunUntil([&] { return HasEvent(window.Events(), c.atWork); }, 20s));
    // The session may not end while an adapter is written; a read may be cut.
    EXPECT_EQ(window.AnswerToSessionEnd(), c.hold == Vantri::SystemHold::SleepAndSessionEnd ? 0 : 1);
    const std::size_t eventsBefore = window.Events().size();
    for (int id : {IDC_UPDATE_FIRMWARE, IDC_FACTORY_RESET, IDC_BACKUP_CONFIGS, IDC_RESTORE_CONFIGS})
        window.Click(id);
    // Nor may the worker's final messages, posted by anybody but the worker
    // before it has finished: no box, no close, no file saved.
    window.Dispatch({c.doneMessage, 0, 0});
    window.Dispatch({c.doneMessage + 1, 0, 0});
    EXPECT_EQ(window.Events().size(), eventsBefore) << "a click or a forged final message left a trace";
    EXPECT_EQ(run.run.bus.Enumerations(), 1u);
    EXPECT_EQ(window.FileDialogs().size(), c.started == IDC_UPDATE_FIRMWARE ? 0u : 1u);

    run.Adapter(0).ReleaseHeldAnswers();
    ASSERT_TRUE(window.RunProgram(20s));
    ASSERT_FALSE(window.Boxes().empty());
    EXPECT_EQ(window.Boxes().back().caption, c.doneCaption);
    EXPECT_EQ(run.run.bus.CloseCalls(0), 1u);
    const auto counts = run.Adapter(0).Counts();
    EXPECT_EQ(counts.imagesReceived, c.started == IDC_UPDATE_FIRMWARE ? 1u : 0u);
    EXPECT_EQ(counts.configAreaReads, c.started == IDC_UPDATE_FIRMWARE ? 0u : 1u);
    EXPECT_EQ(counts.primaryWrites, c.started == IDC_RESTORE_CONFIGS ? 1u : 0u);
    EXPECT_EQ(counts.overflowWrites, c.started == IDC_RESTORE_CONFIGS ? 1u : 0u);
    EXPECT_EQ(window.files.Contents(saved).has_value(), c.started == IDC_BACKUP_CONFIGS);
    const EventList events = window.Events();
    ExpectHeldOnlyWhileWorking(window, c.hold, true);
    const auto finalBox = std::find_if(events.begin(), events.end(), [&](const std::string& e) {
        return e.find(Narrow(c.doneCaption)) != std::string::npos;
    });
    EXPECT_LE(window.Holds().back().eventsBefore, static_cast<std::size_t>(finalBox - events.begin()))
        << "still held while the final box waits for the user";
    EXPECT_EQ(window.AnswerToSessionEnd(), 1) << "after the run";
}

INSTANTIATE_TEST_SUITE_P(
    Workers, ClickDuringAWorkerTest,
    ::testing::Values(RunningCase{"Flash", IDC_UPDATE_FIRMWARE, Fault::Hold(2, 1), "text 1002 Flashing ...\n",
                                  u"Flash Complete", Vantri::SystemHold::SleepAndSessionEnd, WM_FLASH_DONE},
                      RunningCase{"BackupRead", IDC_BACKUP_CONFIGS, Fault::Hold(14, 1), "text 1002 Backing up ...\n",
                                  u"Backup Complete", Vantri::SystemHold::Sleep, WM_BACKUP_DONE},
                      RunningCase{"RestoreWrite", IDC_RESTORE_CONFIGS, Fault::Hold(8, 1), "text 1002 Restoring ...\n",
                                  u"Restore Complete", Vantri::SystemHold::SleepAndSessionEnd, WM_RESTORE_DONE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestoreWorkflowTest, MessagesOfARestoreThatIsNotRunningDoNothing)
{
    RestoreRun run(Arrangement{});
    ScriptedWindow& window = run.Window();
    for (std::uint32_t message : {WM_RESTORE_DONE, WM_RESTORE_FAILED, WM_DOWNLOAD_FAILED})
        EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), message, 0, 0));
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), WM_DOWNLOAD_DONE, 1, 0x1234));
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_FALSE(window.Destroyed());
    EXPECT_EQ(run.run.bus.CloseCalls(0), 0u);
    // Progress moves the bar whatever its position: each transfer starts
    // from its own 0.
    window.Dispatch({WM_DOWNLOAD_PROGRESS, 1, 60});
    window.Dispatch({WM_RESTORE_PROGRESS, 0, 3});
    EXPECT_EQ(window.ProgressValue(), 3u);
}

} // namespace
} // namespace VantriTest

// The config backup from the click to the program's exit, against adapter
// models, the scripted window and its file system: every outcome's box, the
// order of closing, saving and destroying, and the file byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/backup_workflow.h"
#include "engine/running_workers.h"
#include "tests/native/engine/app_fixture.h"

namespace VantriTest {
namespace {

using VantriEmu::AdapterSettings;
using VantriEmu::Fault;
using Call = ScriptedFiles::Call;

constexpr char16_t kNoAdapter[] =
    u"Failure connecting to Vantri4.\n\nPlease be sure your Vantri4 is connected to your PC without any devices "
    u"attached to it and it is displaying a solid blue light.";
constexpr char16_t kInfoUnreadable[] =
    u"There was an error reading your Vantri4. Please reconnect your Vantri4 and try again.";
constexpr char16_t kOutdated[] = u"Your Vantri4 can't be backed up since it has a config format that is "
                                 u"out-of-date.\n\nYour firmware will need to be updated by selecting 'Factory Reset'.";
constexpr char16_t kReadFailed[] =
    u"There was an error backing up your Vantri4.\n\nPlease check the connection to your Vantri4 and try again.";
constexpr char16_t kNoAccess[] = u"Unable to access specified file location for backup.";
constexpr char16_t kWriteFailed[] = u"Unable to write backup to specified file location.";
constexpr char16_t kDone[] = u"Your Vantri4 was successfully backed up!\n\nIt is now safe to remove it from your PC.";

const std::u16string kFolder = u"C:\\Users\\me\\Documents\\";
const std::u16string kChosen = kFolder + u"configs.vtcb";
const std::u16string kTemporary = kFolder + u"~00figs.vtcb";
const std::vector<std::uint8_t> kOldFile(65536, 0x0D);

// Up to the worker's start, for a backup to `path`.
EventList Started(const std::u16string& path)
{
    return Concat({{"enumerate 1"}, kLocked,
                   {"save dialog Save Vantri4 Backup As ...", "dialog chose " + Narrow(path),
                    "text 1002 Backing up ...\n", "queue 0"}});
}

// The file a backup of this adapter must be: its config area with the
// first 3,040 bytes zero.
std::vector<std::uint8_t> ExpectedFile(const VantriEmu::AdapterModel& adapter)
{
    std::vector<std::uint8_t> area = adapter.ConfigArea();
    std::fill_n(area.begin(), 3040, 0);
    return area;
}

class BackupWorkflowTest : public AppTest {
protected:
    BackupWorkflowTest()
    {
        window.files.AddFile(kChosen, kOldFile);
        window.AnswerFileDialogs({kChosen});
    }

    // The log without the bar's moves, which ProgressOf gives apart.
    EventList EventsWithoutProgress() const
    {
        EventList events;
        for (const auto& event : Events()) {
            if (event.rfind("progress ", 0) != 0)
                events.push_back(event);
        }
        return events;
    }

    std::vector<std::uint32_t> Progress() const
    {
        std::vector<std::uint32_t> positions;
        for (const auto& event : Events()) {
            if (event.rfind("progress ", 0) == 0)
                positions.push_back(static_cast<std::uint32_t>(std::stoul(event.substr(9))));
        }
        return positions;
    }

    void ExpectOneBox(BoxKind kind, const std::u16string& caption, const std::u16string& text) const
    {
        ASSERT_EQ(window.Boxes().size(), 1u);
        EXPECT_EQ(window.Boxes()[0].kind, kind);
        EXPECT_EQ(window.Boxes()[0].caption, caption);
        EXPECT_EQ(window.Boxes()[0].text, text);
    }
};

std::vector<std::uint32_t> OneTo100()
{
    std::vector<std::uint32_t> values;
    for (std::uint32_t v = 1; v <= 100; ++v)
        values.push_back(v);
    return values;
}

TEST_F(BackupWorkflowTest, BackupReadsTheFirstAdapterAndReplacesTheChosenFileWhole)
{
    auto& adapter = Attach();
    RunClick(IDC_BACKUP_CONFIGS);

    ExpectOneBox(BoxKind::Information, u"Backup Complete", kDone);
    EXPECT_EQ(EventsWithoutProgress(),
              Concat({Started(kChosen),
                      {"close 0", "file create " + Narrow(kTemporary), "file write 65536 wrote 65536", "file flush",
                       "file close", "file move " + Narrow(kTemporary) + " " + Narrow(kChosen),
                       "box information Backup Complete", "destroy", "quit 0"}}));
    EXPECT_EQ(Progress(), OneTo100());

    // The dialog as the user met it: our title, the proposed name, room for
    // 260 characters.
    ASSERT_EQ(window.FileDialogs().size(), 1u);
    EXPECT_TRUE(window.FileDialogs()[0].save);
    EXPECT_EQ(window.FileDialogs()[0].title, u"Save Vantri4 Backup As ...");
    EXPECT_EQ(window.FileDialogs()[0].proposed, u"Vantri4Backup.vtcb");
    EXPECT_EQ(window.FileDialogs()[0].capacity, 260u);

    // The existing file replaced without a question, by the area with its
    // preserved part zero; nothing else left in the folder.
    EXPECT_EQ(window.files.Contents(kChosen), ExpectedFile(adapter));
    EXPECT_NE(adapter.ConfigArea(), ExpectedFile(adapter)); // the adapter's own first bytes are not zero
    EXPECT_EQ(window.files.Paths(), std::vector<std::u16string>{kChosen});
    EXPECT_EQ(window.files.OpenHandles(), 0u);
    EXPECT_EQ(adapter.ParametersOf(16), std::vector<std::uint16_t>{1172});
    EXPECT_TRUE(adapter.Clean());
}

struct GoodBackup {
    const char* name;
    std::string version;
    std::uint8_t pieceSize;
    std::u16string fileName;
};

void PrintTo(const GoodBackup& c, std::ostream* out)
{
    *out << c.name;
}

class GoodBackups : public BackupWorkflowTest, public ::testing::WithParamInterface<GoodBackup> {};

// The day after the limit is backed up; the adapter's piece size does not
// change the file; a name without an extension is used as typed.
TEST_P(GoodBackups, FileIsTheAreaWithItsPreservedPartZero)
{
    AdapterSettings settings;
    settings.version = GetParam().version;
    settings.pieceSize = GetParam().pieceSize;
    settings.configSeed = 7;
    auto& adapter = Attach(settings);
    const std::u16string path = kFolder + GetParam().fileName;
    window.AnswerFileDialogs({path});
    RunClick(IDC_BACKUP_CONFIGS);

    ExpectOneBox(BoxKind::Information, u"Backup Complete", kDone);
    EXPECT_EQ(window.files.Contents(path), ExpectedFile(adapter));
    if (path != kChosen) {
        EXPECT_EQ(window.files.Contents(kChosen), kOldFile);
    }
    EXPECT_EQ(window.files.Paths().size(), path == kChosen ? 1u : 2u);
    EXPECT_TRUE(adapter.Clean());
    // A read keeps the system awake but lets the session end.
    ExpectHeldOnlyWhileWorking(window, Vantri::SystemHold::Sleep, true);
}

INSTANTIATE_TEST_SUITE_P(
    Adapters, GoodBackups,
    ::testing::Values(GoodBackup{"DayAfterTheLimit", "4.00.20141115", 56, u"configs.vtcb"},
                      GoodBackup{"Pieces1", "4.00.20160918", 1, u"Vantri4Backup.vtcb"},
                      GoodBackup{"Pieces7", "4.00.20160918", 7, u"configs.vtcb"},
                      GoodBackup{"Pieces55NoExtension", "4.00.20150101", 55, u"mybackup"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailedBackup {
    const char* name;
    std::function<void(VantriEmu::EmulatedBus&, ScriptedWindow&)> arrange;
    std::optional<BoxRecord> box;
    EventList events; // without the bar's moves
    std::string logged = {}; // a part of the diagnostics log, where the row names one
};

void PrintTo(const FailedBackup& c, std::ostream* out)
{
    *out << c.name;
}

class FailedBackups : public BackupWorkflowTest, public ::testing::WithParamInterface<FailedBackup> {};

// Every way a backup can fail: its box, the order of the ending, and the
// old file of the chosen name untouched with no other file left behind.
TEST_P(FailedBackups, EndWithTheirBoxAndLeaveTheOldFile)
{
    GetParam().arrange(bus, window);
    RunClick(IDC_BACKUP_CONFIGS);

    if (GetParam().box)
        ExpectOneBox(GetParam().box->kind, GetParam().box->caption, GetParam().box->text);
    else
        EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(EventsWithoutProgress(), GetParam().events);
    EXPECT_EQ(window.files.Contents(kChosen), kOldFile);
    EXPECT_EQ(window.files.Paths(), std::vector<std::u16string>{kChosen});
    EXPECT_EQ(window.files.OpenHandles(), 0u);
    ExpectHeldOnlyWhileWorking(window, Vantri::SystemHold::Sleep, HasEvent("text 1002 Backing up ...\n"));
    EXPECT_NE(window.LogFile().find(GetParam().logged), std::string::npos) << window.LogFile();
}

const EventList kEnding{"close 0", "destroy", "quit 0"};
// A failed read: the window goes first, then the adapter is closed.
const EventList kReadFailedEnding{"box error Unable to back up Vantri4", "destroy", "quit 0", "close 0"};

EventList SaveFailed(std::initializer_list<EventList> fileEvents)
{
    return Concat({Started(kChosen), {"close 0"}, Concat(fileEvents), {"box error Backup Failed", "destroy", "quit 0"}});
}

const EventList kTemporaryMade{"file create " + Narrow(kTemporary)};
const EventList kTemporaryDropped{"file close", "file remove " + Narrow(kTemporary)};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailedBackups,
    ::testing::Values(
        FailedBackup{"NoAdapter", [](auto&, auto&) {},
                     BoxRecord{BoxKind::Error, u"Unable to find Vantri4", kNoAdapter},
                     Concat({{"enumerate 0", "box error Unable to find Vantri4"}, kEnding})},
        FailedBackup{"InformationUnreadable",
                     [](auto& bus, auto&) {
                         AdapterSettings settings;
                         settings.faults = {Fault::Refuse(21, 2, 0x05)};
                         bus.Attach(settings);
                     },
                     BoxRecord{BoxKind::Error, u"Unable to backup Vantri4", kInfoUnreadable},
                     Concat({{"enumerate 1", "box error Unable to backup Vantri4"}, kEnding})},
        FailedBackup{"LimitDayIsOutdated", [](auto& bus, auto&) { bus.Attach(AdapterWithVersion("4.00.20141114")); },
                     BoxRecord{BoxKind::Information, u"Vantri4 Backup", kOutdated},
                     Concat({{"enumerate 1", "box information Vantri4 Backup"}, kEnding})},
        FailedBackup{"DialogCancelled",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.AnswerFileDialogs({std::nullopt});
                     },
                     std::nullopt,
                     Concat({{"enumerate 1"}, kLocked, {"save dialog Save Vantri4 Backup As ...", "dialog cancelled"},
                             kEnding})},
        FailedBackup{"ReadRefusedMidway",
                     [](auto& bus, auto&) {
                         AdapterSettings settings;
                         settings.faults = {Fault::Refuse(14, 500, 0x07)};
                         bus.Attach(settings);
                     },
                     BoxRecord{BoxKind::Error, u"Unable to back up Vantri4", kReadFailed},
                     Concat({Started(kChosen), kReadFailedEnding})},
        // The pool refuses the worker: a failed read, not a window that
        // waits for ever.
        FailedBackup{"WorkItemRefused",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.RefuseQueueCall(0);
                     },
                     BoxRecord{BoxKind::Error, u"Unable to back up Vantri4", kReadFailed},
                     Concat({{"enumerate 1"}, kLocked,
                             {"save dialog Save Vantri4 Backup As ...", "dialog chose " + Narrow(kChosen),
                              "text 1002 Backing up ...\n", "queue refused 0"},
                             kReadFailedEnding})},
        FailedBackup{"FolderMissing",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.AnswerFileDialogs({u"C:\\Nowhere\\configs.vtcb"});
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kNoAccess},
                     Concat({Started(u"C:\\Nowhere\\configs.vtcb"),
                             {"close 0", "file create C:\\Nowhere\\~00figs.vtcb failed 3",
                              "box error Backup Failed", "destroy", "quit 0"}})},
        // The old file stays whole: the write went to a new file, which is
        // deleted again.
        FailedBackup{"WriteFails",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.files.Fail(Call::Write, 112); // ERROR_DISK_FULL
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kWriteFailed},
                     SaveFailed({kTemporaryMade, {"file write 65536 failed"}, kTemporaryDropped}),
                     "not saved, the write failed (the write failed, system code 112)"},
        // Success with fewer bytes than the area is a failed write.
        FailedBackup{"ShortWrite",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.files.ShortWrites(65000);
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kWriteFailed},
                     SaveFailed({kTemporaryMade, {"file write 65536 wrote 65000"}, kTemporaryDropped})},
        FailedBackup{"FlushFails",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.files.Fail(Call::Flush);
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kWriteFailed},
                     SaveFailed({kTemporaryMade, {"file write 65536 wrote 65536", "file flush failed"},
                                 kTemporaryDropped})},
        // A read-only file of the chosen name is not to be replaced: refused
        // before anything is made, as creating it in place would be.
        FailedBackup{"ReadOnlyFile",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.files.AddFile(kChosen, kOldFile, true);
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kNoAccess}, SaveFailed({})},
        FailedBackup{"ReplaceFails",
                     [](auto& bus, auto& window) {
                         bus.Attach();
                         window.files.Fail(Call::Move);
                     },
                     BoxRecord{BoxKind::Error, u"Backup Failed", kWriteFailed},
                     SaveFailed({kTemporaryMade,
                                 {"file write 65536 wrote 65536", "file flush", "file close",
                                  "file move " + Narrow(kTemporary) + " " + Narrow(kChosen) + " failed 5",
                                  "file remove " + Narrow(kTemporary)}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BackupWorkflowTest, ReadFailureSendsNoEndAndNoFileEvenWithTheNameFree)
{
    window.AnswerFileDialogs({kFolder + u"new.vtcb"});
    AdapterSettings settings;
    settings.faults = {Fault::ReadFailure(14, 1171, 1167)}; // the very last piece
    auto& adapter = Attach(settings);
    RunClick(IDC_BACKUP_CONFIGS);
    ExpectOneBox(BoxKind::Error, u"Unable to back up Vantri4", kReadFailed);
    EXPECT_EQ(adapter.Counts().framesOfCommand[16], 0u);
    EXPECT_FALSE(window.files.Contents(kFolder + u"new.vtcb"));
}

TEST_F(BackupWorkflowTest, OnlyTheFirstOfTwoAdaptersIsExaminedReadAndClosed)
{
    auto& first = Attach();
    AdapterSettings other;
    other.configSeed = 99;
    other.version = "4.00.20141114"; // would be refused if it were asked
    auto& second = Attach(other);
    RunClick(IDC_BACKUP_CONFIGS);

    ExpectOneBox(BoxKind::Information, u"Backup Complete", kDone);
    EXPECT_EQ(window.files.Contents(kChosen), ExpectedFile(first));
    EXPECT_TRUE(second.Transcript().empty());
    EXPECT_EQ(bus.CloseCalls(0), 1u);
    EXPECT_EQ(bus.CloseCalls(1), 0u);
}

// Counted like the flash workers, so the program's exit waits for it.
TEST_F(BackupWorkflowTest, WorkerIsCountedUntilItHasPosted)
{
    AdapterSettings slow;
    slow.latency = std::chrono::microseconds(500);
    Attach(slow);
    window.Click(IDC_BACKUP_CONFIGS);
    EXPECT_EQ(Vantri::RunningWorkers(), 1u);
    ASSERT_TRUE(window.RunProgram(std::chrono::seconds(20)));
    EXPECT_EQ(Vantri::RunningWorkers(), 0u);
    ExpectOneBox(BoxKind::Information, u"Backup Complete", kDone);
}

} // namespace
} // namespace VantriTest

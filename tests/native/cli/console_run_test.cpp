// The console program's commands on the real engine, in process: the
// adapter models as g_loader, the scripted window for the system, and the
// console front end in place of its boxes and dialogs. Each row reads the
// exit code, the JSON lines and what the adapters and files hold.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/console_front_end.h"
#include "cli/console_run.h"
#include "cli/reporter.h"
#include "engine/running_workers.h"
#include "restore/config_image.h"
#include "tests/native/engine/app_fixture.h"

namespace {

using Vantri::BoxKind;
using Vantri::Cli::Answerer;
using Vantri::Cli::ExitCode;
using VantriEmu::AdapterSettings;
using VantriEmu::Fault;
using VantriEmu::EmulatedBus;

constexpr char kOld[] = "4.00.20150101";
constexpr char kCurrent[] = "4.00.20160918";
constexpr char kTooOld[] = "4.00.20141114";
constexpr char16_t kFolder[] = u"C:\\backups\\";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

struct Row {
    const char* name;
    std::vector<std::string> arguments; // "@1": attached adapter 1's path, "@@1" the same in upper case
    std::vector<AdapterSettings> adapters;
    Answerer answerer;
    ExitCode exit;
    std::string outcomeStart; // the JSON outcome's text begins so
    std::vector<bool> flashed; // per attached adapter: the carried image stored whole
    std::vector<std::string> linesWith; // each some JSON line holds
    std::optional<std::uint32_t> backupOf; // the file holds this attached adapter's configs
};

AdapterSettings Adapter(const char* version, std::vector<Fault> faults = {})
{
    AdapterSettings settings = VantriTest::AdapterWithVersion(version);
    settings.faults = std::move(faults);
    return settings;
}

// An adapter whose config area differs from every other's.
AdapterSettings Seeded(std::uint32_t seed)
{
    AdapterSettings settings = Adapter(kOld);
    settings.configSeed = seed;
    return settings;
}

const Row kRows[] = {
    {"UpdateOfOne", {"update", "--yes"}, {Adapter(kOld)}, Answerer::Nobody, ExitCode::Done,
     "Your Vantri4 was updated successfully!", {true}, {R"("event":"result","index":0)", R"("ok":true)"}, {}},
    {"UpToDateWritesNothing", {"update", "--yes"}, {Adapter(kCurrent)}, Answerer::Yes, ExitCode::Done,
     "Your Vantri4's firmware [4.00.20160918] is already up-to-date.", {false}, {}, {}},
    {"TooOldIsRefusedNamingTheReset", {"update", "--yes"}, {Adapter(kTooOld)}, Answerer::Yes, ExitCode::Refused,
     "Your Vantri4 has a firmware version [4.00.20141114]", {false}, {"select 'Factory Reset'"}, {}},
    {"NobodyToAskWritesNothing", {"update"}, {Adapter(kOld), Adapter(kOld)}, Answerer::Nobody,
     ExitCode::NotConfirmed, "Not confirmed: nothing was written.", {false, false}, {}, {}},
    {"ANoOnTheConsoleWritesNothing", {"reset"}, {Adapter(kOld)}, Answerer::Console, ExitCode::NotConfirmed,
     "Not confirmed: nothing was written.", {false}, {}, {}},
    {"ARefusalOnTheSecondLetsTheFirstFinish", {"update", "--yes"},
     {Adapter(kOld), Adapter(kOld, {Fault::Refuse(2, 5, 0x07, 3, 4)})}, Answerer::Yes, ExitCode::AdapterFailed,
     "There was an error flashing Vantri4 (at location 1).", {true, false},
     {R"("index":0,"path":"\\\\?\\hid#vid_2387&pid_0003#emu&0)",
      R"("index":1,"path":"\\\\?\\hid#vid_2387&pid_0003#emu&1#{4d1e55b2-f16f-11cf-88cb-001111000030}","ok":false,"command":2,"code":)",
      R"("detail1":3,"detail2":4})"},
     {}},
    {"UnreadableFirstAdapterFails", {"update", "--yes"}, {Adapter(kOld, {Fault::Refuse(21, 1, 0x05)})},
     Answerer::Yes, ExitCode::AdapterFailed, "There was an error reading your Vantri4.", {false},
     {R"("ok":false,"command":21)"}, {}},
    {"ResetOfTheNamedAdapterOnly", {"reset", "--yes", "--device", "@1"}, {Adapter(kOld), Adapter(kOld), Adapter(kOld)},
     Answerer::Yes, ExitCode::Done, "Your Vantri4 was updated successfully!", {false, true, false},
     {R"("event":"result","index":1)"}, {}},
    {"UpdateOfTwoNamedInAnyCase", {"update", "--yes", "--device", "@@2", "--device", "@0"},
     {Adapter(kOld), Adapter(kCurrent), Adapter(kOld)}, Answerer::Yes, ExitCode::Done,
     "2 Vantri4s updated successfully!", {true, false, true}, {}, {}},
    {"ANamedAdapterMissingTouchesNone", {"reset", "--yes", "--device", "@0", "--device", "\\\\?\\hid#gone"},
     {Adapter(kOld)}, Answerer::Yes, ExitCode::NoAdapter, "Failure connecting to Vantri4.", {false}, {}, {}},
    {"NoAdapter", {"update", "--yes"}, {}, Answerer::Yes, ExitCode::NoAdapter, "Failure connecting to Vantri4.", {},
     {}, {}},
    {"ListShowsEveryAdapterByTheWindowsRules", {"list"}, {Adapter(kOld), Adapter("4.00.20141113")}, Answerer::Nobody,
     ExitCode::Done, "2 Vantri4s found.", {false, false},
     {R"({"event":"found","index":0,"path":"\\\\?\\hid#vid_2387&pid_0003#emu&0#{4d1e55b2-f16f-11cf-88cb-001111000030}","firmware":"4.00.20150101","configs":true})",
      R"("index":1,"path":"\\\\?\\hid#vid_2387&pid_0003#emu&1#{4d1e55b2-f16f-11cf-88cb-001111000030}","firmware":"4.00.20141113","configs":false})"},
     {}},
    {"ListWithAnUnreadableAdapterFails", {"list"}, {Adapter(kOld), Adapter(kOld, {Fault::Refuse(21, 2, 0x05)})},
     Answerer::Nobody, ExitCode::AdapterFailed, "There was an error reading your Vantri4.", {false, false},
     {R"("event":"found","index":0)", R"("index":1,"path":)", R"("ok":false,"command":21)"}, {}},
    {"BackupOfTheNamedAdapter", {"backup", "C:\\backups\\b.vtcb", "--device", "@1"}, {Seeded(1), Seeded(2)},
     Answerer::Nobody, ExitCode::Done, "Your Vantri4 was successfully backed up!", {false, false},
     {R"("event":"result","index":1)"}, 1},
    {"BackupOfAnOutdatedFormatIsRefused", {"backup", "C:\\backups\\b.vtcb"}, {Adapter("4.00.20141113")},
     Answerer::Nobody, ExitCode::Refused, "Your Vantri4 can't be backed up", {false}, {}, {}},
    {"BackupIntoAMissingFolderIsAFileError", {"backup", "C:\\none\\b.vtcb"}, {Adapter(kOld)}, Answerer::Nobody,
     ExitCode::BackupFileError, "Unable to access specified file location for backup.", {false}, {}, {}},
    {"BackupToAPathTooLongIsAFileError", {"backup", "C:\\backups\\" + std::string(300, 'x')}, {Adapter(kOld)},
     Answerer::Nobody, ExitCode::BackupFileError, "Unable to access specified file location for backup.", {false},
     {}, {}},
    {"RestoreOfAMissingFileIsAFileError", {"restore", "C:\\backups\\none.vtcb", "--yes"}, {Adapter(kOld)},
     Answerer::Yes, ExitCode::BackupFileError, "Unable to access specified file location for restore.", {false}, {},
     {}},
};

class ConsoleRunTest : public VantriTest::AppTest, public ::testing::WithParamInterface<Row> {};
using ConsoleEngineTest = VantriTest::AppTest;

TEST_P(ConsoleRunTest, EndsWithTheWindowsOutcomeAndItsExitCode)
{
    const Row& row = GetParam();
    for (const AdapterSettings& settings : row.adapters)
        Attach(settings);
    window.files.AddFolder(kFolder);

    std::vector<std::u16string> wide;
    for (const std::string& argument : row.arguments) {
        if (argument.empty() || argument[0] != '@') {
            wide.emplace_back(argument.begin(), argument.end());
            continue;
        }
        std::u16string path = EmulatedBus::PathOf(argument.back() - '0');
        // Paths are compared as Windows compares them.
        if (argument.size() == 3)
            for (char16_t& c : path)
                c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        wide.push_back(std::move(path));
    }
    wide.push_back(u"--json");
    const std::vector<std::u16string_view> views(wide.begin(), wide.end());
    const Vantri::Cli::ParsedCommandLine parsed = Vantri::Cli::ParseCommandLine(views);
    ASSERT_TRUE(parsed.ok()) << parsed.error;

    std::string output;
    Vantri::Cli::Reporter reporter(Vantri::Cli::ReportMode::Json, [&output](std::string_view utf8) { output += utf8; });
    std::vector<std::u16string> asked;
    Vantri::Cli::ConsoleFrontEnd frontEnd(reporter, parsed.line.yes ? Answerer::Yes : row.answerer,
                                          [&asked](std::u16string_view question) {
                                              asked.emplace_back(question);
                                              return false;
                                          },
                                          parsed.line.file);
    window.UseFrontEnd(VantriTest::FrontEndHooks{
        [&](BoxKind kind, const char16_t* caption, const char16_t* text) { return frontEnd.Box(kind, caption, text); },
        [&](Vantri::RunOutcome outcome) { frontEnd.Note(outcome); },
        [&](std::uint32_t index, std::uint32_t percent) { frontEnd.Progress(index, percent); },
        [&](std::uint32_t index, bool ok, const Vantri::ResultRecord& result, std::uint8_t command) {
            frontEnd.Result(index, ok, result, command);
        },
        [&](bool save, std::span<char16_t> fileName) { return frontEnd.ChooseFile(save, fileName); },
    });

    Vantri::Cli::StartCommand(parsed.line, "command line", reporter, frontEnd, {[] { return std::uint64_t{0}; }, {}});
    ASSERT_TRUE(window.RunProgram(std::chrono::seconds(60))) << "the run's window was never destroyed";
    EXPECT_EQ(frontEnd.Finish(), row.exit);

    const std::vector<std::string> lines = Lines(output);
    ASSERT_FALSE(lines.empty());
    const std::string last = lines.back();
    EXPECT_EQ(last.rfind(R"({"event":"outcome","outcome":")" + row.outcomeStart, 0), 0u) << last;
    EXPECT_NE(last.find(R"("exit":)" + std::to_string(static_cast<int>(row.exit)) + "}"), std::string::npos) << last;
    for (const std::string& wanted : row.linesWith)
        EXPECT_NE(output.find(wanted), std::string::npos) << wanted << " not in:\n" << output;
    if (row.answerer == Answerer::Console) {
        EXPECT_EQ(asked.size(), 1u) << "the question was not asked on the console";
    }

    ASSERT_EQ(row.flashed.size(), bus.AttachedCount());
    for (std::uint32_t n = 0; n < bus.AttachedCount(); ++n) {
        if (row.flashed[n]) {
            EXPECT_EQ(bus.Attached(n).Image(), image) << "adapter " << n;
        } else {
            EXPECT_TRUE(bus.Attached(n).Image().empty()) << "adapter " << n << " was written";
        }
    }
    if (row.backupOf) {
        std::vector<std::uint8_t> expected = bus.Attached(*row.backupOf).ConfigArea();
        std::fill_n(expected.begin(), Vantri::kPreservedAreaSize, std::uint8_t{0});
        EXPECT_EQ(window.files.Contents(u"C:\\backups\\b.vtcb"), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, ConsoleRunTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// --wait looks again until enough adapters are there, on the program's clock;
// with too few when the time is up, nothing starts.
TEST_F(ConsoleEngineTest, WaitLooksUntilEnoughAdaptersArePresentOrTheTimeIsUp)
{
    struct Case {
        std::uint32_t count;
        std::uint32_t attachAtLook; // the adapters appear before this look; 0: never
        ExitCode exit;
        const char* outcome;
    };
    for (const Case& c : {Case{2, 3, ExitCode::Done, "2 Vantri4s found."},
                          Case{2, 0, ExitCode::NoAdapter, "Failure connecting to Vantri4."},
                          Case{3, 2, ExitCode::NoAdapter, "2 of the 3 Vantri4s waited for were found"}}) {
        SCOPED_TRACE(c.outcome);
        VantriTest::ProgramRun run({}, {}, image);
        std::uint64_t now = 0;
        std::uint32_t looks = 0;
        const Vantri::Cli::WaitClock clock{[&] { return now; }, [&](std::uint32_t ms) {
                                               now += ms;
                                               if (++looks + 1 == c.attachAtLook) {
                                                   run.bus.Attach(VantriTest::AdapterWithVersion(kOld));
                                                   run.bus.Attach(VantriTest::AdapterWithVersion(kOld));
                                               }
                                           }};
        const std::u16string_view arguments[] = {u"list", u"--wait", u"2", u"--count",
                                                 c.count == 2 ? u"2" : u"3", u"--json"};
        const auto parsed = Vantri::Cli::ParseCommandLine(arguments);
        ASSERT_TRUE(parsed.ok()) << parsed.error;
        std::string output;
        Vantri::Cli::Reporter reporter(Vantri::Cli::ReportMode::Json, [&](std::string_view utf8) { output += utf8; });
        Vantri::Cli::ConsoleFrontEnd frontEnd(reporter, Answerer::Nobody, {}, {});
        run.window.UseFrontEnd(VantriTest::FrontEndHooks{[&](BoxKind kind, const char16_t* caption,
                                    const char16_t* text) { return frontEnd.Box(kind, caption, text); },
                                [&](Vantri::RunOutcome outcome) { frontEnd.Note(outcome); },
                                {}, {}, {}});
        Vantri::Cli::StartCommand(parsed.line, "command line", reporter, frontEnd, clock);
        ASSERT_TRUE(run.window.RunProgram(std::chrono::seconds(20)));
        EXPECT_EQ(frontEnd.Finish(), c.exit);
        EXPECT_NE(output.find(c.outcome), std::string::npos) << output;
        // One look per 250 ms of the two seconds at most, and none after
        // enough were found.
        EXPECT_LE(now, 2000u);
        if (c.exit == ExitCode::Done) {
            EXPECT_EQ(now, 2u * Vantri::Cli::kWaitPollMs);
        }
    }
}

// Ctrl+C ends the program at once only while no worker is at an adapter,
// and from then on no worker starts; while one is at work it is held.
TEST_F(ConsoleEngineTest, AStopWhileIdleLetsNoWorkerStartAndNoneWhileOneRuns)
{
    static std::atomic<bool> s_release;
    static bool s_refused;
    s_release = false;
    s_refused = false;
    const auto blocking = [](std::uintptr_t) -> std::uint32_t {
        while (!s_release)
            std::this_thread::yield();
        Vantri::WorkerFinished();
        return 0;
    };
    const auto refused = [](std::uintptr_t) { s_refused = true; };
    ASSERT_TRUE(Vantri::QueueCountedWorker(blocking, 0, Vantri::WorkerKind::Writes, refused));
    EXPECT_FALSE(Vantri::StopIfIdle()) << "stopped while a worker was at an adapter";
    s_release = true;
    window.JoinWorkers();
    EXPECT_TRUE(Vantri::StopIfIdle());
    EXPECT_TRUE(Vantri::StopIfIdle()) << "a second signal after the stop";
    EXPECT_FALSE(Vantri::QueueCountedWorker(blocking, 0, Vantri::WorkerKind::Writes, refused));
    EXPECT_TRUE(s_refused);
    EXPECT_EQ(Vantri::RunningWorkers(), 0u);
    EXPECT_EQ(window.QueuedContexts().size(), 1u) << "a worker was queued after the stop";
}

} // namespace

// The firmware update and factory reset workflows from the click to the
// program's exit, against adapter models and the scripted window.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/diagnostics_log.h"
#include "engine/flash_workflow.h"
#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "tests/native/engine/app_fixture.h"

namespace VantriTest {
namespace {

using namespace std::chrono_literals;
using VantriEmu::Fault;

constexpr char16_t kNoAdapter[] =
    u"Failure connecting to Vantri4.\n\nPlease be sure your Vantri4 is connected to your PC without any devices "
    u"attached to it and it is displaying a solid blue light.";
constexpr char16_t kReadFailed[] =
    u"There was an error reading your Vantri4. Please reconnect your Vantri4 and try again.";
constexpr char16_t kFailedOne[] =
    u"There was an error flashing your Vantri4. You will need to rerun Vantri4Flash and select 'Factory Reset'.";
constexpr char16_t kDoneOne[] = u"Your Vantri4 was updated successfully!\n\nIt is now safe to remove it from your PC.";

std::u16string FailedAt(int location)
{
    return u"There was an error flashing Vantri4 (at location " + std::u16string(1, char16_t(u'0' + location)) +
           u"). You will need to rerun Vantri4Flash and select 'Factory Reset'.";
}

// What ends every run that writes nothing: the first slot closed, then the
// window destroyed, whose destroy message ends the loop.
const EventList kEnding{"close 0", "destroy", "quit 0"};
bool NothingWritten(const VantriEmu::AdapterModel& adapter)
{
    const auto counts = adapter.Counts();
    return counts.framesOfCommand[1] == 0 && counts.framesOfCommand[10] == 0 && counts.framesOfCommand[11] == 0;
}

using Vantri::SystemHold;

class FlashWorkflowTest : public AppTest {};

// --- Runs that end before any worker starts ---

TEST_F(FlashWorkflowTest, NoAdapterEndsEitherButtonWithTheConnectionBox)
{
    for (int button : {IDC_UPDATE_FIRMWARE, IDC_FACTORY_RESET}) {
        SCOPED_TRACE(button);
        ProgramRun run({}, {}, image);
        ScriptedWindow& runWindow = run.window;
        ASSERT_TRUE(run.Click(button));
        ASSERT_EQ(runWindow.Boxes().size(), 1u);
        EXPECT_EQ(runWindow.Boxes()[0].kind, BoxKind::Error);
        EXPECT_EQ(runWindow.Boxes()[0].caption, u"Unable to find Vantri4");
        EXPECT_EQ(runWindow.Boxes()[0].text, kNoAdapter);
        // The buttons are never locked: no adapter was found.
        EXPECT_EQ(runWindow.Events(), Concat({{"enumerate 0", "box error Unable to find Vantri4"}, kEnding}));
    }
}

TEST_F(FlashWorkflowTest, FailedEnumerationCountsAsNoAdapter)
{
    bus.Attach();
    bus.FailEnumeration(true);
    RunClick(IDC_UPDATE_FIRMWARE);
    ASSERT_EQ(window.Boxes().size(), 1u);
    EXPECT_EQ(window.Boxes()[0].caption, u"Unable to find Vantri4");
}

TEST_F(FlashWorkflowTest, UnreadableInformationEndsTheUpdateAfterLockingWithNothingWritten)
{
    VantriEmu::AdapterSettings settings;
    settings.faults = {Fault::Refuse(21, 2, 0x05)}; // page 2 reads, page 3 is refused
    auto& adapter = Attach(settings);

    RunClick(IDC_UPDATE_FIRMWARE);
    ASSERT_EQ(window.Boxes().size(), 1u);
    EXPECT_EQ(window.Boxes()[0].kind, BoxKind::Error);
    EXPECT_EQ(window.Boxes()[0].caption, u"Unable to flash Vantri4");
    EXPECT_EQ(window.Boxes()[0].text, kReadFailed);
    EXPECT_EQ(Events(), Concat({{"enumerate 1"}, kLocked, {"box error Unable to flash Vantri4"}, kEnding}));
    EXPECT_TRUE(NothingWritten(adapter));
}

TEST_F(FlashWorkflowTest, VersionRulesDecideOnTheFirstAdapter)
{
    struct Case {
        const char* version;
        BoxKind kind;
        std::u16string text;
    };
    const Case cases[] = {
        // The limit itself is too old.
        {"4.00.20141114", BoxKind::Information,
         u"Your Vantri4 has a firmware version [4.00.20141114] that can't be upgraded to [4.00.20160918].\n\n"
         u"Please re-run this tool and select 'Factory Reset'."},
        // No date where the date belongs reads as 0: too old.
        {"4.00", BoxKind::Information,
         u"Your Vantri4 has a firmware version [4.00] that can't be upgraded to [4.00.20160918].\n\n"
         u"Please re-run this tool and select 'Factory Reset'."},
        {"4.00.20160918", BoxKind::Information, u"Your Vantri4's firmware [4.00.20160918] is already up-to-date."},
        // Newer than ours is up to date too, and the box names our version.
        {"4.01.20170101", BoxKind::Information, u"Your Vantri4's firmware [4.00.20160918] is already up-to-date."},
        // Only the date counts: a lower release number with a later date.
        {"3.99.20150101", BoxKind::Question,
         u"Your Vantri4 will be upgraded from firmware version\n[3.99.20150101] to [4.00.20160918].\n\nReady?"},
        {"4.00.20141115", BoxKind::Question,
         u"Your Vantri4 will be upgraded from firmware version\n[4.00.20141115] to [4.00.20160918].\n\nReady?"},
        // 24 bytes and no terminator: shown as exactly those 24 characters.
        {"4.00.20150101-abcdefghij", BoxKind::Question,
         u"Your Vantri4 will be upgraded from firmware version\n[4.00.20150101-abcdefghij] to [4.00.20160918].\n\n"
         u"Ready?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        ProgramRun run({AdapterWithVersion(c.version), AdapterWithVersion("4.00.20150101")}, {BoxAnswer::No}, image);
        ScriptedWindow& runWindow = run.window;
        auto& first = run.Adapter(0);
        auto& second = run.Adapter(1);
        ASSERT_TRUE(run.Click(IDC_UPDATE_FIRMWARE));
        ASSERT_EQ(runWindow.Boxes().size(), 1u);
        EXPECT_EQ(runWindow.Boxes()[0].kind, c.kind);
        EXPECT_EQ(runWindow.Boxes()[0].caption, u"Firmware Update");
        EXPECT_EQ(runWindow.Boxes()[0].text, c.text);
        // Whatever the outcome: nothing written, nothing queued, only the
        // first adapter asked, the run ended.
        EXPECT_TRUE(NothingWritten(first));
        EXPECT_EQ(second.Counts().outputReports, 0u);
        EXPECT_TRUE(runWindow.QueuedContexts().empty());
        const EventList events = runWindow.Events();
        EXPECT_EQ(EventList(events.end() - 3, events.end()), kEnding);
        ExpectHeldOnlyWhileWorking(runWindow, SystemHold::None, false);
    }
}

TEST_F(FlashWorkflowTest, AQuestionNotAnsweredYesWritesNothing)
{
    // No, and a question box the system could not show.
    for (BoxAnswer answer : {BoxAnswer::No, BoxAnswer::None}) {
        for (int button : {IDC_UPDATE_FIRMWARE, IDC_FACTORY_RESET}) {
            SCOPED_TRACE(button);
            ProgramRun run({AdapterWithVersion("4.00.20150101")}, {answer}, image);
            ScriptedWindow& runWindow = run.window;
            auto& adapter = run.Adapter(0);
            ASSERT_TRUE(run.Click(button));
            ASSERT_EQ(runWindow.Boxes().size(), 1u); // the question; nothing after it
            EXPECT_EQ(runWindow.Boxes()[0].kind, BoxKind::Question);
            EXPECT_TRUE(NothingWritten(adapter));
            EXPECT_TRUE(runWindow.QueuedContexts().empty());
            EXPECT_EQ(runWindow.ControlText(IDC_STATUS), u"");
            const EventList events = runWindow.Events();
            EXPECT_EQ(EventList(events.end() - 4, events.end()),
                      Concat({{std::string("box question ") +
                               (button == IDC_FACTORY_RESET ? "Factory Reset" : "Firmware Update")},
                              kEnding}));
        }
    }
}

// --- Runs that flash ---

TEST_F(FlashWorkflowTest, UpdateOfOneAdapterWritesTheCarriedImageAndEndsWithTheSuccessBox)
{
    auto& adapter = Attach(AdapterWithVersion("4.00.20150101"));
    window.AnswerQuestions({BoxAnswer::Yes});

    RunClick(IDC_UPDATE_FIRMWARE);
    EXPECT_EQ(adapter.Image(), image);
    EXPECT_TRUE(adapter.Clean());
    EXPECT_FALSE(adapter.ConfigsErased());
    EXPECT_EQ(adapter.ParametersOf(3), std::vector<std::uint16_t>{4600});
    EXPECT_EQ(window.QueuedContexts(), std::vector<std::uintptr_t>{0});
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"Flashing ...\n");
    EXPECT_EQ(window.ProgressValue(), 100u);

    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].kind, BoxKind::Information);
    EXPECT_EQ(window.Boxes()[1].caption, u"Flash Complete");
    EXPECT_EQ(window.Boxes()[1].text, kDoneOne);

    // Locked before the question; the status set before the job is queued;
    // the adapter closed before the box, the window destroyed after it.
    const EventList events = Events();
    EXPECT_LT(EventAt("show 1001"), EventAt("box question Firmware Update"));
    EXPECT_LT(EventAt("box question Firmware Update"), EventAt("text 1002 Flashing ...\n"));
    EXPECT_LT(EventAt("text 1002 Flashing ...\n"), EventAt("queue 0"));
    EXPECT_EQ(EventList(events.end() - 4, events.end()),
              (EventList{"close 0", "box information Flash Complete", "destroy", "quit 0"}));
    EXPECT_EQ(bus.CloseCalls(0), 1u);
    // The success box waits for the user with the system no longer held.
    ExpectHeldOnlyWhileWorking(window, SystemHold::SleepAndSessionEnd, true);
    EXPECT_LE(window.Holds().back().eventsBefore, EventAt("box information Flash Complete"));
}

// The diagnostics log of a run: its lines in order, a full log begun anew
// with the old one kept, and a log that cannot be written changing nothing.
TEST_F(FlashWorkflowTest, TheLogKeepsTheRunWithinItsBoundAndNeverChangesTheOutcome)
{
    const std::string nearlyFull(Vantri::kMaxLogSize - 10, 'x');
    struct Case {
        const char* name;
        std::string before;
        bool writable;
        std::string old; // the .old log afterwards
    };
    const Case cases[] = {
        {"fresh", "", true, ""},
        {"appended", "T earlier run\r\n", true, ""},
        {"full", nearlyFull, true, nearlyFull},
        {"unwritable", "T earlier run\r\n", false, ""},
    };
    const std::vector<std::string> lines = {
        "T operation: Update Firmware\r\n",   "T adapters found: 1\r\n",
        "T adapter 0: \\\\?\\hid#vid_2387&pid_0003#emu&0#{4d1e55b2-f16f-11cf-88cb-001111000030}\r\n",
        "T adapter 0 firmware: 4.00.20150101\r\n",
        "T question Firmware Update: yes\r\n", "T flash of adapter 0: done\r\n",
        "T box information: Flash Complete\r\n"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRun run({AdapterWithVersion("4.00.20150101")}, {BoxAnswer::Yes}, image);
        run.window.SetLogFile(c.before, c.writable);
        ASSERT_TRUE(run.Click(IDC_UPDATE_FIRMWARE));
        EXPECT_EQ(run.Adapter(0).Image(), image);
        ASSERT_EQ(run.window.Boxes().size(), 2u);
        EXPECT_EQ(run.window.Boxes()[1].text, kDoneOne);
        EXPECT_EQ(run.window.OldLogFile(), c.old);
        const std::string log = run.window.LogFile();
        if (!c.writable) {
            EXPECT_EQ(log, c.before);
            continue;
        }
        std::string expected = c.old.empty() ? c.before : "";
        for (const std::string& line : lines)
            expected += line;
        ASSERT_GE(log.size(), expected.size());
        EXPECT_EQ(log.substr(0, expected.size()), expected);
        EXPECT_EQ(log.substr(expected.size()).rfind("T operation ended after ", 0), 0u) << log;
        EXPECT_LE(log.size(), Vantri::kMaxLogSize);
    }
}

TEST_F(FlashWorkflowTest, UpdateOfThreeAdaptersAsksAboutTheFirstAndFlashesAll)
{
    auto& first = Attach(AdapterWithVersion("4.00.20150101"));
    // The others' versions play no part, not even a too-old one.
    auto& second = Attach(AdapterWithVersion("4.00.20141114"));
    auto& third = Attach(AdapterWithVersion("4.01.20170101"));
    window.AnswerQuestions({BoxAnswer::Yes});

    RunClick(IDC_UPDATE_FIRMWARE);
    EXPECT_EQ(window.QueuedContexts(), (std::vector<std::uintptr_t>{0, 1, 2}));
    EXPECT_EQ(second.Counts().framesOfCommand[21], 0u);
    EXPECT_EQ(third.Counts().framesOfCommand[21], 0u);
    for (auto* adapter : {&first, &second, &third}) {
        EXPECT_EQ(adapter->Image(), image);
        EXPECT_FALSE(adapter->ConfigsErased());
    }

    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[0].text,
              u"Your Vantri4 will be upgraded from firmware version\n[4.00.20150101] to [4.00.20160918].\n\nReady?");
    EXPECT_EQ(window.Boxes()[1].caption, u"Flash Complete");
    EXPECT_EQ(window.Boxes()[1].text,
              u"3 Vantri4s updated successfully!\n\nIt is now safe to remove them from your PC.");
    // The success box comes once, after all three adapters are closed.
    const std::size_t box = EventAt("box information Flash Complete");
    for (const char* close : {"close 0", "close 1", "close 2"})
        EXPECT_LT(EventAt(close), box) << close;
    EXPECT_EQ(box + 3, Events().size());
}

TEST_F(FlashWorkflowTest, FactoryResetSkipsTheVersionRulesAndErasesFirst)
{
    // Unreadable information and too-old firmware: a factory reset asks for
    // neither.
    VantriEmu::AdapterSettings unreadable;
    unreadable.faults = {Fault::Refuse(21, 1, 0x05)};
    for (const VantriEmu::AdapterSettings& settings : {unreadable, AdapterWithVersion("4.00.20141114")}) {
        ProgramRun run({settings}, {BoxAnswer::Yes}, image);
        ScriptedWindow& runWindow = run.window;
        auto& adapter = run.Adapter(0);
        ASSERT_TRUE(run.Click(IDC_FACTORY_RESET));
        EXPECT_EQ(adapter.Counts().framesOfCommand[21], 0u);
        ASSERT_EQ(runWindow.Boxes().size(), 2u);
        EXPECT_EQ(runWindow.Boxes()[0].kind, BoxKind::Question);
        EXPECT_EQ(runWindow.Boxes()[0].caption, u"Factory Reset");
        EXPECT_EQ(runWindow.Boxes()[0].text,
                  u"WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware "
                  u"version [4.00.20160918].\n\nWhen complete, you must re-pair your Vantri4 to all your Vantri4 "
                  u"Manager devices.\n\nAre you sure?");
        EXPECT_EQ(runWindow.Boxes()[1].caption, u"Flash Complete");
        EXPECT_EQ(runWindow.Boxes()[1].text, kDoneOne);
        EXPECT_EQ(runWindow.QueuedContexts(), std::vector<std::uintptr_t>{0x80000000u});

        const auto transcript = adapter.Transcript();
        ASSERT_GE(transcript.size(), 5u);
        EXPECT_EQ(transcript[0].frame.command, 10);
        EXPECT_EQ(transcript[2].frame.command, 11);
        EXPECT_EQ(transcript[4].frame.command, 1);
        EXPECT_TRUE(adapter.ConfigsErased());
        EXPECT_TRUE(adapter.SettingsErased());
        EXPECT_EQ(adapter.Image(), image);
    }
}

TEST_F(FlashWorkflowTest, FactoryResetOfThreeAdaptersNamesTheCountAndFlagsEveryJob)
{
    Attach();
    Attach();
    Attach();
    window.AnswerQuestions({BoxAnswer::Yes});

    RunClick(IDC_FACTORY_RESET);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[0].text,
              u"WARNING! Factory Reset will erase all your Configs and Global Settings and install firmware "
              u"version [4.00.20160918].\n\nAre you sure?\n\n(3 Vantri4s will be updated.)");
    EXPECT_EQ(window.QueuedContexts(), (std::vector<std::uintptr_t>{0x80000000u, 0x80000001u, 0x80000002u}));
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(bus.Attached(i).ConfigsErased()) << i;
        EXPECT_EQ(bus.Attached(i).Image(), image) << i;
    }
    EXPECT_EQ(window.Boxes()[1].text,
              u"3 Vantri4s updated successfully!\n\nIt is now safe to remove them from your PC.");
}

// --- Failures of the workers ---

TEST_F(FlashWorkflowTest, WorkerFailuresOfOneAdapterShowTheTextWithoutLocation)
{
    struct Case {
        const char* name;
        int button;
        Fault fault;
        std::uint8_t notSent; // the command that must not follow the failure
        std::string logged;   // what the diagnostics log keeps of it
    };
    const std::string failed = "flash of adapter 0 failed: device 0, ";
    const Case cases[] = {
        {"data frame", IDC_UPDATE_FIRMWARE, Fault::Refuse(2, 100, 0x09), 3, failed + "command 2, code 0x00000009 (9)"},
        {"end command", IDC_UPDATE_FIRMWARE, Fault::Refuse(3, 1, 0x09), 0, failed + "command 3, code 0x00000009"},
        {"begin, adapter gone", IDC_UPDATE_FIRMWARE, Fault::Vanish(1, 1), 2, failed + "command 1, code 0x"},
        {"erase configs", IDC_FACTORY_RESET, Fault::Refuse(10, 1, 0x09), 11, failed + "command 10, code 0x00000009"},
        {"erase settings", IDC_FACTORY_RESET, Fault::Refuse(11, 1, 0x09), 1, failed + "command 11, code 0x00000009"},
        {"echo that differs", IDC_FACTORY_RESET, Fault::BadEcho(2, 7), 3,
         failed + "command 2, code 0x20000001 (536870913), detail1 0, detail2 0: Send echo failure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VantriEmu::AdapterSettings settings = AdapterWithVersion("4.00.20150101");
        settings.faults = {c.fault};
        ProgramRun run({settings}, {BoxAnswer::Yes}, image);
        ScriptedWindow& runWindow = run.window;
        auto& adapter = run.Adapter(0);
        ASSERT_TRUE(run.Click(c.button));
        ASSERT_EQ(runWindow.Boxes().size(), 2u);
        EXPECT_EQ(runWindow.Boxes()[1].kind, BoxKind::Error);
        EXPECT_EQ(runWindow.Boxes()[1].caption, u"Unable to flash Vantri4");
        EXPECT_EQ(runWindow.Boxes()[1].text, kFailedOne);
        EXPECT_FALSE(adapter.ImageReceived());
        if (c.notSent != 0) {
            EXPECT_EQ(adapter.Counts().framesOfCommand[c.notSent], 0u);
        }
        const EventList events = runWindow.Events();
        EXPECT_EQ(EventList(events.end() - 4, events.end()),
                  (EventList{"close 0", "box error Unable to flash Vantri4", "destroy", "quit 0"}));
        ExpectHeldOnlyWhileWorking(runWindow, SystemHold::SleepAndSessionEnd, true);
        EXPECT_NE(runWindow.LogFile().find(c.logged), std::string::npos) << runWindow.LogFile();
    }
}

TEST_F(FlashWorkflowTest, AfterAFailureBoxTheWindowStaysUntilTheOtherAdapterIsWritten)
{
    // Adapter 0 holds back the answer to its 20th data frame, so it is still
    // being written when adapter 1 fails and its box is answered.
    VantriEmu::AdapterSettings busy = AdapterWithVersion("4.00.20150101");
    busy.faults = {Fault::Hold(2, 20)};
    auto& first = Attach(busy);
    VantriEmu::AdapterSettings failing;
    failing.faults = {Fault::Refuse(2, 20, 0x09)};
    auto& second = Attach(failing);
    window.AnswerQuestions({BoxAnswer::Yes});

    window.Click(IDC_UPDATE_FIRMWARE);
    ASSERT_TRUE(window.RunUntil([&] { return window.Boxes().size() == 2; }));
    EXPECT_EQ(window.Boxes()[1].caption, u"Unable to flash Vantri4");
    EXPECT_EQ(window.Boxes()[1].text, FailedAt(1));
    EXPECT_FALSE(second.ImageReceived());
    // Answered, and still there: locked, refusing the end of the session and
    // a close request, the bar still moving.
    EXPECT_FALSE(HasEvent("destroy"));
    EXPECT_FALSE(Vantri::SessionMayEnd());
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageClose, 0, 0));
    EXPECT_FALSE(HasEvent("destroy"));

    first.ReleaseHeldAnswers();
    ASSERT_TRUE(window.RunProgram());
    EXPECT_EQ(first.Image(), image);
    EXPECT_TRUE(first.Clean());
    // It goes with the last report, and without a second box.
    EXPECT_EQ(window.Boxes().size(), 2u);
    EXPECT_LT(EventAt("close 0"), EventAt("destroy"));
    EXPECT_FALSE(HasEvent("box information Flash Complete"));
}

TEST_F(FlashWorkflowTest, DoneMessagesWhileTheFailureBoxIsOpenCloseTheirAdaptersButNeverSucceed)
{
    VantriEmu::AdapterSettings failing = AdapterWithVersion("4.00.20150101");
    failing.faults = {Fault::Refuse(2, 3, 0x09)};
    Attach(failing);
    // The other two wait at their first data frame until the failure box
    // is open, then finish under it.
    VantriEmu::AdapterSettings busy;
    busy.faults = {Fault::Hold(2, 1)};
    auto& second = Attach(busy);
    auto& third = Attach(busy);
    window.AnswerQuestions({BoxAnswer::Yes});
    window.OnBox([&](ScriptedWindow& w, const BoxRecord& box) {
        if (box.kind != BoxKind::Error)
            return;
        second.ReleaseHeldAnswers();
        third.ReleaseHeldAnswers();
        w.DrainWhileBoxOpen();
    });

    RunClick(IDC_UPDATE_FIRMWARE);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].text, FailedAt(0));
    // The other two finished under the open box: closed, counted, no success.
    const std::size_t failureBox = EventAt("box error Unable to flash Vantri4");
    EXPECT_LT(failureBox, EventAt("close 1"));
    EXPECT_LT(failureBox, EventAt("close 2"));
    EXPECT_LT(EventAt("close 2"), EventAt("destroy"));
    EXPECT_LT(EventAt("close 1"), EventAt("destroy"));
    EXPECT_FALSE(HasEvent("box information Flash Complete"));
    EXPECT_EQ(second.Image(), image);
}

// --- The pool refusing work ---

TEST_F(FlashWorkflowTest, RefusedWorkItemIsThatAdaptersFailureInsteadOfAWindowThatWaitsForEver)
{
    auto& adapter = Attach(AdapterWithVersion("4.00.20150101"));
    window.AnswerQuestions({BoxAnswer::Yes});
    window.RefuseQueueCall(0);

    window.Click(IDC_UPDATE_FIRMWARE);
    ASSERT_TRUE(window.RunProgram(5s)) << "the window waits for a worker that never ran";
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].kind, BoxKind::Error);
    EXPECT_EQ(window.Boxes()[1].text, kFailedOne);
    EXPECT_TRUE(NothingWritten(adapter));
    const EventList events = Events();
    EXPECT_EQ(EventList(events.end() - 5, events.end()),
              (EventList{"queue refused 0", "close 0", "box error Unable to flash Vantri4", "destroy", "quit 0"}));
    ExpectHeldOnlyWhileWorking(window, SystemHold::SleepAndSessionEnd, true);
    EXPECT_LE(window.Holds().back().eventsBefore, EventAt("box error Unable to flash Vantri4"));
}

TEST_F(FlashWorkflowTest, RefusalAtTheSecondOfThreeStopsQueueingAndLetsTheFirstFinish)
{
    Attach();
    Attach();
    auto& third = Attach();
    window.AnswerQuestions({BoxAnswer::Yes});
    window.RefuseQueueCall(1);

    RunClick(IDC_FACTORY_RESET);
    EXPECT_EQ(window.QueuedContexts(), std::vector<std::uintptr_t>{0x80000000u});
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].text, FailedAt(1));
    EXPECT_EQ(third.Counts().outputReports, 0u);
    EXPECT_EQ(bus.Attached(0).Image(), image);
    EXPECT_FALSE(HasEvent("box information Flash Complete"));
    ExpectHeldOnlyWhileWorking(window, SystemHold::SleepAndSessionEnd, true);
}

// --- The bar and the window's own close box ---

TEST_F(FlashWorkflowTest, ProgressBarNeverMovesBack)
{
    window.Dispatch({WM_FLASH_PROGRESS, 0, 10});
    window.Dispatch({WM_FLASH_PROGRESS, 1, 5});
    EXPECT_EQ(window.ProgressValue(), 10u);
    window.Dispatch({WM_FLASH_PROGRESS, 1, 10});
    window.Dispatch({WM_FLASH_PROGRESS, 1, 11});
    EXPECT_EQ(window.ProgressValue(), 11u);
    EXPECT_EQ(Events(), (EventList{"progress 10", "progress 11"}));
}

TEST_F(FlashWorkflowTest, ACloseRequestDuringAFlashLeavesTheWindowUntilTheSuccessBox)
{
    // Held at its 1,000th data frame (21%): still at work when the user closes.
    VantriEmu::AdapterSettings busy = AdapterWithVersion("4.00.20150101");
    busy.faults = {Fault::Hold(2, 1000)};
    auto& adapter = Attach(busy);
    window.AnswerQuestions({BoxAnswer::Yes});

    window.Click(IDC_UPDATE_FIRMWARE);
    ASSERT_TRUE(window.RunUntil([&] { return window.ProgressValue() >= 5; }));
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageClose, 0, 0));
    EXPECT_FALSE(HasEvent("destroy"));

    adapter.ReleaseHeldAnswers();
    ASSERT_TRUE(window.RunProgram());
    EXPECT_EQ(adapter.Image(), image);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].caption, u"Flash Complete");
    EXPECT_LT(EventAt("box information Flash Complete"), EventAt("destroy"));
}

TEST_F(FlashWorkflowTest, FinalMessagesForIndicesNotRunningOrAlreadyFinishedAreIgnored)
{
    Attach(AdapterWithVersion("4.00.20150101"));
    VantriEmu::AdapterSettings busy;
    busy.faults = {Fault::Hold(2, 1)}; // adapter 1 stays at work until released
    auto& second = Attach(busy);
    window.AnswerQuestions({BoxAnswer::Yes});

    window.Click(IDC_UPDATE_FIRMWARE);
    ASSERT_TRUE(window.RunUntil([&] { return HasEvent("close 0"); }));
    ASSERT_FALSE(HasEvent("close 1"));
    // Any program can post to our window: a repeat for adapter 0 and an
    // index this run never had must not count towards success or close
    // a slot that does not exist.
    // Nor may a "done" for adapter 1, still at work, be believed: the user
    // would be told to unplug a half-written adapter.
    window.Dispatch({WM_FLASH_DONE, 0, 0});
    window.Dispatch({WM_FLASH_DONE, 2, 0});
    window.Dispatch({WM_FLASH_FAILED, 300, 0});
    window.Dispatch({WM_FLASH_DONE, 1, 0});
    window.Dispatch({WM_FLASH_FAILED, 1, 0});
    EXPECT_FALSE(HasEvent("box information Flash Complete"));
    EXPECT_FALSE(HasEvent("box error Unable to flash Vantri4"));
    EXPECT_FALSE(HasEvent("close 2"));
    EXPECT_FALSE(HasEvent("close 1"));
    EXPECT_EQ(bus.CloseCalls(0), 1u);

    second.ReleaseHeldAnswers();
    ASSERT_TRUE(window.RunProgram());
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].text,
              u"2 Vantri4s updated successfully!\n\nIt is now safe to remove them from your PC.");
    EXPECT_EQ(second.Image(), image);
}

TEST_F(FlashWorkflowTest, AYesAfterTheAgreedEndOfTheSessionWritesNothing)
{
    auto& adapter = Attach(AdapterWithVersion("4.00.20150101"));
    window.AnswerQuestions({BoxAnswer::Yes});
    // While the question is open, the system asks whether the session may
    // end (the restart manager, say): nothing is written yet, so yes.
    window.OnBox([&](ScriptedWindow& w, const BoxRecord& box) {
        if (box.kind == BoxKind::Question) {
            EXPECT_EQ(w.AnswerToSessionEnd(true), 1);
        }
    });

    RunClick(IDC_UPDATE_FIRMWARE);
    EXPECT_TRUE(NothingWritten(adapter));
    EXPECT_TRUE(window.QueuedContexts().empty());
    EXPECT_NE(window.LogFile().find("not started (the session is ending)"), std::string::npos) << window.LogFile();
}

TEST_F(FlashWorkflowTest, ProgramWithoutItsImageWritesNothingAndFails)
{
    auto& adapter = Attach();
    window.SetFirmware({});
    window.AnswerQuestions({BoxAnswer::Yes});

    RunClick(IDC_FACTORY_RESET);
    EXPECT_EQ(adapter.Counts().outputReports, 0u);
    ASSERT_EQ(window.Boxes().size(), 2u);
    EXPECT_EQ(window.Boxes()[1].text, kFailedOne);
}

} // namespace
} // namespace VantriTest

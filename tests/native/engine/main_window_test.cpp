#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/main_window.h"
#include "engine/window_messages.h"
#include "tests/native/engine/app_fixture.h"

namespace VantriTest {
namespace {

using MainWindowTest = AppTest;

TEST_F(MainWindowTest, CloseDestroysTheWindowAndEndsTheLoopWithoutStartingAnything)
{
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageClose, 0, 0));
    EXPECT_TRUE(window.RunProgram());
    EXPECT_EQ(Events(), (EventList{"destroy", "quit 0"}));
    EXPECT_TRUE(window.Boxes().empty());
}

TEST_F(MainWindowTest, OnlyPlainClicksOnTheButtonsStartAWorkflow)
{
    // Escape and the dialog manager's cancel arrive as id 2 only through
    // IsDialogMessage or a close; a notification other than 0 is no click.
    window.Click(IDC_UPDATE_FIRMWARE, 1);
    window.Click(IDC_FACTORY_RESET, 0x0100);
    window.Click(IDC_BACKUP_CONFIGS, 1);
    window.Click(IDC_RESTORE_CONFIGS, 1);
    window.Click(IDC_STATUS);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(bus.Enumerations(), 0u);

    // Other messages, the dialog's initialisation among them, are not ours.
    EXPECT_FALSE(Vantri::DispatchMainMessage(window.MainWindow(), 272 /* WM_INITDIALOG */, 0, 0));
    EXPECT_TRUE(Events().empty());
    // A backup's final message without a backup under way is handled and
    // does nothing: no worker of ours posted it.
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), WM_BACKUP_DONE, 0, 0));
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), WM_BACKUP_FAILED, 0, 0));
    EXPECT_TRUE(Events().empty());
    // A workflow's own message is answered as handled, so the dialog manager
    // never takes 1025 for DM_SETDEFID.
    EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), WM_FLASH_PROGRESS, 2, 0));

    // A real click on each button starts its workflow (here: no adapter, so
    // each ends at once). A run performs one workflow: a second click in the
    // same run, on any button, starts nothing.
    for (int id : {IDC_UPDATE_FIRMWARE, IDC_FACTORY_RESET, IDC_BACKUP_CONFIGS, IDC_RESTORE_CONFIGS}) {
        Vantri::ResetRun();
        const std::uint32_t before = bus.Enumerations();
        EXPECT_FALSE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageCommand, id, 0));
        EXPECT_EQ(bus.Enumerations(), before + 1) << id;
        for (int again : {IDC_UPDATE_FIRMWARE, IDC_BACKUP_CONFIGS, id})
            EXPECT_FALSE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageCommand, again, 0));
        EXPECT_EQ(bus.Enumerations(), before + 1) << id;
    }
    // A session that ends after all (wParam true) starts nothing new; one
    // whose end was called off (false) leaves the window as it was.
    for (std::uintptr_t ending : {0u, 1u}) {
        Vantri::ResetRun();
        const std::uint32_t before = bus.Enumerations();
        EXPECT_TRUE(Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageEndSession, ending, 0));
        Vantri::DispatchMainMessage(window.MainWindow(), Vantri::kMessageCommand, IDC_BACKUP_CONFIGS, 0);
        EXPECT_EQ(bus.Enumerations(), before + (ending ? 0 : 1)) << ending;
    }
}

TEST_F(MainWindowTest, LockControlsDisablesTheFourButtonsInOrderThenShowsTheBar)
{
    Vantri::LockControls();
    EXPECT_EQ(Events(), (EventList{"disable 2", "disable 3", "disable 4", "disable 5", "show 1001"}));
}

TEST_F(MainWindowTest, StatusLineEndsInALineFeedAndStaysEmptyWhenTheTextCannotBeMade)
{
    Vantri::SetStatus(u"Flashing ...");
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"Flashing ...\n");

    Vantri::SetStatus(u"%d of %hs", {3, "four"});
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"3 of four\n");

    const std::u16string longest(Vantri::kStatusTextMax, u'x');
    Vantri::SetStatus(longest);
    EXPECT_EQ(window.ControlText(IDC_STATUS), longest + u"\n");

    Vantri::SetStatus(longest + u"x");
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"");

    Vantri::SetStatus(u"Flashing ...");
    Vantri::SetStatus(u"%hs", {}); // cannot be formatted
    EXPECT_EQ(window.ControlText(IDC_STATUS), u"");
}

TEST_F(MainWindowTest, ProgressCallbacksPostTheirMessageWithIndexAndPercent)
{
    Vantri::FlashProgress(2, 40, 77);
    Vantri::BackupProgress(0, 41, 0);
    Vantri::RestoreProgress(0, 42, 0);
    EXPECT_EQ(window.Pending(), (std::vector<PostedMessage>{{WM_FLASH_PROGRESS, 2, 40},
                                                            {WM_BACKUP_PROGRESS, 0, 41},
                                                            {WM_RESTORE_PROGRESS, 0, 42}}));
    window.RunUntil([&] { return window.PostsDelivered() == 3; }, std::chrono::seconds(5));
    // Each reaches the bar through the dispatch.
    EXPECT_EQ(window.ProgressValue(), 42u);
    EXPECT_EQ(Events(), (EventList{"progress 40", "progress 41", "progress 42"}));
}

TEST(MainWindowTitle, NamesTheCarriedVersion)
{
    char title[Vantri::kTitleBufferSize];
    std::memset(title, '#', sizeof title);
    Vantri::FormatWindowTitle(title);
    EXPECT_STREQ(title, "Vantri4 Flash [4.00.20160918]");
}

} // namespace
} // namespace VantriTest

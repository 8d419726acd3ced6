// A program run against emulated adapters: the adapter model bound as
// g_loader (with enumerations and closings logged), the scripted window as
// the platform, and the workflows reset to a fresh run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/backup_workflow.h"
#include "engine/flash_workflow.h"
#include "engine/main_window.h"
#include "engine/restore_workflow.h"
#include "emulator/model/emulated_bus.h"
#include "resources/resource.h"
#include "tests/native/engine/scripted_window.h"
#include "tests/support/loader_switch.h"

namespace VantriTest {

// What the scripted window saw, one line an event.
using EventList = std::vector<std::string>;

// What LockControls does: the four buttons disabled in order, then the bar
// shown.
inline const EventList kLocked{"disable 2", "disable 3", "disable 4", "disable 5", "show 1001"};

inline EventList Concat(std::initializer_list<EventList> parts)
{
    EventList all;
    for (const EventList& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The system is held off (sleep, and the session's end while an adapter is
// written) from just before a device worker is queued until no worker is at
// work, and nothing stays held after the program's end, whatever the
// outcome. Runs that queue no device worker (downloads are no device
// operation) hold nothing.
inline void ExpectHeldOnlyWhileWorking(const ScriptedWindow& window, Vantri::SystemHold whileWorking,
                                       bool deviceWorkerQueued)
{
    const EventList events = window.Events();
    const std::vector<HoldRecord> holds = window.Holds();
    if (!deviceWorkerQueued) {
        EXPECT_TRUE(holds.empty()) << "held with no device worker queued";
        return;
    }
    ASSERT_EQ(holds.size(), 2u);
    EXPECT_EQ(holds[0].hold, whileWorking);
    ASSERT_LT(holds[0].eventsBefore, events.size());
    EXPECT_EQ(events[holds[0].eventsBefore].rfind("queue ", 0), 0u) << "not held just before a worker was queued";
    EXPECT_EQ(holds[1].hold, Vantri::SystemHold::None) << "still held at the end";
    const auto lastQueue = std::find_if(events.rbegin(), events.rend(),
                                        [](const std::string& event) { return event.rfind("queue ", 0) == 0; });
    EXPECT_GE(holds[1].eventsBefore, static_cast<std::size_t>(events.rend() - lastQueue))
        << "let go before the last worker was queued";
}

// The size of the image the program carries; its bytes are opaque to the
// program, so any pattern will do.
inline constexpr std::uint32_t kCarriedImageSize = 257536;

inline std::vector<std::uint8_t> TestImage(std::uint32_t size = kCarriedImageSize)
{
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& byte : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x);
    }
    return image;
}

inline VantriEmu::AdapterSettings AdapterWithVersion(std::string version)
{
    VantriEmu::AdapterSettings settings;
    settings.version = std::move(version);
    return settings;
}

// A run of the program with adapters of its own, for tests that try one
// thing several ways.
struct ProgramRun {
    ProgramRun(const std::vector<VantriEmu::AdapterSettings>& adapters, std::vector<BoxAnswer> answers,
               std::vector<std::uint8_t> firmware)
        : window(log, std::move(firmware))
    {
        for (const auto& settings : adapters)
            bus.Attach(settings);
        window.AnswerQuestions(std::move(answers));
        Vantri::ResetRun();
    }
    ~ProgramRun() { window.JoinWorkers(); }

    // A click and everything the program does until its exit.
    bool Click(int id)
    {
        window.Click(id);
        return window.RunProgram(std::chrono::seconds(20));
    }

    VantriEmu::AdapterModel& Adapter(std::uint32_t n) { return bus.Attached(n); }

    EventLog log;
    VantriEmu::EmulatedBus bus;
    LoggingLoader loader{bus, log};
    ScopedLoader bound{loader};
    ScriptedWindow window;
};

class AppTest : public ::testing::Test {
protected:
    AppTest()
    {
        Vantri::ResetRun();
    }
    ~AppTest() override
    {
        // A test that stops early must not leave a worker waiting for ever
        // on an answer it held back.
        for (std::uint32_t n = 0; n < bus.AttachedCount(); ++n)
            bus.Attached(n).ReleaseHeldAnswers();
        window.JoinWorkers();
        Vantri::ResetRun();
    }

    VantriEmu::AdapterModel& Attach(const VantriEmu::AdapterSettings& settings = {})
    {
        return bus.Attach(settings);
    }

    // A click and everything the program does until its exit.
    void RunClick(int id)
    {
        window.Click(id);
        ASSERT_TRUE(window.RunProgram(std::chrono::seconds(20))) << "the window never got its quit message";
    }

    std::vector<std::string> Events() const { return window.Events(); }

    bool HasEvent(const std::string& event) const
    {
        const auto events = Events();
        return std::find(events.begin(), events.end(), event) != events.end();
    }

    // Position of an event in the log; events.size() when absent.
    std::size_t EventAt(const std::string& event) const
    {
        const auto events = Events();
        return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) - events.begin());
    }

    const std::vector<std::uint8_t> image = TestImage();
    EventLog log;
    VantriEmu::EmulatedBus bus;
    LoggingLoader logging{bus, log};
    ScopedLoader bound{logging};
    // Last: its destructor joins the workers while the loader is still bound.
    ScriptedWindow window{log, image};
};

} // namespace VantriTest

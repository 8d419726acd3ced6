// A scripted stand-in for the main window and the system around it: boxes
// answered from a script and recorded, posts queued until the test pumps
// them, work items run on real threads, refusals of the pool injectable.
// Shared by the workflow tests and the flash benchmark.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/app_platform.h"
#include "app/main_window.h"
#include "app/running_workers.h"
#include "app/window_messages.h"
#include "loader/loader.h"

namespace VantriTest {

using Vantri::BoxAnswer;
using Vantri::BoxKind;

struct BoxRecord {
    BoxKind kind;
    std::u16string caption;
    std::u16string text;
};

struct PostedMessage {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;

    friend bool operator==(const PostedMessage&, const PostedMessage&) = default;
};

inline std::string Narrow(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

inline const char* KindName(BoxKind kind)
{
    switch (kind) {
    case BoxKind::Error: return "error";
    case BoxKind::Information: return "information";
    case BoxKind::Question: return "question";
    }
    return "?";
}

// One ordered log of what the main thread did to the window and the loader,
// so tests can check the order of closing, boxes and destroying.
class EventLog {
public:
    void Add(std::string event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> Events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// Passes every operation to the real loader below and logs the main
// thread's ones (enumerate, close) into the window's log.
class LoggingLoader final : public Vantri::Loader {
public:
    LoggingLoader(Vantri::Loader& inner, EventLog& log) : inner_(inner), log_(log) {}

    bool EnumerateDevices(std::uint32_t& count) override
    {
        const bool ok = inner_.EnumerateDevices(count);
        log_.Add("enumerate " + std::to_string(count));
        return ok;
    }
    void CloseDevice(std::uint32_t index) override
    {
        log_.Add("close " + std::to_string(index));
        inner_.CloseDevice(index);
    }
    Vantri::ResultRecord WriteReport(std::uint32_t index, const Vantri::CommandFrame& payload) override
    {
        return inner_.WriteReport(index, payload);
    }
    Vantri::ResultRecord ReadReport(std::uint32_t index, Vantri::CommandFrame& destination,
                                    std::uint32_t timeoutMs) override
    {
        return inner_.ReadReport(index, destination, timeoutMs);
    }

private:
    Vantri::Loader& inner_;
    EventLog& log_;
};

class ScriptedWindow final : public Vantri::AppPlatform {
public:
    using BoxHook = std::function<void(ScriptedWindow&, const BoxRecord&)>;

    // `log` is shared with a LoggingLoader, so both sides land in one order.
    explicit ScriptedWindow(EventLog& log, std::vector<std::uint8_t> firmware = {})
        : log_(log), firmware_(std::move(firmware))
    {
        previous_ = &Vantri::Platform();
        Vantri::BindPlatform(*this);
    }

    ~ScriptedWindow()
    {
        JoinWorkers();
        Vantri::BindPlatform(*previous_);
    }

    ScriptedWindow(const ScriptedWindow&) = delete;
    ScriptedWindow& operator=(const ScriptedWindow&) = delete;

    // --- Script ---
    void AnswerQuestions(std::vector<BoxAnswer> answers) { answers_.assign(answers.begin(), answers.end()); }
    // Runs while a box is open, before it is answered: the system's modal
    // loop keeps dispatching posted messages meanwhile.
    void OnBox(BoxHook hook) { boxHook_ = std::move(hook); }
    // The n-th call (0-based) of QueueWorkItem is refused.
    void RefuseQueueCall(std::uint32_t n) { refusedQueueCalls_.insert(n); }
    void SetFirmware(std::vector<std::uint8_t> firmware) { firmware_ = std::move(firmware); }

    // --- Observations ---
    std::vector<std::string> Events() const { return log_.Events(); }
    std::vector<BoxRecord> Boxes() const { return boxes_; }
    std::vector<std::uintptr_t> QueuedContexts() const
    {
        std::lock_guard lock(mutex_);
        return queuedContexts_;
    }
    std::uint32_t ProgressValue() const { return progress_; }
    bool Destroyed() const { return destroyed_; }
    bool QuitPosted() const { return quit_; }
    std::u16string ControlText(int id) const
    {
        auto it = texts_.find(id);
        return it == texts_.end() ? std::u16string() : it->second;
    }
    std::size_t PostsDelivered() const { return delivered_; }
    // Posted and not yet dispatched, oldest first.
    std::vector<PostedMessage> Pending() const
    {
        std::lock_guard lock(mutex_);
        return {posted_.begin(), posted_.end()};
    }

    // --- The message loop, run by the test on its own thread ---
    // Dispatches posted messages until `done` holds or the quit message has
    // come. False when `limit` passes first.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!quit_ && !done()) {
            PostedMessage message;
            switch (TakePosted(message, deadline)) {
            case Take::Message: Dispatch(message); break;
            case Take::Quit: break;
            case Take::TimedOut: return false;
            }
        }
        return true;
    }

    // The program's loop: until the quit message.
    bool RunMessageLoop(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        return RunUntil([] { return false; }, limit);
    }

    // What the program does from its loop to its exit.
    bool RunProgram(std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        if (!RunMessageLoop(limit))
            return false;
        Vantri::WaitForRunningWorkers();
        JoinWorkers();
        return true;
    }

    // Click a control as the dialog manager would report it.
    void Click(int id, std::uint16_t notification = 0)
    {
        Vantri::DispatchMainMessage(MainWindow(), Vantri::kMessageCommand,
                                    (static_cast<std::uintptr_t>(notification) << 16) | static_cast<std::uint16_t>(id),
                                    0);
    }

    void Dispatch(const PostedMessage& message)
    {
        ++delivered_;
        Vantri::DispatchMainMessage(MainWindow(), message.message, message.wParam, message.lParam);
    }

    // For box hooks: lets every worker finish, then dispatches what they
    // posted, as a box left open for a while would.
    void DrainWhileBoxOpen()
    {
        Vantri::WaitForRunningWorkers();
        for (;;) {
            PostedMessage message;
            {
                std::lock_guard lock(mutex_);
                if (posted_.empty())
                    return;
                message = posted_.front();
                posted_.pop_front();
            }
            Dispatch(message);
        }
    }

    void JoinWorkers()
    {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            threads.swap(threads_);
        }
        for (std::thread& thread : threads)
            thread.join();
    }

    // --- AppPlatform ---
    Vantri::WindowRef MainWindow() override { return &windowToken_; }

    BoxAnswer ShowBox(BoxKind kind, const char16_t* caption, const char16_t* text) override
    {
        BoxRecord box{kind, caption, text};
        boxes_.push_back(box);
        log_.Add(std::string("box ") + KindName(kind) + " " + Narrow(box.caption));
        if (boxHook_)
            boxHook_(*this, box);
        if (kind != BoxKind::Question)
            return BoxAnswer::Ok;
        if (answers_.empty())
            return BoxAnswer::None;
        const BoxAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    void EnableControl(int id, bool enable) override
    {
        log_.Add((enable ? "enable " : "disable ") + std::to_string(id));
    }
    void ShowControl(int id) override { log_.Add("show " + std::to_string(id)); }
    void SetControlText(int id, const char16_t* text) override
    {
        texts_[id] = text;
        log_.Add("text " + std::to_string(id) + " " + Narrow(text));
    }
    std::uint32_t ProgressPosition() override { return progress_; }
    void SetProgressPosition(std::uint32_t position) override
    {
        progress_ = position;
        log_.Add("progress " + std::to_string(position));
    }

    // As the system does: a destroyed window loses its queued posts, refuses
    // new ones, and gets the destroy message before the call returns.
    void DestroyWindow(Vantri::WindowRef window) override
    {
        if (window != MainWindow() || destroyed_) {
            log_.Add("destroy (no window)");
            return;
        }
        log_.Add("destroy");
        {
            std::lock_guard lock(mutex_);
            destroyed_ = true;
            posted_.clear();
        }
        Vantri::DispatchMainMessage(window, Vantri::kMessageDestroy, 0, 0);
    }

    void PostQuit(int exitCode) override
    {
        log_.Add("quit " + std::to_string(exitCode));
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        posted_cv_.notify_all();
    }

    bool PostToMainWindow(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        {
            std::lock_guard lock(mutex_);
            if (destroyed_)
                return false;
            posted_.push_back({message, wParam, lParam});
        }
        posted_cv_.notify_all();
        return true;
    }

    bool QueueWorkItem(Vantri::WorkItemProc proc, std::uintptr_t context) override
    {
        std::lock_guard lock(mutex_);
        const std::uint32_t call = queueCalls_++;
        if (refusedQueueCalls_.count(call) != 0) {
            log_.Add("queue refused " + std::to_string(context));
            return false;
        }
        log_.Add("queue " + std::to_string(context));
        queuedContexts_.push_back(context);
        threads_.emplace_back([proc, context] { proc(context); });
        return true;
    }

    std::span<const std::uint8_t> FirmwareResource() override { return firmware_; }

private:
    enum class Take { Message, Quit, TimedOut };

    Take TakePosted(PostedMessage& message, std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(mutex_);
        if (!posted_cv_.wait_until(lock, deadline, [&] { return !posted_.empty() || quit_; }))
            return Take::TimedOut;
        if (posted_.empty())
            return Take::Quit;
        message = posted_.front();
        posted_.pop_front();
        return Take::Message;
    }

    EventLog& log_;
    Vantri::AppPlatform* previous_ = nullptr;
    int windowToken_ = 0;
    std::vector<std::uint8_t> firmware_;
    std::deque<BoxAnswer> answers_;
    BoxHook boxHook_;
    std::set<std::uint32_t> refusedQueueCalls_;

    std::vector<BoxRecord> boxes_;
    std::map<int, std::u16string> texts_;
    std::uint32_t progress_ = 0;
    bool destroyed_ = false;
    bool quit_ = false;
    std::size_t delivered_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable posted_cv_;
    std::deque<PostedMessage> posted_;
    std::uint32_t queueCalls_ = 0;
    std::vector<std::uintptr_t> queuedContexts_;
    std::vector<std::thread> threads_;
};

} // namespace VantriTest

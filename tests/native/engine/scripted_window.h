// A scripted stand-in for the main window and the system around it: boxes
// answered from a script and recorded, posts queued until the test pumps
// them, work items run on real threads, refusals of the pool injectable,
// file dialogs answered from a script, and a file system in memory with
// failures injectable per call. Shared by the workflow tests and the flash
// benchmark.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/app_platform.h"
#include "engine/file_store.h"
#include "engine/main_window.h"
#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "loader/loader.h"

namespace VantriTest {

using Vantri::BoxAnswer;
using Vantri::BoxKind;

struct BoxRecord {
    BoxKind kind;
    std::u16string caption;
    std::u16string text;
};

struct HoldRecord {
    Vantri::SystemHold hold;
    std::size_t eventsBefore;
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
    std::u16string_view DevicePath(std::uint32_t index) const override { return inner_.DevicePath(index); }
    std::span<const Vantri::PassedOverInterface> PassedOver() const override { return inner_.PassedOver(); }

private:
    Vantri::Loader& inner_;
    EventLog& log_;
};

// The file calls of the platform over folders and files in memory, with
// Windows' rules where the workflows depend on them: a new file needs its
// folder and a free name, a read-only file can be neither replaced nor
// deleted, an open file can be neither moved nor deleted. Every call lands
// in the window's event log. Main thread only, as the program's file calls.
class ScriptedFiles {
public:
    enum class Call { Create, Open, Write, Read, Flush, Close, Move, Remove };

    explicit ScriptedFiles(EventLog& log) : log_(log) {}

    // --- Script ---
    // A folder is named with its trailing separator, e.g. u"C:\\Backups\\".
    void AddFolder(std::u16string folder) { folders_.insert(std::move(folder)); }
    void AddFile(const std::u16string& path, std::vector<std::uint8_t> bytes, bool readOnly = false)
    {
        AddFolder(std::u16string(Vantri::FolderOf(path)));
        files_[path] = {std::move(bytes), readOnly};
    }
    // Every call of this kind fails with `error` from now on.
    void Fail(Call call, std::uint32_t error = Vantri::kErrorAccessDenied) { failures_[call] = error; }
    // Writes report success but move at most `bytes`.
    void ShortWrites(std::uint32_t bytes) { shortWrite_ = bytes; }

    // --- Observations ---
    std::optional<std::vector<std::uint8_t>> Contents(const std::u16string& path) const
    {
        auto it = files_.find(path);
        return it == files_.end() ? std::nullopt : std::optional(it->second.bytes);
    }
    std::vector<std::u16string> Paths() const
    {
        std::vector<std::u16string> paths;
        for (const auto& [path, file] : files_)
            paths.push_back(path);
        return paths;
    }
    std::size_t OpenHandles() const { return handles_.size(); }
    // The code of the last call that failed, as the system keeps it.
    std::uint32_t LastError() const { return lastError_; }

    // --- The platform's calls ---
    std::uint32_t Attributes(const char16_t* path) const
    {
        auto it = files_.find(path);
        if (it != files_.end())
            return it->second.readOnly ? Vantri::kFileAttributeReadOnly : 0x80; // FILE_ATTRIBUTE_NORMAL
        return IsFolder(path) ? Vantri::kFileAttributeDirectory : Vantri::kNoFileAttributes;
    }

    Vantri::FileRef Create(const char16_t* path, std::uint32_t& error)
    {
        error = CreateError(path);
        Note(error);
        Log("create", path, error);
        if (error != 0)
            return nullptr;
        files_[path] = {};
        return NewHandle(path, true);
    }

    Vantri::FileRef Open(const char16_t* path)
    {
        std::uint32_t error = Failure(Call::Open);
        if (error == 0 && files_.count(path) == 0)
            error = Vantri::kErrorFileNotFound;
        if (error == 0 && OpenOn(path))
            error = 32; // ERROR_SHARING_VIOLATION
        Note(error);
        Log("open", path, error);
        return error == 0 ? NewHandle(path, false) : nullptr;
    }

    bool Write(Vantri::FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written)
    {
        written = 0;
        Handle* handle = Find(file);
        const bool ok = handle && handle->writable && Failure(Call::Write) == 0;
        Note(ok ? 0 : Failure(Call::Write));
        if (ok) {
            written = std::min<std::uint32_t>(static_cast<std::uint32_t>(bytes.size()), shortWrite_);
            auto& stored = files_[handle->path].bytes;
            stored.insert(stored.end(), bytes.begin(), bytes.begin() + written);
        }
        log_.Add("file write " + std::to_string(bytes.size()) + (ok ? " wrote " + std::to_string(written) : " failed"));
        return ok;
    }

    bool Read(Vantri::FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read)
    {
        read = 0;
        Handle* handle = Find(file);
        const bool ok = handle && !handle->writable && Failure(Call::Read) == 0;
        Note(ok ? 0 : Failure(Call::Read));
        if (ok) {
            const auto& stored = files_[handle->path].bytes;
            read = static_cast<std::uint32_t>(std::min(bytes.size(), stored.size()));
            std::copy_n(stored.begin(), read, bytes.begin());
        }
        log_.Add("file read " + std::to_string(bytes.size()) + (ok ? " got " + std::to_string(read) : " failed"));
        return ok;
    }

    bool Flush(Vantri::FileRef file)
    {
        const bool ok = Find(file) && Failure(Call::Flush) == 0;
        Note(ok ? 0 : Failure(Call::Flush));
        log_.Add(ok ? "file flush" : "file flush failed");
        return ok;
    }

    // A failed close still lets the handle go, as CloseHandle's failures
    // on a valid handle are reported after the handle is gone.
    bool Close(Vantri::FileRef file)
    {
        const bool ok = handles_.erase(reinterpret_cast<std::uintptr_t>(file)) != 0 && Failure(Call::Close) == 0;
        Note(ok ? 0 : Failure(Call::Close));
        log_.Add(ok ? "file close" : "file close failed");
        return ok;
    }

    bool Move(const char16_t* from, const char16_t* to)
    {
        std::uint32_t error = Failure(Call::Move);
        auto source = files_.find(from);
        auto target = files_.find(to);
        if (error == 0 && (source == files_.end() || folders_.count(std::u16string(Vantri::FolderOf(to))) == 0))
            error = Vantri::kErrorPathNotFound;
        if (error == 0 && (OpenOn(from) || OpenOn(to) || IsFolder(to) ||
                           (target != files_.end() && target->second.readOnly)))
            error = Vantri::kErrorAccessDenied;
        Note(error);
        log_.Add("file move " + Narrow(from) + " " + Narrow(to) + Suffix(error));
        if (error != 0)
            return false;
        File moved = std::move(source->second);
        files_.erase(source);
        files_[to] = std::move(moved);
        return true;
    }

    bool Remove(const char16_t* path)
    {
        std::uint32_t error = Failure(Call::Remove);
        auto it = files_.find(path);
        if (error == 0 && it == files_.end())
            error = Vantri::kErrorFileNotFound;
        if (error == 0 && (OpenOn(path) || it->second.readOnly))
            error = Vantri::kErrorAccessDenied;
        Note(error);
        Log("remove", path, error);
        if (error == 0)
            files_.erase(it);
        return error == 0;
    }

private:
    struct File {
        std::vector<std::uint8_t> bytes;
        bool readOnly = false;
    };
    struct Handle {
        std::u16string path;
        bool writable;
    };

    std::uint32_t Failure(Call call) const
    {
        auto it = failures_.find(call);
        return it == failures_.end() ? 0 : it->second;
    }
    std::uint32_t CreateError(const std::u16string& path) const
    {
        if (std::uint32_t error = Failure(Call::Create))
            return error;
        if (folders_.count(std::u16string(Vantri::FolderOf(path))) == 0)
            return Vantri::kErrorPathNotFound;
        if (files_.count(path) != 0)
            return Vantri::kErrorFileExists;
        if (IsFolder(path))
            return Vantri::kErrorAccessDenied;
        return 0;
    }
    bool IsFolder(const std::u16string& path) const { return folders_.count(path + u"\\") != 0; }
    bool OpenOn(const std::u16string& path) const
    {
        return std::any_of(handles_.begin(), handles_.end(), [&](const auto& h) { return h.second.path == path; });
    }
    Vantri::FileRef NewHandle(const std::u16string& path, bool writable)
    {
        const std::uintptr_t id = nextHandle_++;
        handles_[id] = {path, writable};
        return reinterpret_cast<Vantri::FileRef>(id);
    }
    Handle* Find(Vantri::FileRef file)
    {
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(file));
        return it == handles_.end() ? nullptr : &it->second;
    }
    static std::string Suffix(std::uint32_t error) { return error == 0 ? "" : " failed " + std::to_string(error); }
    void Note(std::uint32_t error)
    {
        if (error != 0)
            lastError_ = error;
    }
    void Log(const char* what, const std::u16string& path, std::uint32_t error)
    {
        log_.Add(std::string("file ") + what + " " + Narrow(path) + Suffix(error));
    }

    EventLog& log_;
    std::set<std::u16string> folders_;
    std::map<std::u16string, File> files_;
    std::map<std::uintptr_t, Handle> handles_;
    std::uintptr_t nextHandle_ = 0x100;
    std::map<Call, std::uint32_t> failures_;
    std::uint32_t shortWrite_ = 0xFFFFFFFF;
    std::uint32_t lastError_ = 0;
};

struct FileDialogRecord {
    bool save;
    std::u16string title;
    std::u16string proposed; // the buffer's text when the dialog opened
    std::size_t capacity;
};

// A front end without the window's controls (the console program's) put in
// place of the boxes' answers and the file dialogs; every hook is optional.
struct FrontEndHooks {
    std::function<BoxAnswer(BoxKind, const char16_t* caption, const char16_t* text)> box;
    std::function<void(Vantri::RunOutcome)> outcome;
    std::function<void(std::uint32_t index, std::uint32_t percent)> progress;
    std::function<void(std::uint32_t index, bool ok, const Vantri::ResultRecord&, std::uint8_t command)> result;
    std::function<bool(bool save, std::span<char16_t> fileName)> file;
};

class ScriptedWindow final : public Vantri::AppPlatform {
public:
    using BoxHook = std::function<void(ScriptedWindow&, const BoxRecord&)>;

    // `log` is shared with a LoggingLoader, so both sides land in one order.
    explicit ScriptedWindow(EventLog& log, std::vector<std::uint8_t> firmware = {})
        : files(log), log_(log), firmware_(std::move(firmware))
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
    // The next file dialogs in turn: a path is typed and confirmed, nullopt
    // cancels. With nothing scripted a dialog is cancelled.
    void AnswerFileDialogs(std::vector<std::optional<std::u16string>> answers)
    {
        fileAnswers_.assign(answers.begin(), answers.end());
    }

    void UseFrontEnd(FrontEndHooks hooks) { frontEnd_ = std::move(hooks); }

    // --- Observations ---
    std::vector<std::string> Events() const { return log_.Events(); }
    // The outcomes the engine named, in order.
    std::vector<Vantri::RunOutcome> Outcomes() const { return outcomes_; }
    std::vector<BoxRecord> Boxes() const { return boxes_; }
    std::vector<FileDialogRecord> FileDialogs() const { return fileDialogs_; }
    std::vector<std::uintptr_t> QueuedContexts() const
    {
        std::lock_guard lock(mutex_);
        return queuedContexts_;
    }
    std::uint32_t ProgressValue() const { return progress_; }
    // The log's file before the run, and whether it can be written at all.
    void SetLogFile(std::string bytes, bool writable = true)
    {
        log_file_ = std::move(bytes);
        logWritable_ = writable;
    }
    const std::string& LogFile() const { return log_file_; }
    const std::string& OldLogFile() const { return old_log_file_; }
    std::vector<HoldRecord> Holds() const { return holds_; }
    // The window's answer to WM_QUERYENDSESSION, asked now: 1 lets the
    // session end, 0 refuses. Unless `ends`, the end is then called off
    // (WM_ENDSESSION with false), as when another program refuses it.
    std::intptr_t AnswerToSessionEnd(bool ends = false)
    {
        messageResult_ = -1;
        Vantri::DispatchMainMessage(MainWindow(), Vantri::kMessageQueryEndSession, 0, 0);
        const std::intptr_t answer = messageResult_;
        if (!ends)
            Vantri::DispatchMainMessage(MainWindow(), Vantri::kMessageEndSession, 0, 0);
        return answer;
    }
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
        Vantri::ReleaseHoldWhenIdle();
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
    // posted, as a box left open for a while would. A worker stops counting
    // as at work just before its final post, so its thread's end is what
    // says that post has been made.
    void DrainWhileBoxOpen()
    {
        JoinWorkers();
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
        if (frontEnd_.box)
            return frontEnd_.box(kind, caption, text);
        if (kind != BoxKind::Question)
            return BoxAnswer::Ok;
        if (answers_.empty())
            return BoxAnswer::None;
        const BoxAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    void NoteOutcome(Vantri::RunOutcome outcome) override
    {
        outcomes_.push_back(outcome);
        if (frontEnd_.outcome)
            frontEnd_.outcome(outcome);
    }
    void AdapterProgress(std::uint32_t index, std::uint32_t percent) override
    {
        if (frontEnd_.progress)
            frontEnd_.progress(index, percent);
    }
    void AdapterResult(std::uint32_t index, bool ok, const Vantri::ResultRecord& result, std::uint8_t command) override
    {
        if (frontEnd_.result)
            frontEnd_.result(index, ok, result, command);
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

    void SetMessageResult(Vantri::WindowRef, std::intptr_t result) override { messageResult_ = result; }

    // Kept apart from the event log, whose order the workflow tests assert
    // whole: each hold with the number of events logged before it.
    void HoldOffSystem(Vantri::SystemHold hold) override { holds_.push_back({hold, log_.Events().size()}); }

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

    // The log as a file in memory, each line stamped "T".
    bool OpenLog(std::uint64_t& size) override
    {
        if (!logWritable_)
            return false;
        size = log_file_.size();
        return true;
    }
    bool AppendLog(std::string_view bytes) override
    {
        log_file_.append(bytes);
        return true;
    }
    bool StartNewLog() override
    {
        old_log_file_ = std::exchange(log_file_, std::string());
        return true;
    }
    std::string LogTime() override { return "T"; }
    std::uint64_t NowMs() override
    {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }

    bool ShowSaveDialog(const char16_t* title, std::span<char16_t> fileName) override
    {
        return FileDialog(true, title, fileName);
    }
    bool ShowOpenDialog(const char16_t* title, std::span<char16_t> fileName) override
    {
        return FileDialog(false, title, fileName);
    }

    std::uint32_t PathAttributes(const char16_t* path) override { return files.Attributes(path); }
    Vantri::FileRef CreateNewFile(const char16_t* path, std::uint32_t& error) override
    {
        return files.Create(path, error);
    }
    Vantri::FileRef OpenFileToRead(const char16_t* path) override { return files.Open(path); }
    bool WriteToFile(Vantri::FileRef file, std::span<const std::uint8_t> bytes, std::uint32_t& written) override
    {
        return files.Write(file, bytes, written);
    }
    bool ReadFromFile(Vantri::FileRef file, std::span<std::uint8_t> bytes, std::uint32_t& read) override
    {
        return files.Read(file, bytes, read);
    }
    bool FlushFile(Vantri::FileRef file) override { return files.Flush(file); }
    bool CloseFile(Vantri::FileRef file) override { return files.Close(file); }
    bool MoveFileOver(const char16_t* from, const char16_t* to) override { return files.Move(from, to); }
    bool RemoveFile(const char16_t* path) override { return files.Remove(path); }
    std::uint32_t LastFileError() override { return files.LastError(); }

    // Declared before the log reference below, so it is bound from the
    // constructor's argument.
    ScriptedFiles files;

private:
    enum class Take { Message, Quit, TimedOut };

    // Like the system's dialog: the proposed name is what the buffer holds,
    // the chosen path is written back with its terminator, and a path that
    // does not fit fails the dialog.
    bool FileDialog(bool save, const char16_t* title, std::span<char16_t> fileName)
    {
        fileDialogs_.push_back({save, title, std::u16string(Vantri::PathIn(fileName)), fileName.size()});
        log_.Add(std::string(save ? "save dialog " : "open dialog ") + Narrow(title));
        if (frontEnd_.file)
            return frontEnd_.file(save, fileName);
        if (fileAnswers_.empty() || !fileAnswers_.front()) {
            if (!fileAnswers_.empty())
                fileAnswers_.pop_front();
            log_.Add("dialog cancelled");
            return false;
        }
        const std::u16string path = *fileAnswers_.front();
        fileAnswers_.pop_front();
        if (path.size() + 1 > fileName.size()) {
            log_.Add("dialog failed");
            return false;
        }
        std::copy(path.begin(), path.end(), fileName.begin());
        fileName[path.size()] = u'\0';
        log_.Add("dialog chose " + Narrow(path));
        return true;
    }

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
    std::deque<std::optional<std::u16string>> fileAnswers_;
    std::vector<FileDialogRecord> fileDialogs_;
    BoxHook boxHook_;
    std::set<std::uint32_t> refusedQueueCalls_;

    std::vector<BoxRecord> boxes_;
    std::vector<Vantri::RunOutcome> outcomes_;
    FrontEndHooks frontEnd_;
    std::map<int, std::u16string> texts_;
    std::uint32_t progress_ = 0;
    std::intptr_t messageResult_ = -1;
    std::string log_file_;
    std::string old_log_file_;
    bool logWritable_ = true;
    std::vector<HoldRecord> holds_;
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

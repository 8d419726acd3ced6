// The steps every workflow is made of. Each workflow (flash_workflow.cpp,
// backup_workflow.cpp, restore_workflow.cpp) strings these together with its
// own captions, texts and order of closing, box and destroying:
//
//   FindAdapters or FindAdapterForConfigs -> LockControls -> AskYes or
//   a file dialog -> SetStatus -> QueueCountedWorker ... FinishWorker (pool)
//   -> its final message on the main thread -> box -> DestroyMainWindow
//
// and any step that ends the run before a worker is queued ends in EndEarly.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "engine/app_platform.h"
#include "engine/text_format.h"
#include "base/command_frame.h"
#include "protocol/device_info.h"

namespace Vantri {

// A text from one of our formats. The formats and arguments are fixed, so a
// mismatch is a fault of ours that the tests catch; the user then sees an
// empty text rather than a wrong one.
std::u16string Text(std::u16string_view format, std::initializer_list<FormatArg> args = {});

// A box owned by the main window, with the run's outcome that it tells.
void ShowBox(RunOutcome outcome, BoxKind kind, const char16_t* caption, const std::u16string& text);

// A question box; true only for an explicit Yes. Anything else is the run's
// outcome: not confirmed.
bool AskYes(const char16_t* caption, const std::u16string& text);

// Closes the first adapter and destroys the window: the end of a run that
// stops before any worker was queued.
void EndEarly();

// The adapters a run works on. The window works on every adapter found; the
// console program may name some by their interface paths, compared as
// Windows compares them (SameDevicePath). Set before the run starts.
void SelectAdapters(std::span<const std::u16string> paths);

// Of the `found` adapters of the last enumeration, how many of the named
// paths are there; with none named, every adapter found counts.
std::uint32_t NamedAdaptersPresent(std::uint32_t found);

// The selected adapters' device indices, in the order of the device table,
// as the last FindAdapters left them; the first is the one that the version
// and config rules read and that backup and restore work on (device 0 when
// all are selected).
std::span<const std::uint32_t> SelectedAdapters();
std::uint32_t FirstAdapter();

// Enumerates once and selects. With no adapter selected (none found, or a
// named one missing), shows the connect box, ends the run and answers false.
// `count` is the number selected; the adapters left out are closed.
bool FindAdapters(std::uint32_t& count);

// The box texts of the config check on the first adapter, which backup and
// restore word differently.
struct ConfigCheckTexts {
    const char16_t* unreadableCaption; // the information pages could not be read
    const char16_t* outdatedCaption;   // the firmware's config format is out of date
    const char16_t* outdatedText;
};

// Enumerates, then reads the first adapter's information and applies the
// config rule. With no adapter, or one whose configs are not to be touched,
// shows the box, ends the run and answers false.
bool FindAdapterForConfigs(const ConfigCheckTexts& texts);

enum class FileDialog { Save, Open };

// The save or open dialog for backup files; the chosen path or the
// cancelling goes to the log. False when cancelled or failed.
bool ChooseFile(FileDialog dialog, const char16_t* title, std::span<char16_t> fileName);

// Reads the first selected adapter's information pages into `info`. When
// they cannot be read, shows the error box under `unreadableCaption` and
// answers false.
bool ReadFirstAdapter(DeviceInfo& info, const char16_t* unreadableCaption);

// The first thing a counted worker does: nothing of an earlier work item
// on the same pool thread is taken for its own.
void BeginWorker();

// The last thing a counted worker does: it leaves its record for the log,
// marks its final message as its own, stops counting as at work, then posts
// that one message (done or failed, with the device index in wParam and 0
// in lParam). Returns the work item's result, 0 after success and -1 after
// failure.
std::uint32_t FinishWorker(const ResultRecord& result, std::uint32_t doneMessage, std::uint32_t failedMessage,
                           std::uint32_t deviceIndex);

// Main thread, on a counted worker's done or failed message: true once, and
// only when the worker of that device index posted this very message.
// Anything else (a message any program may post) is to be ignored.
bool TakeWorkerMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Main thread, on a worker's final message: its outcome to the log, with
// the failing record and command the worker left.
void LogWorkerOutcome(std::string_view operation, std::uintptr_t deviceIndex, bool succeeded);

// Starts the next run with no worker's record and every adapter selected
// (tests run many in one process).
void ResetWorkerReports();

} // namespace Vantri

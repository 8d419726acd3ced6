// The config restore workflow: the checks, the question and the backup file
// on the main thread, the two downloads and the conversion chained through
// the window's messages, one worker on the pool that writes the adapter, the
// outcome in a message box.
#pragma once

#include <cstdint>

#include "base/command_frame.h"

namespace Vantri {

// Main thread, from the Restore Configs button.
void StartRestore();

// The restore's progress callback, from the worker: one post, wParam the
// device index, lParam the percent.
void RestoreProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t reserved);

// Main thread, for WM_RESTORE_PROGRESS, WM_RESTORE_DONE, WM_RESTORE_FAILED and
// the three download messages.
void OnRestoreMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Pool thread, queued once the conversion has filled the buffers. Posts
// WM_RESTORE_DONE or WM_RESTORE_FAILED; returns 0 after success, -1 after
// failure. The context is the adapter's device index.
std::uint32_t RestoreWorker(std::uintptr_t context);

// The worker's device part on its own: the config area read, its preserved
// area taken into g_restoreImage, then the image with the primary region and
// the overflow region written, all on the one device (the first, unless
// told another). The first failure ends it.
ResultRecord RestoreToAdapter(std::uint32_t deviceIndex = 0);

} // namespace Vantri

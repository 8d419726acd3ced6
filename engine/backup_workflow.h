// The config backup workflow: the checks and the save dialog on the main
// thread, one worker that reads the config area of the first adapter, and
// the file written on the main thread once the read has ended.
#pragma once

#include <cstdint>

#include "restore/config_image.h"
#include "restore/restore_buffers.h"

// The run's buffers. g_backupBuffer receives the config area; its preserved
// area is cleared before it is saved. Written by the worker until its final
// post, then by the main thread. g_backupFileName holds the proposed name
// ("Vantri4Backup.vtcb") until the save dialog writes the chosen full path
// into it.
extern std::uint8_t (&g_backupBuffer)[Vantri::kConfigImageSize];
extern char16_t (&g_backupFileName)[Vantri::kFileNameCapacity];

namespace Vantri {

// Main thread, from the Backup Configs button.
void StartBackup();

// Pool thread. Reads the config area of the device whose index is the
// context (the first selected, device 0 in the window) into g_backupBuffer
// and posts WM_BACKUP_DONE or WM_BACKUP_FAILED; returns 0 after success, -1
// after failure.
std::uint32_t BackupWorker(std::uintptr_t context);

// The backup's progress callback, from the worker: one post, wParam the
// device index, lParam the percent.
void BackupProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t reserved);

// Main thread, for WM_BACKUP_PROGRESS, WM_BACKUP_DONE and WM_BACKUP_FAILED
// once they are known to be the worker's own (the routes see to it).
void OnBackupMessage(std::uint32_t message, std::intptr_t lParam);

} // namespace Vantri

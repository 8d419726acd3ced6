// The firmware update and factory reset workflow: the question on the main
// thread, one worker per adapter on the pool, the outcome in a message box.
#pragma once

#include <cstdint>

#include "protocol/flashing.h"

namespace Vantri {

// Points g_firmwareImage and g_firmwareSize at the carried image.
void LoadFirmwareImage();

// Main thread, from the Update Firmware (false) and Factory Reset (true)
// buttons.
void StartFlash(bool factoryReset);

// Pool thread, one per adapter. Posts WM_FLASH_DONE or WM_FLASH_FAILED with
// the device index; returns 0 after success, -1 after failure.
std::uint32_t FlashWorker(FlashJob job);

// The flash's progress callback, from the workers: one post, wParam the
// device index, lParam the percent.
void FlashProgress(std::uint32_t deviceIndex, std::uint32_t percent, std::uint32_t reserved);

// Main thread, for WM_FLASH_PROGRESS, WM_FLASH_DONE and WM_FLASH_FAILED.
void OnFlashMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

} // namespace Vantri

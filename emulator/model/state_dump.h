// Writes what an adapter holds, and what was said to it, to files that a
// test or a person can read after the emulator has gone.
#pragma once

#include <filesystem>
#include <string>

#include "emulator/model/adapter_model.h"

namespace VantriEmu {

// Creates `folder` and writes into it: image.bin (only when an image was
// received), config.bin, primary.bin, overflow.bin, state.txt (counts, erase
// flags, violations as key=value lines) and transcript.txt (one frame a line:
// "> " output, "< " answer, then 64 hex bytes). Returns false, with a reason in
// `error`, when a file cannot be written.
bool DumpAdapterState(const AdapterModel& adapter, const std::filesystem::path& folder, std::string& error);

// One frame as 64 two-digit hex bytes separated by spaces.
std::string FrameHex(const CommandFrame& frame);

} // namespace VantriEmu

// The emulator process's command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emulator/model/adapter_model.h"

namespace VantriEmu {

inline constexpr std::int32_t kEveryAdapter = -1;

struct ServerOptions {
    std::uint16_t port = 0;
    std::uint32_t adapters = 1;
    std::uint32_t nonAdapters = 0;
    std::uint32_t lookAlikes = 0;
    std::string stateDir;
    std::vector<std::uint32_t> flickering; // adapters missing from every second LIST
    // (adapter or kEveryAdapter, milliseconds after the start before it is
    // plugged in), in command-line order.
    std::vector<std::pair<std::int32_t, std::uint32_t>> arrivals;
    bool help = false;
    AdapterSettings common; // latency, frame clock, transcript
    // Per-adapter changes in command-line order: (adapter or kEveryAdapter, change).
    std::vector<std::pair<std::int32_t, std::function<void(AdapterSettings&)>>> edits;

    AdapterSettings SettingsFor(std::uint32_t adapter) const;
    // How long after the start adapter `adapter` is plugged in (0: from the start).
    std::uint32_t ArrivalFor(std::uint32_t adapter) const;
};

// False with a message in `error` when an option is unknown or malformed.
bool ParseServerOptions(int argc, const char* const* argv, ServerOptions& options, std::string& error);

extern const char kServerUsage[];

} // namespace VantriEmu

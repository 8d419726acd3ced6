// The final messages of workers: a done or failed message counts only when
// the worker of its slot has itself posted it. Any program may post to our
// window, and a forged "done" would tell the user to unplug a half-written
// adapter, or hand the window a pointer it never made.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Vantri {

template <std::size_t Slots>
class FinalMessages {
public:
    // Worker, the last thing before its post: what it is about to post for
    // its slot, message and lParam. Once per slot and run.
    void Mark(std::size_t slot, std::uint32_t message, std::intptr_t lParam = 0)
    {
        if (slot >= Slots)
            return;
        Slot& s = m_slots[slot];
        s.message = message;
        s.lParam = lParam;
        s.marked.store(true, std::memory_order_release);
    }

    // Main thread, on a final message: true once, and only for the very
    // message and lParam the slot's worker marked. Anything else leaves the
    // slot as it was, so the worker's own message still counts when it comes.
    bool Take(std::uintptr_t slot, std::uint32_t message, std::intptr_t lParam)
    {
        if (slot >= Slots)
            return false;
        Slot& s = m_slots[slot];
        if (s.taken || !s.marked.load(std::memory_order_acquire) || s.message != message || s.lParam != lParam)
            return false;
        s.taken = true;
        return true;
    }

    // Main thread, with no worker at work: the next run starts unmarked.
    void Reset()
    {
        for (Slot& s : m_slots) {
            s.marked.store(false, std::memory_order_relaxed);
            s.taken = false;
            s.message = 0;
            s.lParam = 0;
        }
    }

private:
    struct Slot {
        std::atomic<bool> marked{false};
        bool taken = false; // main thread only
        std::uint32_t message = 0;
        std::intptr_t lParam = 0;
    };
    std::array<Slot, Slots> m_slots{};
};

} // namespace Vantri

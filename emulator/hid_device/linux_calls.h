/* Linux's own system calls, made straight from the driver.
 *
 * winedevice.exe is a Linux process, and Wine lets PE code run the syscall
 * instruction like any other. Winsock and kernel events under Wine go
 * through the wineserver (a receive alone takes four or five round trips to
 * it), and on a busy machine those round trips were most of what an exchange
 * through this device cost: time that belongs to the rig, not to the stack
 * under test. A socket and a futex cost none. Linux x86-64 only, like the
 * rig. */
#pragma once

#include <stdint.h>

enum {
    LINUX_CLOSE = 3,
    LINUX_SOCKET = 41,
    LINUX_CONNECT = 42,
    LINUX_SENDTO = 44,
    LINUX_RECVFROM = 45,
    LINUX_SHUTDOWN = 48,
    LINUX_SETSOCKOPT = 54,
    LINUX_FUTEX = 202,
    LINUX_CLOCK_GETTIME = 228,
};

#define LINUX_EINTR 4
#define LINUX_EISCONN 106
#define LINUX_EALREADY 114

static inline int64_t LinuxCall(int64_t number, int64_t a1, int64_t a2, int64_t a3, int64_t a4, int64_t a5,
                                int64_t a6)
{
    int64_t result;
    register int64_t r10 __asm__("r10") = a4;
    register int64_t r8 __asm__("r8") = a5;
    register int64_t r9 __asm__("r9") = a6;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

typedef struct LinuxTime {
    int64_t seconds, nanoseconds;
} LinuxTime;

/* Monotonic milliseconds. */
static inline uint64_t LinuxNowMs(void)
{
    LinuxTime now = {0, 0};
    LinuxCall(LINUX_CLOCK_GETTIME, 1 /* CLOCK_MONOTONIC */, (int64_t)(intptr_t)&now, 0, 0, 0, 0);
    return (uint64_t)now.seconds * 1000u + (uint64_t)now.nanoseconds / 1000000u;
}

/* Sleeps while *word still holds `seen`, at most `limitMs` (no limit when
 * ~0u). Returns early on a wake, a change, a signal or a spurious wake:
 * callers check their condition again. */
static inline void LinuxFutexWait(volatile int32_t* word, int32_t seen, uint32_t limitMs)
{
    LinuxTime limit = {(int64_t)(limitMs / 1000u), (int64_t)(limitMs % 1000u) * 1000000};
    LinuxCall(LINUX_FUTEX, (int64_t)(intptr_t)word, 128 /* FUTEX_WAIT_PRIVATE */, seen,
              limitMs == ~0u ? 0 : (int64_t)(intptr_t)&limit, 0, 0);
}

/* Wakes every thread sleeping on *word. */
static inline void LinuxFutexWake(volatile int32_t* word)
{
    LinuxCall(LINUX_FUTEX, (int64_t)(intptr_t)word, 129 /* FUTEX_WAKE_PRIVATE */, 0x7FFFFFFF, 0, 0, 0);
}

/* Moves *word on and wakes its sleepers: the signal that something changed. */
static inline void LinuxSignal(volatile int32_t* word)
{
    __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
    LinuxFutexWake(word);
}

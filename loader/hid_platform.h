// The platform calls that the HID search and the report transport need, in
// portable types.
#pragma once

#include <cstdint>

namespace Vantri {

// Same layout as the system's GUID.
struct HidGuid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];

    friend bool operator==(const HidGuid&, const HidGuid&) = default;
};

// One member of the list of present interfaces, as the list gave it. Only
// the binding that filled it looks inside; `reserved` carries its own
// bookkeeping (the system keeps a pointer there).
struct HidInterfaceRecord {
    std::uint32_t size;
    HidGuid interfaceClass;
    std::uint32_t flags;
    std::uintptr_t reserved;
};

struct HidAttributes {
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t versionNumber;
};

// The lengths of a collection's reports, the report id byte included, as its
// capabilities give them: 0 for a direction it has no report for.
struct HidReportLengths {
    std::uint16_t input;
    std::uint16_t output;
};

// The system's interface detail buffer is 520 bytes: a 4-byte size field
// and the path. A path therefore holds at most 257 characters plus its
// terminator; a longer one does not fit and the interface is skipped.
inline constexpr std::uint32_t kInterfaceDetailBytes = 520;
inline constexpr std::uint32_t kInterfacePathCapacity = (kInterfaceDetailBytes - 4) / sizeof(char16_t);

// The product string buffer: 64 bytes, 32 UTF-16 units.
inline constexpr std::uint32_t kProductStringBytes = 64;

inline constexpr std::uint32_t kReportSize = 65;

// Handles and lists are opaque pointers; every failure to produce one is
// null, whatever the system's own invalid value is.
using PlatformHandle = void*;
using InterfaceList = void*;

struct HidPlatform {
    // The HID interface class. False when the HID services cannot be had at
    // all (for example hid.dll missing): the search then fails.
    bool (*GetHidGuid)(HidGuid* guid);
    // The HID interfaces present now (present device interfaces of the
    // class); null when the list cannot be had.
    InterfaceList (*GetPresentInterfaces)(const HidGuid* interfaceClass);
    // Member `member` of the list; false after the last one.
    bool (*EnumInterface)(InterfaceList list, const HidGuid* interfaceClass, std::uint32_t member,
                          HidInterfaceRecord* record);
    // The member's device path, null-terminated, into `path` of
    // kInterfacePathCapacity units; false when it cannot be had or does not fit.
    bool (*GetInterfacePath)(InterfaceList list, const HidInterfaceRecord* record, char16_t* path);
    void (*DestroyInterfaceList)(InterfaceList list);
    // Opens the path with no access and shared for reading and writing:
    // enough to read its attributes, strings and capabilities, takes nothing
    // from another program, and is granted even on devices the system keeps
    // to itself (keyboards, mice); null when refused.
    PlatformHandle (*OpenForQuery)(const char16_t* path);
    // Opens the path exclusively for reading and writing, for overlapped
    // (bounded) transfers; null when refused.
    PlatformHandle (*OpenDevice)(const char16_t* path);
    bool (*GetAttributes)(PlatformHandle device, HidAttributes* attributes);
    bool (*GetProductString)(PlatformHandle device, void* buffer, std::uint32_t bufferBytes);
    // The report lengths from the collection's capabilities; false when they
    // cannot be had.
    bool (*GetReportLengths)(PlatformHandle device, HidReportLengths* lengths);
    void (*CloseDevice)(PlatformHandle device);
    void (*Sleep)(std::uint32_t milliseconds);
    // Move one report within `timeoutMs`. The result is the system's error
    // code of the failing step, 0 when the call itself succeeded (the count
    // may still be short); a transfer still pending at the limit is cancelled
    // and finished before returning, and the result is the time-out code.
    std::uint32_t (*WriteBounded)(PlatformHandle device, const std::uint8_t* report, std::uint32_t size,
                                  std::uint32_t* transferred, std::uint32_t timeoutMs);
    std::uint32_t (*ReadBounded)(PlatformHandle device, std::uint8_t* report, std::uint32_t size,
                                 std::uint32_t* transferred, std::uint32_t timeoutMs);
    // Drops the input reports the system holds for this handle and has not
    // yet given to a read; false when it cannot.
    bool (*FlushInput)(PlatformHandle device);
};

} // namespace Vantri

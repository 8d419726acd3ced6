#include "loader/hid_platform_win.h"

#include <windows.h>

#include <setupapi.h>

#include <hidsdi.h>

#include <hidpi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "base/system_library_win.h"
#include "base/unique_handle.h"
#include "base/wide_text_win.h"

namespace Vantri {

namespace {

static_assert(sizeof(HidGuid) == sizeof(GUID));
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + kInterfacePathCapacity * sizeof(WCHAR) ==
              kInterfaceDetailBytes);

// hid.dll's functions, taken at run time (declarations from <hidsdi.h> only
// give their types; the library itself is never linked).
struct HidLibrary {
    decltype(&HidD_GetHidGuid) getHidGuid = nullptr;
    decltype(&HidD_GetAttributes) getAttributes = nullptr;
    decltype(&HidD_GetProductString) getProductString = nullptr;
    decltype(&HidD_FlushQueue) flushQueue = nullptr;
    decltype(&HidD_GetPreparsedData) getPreparsedData = nullptr;
    decltype(&HidD_FreePreparsedData) freePreparsedData = nullptr;
    decltype(&HidP_GetCaps) getCaps = nullptr;

    bool Complete() const
    {
        return getHidGuid && getAttributes && getProductString && flushQueue && getPreparsedData &&
               freePreparsedData && getCaps;
    }
};

// hid.dll is not a KnownDLL; setupapi and kernel32 are, and may be linked
// as usual.
bool FindHidProcedures(HMODULE module, HidLibrary& library)
{
    return FindProcedure(module, "HidD_GetHidGuid", library.getHidGuid) &&
           FindProcedure(module, "HidD_GetAttributes", library.getAttributes) &&
           FindProcedure(module, "HidD_GetProductString", library.getProductString) &&
           FindProcedure(module, "HidD_FlushQueue", library.flushQueue) &&
           FindProcedure(module, "HidD_GetPreparsedData", library.getPreparsedData) &&
           FindProcedure(module, "HidD_FreePreparsedData", library.freePreparsedData) &&
           FindProcedure(module, "HidP_GetCaps", library.getCaps);
}

const HidLibrary& Hid()
{
    return SystemProcedures<HidLibrary>(L"hid.dll", FindHidProcedures);
}

GUID ToGuid(const HidGuid& guid)
{
    GUID result;
    std::memcpy(&result, &guid, sizeof result);
    return result;
}

SP_DEVICE_INTERFACE_DATA ToInterfaceData(const HidInterfaceRecord& record)
{
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = record.size;
    data.InterfaceClassGuid = ToGuid(record.interfaceClass);
    data.Flags = record.flags;
    data.Reserved = record.reserved;
    return data;
}

bool GetHidGuid(HidGuid* guid)
{
    const HidLibrary& hid = Hid();
    if (!hid.Complete())
        return false;
    GUID system{};
    hid.getHidGuid(&system);
    std::memcpy(guid, &system, sizeof system);
    return true;
}

InterfaceList GetPresentInterfaces(const HidGuid* interfaceClass)
{
    const GUID guid = ToGuid(*interfaceClass);
    const HDEVINFO list = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return list == INVALID_HANDLE_VALUE ? nullptr : list;
}

bool EnumInterface(InterfaceList list, const HidGuid* interfaceClass, std::uint32_t member, HidInterfaceRecord* record)
{
    const GUID guid = ToGuid(*interfaceClass);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &guid, member, &data))
        return false;
    record->size = data.cbSize;
    std::memcpy(&record->interfaceClass, &data.InterfaceClassGuid, sizeof record->interfaceClass);
    record->flags = data.Flags;
    record->reserved = data.Reserved;
    return true;
}

bool GetInterfacePath(InterfaceList list, const HidInterfaceRecord* record, char16_t* path)
{
    SP_DEVICE_INTERFACE_DATA data = ToInterfaceData(*record);
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        unsigned char bytes[kInterfaceDetailBytes];
    } buffer{};
    buffer.detail.cbSize = sizeof buffer.detail;
    if (!SetupDiGetDeviceInterfaceDetailW(list, &data, &buffer.detail, kInterfaceDetailBytes, nullptr, nullptr))
        return false;
    const wchar_t* source = buffer.detail.DevicePath;
    const std::size_t length = wcsnlen(source, kInterfacePathCapacity);
    if (length == kInterfacePathCapacity)
        return false;
    std::memcpy(path, source, (length + 1) * sizeof(char16_t));
    return true;
}

void DestroyInterfaceList(InterfaceList list)
{
    SetupDiDestroyDeviceInfoList(list);
}

PlatformHandle OpenForQuery(const char16_t* path)
{
    const HANDLE device = CreateFileW(Wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

PlatformHandle OpenDevice(const char16_t* path)
{
    // Exclusive, and overlapped so that every transfer can be given up
    // after its time limit.
    const HANDLE device = CreateFileW(Wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    return device == INVALID_HANDLE_VALUE ? nullptr : device;
}

bool GetAttributes(PlatformHandle device, HidAttributes* attributes)
{
    const HidLibrary& hid = Hid();
    HIDD_ATTRIBUTES system{};
    system.Size = sizeof system;
    if (!hid.getAttributes || !hid.getAttributes(device, &system))
        return false;
    *attributes = {system.VendorID, system.ProductID, system.VersionNumber};
    return true;
}

bool GetProductString(PlatformHandle device, void* buffer, std::uint32_t bufferBytes)
{
    const HidLibrary& hid = Hid();
    return hid.getProductString && hid.getProductString(device, buffer, bufferBytes);
}

void FreePreparsed(PHIDP_PREPARSED_DATA data)
{
    Hid().freePreparsedData(data);
}

bool GetReportLengths(PlatformHandle device, HidReportLengths* lengths)
{
    const HidLibrary& hid = Hid();
    if (!hid.Complete())
        return false;
    PHIDP_PREPARSED_DATA raw = nullptr;
    if (!hid.getPreparsedData(device, &raw))
        return false;
    const UniqueHandle<PHIDP_PREPARSED_DATA> preparsed(raw, FreePreparsed);
    HIDP_CAPS caps{};
    if (hid.getCaps(preparsed.Get(), &caps) != HIDP_STATUS_SUCCESS)
        return false;
    *lengths = {caps.InputReportByteLength, caps.OutputReportByteLength};
    return true;
}

bool FlushInput(PlatformHandle device)
{
    const HidLibrary& hid = Hid();
    return hid.flushQueue && hid.flushQueue(device);
}

void CloseDevice(PlatformHandle device)
{
    CloseHandle(device);
}

void Pause(std::uint32_t milliseconds)
{
    ::Sleep(milliseconds);
}

void CloseEvent(HANDLE event)
{
    CloseHandle(event);
}

// The system keeps writing into the caller's report until the transfer is
// over, and that report lives on the caller's stack: cancel, then wait for
// the transfer to finish, before the caller may return.
std::uint32_t CancelAndFinish(HANDLE device, OVERLAPPED& overlapped, std::uint32_t* transferred, DWORD limitError)
{
    CancelIoEx(device, &overlapped);
    DWORD moved = 0;
    if (GetOverlappedResult(device, &overlapped, &moved, TRUE)) {
        // It completed between the limit and the cancel: the report is whole.
        *transferred = moved;
        return 0;
    }
    return limitError;
}

// The event a thread's transfers wait on: made at its first transfer, kept
// for the next (ReadFile and WriteFile reset it as they start), closed when
// the thread ends. An exchange then costs the system four calls fewer, which
// counts at thousands of exchanges a flash.
thread_local UniqueHandle<HANDLE> t_transferEvent;

std::uint32_t TransferBounded(HANDLE device, bool write, std::uint8_t* report, std::uint32_t size,
                              std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    *transferred = 0;
    if (!t_transferEvent)
        t_transferEvent = UniqueHandle<HANDLE>(CreateEventW(nullptr, TRUE, FALSE, nullptr), CloseEvent);
    const HANDLE done = t_transferEvent.Get();
    if (!done)
        return GetLastError();
    OVERLAPPED overlapped{};
    overlapped.hEvent = done;

    const BOOL finished = write ? WriteFile(device, report, size, nullptr, &overlapped)
                                : ReadFile(device, report, size, nullptr, &overlapped);
    if (!finished) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        const DWORD waited = WaitForSingleObject(done, timeoutMs);
        if (waited != WAIT_OBJECT_0) {
            const DWORD limitError = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
            return CancelAndFinish(device, overlapped, transferred, limitError);
        }
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(device, &overlapped, &moved, FALSE))
        return GetLastError();
    *transferred = moved;
    return 0;
}

std::uint32_t WriteBounded(PlatformHandle device, const std::uint8_t* report, std::uint32_t size,
                           std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    // WriteFile only reads the buffer; one routine serves both directions.
    return TransferBounded(device, true, const_cast<std::uint8_t*>(report), size, transferred, timeoutMs);
}

std::uint32_t ReadBounded(PlatformHandle device, std::uint8_t* report, std::uint32_t size,
                          std::uint32_t* transferred, std::uint32_t timeoutMs)
{
    return TransferBounded(device, false, report, size, transferred, timeoutMs);
}

} // namespace

const HidPlatform kWin32HidPlatform{
    GetHidGuid,    GetPresentInterfaces, EnumInterface,    GetInterfacePath, DestroyInterfaceList,
    OpenForQuery,  OpenDevice,           GetAttributes,    GetProductString, GetReportLengths,
    CloseDevice,   Pause,                WriteBounded,     ReadBounded,      FlushInput,
};

} // namespace Vantri

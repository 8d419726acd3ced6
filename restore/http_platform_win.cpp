#include "restore/http_platform_win.h"

#include <windows.h>

// Types and constants only: winhttp.dll is never linked (and wininet.h must
// not meet winhttp.h in one file: MinGW's headers clash).
#include <winhttp.h>

#include <climits>

#include "base/system_library_win.h"
#include "base/wide_text_win.h"

namespace Vantri {

namespace {

// winhttp.dll's functions, taken at run time.
struct WinHttpLibrary {
    decltype(&WinHttpOpen) open = nullptr;
    decltype(&WinHttpConnect) connect = nullptr;
    decltype(&WinHttpOpenRequest) openRequest = nullptr;
    decltype(&WinHttpSendRequest) sendRequest = nullptr;
    decltype(&WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&WinHttpReadData) readData = nullptr;
    decltype(&WinHttpCloseHandle) closeHandle = nullptr;

    bool Complete() const
    {
        return open && connect && openRequest && sendRequest && receiveResponse && queryHeaders && readData &&
               closeHandle;
    }
};

bool FindWinHttpProcedures(HMODULE module, WinHttpLibrary& library)
{
    return FindProcedure(module, "WinHttpOpen", library.open) &&
           FindProcedure(module, "WinHttpConnect", library.connect) &&
           FindProcedure(module, "WinHttpOpenRequest", library.openRequest) &&
           FindProcedure(module, "WinHttpSendRequest", library.sendRequest) &&
           FindProcedure(module, "WinHttpReceiveResponse", library.receiveResponse) &&
           FindProcedure(module, "WinHttpQueryHeaders", library.queryHeaders) &&
           FindProcedure(module, "WinHttpReadData", library.readData) &&
           FindProcedure(module, "WinHttpCloseHandle", library.closeHandle);
}

// Loaded by the first download, on its pool thread.
const WinHttpLibrary& WinHttp()
{
    return SystemProcedures<WinHttpLibrary>(L"winhttp.dll", FindWinHttpProcedures);
}

HttpHandle Open(const char16_t* agent)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.Complete())
        return nullptr;
    // Synchronous (no WINHTTP_FLAG_ASYNC): the worker's thread is ours to block.
    return http.open(Wide(agent), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

HttpHandle Connect(HttpHandle session, const char16_t* host, std::uint16_t port)
{
    const WinHttpLibrary& http = WinHttp();
    return http.connect ? http.connect(session, Wide(host), port, 0) : nullptr;
}

HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb, const char16_t* path)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.openRequest)
        return nullptr;
    // No WINHTTP_FLAG_SECURE: the update host speaks plain HTTP on port 80.
    return http.openRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                            WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
}

bool SendRequest(HttpHandle request)
{
    const WinHttpLibrary& http = WinHttp();
    return http.sendRequest &&
           http.sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
}

bool ReceiveResponse(HttpHandle request)
{
    const WinHttpLibrary& http = WinHttp();
    return http.receiveResponse && http.receiveResponse(request, nullptr);
}

bool QueryRawHeaders(HttpHandle request, char16_t* buffer, std::uint32_t* bytes)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.queryHeaders)
        return false;
    DWORD size = *bytes;
    const BOOL ok = http.queryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX, buffer,
                                      &size, WINHTTP_NO_HEADER_INDEX);
    *bytes = size;
    return ok != FALSE;
}

bool QueryStatusCode(HttpHandle request, std::uint32_t* status)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.queryHeaders)
        return false;
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!http.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
        return false;
    *status = code;
    return true;
}

bool ReadData(HttpHandle request, void* buffer, std::uint32_t toRead, std::uint32_t* read)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.readData)
        return false;
    DWORD count = 0;
    const BOOL ok = http.readData(request, buffer, toRead, &count);
    *read = count;
    return ok != FALSE;
}

void CloseHandle(HttpHandle handle)
{
    const WinHttpLibrary& http = WinHttp();
    if (http.closeHandle && handle)
        http.closeHandle(handle);
}

std::uint32_t WidenAnsi(const std::uint8_t* text, std::uint32_t size, char16_t* out, std::uint32_t capacity)
{
    if (size == 0 || size > INT_MAX || capacity > INT_MAX)
        return 0;
    const int written = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(text), static_cast<int>(size),
                                            Wide(out), static_cast<int>(capacity));
    return written > 0 ? static_cast<std::uint32_t>(written) : 0;
}

} // namespace

const HttpPlatform kWin32HttpPlatform{
    Open,    Connect,         OpenRequest, SendRequest, ReceiveResponse, QueryRawHeaders,
    QueryStatusCode, ReadData, CloseHandle, WidenAnsi,
};

} // namespace Vantri

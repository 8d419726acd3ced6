#include "restore/http_platform_win.h"

#include <windows.h>

// Types and constants only: winhttp.dll is never linked (and wininet.h must
// not meet winhttp.h in one file: MinGW's headers clash).
#include <winhttp.h>

#include <climits>
#include <string>

#include "base/system_library_win.h"
#include "base/wide_text_win.h"

namespace Vantri {

namespace {

// The code of this thread's last failing WinHTTP call, taken right after
// it, before anything else can change the thread's last error.
thread_local std::uint32_t s_lastError = 0;

template <typename Result>
Result Checked(Result result)
{
    if (!result)
        s_lastError = GetLastError();
    return result;
}

// A text the system allocated for us, taken over and given back.
std::u16string TakeText(LPWSTR text)
{
    if (!text)
        return {};
    std::u16string copy(reinterpret_cast<const char16_t*>(text));
    GlobalFree(text);
    return copy;
}

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
    decltype(&WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&WinHttpGetIEProxyConfigForCurrentUser) userProxy = nullptr;
    decltype(&WinHttpGetDefaultProxyConfiguration) machineProxy = nullptr;
    decltype(&WinHttpGetProxyForUrl) proxyForUrl = nullptr;

    bool Complete() const
    {
        return open && connect && openRequest && sendRequest && receiveResponse && queryHeaders && readData &&
               closeHandle && setTimeouts && userProxy && machineProxy && proxyForUrl;
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
           FindProcedure(module, "WinHttpCloseHandle", library.closeHandle) &&
           FindProcedure(module, "WinHttpSetTimeouts", library.setTimeouts) &&
           FindProcedure(module, "WinHttpGetIEProxyConfigForCurrentUser", library.userProxy) &&
           FindProcedure(module, "WinHttpGetDefaultProxyConfiguration", library.machineProxy) &&
           FindProcedure(module, "WinHttpGetProxyForUrl", library.proxyForUrl);
}

// Loaded by the first download, on its pool thread.
const WinHttpLibrary& WinHttp()
{
    return SystemProcedures<WinHttpLibrary>(L"winhttp.dll", FindWinHttpProcedures);
}

// Set when winhttp.dll or one of its functions is missing: every call fails.
constexpr DWORD kNoLibrary = ERROR_PROC_NOT_FOUND;

bool NoLibrary()
{
    s_lastError = kNoLibrary;
    return false;
}

HttpHandle NoHandle()
{
    s_lastError = kNoLibrary;
    return nullptr;
}

DWORD AccessType(HttpAccess access)
{
    switch (access) {
    case HttpAccess::Direct: return WINHTTP_ACCESS_TYPE_NO_PROXY;
    case HttpAccess::Named: return WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    // Refused as an invalid parameter before Windows 8.1.
    case HttpAccess::Automatic: return WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
    }
    return WINHTTP_ACCESS_TYPE_NO_PROXY;
}

HttpHandle Open(const char16_t* agent, HttpAccess access, const char16_t* proxy)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.Complete())
        return NoHandle();
    const wchar_t* named = access == HttpAccess::Named ? Wide(proxy) : WINHTTP_NO_PROXY_NAME;
    // Synchronous (no WINHTTP_FLAG_ASYNC): the worker's thread is ours to block.
    return Checked(http.open(Wide(agent), AccessType(access), named, WINHTTP_NO_PROXY_BYPASS, 0));
}

bool SetTimeouts(HttpHandle session, const HttpTimeouts* limits)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.setTimeouts)
        return NoLibrary();
    return Checked(http.setTimeouts(session, limits->resolveMs, limits->connectMs, limits->sendMs,
                                    limits->receiveMs)) != FALSE;
}

HttpHandle Connect(HttpHandle session, const char16_t* host, std::uint16_t port)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.connect)
        return NoHandle();
    return Checked(http.connect(session, Wide(host), port, 0));
}

HttpHandle OpenRequest(HttpHandle connection, const char16_t* verb, const char16_t* path)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.openRequest)
        return NoHandle();
    // No WINHTTP_FLAG_SECURE: the update host speaks plain HTTP on port 80.
    return Checked(http.openRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                                    WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
}

bool SendRequest(HttpHandle request)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.sendRequest)
        return NoLibrary();
    return Checked(http.sendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) !=
           FALSE;
}

bool ReceiveResponse(HttpHandle request)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.receiveResponse)
        return NoLibrary();
    return Checked(http.receiveResponse(request, nullptr)) != FALSE;
}

bool QueryRawHeaders(HttpHandle request, char16_t* buffer, std::uint32_t* bytes)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.queryHeaders)
        return NoLibrary();
    DWORD size = *bytes;
    const BOOL ok = Checked(http.queryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                                              buffer, &size, WINHTTP_NO_HEADER_INDEX));
    *bytes = size;
    return ok != FALSE;
}

bool QueryStatusCode(HttpHandle request, std::uint32_t* status)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.queryHeaders)
        return NoLibrary();
    DWORD code = 0;
    DWORD size = sizeof code;
    if (!Checked(http.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                   WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)))
        return false;
    *status = code;
    return true;
}

bool ReadData(HttpHandle request, void* buffer, std::uint32_t toRead, std::uint32_t* read)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.readData)
        return NoLibrary();
    DWORD count = 0;
    const BOOL ok = Checked(http.readData(request, buffer, toRead, &count));
    *read = count;
    return ok != FALSE;
}

void CloseHandle(HttpHandle handle)
{
    const WinHttpLibrary& http = WinHttp();
    if (http.closeHandle && handle)
        http.closeHandle(handle);
}

bool ReadUserProxy(UserProxySettings* settings)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.userProxy)
        return NoLibrary();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (!Checked(http.userProxy(&config)))
        return false;
    settings->autoDetect = config.fAutoDetect != FALSE;
    settings->autoConfigUrl = TakeText(config.lpszAutoConfigUrl);
    settings->proxy = TakeText(config.lpszProxy);
    settings->bypass = TakeText(config.lpszProxyBypass);
    return true;
}

// The answer's texts are ours to free whatever its type.
void TakeProxyInfo(WINHTTP_PROXY_INFO& info, ProxyList* list)
{
    std::u16string proxy = TakeText(info.lpszProxy);
    std::u16string bypass = TakeText(info.lpszProxyBypass);
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        list->proxy = std::move(proxy);
        list->bypass = std::move(bypass);
    } else {
        *list = {};
    }
}

bool ReadMachineProxy(ProxyList* setting)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.machineProxy)
        return NoLibrary();
    WINHTTP_PROXY_INFO info{};
    if (!Checked(http.machineProxy(&info)))
        return false;
    TakeProxyInfo(info, setting);
    return true;
}

bool DetectProxy(HttpHandle session, const char16_t* url, const char16_t* autoConfigUrl, ProxyList* answer)
{
    const WinHttpLibrary& http = WinHttp();
    if (!http.proxyForUrl)
        return NoLibrary();
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (autoConfigUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = Wide(autoConfigUrl);
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    // No credentials for fetching a setup script: the program has none.
    options.fAutoLogonIfChallenged = FALSE;
    WINHTTP_PROXY_INFO info{};
    if (!Checked(http.proxyForUrl(session, Wide(url), &options, &info)))
        return false;
    TakeProxyInfo(info, answer);
    return true;
}

std::uint32_t LastError()
{
    return s_lastError;
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
    Open,     SetTimeouts, Connect,       OpenRequest,      SendRequest, ReceiveResponse, QueryRawHeaders,
    QueryStatusCode, ReadData, CloseHandle, ReadUserProxy, ReadMachineProxy, DetectProxy, LastError, WidenAnsi,
};

} // namespace Vantri

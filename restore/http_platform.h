// The platform calls that a download needs, in portable types: the system's
// HTTP client, what it knows of the user's and the machine's proxy, and its
// ANSI-to-UTF-16 conversion.
#pragma once

#include <cstdint>
#include <string>

namespace Vantri {

// Session, connection and request handles alike; null is "none", whatever
// the system's own invalid value is.
using HttpHandle = void*;

// How a session reaches the servers it connects to.
enum class HttpAccess : std::uint8_t {
    Direct,    // no proxy
    Named,     // through the one proxy given
    Automatic, // the system's own choice per request (Windows 8.1 and later)
};

// Limits in milliseconds for name resolution, connecting, sending a request
// and each wait for data of the response.
struct HttpTimeouts {
    std::int32_t resolveMs;
    std::int32_t connectMs;
    std::int32_t sendMs;
    std::int32_t receiveMs;
};

// The current user's proxy settings as the system reports them; empty
// texts where nothing is set.
struct UserProxySettings {
    bool autoDetect = false;
    std::u16string autoConfigUrl; // the setup script (PAC file)
    std::u16string proxy;         // the fixed proxy or proxies
    std::u16string bypass;        // the fixed proxy's exceptions
};

// A proxy list and its exceptions, as the system writes them; an empty
// `proxy` means a direct connection.
struct ProxyList {
    std::u16string proxy;
    std::u16string bypass;
};

struct HttpPlatform {
    // A synchronous session for `agent`. `proxy` is used only for a named
    // proxy; no bypass list is given: the caller has already decided. Null
    // when refused.
    HttpHandle (*Open)(const char16_t* agent, HttpAccess access, const char16_t* proxy);
    bool (*SetTimeouts)(HttpHandle session, const HttpTimeouts* limits);
    HttpHandle (*Connect)(HttpHandle session, const char16_t* host, std::uint16_t port);
    // `verb` on `path`, the default HTTP version, no referrer, the default
    // accept types and no flags: plain HTTP, never TLS.
    HttpHandle (*OpenRequest)(HttpHandle connection, const char16_t* verb, const char16_t* path);
    // No additional headers and no request body.
    bool (*SendRequest)(HttpHandle request);
    bool (*ReceiveResponse)(HttpHandle request);
    // The response's raw header text, lines ended by CR LF. With a null
    // buffer: false, and *bytes set to the size the text needs, terminator
    // included. With a buffer of *bytes bytes: true, and *bytes set to the
    // size of the text written, terminator excluded.
    bool (*QueryRawHeaders)(HttpHandle request, char16_t* buffer, std::uint32_t* bytes);
    bool (*QueryStatusCode)(HttpHandle request, std::uint32_t* status);
    // At most `toRead` bytes of the body; *read is 0 once the connection has
    // nothing more to give.
    bool (*ReadData)(HttpHandle request, void* buffer, std::uint32_t toRead, std::uint32_t* read);
    void (*CloseHandle)(HttpHandle handle);
    // The current user's settings; false when they cannot be had.
    bool (*ReadUserProxy)(UserProxySettings* settings);
    // The machine-wide setting; false when it cannot be had.
    bool (*ReadMachineProxy)(ProxyList* setting);
    // The proxy for `url` by auto-detection (`autoConfigUrl` null) or by the
    // setup script at `autoConfigUrl`, fetched through `session` within its
    // limits; false when none could be found.
    bool (*DetectProxy)(HttpHandle session, const char16_t* url, const char16_t* autoConfigUrl, ProxyList* answer);
    // The system's code of this thread's last failing call above, taken
    // right after it failed.
    std::uint32_t (*LastError)();
    // `size` bytes of 8-bit text in the system's ANSI code page into `out`;
    // the number of UTF-16 units written, 0 when the text cannot be widened
    // or does not fit in `capacity` units. Writes no terminator.
    std::uint32_t (*WidenAnsi)(const std::uint8_t* text, std::uint32_t size, char16_t* out, std::uint32_t capacity);
};

} // namespace Vantri

// The table the downloads use. The Windows program binds it to the system's
// WinHTTP (http_global_win.cpp); the native tests and benchmarks to the
// scripted HTTP session.
extern const Vantri::HttpPlatform& g_httpPlatform;

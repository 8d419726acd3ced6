// The platform calls that a download needs, in portable types: the system's
// HTTP client and its ANSI-to-UTF-16 conversion.
#pragma once

#include <cstdint>

namespace Vantri {

// Session, connection and request handles alike; null is "none", whatever
// the system's own invalid value is.
using HttpHandle = void*;

struct HttpPlatform {
    // A synchronous session for `agent`, with the system's default proxy
    // configuration, no proxy name and no bypass list; null when refused.
    HttpHandle (*Open)(const char16_t* agent);
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

// Which proxy a download goes through: the user's own settings first, then
// the machine-wide setting, then the system's automatic choice. The
// decisions are portable; the system is asked through the HTTP table, on
// the download's worker. The order and its reasons: docs/download.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "restore/http_platform.h"

namespace Vantri {

// Where the route was found; the log names it beside the proxy.
enum class ProxySource : std::uint8_t {
    NotChosen,        // no route was looked for (the download never started)
    UserDetected,     // the user's auto-detection or setup script
    UserFixed,        // the user's fixed proxy
    UserBypass,       // the user's fixed proxy's exceptions name the host
    MachineWide,      // the machine-wide setting names a proxy
    DetectionFailed,  // detection was asked for and failed: direct, once
    Automatic,        // nothing set anywhere we can see: the system's choice
    AutomaticRefused, // that choice is not offered here: direct
};

struct ProxyRoute {
    HttpAccess access = HttpAccess::Direct;
    std::u16string proxy; // host:port, for a named proxy only
    ProxySource source = ProxySource::NotChosen;
    std::uint32_t detectionCode = 0; // the system's code of a failed detection
};

// What the system said, for the choice.
struct ProxyFacts {
    std::optional<UserProxySettings> user;  // nullopt: could not be had
    std::optional<ProxyList> detected;      // the answer of a detection
    std::uint32_t detectionCode = 0;        // non-zero: a detection was asked for and failed
    std::optional<ProxyList> machine;       // nullopt: could not be had
};

// The proxy for plain HTTP in a proxy list as the system writes one
// ("host:port", "http=host:port;https=...", separated by ';' or white
// space, an entry possibly with "http://"): the first "http=" entry, else
// the first entry for every scheme; empty when the list names none for
// HTTP.
std::u16string HttpProxyOf(std::u16string_view list);

// Whether `host` (on port 80) is among `bypass`'s exceptions: entries
// separated by ';', ',' or white space, '*' matching any run of characters,
// case ignored, an optional "http://" and ":80"; "<local>" names every host
// without a dot.
bool Bypassed(std::u16string_view host, std::u16string_view bypass);

// Whether the user's settings ask for a detection (auto-detection or a
// setup script).
bool AsksForDetection(const std::optional<UserProxySettings>& user);

// The route, from what the system said: the user's detection's answer; the
// user's fixed proxy (or its exception); the machine-wide proxy; after a
// failed detection a direct connection; otherwise the system's automatic
// choice.
ProxyRoute ChooseProxyRoute(const ProxyFacts& facts, std::u16string_view host);

// The facts for `host` and `url` through `http` (a detection in a session
// of its own within `limits`), then the route. Runs on the worker: asking
// may take as long as the limits allow.
ProxyRoute FindProxyRoute(const HttpPlatform& http, const char16_t* agent, std::u16string_view host,
                          const std::u16string& url, const HttpTimeouts& limits);

// The route as the log names it: "direct", "automatic" or the proxy.
std::u16string ProxyRouteName(const ProxyRoute& route);
const char16_t* ProxySourceName(ProxySource source);

} // namespace Vantri

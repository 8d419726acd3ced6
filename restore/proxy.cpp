#include "restore/proxy.h"

#include <algorithm>
#include <vector>

#include "base/unique_handle.h"

namespace Vantri {

namespace {

constexpr std::u16string_view kHttpScheme = u"http://";

char16_t Lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

bool StartsIgnoringCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The entries of a list, split at any of `separators`, empty ones dropped.
std::vector<std::u16string_view> Entries(std::u16string_view list, std::u16string_view separators)
{
    std::vector<std::u16string_view> entries;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = std::min(list.find_first_of(separators, at), list.size());
        if (end > at)
            entries.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return entries;
}

std::u16string_view WithoutScheme(std::u16string_view entry)
{
    return StartsIgnoringCase(entry, kHttpScheme) ? entry.substr(kHttpScheme.size()) : entry;
}

// '*' matches any run of characters, everything else itself, case ignored.
bool Matches(std::u16string_view text, std::u16string_view pattern)
{
    std::size_t t = 0, p = 0, star = std::u16string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

ProxyRoute Named(std::u16string proxy, ProxySource source)
{
    return {HttpAccess::Named, std::move(proxy), source, 0};
}

ProxyRoute Direct(ProxySource source, std::uint32_t detectionCode = 0)
{
    return {HttpAccess::Direct, {}, source, detectionCode};
}

// Auto-detection first, then the setup script, as the system's own clients
// do; the first answer counts.
void Detect(const HttpPlatform& http, const char16_t* agent, const UserProxySettings& user, const std::u16string& url,
            const HttpTimeouts& limits, ProxyFacts& facts)
{
    const UniqueHandle<HttpHandle> session(http.Open(agent, HttpAccess::Direct, nullptr), http.CloseHandle);
    if (!session || !http.SetTimeouts(session.Get(), &limits)) {
        facts.detectionCode = http.LastError();
        return;
    }
    if (user.autoDetect) {
        ProxyList answer;
        if (http.DetectProxy(session.Get(), url.c_str(), nullptr, &answer)) {
            facts.detected = std::move(answer);
            return;
        }
        facts.detectionCode = http.LastError();
    }
    if (!user.autoConfigUrl.empty()) {
        ProxyList answer;
        if (http.DetectProxy(session.Get(), url.c_str(), user.autoConfigUrl.c_str(), &answer)) {
            facts.detected = std::move(answer);
            facts.detectionCode = 0;
            return;
        }
        facts.detectionCode = http.LastError();
    }
}

} // namespace

std::u16string HttpProxyOf(std::u16string_view list)
{
    std::u16string_view forEveryScheme;
    for (const std::u16string_view entry : Entries(list, u"; \t\r\n")) {
        const std::size_t equals = entry.find(u'=');
        if (equals == std::u16string_view::npos) {
            if (forEveryScheme.empty())
                forEveryScheme = entry;
            continue;
        }
        if (EqualIgnoringCase(entry.substr(0, equals), u"http") && equals + 1 < entry.size())
            return std::u16string(WithoutScheme(entry.substr(equals + 1)));
    }
    std::u16string_view proxy = WithoutScheme(forEveryScheme);
    while (!proxy.empty() && proxy.back() == u'/')
        proxy.remove_suffix(1);
    return std::u16string(proxy);
}

bool Bypassed(std::u16string_view host, std::u16string_view bypass)
{
    for (std::u16string_view entry : Entries(bypass, u";, \t\r\n")) {
        if (EqualIgnoringCase(entry, u"<local>")) {
            if (host.find(u'.') == std::u16string_view::npos)
                return true;
            continue;
        }
        entry = WithoutScheme(entry);
        const std::size_t colon = entry.rfind(u':');
        if (colon != std::u16string_view::npos) {
            const std::u16string_view port = entry.substr(colon + 1);
            if (port != u"80" && port != u"*")
                continue; // an exception for another port
            entry = entry.substr(0, colon);
        }
        if (Matches(host, entry))
            return true;
    }
    return false;
}

bool AsksForDetection(const std::optional<UserProxySettings>& user)
{
    return user && (user->autoDetect || !user->autoConfigUrl.empty());
}

ProxyRoute ChooseProxyRoute(const ProxyFacts& facts, std::u16string_view host)
{
    if (facts.detected) {
        // A setup script answers per address, so its own exceptions are
        // rare; an empty answer is its "DIRECT".
        std::u16string proxy = HttpProxyOf(facts.detected->proxy);
        if (proxy.empty() || Bypassed(host, facts.detected->bypass))
            return Direct(ProxySource::UserDetected);
        return Named(std::move(proxy), ProxySource::UserDetected);
    }
    if (facts.user && !facts.user->proxy.empty()) {
        if (Bypassed(host, facts.user->bypass))
            return Direct(ProxySource::UserBypass);
        // A list with proxies for other schemes only sends HTTP direct.
        std::u16string proxy = HttpProxyOf(facts.user->proxy);
        return proxy.empty() ? Direct(ProxySource::UserFixed) : Named(std::move(proxy), ProxySource::UserFixed);
    }
    if (facts.machine && !facts.machine->proxy.empty() && !Bypassed(host, facts.machine->bypass)) {
        if (std::u16string proxy = HttpProxyOf(facts.machine->proxy); !proxy.empty())
            return Named(std::move(proxy), ProxySource::MachineWide);
    }
    // The detection the user asked for has just failed: asking the system
    // to detect again would only spend the same time once more.
    if (facts.detectionCode != 0)
        return Direct(ProxySource::DetectionFailed, facts.detectionCode);
    return {HttpAccess::Automatic, {}, ProxySource::Automatic, 0};
}

ProxyRoute FindProxyRoute(const HttpPlatform& http, const char16_t* agent, std::u16string_view host,
                          const std::u16string& url, const HttpTimeouts& limits)
{
    ProxyFacts facts;
    if (UserProxySettings user; http.ReadUserProxy(&user))
        facts.user = std::move(user);
    if (AsksForDetection(facts.user))
        Detect(http, agent, *facts.user, url, limits, facts);
    if (ProxyList machine; http.ReadMachineProxy(&machine))
        facts.machine = std::move(machine);
    return ChooseProxyRoute(facts, host);
}

std::u16string ProxyRouteName(const ProxyRoute& route)
{
    switch (route.access) {
    case HttpAccess::Direct: return u"direct";
    case HttpAccess::Named: return route.proxy;
    case HttpAccess::Automatic: return u"automatic";
    }
    return u"?";
}

const char16_t* ProxySourceName(ProxySource source)
{
    switch (source) {
    case ProxySource::NotChosen: return u"none chosen";
    case ProxySource::UserDetected: return u"the user's auto-detection or setup script";
    case ProxySource::UserFixed: return u"the user's proxy";
    case ProxySource::UserBypass: return u"an exception of the user's proxy";
    case ProxySource::MachineWide: return u"the machine-wide setting";
    case ProxySource::DetectionFailed: return u"detection failed";
    case ProxySource::Automatic: return u"the system's choice";
    case ProxySource::AutomaticRefused: return u"no automatic choice here";
    }
    return u"?";
}

} // namespace Vantri

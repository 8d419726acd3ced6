#include "restore/download.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <string>

#include "base/final_messages.h"
#include "base/unique_handle.h"
#include "protocol/numbers.h"
#include "restore/update_host.h"

namespace Vantri {

namespace {

constexpr std::u16string_view kLengthName = u"Content-Length";
// The number starts past the name, a colon and one space.
constexpr std::size_t kLengthValueOffset = 16;

static_assert(std::size(kUpdateHost) <= kDownloadTextCapacity);
static_assert(std::size(kVersionFilePath) <= kDownloadTextCapacity);

bool IsLineBreak(char16_t c)
{
    return c == u'\r' || c == u'\n';
}

void CopyText(char16_t (&destination)[kDownloadTextCapacity], std::u16string_view text)
{
    const std::size_t count = std::min(text.size(), kDownloadTextCapacity - 1);
    std::copy_n(text.begin(), count, destination);
    destination[count] = u'\0';
}

// The worker's three handles, closed request first and session last,
// whatever happened.
struct HttpHandles {
    UniqueHandle<HttpHandle> session;
    UniqueHandle<HttpHandle> connection;
    UniqueHandle<HttpHandle> request;
};

// The response's header text, asked for its size first. The text is taken
// up to its terminator or the end of what was written, whichever comes
// first, so the parser never sees past it.
DownloadOutcome AnnouncedLength(const HttpPlatform& http, HttpHandle request, std::int64_t& length,
                                std::uint32_t& systemCode)
{
    std::uint32_t needed = 0;
    http.QueryRawHeaders(request, nullptr, &needed); // fails by design: it only gives the size
    const std::size_t units = needed / sizeof(char16_t);
    if (units == 0) {
        systemCode = http.LastError();
        return DownloadOutcome::NoHeaders;
    }
    const std::unique_ptr<char16_t[]> text(new (std::nothrow) char16_t[units]());
    if (!text)
        return DownloadOutcome::NoHeaders;
    std::uint32_t written = static_cast<std::uint32_t>(units * sizeof(char16_t));
    if (!http.QueryRawHeaders(request, text.get(), &written)) {
        systemCode = http.LastError();
        return DownloadOutcome::NoHeaders;
    }
    std::u16string_view headers(text.get(), std::min<std::size_t>(units, written / sizeof(char16_t)));
    headers = headers.substr(0, headers.find(u'\0'));

    const std::optional<std::int64_t> announced = ContentLength(headers);
    if (!announced)
        return DownloadOutcome::NoHeaderLines;
    length = *announced;
    return DownloadOutcome::Received;
}

// Zero-filled, exactly `length` bytes; null when the memory cannot be had.
std::unique_ptr<DownloadBody> AllocateBody(std::size_t length)
{
    std::unique_ptr<DownloadBody> body(new (std::nothrow) DownloadBody{});
    if (!body)
        return nullptr;
    body->bytes.reset(new (std::nothrow) std::uint8_t[length]());
    if (!body->bytes)
        return nullptr;
    body->size = length;
    return body;
}

DownloadReport s_reports[2];
DownloadReport s_noReport;
// One slot per tag. The worker marks its final message, with the very body
// it hands over, before it posts; the window takes only that.
FinalMessages<2> s_finalMessages;

DownloadReport& ReportFor(std::uint32_t tag)
{
    return tag < std::size(s_reports) ? s_reports[tag] : s_noReport;
}

// A failing call's outcome, with the system's code taken at once.
DownloadOutcome Failed(const HttpPlatform& http, DownloadReport& report, DownloadOutcome outcome)
{
    report.systemCode = http.LastError();
    return outcome;
}

// The session on the chosen route. Windows before 8.1 refuses the automatic
// choice as an invalid parameter; there nothing else is set, so the request
// goes direct.
HttpHandle OpenSession(const HttpPlatform& http, ProxyRoute& route)
{
    constexpr std::uint32_t kInvalidParameter = 87; // ERROR_INVALID_PARAMETER
    const HttpHandle session = http.Open(kDownloadAgent, route.access, route.proxy.c_str());
    if (session || route.access != HttpAccess::Automatic || http.LastError() != kInvalidParameter)
        return session;
    route = {HttpAccess::Direct, {}, ProxySource::AutomaticRefused, 0};
    return http.Open(kDownloadAgent, route.access, nullptr);
}

DownloadOutcome Fetch(const HttpPlatform& http, HttpHandles& handles, const DownloadRequest& request,
                      std::unique_ptr<DownloadBody>& body)
{
    DownloadReport& report = ReportFor(request.tag);
    report.route = FindProxyRoute(http, kDownloadAgent, request.host,
                                  u"http://" + std::u16string(request.host) + request.path, kDownloadTimeouts);
    handles.session = {OpenSession(http, report.route), http.CloseHandle};
    if (!handles.session)
        return Failed(http, report, DownloadOutcome::NoSession);
    if (!http.SetTimeouts(handles.session.Get(), &kDownloadTimeouts))
        return Failed(http, report, DownloadOutcome::NoTimeLimits);
    handles.connection = {http.Connect(handles.session.Get(), request.host, kUpdatePort), http.CloseHandle};
    if (!handles.connection)
        return Failed(http, report, DownloadOutcome::NoConnection);
    handles.request = {http.OpenRequest(handles.connection.Get(), u"GET", request.path), http.CloseHandle};
    if (!handles.request)
        return Failed(http, report, DownloadOutcome::NoRequest);
    const HttpHandle requestHandle = handles.request.Get();
    if (!http.SendRequest(requestHandle))
        return Failed(http, report, DownloadOutcome::SendFailed);
    if (!http.ReceiveResponse(requestHandle))
        return Failed(http, report, DownloadOutcome::NoResponse);

    // An error page (404 and the like) often carries a Content-Length too;
    // it is not the file we asked for. Nor is a proxy's request for
    // credentials: the program has none to give.
    std::uint32_t status = 0;
    if (!http.QueryStatusCode(requestHandle, &status))
        return Failed(http, report, DownloadOutcome::NoStatus);
    report.status = status;
    if (status == kProxyAuthenticationRequired)
        return DownloadOutcome::ProxyCredentials;
    if (status != 200)
        return DownloadOutcome::BadStatus;

    std::int64_t length = 0;
    if (const DownloadOutcome outcome = AnnouncedLength(http, requestHandle, length, report.systemCode);
        outcome != DownloadOutcome::Received)
        return outcome;
    report.announced = length;
    // No Content-Length (a chunked body, say), a negative one, or one no
    // database comes near: the database is a few megabytes, and a length the
    // server got wrong must not take the machine's memory.
    if (length <= 0 || length > kMaxBodySize)
        return DownloadOutcome::BadLength;

    body = AllocateBody(static_cast<std::size_t>(length));
    if (!body)
        return DownloadOutcome::NoMemory;
    const DownloadOutcome outcome =
        ReceiveBody(http, requestHandle, request.tag, request.window, *body, &report.systemCode);
    if (outcome != DownloadOutcome::Received)
        body.reset(); // a part of a file is no file
    else
        report.received = body->size;
    return outcome;
}

// A body whose done message cannot be posted (the window is gone) would
// belong to nobody: it stays ours and is released here.
void PostFinalMessage(const DownloadRequest& request, DownloadOutcome outcome, std::unique_ptr<DownloadBody> body)
{
    if (outcome != DownloadOutcome::Received) {
        s_finalMessages.Mark(request.tag, WM_DOWNLOAD_FAILED);
        BoundDownloadLink().PostToWindow(request.window, WM_DOWNLOAD_FAILED, request.tag, 0);
        return;
    }
    const auto address = reinterpret_cast<std::intptr_t>(body.get());
    s_finalMessages.Mark(request.tag, WM_DOWNLOAD_DONE, address);
    if (BoundDownloadLink().PostToWindow(request.window, WM_DOWNLOAD_DONE, request.tag, address))
        body.release();
}

std::uint32_t DownloadWorkItem(std::uintptr_t context)
{
    return DownloadWorker(reinterpret_cast<DownloadRequest*>(context));
}

} // namespace

std::optional<std::int64_t> ContentLength(std::u16string_view headers)
{
    bool anyLine = false;
    std::int64_t length = 0;
    std::size_t position = 0;
    for (;;) {
        while (position < headers.size() && IsLineBreak(headers[position]))
            ++position;
        if (position == headers.size())
            break;
        std::size_t end = position;
        while (end < headers.size() && !IsLineBreak(headers[end]))
            ++end;
        const std::u16string_view line = headers.substr(position, end - position);
        position = end;
        anyLine = true;

        const std::size_t name = line.find(kLengthName);
        if (name == std::u16string_view::npos)
            continue;
        // The number is read inside this line only: an occurrence near the
        // line's end has no digits after it, never the next line's.
        const std::size_t value = name + kLengthValueOffset;
        length = value < line.size() ? DecimalValue(line.substr(value)) : 0;
    }
    if (!anyLine)
        return std::nullopt;
    return length;
}

DownloadOutcome ReceiveBody(const HttpPlatform& http, HttpHandle request, std::uint32_t tag, DownloadWindow window,
                            DownloadBody& body, std::uint32_t* systemCode)
{
    const std::size_t length = body.size;
    std::size_t remaining = length;
    while (remaining != 0) {
        const std::uint32_t wanted = static_cast<std::uint32_t>(std::min<std::size_t>(remaining, UINT32_MAX));
        std::uint32_t read = 0;
        if (!http.ReadData(request, body.bytes.get() + (length - remaining), wanted, &read)) {
            if (systemCode)
                *systemCode = http.LastError();
            return DownloadOutcome::ReadFailed;
        }
        if (read > wanted)
            return DownloadOutcome::ReadFailed;
        // The connection closed before Content-Length bytes came: asking
        // again would give 0 again, for ever.
        if (read == 0)
            return DownloadOutcome::ConnectionEnded;
        remaining -= read;
        const std::uint32_t percent = 100 - WholePercent(remaining, length);
        BoundDownloadLink().PostToWindow(window, WM_DOWNLOAD_PROGRESS, tag, static_cast<std::intptr_t>(percent));
    }
    return DownloadOutcome::Received;
}

void StartDownload(std::u16string_view path, std::uint32_t tag)
{
    const DownloadWindow window = BoundDownloadLink().MainWindow();
    DownloadReport& report = ReportFor(tag);
    report = {};
    std::unique_ptr<DownloadRequest> request(new (std::nothrow) DownloadRequest{});
    if (request && path.size() < kDownloadTextCapacity) {
        CopyText(request->host, kUpdateHost);
        CopyText(request->path, path);
        CopyText(report.host, kUpdateHost);
        CopyText(report.path, path);
        request->tag = tag;
        request->window = window;
        // Once queued the record is the worker's, which may already have
        // released it by the time the call returns.
        if (BoundDownloadLink().QueueWorkItem(DownloadWorkItem, reinterpret_cast<std::uintptr_t>(request.get()))) {
            request.release();
            return;
        }
    }
    // No worker will ever post this download's outcome, and the window would
    // wait for it for ever: its failure is posted here instead.
    report.outcome = DownloadOutcome::NotStarted;
    s_finalMessages.Mark(tag, WM_DOWNLOAD_FAILED);
    BoundDownloadLink().PostToWindow(window, WM_DOWNLOAD_FAILED, tag, 0);
}

DownloadOutcome PerformDownload(DownloadRequest* request)
{
    // Destroyed in reverse: the handles are closed after the final post,
    // and the request released last.
    const std::unique_ptr<DownloadRequest> owned(request);
    HttpHandles handles;
    std::unique_ptr<DownloadBody> body;
    const DownloadOutcome outcome = Fetch(g_httpPlatform, handles, *owned, body);
    ReportFor(owned->tag).outcome = outcome;
    PostFinalMessage(*owned, outcome, std::move(body));
    return outcome;
}

std::uint32_t DownloadWorker(DownloadRequest* request)
{
    PerformDownload(request);
    return 0;
}

std::span<const std::uint8_t> FirstLine(std::span<const std::uint8_t> versionFile)
{
    std::size_t start = 0;
    while (start < versionFile.size() && versionFile[start] == '\n')
        ++start;
    std::size_t end = start;
    while (end < versionFile.size() && versionFile[end] != '\n')
        ++end;
    return versionFile.subspan(start, end - start);
}

std::optional<std::u16string_view> PathAfterHost(std::u16string_view line)
{
    const std::u16string_view host = kUpdateHost;
    const std::size_t at = line.find(host);
    if (at == std::u16string_view::npos)
        return std::nullopt;
    return line.substr(at + host.size());
}

const DownloadReport& DownloadReportOf(std::uint32_t tag)
{
    return tag < std::size(s_reports) ? s_reports[tag] : s_noReport;
}

const char* DownloadOutcomeName(DownloadOutcome outcome)
{
    switch (outcome) {
    case DownloadOutcome::Received: return "received";
    case DownloadOutcome::NoSession: return "no session";
    case DownloadOutcome::NoTimeLimits: return "the time limits could not be set";
    case DownloadOutcome::NoConnection: return "no connection";
    case DownloadOutcome::NoRequest: return "no request";
    case DownloadOutcome::SendFailed: return "the request could not be sent";
    case DownloadOutcome::NoResponse: return "no response";
    case DownloadOutcome::NoStatus: return "no status";
    case DownloadOutcome::ProxyCredentials: return "the proxy asks for credentials";
    case DownloadOutcome::BadStatus: return "a status other than 200";
    case DownloadOutcome::NoHeaders: return "no headers";
    case DownloadOutcome::NoHeaderLines: return "no header lines";
    case DownloadOutcome::BadLength: return "no usable Content-Length";
    case DownloadOutcome::NoMemory: return "no memory for the body";
    case DownloadOutcome::ReadFailed: return "a read failed";
    case DownloadOutcome::ConnectionEnded: return "the connection ended early";
    case DownloadOutcome::NotStarted: return "not started";
    }
    return "?";
}

std::u16string DownloadLogText(const DownloadReport& report)
{
    const auto number = [](std::uint64_t value) {
        const std::string digits = std::to_string(value);
        return std::u16string(digits.begin(), digits.end());
    };
    const std::string_view outcome = DownloadOutcomeName(report.outcome);
    std::u16string text = u"download http://" + std::u16string(report.host) + report.path + u": " +
                          std::u16string(outcome.begin(), outcome.end());
    if (report.systemCode != 0)
        text += u", system code " + number(report.systemCode);
    text += u", status " + number(report.status) + u", Content-Length " +
            (report.announced < 0 ? u"-" + number(0 - static_cast<std::uint64_t>(report.announced))
                                  : number(static_cast<std::uint64_t>(report.announced))) +
            u", received " + number(report.received) + u" bytes, proxy " + ProxyRouteName(report.route) + u" (" +
            ProxySourceName(report.route.source);
    if (report.route.detectionCode != 0)
        text += u", code " + number(report.route.detectionCode);
    return text + u")";
}

void ResetDownloadReports()
{
    std::fill(std::begin(s_reports), std::end(s_reports), DownloadReport{});
    s_finalMessages.Reset();
}

bool TakeDownloadMessage(std::uint32_t message, std::uintptr_t tag, std::intptr_t lParam)
{
    return s_finalMessages.Take(tag, message, lParam);
}

bool LocateDatabase(DownloadBody* versionBody)
{
    char16_t line[kDownloadTextCapacity] = {};
    {
        // The version file is done with once its first line is widened.
        const std::unique_ptr<DownloadBody> body(versionBody);
        if (!body)
            return false;
        const std::span<const std::uint8_t> first = FirstLine(body->Bytes());
        // An empty line, or one that does not fit with its terminator,
        // names no database.
        if (first.empty() || first.size() > UINT32_MAX ||
            g_httpPlatform.WidenAnsi(first.data(), static_cast<std::uint32_t>(first.size()), line,
                                     kDownloadTextCapacity - 1) == 0)
            return false;
    }
    // The line ends at its first null, as the text the system widened does.
    const std::optional<std::u16string_view> path = PathAfterHost(line);
    if (!path)
        return false;
    StartDownload(*path, DOWNLOAD_TAG_DATABASE);
    return true;
}

} // namespace Vantri

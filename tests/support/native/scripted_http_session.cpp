#include "tests/support/native/scripted_http_session.h"

#include <algorithm>
#include <cstring>

namespace VantriTest {

namespace {

ScriptedHttpSession* s_active = nullptr;
// As the system keeps it: per thread, set by a failing call only.
thread_local std::uint32_t s_lastError = 0;

std::u16string Ascii(std::string_view text)
{
    return {text.begin(), text.end()};
}

std::u16string Decimal(std::uint64_t value)
{
    return Ascii(std::to_string(value));
}

std::uintptr_t Key(Vantri::HttpHandle handle)
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

} // namespace

std::u16string HeaderText(std::uint32_t status, const std::vector<std::u16string>& lines)
{
    std::u16string text = u"HTTP/1.1 " + Decimal(status) + (status == 200 ? u" OK" : u" Not Found") + u"\r\n";
    for (const std::u16string& line : lines)
        text += line + u"\r\n";
    return text + u"\r\n";
}

ScriptedResponse OkResponse(std::vector<std::uint8_t> body, std::vector<std::uint32_t> readSizes)
{
    ScriptedResponse response;
    response.headers = HeaderText(200, {u"Content-Length: " + Decimal(body.size()), u"Server: scripted"});
    response.body = std::move(body);
    response.readSizes = std::move(readSizes);
    return response;
}

// The table's entries: plain functions that forward to the active session
// and fail, as a machine without an HTTP client would, when there is none.
struct ScriptedHttpSession::Table {
    static Vantri::HttpHandle Open(const char16_t* agent, Vantri::HttpAccess access, const char16_t* proxy)
    {
        if (!s_active)
            return nullptr;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        if (session.Fails(HttpCall::Open))
            return nullptr;
        if (access == Vantri::HttpAccess::Automatic && session.refuseAutomatic_) {
            s_lastError = 87;
            return nullptr;
        }
        Handle handle{Kind::Session, {}, nullptr, 0, 0};
        handle.record.agent = agent;
        handle.record.access = access;
        if (access == Vantri::HttpAccess::Named)
            handle.record.proxy = proxy;
        handle.session = session.sessions_.size();
        session.sessions_.push_back(handle.record);
        return session.Add(std::move(handle));
    }

    static bool SetTimeouts(Vantri::HttpHandle sessionHandle, const Vantri::HttpTimeouts* limits)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        Handle* handle = session.Find(sessionHandle, Kind::Session);
        if (session.Fails(HttpCall::Timeouts) || !handle)
            return false;
        handle->record.limits = *limits;
        session.sessions_[handle->session].limits = *limits;
        return true;
    }

    static bool ReadUserProxy(Vantri::UserProxySettings* settings)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        if (session.Fails(HttpCall::UserProxy) || !session.userProxy_)
            return false;
        *settings = *session.userProxy_;
        return true;
    }

    static bool ReadMachineProxy(Vantri::ProxyList* setting)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        if (session.Fails(HttpCall::MachineProxy))
            return false;
        *setting = session.machineProxy_;
        return true;
    }

    static bool DetectProxy(Vantri::HttpHandle sessionHandle, const char16_t*, const char16_t* autoConfigUrl,
                            Vantri::ProxyList* answer)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const std::u16string script = autoConfigUrl ? autoConfigUrl : u"";
        session.detections_.push_back(script);
        if (session.Fails(HttpCall::Detect) || !session.Find(sessionHandle, Kind::Session))
            return false;
        const auto found = session.detectionAnswers_.find(script);
        if (found == session.detectionAnswers_.end()) {
            s_lastError = kDetectionFailedCode;
            return false;
        }
        *answer = found->second;
        return true;
    }

    static std::uint32_t LastError()
    {
        return s_lastError;
    }

    static Vantri::HttpHandle Connect(Vantri::HttpHandle sessionHandle, const char16_t* host, std::uint16_t port)
    {
        if (!s_active)
            return nullptr;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const Handle* parent = session.Find(sessionHandle, Kind::Session);
        if (session.Fails(HttpCall::Connect) || !parent)
            return nullptr;
        Handle handle{Kind::Connection, parent->record, nullptr, 0, 0};
        handle.record.host = host;
        handle.record.port = port;
        return session.Add(std::move(handle));
    }

    static Vantri::HttpHandle OpenRequest(Vantri::HttpHandle connection, const char16_t* verb, const char16_t* path)
    {
        if (!s_active)
            return nullptr;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const Handle* parent = session.Find(connection, Kind::Connection);
        if (session.Fails(HttpCall::OpenRequest) || !parent)
            return nullptr;
        Handle handle{Kind::Request, parent->record, nullptr, 0, 0};
        handle.record.verb = verb;
        handle.record.path = path;
        session.requests_.push_back(handle.record);
        return session.Add(std::move(handle));
    }

    static bool SendRequest(Vantri::HttpHandle request)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        Handle* handle = session.Find(request, Kind::Request);
        if (session.Fails(HttpCall::Send) || !handle)
            return false;
        handle->response = &session.ResponseFor(handle->record.path);
        return true;
    }

    static bool ReceiveResponse(Vantri::HttpHandle request)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const Handle* handle = session.Find(request, Kind::Request);
        return !session.Fails(HttpCall::Receive) && handle && handle->response;
    }

    // As the system does: asked without a buffer (or with one too small) it
    // fails and names the size needed, terminator included; otherwise it
    // writes the text and its terminator and names the text's size.
    static bool QueryRawHeaders(Vantri::HttpHandle request, char16_t* buffer, std::uint32_t* bytes)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const Handle* handle = session.Find(request, Kind::Request);
        if (session.Fails(buffer ? HttpCall::Headers : HttpCall::HeaderSize) || !handle || !handle->response)
            return false;
        const std::u16string& text = handle->response->headers;
        const std::uint32_t needed = static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
        if (!buffer || *bytes < needed) {
            *bytes = needed;
            return false;
        }
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = u'\0';
        *bytes = static_cast<std::uint32_t>(text.size() * sizeof(char16_t));
        return true;
    }

    static bool QueryStatusCode(Vantri::HttpHandle request, std::uint32_t* status)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const Handle* handle = session.Find(request, Kind::Request);
        if (session.Fails(HttpCall::Status) || !handle || !handle->response)
            return false;
        *status = handle->response->status;
        return true;
    }

    static bool ReadData(Vantri::HttpHandle request, void* buffer, std::uint32_t toRead, std::uint32_t* read)
    {
        if (!s_active)
            return false;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        Handle* handle = session.Find(request, Kind::Request);
        session.readRequests_.push_back(toRead);
        *read = 0;
        if (session.Fails(HttpCall::Read) || !handle || !handle->response)
            return false;
        const ScriptedResponse& response = *handle->response;
        std::size_t count = std::min<std::size_t>(toRead, response.body.size() - handle->delivered);
        if (!response.readSizes.empty())
            count = std::min<std::size_t>(
                count, response.readSizes[std::min(handle->reads, response.readSizes.size() - 1)]);
        if (count != 0)
            std::memcpy(buffer, response.body.data() + handle->delivered, count);
        handle->delivered += count;
        ++handle->reads;
        *read = static_cast<std::uint32_t>(count);
        return true;
    }

    static void CloseHandle(Vantri::HttpHandle handle)
    {
        if (!s_active)
            return;
        ScriptedHttpSession& session = *s_active;
        std::lock_guard lock(session.mutex_);
        const auto found = session.handles_.find(Key(handle));
        if (found == session.handles_.end()) {
            ++session.badCloses_;
            return;
        }
        static constexpr const char* kNames[] = {"session", "connection", "request"};
        const std::string kind = kNames[static_cast<int>(found->second.kind)];
        session.closed_.push_back(kind);
        session.handles_.erase(found);
        if (session.onClose_)
            session.onClose_(kind);
    }

    // A code page in which every byte is the character of the same number.
    static std::uint32_t WidenAnsi(const std::uint8_t* text, std::uint32_t size, char16_t* out,
                                   std::uint32_t capacity)
    {
        if (s_active) {
            std::lock_guard lock(s_active->mutex_);
            if (s_active->Fails(HttpCall::Widen))
                return 0;
        }
        if (size == 0 || size > capacity)
            return 0;
        std::copy(text, text + size, out);
        return size;
    }
};

namespace {

constinit const Vantri::HttpPlatform kScriptedHttpPlatform{
    ScriptedHttpSession::Table::Open,
    ScriptedHttpSession::Table::SetTimeouts,
    ScriptedHttpSession::Table::Connect,
    ScriptedHttpSession::Table::OpenRequest,
    ScriptedHttpSession::Table::SendRequest,
    ScriptedHttpSession::Table::ReceiveResponse,
    ScriptedHttpSession::Table::QueryRawHeaders,
    ScriptedHttpSession::Table::QueryStatusCode,
    ScriptedHttpSession::Table::ReadData,
    ScriptedHttpSession::Table::CloseHandle,
    ScriptedHttpSession::Table::ReadUserProxy,
    ScriptedHttpSession::Table::ReadMachineProxy,
    ScriptedHttpSession::Table::DetectProxy,
    ScriptedHttpSession::Table::LastError,
    ScriptedHttpSession::Table::WidenAnsi,
};

} // namespace

ScriptedHttpSession::ScriptedHttpSession() : previous_(s_active)
{
    static const char kNotFound[] = "<html><body>404 Not Found</body></html>";
    notFound_.status = 404;
    notFound_.body.assign(kNotFound, kNotFound + sizeof kNotFound - 1);
    notFound_.headers = HeaderText(404, {u"Content-Length: " + Decimal(notFound_.body.size())});
    s_active = this;
}

ScriptedHttpSession::~ScriptedHttpSession()
{
    s_active = previous_;
}

const Vantri::HttpPlatform& ScriptedHttpSession::Platform()
{
    return kScriptedHttpPlatform;
}

void ScriptedHttpSession::Serve(std::u16string path, ScriptedResponse response)
{
    std::lock_guard lock(mutex_);
    responses_[std::move(path)] = std::move(response);
}

void ScriptedHttpSession::FailCall(HttpCall call, std::uint32_t occurrence, std::uint32_t code)
{
    std::lock_guard lock(mutex_);
    failures_[{call, occurrence}] = code;
}

void ScriptedHttpSession::SetUserProxy(std::optional<Vantri::UserProxySettings> settings)
{
    std::lock_guard lock(mutex_);
    userProxy_ = std::move(settings);
}

void ScriptedHttpSession::SetMachineProxy(Vantri::ProxyList setting)
{
    std::lock_guard lock(mutex_);
    machineProxy_ = std::move(setting);
}

void ScriptedHttpSession::AnswerDetection(std::u16string autoConfigUrl, Vantri::ProxyList answer)
{
    std::lock_guard lock(mutex_);
    detectionAnswers_[std::move(autoConfigUrl)] = std::move(answer);
}

std::vector<RequestRecord> ScriptedHttpSession::Sessions() const
{
    std::lock_guard lock(mutex_);
    return sessions_;
}

std::vector<std::u16string> ScriptedHttpSession::Detections() const
{
    std::lock_guard lock(mutex_);
    return detections_;
}

std::vector<RequestRecord> ScriptedHttpSession::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> ScriptedHttpSession::Closed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

std::uint32_t ScriptedHttpSession::OpenHandles() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(handles_.size());
}

std::uint32_t ScriptedHttpSession::BadCloses() const
{
    std::lock_guard lock(mutex_);
    return badCloses_;
}

std::uint32_t ScriptedHttpSession::Calls(HttpCall call) const
{
    std::lock_guard lock(mutex_);
    const auto found = calls_.find(call);
    return found == calls_.end() ? 0 : found->second;
}

std::vector<std::uint32_t> ScriptedHttpSession::ReadRequests() const
{
    std::lock_guard lock(mutex_);
    return readRequests_;
}

bool ScriptedHttpSession::Fails(HttpCall call)
{
    const auto found = failures_.find({call, calls_[call]++});
    if (found == failures_.end())
        return false;
    s_lastError = found->second;
    return true;
}

ScriptedHttpSession::Handle* ScriptedHttpSession::Find(Vantri::HttpHandle handle, Kind kind)
{
    const auto found = handles_.find(Key(handle));
    return found == handles_.end() || found->second.kind != kind ? nullptr : &found->second;
}

Vantri::HttpHandle ScriptedHttpSession::Add(Handle handle)
{
    const std::uintptr_t key = nextHandle_++;
    handles_.emplace(key, std::move(handle));
    return reinterpret_cast<Vantri::HttpHandle>(key);
}

const ScriptedResponse& ScriptedHttpSession::ResponseFor(const std::u16string& path)
{
    const auto found = responses_.find(path);
    return found == responses_.end() ? notFound_ : found->second;
}

} // namespace VantriTest

// Test and benchmark programs download through the scripted session.

// A scripted HTTP session below the downloads' platform table: responses by
// path (header text, status, body, and the sizes the body's reads come in),
// a failure injectable at any call, and a record of every request and every
// handle closed. The session most recently constructed is the one the table
// (and so g_httpPlatform in test programs) talks to; the download worker may
// call it from its own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "restore/http_platform.h"

namespace VantriTest {

enum class HttpCall {
    Open, Timeouts, Connect, OpenRequest, Send, Receive, HeaderSize, Headers, Status, Read, Widen,
    UserProxy, MachineProxy, Detect,
};

// The code a scripted failure leaves unless told otherwise:
// ERROR_WINHTTP_CONNECTION_ERROR.
inline constexpr std::uint32_t kScriptedFailureCode = 12030;
// A detection the script has no answer for: ERROR_WINHTTP_AUTODETECTION_FAILED.
inline constexpr std::uint32_t kDetectionFailedCode = 12180;

struct ScriptedResponse {
    // The raw header text exactly as the system would hand it out.
    std::u16string headers;
    std::uint32_t status = 200;
    std::vector<std::uint8_t> body;
    // Successive reads give at most these many bytes (the last size repeats);
    // none: as many as asked for. Once the body is out, reads give 0 bytes.
    std::vector<std::uint32_t> readSizes;
};

// Header text for `status` with the given further lines, each ended by CR
// LF, and the empty line that ends a header block.
std::u16string HeaderText(std::uint32_t status, const std::vector<std::u16string>& lines);
// A 200 response whose Content-Length is the body's length.
ScriptedResponse OkResponse(std::vector<std::uint8_t> body, std::vector<std::uint32_t> readSizes = {});

// What one request asked for, from the session's open to the request's open.
struct RequestRecord {
    std::u16string agent;
    Vantri::HttpAccess access = Vantri::HttpAccess::Direct;
    std::u16string proxy; // a named proxy's
    std::optional<Vantri::HttpTimeouts> limits;
    std::u16string host;
    std::uint16_t port = 0;
    std::u16string verb;
    std::u16string path;
};

class ScriptedHttpSession {
public:
    ScriptedHttpSession();
    ~ScriptedHttpSession();
    ScriptedHttpSession(const ScriptedHttpSession&) = delete;
    ScriptedHttpSession& operator=(const ScriptedHttpSession&) = delete;

    // The table whose calls land on the active session.
    static const Vantri::HttpPlatform& Platform();
    struct Table; // its entries

    // A path not served answers 404 with a short body and its length.
    void Serve(std::u16string path, ScriptedResponse response);
    // The n-th call (0-based) of that kind fails with `code`; the others
    // succeed.
    void FailCall(HttpCall call, std::uint32_t occurrence = 0, std::uint32_t code = kScriptedFailureCode);
    // The current user's settings (none set unless told); nullopt: they
    // cannot be had.
    void SetUserProxy(std::optional<Vantri::UserProxySettings> settings);
    void SetMachineProxy(Vantri::ProxyList setting);
    // What a detection answers: by the setup script at `autoConfigUrl`, or
    // by auto-detection for an empty one; without an answer it fails with
    // kDetectionFailedCode.
    void AnswerDetection(std::u16string autoConfigUrl, Vantri::ProxyList answer);
    // Before Windows 8.1 the automatic choice is refused (87).
    void RefuseAutomatic() { refuseAutomatic_ = true; }
    // Every session opened, the detection's too, in order.
    std::vector<RequestRecord> Sessions() const;
    // The setup scripts asked for ("" for auto-detection), in order.
    std::vector<std::u16string> Detections() const;
    // Runs as each handle is closed (on the closing thread), with its kind.
    void OnClose(std::function<void(const std::string& kind)> hook) { onClose_ = std::move(hook); }

    std::vector<RequestRecord> Requests() const;
    // Kinds of the handles closed, in closing order: "request",
    // "connection", "session".
    std::vector<std::string> Closed() const;
    std::uint32_t OpenHandles() const;
    // Closes of a handle that was never handed out or already closed.
    std::uint32_t BadCloses() const;
    std::uint32_t Calls(HttpCall call) const;
    // The sizes each read call asked for, in order.
    std::vector<std::uint32_t> ReadRequests() const;

private:
    enum class Kind { Session, Connection, Request };
    struct Handle {
        Kind kind;
        RequestRecord record;
        const ScriptedResponse* response = nullptr;
        std::size_t delivered = 0;
        std::size_t reads = 0;
        std::size_t session = 0; // a session's place in sessions_
    };


    bool Fails(HttpCall call); // counts the call; true, with its code set, when scripted to fail
    Handle* Find(Vantri::HttpHandle handle, Kind kind);
    Vantri::HttpHandle Add(Handle handle);
    const ScriptedResponse& ResponseFor(const std::u16string& path);

    ScriptedHttpSession* previous_;
    mutable std::mutex mutex_;
    std::map<std::u16string, ScriptedResponse> responses_;
    ScriptedResponse notFound_;
    std::map<HttpCall, std::uint32_t> calls_;
    std::map<std::pair<HttpCall, std::uint32_t>, std::uint32_t> failures_;
    std::optional<Vantri::UserProxySettings> userProxy_ = Vantri::UserProxySettings{};
    Vantri::ProxyList machineProxy_;
    std::map<std::u16string, Vantri::ProxyList> detectionAnswers_;
    bool refuseAutomatic_ = false;
    std::vector<RequestRecord> sessions_;
    std::vector<std::u16string> detections_;
    std::unordered_map<std::uintptr_t, Handle> handles_;
    std::uintptr_t nextHandle_ = 0x1000; // never reused
    std::vector<RequestRecord> requests_;
    std::vector<std::string> closed_;
    std::uint32_t badCloses_ = 0;
    std::vector<std::uint32_t> readRequests_;
    std::function<void(const std::string&)> onClose_;
};

} // namespace VantriTest

// The download worker against a scripted HTTP session: what it asks for,
// the progress and final messages it posts, who owns the body, and every
// way a response can be wrong. The header parser and the locating step
// are checked on their own below, over text held in allocations of exactly
// its size, so that a read past the end trips ASan.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/running_workers.h"
#include "engine/window_messages.h"
#include "restore/download.h"
#include "restore/update_host.h"
#include "tests/native/engine/scripted_window.h"
#include "tests/native/restore/restore_fixture.h"
#include "tests/support/loader_switch.h"
#include "tests/support/native/scripted_http_session.h"

#if defined(__SANITIZE_ADDRESS__)
#define VANTRI_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTRI_TEST_ASAN 1
#endif
#endif

#ifdef VANTRI_TEST_ASAN
// An allocation above 128 MiB fails here instead of ending the program, so
// a body the machine cannot hold can be asked for.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=128";
}
#endif

namespace VantriTest {
namespace {

using Vantri::DownloadOutcome;

constexpr std::u16string_view kPath = u"/db/Games.vdb";

std::u16string Number(std::uint64_t value)
{
    const std::string text = std::to_string(value);
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t seed = 1)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

ScriptedResponse Response(std::vector<std::u16string> lines, std::vector<std::uint8_t> body,
                          std::vector<std::uint32_t> readSizes = {}, std::uint32_t status = 200)
{
    return {HeaderText(status, lines), status, std::move(body), std::move(readSizes)};
}

ScriptedResponse WithLength(std::u16string length, std::size_t bodySize = 100)
{
    return Response({u"Content-Length: " + length}, Bytes(bodySize));
}

// What the worker posted, in order, with the body (if any) owned here.
struct Heard {
    std::vector<std::intptr_t> progress;
    std::vector<PostedMessage> finals;
    std::vector<std::uintptr_t> tags;
    std::unique_ptr<Vantri::DownloadBody> body;
    bool finalIsLast = true;
};

class DownloadTest : public ::testing::Test {
protected:
    // A download never reaches an adapter: none is bound.
    DownloadTest() { Loaders().Use(nullptr); }
    ~DownloadTest() override { window.JoinWorkers(); }

    Vantri::DownloadRequest* NewRequest(std::u16string_view path, std::uint32_t tag)
    {
        auto* request = new Vantri::DownloadRequest{};
        std::copy(std::begin(Vantri::kUpdateHost), std::end(Vantri::kUpdateHost), request->host);
        std::copy(path.begin(), path.end(), request->path);
        request->tag = tag;
        request->window = window.MainWindow();
        return request;
    }

    // Takes what the window was posted; call once per test.
    Heard Collect()
    {
        Heard heard;
        for (const PostedMessage& m : window.Pending()) {
            heard.tags.push_back(m.wParam);
            if (m.message == WM_DOWNLOAD_PROGRESS) {
                heard.finalIsLast = heard.finalIsLast && heard.finals.empty();
                heard.progress.push_back(m.lParam);
                continue;
            }
            heard.finals.push_back(m);
            if (m.message == WM_DOWNLOAD_DONE)
                heard.body.reset(reinterpret_cast<Vantri::DownloadBody*>(m.lParam));
        }
        return heard;
    }

    // Records, at the first close, whether the final message was out by then.
    void WatchFirstClose()
    {
        http.OnClose([this](const std::string&) {
            if (!finalPostedAtFirstClose) {
                const auto pending = window.Pending();
                finalPostedAtFirstClose = std::any_of(pending.begin(), pending.end(), [](const PostedMessage& m) {
                    return m.message == WM_DOWNLOAD_DONE || m.message == WM_DOWNLOAD_FAILED;
                });
            }
        });
    }

    ScriptedHttpSession http;
    EventLog log;
    ScriptedWindow window{log};
    std::optional<bool> finalPostedAtFirstClose;
};

// ---------------------------------------------------------------------------
// The worker, one response at a time.

struct WorkerCase {
    std::string name;
    ScriptedResponse response;
    std::vector<std::pair<HttpCall, std::uint32_t>> failures;
    DownloadOutcome outcome;
    std::vector<std::intptr_t> progress;
    std::size_t bodySize = 0; // bytes of the response's body handed over when received
    std::vector<std::string> closed = {"request", "connection", "session"};
};

std::ostream& operator<<(std::ostream& out, const WorkerCase& c)
{
    return out << c.name;
}

std::vector<WorkerCase> WorkerCases()
{
    const ScriptedResponse ok = OkResponse(Bytes(10000), {4096, 1000, 4904});
    return {
        {"SeveralReadsStoredInOrder", ok, {}, DownloadOutcome::Received, {41, 51, 100}, 10000},
        // 1 byte short of the end is already 100 after rounding down.
        {"PercentRoundsDown", OkResponse(Bytes(10000), {3333}), {}, DownloadOutcome::Received, {34, 67, 100, 100},
         10000},
        {"OneReadOneProgress", OkResponse(Bytes(500)), {}, DownloadOutcome::Received, {100}, 500},
        {"NoSpaceAfterTheColonReadsTwentyThree", Response({u"Content-Length:123"}, Bytes(123)), {},
         DownloadOutcome::Received, {100}, 23},
        {"TwoLengthLinesTheLaterWins", Response({u"Content-Length: 50", u"Content-Length: 20"}, Bytes(50)), {},
         DownloadOutcome::Received, {100}, 20},
        {"LengthNamedMidLine", Response({u"X-Mirror: Content-Length: 30"}, Bytes(30)), {},
         DownloadOutcome::Received, {100}, 30},

        // Responses that are not the file.
        {"NotFoundWithABody", Response({u"Content-Length: 40"}, Bytes(40), {}, 404), {}, DownloadOutcome::BadStatus,
         {}},
        {"ServerErrorWithABody", Response({u"Content-Length: 40"}, Bytes(40), {}, 500), {},
         DownloadOutcome::BadStatus, {}},
        {"ChunkedWithoutLength", Response({u"Transfer-Encoding: chunked"}, Bytes(40)), {},
         DownloadOutcome::BadLength, {}},
        {"LengthZero", WithLength(u"0"), {}, DownloadOutcome::BadLength, {}},
        {"LengthNegative", WithLength(u"-5"), {}, DownloadOutcome::BadLength, {}},
        {"LengthNotANumber", WithLength(u"many"), {}, DownloadOutcome::BadLength, {}},
        {"LengthOneAbove256MiB", WithLength(Number(256ull * 1024 * 1024 + 1)), {}, DownloadOutcome::BadLength, {}},
        {"Length300MiB", WithLength(Number(300ull * 1024 * 1024)), {}, DownloadOutcome::BadLength, {}},
        {"LengthFourGiB", WithLength(u"4294967296"), {}, DownloadOutcome::BadLength, {}},
        {"LengthBeyondSixtyFourBits", WithLength(u"99999999999999999999999"), {}, DownloadOutcome::BadLength, {}},
        {"NoHeaderText", ScriptedResponse{u"", 200, Bytes(10), {}}, {}, DownloadOutcome::NoHeaderLines, {}},
        {"OnlyLineBreaksInTheHeaders", ScriptedResponse{u"\r\n\r\n", 200, Bytes(10), {}}, {},
         DownloadOutcome::NoHeaderLines, {}},
        {"ShortBodyThenClose", WithLength(u"1000", 600), {}, DownloadOutcome::ConnectionEnded, {60}},
        {"ShortBodyInPiecesThenClose", Response({u"Content-Length: 1000"}, Bytes(600), {400}), {},
         DownloadOutcome::ConnectionEnded, {40, 60}},

        // Every call of the client failing in turn.
        {"OpenFails", ok, {{HttpCall::Open, 0}}, DownloadOutcome::NoSession, {}, 0, {}},
        {"ConnectFails", ok, {{HttpCall::Connect, 0}}, DownloadOutcome::NoConnection, {}, 0, {"session"}},
        {"OpenRequestFails", ok, {{HttpCall::OpenRequest, 0}}, DownloadOutcome::NoRequest, {}, 0,
         {"connection", "session"}},
        {"SendFails", ok, {{HttpCall::Send, 0}}, DownloadOutcome::SendFailed, {}},
        {"ReceiveFails", ok, {{HttpCall::Receive, 0}}, DownloadOutcome::NoResponse, {}},
        {"StatusQueryFails", ok, {{HttpCall::Status, 0}}, DownloadOutcome::NoStatus, {}},
        {"HeaderSizeQueryFails", ok, {{HttpCall::HeaderSize, 0}}, DownloadOutcome::NoHeaders, {}},
        {"HeaderTextQueryFails", ok, {{HttpCall::Headers, 0}}, DownloadOutcome::NoHeaders, {}},
        {"FirstReadFails", ok, {{HttpCall::Read, 0}}, DownloadOutcome::ReadFailed, {}},
        {"SecondReadFails", ok, {{HttpCall::Read, 1}}, DownloadOutcome::ReadFailed, {41}},
        {"TimeLimitsRefused", ok, {{HttpCall::Timeouts, 0}}, DownloadOutcome::NoTimeLimits, {}, 0, {"session"}},
        // A proxy's 407 is not the file either, and has its own words in the log.
        {"ProxyAsksForCredentials", Response({u"Proxy-Authenticate: Basic realm=\"office\"", u"Content-Length: 40"},
                                             Bytes(40), {}, 407),
         {}, DownloadOutcome::ProxyCredentials, {}},
    };
}

class DownloadWorkerTest : public DownloadTest, public ::testing::WithParamInterface<WorkerCase> {};

TEST_P(DownloadWorkerTest, PostsProgressThenOneFinalMessageAndClosesEverything)
{
    const WorkerCase& c = GetParam();
    const std::vector<std::uint8_t> served = c.response.body;
    http.Serve(std::u16string(kPath), c.response);
    for (const auto& [call, occurrence] : c.failures)
        http.FailCall(call, occurrence);
    WatchFirstClose();

    Vantri::ResetDownloadReports();
    // Before the worker has posted, no final message is its own.
    EXPECT_FALSE(Vantri::TakeDownloadMessage(WM_DOWNLOAD_FAILED, DOWNLOAD_TAG_DATABASE, 0));
    EXPECT_FALSE(Vantri::TakeDownloadMessage(WM_DOWNLOAD_DONE, DOWNLOAD_TAG_DATABASE, 4096));
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(kPath, DOWNLOAD_TAG_DATABASE)), c.outcome);

    // The failing call's own code reaches the report and its log line.
    const Vantri::DownloadReport& report = Vantri::DownloadReportOf(DOWNLOAD_TAG_DATABASE);
    const std::uint32_t code = c.failures.empty() ? 0 : kScriptedFailureCode;
    EXPECT_EQ(report.systemCode, code);
    const std::u16string line = Vantri::DownloadLogText(report);
    EXPECT_EQ(line.find(u", system code ") != std::u16string::npos, code != 0);
    if (code != 0) {
        EXPECT_NE(line.find(u", system code " + Number(code) + u", status "), std::u16string::npos);
    }
    if (c.response.status != 200) {
        EXPECT_EQ(report.status, c.response.status);
    }
    for (const RequestRecord& session : http.Sessions()) {
        if (session.limits) {
            EXPECT_EQ(session.limits->resolveMs, Vantri::kDownloadTimeouts.resolveMs);
            EXPECT_EQ(session.limits->receiveMs, Vantri::kDownloadTimeouts.receiveMs);
        }
    }

    Heard heard = Collect();
    EXPECT_EQ(heard.progress, c.progress);
    ASSERT_EQ(heard.finals.size(), 1u);
    EXPECT_TRUE(heard.finalIsLast);
    for (std::uintptr_t tag : heard.tags)
        EXPECT_EQ(tag, DOWNLOAD_TAG_DATABASE);
    // Taken once, and only as posted: not with another body, not as the
    // other outcome, not for the other tag.
    const PostedMessage& final = heard.finals[0];
    const std::uint32_t other = final.message == WM_DOWNLOAD_DONE ? WM_DOWNLOAD_FAILED : WM_DOWNLOAD_DONE;
    EXPECT_FALSE(Vantri::TakeDownloadMessage(WM_DOWNLOAD_DONE, final.wParam, 4096));
    EXPECT_FALSE(Vantri::TakeDownloadMessage(other, final.wParam, 0));
    EXPECT_FALSE(Vantri::TakeDownloadMessage(final.message, DOWNLOAD_TAG_VERSION, final.lParam));
    EXPECT_TRUE(Vantri::TakeDownloadMessage(final.message, final.wParam, final.lParam));
    EXPECT_FALSE(Vantri::TakeDownloadMessage(final.message, final.wParam, final.lParam));
    if (c.outcome == DownloadOutcome::Received) {
        EXPECT_EQ(heard.finals[0].message, WM_DOWNLOAD_DONE);
        ASSERT_NE(heard.body, nullptr);
        ASSERT_EQ(heard.body->size, c.bodySize);
        EXPECT_TRUE(std::equal(served.begin(), served.begin() + static_cast<std::ptrdiff_t>(c.bodySize),
                               heard.body->bytes.get()));
    } else {
        // A failure carries no body, not even a part of one.
        EXPECT_EQ(heard.finals[0], (PostedMessage{WM_DOWNLOAD_FAILED, DOWNLOAD_TAG_DATABASE, 0}));
    }

    for (const RequestRecord& request : http.Requests()) {
        EXPECT_TRUE(request.agent == u"Vantri4 Flash/1.0");
        EXPECT_TRUE(request.host == Vantri::kUpdateHost);
        EXPECT_EQ(request.port, 80);
        EXPECT_TRUE(request.verb == u"GET");
        EXPECT_TRUE(request.path == kPath);
    }
    EXPECT_EQ(http.Closed(), c.closed);
    EXPECT_EQ(http.OpenHandles(), 0u);
    EXPECT_EQ(http.BadCloses(), 0u);
    if (!c.closed.empty()) {
        EXPECT_EQ(finalPostedAtFirstClose, true) << "the final message goes out before the clean-up";
    }
}

INSTANTIATE_TEST_SUITE_P(Responses, DownloadWorkerTest, ::testing::ValuesIn(WorkerCases()),
                         [](const auto& info) { return info.param.name; });

TEST_F(DownloadTest, EachReadAsksForExactlyWhatRemains)
{
    http.Serve(std::u16string(kPath), OkResponse(Bytes(10000), {4096, 1000, 4904}));
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(kPath, 0)), DownloadOutcome::Received);
    EXPECT_EQ(http.ReadRequests(), (std::vector<std::uint32_t>{10000, 5904, 4904}));
    Collect();
}

TEST_F(DownloadTest, ABodyTheMachineCannotHoldFailsTheDownload)
{
#ifndef VANTRI_TEST_ASAN
    GTEST_SKIP() << "needs the sanitizer build's allocation limit";
#else
    http.Serve(std::u16string(kPath), WithLength(Number(200ull * 1024 * 1024)));
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(kPath, 1)), DownloadOutcome::NoMemory);
    EXPECT_EQ(http.Calls(HttpCall::Read), 0u);
    const Heard heard = Collect();
    EXPECT_EQ(heard.finals, (std::vector<PostedMessage>{{WM_DOWNLOAD_FAILED, 1, 0}}));
#endif
}

// With the window gone nobody will take the body: the worker releases it
// (LeakSanitizer fails this test otherwise), and a failure has none.
TEST_F(DownloadTest, AWindowAlreadyGoneLeavesNothingBehind)
{
    http.Serve(std::u16string(kPath), OkResponse(Bytes(5000), {1000}));
    window.DestroyWindow(window.MainWindow());
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(kPath, 1)), DownloadOutcome::Received);
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(u"/missing", 1)), DownloadOutcome::BadStatus);
    EXPECT_TRUE(window.Pending().empty());
    EXPECT_EQ(http.OpenHandles(), 0u);
}

// ---------------------------------------------------------------------------
// The proxy: what the system says of the user's and the machine's settings,
// and the way the request then goes.

struct ProxyCase {
    std::string name;
    std::optional<Vantri::UserProxySettings> user; // nullopt: cannot be had
    std::vector<std::pair<std::u16string, Vantri::ProxyList>> answers; // "" for auto-detection
    Vantri::ProxyList machine;
    bool automaticRefused;
    Vantri::HttpAccess access;
    std::u16string proxy;
    Vantri::ProxySource source;
    std::vector<std::u16string> detections; // asked for, in order
    std::u16string logged;                  // the log line's end
};

std::ostream& operator<<(std::ostream& out, const ProxyCase& c)
{
    return out << c.name;
}

constexpr std::u16string_view kScript = u"http://config.example/proxy.pac";

Vantri::UserProxySettings Fixed(std::u16string proxy, std::u16string bypass = {})
{
    return {false, {}, std::move(proxy), std::move(bypass)};
}

Vantri::UserProxySettings Detecting(bool autoDetect, std::u16string script, std::u16string proxy = {})
{
    return {autoDetect, std::move(script), std::move(proxy), {}};
}

std::vector<ProxyCase> ProxyCases()
{
    using Vantri::HttpAccess;
    using Vantri::ProxySource;
    const std::u16string host(Vantri::kUpdateHost);
    const std::u16string script(kScript);
    const std::u16string upper = [&] {
        std::u16string text = host;
        for (char16_t& ch : text)
            ch = ch >= u'a' && ch <= u'z' ? static_cast<char16_t>(ch - 32) : ch;
        return text;
    }();
    return {
        {"NothingSetIsTheSystemsChoice", Vantri::UserProxySettings{}, {}, {}, false, HttpAccess::Automatic, u"",
         ProxySource::Automatic, {}, u"proxy automatic (the system's choice)"},
        {"BeforeWindows81NothingSetIsDirect", Vantri::UserProxySettings{}, {}, {}, true, HttpAccess::Direct, u"",
         ProxySource::AutomaticRefused, {}, u"proxy direct (no automatic choice here)"},
        {"TheUsersFixedProxy", Fixed(u"127.0.0.1:3128"), {}, {u"machine:80", {}}, false, HttpAccess::Named,
         u"127.0.0.1:3128", ProxySource::UserFixed, {}, u"proxy 127.0.0.1:3128 (the user's proxy)"},
        {"TheHttpEntryOfAListPerScheme", Fixed(u"https=secure:443; http=http://plain:8080 ftp=f:21"), {}, {}, false,
         HttpAccess::Named, u"plain:8080", ProxySource::UserFixed, {}, u"proxy plain:8080 (the user's proxy)"},
        {"AListWithoutHttpSendsHttpDirect", Fixed(u"https=secure:443"), {}, {u"machine:80", {}}, false,
         HttpAccess::Direct, u"", ProxySource::UserFixed, {}, u"proxy direct (the user's proxy)"},
        {"AnExceptionNamesTheHost", Fixed(u"p:1", u"intranet;" + upper + u":80"), {}, {}, false, HttpAccess::Direct,
         u"", ProxySource::UserBypass, {}, u"proxy direct (an exception of the user's proxy)"},
        {"AWildcardException", Fixed(u"p:1", u"*" + host.substr(host.find(u'.')) + u", 10.*"), {}, {}, false,
         HttpAccess::Direct, u"", ProxySource::UserBypass, {}, u"proxy direct (an exception of the user's proxy)"},
        {"AnExceptionForAnotherPortKeepsTheProxy", Fixed(u"p:1", u"<local>;http://" + host + u":8080"), {}, {},
         false, HttpAccess::Named, u"p:1", ProxySource::UserFixed, {}, u"proxy p:1 (the user's proxy)"},
        {"AutoDetection", Detecting(true, u"", u"fixed:1"), {{u"", {u"wpad:8080", {}}}}, {}, false,
         HttpAccess::Named, u"wpad:8080", ProxySource::UserDetected, {u""},
         u"proxy wpad:8080 (the user's auto-detection or setup script)"},
        {"TheSetupScriptsFirstProxy", Detecting(false, script), {{script, {u"pac:3128;backup:3128", {}}}}, {}, false,
         HttpAccess::Named, u"pac:3128", ProxySource::UserDetected, {script},
         u"proxy pac:3128 (the user's auto-detection or setup script)"},
        {"AutoDetectionFailsThenTheScript", Detecting(true, script), {{script, {u"pac:3128", {}}}}, {}, false,
         HttpAccess::Named, u"pac:3128", ProxySource::UserDetected, {u"", script},
         u"proxy pac:3128 (the user's auto-detection or setup script)"},
        {"TheScriptSaysDirect", Detecting(false, script, u"fixed:1"), {{script, {}}}, {u"machine:80", {}}, false,
         HttpAccess::Direct, u"", ProxySource::UserDetected, {script},
         u"proxy direct (the user's auto-detection or setup script)"},
        {"DetectionFailsThenTheFixedProxy", Detecting(true, u"", u"fixed:1"), {}, {}, false, HttpAccess::Named,
         u"fixed:1", ProxySource::UserFixed, {u""}, u"proxy fixed:1 (the user's proxy)"},
        // Wine's road for http_proxy: it reports auto-detection on, which finds nothing.
        {"DetectionFailsThenTheMachineWideSetting", Detecting(true, u""), {}, {u"127.0.0.1:8000", {}}, false,
         HttpAccess::Named, u"127.0.0.1:8000", ProxySource::MachineWide, {u""},
         u"proxy 127.0.0.1:8000 (the machine-wide setting)"},
        {"DetectionFailsThenDirectOnce", Detecting(true, script), {}, {}, false, HttpAccess::Direct, u"",
         ProxySource::DetectionFailed, {u"", script}, u"proxy direct (detection failed, code 12180)"},
        {"UserSettingsUnreadableThenTheMachineWideSetting", std::nullopt, {}, {u"m:80", u"<local>"}, false,
         HttpAccess::Named, u"m:80", ProxySource::MachineWide, {}, u"proxy m:80 (the machine-wide setting)"},
        {"AMachineWideExceptionLeavesTheSystemsChoice", Vantri::UserProxySettings{}, {}, {u"m:80", u"*"}, false,
         HttpAccess::Automatic, u"", ProxySource::Automatic, {}, u"proxy automatic (the system's choice)"},
    };
}

class ProxyRouteTest : public DownloadTest, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(ProxyRouteTest, TheRequestGoesTheWayTheSettingsSay)
{
    const ProxyCase& c = GetParam();
    http.Serve(std::u16string(kPath), OkResponse(Bytes(100)));
    http.SetUserProxy(c.user);
    for (const auto& [script, answer] : c.answers)
        http.AnswerDetection(script, answer);
    http.SetMachineProxy(c.machine);
    if (c.automaticRefused)
        http.RefuseAutomatic();

    Vantri::ResetDownloadReports();
    EXPECT_EQ(Vantri::PerformDownload(NewRequest(kPath, DOWNLOAD_TAG_VERSION)), DownloadOutcome::Received);

    EXPECT_EQ(http.Detections(), c.detections);
    const std::vector<RequestRecord> sessions = http.Sessions();
    // A detection has a direct session of its own, within the same limits.
    ASSERT_EQ(sessions.size(), c.detections.empty() ? 1u : 2u);
    for (const RequestRecord& session : sessions) {
        ASSERT_TRUE(session.limits.has_value()) << "a session without limits";
        EXPECT_EQ(session.limits->connectMs, Vantri::kDownloadTimeouts.connectMs);
        EXPECT_EQ(session.limits->sendMs, Vantri::kDownloadTimeouts.sendMs);
    }
    if (!c.detections.empty()) {
        EXPECT_EQ(sessions.front().access, Vantri::HttpAccess::Direct);
    }
    ASSERT_EQ(http.Requests().size(), 1u);
    const RequestRecord request = http.Requests()[0];
    EXPECT_EQ(request.access, c.access);
    EXPECT_TRUE(request.proxy == c.proxy);
    const Vantri::DownloadReport& report = Vantri::DownloadReportOf(DOWNLOAD_TAG_VERSION);
    EXPECT_EQ(report.route.source, c.source);
    const std::u16string line = Vantri::DownloadLogText(report);
    ASSERT_GE(line.size(), c.logged.size());
    EXPECT_TRUE(line.substr(line.size() - c.logged.size()) == c.logged);
    EXPECT_EQ(http.OpenHandles(), 0u);
    Collect();
}

INSTANTIATE_TEST_SUITE_P(Settings, ProxyRouteTest, ::testing::ValuesIn(ProxyCases()),
                         [](const auto& info) { return info.param.name; });

// A detection that cannot even begin counts as a failed one; a refused
// connection's code is WinHTTP's own, and both reach the log line.
TEST_F(DownloadTest, ADetectionSessionRefusedThenARefusedConnectionAreBothLogged)
{
    http.SetUserProxy(Detecting(true, u""));
    http.FailCall(HttpCall::Open, 0, 12345);
    http.FailCall(HttpCall::Send, 0, 12029);
    Vantri::StartDownload(kPath, DOWNLOAD_TAG_DATABASE);
    window.JoinWorkers();
    EXPECT_TRUE(http.Detections().empty());
    const std::u16string line = Vantri::DownloadLogText(Vantri::DownloadReportOf(DOWNLOAD_TAG_DATABASE));
    const std::u16string expected = u"download http://" + std::u16string(Vantri::kUpdateHost) + std::u16string(kPath) +
                                    u": the request could not be sent, system code 12029, status 0, "
                                    u"Content-Length 0, received 0 bytes, proxy direct (detection failed, code 12345)";
    EXPECT_TRUE(line == expected) << std::string(line.begin(), line.end());
    Collect();
}

// ---------------------------------------------------------------------------
// Starting a download.

TEST_F(DownloadTest, StartDownloadQueuesAnUncountedWorkerForTheUpdateHost)
{
    http.Serve(Vantri::kVersionFilePath, OkResponse(Bytes(64)));
    std::optional<std::uint32_t> runningAtClose;
    http.OnClose([&](const std::string&) { runningAtClose = Vantri::RunningWorkers(); });

    Vantri::StartDownload(Vantri::kVersionFilePath, DOWNLOAD_TAG_VERSION);
    window.JoinWorkers();

    EXPECT_EQ(window.QueuedContexts().size(), 1u);
    ASSERT_EQ(http.Requests().size(), 1u);
    EXPECT_TRUE(http.Requests()[0].host == Vantri::kUpdateHost);
    EXPECT_TRUE(http.Requests()[0].path == u"/Manager/VersionV4V");
    // Cutting a download short harms nothing: the program never waits for one.
    EXPECT_EQ(runningAtClose, 0u);
    const Heard heard = Collect();
    ASSERT_EQ(heard.finals.size(), 1u);
    EXPECT_EQ(heard.finals[0].message, WM_DOWNLOAD_DONE);
    EXPECT_EQ(heard.finals[0].wParam, DOWNLOAD_TAG_VERSION);
    EXPECT_EQ(heard.body->size, 64u);
}

TEST_F(DownloadTest, AWorkItemTheSystemRefusesBecomesThatDownloadsFailure)
{
    window.RefuseQueueCall(0);
    Vantri::StartDownload(Vantri::kVersionFilePath, DOWNLOAD_TAG_DATABASE);
    EXPECT_EQ(window.Pending(), (std::vector<PostedMessage>{{WM_DOWNLOAD_FAILED, DOWNLOAD_TAG_DATABASE, 0}}));
    EXPECT_TRUE(http.Requests().empty());
}

TEST_F(DownloadTest, APathOf259CharactersIsRequestedWholeAnd260Fail)
{
    const std::u16string longest = u"/" + std::u16string(258, u'a');
    http.Serve(longest, OkResponse(Bytes(8)));
    Vantri::StartDownload(longest, 1);
    window.JoinWorkers();
    ASSERT_EQ(http.Requests().size(), 1u);
    EXPECT_TRUE(http.Requests()[0].path == longest);

    Vantri::StartDownload(longest + u"b", 1);
    window.JoinWorkers();
    EXPECT_EQ(http.Requests().size(), 1u);
    const Heard heard = Collect();
    ASSERT_EQ(heard.finals.size(), 2u);
    EXPECT_EQ(heard.finals[0].message, WM_DOWNLOAD_DONE);
    EXPECT_EQ(heard.finals[1], (PostedMessage{WM_DOWNLOAD_FAILED, 1, 0}));
}

// ---------------------------------------------------------------------------
// The header parser.

struct HeaderCase {
    std::string name;
    std::u16string text;
    std::optional<std::int64_t> length;
};

std::ostream& operator<<(std::ostream& out, const HeaderCase& c)
{
    return out << c.name;
}

class ContentLengthTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ContentLengthTest, ReadsTheAnnouncedLength)
{
    const HeaderCase& c = GetParam();
    // Exactly the text's size: a read one unit past it trips ASan.
    const std::unique_ptr<char16_t[]> exact(new char16_t[c.text.size() + 1]);
    std::copy(c.text.begin(), c.text.end(), exact.get());
    EXPECT_EQ(Vantri::ContentLength({exact.get(), c.text.size()}), c.length);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ContentLengthTest,
    ::testing::Values(
        HeaderCase{"Plain", u"HTTP/1.1 200 OK\r\nContent-Length: 4711\r\nServer: x\r\n\r\n", 4711},
        HeaderCase{"TwoLinesTheLaterWins", u"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Length: 20\r\n\r\n",
                   20},
        HeaderCase{"ALaterLineWithoutTheNameKeepsTheValue", u"Content-Length: 10\r\nServer: 20\r\n", 10},
        HeaderCase{"ALaterLineWithoutDigitsMakesItZero", u"Content-Length: 10\r\nContent-Length: none\r\n", 0},
        HeaderCase{"NoSpaceAfterTheColon", u"HTTP/1.1 200 OK\r\nContent-Length:123\r\n", 23},
        HeaderCase{"NameInTheMiddleOfALine", u"HTTP/1.1 200 OK\r\nX-Note: Content-Length: 77 bytes\r\n", 77},
        HeaderCase{"OnlyTheFirstOccurrenceInALine", u"Content-Length: 5 Content-Length: 6\r\n", 5},
        HeaderCase{"ExactCaseOnly", u"content-length: 5\r\nCONTENT-LENGTH: 6\r\n", 0},
        HeaderCase{"NoLengthAtAll", u"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 0},
        HeaderCase{"NoLineAtAll", u"", std::nullopt},
        HeaderCase{"OnlyLineBreaks", u"\r\n\r\n\n\r", std::nullopt},
        HeaderCase{"RunsOfBreaksMakeNoEmptyLine", u"\r\r\n\nContent-Length: 3\n\n\r", 3},
        HeaderCase{"WhiteSpaceThenSignAndDigits", u"Content-Length: \t +42abc", 42},
        HeaderCase{"Negative", u"Content-Length: -17", -17},
        HeaderCase{"SignWithoutDigits", u"Content-Length: -", 0},
        HeaderCase{"FourGiB", u"Content-Length: 4294967296", 4294967296},
        HeaderCase{"BeyondSixtyFourBitsSaturates", u"Content-Length: 123456789012345678901234567890", INT64_MAX},
        // The occurrence's 17th character lies past the line, or past the
        // whole text: nothing there is read.
        HeaderCase{"NameAtTheEndOfTheText", u"HTTP/1.1 200 OK\r\nX: Content-Length", 0},
        HeaderCase{"NameAtTheEndOfALineDigitsOnTheNext", u"X: Content-Length\r\n12345\r\n", 0},
        HeaderCase{"NameAndColonOnly", u"Content-Length:", 0},
        HeaderCase{"SeventeenthCharacterIsTheLast", u"Content-Length: 9", 9}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The locating step: the version file's first line names the database.

struct LocateCase {
    std::string name;
    std::string versionFile;
    std::optional<std::u16string> path; // nullopt: no second download
};

std::ostream& operator<<(std::ostream& out, const LocateCase& c)
{
    return out << c.name;
}

std::string Host()
{
    const std::u16string_view host = Vantri::kUpdateHost;
    return {host.begin(), host.end()};
}

class LocateDatabaseTest : public DownloadTest, public ::testing::WithParamInterface<LocateCase> {};

TEST_P(LocateDatabaseTest, StartsTheDatabaseDownloadAtThePathAfterTheHost)
{
    const LocateCase& c = GetParam();
    if (c.path)
        http.Serve(*c.path, OkResponse(Bytes(16)));
    std::vector<std::uint8_t> file(c.versionFile.begin(), c.versionFile.end());

    EXPECT_EQ(Vantri::LocateDatabase(NewBody(file)), c.path.has_value());
    window.JoinWorkers();

    const Heard heard = Collect();
    if (!c.path) {
        // No second request, nothing queued, nothing posted: the caller
        // shows the download failure itself.
        EXPECT_TRUE(window.QueuedContexts().empty());
        EXPECT_TRUE(http.Requests().empty());
        EXPECT_TRUE(heard.finals.empty());
        return;
    }
    ASSERT_EQ(http.Requests().size(), 1u);
    EXPECT_TRUE(http.Requests()[0].host == Vantri::kUpdateHost);
    EXPECT_TRUE(http.Requests()[0].path == *c.path);
    ASSERT_EQ(heard.finals.size(), 1u);
    EXPECT_EQ(heard.finals[0].message, WM_DOWNLOAD_DONE);
    EXPECT_EQ(heard.finals[0].wParam, DOWNLOAD_TAG_DATABASE);
}

INSTANTIATE_TEST_SUITE_P(
    VersionFiles, LocateDatabaseTest,
    ::testing::Values(
        LocateCase{"PathAfterTheHost", Host() + "/db/Games.vdb\nsecond line\n", u"/db/Games.vdb"},
        LocateCase{"NoLineFeedAtAll", Host() + "/db/Games.vdb", u"/db/Games.vdb"},
        LocateCase{"CrLfKeepsTheCrInThePath", Host() + "/db/Games.vdb\r\n", u"/db/Games.vdb\r"},
        LocateCase{"LeadingEmptyLinesAreSkipped", "\n\n\n" + Host() + "/v2/db\n", u"/v2/db"},
        LocateCase{"SchemeBeforeTheHostIsIgnored", "http://" + Host() + "/Manager/db\n", u"/Manager/db"},
        LocateCase{"AnyTextBeforeTheHostIsIgnored", "mirror at " + Host() + "/x\n", u"/x"},
        LocateCase{"TheFirstOccurrenceOfTheHostCounts", Host() + "/" + Host() + "/y\n", u"/" + [] {
            const std::u16string_view host = Vantri::kUpdateHost;
            return std::u16string(host);
        }() + u"/y"},
        LocateCase{"ALineOf259CharactersFits", Host() + "/" + std::string(258 - Host().size(), 'p') + "\n",
                   u"/" + std::u16string(258 - Host().size(), u'p')},
        // The first line names no database.
        LocateCase{"EmptyFile", "", std::nullopt},
        LocateCase{"OnlyLineFeeds", "\n\n\n", std::nullopt},
        LocateCase{"CrLfOnlyFirstLine", "\r\n" + Host() + "/db\n", std::nullopt},
        LocateCase{"NoHostName", "http://other.example/db/Games.vdb\n", std::nullopt},
        LocateCase{"HostOnlyOnTheSecondLine", "see below\n" + Host() + "/db\n", std::nullopt},
        LocateCase{"ALineOf260CharactersDoesNotFit", Host() + "/" + std::string(259 - Host().size(), 'p') + "\n",
                   std::nullopt},
        LocateCase{"ANullEndsTheLineBeforeTheHost", std::string("x\0", 2) + Host() + "/db\n", std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST_F(DownloadTest, AVersionFileThatCannotBeWidenedStartsNothing)
{
    http.FailCall(HttpCall::Widen);
    const std::string file = Host() + "/db\n";
    EXPECT_FALSE(Vantri::LocateDatabase(NewBody({file.begin(), file.end()})));
    EXPECT_FALSE(Vantri::LocateDatabase(nullptr));
    EXPECT_TRUE(window.QueuedContexts().empty());
}

} // namespace
} // namespace VantriTest

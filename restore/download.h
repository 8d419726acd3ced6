// Fetching the version file and the games database from the update host:
// one HTTP GET per work item, reported to the window by posted messages
// (WM_DOWNLOAD_PROGRESS, then exactly one WM_DOWNLOAD_DONE or
// WM_DOWNLOAD_FAILED, restore/download_messages.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "restore/download_body.h"
#include "restore/download_messages.h"
#include "restore/http_platform.h"
#include "restore/proxy.h"

namespace Vantri {

inline constexpr std::size_t kDownloadTextCapacity = 260; // terminator included

inline constexpr char16_t kVersionFilePath[] = u"/Manager/VersionV4V";
inline constexpr char16_t kDownloadAgent[] = u"Vantri4 Flash/1.0";
inline constexpr std::uint16_t kUpdatePort = 80;

// Every session's limits, the detection's too. Name resolution has none by
// default. 30 s without data is the system's own default and ends a
// stalled download as before.
inline constexpr HttpTimeouts kDownloadTimeouts{10'000, 10'000, 30'000, 30'000};

// A proxy's answer when it wants credentials first.
inline constexpr std::uint32_t kProxyAuthenticationRequired = 407;

// A body above this is refused before anything is allocated.
inline constexpr std::int64_t kMaxBodySize = 256ll * 1024 * 1024;

// A window as the system names it (an HWND on Windows).
using DownloadWindow = void*;
using DownloadWorkProc = std::uint32_t (*)(std::uintptr_t context);

// What a download needs of the program around it. Until the program binds
// it, there is no window and nothing is posted or queued.
struct DownloadLink {
    DownloadWindow (*MainWindow)();
    // False once `window` is gone. Any thread; never blocks.
    bool (*PostToWindow)(DownloadWindow window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    // On the system thread pool; false when refused.
    bool (*QueueWorkItem)(DownloadWorkProc proc, std::uintptr_t context);
};

// Bound before any download starts; the table must outlive the program.
void BindDownloadLink(const DownloadLink& link);
const DownloadLink& BoundDownloadLink();

// One per download: made by StartDownload, owned and released by the worker.
struct DownloadRequest {
    char16_t host[kDownloadTextCapacity];
    char16_t path[kDownloadTextCapacity];
    std::uint32_t tag;
    DownloadWindow window;
};

// Main thread. Queues the download of `path` (at most 259 characters) from
// the update host for the main window, or posts its failure at once.
void StartDownload(std::u16string_view path, std::uint32_t tag);

// Pool thread: performs the download, posts its messages, releases the
// request. Returns 0.
std::uint32_t DownloadWorker(DownloadRequest* request);

// Main thread, on WM_DOWNLOAD_DONE for DOWNLOAD_TAG_VERSION: releases the
// body and starts the database download at the path its first line names.
// False, with nothing started, when that line is empty, longer than 259
// characters or does not name the update host.
bool LocateDatabase(DownloadBody* versionBody);

// Main thread, on WM_DOWNLOAD_DONE or WM_DOWNLOAD_FAILED: true once, and
// only when the download of that tag posted this very message, a done one
// with the very body it handed over. Anything else (any program may post to
// the window) is to be ignored: its lParam is nobody's to read or free.
bool TakeDownloadMessage(std::uint32_t message, std::uintptr_t tag, std::intptr_t lParam);

// --- The worker's steps, apart from the I/O, for tests and benchmarks ---

// Why a download failed; Received when it did not.
enum class DownloadOutcome {
    Received,
    NoSession,         // Open
    NoTimeLimits,      // SetTimeouts
    NoConnection,      // Connect
    NoRequest,         // OpenRequest
    SendFailed,        // SendRequest
    NoResponse,        // ReceiveResponse
    NoStatus,          // the status code could not be had
    ProxyCredentials,  // the proxy asks for credentials (407)
    BadStatus,         // another status other than 200
    NoHeaders,         // the header text could not be had or held
    NoHeaderLines,     // the header text holds no line
    BadLength,         // Content-Length missing, not positive, or above kMaxBodySize
    NoMemory,          // the body could not be allocated
    ReadFailed,        // ReadData
    ConnectionEnded,   // a read gave 0 bytes before Content-Length was reached
    NotStarted,        // the work item could not be made or queued
};

// What one download came to, for the diagnostics log. StartDownload writes
// the address, the worker the rest before its final post; the main thread
// reads it once that post has arrived. Never any of the body's bytes.
struct DownloadReport {
    char16_t host[kDownloadTextCapacity];
    char16_t path[kDownloadTextCapacity];
    DownloadOutcome outcome = DownloadOutcome::Received;
    std::uint32_t status = 0;    // the HTTP status, 0 when none was had
    std::int64_t announced = 0;  // Content-Length, 0 when none was had
    std::uint64_t received = 0;  // bytes of a body received whole
    std::uint32_t systemCode = 0; // the system's code of the failing call, 0 when none
    ProxyRoute route;            // the way the request went
};

// The report as its log line's text: the address, the outcome with the
// system's code, status, lengths, and the proxy with where it was found.
std::u16string DownloadLogText(const DownloadReport& report);

// The report of the download with `tag` (the version file or the database);
// an empty one for any other tag.
const DownloadReport& DownloadReportOf(std::uint32_t tag);
const char* DownloadOutcomeName(DownloadOutcome outcome);
// Also forgets the final messages of the last run's downloads.
void ResetDownloadReports();

// DownloadWorker's whole work, through g_httpPlatform, telling why it failed.
DownloadOutcome PerformDownload(DownloadRequest* request);

// The length the response's raw header text announces, by the worker's
// rules: lines split at runs of CR and LF; in each line the first
// "Content-Length" (exact case), its number read from the 17th character of
// the occurrence on as a standard decimal conversion does, 0 without digits;
// a later line replaces an earlier one. Nullopt when the text holds no line.
// Reads nothing outside `headers`; a value beyond 64 bits saturates.
std::optional<std::int64_t> ContentLength(std::u16string_view headers);

// Reads `body.size` bytes into `body` through `request`, posting a progress
// message with `tag` to `window` after every read; a failing read's system
// code goes to *systemCode when given.
DownloadOutcome ReceiveBody(const HttpPlatform& http, HttpHandle request, std::uint32_t tag, DownloadWindow window,
                            DownloadBody& body, std::uint32_t* systemCode = nullptr);

// The version file's first line: LF bytes at its start skipped, then up to
// the next LF or the end. A CR before the LF stays in the line.
std::span<const std::uint8_t> FirstLine(std::span<const std::uint8_t> versionFile);

// The text after the first occurrence of the update host's name in `line`;
// nullopt when the name does not occur.
std::optional<std::u16string_view> PathAfterHost(std::u16string_view line);

} // namespace Vantri

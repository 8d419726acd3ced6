// The HID stack's own floor for a flash: per adapter, on a thread of its
// own, the reports a firmware update writes, each followed by the read of its
// answer, and nothing else (no search, no progress, no log, no workers'
// bookkeeping). The transfers are made as the program makes them: a handle
// opened for overlapped I/O, one event per thread, a write and its wait, then
// a read and its wait. A test tool for the benchmarks; it is never shipped.
//
//   vantri_bare_hid_loop.exe --firmware FILE [--info] PATH...
//
// --info: before the image, the two information requests (command 21, pages
// 2 and 3) to the first adapter, as an update asks them of the first one to
// apply its version rule to all.
// On stdout one JSON line: adapters, the image's exchanges per adapter, the loop's own
// time (from the first thread's start to the last one's end, QPC) and how
// many adapters failed. Exit code 0 when every answer was the positive echo.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/command_frame.h"
#include "protocol/exchange.h"
#include "protocol/flashing.h"

namespace {

using Vantri::CommandFrame;

// One limit for every transfer, the longest the program gives an answer (a
// begin or an end): the loop only has to end on a device that is gone.
constexpr DWORD kAnswerLimitMs = 60000;
constexpr DWORD kReportBytes = Vantri::kFrameSize + 1;

struct Adapter {
    std::wstring path;
    const std::vector<CommandFrame>* frames = nullptr;
    DWORD failedAt = 0;  // 1-based number of the exchange that failed, 0 for none
    DWORD error = 0;
};

// One transfer of one report, waited for; 0 or the system's error.
DWORD Transfer(HANDLE device, HANDLE done, bool write, std::uint8_t* report)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = done;
    const BOOL finished = write ? WriteFile(device, report, kReportBytes, nullptr, &overlapped)
                                : ReadFile(device, report, kReportBytes, nullptr, &overlapped);
    if (!finished) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
            return error;
        if (WaitForSingleObject(done, kAnswerLimitMs) != WAIT_OBJECT_0) {
            CancelIoEx(device, &overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(device, &overlapped, &ignored, TRUE);
            return ERROR_TIMEOUT;
        }
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(device, &overlapped, &moved, FALSE))
        return GetLastError();
    return moved == kReportBytes ? 0 : ERROR_INVALID_DATA;
}

DWORD WINAPI RunAdapter(void* argument)
{
    Adapter& adapter = *static_cast<Adapter*>(argument);
    const HANDLE device = CreateFileW(adapter.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        adapter.failedAt = 1;
        adapter.error = GetLastError();
        return 0;
    }
    const HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t report[kReportBytes];
    DWORD number = 0;
    for (const CommandFrame& frame : *adapter.frames) {
        ++number;
        report[0] = 0;
        std::memcpy(report + 1, &frame, sizeof frame);
        DWORD error = Transfer(device, done, true, report);
        if (error == 0)
            error = Transfer(device, done, false, report);
        if (error == 0 && report[1] != (frame.command | Vantri::kAcknowledgeBit))
            error = ERROR_INVALID_DATA;
        if (error != 0) {
            adapter.failedAt = number;
            adapter.error = error;
            break;
        }
    }
    CloseHandle(done);
    CloseHandle(device);
    return 0;
}

bool ReadFirmware(const wchar_t* path, std::vector<std::uint8_t>& image)
{
    std::ifstream in(path, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

// What an update writes to one adapter, frame for frame.
std::vector<CommandFrame> UpdateFrames(const std::vector<std::uint8_t>& image, bool info)
{
    std::vector<CommandFrame> frames;
    if (info) {
        frames.push_back(Vantri::EncodeRequest(21, 0, 2));
        frames.push_back(Vantri::EncodeRequest(21, 0, 3));
    }
    frames.push_back(Vantri::EncodeCommand(Vantri::kImageBeginCommand, 0, nullptr, 0));
    std::uint16_t counter = 1;
    for (std::size_t sent = 0; sent < image.size(); sent += Vantri::kFrameDataSize) {
        const auto piece = static_cast<std::uint8_t>(std::min<std::size_t>(Vantri::kFrameDataSize, image.size() - sent));
        frames.push_back(Vantri::EncodeCommand(Vantri::kImageDataCommand, counter++, image.data() + sent, piece));
    }
    frames.push_back(Vantri::EncodeCommand(Vantri::kImageEndCommand, counter, nullptr, 0));
    return frames;
}

int Usage()
{
    std::fputs("usage: vantri_bare_hid_loop.exe --firmware FILE [--info] PATH...\n", stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* firmware = nullptr;
    bool info = false;
    std::vector<Adapter> adapters;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--firmware") == 0 && i + 1 < argc)
            firmware = argv[++i];
        else if (std::wcscmp(argv[i], L"--info") == 0)
            info = true;
        else if (argv[i][0] == L'-')
            return Usage();
        else
            adapters.push_back({argv[i]});
    }
    std::vector<std::uint8_t> image;
    if (!firmware || adapters.empty())
        return Usage();
    if (!ReadFirmware(firmware, image) || image.empty() || image.size() > Vantri::kMaxFirmwareSize) {
        std::fprintf(stderr, "vantri_bare_hid_loop: no usable image in %ls\n", firmware);
        return 2;
    }
    const std::vector<CommandFrame> first = UpdateFrames(image, info);
    const std::vector<CommandFrame> others = UpdateFrames(image, false);

    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    std::vector<HANDLE> threads;
    QueryPerformanceCounter(&started);
    for (Adapter& adapter : adapters) {
        adapter.frames = threads.empty() ? &first : &others;
        const HANDLE thread = CreateThread(nullptr, 0, RunAdapter, &adapter, 0, nullptr);
        if (!thread) {
            std::fprintf(stderr, "vantri_bare_hid_loop: CreateThread failed (error %lu)\n", GetLastError());
            return 1;
        }
        threads.push_back(thread);
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    QueryPerformanceCounter(&ended);

    int failed = 0;
    for (std::size_t n = 0; n < adapters.size(); ++n) {
        if (adapters[n].failedAt != 0) {
            ++failed;
            std::fprintf(stderr, "vantri_bare_hid_loop: adapter %zu (%ls): exchange %lu of %zu failed with %lu\n", n,
                         adapters[n].path.c_str(), adapters[n].failedAt, adapters[n].frames->size(), adapters[n].error);
        }
    }
    const double loopUs = static_cast<double>(ended.QuadPart - started.QuadPart) * 1e6 /
                          static_cast<double>(frequency.QuadPart);
    std::printf("{\"adapters\":%zu,\"exchanges\":%zu,\"loop_us\":%.0f,\"failed\":%d}\n", adapters.size(),
                others.size(), loopUs, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

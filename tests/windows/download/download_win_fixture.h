// What the Windows-side download tests share: a hidden window of the test
// thread as the main window, the program's Win32 platform bound to it, and
// a listener for what one download posts. The program defines g_instance
// and g_mainWindow.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "app/program_win.h"
#include "engine/window_messages.h"
#include "restore/download.h"

#include <gtest/gtest.h>

using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::seconds kLimit{30};

// What one download posted, in order.
struct Heard {
    std::vector<LPARAM> progress;
    UINT final = 0; // 0: none within the limit
    WPARAM finalTag = 0;
    std::unique_ptr<Vantri::DownloadBody> body;
    bool somethingAfterFinal = false;
    double seconds = 0;
};

// A hidden window of the test thread as the main window, and the program's
// Win32 platform bound to it.
class DownloadWinTest : public ::testing::Test {
protected:
    DownloadWinTest()
    {
        g_instance = GetModuleHandleW(nullptr);
        g_mainWindow = CreateWindowExW(0, L"STATIC", L"download test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       g_instance, nullptr);
        Vantri::BindPlatform(Vantri::WindowsPlatform());
    }
    ~DownloadWinTest() override
    {
        DestroyWindow(g_mainWindow);
        g_mainWindow = nullptr;
    }

    // Pumps the window's messages until a final message has come and no
    // more arrive for a moment (a second final message would show).
    Heard Listen(std::chrono::milliseconds limit = kLimit)
    {
        Heard heard;
        const auto start = Clock::now();
        auto quietSince = Clock::now();
        for (;;) {
            MSG message;
            if (PeekMessageW(&message, g_mainWindow, 0, 0, PM_REMOVE)) {
                quietSince = Clock::now();
                if (message.message == WM_DOWNLOAD_PROGRESS) {
                    heard.somethingAfterFinal |= heard.final != 0;
                    heard.progress.push_back(message.lParam);
                } else if (message.message == WM_DOWNLOAD_DONE || message.message == WM_DOWNLOAD_FAILED) {
                    heard.somethingAfterFinal |= heard.final != 0;
                    if (heard.final == 0)
                        heard.seconds = std::chrono::duration<double>(Clock::now() - start).count();
                    heard.final = message.message;
                    heard.finalTag = message.wParam;
                    if (message.message == WM_DOWNLOAD_DONE)
                        heard.body.reset(reinterpret_cast<Vantri::DownloadBody*>(message.lParam));
                }
                continue;
            }
            const auto now = Clock::now();
            if ((heard.final != 0 && now - quietSince > std::chrono::milliseconds(200)) || now - start > limit)
                return heard;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        }
    }

    Heard Download(std::u16string_view path, std::uint32_t tag = DOWNLOAD_TAG_DATABASE)
    {
        Vantri::StartDownload(path, tag);
        return Listen();
    }

    static void ExpectProgressRisesTo100(const Heard& heard)
    {
        ASSERT_FALSE(heard.progress.empty());
        EXPECT_TRUE(std::is_sorted(heard.progress.begin(), heard.progress.end())) << "progress moved back";
        EXPECT_EQ(heard.progress.back(), 100);
        EXPECT_GE(heard.progress.front(), 0);
    }

    static void ExpectBody(const Heard& heard, const std::vector<std::uint8_t>& expected)
    {
        ASSERT_EQ(heard.final, WM_DOWNLOAD_DONE);
        ASSERT_NE(heard.body, nullptr);
        ASSERT_EQ(heard.body->size, expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), heard.body->bytes.get())) << "body differs";
    }
};


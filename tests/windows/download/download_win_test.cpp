// The real download worker on the system's WinHTTP (Wine's in CI), against
// the local update host (tests/support/update_host.py) reached through
// http_proxy under the built-in host name: its messages are caught by a
// window of this test, through the program's own Win32 platform.
// run_with_update_host.sh starts the host for each test process with a
// database of kGames games padded to kDatabaseSize bytes.
#include "app/program_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "engine/window_messages.h"
#include "restore/download.h"
#include "restore/http_platform_win.h"
#include "restore/update_host.h"
#include "tests/support/games_database_builder.h"
#include "tests/windows/download/download_win_fixture.h"

// The platform's globals, which the program's entry point owns.
HINSTANCE g_instance;
HWND g_mainWindow;

namespace {

constexpr std::uint32_t kGames = 380;
constexpr std::size_t kDatabaseSize = 16 * 1024 * 1024;

// The database the host serves, built the same way on this side.
const std::vector<std::uint8_t>& Database()
{
    static const std::vector<std::uint8_t> bytes = [] {
        VantriTest::GamesDatabaseBuilder builder(kGames);
        for (std::uint32_t n = 0; n < kGames; ++n)
            builder.SetGame(n, 100 + n);
        std::vector<std::uint8_t> database = builder.Bytes();
        database.resize(kDatabaseSize);
        return database;
    }();
    return bytes;
}

std::vector<std::uint8_t> DatabasePrefix(std::size_t size)
{
    return {Database().begin(), Database().begin() + static_cast<std::ptrdiff_t>(size)};
}

TEST_F(DownloadWinTest, SixteenMebibytesArriveByteForByteWithRisingProgress)
{
    const Heard heard = Download(u"/db/Games.vdb");
    ExpectBody(heard, Database());
    EXPECT_EQ(heard.finalTag, DOWNLOAD_TAG_DATABASE);
    ExpectProgressRisesTo100(heard);
    EXPECT_FALSE(heard.somethingAfterFinal);
    std::printf("16 MiB in %d reads, %.3f s\n", static_cast<int>(heard.progress.size()), heard.seconds);
}

TEST_F(DownloadWinTest, TheVersionFileLeadsToTheDatabase)
{
    Heard version = Download(Vantri::kVersionFilePath, DOWNLOAD_TAG_VERSION);
    ASSERT_EQ(version.final, WM_DOWNLOAD_DONE);
    EXPECT_EQ(version.finalTag, DOWNLOAD_TAG_VERSION);
    ExpectProgressRisesTo100(version);
    ASSERT_NE(version.body, nullptr);
    const std::string text(version.body->bytes.get(), version.body->bytes.get() + version.body->size);
    const std::u16string_view host = Vantri::kUpdateHost;
    EXPECT_EQ(text, std::string(host.begin(), host.end()) + "/db/Games.vdb\n4.00.20160918\n");

    ASSERT_TRUE(Vantri::LocateDatabase(version.body.release()));
    const Heard database = Listen();
    ExpectBody(database, Database());
    EXPECT_EQ(database.finalTag, DOWNLOAD_TAG_DATABASE);
}

// Version files that differ from the plain one, each downloaded and then
// located as the restore does.
struct VersionCase {
    const char* style;
    bool located;
};

void PrintTo(const VersionCase& c, std::ostream* out)
{
    *out << c.style;
}

class VersionStyleTest : public DownloadWinTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionStyleTest, LocatesTheDatabaseOrStartsNothing)
{
    const std::string style = GetParam().style;
    Heard version = Download(u"/version/" + std::u16string(style.begin(), style.end()), DOWNLOAD_TAG_VERSION);
    ASSERT_EQ(version.final, WM_DOWNLOAD_DONE);
    ASSERT_EQ(Vantri::LocateDatabase(version.body.release()), GetParam().located);
    const Heard database = Listen(GetParam().located ? kLimit : std::chrono::seconds(1));
    if (!GetParam().located) {
        EXPECT_EQ(database.final, 0u) << "no second download";
        return;
    }
    ExpectBody(database, Database());
}

INSTANTIATE_TEST_SUITE_P(Styles, VersionStyleTest,
                         ::testing::Values(VersionCase{"empty-lines", true}, VersionCase{"text-before", true},
                                           VersionCase{"no-host", false}),
                         [](const auto& info) {
                             std::string name = info.param.style;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// CR LF endings leave a CR at the end of the path; what the request then
// gets is the server's matter, but it ends in one final message.
TEST_F(DownloadWinTest, ACrLfVersionFileEndsInOneFinalMessage)
{
    Heard version = Download(u"/version/crlf", DOWNLOAD_TAG_VERSION);
    ASSERT_EQ(version.final, WM_DOWNLOAD_DONE);
    ASSERT_TRUE(Vantri::LocateDatabase(version.body.release()));
    const Heard database = Listen();
    EXPECT_NE(database.final, 0u) << "no final message within the limit";
    EXPECT_FALSE(database.somethingAfterFinal);
    std::printf("a path ending in CR ended in %s\n", database.final == WM_DOWNLOAD_DONE ? "DONE" : "FAILED");
}

// The host's misbehaviours, each ending in its final message.
struct MisbehaviourCase {
    const char* mode;
    UINT final;
    std::size_t bodySize; // of the database's first bytes, when done
};

void PrintTo(const MisbehaviourCase& c, std::ostream* out)
{
    *out << c.mode;
}

class MisbehaviourTest : public DownloadWinTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(MisbehaviourTest, EndsInTheRightFinalMessage)
{
    const MisbehaviourCase& c = GetParam();
    const std::string mode = c.mode;
    const Heard heard = Download(u"/misbehave/" + std::u16string(mode.begin(), mode.end()));
    ASSERT_EQ(heard.final, c.final) << (heard.final == 0 ? "no final message within the limit" : "");
    EXPECT_EQ(heard.finalTag, DOWNLOAD_TAG_DATABASE);
    EXPECT_FALSE(heard.somethingAfterFinal);
    EXPECT_TRUE(std::is_sorted(heard.progress.begin(), heard.progress.end()));
    if (c.final == WM_DOWNLOAD_DONE) {
        ExpectBody(heard, DatabasePrefix(c.bodySize));
        ExpectProgressRisesTo100(heard);
        std::printf("%s: %zu bytes in %zu reads, %.3f s\n", c.mode, c.bodySize, heard.progress.size(), heard.seconds);
    } else {
        EXPECT_EQ(heard.body, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MisbehaviourTest,
    ::testing::Values(MisbehaviourCase{"no-length", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"chunked", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"length-zero", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"short-close", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"not-found", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"slow", WM_DOWNLOAD_DONE, 16 * 1024},
                      MisbehaviourCase{"two-lengths", WM_DOWNLOAD_DONE, kDatabaseSize / 2},
                      MisbehaviourCase{"no-space", WM_DOWNLOAD_DONE, 23},
                      MisbehaviourCase{"length-4gib", WM_DOWNLOAD_FAILED, 0},
                      MisbehaviourCase{"length-300mib", WM_DOWNLOAD_FAILED, 0}),
    [](const auto& info) {
        std::string name = info.param.mode;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// ---------------------------------------------------------------------------
// Where winhttp.dll comes from.

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

std::wstring ModuleDirectory(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

TEST(Win32HttpLibrary, APlantedWinHttpDllBesideTheProgramIsAWorkingOne)
{
    // The control: without the restriction, the search order would pick the
    // file beside the program, and that file does answer.
    if (GetModuleHandleW(L"winhttp.dll"))
        GTEST_SKIP() << "winhttp.dll is already loaded in this process";
    const HMODULE planted = LoadLibraryW(L"winhttp.dll");
    ASSERT_NE(planted, nullptr);
    if (Lower(ModuleDirectory(planted)) != Lower(ModuleDirectory(nullptr))) {
        FreeLibrary(planted);
        GTEST_SKIP() << "this system does not search the program's folder first";
    }
    using Open = void*(__stdcall*)(const wchar_t*, DWORD, const wchar_t*, const wchar_t*, DWORD);
    const auto open = reinterpret_cast<Open>(reinterpret_cast<void (*)()>(GetProcAddress(planted, "WinHttpOpen")));
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open(L"x", 0, nullptr, nullptr, 0), reinterpret_cast<void*>(0x0BADF00D));
    FreeLibrary(planted);
}

TEST(Win32HttpLibrary, TheBindingLoadsWinHttpFromSystem32Only)
{
    if (GetModuleHandleW(L"winhttp.dll"))
        GTEST_SKIP() << "winhttp.dll is already loaded in this process";
    const Vantri::HttpHandle session =
        Vantri::kWin32HttpPlatform.Open(u"Vantri4 Flash/1.0", Vantri::HttpAccess::Direct, nullptr);
    ASSERT_NE(session, nullptr);
    EXPECT_NE(session, reinterpret_cast<void*>(0x0BADF00D));
    Vantri::kWin32HttpPlatform.CloseHandle(session);

    const HMODULE loaded = GetModuleHandleW(L"winhttp.dll");
    ASSERT_NE(loaded, nullptr);
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(Lower(ModuleDirectory(loaded)), Lower(std::wstring(system, length) + L"\\"));
}

} // namespace

// The real download worker on the system's WinHTTP (Wine's in CI) with no
// http_proxy at all: the way is the user's own proxy settings, written here
// into the current user's registry of a prefix of this program's own
// (run_with_user_proxy.sh), with the local update host as the proxy, its
// setup script's server, and a proxy that asks for credentials.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "restore/download.h"
#include "restore/update_host.h"
#include "tests/support/games_database_builder.h"
#include "tests/windows/download/download_win_fixture.h"

HINSTANCE g_instance;
HWND g_mainWindow;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// DefaultConnectionSettings' flags.
constexpr DWORD kDirect = 1, kFixedProxy = 2, kSetupScript = 4;

std::string Port()
{
    const char* port = std::getenv("VANTRI_TEST_PROXY_PORT");
    return port ? port : "";
}

std::u16string Wide(const std::string& text)
{
    return {text.begin(), text.end()};
}

// What the user would set in the Internet options: the binary value that
// Wine's WinHTTP reads, and the plain values Windows keeps beside it.
struct UserSettings {
    DWORD flags = kDirect;
    std::string proxy;
    std::string bypass;
    std::string script;
};

void AppendDword(std::vector<BYTE>& bytes, DWORD value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void AppendText(std::vector<BYTE>& bytes, const std::string& text)
{
    AppendDword(bytes, static_cast<DWORD>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

void SetString(HKEY key, const wchar_t* name, const std::string& text)
{
    const std::wstring wide(text.begin(), text.end());
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void WriteUserSettings(const UserSettings& settings)
{
    static DWORD counter = 1;
    std::vector<BYTE> value;
    AppendDword(value, 0x46);
    AppendDword(value, counter++);
    AppendDword(value, settings.flags);
    AppendText(value, settings.proxy);
    AppendText(value, settings.bypass);
    AppendText(value, settings.script);
    HKEY connections = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &connections, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY, value.data(),
                   static_cast<DWORD>(value.size()));
    RegCloseKey(connections);

    HKEY internet = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &internet,
                              nullptr),
              ERROR_SUCCESS);
    const DWORD enable = (settings.flags & kFixedProxy) ? 1 : 0;
    RegSetValueExW(internet, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable), sizeof enable);
    SetString(internet, L"ProxyServer", settings.proxy);
    SetString(internet, L"ProxyOverride", settings.bypass);
    if (settings.flags & kSetupScript)
        SetString(internet, L"AutoConfigURL", settings.script);
    else
        RegDeleteValueW(internet, L"AutoConfigURL");
    RegCloseKey(internet);
}

// The prefix is this program's own; the values go all the same, so that
// nothing of one case is left for the next.
void ForgetUserSettings()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"DefaultConnectionSettings");
        RegCloseKey(key);
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL"})
            RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

struct ProxyCase {
    const char* name;
    UserSettings settings; // "PORT" in a text stands for the host's port
    const char16_t* path;
    UINT final;
    Vantri::DownloadOutcome outcome;
    std::uint32_t status;
    std::uint32_t systemCode;
    Vantri::ProxySource source;
    const char* proxy; // the log's name for the way taken
};

void PrintTo(const ProxyCase& c, std::ostream* out)
{
    *out << c.name;
}

std::string WithPort(std::string text)
{
    for (std::size_t at = text.find("PORT"); at != std::string::npos; at = text.find("PORT"))
        text.replace(at, 4, Port());
    return text;
}

class UserProxyTest : public DownloadWinTest, public ::testing::WithParamInterface<ProxyCase> {
protected:
    void SetUp() override { ASSERT_FALSE(Port().empty()) << "run under run_with_user_proxy.sh"; }
    void TearDown() override { ForgetUserSettings(); }
};

TEST_P(UserProxyTest, TheDownloadGoesTheUsersWay)
{
    const ProxyCase& c = GetParam();
    UserSettings settings = c.settings;
    settings.proxy = WithPort(settings.proxy);
    settings.bypass = WithPort(settings.bypass);
    settings.script = WithPort(settings.script);
    WriteUserSettings(settings);

    Vantri::ResetDownloadReports();
    const Heard heard = Download(c.path, DOWNLOAD_TAG_VERSION);
    const Vantri::DownloadReport& report = Vantri::DownloadReportOf(DOWNLOAD_TAG_VERSION);
    const std::u16string line = Vantri::DownloadLogText(report);
    std::printf("%s\n", std::string(line.begin(), line.end()).c_str());
    ASSERT_EQ(heard.final, c.final) << (heard.final == 0 ? "no final message within the limit" : "");
    EXPECT_FALSE(heard.somethingAfterFinal);
    EXPECT_EQ(report.outcome, c.outcome);
    EXPECT_EQ(report.status, c.status);
    EXPECT_EQ(report.systemCode, c.systemCode);
    EXPECT_EQ(report.route.source, c.source);
    EXPECT_TRUE(Vantri::ProxyRouteName(report.route) == Wide(WithPort(c.proxy)));
    if (c.final == WM_DOWNLOAD_DONE) {
        ASSERT_NE(heard.body, nullptr);
        const std::u16string_view host = Vantri::kUpdateHost;
        const std::string text(heard.body->bytes.get(), heard.body->bytes.get() + heard.body->size);
        EXPECT_EQ(text, std::string(host.begin(), host.end()) + "/db/Games.vdb\n4.00.20160918\n");
    }
}

// Without http_proxy the built-in host name resolves nowhere: a request
// that arrives went through the proxy the user's settings name.
INSTANTIATE_TEST_SUITE_P(
    Settings, UserProxyTest,
    ::testing::Values(
        ProxyCase{"fixed_proxy", {kDirect | kFixedProxy, "127.0.0.1:PORT", "", ""}, Vantri::kVersionFilePath,
                  WM_DOWNLOAD_DONE, Vantri::DownloadOutcome::Received, 200, 0, Vantri::ProxySource::UserFixed,
                  "127.0.0.1:PORT"},
        ProxyCase{"setup_script", {kDirect | kSetupScript, "", "", "http://127.0.0.1:PORT/proxy.pac"},
                  Vantri::kVersionFilePath, WM_DOWNLOAD_DONE, Vantri::DownloadOutcome::Received, 200, 0,
                  Vantri::ProxySource::UserDetected, "127.0.0.1:PORT"},
        ProxyCase{"proxy_asks_for_credentials", {kDirect | kFixedProxy, "127.0.0.1:PORT", "", ""},
                  u"/misbehave/proxy-auth", WM_DOWNLOAD_FAILED, Vantri::DownloadOutcome::ProxyCredentials, 407, 0,
                  Vantri::ProxySource::UserFixed, "127.0.0.1:PORT"},
        // ERROR_WINHTTP_NAME_NOT_RESOLVED: the exception sent it direct.
        ProxyCase{"exception_names_the_host", {kDirect | kFixedProxy, "127.0.0.1:PORT", "*.example;<local>", ""},
                  Vantri::kVersionFilePath, WM_DOWNLOAD_FAILED, Vantri::DownloadOutcome::SendFailed, 0, 12007,
                  Vantri::ProxySource::UserBypass, "direct"},
        // ERROR_WINHTTP_CANNOT_CONNECT: nothing listens on port 1.
        ProxyCase{"proxy_refuses_the_connection", {kDirect | kFixedProxy, "127.0.0.1:1", "", ""},
                  Vantri::kVersionFilePath, WM_DOWNLOAD_FAILED, Vantri::DownloadOutcome::SendFailed, 0, 12029,
                  Vantri::ProxySource::UserFixed, "127.0.0.1:1"},
        // Wine's automatic choice goes direct whatever is set.
        ProxyCase{"nothing_set_is_the_systems_choice", {kDirect, "", "", ""}, Vantri::kVersionFilePath,
                  WM_DOWNLOAD_FAILED, Vantri::DownloadOutcome::SendFailed, 0, 12007, Vantri::ProxySource::Automatic,
                  "automatic"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

// Checks the resources linked into this exe through the same Win32 calls
// that the program and the system use on them. The dialog template is read
// byte by byte, because a wrong style bit or a stray default style from the
// resource compiler shows nowhere else until a user sees it.
//
// Arguments: the firmware image file and the end-user agreement file that
// the build embedded, then the programs whose version resource is read back
// from their files.

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "file_version.h"
#include "base/carried_firmware.h"
#include "resources/resource.h"

namespace {

int g_failures = 0;
const char* g_section = "";

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string Describe(unsigned long long v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%llu (0x%llX)", v, v);
    return buffer;
}
std::string Describe(long long v) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%lld", v);
    return buffer;
}
std::string Describe(std::wstring_view v) {
    std::string out(1, '"');
    out += Narrow(v);
    out += '"';
    return out;
}

void Fail(int line, const std::string& what) {
    ++g_failures;
    std::printf("FAIL [%s] line %d: %s\n", g_section, line, what.c_str());
}

template <typename A, typename B>
void ExpectEqual(int line, const char* expression, const A& actual, const B& expected) {
    if (actual == expected) return;
    if constexpr (std::is_integral_v<A> && std::is_integral_v<B>) {
        if constexpr (std::is_signed_v<A>)
            Fail(line, std::string(expression) + ": got " + Describe(static_cast<long long>(actual)) +
                           ", want " + Describe(static_cast<long long>(expected)));
        else
            Fail(line, std::string(expression) + ": got " + Describe(static_cast<unsigned long long>(actual)) +
                           ", want " + Describe(static_cast<unsigned long long>(expected)));
    } else {
        Fail(line, std::string(expression) + ": got " + Describe(actual) + ", want " + Describe(expected));
    }
}

#define CHECK(cond) ((cond) ? void() : Fail(__LINE__, #cond))
#define CHECK_EQ(actual, expected) ExpectEqual(__LINE__, #actual, (actual), (expected))

using Bytes = std::span<const unsigned char>;

// The RT_* macros follow the UNICODE setting; these are always wide.
const LPCWSTR kTypeIcon = MAKEINTRESOURCEW(3);
const LPCWSTR kTypeBitmap = MAKEINTRESOURCEW(2);
const LPCWSTR kTypeDialog = MAKEINTRESOURCEW(5);
const LPCWSTR kTypeRawData = MAKEINTRESOURCEW(10);
const LPCWSTR kTypeIconGroup = MAKEINTRESOURCEW(14);
const LPCWSTR kTypeManifest = MAKEINTRESOURCEW(24);

Bytes Resource(LPCWSTR name, LPCWSTR type) {
    HRSRC info = FindResourceW(nullptr, name, type);
    if (info == nullptr) return {};
    HGLOBAL loaded = LoadResource(nullptr, info);
    auto data = static_cast<const unsigned char*>(LockResource(loaded));
    return data == nullptr ? Bytes{} : Bytes{data, SizeofResource(nullptr, info)};
}

std::vector<unsigned char> ReadWholeFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SameBytes(Bytes a, const std::vector<unsigned char>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

template <typename T>
T Read(Bytes bytes, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

// ---------------------------------------------------------------------------

void CheckDataResources(const char* firmwarePath, const char* eulaPath) {
    g_section = "data";
    const auto firmwareFile = ReadWholeFile(firmwarePath);
    const auto eulaFile = ReadWholeFile(eulaPath);
    CHECK(!firmwareFile.empty());
    CHECK(!eulaFile.empty());

    Bytes firmware = Resource(MAKEINTRESOURCEW(IDR_FIRMWARE), L"DATA");
    CHECK(firmware.data() != nullptr);
    CHECK_EQ(firmware.size(), firmwareFile.size());
    CHECK(SameBytes(firmware, firmwareFile));

    Bytes eula = Resource(MAKEINTRESOURCEW(IDR_EULA), L"DATA");
    CHECK(eula.data() != nullptr);
    CHECK_EQ(eula.size(), 6728u);
    CHECK(SameBytes(eula, eulaFile));
    // The type is a name, not RCDATA: the program looks it up as "DATA".
    CHECK(FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_FIRMWARE), kTypeRawData) == nullptr);
}

void CheckBitmap(int id, LONG width, LONG height) {
    // As stored: a packed DIB, bottom-up, 24 bits, no compression.
    Bytes raw = Resource(MAKEINTRESOURCEW(id), kTypeBitmap);
    CHECK(raw.size() >= sizeof(BITMAPINFOHEADER));
    const auto header = Read<BITMAPINFOHEADER>(raw, 0);
    CHECK_EQ(header.biSize, 40u);
    CHECK_EQ(header.biWidth, width);
    CHECK_EQ(header.biHeight, height);
    CHECK_EQ(header.biBitCount, 24);
    CHECK_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
    CHECK_EQ(header.biClrUsed, 0u);
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    CHECK_EQ(raw.size(), sizeof(BITMAPINFOHEADER) + stride * static_cast<size_t>(height));

    // As the static control gets it.
    auto bitmap = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    CHECK(bitmap != nullptr);
    if (bitmap == nullptr) return;
    DIBSECTION dib{};
    CHECK_EQ(GetObjectW(bitmap, sizeof dib, &dib), static_cast<int>(sizeof dib));
    CHECK_EQ(dib.dsBm.bmWidth, width);
    CHECK_EQ(dib.dsBm.bmHeight, height);
    CHECK_EQ(dib.dsBm.bmBitsPixel, 24);
    CHECK_EQ(dib.dsBmih.biCompression, static_cast<DWORD>(BI_RGB));
    DeleteObject(bitmap);
}

void CheckBitmaps() {
    g_section = "banner";
    CheckBitmap(IDB_BANNER, 718, 86);
    g_section = "adapter picture";
    CheckBitmap(IDB_ADAPTER, 200, 119);
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

void CheckIcon() {
    g_section = "icon";
    Bytes group = Resource(MAKEINTRESOURCEW(IDI_APP), kTypeIconGroup);
    CHECK(group.size() >= 6);
    CHECK_EQ(Read<WORD>(group, 0), 0);
    CHECK_EQ(Read<WORD>(group, 2), 1);  // icons, not cursors
    const WORD count = Read<WORD>(group, 4);
    CHECK_EQ(count, 6);
    CHECK_EQ(group.size(), 6u + count * sizeof(GroupIconEntry));

    std::set<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const auto entry = Read<GroupIconEntry>(group, 6 + i * sizeof(GroupIconEntry));
        CHECK_EQ(entry.width, entry.height);
        const int size = entry.width == 0 ? 256 : entry.width;
        CHECK(sizes.insert(size).second);
        CHECK_EQ(entry.bitCount, 32);
        CHECK_EQ(entry.planes, 1);

        Bytes image = Resource(MAKEINTRESOURCEW(entry.id), kTypeIcon);
        CHECK_EQ(image.size(), entry.bytes);
        const auto header = Read<BITMAPINFOHEADER>(image, 0);
        CHECK_EQ(header.biWidth, size);
        CHECK_EQ(header.biHeight, 2 * size);
        CHECK_EQ(header.biBitCount, 32);
    }
    CHECK(sizes == (std::set<int>{16, 32, 48, 64, 128, 256}));

    // The shell and the window manager pick a size through these calls.
    for (int size : {16, 48, 256}) {
        auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, size, size, 0));
        CHECK(icon != nullptr);
        if (icon == nullptr) continue;
        ICONINFO info{};
        CHECK(GetIconInfo(icon, &info));
        BITMAP colour{};
        GetObjectW(info.hbmColor, sizeof colour, &colour);
        CHECK_EQ(colour.bmWidth, size);
        CHECK_EQ(colour.bmHeight, size);
        if (info.hbmColor) DeleteObject(info.hbmColor);
        if (info.hbmMask) DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
}

size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
    return count;
}

void CheckManifest() {
    g_section = "manifest";
    Bytes raw = Resource(MAKEINTRESOURCEW(1), kTypeManifest);
    CHECK(!raw.empty());
    const std::string text(raw.begin(), raw.end());
    for (const char* needle : {"level=\"asInvoker\"", "uiAccess=\"false\""}) {
        if (text.find(needle) == std::string::npos) Fail(__LINE__, std::string("missing ") + needle);
    }

    const size_t begin = text.find("<dependentAssembly>");
    const size_t end = text.find("</dependentAssembly>");
    CHECK(begin != std::string::npos && end != std::string::npos && begin < end);
    const std::string dependency = begin < end && end != std::string::npos ? text.substr(begin, end - begin) : std::string();
    for (const char* needle : {
             "type=\"win32\"",
             "name=\"Microsoft.Windows.Common-Controls\"",
             "version=\"6.0.0.0\"",
             "processorArchitecture=\"*\"",
             "publicKeyToken=\"6595b64144ccf1df\"",
             "language=\"*\"",
         }) {
        if (dependency.find(needle) == std::string::npos) Fail(__LINE__, std::string("dependency lacks ") + needle);
    }
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    CHECK(lower.find("dpiaware") == std::string::npos);  // covers dpiAwareness as well
    // The common controls are the one dependency, and no other settings ride along.
    CHECK_EQ(Occurrences(text, "<dependentAssembly>"), 1u);
    CHECK_EQ(Occurrences(lower, "windowssettings"), 0u);

    // Windows 7 to Windows 11 (10 and 11 share one entry), each exactly once,
    // and nothing else declared supported.
    const size_t compatibility = text.find("<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\">");
    const size_t compatibilityEnd = text.find("</compatibility>");
    CHECK(compatibility != std::string::npos && compatibilityEnd != std::string::npos && compatibility < compatibilityEnd);
    const std::string supported = compatibility < compatibilityEnd && compatibilityEnd != std::string::npos
                                      ? text.substr(compatibility, compatibilityEnd - compatibility)
                                      : std::string();
    const char* const kSupportedOs[] = {
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and Windows 11
    };
    for (const char* id : kSupportedOs) {
        if (Occurrences(supported, std::string("<supportedOS Id=\"") + id + "\"/>") != 1)
            Fail(__LINE__, std::string("compatibility does not declare ") + id + " exactly once");
    }
    CHECK_EQ(Occurrences(text, "<supportedOS "), std::size(kSupportedOs));
}

// ---------------------------------------------------------------------------
// The dialog template

// A class or title field: a string, or 0xFFFF followed by an ordinal.
struct NameOrOrdinal {
    std::wstring name;
    WORD ordinal = 0;
    bool isOrdinal = false;
};

class TemplateReader {
public:
    explicit TemplateReader(Bytes bytes) : bytes_(bytes) {}

    template <typename T>
    T Get() {
        T value = Read<T>(bytes_, offset_);
        if (offset_ + sizeof(T) > bytes_.size()) overrun_ = true;
        offset_ += sizeof(T);
        return value;
    }

    std::wstring String() {
        std::wstring out;
        for (WCHAR c = Get<WCHAR>(); c != 0 && !overrun_; c = Get<WCHAR>()) out += c;
        return out;
    }

    NameOrOrdinal Field() {
        NameOrOrdinal out;
        if (Read<WORD>(bytes_, offset_) == 0xFFFF) {
            Get<WORD>();
            out.isOrdinal = true;
            out.ordinal = Get<WORD>();
        } else {
            out.name = String();
        }
        return out;
    }

    void AlignToDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
    void Skip(size_t count) { offset_ += count; }
    size_t Offset() const { return offset_; }
    bool Overrun() const { return overrun_ || offset_ > bytes_.size(); }

private:
    Bytes bytes_;
    size_t offset_ = 0;
    bool overrun_ = false;
};

constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;
constexpr DWORD kNoId = 0xFFFFFFFF;
constexpr DWORD kPushButton = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD kPicture = WS_CHILD | WS_VISIBLE | SS_BITMAP;
constexpr DWORD kCentredText = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER;

struct ExpectedControl {
    DWORD id;
    WORD classAtom;          // 0: the class is given by name
    const wchar_t* className;
    const wchar_t* text;     // nullptr: a bitmap ordinal
    WORD bitmap;
    short x, y, cx, cy;
    DWORD style;
    DWORD exStyle;
};

const ExpectedControl kControls[] = {
    {IDC_UPDATE_FIRMWARE, kButtonAtom, L"button", L"Update Firmware", 0, 191, 201, 97, 37, kPushButton, 0},
    {IDC_FACTORY_RESET, kButtonAtom, L"button", L"Factory Reset", 0, 191, 242, 97, 23, kPushButton, 0},
    {IDC_BACKUP_CONFIGS, kButtonAtom, L"button", L"Backup Configs", 0, 162, 280, 74, 23, kPushButton, 0},
    {IDC_RESTORE_CONFIGS, kButtonAtom, L"button", L"Restore Configs", 0, 242, 280, 74, 23, kPushButton, 0},
    {kNoId, kStaticAtom, L"static", nullptr, IDB_BANNER, 0, 0, 479, 53, kPicture, 0},
    {kNoId, kStaticAtom, L"static", nullptr, IDB_ADAPTER, 173, 94, 133, 73, kPicture, 0},
    {IDC_PROGRESS, 0, L"msctls_progress32", L"", 0, 46, 172, 387, 9, WS_CHILD | WS_BORDER, 0},
    {kNoId, kStaticAtom, L"static",
     L"Plug your Vantri4 (using port 'C') into your computer while holding down the 'P' button on the back of your Vantri.",
     0, 25, 63, 429, 9, kCentredText, 0},
    {kNoId, kStaticAtom, L"static",
     L"When your Vantri4 displays blue, you can release 'P' button. Then click one of the options below.",
     0, 25, 75, 429, 9, kCentredText, 0},
    {IDC_STATUS, kStaticAtom, L"static", L"Please choose an option.", 0, 46, 187, 386, 8, kCentredText, 0},
    {kNoId, kButtonAtom, L"button", L"", 0, 153, 269, 172, 41, WS_CHILD | WS_VISIBLE | BS_GROUPBOX, WS_EX_TRANSPARENT},
};

bool SameClass(const NameOrOrdinal& actual, const ExpectedControl& expected) {
    if (actual.isOrdinal) return expected.classAtom != 0 && actual.ordinal == expected.classAtom;
    // Class names are matched without regard to case by the system.
    return CompareStringOrdinal(actual.name.c_str(), -1, expected.className, -1, TRUE) == CSTR_EQUAL;
}

void CheckControl(TemplateReader& in, const ExpectedControl& want, int index) {
    char section[32];
    std::snprintf(section, sizeof section, "dialog control %d", index + 1);
    g_section = section;

    in.AlignToDword();
    const auto helpId = in.Get<DWORD>();
    const auto exStyle = in.Get<DWORD>();
    const auto style = in.Get<DWORD>();
    const auto x = in.Get<short>();
    const auto y = in.Get<short>();
    const auto cx = in.Get<short>();
    const auto cy = in.Get<short>();
    const auto id = in.Get<DWORD>();
    CHECK_EQ(helpId, 0u);
    CHECK_EQ(exStyle, want.exStyle);
    CHECK_EQ(style, want.style);
    CHECK_EQ(x, want.x);
    CHECK_EQ(y, want.y);
    CHECK_EQ(cx, want.cx);
    CHECK_EQ(cy, want.cy);
    CHECK_EQ(id, want.id);

    const NameOrOrdinal cls = in.Field();
    if (!SameClass(cls, want))
        Fail(__LINE__, "class " + (cls.isOrdinal ? Describe(static_cast<unsigned long long>(cls.ordinal)) : Describe(cls.name)) +
                           ", want " + Describe(std::wstring_view(want.className)));

    const NameOrOrdinal text = in.Field();
    if (want.text == nullptr) {
        CHECK(text.isOrdinal);
        CHECK_EQ(text.ordinal, want.bitmap);
    } else {
        CHECK(!text.isOrdinal);
        CHECK_EQ(text.name, std::wstring_view(want.text));
    }
    const WORD extra = in.Get<WORD>();
    CHECK_EQ(extra, 0);
    in.Skip(extra);
}

void CheckDialogTemplate() {
    g_section = "dialog header";
    Bytes bytes = Resource(MAKEINTRESOURCEW(IDD_MAIN), kTypeDialog);
    CHECK(!bytes.empty());
    TemplateReader in(bytes);

    const auto version = in.Get<WORD>();
    const auto signature = in.Get<WORD>();
    const auto helpId = in.Get<DWORD>();
    const auto exStyle = in.Get<DWORD>();
    const auto style = in.Get<DWORD>();
    const auto count = in.Get<WORD>();
    const auto x = in.Get<short>();
    const auto y = in.Get<short>();
    const auto cx = in.Get<short>();
    const auto cy = in.Get<short>();
    const NameOrOrdinal menu = in.Field();
    const NameOrOrdinal windowClass = in.Field();
    const std::wstring title = in.String();
    const auto points = in.Get<WORD>();
    const auto weight = in.Get<WORD>();
    const auto italic = in.Get<BYTE>();
    const auto charset = in.Get<BYTE>();
    const std::wstring typeface = in.String();

    CHECK_EQ(version, 1);           // the extended template ...
    CHECK_EQ(signature, 0xFFFF);    // ... and its marker
    CHECK_EQ(helpId, 0u);
    CHECK_EQ(exStyle, 0u);
    CHECK_EQ(style, static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS | DS_CENTER));
    CHECK_EQ(count, std::size(kControls));
    CHECK_EQ(x, 0);
    CHECK_EQ(y, 0);
    CHECK_EQ(cx, 479);
    CHECK_EQ(cy, 317);
    CHECK(!menu.isOrdinal && menu.name.empty());
    CHECK(!windowClass.isOrdinal && windowClass.name.empty());
    CHECK_EQ(title, std::wstring_view(L"Vantri4 Flash"));
    CHECK_EQ(points, 8);
    CHECK_EQ(weight, 400);
    CHECK_EQ(italic, 0);
    CHECK_EQ(charset, 1);
    CHECK_EQ(typeface, std::wstring_view(L"MS Shell Dlg"));

    for (WORD i = 0; i < std::min<size_t>(count, std::size(kControls)); ++i) CheckControl(in, kControls[i], i);

    g_section = "dialog end";
    CHECK(!in.Overrun());
    CHECK(bytes.size() - in.Offset() < 4);  // nothing after the last control but padding
}

INT_PTR CALLBACK IgnoreEverything(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Building the window shows what the bytes alone cannot: that the dialog
// manager accepts the template, finds the progress bar's class and turns the
// two pictures into the right bitmaps.
void CheckDialogCreates() {
    g_section = "dialog window";
    HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, IgnoreEverything, 0);
    if (dialog == nullptr) {
        Fail(__LINE__, "CreateDialogParamW failed, error " + Describe(static_cast<unsigned long long>(GetLastError())));
        return;
    }
    CHECK(!IsWindowVisible(dialog));

    HWND progress = GetDlgItem(dialog, IDC_PROGRESS);
    CHECK(progress != nullptr);
    WCHAR cls[64] = {};
    GetClassNameW(progress, cls, 64);
    CHECK(CompareStringOrdinal(cls, -1, L"msctls_progress32", -1, TRUE) == CSTR_EQUAL);
    CHECK_EQ(static_cast<DWORD>(GetWindowLongPtrW(progress, GWL_STYLE)) & WS_VISIBLE, 0u);

    WCHAR status[64] = {};
    GetDlgItemTextW(dialog, IDC_STATUS, status, 64);
    CHECK_EQ(std::wstring_view(status), std::wstring_view(L"Please choose an option."));

    std::vector<std::pair<LONG, LONG>> pictures;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongPtrW(child, GWL_STYLE) & SS_TYPEMASK) != SS_BITMAP) continue;
        GetClassNameW(child, cls, 64);
        if (CompareStringOrdinal(cls, -1, L"Static", -1, TRUE) != CSTR_EQUAL) continue;
        auto bitmap = reinterpret_cast<HBITMAP>(SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0));
        BITMAP info{};
        if (bitmap != nullptr && GetObjectW(bitmap, sizeof info, &info) != 0) pictures.emplace_back(info.bmWidth, info.bmHeight);
        else pictures.emplace_back(0, 0);
    }
    CHECK(pictures == (std::vector<std::pair<LONG, LONG>>{{718, 86}, {200, 119}}));
    DestroyWindow(dialog);
}

// ---------------------------------------------------------------------------
// The version resource, read back from the file the way Explorer's Details
// tab reads it. Its version must be the carried firmware version that the
// title and the questions show.

std::wstring Widen(std::string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || value == nullptr) return L"(missing)";
    // The length counts the terminating null; the text ends at the first one.
    return std::wstring(static_cast<const wchar_t*>(value), wcsnlen(static_cast<const wchar_t*>(value), length));
}

void CheckVersionResource(const char* program) {
    g_section = program;
    const std::wstring path = Widen(program);
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    if (size == 0) {
        Fail(__LINE__, "no version resource, error " + Describe(static_cast<unsigned long long>(GetLastError())));
        return;
    }
    std::vector<BYTE> block(size);
    CHECK(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    const std::wstring version = Widen(Vantri::kCarriedFirmwareVersion);
    const std::wstring company = Widen(VANTRI_COMPANY_NAME);
    // The console programs (Vantri4FlashCli, and its emulation build) name
    // themselves; the emulation builds carry their shipping twin's resource.
    const bool console = Narrow(path).find("Vantri4FlashCli") != std::string::npos;
    const struct {
        const wchar_t* name;
        std::wstring want;
    } strings[] = {
        {L"ProductName", L"Vantri4 Flash"},
        {L"FileDescription", console ? L"Vantri4 firmware and config tool for the command line"
                                     : L"Vantri4 firmware and config tool"},
        {L"InternalName", console ? L"Vantri4FlashCli" : L"Vantri4Flash"},
        {L"OriginalFilename", console ? L"Vantri4FlashCli.exe" : L"Vantri4Flash.exe"},
        {L"FileVersion", version},
        {L"ProductVersion", version},
        {L"CompanyName", company},
        {L"LegalCopyright", L"Copyright (C) " + company},
    };
    for (const auto& row : strings) {
        if (VersionString(block, row.name) != row.want)
            Fail(__LINE__, Narrow(row.name) + ": got " + Describe(VersionString(block, row.name)) + ", want " + Describe(row.want));
    }

    // "4.00.20160918" is 4.0.2016.918: release, point release, year, month and day.
    unsigned release = 0, point = 0, year = 0, day = 0;
    CHECK_EQ(std::sscanf(Vantri::kCarriedFirmwareVersion, "%u.%u.%4u%4u", &release, &point, &year, &day), 4);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    if (fixed == nullptr || length < sizeof *fixed) return;
    CHECK_EQ(fixed->dwSignature, 0xFEEF04BDu);
    CHECK_EQ(fixed->dwFileVersionMS, release << 16 | point);
    CHECK_EQ(fixed->dwFileVersionLS, year << 16 | day);
    CHECK_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    CHECK_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    CHECK_EQ(fixed->dwFileFlags, 0u);
    CHECK_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    // US English in UTF-16, the language the string table above is kept in.
    WORD* translation = nullptr;
    CHECK(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length));
    if (translation != nullptr && length >= 4) {
        CHECK_EQ(translation[0], 0x409);
        CHECK_EQ(translation[1], 1200);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FIRMWARE_IMAGE EULA_TEXT [PROGRAM...]\n", argv[0]);
        return 2;
    }
    CheckDataResources(argv[1], argv[2]);
    CheckBitmaps();
    CheckIcon();
    CheckManifest();
    CheckDialogTemplate();
    CheckDialogCreates();
    for (int i = 3; i < argc; ++i) CheckVersionResource(argv[i]);
    if (g_failures != 0) {
        std::printf("%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("all resource checks passed\n");
    return 0;
}

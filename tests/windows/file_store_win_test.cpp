// The file calls' Win32 binding on the real system (under Wine in CI),
// driven by the portable save and read: the system's own error for a name
// that is taken, the move over an existing file, the read-only attribute.
#include "app/program_win.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/file_store.h"

// The program's globals, which the binding reads; no window here.
HINSTANCE g_instance;
HWND g_mainWindow;

namespace {

using Vantri::ReadOutcome;
using Vantri::SaveOutcome;

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
    return bytes;
}

std::u16string U16(const std::wstring& text)
{
    return std::u16string(text.begin(), text.end());
}

class FileStoreWin : public ::testing::Test {
protected:
    FileStoreWin()
    {
        Vantri::BindPlatform(Vantri::WindowsPlatform());
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"vantri-files-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(folder_.c_str(), nullptr);
    }
    ~FileStoreWin() override
    {
        for (const std::wstring& name : Names()) {
            SetFileAttributesW((folder_ + name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((folder_ + name).c_str());
        }
        RemoveDirectoryW(folder_.c_str());
    }

    std::vector<std::wstring> Names() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder_ + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return names;
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                names.push_back(found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

    std::vector<std::uint8_t> Read(const std::wstring& name, std::size_t room = 70000) const
    {
        std::vector<std::uint8_t> bytes(room);
        std::uint32_t read = 0;
        if (Vantri::ReadFileStart(U16(folder_ + name), bytes, read) != ReadOutcome::Read)
            return {};
        bytes.resize(read);
        return bytes;
    }

    std::u16string Path(const std::wstring& name) const { return U16(folder_ + name); }

    std::wstring folder_;
};

TEST_F(FileStoreWin, SaveReplacesAnExistingFileAndStepsOverATakenName)
{
    ASSERT_EQ(Vantri::SaveWholeFile(Path(L"backup.vtcb"), Bytes(100, 1)), SaveOutcome::Saved);
    // A leftover of an earlier run holds the first new-file name.
    ASSERT_EQ(Vantri::SaveWholeFile(Path(L"~Vantri4Backup00.tmp"), Bytes(10, 2)), SaveOutcome::Saved);
    ASSERT_EQ(Vantri::SaveWholeFile(Path(L"backup.vtcb"), Bytes(65536, 3)), SaveOutcome::Saved);
    EXPECT_EQ(Read(L"backup.vtcb"), Bytes(65536, 3));
    EXPECT_EQ(Read(L"~Vantri4Backup00.tmp"), Bytes(10, 2));
    EXPECT_EQ(Names().size(), 2u);
}

TEST_F(FileStoreWin, ReadTakesAtMostTheRoomGiven)
{
    std::vector<std::uint8_t> longer = Bytes(65600, 4);
    ASSERT_EQ(Vantri::SaveWholeFile(Path(L"long.vtcb"), longer), SaveOutcome::Saved);
    longer.resize(65536);
    EXPECT_EQ(Read(L"long.vtcb", 65536), longer);
    std::vector<std::uint8_t> room(16);
    std::uint32_t read = 0;
    EXPECT_EQ(Vantri::ReadFileStart(Path(L"missing.vtcb"), room, read), ReadOutcome::NoAccess);
}

TEST_F(FileStoreWin, ReadOnlyFileAndMissingFolderAreNoAccessAndChangeNothing)
{
    ASSERT_EQ(Vantri::SaveWholeFile(Path(L"kept.vtcb"), Bytes(50, 5)), SaveOutcome::Saved);
    ASSERT_TRUE(SetFileAttributesW((folder_ + L"kept.vtcb").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Vantri::SaveWholeFile(Path(L"kept.vtcb"), Bytes(65536, 6)), SaveOutcome::NoAccess);
    EXPECT_EQ(Read(L"kept.vtcb"), Bytes(50, 5));
    EXPECT_EQ(Vantri::SaveWholeFile(Path(L"no such folder\\x.vtcb"), Bytes(65536, 6)), SaveOutcome::NoAccess);
    EXPECT_EQ(Names(), std::vector<std::wstring>{L"kept.vtcb"});
}

} // namespace

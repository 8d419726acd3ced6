// Saving and reading whole files on the scripted file system: the old file
// survives every failure, no new file is left behind, no handle stays open.
#include <gtest/gtest.h>

#include <functional>

#include "engine/file_store.h"
#include "tests/native/engine/scripted_window.h"

namespace VantriTest {
namespace {

using Vantri::ReadOutcome;
using Vantri::SaveOutcome;
using Call = ScriptedFiles::Call;

const std::u16string kFolder = u"C:\\Backups\\";
const std::u16string kTarget = kFolder + u"configs.vtcb";
const std::u16string kTemporary = kFolder + u"~00figs.vtcb";
const std::vector<std::uint8_t> kOld(100, 0x0D);

std::vector<std::uint8_t> NewBytes()
{
    std::vector<std::uint8_t> bytes(65536);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

class FileStoreTest : public ::testing::Test {
protected:
    FileStoreTest() { window.files.AddFolder(kFolder); }

    std::vector<std::string> FileEvents() const
    {
        std::vector<std::string> events;
        for (const auto& event : log.Events()) {
            if (event.rfind("file ", 0) == 0)
                events.push_back(event);
        }
        return events;
    }

    EventLog log;
    ScriptedWindow window{log};
};

TEST_F(FileStoreTest, SaveWritesANewFileFlushesClosesAndMovesItOverTheOldOne)
{
    window.files.AddFile(kTarget, kOld);
    const auto bytes = NewBytes();
    EXPECT_EQ(Vantri::SaveWholeFile(kTarget, bytes), SaveOutcome::Saved);
    EXPECT_EQ(window.files.Contents(kTarget), bytes);
    EXPECT_EQ(window.files.Paths(), std::vector<std::u16string>{kTarget});
    EXPECT_EQ(FileEvents(), (std::vector<std::string>{
                                "file create C:\\Backups\\~00figs.vtcb",
                                "file write 65536 wrote 65536",
                                "file flush",
                                "file close",
                                "file move C:\\Backups\\~00figs.vtcb C:\\Backups\\configs.vtcb",
                            }));
}

TEST_F(FileStoreTest, NewFileStepsOverLeftoversOfEarlierRunsAndLeavesThemAlone)
{
    window.files.AddFile(kTemporary, kOld);
    window.files.AddFile(kFolder + u"~01figs.vtcb", kOld);
    const auto bytes = NewBytes();
    EXPECT_EQ(Vantri::SaveWholeFile(kTarget, bytes), SaveOutcome::Saved);
    EXPECT_EQ(window.files.Contents(kTarget), bytes);
    EXPECT_EQ(window.files.Contents(kTemporary), kOld);
    EXPECT_EQ(window.files.Contents(kFolder + u"~01figs.vtcb"), kOld);
    EXPECT_FALSE(window.files.Contents(kFolder + u"~02figs.vtcb"));
}

TEST_F(FileStoreTest, ChosenNameIsNeverTheNewFilesName)
{
    // Its own first temporary name.
    const std::u16string chosen = kFolder + u"~00FIGS.VTCB";
    EXPECT_EQ(Vantri::SaveWholeFile(chosen, NewBytes()), SaveOutcome::Saved);
    EXPECT_EQ(FileEvents().front(), "file create C:\\Backups\\~01FIGS.VTCB");
    EXPECT_EQ(window.files.Paths(), std::vector<std::u16string>{chosen});
}

TEST_F(FileStoreTest, FolderPartsOfPaths)
{
    EXPECT_EQ(Vantri::FolderOf(u"C:\\a\\b.vtcb"), u"C:\\a\\");
    EXPECT_EQ(Vantri::FolderOf(u"\\\\server\\share\\b"), u"\\\\server\\share\\");
    EXPECT_EQ(Vantri::FolderOf(u"C:b"), u"C:");
    EXPECT_EQ(Vantri::FolderOf(u"b.vtcb"), u"");
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(Vantri::PathIn(unterminated), u"abc");
    // Never longer than the chosen name, however short.
    EXPECT_EQ(Vantri::TemporaryName(u"C:\\a\\configs.vtcb", 99), u"C:\\a\\~99figs.vtcb");
    EXPECT_EQ(Vantri::TemporaryName(u"C:\\a\\ab", 7), u"C:\\a\\~7");
    EXPECT_EQ(Vantri::TemporaryName(u"C:\\a\\b", 7), u"C:\\a\\7");
    EXPECT_EQ(Vantri::TemporaryName(u"abc", 5), u"~05");
}

struct SaveFailure {
    const char* name;
    std::function<void(ScriptedFiles&)> arrange;
    SaveOutcome outcome;
    bool newFileMade; // and so deleted again
};

void PrintTo(const SaveFailure& c, std::ostream* out)
{
    *out << c.name;
}

class SaveFailures : public FileStoreTest, public ::testing::WithParamInterface<SaveFailure> {};

// Whatever fails, the old file is as it was, nothing else is left in the
// folder and every handle is closed.
TEST_P(SaveFailures, LeaveTheOldFileAndNoNewOne)
{
    window.files.AddFile(kTarget, kOld);
    GetParam().arrange(window.files);
    const auto before = window.files.Paths();
    EXPECT_EQ(Vantri::SaveWholeFile(kTarget, NewBytes()), GetParam().outcome);
    EXPECT_EQ(window.files.Contents(kTarget), kOld);
    EXPECT_EQ(window.files.Paths(), before);
    EXPECT_EQ(window.files.OpenHandles(), 0u);
    const auto events = FileEvents();
    if (GetParam().newFileMade)
        EXPECT_EQ(events.empty() ? "" : events.back(), "file remove C:\\Backups\\~00figs.vtcb");
    else
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const auto& e) { return e.rfind("file remove", 0) == 0; }), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SaveFailures,
    ::testing::Values(
        SaveFailure{"CreateRefused", [](ScriptedFiles& f) { f.Fail(Call::Create); }, SaveOutcome::NoAccess, false},
        SaveFailure{"EveryNameTaken",
                    [](ScriptedFiles& f) {
                        for (std::uint32_t n = 0; n < Vantri::kTemporaryNameAttempts; ++n)
                            f.AddFile(Vantri::TemporaryName(kTarget, n), {});
                    },
                    SaveOutcome::NoAccess, false},
        SaveFailure{"WriteFails", [](ScriptedFiles& f) { f.Fail(Call::Write); }, SaveOutcome::WriteFailed, true},
        SaveFailure{"ShortWrite", [](ScriptedFiles& f) { f.ShortWrites(65535); }, SaveOutcome::WriteFailed, true},
        SaveFailure{"FlushFails", [](ScriptedFiles& f) { f.Fail(Call::Flush); }, SaveOutcome::WriteFailed, true},
        SaveFailure{"CloseFails", [](ScriptedFiles& f) { f.Fail(Call::Close); }, SaveOutcome::WriteFailed, true},
        SaveFailure{"MoveFails", [](ScriptedFiles& f) { f.Fail(Call::Move); }, SaveOutcome::WriteFailed, true},
        // Refused before anything is made, as creating it in place would be.
        SaveFailure{"TargetReadOnly", [](ScriptedFiles& f) { f.AddFile(kTarget, kOld, true); },
                    SaveOutcome::NoAccess, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileStoreTest, SaveIntoAMissingFolderOrOverAFolderHasNoAccessAndMakesNothing)
{
    EXPECT_EQ(Vantri::SaveWholeFile(u"C:\\Nowhere\\configs.vtcb", NewBytes()), SaveOutcome::NoAccess);
    window.files.AddFolder(kFolder + u"sub\\");
    EXPECT_EQ(Vantri::SaveWholeFile(kFolder + u"sub", NewBytes()), SaveOutcome::NoAccess);
    EXPECT_TRUE(window.files.Paths().empty());
    EXPECT_EQ(FileEvents(), std::vector<std::string>{"file create C:\\Nowhere\\~00figs.vtcb failed 3"});
}

// --- Reading -----------------------------------------------------------------

TEST_F(FileStoreTest, ReadTakesAtMostTheDestinationFromTheStartAndClosesTheFile)
{
    std::vector<std::uint8_t> longer = NewBytes();
    longer.push_back(0xAA);
    window.files.AddFile(kFolder + u"long.vtcb", longer);
    window.files.AddFile(kFolder + u"short.vtcb", kOld);

    std::vector<std::uint8_t> destination(65536, 0);
    std::uint32_t read = 0;
    EXPECT_EQ(Vantri::ReadFileStart(kFolder + u"long.vtcb", destination, read), ReadOutcome::Read);
    EXPECT_EQ(read, 65536u);
    EXPECT_EQ(destination, NewBytes());

    std::fill(destination.begin(), destination.end(), 0);
    EXPECT_EQ(Vantri::ReadFileStart(kFolder + u"short.vtcb", destination, read), ReadOutcome::Read);
    EXPECT_EQ(read, 100u);
    EXPECT_TRUE(std::equal(kOld.begin(), kOld.end(), destination.begin()));
    EXPECT_TRUE(std::all_of(destination.begin() + 100, destination.end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(window.files.OpenHandles(), 0u);
}

TEST_F(FileStoreTest, ReadFailuresSayWhichCallFailed)
{
    std::vector<std::uint8_t> destination(16);
    std::uint32_t read = 7;
    EXPECT_EQ(Vantri::ReadFileStart(kFolder + u"missing.vtcb", destination, read), ReadOutcome::NoAccess);
    EXPECT_EQ(read, 0u);
    window.files.AddFile(kTarget, kOld);
    window.files.Fail(Call::Read);
    EXPECT_EQ(Vantri::ReadFileStart(kTarget, destination, read), ReadOutcome::ReadFailed);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(window.files.OpenHandles(), 0u);
    EXPECT_EQ(window.files.Contents(kTarget), kOld);
}

} // namespace
} // namespace VantriTest

#include "app/file_store.h"

#include <algorithm>

#include "app/app_platform.h"
#include "base/unique_handle.h"

namespace Vantri {

namespace {

// Closed on the way out unless closed on purpose first, so that no path
// through a save or a read leaves a handle behind.
bool CloseOpenedFile(FileRef file)
{
    return Platform().CloseFile(file);
}

using OpenedFile = UniqueHandle<FileRef, bool>;

bool NameTaken(std::uint32_t error)
{
    return error == kErrorFileExists || error == kErrorAlreadyExists;
}

char16_t AsciiLower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// File names compare without regard to case.
bool SameName(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return AsciiLower(x) == AsciiLower(y);
           });
}

// A file of a name that is free at the moment of creation; an older run's
// leftover of the same name is stepped over, never reused or overwritten,
// and so is the chosen name itself.
FileRef CreateTemporaryFile(const std::u16string& target, std::u16string& name)
{
    for (std::uint32_t attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        name = TemporaryName(FolderOf(target), attempt);
        if (SameName(name, target))
            continue;
        std::uint32_t error = 0;
        if (FileRef file = Platform().CreateNewFile(name.c_str(), error))
            return file;
        if (!NameTaken(error))
            return nullptr;
    }
    return nullptr;
}

// All of it in one call: a write that reports success with fewer bytes
// would leave a short file that a restore reads as a backup with free
// entries at its end.
bool WriteAll(FileRef file, std::span<const std::uint8_t> bytes)
{
    std::uint32_t written = 0;
    return Platform().WriteToFile(file, bytes, written) && written == bytes.size();
}

// Decided before anything is made, as creating the file in place would be
// refused: a read-only file is the user's to keep, and a folder is no file.
// The move would refuse a read-only file too, but not on every file system
// (under Wine, root replaces it).
bool MayReplace(const std::u16string& target)
{
    const std::uint32_t attributes = Platform().PathAttributes(target.c_str());
    return attributes == kNoFileAttributes || (attributes & (kFileAttributeReadOnly | kFileAttributeDirectory)) == 0;
}

} // namespace

std::u16string_view FolderOf(std::u16string_view path)
{
    const auto separator = path.find_last_of(u"\\/:");
    return separator == std::u16string_view::npos ? std::u16string_view() : path.substr(0, separator + 1);
}

std::u16string_view PathIn(std::span<const char16_t> buffer)
{
    const std::u16string_view all(buffer.data(), buffer.size());
    return all.substr(0, all.find(u'\0'));
}

std::u16string TemporaryName(std::u16string_view folder, std::uint32_t attempt)
{
    std::u16string name(folder);
    name += u"~Vantri4Backup";
    name += static_cast<char16_t>(u'0' + attempt / 10 % 10);
    name += static_cast<char16_t>(u'0' + attempt % 10);
    name += u".tmp";
    return name;
}

SaveOutcome SaveWholeFile(std::u16string_view path, std::span<const std::uint8_t> bytes)
{
    const std::u16string target(path);
    if (!MayReplace(target))
        return SaveOutcome::NoAccess;
    std::u16string temporary;
    OpenedFile file(CreateTemporaryFile(target, temporary), CloseOpenedFile);
    if (!file.Get())
        return SaveOutcome::NoAccess;
    const bool stored = WriteAll(file.Get(), bytes) && Platform().FlushFile(file.Get()) && file.Close() &&
                        Platform().MoveFileOver(temporary.c_str(), target.c_str());
    if (stored)
        return SaveOutcome::Saved;
    file.Close();
    Platform().RemoveFile(temporary.c_str());
    return SaveOutcome::WriteFailed;
}

ReadOutcome ReadFileStart(std::u16string_view path, std::span<std::uint8_t> destination, std::uint32_t& read)
{
    read = 0;
    const std::u16string name(path);
    OpenedFile file(Platform().OpenFileToRead(name.c_str()), CloseOpenedFile);
    if (!file.Get())
        return ReadOutcome::NoAccess;
    if (!Platform().ReadFromFile(file.Get(), destination, read)) {
        read = 0;
        return ReadOutcome::ReadFailed;
    }
    read = std::min<std::uint32_t>(read, static_cast<std::uint32_t>(destination.size()));
    file.Close();
    return ReadOutcome::Read;
}

} // namespace Vantri

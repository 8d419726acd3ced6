#include "engine/file_store.h"

#include <algorithm>

#include "engine/app_platform.h"
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
FileRef CreateTemporaryFile(const std::u16string& target, std::u16string& name, std::uint32_t& error)
{
    for (std::uint32_t attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        name = TemporaryName(target, attempt);
        if (SameName(name, target))
            continue;
        if (FileRef file = Platform().CreateNewFile(name.c_str(), error))
            return file;
        if (!NameTaken(error))
            return nullptr;
    }
    return nullptr;
}

void Note(FileFailure* failure, const char* call, std::uint32_t code)
{
    if (failure)
        *failure = {call, code};
}

// Each step in turn; the first that fails names itself and the system's
// code, taken as soon as the call has returned.
bool Step(bool done, const char* call, FileFailure* failure)
{
    if (!done)
        Note(failure, call, Platform().LastFileError());
    return done;
}

// All of it in one call: a write that reports success with fewer bytes
// would leave a short file that a restore reads as a backup with free
// entries at its end.
bool WriteAll(FileRef file, std::span<const std::uint8_t> bytes, FileFailure* failure)
{
    std::uint32_t written = 0;
    if (!Step(Platform().WriteToFile(file, bytes, written), "write", failure))
        return false;
    if (written == bytes.size())
        return true;
    Note(failure, "write", 0); // short, with no error of the system's
    return false;
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

std::u16string TemporaryName(std::u16string_view target, std::uint32_t attempt)
{
    const std::u16string_view folder = FolderOf(target);
    std::u16string name(target);
    const std::size_t length = name.size() - folder.size();
    const char16_t tens = static_cast<char16_t>(u'0' + attempt / 10 % 10);
    const char16_t ones = static_cast<char16_t>(u'0' + attempt % 10);
    char16_t* start = name.data() + folder.size();
    if (length >= 3) {
        start[0] = u'~';
        start[1] = tens;
        start[2] = ones;
    } else if (length == 2) {
        start[0] = u'~';
        start[1] = ones;
    } else if (length == 1) {
        start[0] = ones;
    }
    return name;
}

std::string FileFailureText(const FileFailure& failure)
{
    if (!failure.call)
        return {};
    return std::string(" (the ") + failure.call + " failed, system code " + std::to_string(failure.code) + ")";
}

SaveOutcome SaveWholeFile(std::u16string_view path, std::span<const std::uint8_t> bytes, FileFailure* failure)
{
    const std::u16string target(path);
    if (!MayReplace(target)) {
        Note(failure, "attributes", 0);
        return SaveOutcome::NoAccess;
    }
    std::u16string temporary;
    std::uint32_t createError = 0;
    OpenedFile file(CreateTemporaryFile(target, temporary, createError), CloseOpenedFile);
    if (!file.Get()) {
        Note(failure, "create", createError);
        return SaveOutcome::NoAccess;
    }
    const bool stored = WriteAll(file.Get(), bytes, failure) &&
                        Step(Platform().FlushFile(file.Get()), "flush", failure) &&
                        Step(file.Close(), "close", failure) &&
                        Step(Platform().MoveFileOver(temporary.c_str(), target.c_str()), "move", failure);
    if (stored)
        return SaveOutcome::Saved;
    file.Close();
    Platform().RemoveFile(temporary.c_str());
    return SaveOutcome::WriteFailed;
}

ReadOutcome ReadFileStart(std::u16string_view path, std::span<std::uint8_t> destination, std::uint32_t& read,
                          FileFailure* failure)
{
    read = 0;
    const std::u16string name(path);
    OpenedFile file(Platform().OpenFileToRead(name.c_str()), CloseOpenedFile);
    if (!Step(file.Get() != nullptr, "open", failure))
        return ReadOutcome::NoAccess;
    if (!Step(Platform().ReadFromFile(file.Get(), destination, read), "read", failure)) {
        read = 0;
        return ReadOutcome::ReadFailed;
    }
    read = std::min<std::uint32_t>(read, static_cast<std::uint32_t>(destination.size()));
    file.Close();
    return ReadOutcome::Read;
}

} // namespace Vantri

// Whole files kept and read through the platform's primitive file calls:
// the order of the calls and what counts as a failure are decided here, so
// that the native tests can try every failure on a scripted file system.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Vantri {

enum class SaveOutcome {
    Saved,
    NoAccess,    // the name is a read-only file or a folder, or no file can be made in its folder
    WriteFailed, // a write, flush, close or the final move failed
};

// Stores `bytes` as the file `path` so that the file is either the old one,
// untouched, or the new one, whole: the bytes go to a new file in the same
// folder, which is flushed, closed and then moved over `path` in one step.
// Whatever fails, the new file is deleted again. A read-only file of that
// name is never replaced.
// Which file call failed, and the system's code for it, for the log.
struct FileFailure {
    const char* call = nullptr; // "create", "write", ...; null when none failed
    std::uint32_t code = 0;
};

// For the log: " (the write failed, system code 112)"; empty when none failed.
std::string FileFailureText(const FileFailure& failure);

SaveOutcome SaveWholeFile(std::u16string_view path, std::span<const std::uint8_t> bytes,
                          FileFailure* failure = nullptr);

enum class ReadOutcome {
    Read,
    NoAccess,   // the file does not exist or cannot be opened
    ReadFailed, // the read call failed
};

// Reads at most destination.size() bytes from the start of the existing
// file `path` in one read call, then closes it. `read` is the number of
// bytes the call delivered; the rest of the destination is left as it was.
ReadOutcome ReadFileStart(std::u16string_view path, std::span<std::uint8_t> destination, std::uint32_t& read,
                          FileFailure* failure = nullptr);

// The folder part of a path, up to and including its last separator ('\\',
// '/' or a drive's ':'); empty when the path names no folder.
std::u16string_view FolderOf(std::u16string_view path);

// A path held in a fixed buffer: up to its terminator, or the whole buffer
// when it has none.
std::u16string_view PathIn(std::span<const char16_t> buffer);

// Names tried for the new file of a save of `target`, in order, when earlier
// ones exist: in the same folder, and never longer than `target`, so that a
// path the save dialog accepted near the system's path limit is never
// refused for its temporary file. The name's first characters become "~"
// and the attempt's number (a name of one or two characters has fewer
// distinct ones).
inline constexpr std::uint32_t kTemporaryNameAttempts = 100;
std::u16string TemporaryName(std::u16string_view target, std::uint32_t attempt);

} // namespace Vantri

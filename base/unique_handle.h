// One owner for every handle the program opens: closes it exactly once,
// whichever way the owner's scope is left, and hands it over only by a move
// or an explicit Release().
#pragma once

#include <type_traits>
#include <utility>

namespace Vantri {

// `Handle` is a pointer-like value whose empty value is null. `Result` is
// what the closing call answers (void for a close nobody can act on).
template <typename Handle, typename Result = void>
class UniqueHandle {
public:
    using CloseFunction = Result (*)(Handle);

    UniqueHandle() = default;
    UniqueHandle(Handle handle, CloseFunction close) : handle_(handle), close_(close) {}
    ~UniqueHandle() { Close(); }

    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, Handle{})), close_(other.close_)
    {
    }
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, Handle{});
            close_ = other.close_;
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != Handle{}; }
    Handle Release() { return std::exchange(handle_, Handle{}); }

    // Closes now, for a caller that must know how the close went (a file
    // whose close fails may not be on the disk). Closing an empty owner
    // succeeds.
    Result Close()
    {
        const Handle handle = std::exchange(handle_, Handle{});
        if constexpr (std::is_void_v<Result>) {
            if (handle)
                close_(handle);
        } else {
            return handle ? close_(handle) : Result{true};
        }
    }

private:
    Handle handle_{};
    CloseFunction close_ = nullptr;
};

} // namespace Vantri

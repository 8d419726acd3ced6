// A downloaded body as it travels from the download worker to the window in
// WM_DOWNLOAD_DONE's lParam. Its length travels with it, so that no reader of
// the body can pass its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace Vantri {

struct DownloadBody {
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t[]> bytes;

    std::span<const std::uint8_t> Bytes() const { return {bytes.get(), size}; }
};

} // namespace Vantri

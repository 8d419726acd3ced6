// The locating step over any version file. No platform is bound, so the
// database download it may start is refused at once; the body is released
// either way (LeakSanitizer watches).
#include <cstdint>
#include <cstring>
#include <string_view>

#include "restore/download.h"
#include "restore/update_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto* body = new Vantri::DownloadBody{};
    body->size = size;
    body->bytes.reset(new std::uint8_t[size]);
    if (size)
        std::memcpy(body->bytes.get(), data, size);

    // What it must decide, worked out apart: the first line after any line
    // feeds, up to a null, fitting in 259 characters, holding the host.
    const std::span<const std::uint8_t> line = Vantri::FirstLine({data, size});
    const std::string_view text(reinterpret_cast<const char*>(line.data()), line.size());
    const std::u16string_view host = Vantri::kUpdateHost;
    const std::string narrowHost(host.begin(), host.end());
    const bool expected = !line.empty() && line.size() <= 259 &&
                          text.substr(0, text.find('\0')).find(narrowHost) != std::string_view::npos;

    if (Vantri::LocateDatabase(body) != expected)
        __builtin_trap();
    return 0;
}

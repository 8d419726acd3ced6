// The header parser over any text. Input bytes are widened one to one (so
// "Content-Length" and the digits are easy to reach); the text lies in an
// allocation of exactly its size, so a read past it trips ASan.
#include <cstdint>
#include <memory>

#include "restore/download.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::unique_ptr<char16_t[]> text(new char16_t[size]);
    bool anyLine = false;
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = data[i];
        anyLine = anyLine || (data[i] != '\r' && data[i] != '\n');
    }
    const std::optional<std::int64_t> length = Vantri::ContentLength({text.get(), size});
    if (length.has_value() != anyLine)
        __builtin_trap();
    return 0;
}

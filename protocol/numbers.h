// Two small calculations that the device operations and the download share.
#pragma once

#include <cstdint>
#include <string_view>

namespace Vantri {

// `done` of `total` as a whole percent, rounded down; 100 when there is
// nothing to do.
constexpr std::uint32_t WholePercent(std::uint64_t done, std::uint64_t total)
{
    return total == 0 ? 100 : static_cast<std::uint32_t>(done * 100 / total);
}

// What a standard decimal text-to-integer conversion (strtol) makes of
// `text`: white space skipped, one optional sign, digits up to the first
// non-digit, 0 without digits. Saturates instead of overflowing.
template <typename Char>
constexpr std::int64_t DecimalValue(std::basic_string_view<Char> text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    return negative ? -value : value;
}

} // namespace Vantri

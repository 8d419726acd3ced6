// A small wsprintfW: the conversions the program's texts use, checked
// against the arguments actually given.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace Vantri {

class FormatArg {
public:
    enum class Kind { Narrow, Wide, Number };

    FormatArg(std::string_view narrow) : kind_(Kind::Narrow), narrow_(narrow) {}
    FormatArg(const char* narrow) : FormatArg(std::string_view(narrow)) {}
    FormatArg(std::u16string_view wide) : kind_(Kind::Wide), wide_(wide) {}
    FormatArg(const char16_t* wide) : FormatArg(std::u16string_view(wide)) {}
    // %d prints its argument as a signed 32-bit number, as wsprintfW does.
    template <std::integral T>
    FormatArg(T number) : kind_(Kind::Number), number_(static_cast<std::int32_t>(number))
    {
    }

    Kind kind() const { return kind_; }
    std::string_view narrow() const { return narrow_; }
    std::u16string_view wide() const { return wide_; }
    std::int32_t number() const { return number_; }

private:
    Kind kind_;
    std::string_view narrow_;
    std::u16string_view wide_;
    std::int32_t number_ = 0;
};

// Conversions: %hs (narrow text), %s and %ls (wide text), %d and %i (number),
// %%. Nothing is returned for any other conversion, for a conversion whose
// argument is missing or of another kind, and for arguments left over:
// a mismatch is a fault to show as such, not a text to guess at.
std::optional<std::u16string> FormatText(std::u16string_view format, std::initializer_list<FormatArg> args = {});

} // namespace Vantri

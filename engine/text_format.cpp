#include "engine/text_format.h"

namespace Vantri {

namespace {

void AppendNarrow(std::u16string& out, std::string_view text)
{
    // The version texts are ASCII; a stray byte from an adapter is shown as
    // its Latin-1 character rather than dropped, so the text keeps its length.
    for (char c : text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
}

void AppendNumber(std::u16string& out, std::int32_t number)
{
    std::int64_t value = number;
    if (value < 0) {
        out.push_back(u'-');
        value = -value;
    }
    char16_t digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0)
        out.push_back(digits[--n]);
}

enum class Conversion { Percent, Narrow, Wide, Number, Unknown };

// Reads the conversion after a '%' at `pos` and moves `pos` past it.
Conversion ReadConversion(std::u16string_view format, std::size_t& pos)
{
    const std::u16string_view rest = format.substr(pos);
    auto takes = [&](std::u16string_view spec) {
        if (rest.substr(0, spec.size()) != spec)
            return false;
        pos += spec.size();
        return true;
    };
    if (takes(u"%"))
        return Conversion::Percent;
    if (takes(u"hs"))
        return Conversion::Narrow;
    if (takes(u"ls") || takes(u"s"))
        return Conversion::Wide;
    if (takes(u"d") || takes(u"i"))
        return Conversion::Number;
    return Conversion::Unknown;
}

} // namespace

std::optional<std::u16string> FormatText(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    std::u16string out;
    out.reserve(format.size() + 64);
    const FormatArg* next = args.begin();
    std::size_t pos = 0;
    while (pos < format.size()) {
        const char16_t c = format[pos++];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        const Conversion conversion = ReadConversion(format, pos);
        if (conversion == Conversion::Percent) {
            out.push_back(u'%');
            continue;
        }
        if (conversion == Conversion::Unknown || next == args.end())
            return std::nullopt;
        const FormatArg& arg = *next++;
        switch (conversion) {
        case Conversion::Narrow:
            if (arg.kind() != FormatArg::Kind::Narrow)
                return std::nullopt;
            AppendNarrow(out, arg.narrow());
            break;
        case Conversion::Wide:
            if (arg.kind() != FormatArg::Kind::Wide)
                return std::nullopt;
            out.append(arg.wide());
            break;
        case Conversion::Number:
            if (arg.kind() != FormatArg::Kind::Number)
                return std::nullopt;
            AppendNumber(out, arg.number());
            break;
        default:
            return std::nullopt;
        }
    }
    if (next != args.end())
        return std::nullopt;
    return out;
}

} // namespace Vantri

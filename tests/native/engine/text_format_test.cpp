#include <gtest/gtest.h>

#include "engine/text_format.h"

namespace {

using Vantri::FormatText;

TEST(TextFormat, ConvertsNarrowTextNumbersAndPercent)
{
    EXPECT_EQ(FormatText(u"[%hs] to [%hs]", {"4.00.20150101", "4.00.20160918"}),
              u"[4.00.20150101] to [4.00.20160918]");
    EXPECT_EQ(FormatText(u"%d Vantri4s, at %d, %i%%", {3, 0, -12}), u"3 Vantri4s, at 0, -12%");
    EXPECT_EQ(FormatText(u"%d", {std::uint32_t{0xFFFFFFFFu}}), u"-1"); // %d is signed, as in wsprintfW
    EXPECT_EQ(FormatText(u"%d", {std::int32_t{-2147483647 - 1}}), u"-2147483648");
    EXPECT_EQ(FormatText(u"wide %s and %ls", {u"text", u"more"}), u"wide text and more");
    EXPECT_EQ(FormatText(u"no conversions\n"), u"no conversions\n");
}

TEST(TextFormat, NarrowBytesKeepTheirCountAndStopAtNothing)
{
    const char bytes[] = {'4', '.', '\xE9', 'x'};
    const auto text = FormatText(u"[%hs]", {std::string_view(bytes, 4)});
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, u"[4.\u00E9x]");
}

TEST(TextFormat, MismatchesGiveNoText)
{
    EXPECT_FALSE(FormatText(u"[%hs]", {}));              // missing argument
    EXPECT_FALSE(FormatText(u"[%hs]", {7}));             // number for a narrow text
    EXPECT_FALSE(FormatText(u"%d", {"7"}));              // text for a number
    EXPECT_FALSE(FormatText(u"%x", {7}));                // conversion we do not make
    EXPECT_FALSE(FormatText(u"trailing %", {}));         // unfinished conversion
    EXPECT_FALSE(FormatText(u"plain", {"left over"}));   // argument left over
}

} // namespace

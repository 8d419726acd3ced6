#include <gtest/gtest.h>

#include <vector>

#include "cli/reporter.h"

namespace {

using Vantri::Cli::ExitCode;
using Vantri::Cli::Reporter;
using Vantri::Cli::ReportMode;

// Everything the reporter wrote, and in how many writes.
struct Captured {
    std::string text;
    int writes = 0;

    Reporter::Sink Sink()
    {
        return [this](std::string_view utf8) {
            text += utf8;
            ++writes;
        };
    }
};

// What a console shows after `text`: a carriage return goes back to the
// start of the line and later characters overwrite, a line feed starts the
// next line. Trailing blanks are dropped, as the eye cannot see them.
std::vector<std::string> Screen(std::string_view text)
{
    std::vector<std::string> rows(1);
    std::size_t column = 0;
    for (const char c : text) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            rows.emplace_back();
            column = 0;
        } else {
            std::string& row = rows.back();
            if (column < row.size())
                row[column] = c;
            else
                row.push_back(c);
            ++column;
        }
    }
    for (std::string& row : rows)
        row.erase(row.find_last_not_of(' ') + 1);
    return rows;
}

TEST(CliReporter, OnAConsoleTwoAdaptersShareOneLineRewrittenOnlyWhenItChanges)
{
    Captured out;
    Reporter reporter(ReportMode::Terminal, out.Sink());
    reporter.Found(0, u"P0", "4.00.20150101", true);
    reporter.Found(1, u"P1", "4.00.20140101", false);
    reporter.Progress(0, 0);
    reporter.Progress(1, 0);
    reporter.Progress(0, 0); // no change, no write
    reporter.Progress(0, 1);
    reporter.Progress(1, 150); // shown as 100
    reporter.Result(1, u"P1", false, 2, 0x20000002, 5, 0);
    reporter.Progress(1, 50);                     // after its result: not shown
    reporter.Result(1, u"P1", true, 0, 0, 0, 0);  // a second result: the first stands
    reporter.Progress(0, 100);
    reporter.Progress(0, 3); // the next stage starts: the line gets shorter
    reporter.Progress(256, 5); // beyond the table
    reporter.Result(0, u"P0", true, 0, 0, 0, 0);
    reporter.Outcome(u"First part.\n\nSecond part.", ExitCode::AdapterFailed);
    reporter.Found(2, u"P2", "x", true);
    reporter.Outcome(u"A second outcome", ExitCode::Done);

    EXPECT_EQ(out.text, "adapter 0  firmware 4.00.20150101  configs allowed  P0\n"
                        "adapter 1  firmware 4.00.20140101  configs out of date  P1\n"
                        "\radapter 0 0%"
                        "\radapter 0 0%  adapter 1 0%"
                        "\radapter 0 1%  adapter 1 0%"
                        "\radapter 0 1%  adapter 1 100%"
                        "\radapter 1 failed: command 2, code 0x20000002 (536870914), detail1 5, detail2 0  P1\n"
                        "adapter 0 1%  adapter 1 failed"
                        "\radapter 0 100%  adapter 1 failed"
                        "\radapter 0 3%  adapter 1 failed  "
                        "\radapter 0 done  P0            \n"
                        "adapter 0 done  adapter 1 failed"
                        "\r                                \r"
                        "First part. Second part.\n");
    EXPECT_EQ(Screen(out.text), (std::vector<std::string>{
                                    "adapter 0  firmware 4.00.20150101  configs allowed  P0",
                                    "adapter 1  firmware 4.00.20140101  configs out of date  P1",
                                    "adapter 1 failed: command 2, code 0x20000002 (536870914), detail1 5, detail2 0  P1",
                                    "adapter 0 done  P0",
                                    "First part. Second part.",
                                    "",
                                }));
}

TEST(CliReporter, OnAConsoleTwoHundredFiftySixAdaptersAreOneAggregateWithTheFailuresAbove)
{
    Captured out;
    Reporter reporter(ReportMode::Terminal, out.Sink());
    for (std::uint32_t percent = 0; percent <= 100; ++percent) {
        for (std::uint32_t index = 0; index < 256; ++index)
            reporter.Progress(index, percent);
    }
    for (std::uint32_t index = 0; index < 256; ++index) {
        const std::u16string path = u"P" + std::u16string(1, static_cast<char16_t>(u'0' + index % 10));
        reporter.Result(index, path, index != 7, 2, 1460, 0, 0);
    }
    reporter.Outcome(u"Outcome", ExitCode::AdapterFailed);

    EXPECT_EQ(Screen(out.text), (std::vector<std::string>{
                                    "adapter 7 failed: command 2, code 0x000005B4 (1460), detail1 0, detail2 0  P7",
                                    "256 adapters: 255 done, 1 failed",
                                    "Outcome",
                                    "",
                                }));
    // 25,856 progress events and 256 results. Written: the first four
    // adapters one by one, then the aggregate as each of the other 252
    // joins, once per whole percent of the mean (100), once per result, and
    // the outcome.
    EXPECT_EQ(out.writes, 4 + 252 + 100 + 256 + 1);
    EXPECT_NE(out.text.find("\r256 adapters: 49%, 0 done, 0 failed"), std::string::npos);
    EXPECT_EQ(out.text.find("adapter 0 done"), std::string::npos);
}

TEST(CliReporter, RedirectedEachAdapterWritesAtMostOneProgressLinePerTenth)
{
    Captured out;
    Reporter reporter(ReportMode::Redirected, out.Sink());
    reporter.Found(0, u"P0", "4.00.20160918", true);
    for (std::uint32_t percent = 0; percent <= 100; ++percent)
        reporter.Progress(0, percent);
    reporter.Progress(1, 0);
    reporter.Progress(1, 35);
    // The restore's next stage counts its tenths afresh; jumps show where
    // they land.
    for (std::uint32_t percent = 0; percent < 100; percent += 7)
        reporter.Progress(0, percent);
    reporter.Progress(0, 100);
    reporter.Result(1, u"P1", false, 5, 1167, 0, 0);
    reporter.Result(0, u"P0", true, 0, 0, 0, 0);
    reporter.Outcome(u"Done.\r\n\r\nSafe to remove.", ExitCode::AdapterFailed);

    EXPECT_EQ(out.text, "adapter 0  firmware 4.00.20160918  configs allowed  P0\n"
                        "adapter 0 0%\nadapter 0 10%\nadapter 0 20%\nadapter 0 30%\nadapter 0 40%\nadapter 0 50%\n"
                        "adapter 0 60%\nadapter 0 70%\nadapter 0 80%\nadapter 0 90%\nadapter 0 100%\n"
                        "adapter 1 0%\nadapter 1 35%\n"
                        "adapter 0 0%\nadapter 0 14%\nadapter 0 21%\nadapter 0 35%\nadapter 0 42%\nadapter 0 56%\n"
                        "adapter 0 63%\nadapter 0 70%\nadapter 0 84%\nadapter 0 91%\nadapter 0 100%\n"
                        "adapter 1 failed: command 5, code 0x0000048F (1167), detail1 0, detail2 0  P1\n"
                        "adapter 0 done  P0\n"
                        "Done. Safe to remove.\n");
}

TEST(CliReporter, QuietShowsTheFailuresAndTheOutcomeOnly)
{
    Captured out;
    Reporter reporter(ReportMode::Quiet, out.Sink());
    reporter.Found(0, u"P0", "4.00.20150101", true);
    reporter.Found(1, u"P1\r\x1B[2J", "4.00.20150101", true);
    reporter.Progress(0, 50);
    reporter.Result(0, u"P0", true, 0, 0, 0, 0);
    reporter.Result(1, u"P1\r\x1B[2J", false, 3, 0x20000001, 1, 2);
    reporter.Outcome(u"There was an error.", ExitCode::AdapterFailed);

    // A path cannot move the console's cursor.
    EXPECT_EQ(out.text, "adapter 1 failed: command 3, code 0x20000001 (536870913), detail1 1, detail2 2  P1??[2J\n"
                        "There was an error.\n");
}

TEST(CliReporter, JsonIsOneObjectPerLineInValidUtf8)
{
    Captured out;
    Reporter reporter(ReportMode::Json, out.Sink());
    // Quote, backslash, a control character, é, a pair for U+1F3AE, and
    // unpaired surrogates: alone, low alone, high at the end.
    const std::u16string path = u"\\\\?\\hid#\"q\"\x01\u00E9\U0001F3AE\xD800|\xDC00|\xD83C";
    reporter.Found(0, path, "4.00.\xE9\x01", false);
    reporter.Found(300, u"beyond", "x", true);
    reporter.Progress(0, 0);
    reporter.Progress(0, 0);
    reporter.Progress(0, 7);
    reporter.Progress(0, 101);
    reporter.Result(0, u"P0", true, 9, 9, 9, 9);
    reporter.Result(1, u"P1", false, 2, 0xFFFFFFFF, 4294967295u, 0);
    reporter.Progress(1, 10);
    reporter.Outcome(u"Line \"one\"\n\n\ttwo\\", ExitCode::NotConfirmed);
    reporter.Outcome(u"again", ExitCode::Done);

    const std::string utf8Path = R"(\\\\?\\hid#\"q\"\u0001)"
                                 "\xC3\xA9\xF0\x9F\x8E\xAE\xEF\xBF\xBD|\xEF\xBF\xBD|\xEF\xBF\xBD";
    EXPECT_EQ(out.text, R"({"event":"found","index":0,"path":")" + utf8Path +
                            R"(","firmware":"4.00.)" "\xC3\xA9" R"(\u0001","configs":false})" "\n"
                            R"({"event":"progress","index":0,"percent":0})" "\n"
                            R"({"event":"progress","index":0,"percent":7})" "\n"
                            R"({"event":"progress","index":0,"percent":100})" "\n"
                            R"({"event":"result","index":0,"path":"P0","ok":true})" "\n"
                            R"({"event":"result","index":1,"path":"P1","ok":false,"command":2,"code":4294967295,"detail1":4294967295,"detail2":0})" "\n"
                            R"({"event":"outcome","outcome":"Line \"one\"\u000a\u000a\u0009two\\","exit":4})" "\n");
}

} // namespace

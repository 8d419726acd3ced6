#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "cli/exit_codes.h"
#include "cli/help_text.h"

namespace {

std::string ReadDoc(const char* relative)
{
    std::ifstream in(std::string(VANTRI_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The help, docs/cli.md, the user's guide and the exit codes' table say the
// same thing: the page quotes the help whole, both documents' tables have
// one row per code and no other, and the codes are 0 to 8 in order.
TEST(CliHelpText, TheDocsQuoteTheHelpAndTheExitCodesAsTheTableHasThem)
{
    const std::string help = Vantri::Cli::HelpText();
    const std::string doc = ReadDoc("docs/cli.md");
    ASSERT_FALSE(doc.empty());
    EXPECT_NE(doc.find("```text\n" + help + "```\n"), std::string::npos);

    std::string rows;
    std::string helpRows;
    int expected = 0;
    for (const auto& entry : Vantri::Cli::kExitCodeMeanings) {
        EXPECT_EQ(static_cast<int>(entry.code), expected++);
        rows += "| " + std::to_string(static_cast<int>(entry.code)) + " | " + std::string(entry.meaning) + " |\n";
        helpRows += "  " + std::to_string(static_cast<int>(entry.code)) + "  " + std::string(entry.meaning) + "\n";
    }
    EXPECT_EQ(expected, 9);
    EXPECT_NE(help.find("Exit codes:\n" + helpRows), std::string::npos);
    for (const char* page : {"docs/cli.md", "docs/user-guide.md"}) {
        SCOPED_TRACE(page);
        const std::string text = ReadDoc(page);
        EXPECT_NE(text.find("| code | meaning |\n|---|---|\n" + rows + "\n"), std::string::npos);
        const std::regex row("^\\| [0-9]+ \\|");
        std::istringstream lines(text);
        int docRows = 0;
        for (std::string line; std::getline(lines, line);)
            docRows += std::regex_search(line, row);
        EXPECT_EQ(docRows, expected);
    }

    // A console wraps a longer line where it likes.
    std::istringstream helpLines(help);
    for (std::string line; std::getline(helpLines, line);)
        EXPECT_LE(line.size(), 79u) << line;
}

} // namespace

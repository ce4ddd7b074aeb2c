// The options as the program names them (--help), as its manual page
// documents them (docs/update.1, section OPTIONS) and as README's option table
// lists them. Each list is read from its source, none is written down here:
// an option added to one of them and forgotten in another fails.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/process.h"

namespace {

using Options = std::set<std::string>;

// The option names in TEXT: "-p", "--port" (also of "--port=<device>").
Options optionNamesIn(const std::string& text) {
    static const std::regex kName(R"((^|[\s`\[|,(])(--?[A-Za-z0-9][A-Za-z0-9-]*))");
    Options names;
    for (std::sregex_iterator it(text.begin(), text.end(), kName), end; it != end; ++it) names.insert((*it)[2]);
    return names;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string sourceFile(const std::string& name) {
    std::ifstream in(std::string(UPDATE_SOURCE_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// --help: an option's column is the start of a line, indented a little, up to
// the colon or two blanks (" -p <int>: ...", " --port <device>  : ...");
// deeper indented lines go on the text above them.
Options helpOptions(const std::string& help) {
    static const std::regex kColumn(R"(^\s{1,6}(-[^\s:]([^:]*?))(\s\s|:|$))");
    Options options;
    std::smatch column;
    for (const std::string& line : linesOf(help))
        if (std::regex_search(line, column, kColumn)) options.merge(optionNamesIn(column[1]));
    return options;
}

// The manual page: the tags of its OPTIONS section, the lines after ".TP",
// with roff's escapes taken off ("\-\-port", "\fR").
Options manualOptions(const std::string& page) {
    static const std::regex kFont(R"(\\f[BIRP])");
    Options options;
    bool inOptions = false;
    bool tagNext = false;
    for (std::string line : linesOf(page)) {
        if (line.rfind(".SH", 0) == 0) inOptions = line.find("OPTIONS") != std::string::npos;
        if (!inOptions) continue;
        if (tagNext) {
            for (std::size_t at; (at = line.find("\\-")) != std::string::npos;) line.erase(at, 1);
            options.merge(optionNamesIn(std::regex_replace(line, kFont, " ")));
        }
        tagNext = line.rfind(".TP", 0) == 0;
    }
    return options;
}

// README: the first cell of each row of the table whose head reads
// "| option | ...".
Options readmeOptions(const std::string& readme) {
    static const std::regex kHead(R"(^\|\s*option\s*\|)");
    Options options;
    bool inTable = false;
    for (const std::string& line : linesOf(readme)) {
        if (std::regex_search(line, kHead)) {
            inTable = true;
            continue;
        }
        if (!inTable) continue;
        if (line.empty() || line[0] != '|') break;
        options.merge(optionNamesIn(line.substr(1, line.find('|', 1) - 1)));
    }
    return options;
}

// What FROM names and TO lacks, for the failure message.
std::string missing(const Options& from, const Options& to) {
    std::string names;
    for (const std::string& option : from)
        if (to.count(option) == 0) names += " " + option;
    return names;
}

struct Sources {
    Options help;
    Options manual;
    Options readme;
};

Sources readSources() {
    test_support::TempDirectory dir;
    test_support::ProcessOptions options;
    for (int n = 1; n <= 4; ++n) options.environment["UPDATE_COM" + std::to_string(n)] = dir.file("missing");
    const test_support::ProcessResult help = test_support::run({UPDATE_PROGRAM, "--help"}, options);
    EXPECT_EQ(help.exitCode, 0) << help.err;
    return {helpOptions(help.out), manualOptions(sourceFile("docs/update.1")), readmeOptions(sourceFile("README.md"))};
}

TEST(OptionDocs, EveryOptionOfTheHelpTextIsInTheManualPageAndInReadmesTable) {
    const Sources sources = readSources();
    // The readers found something: an empty list would make every check pass.
    ASSERT_GE(sources.help.size(), 10u) << "--help read as:" << missing(sources.help, {});
    ASSERT_GE(sources.manual.size(), 10u) << "docs/update.1 OPTIONS read as:" << missing(sources.manual, {});
    ASSERT_GE(sources.readme.size(), 10u) << "README's \"| option |\" table read as:" << missing(sources.readme, {});
    EXPECT_EQ(missing(sources.help, sources.manual), "") << "in --help, not in docs/update.1";
    EXPECT_EQ(missing(sources.help, sources.readme), "") << "in --help, not in README's option table";
}

TEST(OptionDocs, TheManualPageAndReadmeDocumentTheSameOptions) {
    const Sources sources = readSources();
    EXPECT_EQ(missing(sources.manual, sources.readme), "") << "in docs/update.1, not in README's option table";
    EXPECT_EQ(missing(sources.readme, sources.manual), "") << "in README's option table, not in docs/update.1";
}

// The usage text leaves some options out on purpose (-x); what the documents
// name beyond --help must still be an option the program takes.
TEST(OptionDocs, ADocumentedOptionThatTheHelpTextLeavesOutIsOneTheProgramTakes) {
    const Sources sources = readSources();
    Options documented = sources.manual;
    documented.insert(sources.readme.begin(), sources.readme.end());
    for (const std::string& option : documented) {
        if (sources.help.count(option) != 0) continue;
        test_support::TempDirectory dir;
        test_support::ProcessOptions options;
        for (int n = 1; n <= 4; ++n) options.environment["UPDATE_COM" + std::to_string(n)] = dir.file("missing");
        options.timeLimit = std::chrono::milliseconds{20000};
        const test_support::ProcessResult run = test_support::run({UPDATE_PROGRAM, option, dir.file("no-image.pad")}, options);
        EXPECT_EQ(run.err.find("is an invalid option"), std::string::npos) << option << ": " << run.err;
    }
}

}  // namespace

// Values kept as given between the command's input, the component and the
// store: noncharacters come back as stored, a NUL is refused, not cut.
#include "platform/text/utf.h"
#include "support/datasource_folders.h"
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

struct Utf8Case {
    const char* label;
    std::string utf8;
    std::optional<std::u16string> utf16; // nothing: refused
};

// Faults caught: noncharacters replaced by U+FFFD, a pair decoded wrongly,
// encoded surrogates (CESU-8) or overlong forms accepted.
const std::vector<Utf8Case> kUtf8Cases = {
    {"U+FFFE", "\xEF\xBF\xBE", u"\xFFFE"},
    {"U+FFFF", "\xEF\xBF\xBF", u"\xFFFF"},
    {"U+FDD0", "\xEF\xB7\x90", u"\xFDD0"},
    {"U+10FFFF", "\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
    {"lone high surrogate", "\xED\xA0\x80", std::nullopt},
    {"lone low surrogate", "\xED\xB0\x80", std::nullopt},
    {"surrogate pair as two sequences", "\xED\xA0\xBD\xED\xB8\x80", std::nullopt},
    {"overlong NUL", "\xC0\x80", std::nullopt},
};

TEST(BatchValuesTest, Utf8ConversionKeepsNoncharactersAndRefusesSurrogates)
{
    for (const Utf8Case& row : kUtf8Cases) {
        EXPECT_EQ(valmorin::text::Utf8ToUtf16(row.utf8), row.utf16) << row.label;
        if (row.utf16) {
            EXPECT_EQ(valmorin::text::Utf16ToUtf8(*row.utf16), row.utf8) << row.label;
        }
    }
}

class BatchValuesCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ProcessResult init = Run({"init"}, "");
        ASSERT_EQ(init.exitCode, 0) << init.err;
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& input) const
    {
        args.insert(args.begin(), VALMORIN_CLI);
        auto environment = m_folders.environment();
        environment["PELKOR_REGISTRY_DIR"] = (m_folders.dataFolder() / "registry").string();
        return RunProcess(args, input, environment);
    }

    DataSourceFolders m_folders;
};

struct BatchCase {
    const char* label;
    std::string input;
    std::string output;
};

// Faults caught: a NUL in an argument silently cutting the value (stored
// as "A"), and U+FFFE and U+FFFF read back from the store as U+FFFD.
TEST_F(BatchValuesCommandTest, ValuesAreStoredAsGivenOrRefused)
{
    const std::vector<BatchCase> rows = {
        {"NUL in an input", std::string("transadd\tT\tA\0B\tx\n", 16),
         "ERROR\t0x80070057 valmorin: argument 2 holds a NUL"},
        {"nothing was stored for the cut input", "translate\tT\tA\n", "OK\t\n"},
        {"noncharacters", "transadd\tT\tF\t\xEF\xBF\xBE\xEF\xBF\xBF\ntranslate\tT\tF\n",
         "OK\t1\nOK\t\xEF\xBF\xBE\xEF\xBF\xBF\n"},
    };
    for (const BatchCase& row : rows) {
        const ProcessResult batch = Run({"--batch"}, row.input);
        EXPECT_TRUE(batch.out.starts_with(row.output)) << row.label << ": " << batch.out << batch.err;
    }
}

// A carriage return in a value is written \r both ways; one that ends a
// line is the line break's (CRLF input). A field that ends in a lone
// backslash is refused with a message that can be read.
// Faults caught: a CR in a value that cannot be written at all, a CR
// answered raw (the reader's CRLF handling then eats it), and a raw NUL in
// the error text for a trailing backslash.
TEST_F(BatchValuesCommandTest, CarriageReturnsAndTrailingBackslashes)
{
    const ProcessResult batch = Run({"--batch"}, "transadd\tT\ta\\rb\tx\\ry\r\n"
                                                 "translate\tT\ta\\rb\r\n"
                                                 "translate\tT\tk\\\n"
                                                 "translate\tT\tk\\q\n");
    // The error texts are answers too, their backslashes escaped.
    const std::vector<std::string> expected = {
        "OK\t1", "OK\tx\\ry", "ERROR\t0x80070057 valmorin: a field ends with a lone backslash (write \\\\\\\\ for one)",
        "ERROR\t0x80070057 valmorin: unknown escape \\\\q (use \\\\t, \\\\n, \\\\r or \\\\\\\\)"};
    std::vector<std::string> lines;
    for (std::size_t from = 0; from < batch.out.size();) {
        const std::size_t end = batch.out.find('\n', from);
        lines.push_back(batch.out.substr(from, end - from));
        from = end + 1;
    }
    EXPECT_EQ(lines, expected) << batch.err;
    EXPECT_EQ(batch.out.find('\0'), std::string::npos);
}

} // namespace

// The valmorin command as scripts use it: the exit status tells "done",
// "nothing to do" and "failed" apart, and --batch lines carry any text,
// backslashes and tabs included, without ambiguity.
#include "platform/text/utf.h"
#include "support/process.h"
#include "support/store.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Lines(const std::string& out)
{
    std::vector<std::string> lines;
    for (std::size_t from = 0, end; (end = out.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(out.substr(from, end - from));
    return lines;
}

class CommandStatusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // SQLite keeps backslashes in literals as they are; char(9) is a tab
        // and char(10) a line break.
        m_store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'T');"
                    "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES"
                    " (1, 'path', 'C:\\dir\\'),"
                    " (1, 'tab', 'a' || char(9) || 'b'),"
                    " (1, 'lookalike', 'back\\tslash'),"
                    " (1, 'lines', 'one' || char(10) || 'two'),"
                    " (1, 'in\\put', 'backslash key'),"
                    " (1, 'k' || char(9) || 'v', 'tab key');");
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& input = "")
    {
        args.insert(args.begin(),
                    {VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store.connectionString())});
        return RunProcess(args, input,
                          {{"PELKOR_REGISTRY_DIR", (m_home / "registry").string()},
                           {"PELKOR_DATASOURCES_DIR", (m_home / "datasources").string()},
                           {"HOME", m_home.path().string()},
                           {"XDG_CONFIG_HOME", (m_home / "config").string()},
                           {"XDG_DATA_HOME", (m_home / "data").string()}});
    }

    TempDir m_home;
    TestStore m_store;
};

// Faults caught: S_FALSE reported as success (0) or as a failure (2); an
// error's status lost behind a later success.
TEST_F(CommandStatusTest, ExitStatusSaysDoneNothingToDoOrFailed)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;
    };
    const std::vector<Case> cases = {
        {{"transdel", "T", "missing"}, 1, "0\n"},
        {{"transdel", "Nowhere", "x"}, 1, "0\n"},
        {{"transadd", "T", "fresh", "value"}, 0, "1\n"},
        {{"transdel", "T", "fresh"}, 0, "1\n"},
        {{"transdel", "T", "fresh"}, 1, "0\n"},
        {{"translate", "T", "tab"}, 0, "a\tb\n"},
        {{"translate", "T", "it's"}, 2, ""},
    };
    for (const Case& c : cases) {
        const ProcessResult result = Run(c.args);
        EXPECT_EQ(result.exitCode, c.status) << c.args[0] << " " << c.args[2] << ": " << result.err;
        EXPECT_EQ(result.out, c.out) << c.args[0] << " " << c.args[2];
    }
}

// In a batch, "nothing to do" is an answer, not a failure: only ERROR lines
// make the batch fail.
TEST_F(CommandStatusTest, BatchAnswersFalseAndStaysSuccessful)
{
    const ProcessResult quiet = Run({"--batch"}, "transdel\tT\tmissing\ntranslate\tT\tpath\n");
    EXPECT_EQ(Lines(quiet.out), (std::vector<std::string>{"FALSE\t0", "OK\tC:\\\\dir\\\\"}));
    EXPECT_EQ(quiet.exitCode, 0) << quiet.err;

    const ProcessResult failed = Run({"--batch"}, "translate\tT\tit's\ntransdel\tT\tmissing\n");
    ASSERT_EQ(Lines(failed.out).size(), 2u) << failed.out;
    EXPECT_TRUE(Lines(failed.out)[0].starts_with("ERROR\t0x80040E14")) << failed.out;
    EXPECT_EQ(Lines(failed.out)[1], "FALSE\t0");
    EXPECT_EQ(failed.exitCode, 2);
}

// Faults caught: a stored backslash written as it is (then "back\tslash"
// and a tab answer alike), a tab or line break left raw (the line splits),
// or escapes in the arguments taken literally.
TEST_F(CommandStatusTest, BatchEscapesBackslashesTabsAndLineBreaksBothWays)
{
    const std::string input = "translate\tT\tpath\n"
                              "translate\tT\ttab\n"
                              "translate\tT\tlookalike\n"
                              "translate\tT\tlines\n"
                              "translate\tT\tin\\\\put\n"
                              "translate\tT\tk\\tv\n"
                              "transadd\tT\tnew\\\\key\tval\\tue\\n\n"
                              "translate\tT\tnew\\\\key\n";
    const ProcessResult result = Run({"--batch"}, input);
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{"OK\tC:\\\\dir\\\\", "OK\ta\\tb", "OK\tback\\\\tslash", "OK\tone\\ntwo",
                                        "OK\tbackslash key", "OK\ttab key", "OK\t1", "OK\tval\\tue\\n"}))
        << result.err;
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(m_store.Column("SELECT OUTPUT FROM QM_VALMOR WHERE INPUT = 'new\\key'"),
              std::vector<std::u16string>{u"val\tue\n"});
}

} // namespace

#include "support/datasource_folders.h"
#include "support/process.h"
#include "support/store.h"

#include "idl/ivalmorin_description.h"
#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_store.Run("INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'Pays'), (2, 'Zeichen');"
                    "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'FR', 'France'),"
                    " (1, 'DE', 'Deutschland'), (2, 'ß', 'scharfes s 😀'), (1, 'tab', 'a\tb'), (1, '', 'nothing');");
    }
    ProcessResult Run(std::vector<std::string> args, const std::string& input = "")
    {
        args.insert(args.begin(),
                    {VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store.connectionString())});
        return RunProcess(args, input, {{"XDG_DATA_HOME", (m_home.path() / "data").string()}});
    }

    TempDir m_home;
    TestStore m_store;
};

TEST_F(CliTest, ExitCodesAndOutputShapes)
{
    ProcessResult found = Run({"translate", "Pays", "FR"});
    EXPECT_EQ(found.exitCode, 0);
    EXPECT_EQ(found.out, "France\n");
    EXPECT_EQ(found.err, "");

    ProcessResult silent = Run({"transmatch", "a", "b"});
    EXPECT_EQ(silent.exitCode, 0);
    EXPECT_EQ(silent.out, "");

    ProcessResult nulls = Run({"translate", "Pays", "--null"});
    EXPECT_EQ(nulls.out, "nothing\n");

    ProcessResult refused = Run({"translate", "Pays", "x') OR ('1'='1"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_TRUE(refused.err.starts_with("valmorin: translate: 0x80040E14 SQLite: ")) << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1);

    EXPECT_EQ(Run({"NoSuchMethod"}).exitCode, 64);
    EXPECT_EQ(Run({"translate", "Pays"}).exitCode, 64);
    EXPECT_EQ(Run({}).exitCode, 64);
    // A registry that cannot be read fails RegisterAll without error info:
    // the code's own text describes it.
    TempDir broken;
    for (const char* hive : {"HKEY_LOCAL_MACHINE.reg", "HKEY_CURRENT_USER.reg"})
        std::ofstream(broken / hive) << "not a hive\n";
    ProcessResult unregistrable =
        RunProcess({VALMORIN_CLI, "RegisterAll"}, "", {{"PELKOR_REGISTRY_DIR", broken.path().string()}});
    EXPECT_EQ(unregistrable.exitCode, 2);
    EXPECT_TRUE(unregistrable.err.starts_with("valmorin: RegisterAll: 0x800703F1 valmorin: ")) << unregistrable.err;
}

TEST_F(CliTest, LoggingNeverReachesStandardOutput)
{
    TempDir registry;
    const std::map<std::string, std::string> env{{"PELKOR_REGISTRY_DIR", registry.path().string()},
                                                 {"XDG_DATA_HOME", (m_home.path() / "data").string()}};
    ASSERT_EQ(RunProcess({VALMORIN_CLI, "reg", "add", "HKLM\\SOFTWARE\\Pelkor\\Common\\Valmorin", "/v", "Debug", "/d",
                          "y", "/f"},
                         "", env)
                  .exitCode,
              0);
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store.connectionString());
    ProcessResult logged = RunProcess({VALMORIN_CLI, "--connection", connection, "translate", "Pays", "FR"}, "", env);
    EXPECT_EQ(logged.exitCode, 0) << logged.err;
    EXPECT_EQ(logged.out, "France\n");
    EXPECT_NE(logged.err.find("File: "), std::string::npos) << "the log header is echoed on standard error";
}

TEST_F(CliTest, TextIsUtf8BothWaysAndInvalidInputIsRefused)
{
    ProcessResult result = Run({"translate", "Zeichen", "ß"});
    EXPECT_EQ(result.out, "scharfes s 😀\n");
    ProcessResult invalid = Run({"translate", "Zeichen", "\xC3"});
    EXPECT_EQ(invalid.exitCode, 64);
    EXPECT_NE(invalid.err.find("UTF-8"), std::string::npos);
}

TEST_F(CliTest, BatchAnswersEveryLineAndGoesOnAfterFailures)
{
    const std::string input = "translate\tPays\tFR\n"
                              "translate\tPays\tit's\n"
                              "bogus\n"
                              "translate\tZeichen\tß\n"
                              "translate\tPays\ttab\n"
                              "translate\tPays\t--null\n"
                              "translate\tPays\t\xFF\n"
                              "TRANSLATE\tPays\tDE\n"
                              "TRANS\xFFLATE\tPays\tDE\n"
                              "TRANSLATE\tPays\tFR\n";
    ProcessResult result = Run({"--batch"}, input);
    std::vector<std::string> lines;
    for (std::size_t from = 0, end; (end = result.out.find('\n', from)) != std::string::npos; from = end + 1)
        lines.push_back(result.out.substr(from, end - from));
    ASSERT_EQ(lines.size(), 10u) << result.out;
    EXPECT_EQ(lines[0], "OK\tFrance");
    EXPECT_TRUE(lines[1].starts_with("ERROR\t0x80040E14 SQLite: ")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("ERROR\t")) << lines[2];
    EXPECT_EQ(lines[3], "OK\tscharfes s 😀");
    EXPECT_EQ(lines[4], "OK\ta\\tb");
    EXPECT_EQ(lines[5], "OK\tnothing");
    EXPECT_TRUE(lines[6].starts_with("ERROR\t")) << lines[6];
    EXPECT_EQ(lines[7], "OK\tDeutschland");
    // A method's name that is not UTF-8, between two lines naming the same
    // method: the name read before it is not taken for the next line's.
    EXPECT_TRUE(lines[8].starts_with("ERROR\t")) << lines[8];
    EXPECT_EQ(lines[9], "OK\tFrance");
    EXPECT_EQ(result.exitCode, 2);
}

TEST_F(CliTest, HelpListsMethodsFromTheTypeInformation)
{
    ProcessResult help = RunProcess({VALMORIN_CLI, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("  transadd tableName ValueIn ValueOut -> bRetVal\n"), std::string::npos);
    EXPECT_NE(help.out.find("  TableUpdate User PreviousName Name Description"), std::string::npos);
    ProcessResult one = RunProcess({VALMORIN_CLI, "help", "translate"});
    const std::u16string_view translateHelp = idl::kIValmorinDescription.methods[8].help;
    EXPECT_EQ(one.out,
              "translate tableName ValueIn -> Translation\n" + valmorin::text::Utf16ToUtf8(translateHelp) + "\n");
}

// Faults caught: a command that takes "--help" for one of its values (an
// export of a table named "--help", a store made by init), its usage sent to
// standard error or with a failing status; "--help" after a method's name
// taken for a request of help instead of the value it is.
TEST_F(CliTest, HelpAfterACommandIsItsUsageAndAfterAMethodAValue)
{
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", (m_home.path() / "data").string()}};
    for (const std::string command : {"serve", "import", "export", "init", "regsvr", "datasource", "reg"}) {
        const ProcessResult help = RunProcess({VALMORIN_CLI, command, "--help"}, "", env);
        EXPECT_EQ(help.exitCode, 0) << command << ": " << help.err;
        EXPECT_NE(help.out.find("valmorin " + command), std::string::npos) << command << ": " << help.out;
    }
    EXPECT_FALSE(std::filesystem::exists(DefaultStoreBelow(m_home.path() / "data")));
    EXPECT_TRUE(Run({"export", "--help"}).out.starts_with("usage: valmorin export")) << "after --connection too";

    m_store.Run("INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, '--help', 'dashes');");
    const ProcessResult value = Run({"translate", "Pays", "--help"});
    EXPECT_EQ(value.exitCode, 0) << value.err;
    EXPECT_EQ(value.out, "dashes\n");
}

TEST(CliInit, CreatesAStoreOnceAndTheDefaultStoreIsUsedWithoutConnection)
{
    TempDir home;
    const std::map<std::string, std::string> env{{"XDG_DATA_HOME", (home.path() / "data").string()}};
    ProcessResult first = RunProcess({VALMORIN_CLI, "init"}, "", env);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    const auto file = DefaultStoreBelow(home.path() / "data");
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(QueryColumn(file, "PRAGMA journal_mode"), std::vector<std::u16string>{u"wal"});
    CreateSqliteFile(file, "INSERT INTO QM_TABLES (ID_TABLE, NOM) VALUES (1, 'T');"
                           "INSERT INTO QM_VALMOR (ID_TABLE, INPUT, OUTPUT) VALUES (1, 'a', 'b');");
    ProcessResult second = RunProcess({VALMORIN_CLI, "init"}, "", env);
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_NE(second.out.find("nothing was changed"), std::string::npos);
    EXPECT_EQ(QueryColumn(file, "SELECT OUTPUT FROM QM_VALMOR"), std::vector<std::u16string>{u"b"});
    ProcessResult lookup = RunProcess({VALMORIN_CLI, "translate", "T", "a"}, "", env);
    EXPECT_EQ(lookup.out, "b\n");

    const auto other = home.path() / "x.db";
    ProcessResult explicitStore = RunProcess(
        {VALMORIN_CLI, "init", "--connection", valmorin::text::Utf16ToUtf8(SqliteConnectionString(other))}, "", env);
    EXPECT_EQ(explicitStore.exitCode, 0);
    EXPECT_EQ(QueryColumn(other, "SELECT COUNT(*) FROM sqlite_schema WHERE type = 'table' AND name IN ('QM_TABLES', "
                                 "'QM_DICO', 'QM_VALMOR')"),
              std::vector<std::u16string>{u"3"});
}

} // namespace

namespace {

// Faults caught: an export to standard output that differs from the file,
// or carries anything else; options read wrongly; a failure with exit 0.
TEST_F(CliTest, ImportAndExportCommands)
{
    const std::filesystem::path file = m_home.path() / "land.csv";
    std::ofstream(file) << "code,name\nfr,France\nde,\"Deutsch, land\"\n";
    const ProcessResult created = Run({"import", "Land", file.string(), "--user", "tester"});
    ASSERT_EQ(created.exitCode, 0) << created.err;
    EXPECT_EQ(created.out, "{\"table\":\"Land\",\"read\":2,\"added\":2,\"changed\":0,\"unchanged\":0,\"deleted\":0,"
                           "\"created\":true,\"emptied\":false}\n");
    EXPECT_EQ(m_store.Column("SELECT DISTINCT USER_CODE_LASTACTION FROM QM_VALMOR WHERE ID_TABLE = 3"),
              std::vector<std::u16string>{u"tester"});

    const std::filesystem::path exported = m_home.path() / "out.csv";
    const ProcessResult toFile = Run({"export", "Land", exported.string()});
    EXPECT_EQ(toFile.out, "2\n");
    const ProcessResult toStdout = Run({"export", "Land"});
    EXPECT_EQ(toStdout.exitCode, 0) << toStdout.err;
    std::ifstream in(exported, std::ios::binary);
    EXPECT_EQ(toStdout.out, std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_EQ(toStdout.out, "code,name\r\nde,\"Deutsch, land\"\r\nfr,France\r\n");

    std::ofstream(file) << "code,name\nfr,France\n";
    const ProcessResult replaced = Run({"import", "--replace", "Land", file.string()});
    EXPECT_NE(replaced.out.find("\"deleted\":1"), std::string::npos) << replaced.out << replaced.err;
    const ProcessResult refused = Run({"import", "Land", (m_home.path() / "absent.csv").string()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.err.find("absent.csv cannot be read"), std::string::npos) << refused.err;
    EXPECT_EQ(Run({"export", "Nowhere"}).exitCode, 2);
    for (const std::vector<std::string>& usage : {std::vector<std::string>{"import", "Land"},
                                                  {"import", "Land", "f.csv", "--inputs", "0"},
                                                  {"import", "Land", "f.csv", "--user"},
                                                  {"import", "Land", "f.csv", "--quiet"},
                                                  {"export"}})
        EXPECT_EQ(Run(usage).exitCode, 64) << usage.back();
}

// A device of the test's own that is always full (as /dev/full is): an
// export written to it must fail the command, not end in a cut file.
// Faults caught: a short write on standard output passed over, exit 0; a
// batch that goes on making calls whose answers are lost.
TEST_F(CliTest, AnExportThatCannotBeWrittenWholeFails)
{
    if (::geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    const std::filesystem::path file = m_home.path() / "land.csv";
    std::ofstream(file) << "code,name\nfr,France\nde,Deutschland\n";
    ASSERT_EQ(Run({"import", "Land", file.string()}).exitCode, 0);
    const std::filesystem::path full = m_home.path() / "full";
    ASSERT_EQ(::mknod(full.c_str(), S_IFCHR | 0600, ::makedev(1, 7)), 0) << std::strerror(errno);
    const std::string connection = valmorin::text::Utf16ToUtf8(m_store.connectionString());
    const auto intoFull = [&](const std::string& command, const std::string& input = "") {
        return RunProcess({"/bin/sh", "-c", "exec \"$0\" " + command + " > \"$1\"", VALMORIN_CLI, full.string()}, input,
                          {{"XDG_DATA_HOME", (m_home.path() / "data").string()}});
    };
    const ProcessResult exported = intoFull("--connection '" + connection + "' export Land");
    EXPECT_NE(exported.exitCode, 0);
    EXPECT_NE(exported.err.find("could not be written whole"), std::string::npos) << exported.err;
    const ProcessResult version = intoFull("--version");
    EXPECT_NE(version.exitCode, 0) << version.err;
    // A batch stops at its first answers that cannot be written: the
    // writes after them are never made.
    std::string calls;
    for (int i = 0; i < 20000; ++i) calls += "transadd\tLand\tk" + std::to_string(i) + "\tv\n";
    const ProcessResult batch = intoFull("--connection '" + connection + "' --batch", calls);
    EXPECT_NE(batch.exitCode, 0);
    EXPECT_NE(batch.err.find("no further call was made"), std::string::npos) << batch.err;
    EXPECT_LT(std::stoi(valmorin::text::Utf16ToUtf8(m_store.Column("SELECT COUNT(*) FROM QM_VALMOR").at(0))), 20000);
}

// An export to standard output piped into a reader that goes away after
// its first bytes, run with SIGPIPE as a shell leaves it (the test ignores
// it, and its children would inherit that); then one whose TMPDIR names no
// folder. Faults caught: the command killed by SIGPIPE (exit 141, not the
// failure it is), leaving the whole table's copy in the temporary folder;
// a temporary folder that fails without a name.
TEST_F(CliTest, AnExportToStandardOutputKeepsNoCopyAndNamesItsFolder)
{
    const std::filesystem::path file = m_home.path() / "many.csv";
    {
        std::ofstream csv(file);
        csv << "code,name\n";
        for (int i = 0; i < 20000; ++i) csv << "key" << i << ",a name longer than the pipe takes\n";
    }
    ASSERT_EQ(Run({"import", "Many", file.string()}).exitCode, 0);
    const std::filesystem::path temporary = m_home.path() / "tmp";
    std::filesystem::create_directory(temporary);
    const ProcessResult piped =
        RunProcess({"/bin/bash", "-c",
                    "env --default-signal=PIPE \"$0\" --connection \"$1\" export Many | head -c 1 >/dev/null; "
                    "exit ${PIPESTATUS[0]}",
                    VALMORIN_CLI, valmorin::text::Utf16ToUtf8(m_store.connectionString())},
                   "", {{"XDG_DATA_HOME", (m_home.path() / "data").string()}, {"TMPDIR", temporary.string()}});
    EXPECT_EQ(piped.exitCode, 2) << piped.err;
    EXPECT_NE(piped.err.find("could not be written whole"), std::string::npos) << piped.err;
    EXPECT_TRUE(std::filesystem::is_empty(temporary)) << "the export's copy was left behind";

    const std::string absent = (m_home.path() / "absent").string();
    const ProcessResult nowhere = RunProcess(
        {VALMORIN_CLI, "--connection", valmorin::text::Utf16ToUtf8(m_store.connectionString()), "export", "Many"}, "",
        {{"XDG_DATA_HOME", (m_home.path() / "data").string()}, {"TMPDIR", absent}});
    EXPECT_EQ(nowhere.exitCode, 2);
    EXPECT_NE(nowhere.err.find("the temporary folder " + absent + " ($TMPDIR) cannot be used"), std::string::npos)
        << nowhere.err;
}

// Fault caught: no progress shown on a terminal for a large file, or a
// total that is not the file's number of rows.
TEST_F(CliTest, ImportShowsItsProgressOnATerminal)
{
    const std::filesystem::path file = m_home.path() / "big.csv";
    {
        std::ofstream csv(file);
        csv << "code,name\n";
        for (int i = 0; i < 200000; ++i) csv << "key" << i << ",\"a value,\nof two lines\"\n";
    }
    const std::string command = std::string(VALMORIN_CLI) + " --connection '" +
                                valmorin::text::Utf16ToUtf8(m_store.connectionString()) + "' import Big " +
                                file.string() + " >/dev/null";
    // script gives the command a terminal; what it shows lands in the output.
    const ProcessResult shown = RunProcess({"/usr/bin/script", "-qec", command, "/dev/null"});
    EXPECT_EQ(shown.exitCode, 0) << shown.out;
    EXPECT_NE(shown.out.find("import Big ["), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find(" of 200,000 rows"), std::string::npos) << shown.out;
    const ProcessResult piped = Run({"import", "Big2", file.string()});
    EXPECT_EQ(piped.err, "");
}

} // namespace

// The four schema files describe one store: what one DBMS's file gains,
// the others gain too. SQL Server and Oracle cannot run here, so their
// files are held to the SQLite and PostgreSQL ones by what they declare.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Tables = std::map<std::string, std::vector<std::string>>; // table -> its columns, in order

std::vector<std::string> Lines(const std::string& file)
{
    std::ifstream in(std::string(VALMORIN_SOURCE_DIR) + "/schema/" + file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The tables a schema creates and their columns: "CREATE TABLE X (" and a
// column a line up to ");", or "CREATE TABLE X AS SELECT ... AS C, ...".
Tables DeclaredTables(const std::string& file)
{
    static const std::regex kOpening(R"(^CREATE TABLE (?:IF NOT EXISTS )?(\w+) \($)");
    static const std::regex kSelected(R"(^CREATE TABLE (?:IF NOT EXISTS )?(\w+) AS SELECT (.*);$)");
    static const std::regex kAlias(R"( AS (\w+))");
    static const std::regex kColumn(R"(^\s+\[?(\w+)\]? )");
    Tables tables;
    const std::vector<std::string> lines = Lines(file);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        if (std::regex_match(lines[i], match, kSelected)) {
            std::vector<std::string>& columns = tables[match[1]];
            const std::string select = match[2];
            for (std::sregex_iterator alias(select.begin(), select.end(), kAlias), end; alias != end; ++alias)
                columns.push_back((*alias)[1]);
        } else if (std::regex_match(lines[i], match, kOpening)) {
            std::vector<std::string>& columns = tables[match[1]];
            for (++i; i < lines.size() && lines[i] != ");"; ++i)
                if (std::smatch column; std::regex_search(lines[i], column, kColumn)) columns.push_back(column[1]);
        }
    }
    return tables;
}

// The tables whose changes a schema's triggers record.
std::set<std::string> RecordedTables(const std::string& file)
{
    static const std::regex kRecording(R"(TRIGGER (?:IF NOT EXISTS )?\w+_HISTORY\w* (?:AFTER [A-Z, ]+ )?ON (\w+))",
                                       std::regex::icase);
    std::set<std::string> tables;
    for (const std::string& line : Lines(file))
        if (std::smatch match; std::regex_search(line, match, kRecording)) tables.insert(match[1]);
    return tables;
}

// Fault caught: SQL Server's FORMAT left to the session's language, whose
// calendar (Thai, Hijri) or digits would write times the history cannot
// order or compare with those written by sessions of another language.
TEST(SchemaParity, SqlServerWritesTimesInOneCulture)
{
    static const std::regex kFormat(R"(FORMAT\((?:[^()']|\(\)|'[^']*')*\))");
    static const std::regex kInOneCulture(R"(, 'en-US'\)$)");
    int formats = 0;
    for (const std::string& line : Lines("sqlserver.sql"))
        for (std::sregex_iterator call(line.begin(), line.end(), kFormat), end; call != end; ++call, ++formats)
            EXPECT_TRUE(std::regex_search(call->str(), kInOneCulture)) << call->str();
    EXPECT_GT(formats, 0);
}

} // namespace

// Faults caught: a history table or column added to one DBMS's schema
// and not the others' (the component's statements then fail there only);
// a table whose changes one DBMS records and another does not.
TEST(SchemaParity, EveryDbmsDeclaresTheSameTablesAndRecordsTheSameChanges)
{
    Tables sqlite = DeclaredTables("sqlite.sql");
    ASSERT_TRUE(sqlite.contains("QM_HISTORY")) << "the parser reads no table of sqlite.sql";
    // SQLite's connections mark their own changes in a table of its own,
    // where the other DBMSs keep that mark in the session; and only
    // SQLite replaces a row without the triggers of its deletion.
    EXPECT_TRUE(sqlite.erase("QM_WRITER"));
    EXPECT_TRUE(sqlite.erase("QM_REPLACED"));
    const std::set<std::string> recorded = RecordedTables("sqlite.sql");
    EXPECT_EQ(recorded, (std::set<std::string>{"QM_APPROVAL", "QM_DICO", "QM_TABLES", "QM_VALMOR"}));
    for (const char* file : {"postgresql.sql", "sqlserver.sql", "oracle.sql"}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(DeclaredTables(file), sqlite);
        EXPECT_EQ(RecordedTables(file), recorded);
    }
}

// sqlcmd and sqlplus read a trigger, procedure or package as one unit up
// to "GO" or "/"; valmorin init reads each statement up to the first line
// that ends with ';'. Fault caught: a line inside a unit ending with ';',
// which init would cut the unit at, sending the DBMS half of it.
TEST(SchemaParity, ProceduralUnitsEndAtTheirOnlyLineThatEndsWithASemicolon)
{
    static const std::regex kUnit(R"(^CREATE (?:OR REPLACE )?(?:TRIGGER|PROCEDURE|PACKAGE)\b)");
    for (const auto& [file, separator] : {std::pair{"sqlserver.sql", "GO"}, std::pair{"oracle.sql", "/"}}) {
        SCOPED_TRACE(file);
        const std::vector<std::string> lines = Lines(file);
        int units = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (!std::regex_search(lines[i], kUnit)) continue;
            ++units;
            std::size_t last = i;
            while (last < lines.size() && !lines[last].ends_with(";")) ++last;
            ASSERT_LT(last + 1, lines.size()) << lines[i];
            EXPECT_TRUE(lines[last].find("END") != std::string::npos) << lines[i] << " is cut at: " << lines[last];
            EXPECT_EQ(lines[last + 1], separator) << lines[i];
        }
        EXPECT_GE(units, 5);
    }
}

// Passwords in the connection strings that "valmorin datasource show"
// prints, in every spelling a provider accepts.
#include "platform/datasource/connection_string.h"
#include "platform/text/utf.h"
#include "support/datasource_folders.h"
#include "support/process.h"

#include <gtest/gtest.h>

namespace {

struct Masked {
    const char* label;
    std::u16string text;
    std::u16string shown;
};

// Faults caught, one row each: a braced value cut at its ";" (the rest of
// the password shown), "}}" ending the braces, a quoted value cut at its
// ";", a doubled quote ending the quotes, Jet's own password keys left
// alone, a password inside a quoted Extended Properties left alone, keys
// that merely contain "password" masked by mistake, and a password nested
// deeper than the pairs are read shown.
const std::vector<Masked> kMasked = {
    {"plain", u"Provider=SQLite;Password=hunter2", u"Provider=SQLite;Password=********"},
    {"braces", u"Password={hun;ter2};Data Source=x", u"Password=********;Data Source=x"},
    {"doubled brace", u"Pwd={a}};b;c};User=u", u"Pwd=********;User=u"},
    {"double quotes", u"PWD=\"se;cret\";X=1", u"PWD=********;X=1"},
    {"doubled quote", u"Password='it''s;secret';X=1", u"Password=********;X=1"},
    {"blanks around the key", u"User ID=S; pwd = tiger", u"User ID=S; pwd =********"},
    {"Jet database password", u"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=j;Mode=Share",
     u"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=********;Mode=Share"},
    {"PWD in quoted Extended Properties",
     u"Provider=MSDASQL;Extended Properties=\"DSN=Q;UID=u;PWD=s;\";User=v",
     u"Provider=MSDASQL;Extended Properties=\"DSN=Q;UID=u;PWD=********;\";User=v"},
    {"braced PWD in single-quoted Extended Properties", u"Extended Properties='DSN=Q;PWD={a;b}'",
     u"Extended Properties='DSN=Q;PWD=********'"},
    {"no password", u"Provider=SQLite;Data Source=/q.db;Extended Properties=\"Excel 8.0;HDR=Yes\"",
     u"Provider=SQLite;Data Source=/q.db;Extended Properties=\"Excel 8.0;HDR=Yes\""},
    {"password in a key's middle", u"PasswordPolicy=strict;Persist Security Info=False",
     u"PasswordPolicy=strict;Persist Security Info=False"},
    {"unterminated quote", u"Password=\"open;X=1", u"Password=********"},
    {"a password nested deeper than the pairs are read", u"X='Y=\"Z={PWD=s}\"'", u"X='Y=\"Z=********\"'"},
};

TEST(DataSourceMaskingTest, EveryPasswordSpellingIsMasked)
{
    for (const Masked& row : kMasked)
        EXPECT_EQ(text::Utf16ToUtf8(datasource::MaskPasswords(row.text)), text::Utf16ToUtf8(row.shown)) << row.label;
}

struct Pair {
    const char* label;
    std::u16string text;
    std::u16string key;
    std::u16string value;
};

// Faults caught: a doubled quote or brace kept doubled, blanks kept around
// a key or an unquoted value, a pair without "=" taken for one.
const std::vector<Pair> kPairs = {
    {"doubled quote", u"A=\"x\"\"y\"", u"A", u"x\"y"},
    {"doubled brace", u"B={x}}y}", u"B", u"x}y"},
    {"blanks", u"  C  =  v w  ;", u"C", u"v w"},
    {"no equals before", u"junk;D=1", u"D", u"1"},
};

TEST(DataSourceMaskingTest, PairsReadAsProvidersReadThem)
{
    for (const Pair& row : kPairs) {
        const auto pairs = datasource::ParseConnectionString(row.text);
        ASSERT_EQ(pairs.size(), 1u) << row.label;
        EXPECT_EQ(pairs[0].key, row.key) << row.label;
        EXPECT_EQ(pairs[0].value, row.value) << row.label;
    }
}

// Fault caught: the command printing the connection string as stored.
TEST(DataSourceMaskingTest, ShowPrintsNoPassword)
{
    const DataSourceFolders folders;
    DataSourceFolders::Write(folders.userFile(), "[NK]\nConnectionString = Provider=X;Password={hun;ter2}\n");
    const ProcessResult shown = RunProcess({VALMORIN_CLI, "datasource", "show", "NK"}, "", folders.environment());
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_EQ(shown.out.find("hun"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.find("ter2"), std::string::npos) << shown.out;
}

} // namespace

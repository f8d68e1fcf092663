// Connection strings, read one way by the providers, the masking and the
// data-source directory; passwords masked in every spelling a provider
// accepts.
#include "support/odbc_store.h"

#include "platform/ado/ado.h"
#include "platform/ado/connection_string.h"
#include "valmorin/com/errorinfo.h"
#include "valmorin/com/runtime.h"
#include "platform/text/ascii.h"
#include "platform/posix/unique_fd.h"
#include "platform/text/utf.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <random>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

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
    {"PWD in quoted Extended Properties", u"Provider=MSDASQL;Extended Properties=\"DSN=Q;UID=u;PWD=s;\";User=v",
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
        EXPECT_EQ(valmorin::text::Utf16ToUtf8(valmorin::ado::MaskPasswords(row.text)),
                  valmorin::text::Utf16ToUtf8(row.shown))
            << row.label;
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
        const auto pairs = valmorin::ado::ParseConnectionString(row.text);
        ASSERT_EQ(pairs.size(), 1u) << row.label;
        EXPECT_EQ(pairs[0].key, row.key) << row.label;
        EXPECT_EQ(pairs[0].value, row.value) << row.label;
    }
}

// A key given twice is refused, naming the key: ADO takes the last value,
// ODBC drivers the first.
TEST(ConnectionStringTest, AKeyGivenTwiceIsRefused)
{
    CComPtr<_Connection> connection;
    ASSERT_EQ(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                               reinterpret_cast<void**>(&connection)),
              S_OK);
    const HRESULT hr = connection->Open(CComBSTR(u"Provider=SQLite;Data Source=/a.db;DATA SOURCE=/b.db").get(), nullptr,
                                        nullptr, adConnectUnspecified);
    EXPECT_EQ(hr, E_INVALIDARG);
    CComPtr<IErrorInfo> info;
    CComBSTR description;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    info->GetDescription(&description);
    EXPECT_NE(description.view().find(u"DATA SOURCE"), std::u16string_view::npos);
}

// The providers read a connection string as the masking does: a braced
// password holding ";Database=..." is one value, not a second Database.
// Fault caught: two readers, one of which connected to "other" while the
// data-source listing showed the first database.
TEST(ConnectionStringTest, ProvidersReadBracesAsTheMaskingDoes)
{
    const valmorin::ado::ConnectionString cs(u"Provider=PostgreSQL;Database=qms;Password={x;Database=other;}");
    EXPECT_EQ(cs.Get(u"database"), u"qms");
    EXPECT_EQ(cs.Get(u"Password"), u"x;Database=other;");
    EXPECT_EQ(cs.RepeatedKey(), u"");
    EXPECT_EQ(valmorin::ado::ConnectionString(u"Provider=SQLite;Data Source=a; data source =b").RepeatedKey(),
              u"data source");
}

} // namespace

namespace {

// A user name or password given apart from the connection string is
// appended bare when it can be, braced otherwise, and reads back as itself
// whatever it holds, without adding or replacing a key.
// Fault caught: an escape dropped when a value is braced (a "}" not
// doubled), so that a password could end its pair and name another
// database.
TEST(ConnectionStringTest, BracedValuesReadBackWhole)
{
    using valmorin::ado::ConnectionString;
    for (const std::u16string value :
         {u"plain", u"a}b", u"}", u"}}", u"x};Database=/elsewhere.db;Z={y", u"{", u"a;b=c", u" spaced ", u""}) {
        std::u16string text = u"Driver={SQLite3};Database=/store.db";
        valmorin::ado::AppendPair(text, u"PWD", value);
        const ConnectionString read(text);
        EXPECT_EQ(read.Get(u"PWD"), value) << valmorin::text::Utf16ToUtf8(text);
        EXPECT_EQ(read.Get(u"Database"), u"/store.db") << valmorin::text::Utf16ToUtf8(text);
        EXPECT_EQ(read.RepeatedKey(), u"") << valmorin::text::Utf16ToUtf8(text);
    }
}

} // namespace

namespace {

using valmorin::ado::ConnectionString;

std::string Shown(const ConnectionString& cs) { return valmorin::text::Utf16ToUtf8(cs.Text()); }

// Strings built pair by pair from values drawn at random out of the
// characters that end a pair, open a quoted or braced value or are trimmed
// around one, each key set one to three times in any case: read back, every
// key holds the value it was last given, once.
// Faults caught: a value holding ";" or "=" written bare (its pair cut, a
// key injected), a "}" not doubled inside braces, a leading quote or brace
// read as an opener, outer blanks trimmed away, a key set again added a
// second time instead of replaced.
TEST(ConnectionStringBuilding, AnyValueReadsBackAsBuilt)
{
    std::mt19937 random(7);
    const std::u16string alphabet = u"a;={}\"' \tZ";
    const std::u16string keys[] = {u"Provider", u"Data Source", u"Password", u"User ID", u"Extended Properties"};
    for (int round = 0; round < 3000; ++round) {
        ConnectionString built;
        std::map<std::u16string, std::u16string> expected; // by key upper-cased
        const int settings = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < settings; ++i) {
            std::u16string key = keys[random() % std::size(keys)];
            if (random() % 2) key = valmorin::text::AsciiUpper(key);
            std::u16string value;
            for (std::size_t length = random() % 7; value.size() < length;)
                value += alphabet[random() % alphabet.size()];
            built = built.With(key, value);
            expected[valmorin::text::AsciiUpper(key)] = value;
        }
        const ConnectionString read(built.Text());
        EXPECT_EQ(read.Keys().size(), expected.size()) << Shown(built);
        EXPECT_EQ(read.RepeatedKey(), u"") << Shown(built);
        for (const auto& [key, value] : expected) ASSERT_EQ(read.Get(key), value) << Shown(built);
    }
}

// A key set in a string given whole keeps the rest as written: an ODBC
// driver is handed the text, braces and all. Where a value left open would
// take the new pair in, or a key cannot be written, nothing is built.
// Faults caught: the string rewritten around the change; a pair swallowed
// by an unterminated value, so that the connection goes elsewhere than the
// caller set.
TEST(ConnectionStringBuilding, ASetKeyKeepsTheRestAsWrittenAndNothingIsSwallowed)
{
    const ConnectionString given(u"Driver={SQLite3}; database = /a.db ;Timeout=5");
    EXPECT_EQ(given.With(u"DATABASE", u"/b;c.db").Text(), u"Driver={SQLite3}; database = {/b;c.db} ;Timeout=5");
    EXPECT_EQ(given.With(u"UID", u"x").Text(), u"Driver={SQLite3}; database = /a.db ;Timeout=5;UID=x");
    EXPECT_EQ(ConnectionString().With(u"Provider", u"SQLite").With(u"Data Source", u"/q.db").Text(),
              u"Provider=SQLite;Data Source=/q.db");
    EXPECT_THROW(ConnectionString(u"Provider=SQLite;Password={open").With(u"Data Source", u"/q.db"),
                 std::invalid_argument);
    for (const char16_t* key : {u"", u"A;B", u"A=B", u" A"})
        EXPECT_THROW(ConnectionString().With(key, u"v"), std::invalid_argument) << valmorin::text::Utf16ToUtf8(key);
}

} // namespace

namespace {

HRESULT OpenWithUser(const std::u16string& connectionString, const std::u16string& userId)
{
    CComPtr<_Connection> connection;
    if (FAILED(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL, _Connection::iid,
                                reinterpret_cast<void**>(&connection))))
        return E_FAIL;
    return connection->Open(CComBSTR(connectionString).get(), CComBSTR(userId).get(), nullptr, adConnectUnspecified);
}

// A user name given apart from the connection string reaches the ODBC
// driver as the name it is.
// Fault caught: the name sent in braces, which psqlODBC and the SQLite
// driver take as part of the name (role "{user}" does not exist).
TEST(ProviderConnect, AUserGivenApartReachesTheOdbcDriverAsItIs)
{
    const char* user = std::getenv("VALMORIN_TEST_PG_USER");
    if (user == nullptr || !OdbcDriverMissing(OdbcDriver::PostgreSql).empty())
        GTEST_SKIP() << "no PostgreSQL server or driver for the tests";
    EXPECT_EQ(OpenWithUser(OdbcPostgresConnectionString("postgres"), valmorin::text::Widen(user)), S_OK);
}

// A server that accepts the connection and never answers fails the open
// after the connection time-out, as a dead host does.
// Fault caught: a PostgreSQL connection made without a time-out, which
// holds its caller for as long as the server stays silent.
TEST(ProviderConnect, APostgreSqlServerThatNeverAnswersFailsTheOpen)
{
    const UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0); // the kernel accepts; nobody answers
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::u16string silent = valmorin::ado::ConnectionString()
                                      .With(u"Provider", u"PostgreSQL")
                                      .With(u"Host", u"127.0.0.1")
                                      .With(u"Port", valmorin::text::Widen(std::to_string(ntohs(address.sin_port))))
                                      .With(u"Database", u"nowhere")
                                      .Text();
    EXPECT_TRUE(FAILED(OpenWithUser(silent, u"nobody")));
}

} // namespace
